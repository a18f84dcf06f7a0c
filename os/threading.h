// The little the core needs from the operating system's thread support: start a
// detached worker, sleep, and two process-wide locks. One implementation file per
// platform (threading_posix.cpp, threading_win32.cpp) is chosen by the build.
#pragma once

#include <atomic>

enum {
    WORKER_STACK_BYTES = 1000000,  // asked for; the shims round it up to whole pages
    STOP_WAIT_MS = 2000,           // a stop waits this long (elapsed time) for the done flag,
    STOP_WAIT_SLEEP_MS = 2,        // looking every 2 ms
};

// Locks identified by number; both exist for the whole process.
enum LockId {
    LOCK_TRANSACTION = 0,  // one transaction at a time, send step included
    LOCK_DISPLAY = 1,      // trace lines and verdict while they are written or copied
    LOCK_COUNT = 2,
};

// Starts `body` on a new detached thread with a stack of `stackBytes`.
// Returns 0, or -1 when the thread could not be created.
int OsStartThread(void (*body)(), unsigned stackBytes);

// Sleeps at least `milliseconds`; the system's timer granularity may add to it.
void OsSleepMs(int milliseconds);

// Asks the system for its finest sleep granularity (1 ms) for the rest of the
// process. Windows otherwise sleeps in steps of 15.6 ms; elsewhere a no-op.
void OsUseFineTimer();

// For tests: from now on every OsSleepMs is rounded up to whole steps of
// `stepMs`, as on a system whose timer ticks that coarsely. 0 turns it off.
void OsSetSleepStepForTest(int stepMs);
// The sleep the platform shims really make for a request of `milliseconds`.
int OsSleepStepped(int milliseconds);

// `bytes` rounded up to a whole number of `pageBytes` (unchanged when pageBytes is 0).
unsigned RoundUpToPages(unsigned bytes, unsigned pageBytes);

// Microseconds of a monotonic clock (never set back); only differences mean anything.
long long OsMonotonicUs();
// The whole milliseconds left until `deadlineUs` on that clock, rounded up; 0 once
// it has passed. What a wait that must end by a deadline gives poll or select.
inline int OsMsUntil(long long deadlineUs) {
    long long left = deadlineUs - OsMonotonicUs();
    if (left <= 0) return 0;
    return static_cast<int>((left + 999) / 1000);
}

void OsLock(LockId id);
// Takes the lock only when it is free at once. Returns 1 when taken, else 0.
int OsTryLock(LockId id);
void OsUnlock(LockId id);

// Holds a lock for the lifetime of the guard.
class LockGuard {
public:
    explicit LockGuard(LockId id) : id_(id) { OsLock(id_); }
    ~LockGuard() { OsUnlock(id_); }
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;

private:
    LockId id_;
};

// The stop handshake of a worker: sets `done` to 1 and `run` to 0, then waits up
// to two seconds of elapsed time (whatever the sleep granularity) for the worker
// to clear `done`. Returns 0 when it did,
// -1 when the wait ran out (the worker is then abandoned to process exit).
int StopWorker(std::atomic<int>& run, std::atomic<int>& done);

// Holds a lock made of one atomic flag (0 free, 1 held) for its scope, yielding
// while another thread holds it: for the short sections that guard one slot of a
// fixed table (a network line, a TLS session).
class FlagLock {
public:
    explicit FlagLock(std::atomic<int>& flag) : flag_(flag) {
        int expected = 0;
        while (!flag_.compare_exchange_weak(expected, 1, std::memory_order_acquire)) {
            expected = 0;
            OsSleepMs(0);
        }
    }
    ~FlagLock() { flag_.store(0, std::memory_order_release); }
    FlagLock(const FlagLock&) = delete;
    FlagLock& operator=(const FlagLock&) = delete;

private:
    std::atomic<int>& flag_;
};
