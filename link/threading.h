// The little the core needs from the operating system's thread support: start a
// detached worker, sleep, and two process-wide locks. One implementation file per
// platform (threading_posix.cpp, threading_win32.cpp) is chosen by the build.
#pragma once

#include <atomic>

enum {
    WORKER_STACK_BYTES = 1000000,
    STOP_WAIT_ROUNDS = 1000,  // a stop waits up to 1000 x 2 ms for the done flag
    STOP_WAIT_SLEEP_MS = 2,
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

void OsSleepMs(int milliseconds);

// Microseconds of a monotonic clock (never set back); only differences mean anything.
long long OsMonotonicUs();

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
// to about two seconds for the worker to clear `done`. Returns 0 when it did,
// -1 when the wait ran out (the worker is then abandoned to process exit).
int StopWorker(std::atomic<int>& run, std::atomic<int>& done);
