// The network device: a COM port whose name is rfc2217://HOST:PORT (Telnet with
// serial port control, through the codec in rfc2217.cpp) or socket://HOST:PORT
// (the line's bytes as they are), either of them also inside TLS (+tls, tls.h).
// Portable: the sockets are in net_posix.cpp or net_win32.cpp. A handle is a
// line slot's index + 1.
//
// Threads: the receive side (readByte) runs on the tick thread while writes and
// the modem lines come from others. The codec and the socket's sending side are
// shared, so both take the line's small lock; received bytes wait in the line's
// buffer, which only the receive side touches after the open.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "os/threading.h"
#include "port/device.h"
#include "port/net.h"
#include "port/net_url.h"
#include "port/rfc2217.h"
#include "port/tls.h"

namespace {

enum {
    NET_LINES = 2,
    NET_CHUNK_BYTES = 256,          // received at once; the codec's answers to it fit its buffer
    NET_READ_WAIT_MS = 1,           // as long as a serial read waits for a byte
    NET_NEGOTIATE_STEP_MS = 20,
    NET_ANSWER_SEND_MS = 1000,      // bound on sending the codec's answers
    NET_WRITE_BASE_MS = 1000,       // a write of n bytes: 10 n + 1000 ms, as on a serial port
    NET_WRITE_PER_BYTE_MS = 10,
    // A TLS 1.3 server refuses a client certificate after the handshake, by hanging
    // up: on a raw line, where the server says nothing first, the open waits this
    // long for that when the server asked for one.
    NET_TLS_SETTLE_MS = 150,
    // A plain RFC 2217 server greets first (its Telnet offers), a TLS server
    // waits for our hello: this long is listened for a greeting before the hello,
    // which such a server would pass on to its serial line.
    NET_TLS_LISTEN_FIRST_MS = 20,
};

struct NetLine {
    std::atomic<int> used;
    std::atomic<int> lock;
    std::atomic<int> lost;
    std::atomic<int> suspended;
    NetSocket socket;
    int tls;        // the TLS session, -1 for a plain line
    int heard;      // bytes received since the open, Telnet commands included
    int tlsReply;   // a plain line's first bytes were a TLS record
    int scheme;
    Rfc2217 codec;
    unsigned char received[NET_CHUNK_BYTES * 2];
    int next;  // the next byte of `received` to hand out
    int end;
};

NetLine lines[NET_LINES];

// What a server that hung up during the open said, printable characters only.
char openNote[NET_NOTE_BYTES];

void KeepNote(const NetLine& line) {
    int k = 0;
    for (int i = 0; i < line.end && k < NET_NOTE_BYTES - 1; ++i) {
        unsigned char c = line.received[i];
        if (c >= 0x20 && c < 0x7F) openNote[k++] = static_cast<char>(c);
        else if (k > 0 && openNote[k - 1] != ' ') openNote[k++] = ' ';
    }
    while (k > 0 && openNote[k - 1] == ' ') --k;
    openNote[k] = '\0';
}

NetLine* LineOf(DeviceHandle handle) {
    if (handle < 1 || handle > NET_LINES) return nullptr;
    NetLine* line = &lines[handle - 1];
    return line->used.load() != 0 ? line : nullptr;
}

int LineSend(NetLine& line, const unsigned char* data, int length, long long deadlineUs) {
    if (line.tls >= 0) return TlsSend(line.tls, data, length, deadlineUs);
    return NetSend(line.socket, data, length, deadlineUs);
}

int LineReceive(NetLine& line, unsigned char* data, int size, int waitMs) {
    if (line.tls >= 0) return TlsReceive(line.tls, data, size, waitMs);
    return NetReceive(line.socket, data, size, waitMs);
}

// Sends what the codec has queued. Caller holds the lock. Returns 0 or -1.
int SendQueued(NetLine& line, long long deadlineUs) {
    if (line.codec.outLength == 0) return 0;
    int result = LineSend(line, line.codec.out, line.codec.outLength, deadlineUs);
    Rfc2217Sent(line.codec, line.codec.outLength);
    if (result != 0) line.lost.store(1);
    return result;
}

// Keeps a received data byte when there is room (before the open has finished,
// the buffer may fill; the line's noise then is dropped as a full receive buffer would).
void Keep(NetLine& line, unsigned char byte) {
    if (line.end < static_cast<int>(sizeof line.received)) line.received[line.end++] = byte;
}

// Passes received bytes through the codec (Telnet) or as they are (raw).
void TakeIn(NetLine& line, const unsigned char* bytes, int n) {
    if (line.scheme == NET_SCHEME_RAW) {
        for (int i = 0; i < n; ++i) Keep(line, bytes[i]);
        return;
    }
    FlagLock lock(line.lock);
    for (int i = 0; i < n; ++i) {
        unsigned char data = 0;
        if (Rfc2217Input(line.codec, bytes[i], &data) == 1) Keep(line, data);
    }
    line.suspended.store(line.codec.suspended);
    (void)SendQueued(line, OsMonotonicUs() + NET_ANSWER_SEND_MS * 1000LL);
}

// Receives one block, waiting at most waitMs. Returns -1 when the connection ended.
int ReceiveBlock(NetLine& line, int waitMs) {
    unsigned char bytes[NET_CHUNK_BYTES];
    int room = static_cast<int>(sizeof line.received) - line.end;
    int n = LineReceive(line, bytes, room < NET_CHUNK_BYTES ? room : NET_CHUNK_BYTES, waitMs);
    if (n < 0) {
        line.lost.store(1);
        return -1;
    }
    // A TLS server given a plain RFC 2217 URL answers our first bytes with a TLS
    // record (an alert, 21, or a handshake, 22, then version 3.x), where an RFC 2217
    // server starts with Telnet (IAC, 255). A raw line's first bytes are the line's
    // own (21 is NAK), so they are not looked at.
    if (line.tls < 0 && line.scheme == NET_SCHEME_RFC2217 && line.heard == 0 && n >= 3 && (bytes[0] == 0x15 || bytes[0] == 0x16) && bytes[1] == 0x03 &&
        bytes[2] <= 0x04) {
        line.tlsReply = 1;
        line.lost.store(1);
        return -1;
    }
    line.heard += n;
    TakeIn(line, bytes, n);
    return 0;
}

// Receives one step's worth of what the server sends. Returns 0, or the open
// error when the deadline passed or the server hung up.
int AwaitServer(NetLine& line, long long deadlineUs) {
    long long leftUs = deadlineUs - OsMonotonicUs();
    if (leftUs <= 0) return OPEN_ERROR_NET_NOT_RFC2217;
    int waitMs = static_cast<int>((leftUs + 999) / 1000);
    if (ReceiveBlock(line, waitMs < NET_NEGOTIATE_STEP_MS ? waitMs : NET_NEGOTIATE_STEP_MS) != 0) {
        return OPEN_ERROR_NET_CLOSED;
    }
    return 0;
}

// Negotiates the options, then waits for the server's serial device. Returns 0 or a PortOpenError.
int Negotiate(NetLine& line, long long deadlineUs) {
    Rfc2217Start(line.codec);
    {
        FlagLock lock(line.lock);
        if (SendQueued(line, deadlineUs) != 0) return OPEN_ERROR_NET_CLOSED;
    }
    // A server that says nothing in Telnet (raw TCP, another protocol) is not one.
    while (line.codec.comPort == COM_PORT_PENDING) {
        int waited = AwaitServer(line, deadlineUs);
        if (waited != 0) return waited;
    }
    if (line.codec.comPort != COM_PORT_ACCEPTED) return OPEN_ERROR_NET_NOT_RFC2217;
    // Ask for the baud rate (SET-BAUDRATE 0): the answer shows the server has its
    // serial device open. A server that cannot open it says so in text and hangs up.
    {
        FlagLock lock(line.lock);
        Rfc2217QueueBaudQuery(line.codec);
        if (SendQueued(line, deadlineUs) != 0) return OPEN_ERROR_NET_CLOSED;
    }
    while (line.codec.baudAnswer < 0) {
        int waited = AwaitServer(line, deadlineUs);
        if (waited != 0) return waited;
    }
    return 0;
}

// Writes the open note; a note longer than its buffer is cut, as any note is.
void SetNote(const char* format, ...) {
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(openNote, sizeof openNote, format, arguments);
    va_end(arguments);
}

// "127.0.0.1:4001" or "[::1]:4001", for messages.
void HostAndPort(const NetAddress& address, char* out, size_t size) {
    bool v6 = std::strchr(address.host, ':') != nullptr;
    std::snprintf(out, size, "%s%s%s:%d", v6 ? "[" : "", address.host, v6 ? "]" : "", address.port);
}

// Why an open failed, in the terms of TLS where they apply; the particulars
// go to the open note. `refused` is what the plain steps found.
int ExplainRefusal(const NetLine& line, const NetAddress& address, int refused) {
    char where[NET_HOST_BYTES + 16];
    HostAndPort(address, where, sizeof where);
    const char* secure = NetSchemeName(address.scheme, 1);
    if (line.tls < 0 && (line.tlsReply || (refused == OPEN_ERROR_NET_CLOSED && line.heard == 0))) {
        SetNote("%s %s: is it a TLS server? use %s://", where,
                      line.tlsReply ? "answers in TLS" : "hung up on our first bytes without a word, as TLS servers do",
                      secure);
        return OPEN_ERROR_NET_TLS_SERVER;
    }
    const int asked = line.tls >= 0 ? TlsServerAskedForCertificate(line.tls) : 0;
    if (line.tls >= 0 && refused == OPEN_ERROR_NET_CLOSED && line.heard == 0 && asked != 0) {
        if (asked < 0) {
            SetNote("the server refused our certificate, it seems: it hung up right after the TLS handshake without a "
                    "word, as a server that wants a client certificate does%s",
                    address.settings.cert[0] != '\0' ? "" : ", and we have none");
        } else if (address.settings.cert[0] != '\0') {
            SetNote("the server refused our certificate (cert=%s).\nIs it signed by a CA the server trusts for its CN? "
                    "(ser2net: that CA in AUTHDIR/<CN>/allowed_certs, hashed with openssl rehash)",
                          address.settings.cert);
        } else {
            SetNote("the server refused our certificate: it asks for one and we have none (give cert= and key=)");
        }
        return OPEN_ERROR_TLS_REFUSED_US;
    }
    if (refused == OPEN_ERROR_NET_CLOSED) KeepNote(line);
    return refused;
}

// A raw line says nothing first, so a server that refuses our certificate once
// the handshake is over is waited for a moment: its hang-up, or any byte, ends the wait.
int AwaitCertificateVerdict(NetLine& line, long long deadlineUs) {
    long long untilUs = OsMonotonicUs() + NET_TLS_SETTLE_MS * 1000LL;
    if (untilUs > deadlineUs) untilUs = deadlineUs;
    while (line.end == 0) {
        long long leftUs = untilUs - OsMonotonicUs();
        if (leftUs <= 0) return 0;
        if (ReceiveBlock(line, static_cast<int>((leftUs + 999) / 1000)) != 0) return OPEN_ERROR_NET_CLOSED;
    }
    return 0;
}

void EndLine(NetLine& line) {
    if (line.tls >= 0) TlsEnd(line.tls);
    line.tls = -1;
    NetClose(line.socket);
    line.socket = -1;
}

DeviceHandle NetOpen(int k, int* error) {
    openNote[0] = '\0';
    long long deadlineUs = OsMonotonicUs() + NET_OPEN_BOUND_MS * 1000LL;
    char name[PORT_NAME_BYTES];
    NetAddress address;
    if (PortNetworkName(k, name, sizeof name) != 1 || NetParseUrl(name, &address) != NET_URL_OK) {
        *error = OPEN_ERROR_NO_DEVICE;
        return 0;
    }
    int slot = -1;
    for (int i = 0; i < NET_LINES && slot < 0; ++i) {
        int expected = 0;
        if (lines[i].used.compare_exchange_strong(expected, 1)) slot = i;
    }
    if (slot < 0) {
        *error = OPEN_ERROR_BUSY;
        return 0;
    }
    NetLine& line = lines[slot];
    line.lost.store(0);
    line.suspended.store(0);
    line.scheme = address.scheme;
    line.next = 0;
    line.end = 0;
    line.tls = -1;
    line.heard = 0;
    line.tlsReply = 0;
    line.socket = NetConnect(address.host, address.port, deadlineUs, error);
    if (line.socket < 0) {
        line.used.store(0);
        return 0;
    }
    if (address.tls) {
        char problem[TLS_PROBLEM_BYTES];
        unsigned char greeting[16];
        if (line.scheme == NET_SCHEME_RFC2217 &&
            NetReceive(line.socket, greeting, sizeof greeting, NET_TLS_LISTEN_FIRST_MS) > 0) {
            std::snprintf(problem, sizeof problem, "It greeted us in plain Telnet, which a TLS server never does");
            *error = OPEN_ERROR_TLS_NOT_TLS;
            line.tls = -1;
        } else {
            line.tls = TlsStart(line.socket, address, deadlineUs, error, problem, sizeof problem);
        }
        if (line.tls < 0) {
            if (*error == OPEN_ERROR_TLS_NOT_TLS) {
                char where[NET_HOST_BYTES + 16];
                HostAndPort(address, where, sizeof where);
                SetNote("%s does not answer TLS: is it a plain server? use %s://\n%s.",
                              where, NetSchemeName(address.scheme, 0), problem);
            } else {
                SetNote("%s", problem);
            }
            EndLine(line);
            line.used.store(0);
            return 0;
        }
    }
    int refused = 0;
    if (line.scheme == NET_SCHEME_RFC2217) refused = Negotiate(line, deadlineUs);
    else if (line.tls >= 0 && TlsServerAskedForCertificate(line.tls) != 0) refused = AwaitCertificateVerdict(line, deadlineUs);
    if (refused != 0) {
        *error = ExplainRefusal(line, address, refused);
        EndLine(line);
        line.used.store(0);
        return 0;
    }
    *error = OPEN_ERROR_NONE;
    return static_cast<DeviceHandle>(slot + 1);
}

void NetCloseLine(DeviceHandle handle) {
    NetLine* line = LineOf(handle);
    if (line == nullptr) return;
    EndLine(*line);
    line->used.store(0);
}

// Sends `value` as SET-CONTROL (raw TCP has no modem lines to set).
void QueueAndSend(NetLine& line, const LineSettings* settings, int control) {
    if (line.scheme != NET_SCHEME_RFC2217) return;
    FlagLock lock(line.lock);
    if (settings != nullptr) Rfc2217QueueLine(line.codec, *settings);
    if (control != 0) Rfc2217QueueControl(line.codec, control);
    (void)SendQueued(line, OsMonotonicUs() + NET_ANSWER_SEND_MS * 1000LL);
}

int NetConfigure(DeviceHandle handle, const LineSettings& settings) {
    NetLine* line = LineOf(handle);
    if (line == nullptr) return PORT_IO_ERROR;
    QueueAndSend(*line, &settings, 0);
    return line->lost.load() != 0 ? PORT_IO_ERROR : PORT_OK;
}

void NetRaiseDtrRts(DeviceHandle handle) {
    NetLine* line = LineOf(handle);
    if (line == nullptr) return;
    QueueAndSend(*line, nullptr, COM_CONTROL_DTR_ON);
    QueueAndSend(*line, nullptr, COM_CONTROL_RTS_ON);
}

void NetSetRts(DeviceHandle handle, int enable) {
    NetLine* line = LineOf(handle);
    if (line == nullptr) return;
    QueueAndSend(*line, nullptr, enable ? COM_CONTROL_RTS_ON : COM_CONTROL_RTS_OFF);
}

int NetWrite(DeviceHandle handle, const unsigned char* data, int length) {
    NetLine* line = LineOf(handle);
    if (line == nullptr || length < 0) return PORT_IO_ERROR;
    long long deadlineUs =
        OsMonotonicUs() + (NET_WRITE_PER_BYTE_MS * static_cast<long long>(length) + NET_WRITE_BASE_MS) * 1000LL;
    // The server asked us to hold the data (its serial side is full); the receive
    // side sees it resume.
    while (line->suspended.load() != 0) {
        if (OsMonotonicUs() >= deadlineUs) return PORT_IO_ERROR;
        OsSleepMs(1);
    }
    if (line->scheme == NET_SCHEME_RAW) {
        if (LineSend(*line, data, length, deadlineUs) == 0) return PORT_OK;
        line->lost.store(1);
        return PORT_IO_ERROR;
    }
    FlagLock lock(line->lock);
    if (SendQueued(*line, deadlineUs) != 0) return PORT_IO_ERROR;
    unsigned char escaped[NET_CHUNK_BYTES * 2];
    int done = 0;
    while (done < length) {
        int used = 0;
        int n = Rfc2217Escape(data + done, length - done, escaped, sizeof escaped, &used);
        if (LineSend(*line, escaped, n, deadlineUs) != 0) {
            line->lost.store(1);
            return PORT_IO_ERROR;
        }
        done += used;
    }
    return PORT_OK;
}

int NetReadByte(DeviceHandle handle, unsigned char* byte) {
    NetLine* line = LineOf(handle);
    if (line == nullptr) return 0;
    if (line->next == line->end) {
        line->next = 0;
        line->end = 0;
        if (line->lost.load() == 0) (void)ReceiveBlock(*line, NET_READ_WAIT_MS);
        if (line->end == 0) {
            // A closed connection answers at once: the wait is slept out so the
            // receive side does not spin.
            if (line->lost.load() != 0) OsSleepMs(NET_READ_WAIT_MS);
            return 0;
        }
    }
    *byte = line->received[line->next++];
    return 1;
}

int NetLost(DeviceHandle handle) {
    NetLine* line = LineOf(handle);
    if (line == nullptr) return 1;
    if (line->lost.load() != 0) return 1;
    return NetPeerClosed(line->socket);
}

// Sleeps until one of the lines has a data byte to hand out: one received before,
// or one its socket brings. What the socket brings goes through the codec first,
// so Telnet commands alone (a server's notices) do not wake the caller. A line
// whose connection ended is ready at once: its read finds out.
int NetWaitReadable(const DeviceHandle* handles, int count, int timeoutMs, int* ready) {
    const long long endUs = OsMonotonicUs() + (timeoutMs > 0 ? timeoutMs : 0) * 1000LL;
    bool timeUp = false;  // a server sending only Telnet commands does not hold the wait open
    for (;;) {
        NetSocket sockets[NET_LINES];
        int which[NET_LINES];
        int waiting = 0;
        int total = 0;
        for (int i = 0; i < count; ++i) {
            ready[i] = 0;
            NetLine* line = LineOf(handles[i]);
            // A TLS record read whole holds bytes the socket no longer shows.
            if (line != nullptr && line->next == line->end && line->lost.load() == 0 && line->tls >= 0 &&
                TlsBuffered(line->tls)) {
                line->next = 0;
                line->end = 0;
                (void)ReceiveBlock(*line, 0);
            }
            if (line == nullptr || line->lost.load() != 0 || line->next < line->end) {
                ready[i] = 1;
                ++total;
            } else if (waiting < NET_LINES) {
                sockets[waiting] = line->socket;
                which[waiting++] = i;
            }
        }
        if (total > 0 || waiting == 0 || timeUp) return total;
        long long leftUs = endUs - OsMonotonicUs();
        int readable[NET_LINES] = {};
        if (NetWaitSockets(sockets, waiting, leftUs > 0 ? static_cast<int>((leftUs + 999) / 1000) : 0, readable) == 0) {
            return 0;
        }
        for (int j = 0; j < waiting; ++j) {
            NetLine* line = LineOf(handles[which[j]]);
            if (readable[j] == 0 || line == nullptr) continue;
            line->next = 0;  // empty: checked above
            line->end = 0;
            (void)ReceiveBlock(*line, 0);
        }
        timeUp = OsMonotonicUs() >= endUs;
    }
}

}  // namespace

const char* NetOpenNote() { return openNote; }

const DeviceOps NetworkDevice = {NetOpen,     NetCloseLine, NetConfigure, NetRaiseDtrRts, NetWrite,
                                 NetReadByte, NetSetRts,    NetLost,      NetWaitReadable};
