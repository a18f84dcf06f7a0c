// TCP sockets on Windows (Winsock 2). Name resolution runs on a worker thread the
// caller waits for only until its deadline, as on POSIX: getaddrinfo cannot be
// given one. A lookup given up on finishes on its own and frees its result.
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <stdio.h>
#include <string.h>

#include "os/threading.h"
#include "port/net.h"
#include "port/port.h"

namespace {

enum LookupState { LOOKUP_FREE = 0, LOOKUP_RUNNING = 1, LOOKUP_ABANDONED = 2, LOOKUP_DONE = 3 };

enum { LOOKUP_SLOTS = 4, LOOKUP_HOST_BYTES = 256 };

struct Lookup {
    int state;
    char host[LOOKUP_HOST_BYTES];
    char service[8];
    addrinfo* result;
    int status;
    HANDLE done;  // set when the lookup has finished
};

Lookup lookups[LOOKUP_SLOTS];
CRITICAL_SECTION lookupLock;
INIT_ONCE startOnce = INIT_ONCE_STATIC_INIT;
int winsockReady = 0;

BOOL CALLBACK StartOnce(PINIT_ONCE, PVOID, PVOID*) {
    InitializeCriticalSection(&lookupLock);
    for (Lookup& slot : lookups) slot.done = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    WSADATA data;
    winsockReady = WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 1 : 0;
    return TRUE;
}

addrinfo Hints(int flags) {
    addrinfo hints;
    ZeroMemory(&hints, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_protocol = IPPROTO_TCP;
    hints.ai_flags = flags;
    return hints;
}

DWORD WINAPI RunLookup(LPVOID argument) {
    Lookup* lookup = static_cast<Lookup*>(argument);
    addrinfo hints = Hints(AI_ADDRCONFIG);
    addrinfo* result = nullptr;
    int status = getaddrinfo(lookup->host, lookup->service, &hints, &result);
    EnterCriticalSection(&lookupLock);
    if (lookup->state == LOOKUP_ABANDONED) {
        if (result != nullptr) freeaddrinfo(result);
        lookup->state = LOOKUP_FREE;
    } else {
        lookup->result = result;
        lookup->status = status;
        lookup->state = LOOKUP_DONE;
        SetEvent(lookup->done);
    }
    LeaveCriticalSection(&lookupLock);
    return 0;
}

int Resolve(const char* host, const char* service, long long deadlineUs, addrinfo** result) {
    addrinfo numeric = Hints(AI_NUMERICHOST | AI_NUMERICSERV);
    if (getaddrinfo(host, service, &numeric, result) == 0) return 0;
    if (strlen(host) >= LOOKUP_HOST_BYTES) return OPEN_ERROR_NET_NO_HOST;

    EnterCriticalSection(&lookupLock);
    Lookup* lookup = nullptr;
    for (Lookup& slot : lookups) {
        if (slot.state == LOOKUP_FREE) {
            lookup = &slot;
            break;
        }
    }
    if (lookup == nullptr) {  // every slot holds a lookup still stuck in the name service
        LeaveCriticalSection(&lookupLock);
        return OPEN_ERROR_NET_TIMED_OUT;
    }
    snprintf(lookup->host, sizeof lookup->host, "%s", host);  // fits: checked above
    snprintf(lookup->service, sizeof lookup->service, "%s", service);
    lookup->result = nullptr;
    lookup->status = 0;
    lookup->state = LOOKUP_RUNNING;
    ResetEvent(lookup->done);
    HANDLE thread = CreateThread(nullptr, 0, RunLookup, lookup, 0, nullptr);
    if (thread == nullptr) {
        lookup->state = LOOKUP_FREE;
        LeaveCriticalSection(&lookupLock);
        return OPEN_ERROR_OTHER;
    }
    CloseHandle(thread);
    LeaveCriticalSection(&lookupLock);

    (void)WaitForSingleObject(lookup->done, static_cast<DWORD>(OsMsUntil(deadlineUs)));
    EnterCriticalSection(&lookupLock);
    int error = 0;
    if (lookup->state == LOOKUP_DONE) {
        if (lookup->status == 0) {
            *result = lookup->result;
        } else {
            error = lookup->status == WSATRY_AGAIN ? OPEN_ERROR_NET_TIMED_OUT : OPEN_ERROR_NET_NO_HOST;
        }
        lookup->state = LOOKUP_FREE;
    } else {
        lookup->state = LOOKUP_ABANDONED;
        error = OPEN_ERROR_NET_TIMED_OUT;
    }
    LeaveCriticalSection(&lookupLock);
    return error;
}

int ConnectErrorFor(int error) {
    switch (error) {
        case WSAECONNREFUSED: return OPEN_ERROR_NET_REFUSED;
        case WSAETIMEDOUT: return OPEN_ERROR_NET_TIMED_OUT;
        case WSAENETUNREACH:
        case WSAEHOSTUNREACH:
        case WSAEADDRNOTAVAIL: return OPEN_ERROR_NET_UNREACHABLE;
        default: return OPEN_ERROR_OTHER;
    }
}

timeval Timeout(int ms) {
    timeval t;
    t.tv_sec = ms / 1000;
    t.tv_usec = (ms % 1000) * 1000;
    return t;
}

SOCKET ConnectOne(const addrinfo* address, long long deadlineUs, int* error) {
    SOCKET s = socket(address->ai_family, address->ai_socktype, address->ai_protocol);
    if (s == INVALID_SOCKET) {
        *error = OPEN_ERROR_OTHER;
        return INVALID_SOCKET;
    }
    u_long nonBlocking = 1;
    (void)ioctlsocket(s, FIONBIO, &nonBlocking);
    if (connect(s, address->ai_addr, static_cast<int>(address->ai_addrlen)) != 0) {
        int connectError = WSAGetLastError();
        if (connectError != WSAEWOULDBLOCK) {
            closesocket(s);
            *error = ConnectErrorFor(connectError);
            return INVALID_SOCKET;
        }
        fd_set writable;
        fd_set failed;
        FD_ZERO(&writable);
        FD_ZERO(&failed);
        FD_SET(s, &writable);
        FD_SET(s, &failed);
        timeval wait = Timeout(OsMsUntil(deadlineUs));
        int ready = select(0, nullptr, &writable, &failed, &wait);
        if (ready <= 0) {
            closesocket(s);
            *error = OPEN_ERROR_NET_TIMED_OUT;
            return INVALID_SOCKET;
        }
        int socketError = 0;
        int length = sizeof socketError;
        if (getsockopt(s, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&socketError), &length) != 0) {
            socketError = WSAGetLastError();
        }
        if (socketError != 0 || !FD_ISSET(s, &writable)) {
            closesocket(s);
            *error = socketError != 0 ? ConnectErrorFor(socketError) : OPEN_ERROR_NET_REFUSED;
            return INVALID_SOCKET;
        }
    }
    BOOL on = TRUE;
    (void)setsockopt(s, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
    return s;
}

}  // namespace

NetSocket NetConnect(const char* host, int port, long long deadlineUs, int* error) {
    (void)InitOnceExecuteOnce(&startOnce, StartOnce, nullptr, nullptr);
    if (!winsockReady) {
        *error = OPEN_ERROR_OTHER;
        return -1;
    }
    char service[8];
    snprintf(service, sizeof service, "%d", port & 0xFFFF);  // at most 5 digits
    addrinfo* addresses = nullptr;
    int resolveError = Resolve(host, service, deadlineUs, &addresses);
    if (resolveError != 0) {
        *error = resolveError;
        return -1;
    }
    SOCKET s = INVALID_SOCKET;
    *error = OPEN_ERROR_NET_NO_HOST;
    for (const addrinfo* a = addresses; a != nullptr && s == INVALID_SOCKET; a = a->ai_next) {
        int attempt = OPEN_ERROR_OTHER;
        s = ConnectOne(a, deadlineUs, &attempt);
        if (s == INVALID_SOCKET) *error = attempt;
        if (s == INVALID_SOCKET && OsMonotonicUs() >= deadlineUs) break;
    }
    freeaddrinfo(addresses);
    if (s == INVALID_SOCKET) return -1;
    *error = OPEN_ERROR_NONE;
    return static_cast<NetSocket>(s);
}

int NetSend(NetSocket socket, const unsigned char* data, int length, long long deadlineUs) {
    SOCKET s = static_cast<SOCKET>(socket);
    int done = 0;
    while (done < length) {
        int n = send(s, reinterpret_cast<const char*>(data) + done, length - done, 0);
        if (n > 0) {
            done += n;
            continue;
        }
        if (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) return -1;
        int wait = OsMsUntil(deadlineUs);
        if (wait <= 0) return -1;
        fd_set writable;
        FD_ZERO(&writable);
        FD_SET(s, &writable);
        timeval t = Timeout(wait);
        if (select(0, nullptr, &writable, nullptr, &t) == SOCKET_ERROR) return -1;
    }
    return 0;
}

int NetReceive(NetSocket socket, unsigned char* data, int size, int waitMs) {
    SOCKET s = static_cast<SOCKET>(socket);
    for (int round = 0; round < 2; ++round) {
        int n = recv(s, reinterpret_cast<char*>(data), size, 0);
        if (n > 0) return n;
        if (n == 0) return -1;  // the other end closed
        if (WSAGetLastError() != WSAEWOULDBLOCK) return -1;
        if (round == 1 || waitMs <= 0) return 0;
        fd_set readable;
        FD_ZERO(&readable);
        FD_SET(s, &readable);
        timeval t = Timeout(waitMs);
        if (select(0, &readable, nullptr, nullptr, &t) <= 0) return 0;
    }
    return 0;
}

int NetWaitSockets(const NetSocket* sockets, int count, int waitMs, int* readable) {
    if (count > 8) count = 8;
    fd_set set;
    FD_ZERO(&set);
    for (int i = 0; i < count; ++i) {
        FD_SET(static_cast<SOCKET>(sockets[i]), &set);
        readable[i] = 0;
    }
    timeval t = Timeout(waitMs < 0 ? 0 : waitMs);
    if (select(0, &set, nullptr, nullptr, &t) <= 0) return 0;
    int total = 0;
    for (int i = 0; i < count; ++i) {
        if (!FD_ISSET(static_cast<SOCKET>(sockets[i]), &set)) continue;  // data, or an end a read will find
        readable[i] = 1;
        ++total;
    }
    return total;
}

// Winsock has no "peer finished sending" flag to poll: a closed connection is one
// that reads as ended with nothing left before the end.
int NetPeerClosed(NetSocket socket) {
    char byte = 0;
    int n = recv(static_cast<SOCKET>(socket), &byte, 1, MSG_PEEK);
    if (n == 0) return 1;
    if (n == SOCKET_ERROR && WSAGetLastError() != WSAEWOULDBLOCK) return 1;
    return 0;
}

void NetClose(NetSocket socket) {
    if (socket >= 0) closesocket(static_cast<SOCKET>(socket));
}
