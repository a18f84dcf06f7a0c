// Windows threads through the C runtime's _beginthread (MinGW's default thread
// model has no std::thread); slim reader/writer locks need no initialisation call.
#include "os/threading.h"

#include <windows.h>
#include <mmsystem.h>
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
    SYSTEM_INFO system;
    GetSystemInfo(&system);
    unsigned bytes = RoundUpToPages(stackBytes, system.dwPageSize);
    uintptr_t handle = _beginthread(Trampoline, bytes, reinterpret_cast<void*>(body));
    return handle == static_cast<uintptr_t>(-1) || handle == 0 ? -1 : 0;
}

void OsSleepMs(int milliseconds) { Sleep(static_cast<DWORD>(OsSleepStepped(milliseconds))); }

// Windows sleeps in steps of its timer period, 15.6 ms unless a process asks for
// less: the 10 ms tick and the 2 ms stop-wait sleeps need 1 ms. The request holds
// until the process ends (Windows drops it then); asked for once.
void OsUseFineTimer() {
    static std::atomic<int> asked{0};
    if (asked.exchange(1) == 0) (void)timeBeginPeriod(1);
}

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
