// TLS on Windows. Until Schannel is wired in, a TLS URL is refused in words
// before anything is connected: never opened without TLS.
#include "port/tls.h"

#include <cstdio>

#include "port/port.h"

int TlsAvailable() { return 0; }

int TlsCheckFiles(const NetAddress& address, char* problem, int size) {
    if (size > 0) problem[0] = '\0';
    if (!address.tls) return 0;
    std::snprintf(problem, static_cast<size_t>(size), "TLS ports are not available in this build");
    return -1;
}

int TlsStart(NetSocket, const NetAddress&, long long, int* error, char* problem, int size) {
    std::snprintf(problem, static_cast<size_t>(size), "TLS ports are not available in this build");
    *error = OPEN_ERROR_TLS_FAILED;
    return -1;
}

int TlsSend(int, const unsigned char*, int, long long) { return -1; }
int TlsReceive(int, unsigned char*, int, int) { return -1; }
int TlsBuffered(int) { return 0; }
int TlsServerAskedForCertificate(int) { return 0; }
void TlsEnd(int) {}
