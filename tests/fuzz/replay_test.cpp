// Runs the receive fuzz target over a few thousand generated line streams, so the
// target is exercised by every build and not only by the clang fuzzing job.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(ReceiveFuzzReplay, GeneratedStreamsEndCleanly) {
    std::mt19937 random(2024);
    const uint8_t shapes[] = {0x06, 0x02, 0x03, 0x0A, 0x7F, 0xFF, 'A'};
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> input(1 + random() % 1400);
        for (uint8_t& b : input) {
            // Mostly protocol bytes, so ACKs, frames and wraps are common.
            b = (random() % 3 == 0) ? static_cast<uint8_t>(random()) : shapes[random() % sizeof shapes];
        }
        ASSERT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0);
    }
}
