#include "link/threading.h"

int StopWorker(std::atomic<int>& run, std::atomic<int>& done) {
    done.store(1);
    run.store(0);
    for (int i = 0; i < STOP_WAIT_ROUNDS; ++i) {
        OsSleepMs(STOP_WAIT_SLEEP_MS);
        if (done.load() == 0) return 0;
    }
    return -1;
}
