// Windows threads through the C runtime's _beginthread (MinGW's default thread
// model has no std::thread); slim reader/writer locks need no initialisation call.
#include "link/threading.h"

#include <windows.h>
#include <process.h>

namespace {

SRWLOCK locks[LOCK_COUNT] = {SRWLOCK_INIT, SRWLOCK_INIT};

void __cdecl Trampoline(void* arg) {
    void (*body)() = reinterpret_cast<void (*)()>(arg);
    body();
    _endthread();
}

}  // namespace

int OsStartThread(void (*body)(), unsigned stackBytes) {
    uintptr_t handle = _beginthread(Trampoline, stackBytes, reinterpret_cast<void*>(body));
    return handle == static_cast<uintptr_t>(-1) || handle == 0 ? -1 : 0;
}

void OsSleepMs(int milliseconds) { Sleep(static_cast<DWORD>(milliseconds)); }

long long OsMonotonicUs() {
    LARGE_INTEGER frequency;
    LARGE_INTEGER count;
    // Both calls always succeed on Windows XP and later.
    QueryPerformanceFrequency(&frequency);
    QueryPerformanceCounter(&count);
    long long whole = count.QuadPart / frequency.QuadPart;
    long long rest = count.QuadPart % frequency.QuadPart;
    return whole * 1000000LL + rest * 1000000LL / frequency.QuadPart;
}

void OsLock(LockId id) { AcquireSRWLockExclusive(&locks[id]); }

int OsTryLock(LockId id) { return TryAcquireSRWLockExclusive(&locks[id]) ? 1 : 0; }

void OsUnlock(LockId id) { ReleaseSRWLockExclusive(&locks[id]); }
