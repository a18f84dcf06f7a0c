// The command line's view of one transaction: the reply as it came on the line.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "events/sent_exchange.h"
#include "link/frame.h"

namespace {

std::vector<unsigned char> Bytes(const std::string& text) { return std::vector<unsigned char>(text.begin(), text.end()); }

}  // namespace

TEST(ReplyOnTheLine, WholeFromItsStartPastNoiseAndMarkedWhenTheCaptureEndsFirst) {
    // Longer than the engine's wrap position, with noise before the ACK.
    std::string text;
    for (int i = 0; i < 950; ++i) text += static_cast<char>('A' + i % 26);
    std::vector<unsigned char> received = {0x15, 0x7E, ETX, ACK, STX};
    for (unsigned char c : Bytes(text)) received.push_back(c);
    received.push_back(ETX);
    received.push_back(0x31);
    std::string reply;
    bool cut = true;
    ReplyOnTheLine(received, reply, cut);
    EXPECT_EQ(reply, text);
    EXPECT_FALSE(cut);

    // No STX: the reply starts right after the ACK; bytes after the ETX are not it.
    ReplyOnTheLine({ACK, 'O', 'K', ETX, 0x00, ACK, 'x'}, reply, cut);
    EXPECT_EQ(reply, "OK");
    EXPECT_FALSE(cut);

    // The captured bytes end inside the reply.
    received.resize(600);
    ReplyOnTheLine(received, reply, cut);
    EXPECT_EQ(reply, text.substr(0, 600 - 5));
    EXPECT_TRUE(cut);
}
