#include "outputs/pcapng_output.h"

#include <climits>

#include "events/exit_status.h"
#include "commands/format.h"
#include "os/replacing_file.h"
#include "events/stop.h"
#include "events/verdicts.h"
#include "link/frame_splitter.h"
#include "zantrox_version.h"

namespace {

// The text between STX and ETX, as the catalogue would have made it.
std::string FrameText(const std::vector<unsigned char>& bytes) {
    if (bytes.size() < 3) return std::string();
    return std::string(bytes.begin() + 1, bytes.end() - 2);
}

void AddComment(std::string& comment, const std::string& more) {
    if (!comment.empty()) comment += "; ";
    comment += more;
}

}  // namespace

std::string ExchangeComment(const ExchangeEvent& exchange) {
    std::string comment = std::string("exchange ") + VerdictName(exchange.verdict);
    if (exchange.ackMs >= 0) comment += Format(", ACK %.1f ms", exchange.ackMs);
    if (exchange.replyMs >= 0) comment += Format(", reply %.1f ms", exchange.replyMs);
    return comment;
}

bool PcapngOutput::Open(const OutputOptions& options, const std::vector<std::string>& lines, std::string& error) {
    const std::string application = std::string("zantrox-cli ") + ZANTROX_VERSION;
    int result;
    if (options.pcapngFd >= 0) {
        result = writer_.Attach(options.pcapngFd, lines, application);
    } else {
        path_ = options.pcapng;
        if (!FileTargetUsable(path_, error)) return false;
        result = writer_.Create(path_, lines, application);
    }
    if (result != CAPTURE_OK) {
        error = writer_.Error();
        return false;
    }
    return true;
}

void PcapngOutput::Write(const CapturePiece& piece) {
    if (broken_) return;
    int result = writer_.Write(piece);
    if (result == CAPTURE_OK || result == CAPTURE_PIECE_REFUSED) return;
    // Said at once, not at the end: a capture that stopped is no capture.
    broken_ = true;
    std::fprintf(stderr, "zantrox-cli: the capture%s%s: %s; stopping\n", path_.empty() ? "" : " ", path_.c_str(),
                 writer_.Error().c_str());
    RequestStop();
}

void PcapngOutput::WriteUpTo(long long lastUs) {
    while (!held_.empty() && held_.front().lastUs <= lastUs) {
        Write(held_.front());
        held_.pop_front();
    }
}

void PcapngOutput::Piece(const LinePiece& piece) {
    CapturePiece out;
    out.line = piece.line;
    out.dir = piece.dir;
    out.kind = piece.kind;
    out.valid = piece.valid;
    out.firstUs = clock_.EpochUs(piece.firstUs);
    out.lastUs = clock_.EpochUs(piece.lastUs);
    out.bytes = piece.bytes;
    if (names_ != nullptr && piece.kind == SPLIT_FRAME && piece.dir != TAP_CTRL) {
        const CommandName* name = names_->Find(FrameText(piece.bytes));
        if (name != nullptr) {
            out.comment = name->pump == 0 ? name->path : name->path + ", pump " + std::to_string(name->pump);
        }
    }
    held_.push_back(std::move(out));
    if (held_.size() > HELD_MOST) {
        Write(held_.front());
        held_.pop_front();
    }
}

void PcapngOutput::Exchange(const ExchangeEvent& exchange) {
    // The piece that ends it: the last one held within the exchange's span.
    const long long endUs = clock_.EpochUs(exchange.endUs);
    const long long firstUs = clock_.EpochUs(exchange.firstUs);
    for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
        if (it->lastUs <= endUs && it->lastUs >= firstUs) {
            AddComment(it->comment, ExchangeComment(exchange));
            break;
        }
    }
    // What ended with it can take no later verdict.
    WriteUpTo(endUs);
}

void PcapngOutput::Settled() { WriteUpTo(LLONG_MAX); }

int PcapngOutput::Finish(const StreamEnd&) {
    Settled();
    int result = writer_.Finish();
    if (result != CAPTURE_OK) {
        if (!broken_) {
            std::fprintf(stderr, "zantrox-cli: the capture%s%s: %s\n", path_.empty() ? "" : " ", path_.c_str(),
                         writer_.Error().c_str());
        }
        return EXIT_FAILED;
    }
    if (!path_.empty()) {
        std::fprintf(summary_, "capture: %s\n", path_.c_str());
        std::fflush(summary_);
    }
    return EXIT_ALL_OK;
}
