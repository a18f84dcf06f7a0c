// A large tap capture for timing Wireshark with and without our dissector
// (bench/tshark_bench.sh), written by the capture writer the tap uses, and the
// writer's own speed on it.
//
//   capture_bench OUT.pcapng [EXCHANGES]      (default 100000)
//
// Two interfaces, the host's line and the controller's, as `watch --tap` makes
// them. Each exchange is a request from the command table (pumps 1 to 8 in turn)
// with its name as the comment, the ACK 0.3 ms after the request's last byte, and
// the simulated controller's reply 5 ms after that, commented with the verdict;
// bytes take their time at 38400 baud and exchanges start 25 ms apart (40 a second)
// unless a long reply still holds the line.
// Commands the controller answers with the ACK alone are left out: every exchange
// is three pieces.
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "capture/pcapng_writer.h"
#include "commands/names.h"
#include "commands/catalogue.h"
#include "link/frame.h"

std::string SimulatedReply(const std::string& text);  // capture_bench_reply.cpp

namespace {

const long long BYTE_US = 260;         // one 10-bit character at 38400 baud
const long long PERIOD_US = 25000;     // 40 exchanges a second
const long long ACK_AFTER_US = 300;    // after the request's last byte
const long long REPLY_AFTER_US = 5000; // after the ACK
const long long GAP_US = 2000;         // the least silence between a reply and the next request
const long long START_US = 1796800000123456ll;  // 2026-12-09, UTC

struct Exchange {
    std::string name;  // "Pump/Sale/Extended, pump 7"
    std::vector<unsigned char> request, reply;
};

std::vector<unsigned char> Framed(const std::string& text) {
    std::vector<unsigned char> frame(text.size() + 3);
    int n = BuildFrame(text.c_str(), frame.data(), static_cast<int>(frame.size()));
    frame.resize(n < 0 ? 0 : static_cast<size_t>(n));
    return frame;
}

// Every command of the table that gets a reply, for pumps 1 to 8, with the reply a
// freshly started controller gives.
std::vector<Exchange> Repertoire() {
    std::vector<Exchange> all;
    // Named as the programs name them in their captures.
    ResetConsoleSettings();
    const CommandNames names(Settings);
    for (int pump = 1; pump <= 8; ++pump) {
        ConsoleSettings settings = {pump, DEFAULT_PRESET_AMOUNT, DEFAULT_PRICE_BASE, DEFAULT_COM_PORT,
                                    DEFAULT_BAUD_RATE};
        for (const CatalogueItem& item : Catalogue()) {
            if (item.path.empty() || IsSetting(item)) continue;
            for (const PlannedMessage& message : PlannedMessages(item, settings)) {
                if (!message.reply) continue;
                std::string reply = SimulatedReply(message.text);
                if (reply.empty()) continue;
                const CommandName* name = names.Find(message.text);
                std::string said = name == nullptr ? item.path
                                   : name->pump == 0 ? name->path
                                                     : name->path + ", pump " + std::to_string(name->pump);
                all.push_back({said, Framed(message.text), Framed(reply)});
            }
        }
    }
    return all;
}

CapturePiece Piece(int dir, int kind, const std::vector<unsigned char>& bytes, long long first,
                   const std::string& comment) {
    CapturePiece piece;
    piece.line = dir == TAP_HOST ? 0 : 1;
    piece.dir = dir;
    piece.kind = kind;
    piece.bytes = bytes;
    piece.firstUs = first;
    piece.lastUs = first + (static_cast<long long>(bytes.size()) - 1) * BYTE_US;
    piece.comment = comment;
    return piece;
}

double MonoSeconds() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: capture_bench OUT.pcapng [EXCHANGES]\n");
        return 2;
    }
    const std::string path = argv[1];
    const long exchanges = argc > 2 ? std::strtol(argv[2], nullptr, 10) : 100000;
    if (exchanges <= 0) {
        std::fprintf(stderr, "capture_bench: EXCHANGES must be a positive number\n");
        return 2;
    }
    const std::vector<Exchange> repertoire = Repertoire();
    if (repertoire.empty()) {
        std::fprintf(stderr, "capture_bench: the command table gave no command with a reply\n");
        return 1;
    }

    PcapngWriter writer;
    double began = MonoSeconds();
    if (writer.Create(path, {"/dev/ttyUSB0", "/dev/ttyUSB1"}, "capture_bench") != CAPTURE_OK) {
        std::fprintf(stderr, "capture_bench: %s\n", writer.Error().c_str());
        return 1;
    }
    const std::vector<unsigned char> ack = {ACK};
    long long at = START_US;
    for (long i = 0; i < exchanges; ++i) {
        const Exchange& x = repertoire[static_cast<size_t>(i) % repertoire.size()];
        CapturePiece request = Piece(TAP_HOST, SPLIT_FRAME, x.request, at, x.name);
        CapturePiece acked = Piece(TAP_CTRL, SPLIT_ACK, ack, request.lastUs + ACK_AFTER_US, "");
        CapturePiece reply = Piece(TAP_CTRL, SPLIT_FRAME, x.reply, acked.lastUs + REPLY_AFTER_US,
                                   "exchange ok, ACK 0.3 ms");
        for (const CapturePiece* piece : {&request, &acked, &reply}) {
            if (writer.Write(*piece) != CAPTURE_OK) break;
        }
        // A long reply holds the line past the period; the next request waits for it.
        at = std::max(at + PERIOD_US, reply.lastUs + GAP_US);
    }
    const double lineSeconds = static_cast<double>(at - START_US) / 1e6;
    if (writer.Finish() != CAPTURE_OK) {
        std::fprintf(stderr, "capture_bench: %s\n", writer.Error().c_str());
        return 1;
    }
    double seconds = MonoSeconds() - began;
    std::FILE* file = std::fopen(path.c_str(), "rb");
    long size = -1;
    if (file != nullptr) {
        std::fseek(file, 0, SEEK_END);
        size = std::ftell(file);
        std::fclose(file);
    }
    std::printf("wrote %s: %ld exchanges (%ld packets, %zu distinct requests), %.1f MB, %.0f s of line time"
                " (%.1f exchanges/s)\n",
                path.c_str(), exchanges, 3 * exchanges, repertoire.size(), static_cast<double>(size) / 1e6,
                lineSeconds, static_cast<double>(exchanges) / lineSeconds);
    std::printf("writer: %.3f s, %.0f packets/s\n", seconds, 3.0 * static_cast<double>(exchanges) / seconds);
    return 0;
}
