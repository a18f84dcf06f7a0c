#include "os/threading.h"

namespace {

std::atomic<int> sleepStepMs{0};

}  // namespace

void OsSetSleepStepForTest(int stepMs) { sleepStepMs.store(stepMs > 0 ? stepMs : 0); }

int OsSleepStepped(int milliseconds) {
    int step = sleepStepMs.load();
    if (step <= 0 || milliseconds <= 0) return milliseconds;
    return (milliseconds + step - 1) / step * step;
}

unsigned RoundUpToPages(unsigned bytes, unsigned pageBytes) {
    if (pageBytes == 0) return bytes;
    return (bytes + pageBytes - 1) / pageBytes * pageBytes;
}

int StopWorker(std::atomic<int>& run, std::atomic<int>& done) {
    done.store(1);
    run.store(0);
    // Bounded by the clock, not by a count of sleeps: where the system sleeps in
    // coarse steps, 1000 sleeps of "2 ms" would last many times two seconds.
    const long long start = OsMonotonicUs();
    for (;;) {
        OsSleepMs(STOP_WAIT_SLEEP_MS);
        if (done.load() == 0) return 0;
        if (OsMonotonicUs() - start >= STOP_WAIT_MS * 1000LL) return -1;
    }
}
