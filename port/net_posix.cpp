// TCP sockets on POSIX. Name resolution runs on a detached worker thread the
// caller waits for only until its deadline: getaddrinfo itself cannot be given
// one, and a slow name service must not hold a window's thread. A lookup given up
// on finishes on its own and frees its result; a few slots are kept for them.
#include "port/net.h"

#include <errno.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "os/threading.h"
#include "port/port.h"

namespace {

enum LookupState { LOOKUP_FREE = 0, LOOKUP_RUNNING = 1, LOOKUP_ABANDONED = 2, LOOKUP_DONE = 3 };

enum { LOOKUP_SLOTS = 4, LOOKUP_HOST_BYTES = 256 };

struct Lookup {
    int state;
    char host[LOOKUP_HOST_BYTES];
    char service[8];
    addrinfo* result;
    int status;  // what getaddrinfo returned
};

Lookup lookups[LOOKUP_SLOTS];
pthread_mutex_t lookupMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_cond_t lookupDone;
pthread_once_t lookupOnce = PTHREAD_ONCE_INIT;

void InitLookupCondition() {
    pthread_condattr_t attr;
    pthread_condattr_init(&attr);
    pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
    pthread_cond_init(&lookupDone, &attr);
    pthread_condattr_destroy(&attr);
}

addrinfo Hints(int flags) {
    addrinfo hints;
    memset(&hints, 0, sizeof hints);
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = flags;
    return hints;
}

void* RunLookup(void* argument) {
    Lookup* lookup = static_cast<Lookup*>(argument);
    addrinfo hints = Hints(AI_ADDRCONFIG);
    addrinfo* result = nullptr;
    int status = getaddrinfo(lookup->host, lookup->service, &hints, &result);
    pthread_mutex_lock(&lookupMutex);
    if (lookup->state == LOOKUP_ABANDONED) {
        if (result != nullptr) freeaddrinfo(result);
        lookup->state = LOOKUP_FREE;
    } else {
        lookup->result = result;
        lookup->status = status;
        lookup->state = LOOKUP_DONE;
    }
    pthread_cond_broadcast(&lookupDone);
    pthread_mutex_unlock(&lookupMutex);
    return nullptr;
}

int LookupError(int status) {
    // EAI_AGAIN: the name service did not answer; the name may well exist.
    return status == EAI_AGAIN ? OPEN_ERROR_NET_TIMED_OUT : OPEN_ERROR_NET_NO_HOST;
}

// Resolves `host`:`service` into *result by `deadlineUs`. Returns 0, or a PortOpenError.
int Resolve(const char* host, const char* service, long long deadlineUs, addrinfo** result) {
    // A numeric address needs no name service.
    addrinfo numeric = Hints(AI_NUMERICHOST | AI_NUMERICSERV);
    if (getaddrinfo(host, service, &numeric, result) == 0) return 0;
    if (strlen(host) >= LOOKUP_HOST_BYTES) return OPEN_ERROR_NET_NO_HOST;

    pthread_once(&lookupOnce, InitLookupCondition);
    pthread_mutex_lock(&lookupMutex);
    Lookup* lookup = nullptr;
    for (Lookup& slot : lookups) {
        if (slot.state == LOOKUP_FREE) {
            lookup = &slot;
            break;
        }
    }
    if (lookup == nullptr) {  // every slot holds a lookup still stuck in the name service
        pthread_mutex_unlock(&lookupMutex);
        return OPEN_ERROR_NET_TIMED_OUT;
    }
    snprintf(lookup->host, sizeof lookup->host, "%s", host);  // fits: checked above
    snprintf(lookup->service, sizeof lookup->service, "%s", service);
    lookup->result = nullptr;
    lookup->status = 0;
    lookup->state = LOOKUP_RUNNING;
    pthread_attr_t attr;
    pthread_attr_init(&attr);
    pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    int started = pthread_create(&thread, &attr, RunLookup, lookup);
    pthread_attr_destroy(&attr);
    if (started != 0) {
        lookup->state = LOOKUP_FREE;
        pthread_mutex_unlock(&lookupMutex);
        return OPEN_ERROR_OTHER;
    }
    timespec until;
    until.tv_sec = static_cast<time_t>(deadlineUs / 1000000);
    until.tv_nsec = static_cast<long>(deadlineUs % 1000000) * 1000;
    // OsMonotonicUs counts CLOCK_MONOTONIC, the clock the condition waits on.
    while (lookup->state == LOOKUP_RUNNING) {
        if (pthread_cond_timedwait(&lookupDone, &lookupMutex, &until) == ETIMEDOUT) break;
    }
    int error = 0;
    if (lookup->state == LOOKUP_DONE) {
        if (lookup->status == 0) *result = lookup->result;
        else error = LookupError(lookup->status);
        lookup->state = LOOKUP_FREE;
    } else {
        lookup->state = LOOKUP_ABANDONED;
        error = OPEN_ERROR_NET_TIMED_OUT;
    }
    pthread_mutex_unlock(&lookupMutex);
    return error;
}

int ConnectErrorFor(int error) {
    switch (error) {
        case ECONNREFUSED: return OPEN_ERROR_NET_REFUSED;
        case ETIMEDOUT: return OPEN_ERROR_NET_TIMED_OUT;
        case ENETUNREACH:
        case EHOSTUNREACH:
        case EADDRNOTAVAIL: return OPEN_ERROR_NET_UNREACHABLE;
        default: return OPEN_ERROR_OTHER;
    }
}

// Connects one address by the deadline. Returns the descriptor, or -1 with *error.
int ConnectOne(const addrinfo* address, long long deadlineUs, int* error) {
    int fd = socket(address->ai_family, address->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, address->ai_protocol);
    if (fd < 0) {
        *error = OPEN_ERROR_OTHER;
        return -1;
    }
    int result = connect(fd, address->ai_addr, address->ai_addrlen);
    if (result != 0 && errno == EINPROGRESS) {
        pollfd pfd = {fd, POLLOUT, 0};
        int ready = 0;
        do {
            ready = poll(&pfd, 1, OsMsUntil(deadlineUs));
        } while (ready < 0 && errno == EINTR);
        if (ready <= 0) {
            close(fd);
            *error = OPEN_ERROR_NET_TIMED_OUT;
            return -1;
        }
        int socketError = 0;
        socklen_t length = sizeof socketError;
        if (getsockopt(fd, SOL_SOCKET, SO_ERROR, &socketError, &length) != 0) socketError = errno;
        if (socketError != 0) {
            close(fd);
            *error = ConnectErrorFor(socketError);
            return -1;
        }
    } else if (result != 0) {
        int connectError = errno;
        close(fd);
        *error = ConnectErrorFor(connectError);
        return -1;
    }
    int on = 1;
    (void)setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    return fd;
}

}  // namespace

NetSocket NetConnect(const char* host, int port, long long deadlineUs, int* error) {
    char service[8];
    snprintf(service, sizeof service, "%d", port & 0xFFFF);  // at most 5 digits
    addrinfo* addresses = nullptr;
    int resolveError = Resolve(host, service, deadlineUs, &addresses);
    if (resolveError != 0) {
        *error = resolveError;
        return -1;
    }
    int fd = -1;
    *error = OPEN_ERROR_NET_NO_HOST;
    // Each address in turn; a refusal does not end the search, the deadline does.
    for (const addrinfo* a = addresses; a != nullptr && fd < 0; a = a->ai_next) {
        int attempt = OPEN_ERROR_OTHER;
        fd = ConnectOne(a, deadlineUs, &attempt);
        if (fd < 0) *error = attempt;
        if (fd < 0 && OsMonotonicUs() >= deadlineUs) break;
    }
    freeaddrinfo(addresses);
    if (fd < 0) return -1;
    *error = OPEN_ERROR_NONE;
    return fd;
}

int NetSend(NetSocket socket, const unsigned char* data, int length, long long deadlineUs) {
    int fd = static_cast<int>(socket);
    int done = 0;
    while (done < length) {
        ssize_t n = send(fd, data + done, static_cast<size_t>(length - done), MSG_NOSIGNAL);
        if (n > 0) {
            done += static_cast<int>(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) return -1;
        int wait = OsMsUntil(deadlineUs);
        if (wait <= 0) return -1;
        pollfd pfd = {fd, POLLOUT, 0};
        if (poll(&pfd, 1, wait) < 0 && errno != EINTR) return -1;
    }
    return 0;
}

int NetReceive(NetSocket socket, unsigned char* data, int size, int waitMs) {
    int fd = static_cast<int>(socket);
    for (int round = 0; round < 2; ++round) {
        ssize_t n = recv(fd, data, static_cast<size_t>(size), 0);
        if (n > 0) return static_cast<int>(n);
        if (n == 0) return -1;  // the other end closed
        if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
        if (round == 1 || waitMs <= 0) return 0;
        pollfd pfd = {fd, POLLIN, 0};
        if (poll(&pfd, 1, waitMs) <= 0) return 0;
    }
    return 0;
}

int NetWaitSockets(const NetSocket* sockets, int count, int waitMs, int* readable) {
    pollfd fds[8];
    if (count > 8) count = 8;
    for (int i = 0; i < count; ++i) {
        fds[i] = pollfd{static_cast<int>(sockets[i]), POLLIN, 0};
        readable[i] = 0;
    }
    int n = poll(fds, static_cast<nfds_t>(count), waitMs < 0 ? 0 : waitMs);
    if (n <= 0) return 0;
    int total = 0;
    for (int i = 0; i < count; ++i) {
        if (fds[i].revents == 0) continue;  // POLLIN, or an end or error a read will find
        readable[i] = 1;
        ++total;
    }
    return total;
}

int NetPeerClosed(NetSocket socket) {
    // POLLRDHUP: the other end has finished sending, even while bytes it sent
    // before are still waiting to be read.
    pollfd pfd = {static_cast<int>(socket), POLLIN | POLLRDHUP, 0};
    if (poll(&pfd, 1, 0) <= 0) return 0;
    return (pfd.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0 ? 1 : 0;
}

void NetClose(NetSocket socket) {
    if (socket >= 0) close(static_cast<int>(socket));
}
