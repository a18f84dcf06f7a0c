// Runs the capture reader's fuzz target over a few thousand files made from a good
// capture by the writer, then spoilt: bytes changed, lengths bent, blocks cut,
// repeated or dropped, so the target is exercised by every build and not only by
// the clang fuzzing job.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

#include "capture/pcapng_writer.h"
#include "link/frame.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using Bytes = std::vector<unsigned char>;

std::vector<Bytes> GoodBlocks() {
    std::vector<Bytes> blocks(3);
    AppendSectionHeader("zantrox-cli replay", blocks[0]);
    AppendInterface("/dev/ttyUSB0", blocks[1]);
    AppendInterface("COM7", blocks[2]);
    unsigned char frame[32];
    int n = BuildFrame("B07EHMS$VLPT", frame, sizeof frame);
    const long long t0 = 1796800000000000ll;
    CapturePiece request;
    request.bytes.assign(frame, frame + n);
    request.firstUs = t0;
    request.lastUs = t0 + 15600;
    request.comment = "Pump/Sale/Extended, pump 7";
    CapturePiece ack;
    ack.line = 1;
    ack.dir = TAP_CTRL;
    ack.kind = SPLIT_ACK;
    ack.bytes = {ACK};
    ack.firstUs = ack.lastUs = t0 + 15900;
    CapturePiece stray = ack;
    stray.kind = SPLIT_STRAY;
    stray.bytes = {0xFF, 'x', 0x00};
    for (const CapturePiece* piece : {&request, &ack, &stray}) {
        blocks.emplace_back();
        AppendPacket(*piece, blocks.back());
    }
    return blocks;
}

void PutLe32(Bytes& bytes, size_t at, uint32_t value) {
    for (int i = 0; i < 4 && at + i < bytes.size(); ++i) bytes[at + i] = static_cast<unsigned char>(value >> (8 * i));
}

}  // namespace

TEST(PcapngFuzzReplay, SpoiltCapturesEndCleanly) {
    std::mt19937 random(2026);
    const std::vector<Bytes> good = GoodBlocks();
    const uint32_t lengths[] = {0, 4, 8, 11, 12, 28, 31, 32, 0x100000, 0x100004, 0x7FFFFFFC, 0xFFFFFFFC};
    for (int i = 0; i < 4000; ++i) {
        // A few of the good blocks in some order, sometimes repeated or left out.
        std::vector<Bytes> blocks;
        blocks.push_back(good[0]);
        int count = 1 + static_cast<int>(random() % 8);
        for (int b = 0; b < count; ++b) blocks.push_back(good[1 + random() % (good.size() - 1)]);
        Bytes file;
        std::vector<size_t> starts;
        for (const Bytes& block : blocks) {
            starts.push_back(file.size());
            file.insert(file.end(), block.begin(), block.end());
        }
        int spoils = 1 + static_cast<int>(random() % 4);
        for (int s = 0; s < spoils; ++s) {
            size_t start = starts[random() % starts.size()];
            switch (random() % 5) {
                case 0: file[random() % file.size()] = static_cast<unsigned char>(random()); break;
                case 1: PutLe32(file, start + 4, lengths[random() % (sizeof lengths / sizeof lengths[0])]); break;
                case 2: PutLe32(file, start + 8 + 4 * (random() % 6), static_cast<uint32_t>(random())); break;
                case 3: file.resize(random() % (file.size() + 1)); break;
                default: {
                    size_t at = start + random() % 48;  // a block's head, fixed fields and first option
                    if (at < file.size()) file[at] ^= 0x80;
                    break;
                }
            }
            if (file.empty()) break;
        }
        ASSERT_EQ(LLVMFuzzerTestOneInput(file.data(), file.size()), 0);
    }
    // And the good file itself, whole.
    Bytes whole;
    for (const Bytes& block : good) whole.insert(whole.end(), block.begin(), block.end());
    ASSERT_EQ(LLVMFuzzerTestOneInput(whole.data(), whole.size()), 0);
}
