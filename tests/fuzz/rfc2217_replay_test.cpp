// Runs the codec fuzz target over generated server streams in every build, not
// only in the clang fuzzing job.
#include <gtest/gtest.h>

#include <cstdint>
#include <random>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

TEST(Rfc2217FuzzReplay, GeneratedServerStreamsStayInBounds) {
    std::mt19937 random(2217);
    // Mostly Telnet command bytes, so commands, options and subnegotiations are common.
    const uint8_t shapes[] = {255, 255, 250, 240, 251, 252, 253, 254, 44, 101, 106, 108, 0, 3};
    for (int i = 0; i < 3000; ++i) {
        std::vector<uint8_t> input(1 + random() % 1200);
        for (uint8_t& b : input) {
            b = (random() % 3 == 0) ? static_cast<uint8_t>(random()) : shapes[random() % sizeof shapes];
        }
        ASSERT_EQ(LLVMFuzzerTestOneInput(input.data(), input.size()), 0);
    }
}
