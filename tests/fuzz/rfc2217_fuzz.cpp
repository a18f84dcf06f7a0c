// Fuzz target over the Telnet / serial port control codec: whatever a server
// sends, the codec stays inside its buffers, the line data it hands back is the
// input with every command taken out (never longer), and line data escaped for
// sending comes back through it unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "port/rfc2217.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Rfc2217 codec;
    Rfc2217Start(codec);
    size_t handed = 0;
    for (size_t i = 0; i < size; ++i) {
        unsigned char byte = 0;
        if (Rfc2217Input(codec, data[i], &byte) == 1) ++handed;
        Check(codec.outLength >= 0 && codec.outLength <= RFC2217_OUT_BYTES);
        Check(codec.sbLength >= 0 && codec.sbLength <= RFC2217_SB_BYTES);
        Check(codec.comPort >= COM_PORT_REFUSED && codec.comPort <= COM_PORT_ACCEPTED);
        // The socket code sends the answers after every block it receives.
        if (i % 256 == 255) Rfc2217Sent(codec, codec.outLength);
    }
    Check(handed <= size);

    // The same bytes as line data: escaped, then read back by a fresh codec.
    static unsigned char wire[2 * 4096];
    size_t length = size < 4096 ? size : 4096;
    int used = 0;
    int n = Rfc2217Escape(data, static_cast<int>(length), wire, static_cast<int>(sizeof wire), &used);
    Check(used == static_cast<int>(length) && n >= used && n <= 2 * used);
    Rfc2217 reader;
    Rfc2217Start(reader);
    size_t at = 0;
    for (int i = 0; i < n; ++i) {
        unsigned char byte = 0;
        if (Rfc2217Input(reader, wire[i], &byte) == 1) {
            Check(at < length && byte == data[at]);
            ++at;
        }
    }
    Check(at == length);
    return 0;
}
