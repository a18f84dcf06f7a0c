// POSIX threads for the workers; a thread is detached at once because the console
// may end while a worker is still inside an abandoned transaction.
#include "os/threading.h"

#include <pthread.h>
#include <time.h>
#include <errno.h>
#include <unistd.h>

namespace {

pthread_mutex_t locks[LOCK_COUNT] = {PTHREAD_MUTEX_INITIALIZER, PTHREAD_MUTEX_INITIALIZER};

void* Trampoline(void* arg) {
    void (*body)() = reinterpret_cast<void (*)()>(arg);
    body();
    return nullptr;
}

}  // namespace

int OsStartThread(void (*body)(), unsigned stackBytes) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return -1;
    // Some systems refuse a stack size that is not a whole number of pages.
    long page = sysconf(_SC_PAGESIZE);
    unsigned bytes = RoundUpToPages(stackBytes, page > 0 ? static_cast<unsigned>(page) : 0);
    int rc = pthread_attr_setstacksize(&attr, bytes);
    if (rc == 0) rc = pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED);
    pthread_t thread;
    if (rc == 0) rc = pthread_create(&thread, &attr, Trampoline, reinterpret_cast<void*>(body));
    pthread_attr_destroy(&attr);
    return rc == 0 ? 0 : -1;
}

void OsSleepMs(int milliseconds) {
    milliseconds = OsSleepStepped(milliseconds);
    timespec rest;
    rest.tv_sec = milliseconds / 1000;
    rest.tv_nsec = static_cast<long>(milliseconds % 1000) * 1000000L;
    while (nanosleep(&rest, &rest) != 0 && errno == EINTR) {
    }
}

// Sleeps here already have fine granularity.
void OsUseFineTimer() {}

long long OsMonotonicUs() {
    timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<long long>(now.tv_sec) * 1000000LL + now.tv_nsec / 1000;
}

void OsLock(LockId id) { pthread_mutex_lock(&locks[id]); }

int OsTryLock(LockId id) { return pthread_mutex_trylock(&locks[id]) == 0 ? 1 : 0; }

void OsUnlock(LockId id) { pthread_mutex_unlock(&locks[id]); }
