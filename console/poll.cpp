#include "console/poll.h"

#include <cstring>

#include "commands/settings.h"
#include "os/threading.h"
#include "link/transaction.h"

std::atomic<int> pollRun{0};
std::atomic<int> pollDone{0};

int PollOnce() {
    if (looping.load() != 1) return 0;
    // A command holds the transaction lock from writing MessageBuffer to the end of
    // its exchange, whatever its reply flag, so waiting for the lock is what keeps
    // a poll out of a command; replyExpected is then checked under the lock.
    TransactionGuard guard;
    if (looping.load() != 1 || replyExpected.load() != 0) return 0;
    std::memcpy(MessageBuffer, "FE", 3);
    replyExpected.store(1);
    RunTransaction();
    return 1;
}

void PollThread() {
    do {
        OsSleepMs(POLL_PAUSE_MS);
        if (pollRun.load() == 1) PollOnce();
    } while (pollRun.load() == 1);
    pollDone.store(0);
}

int StartPollThread() {
    pollRun.store(1);
    if (OsStartThread(PollThread, WORKER_STACK_BYTES) != 0) {
        pollRun.store(0);
        return -1;
    }
    return 0;
}

int StopPollThread() { return StopWorker(pollRun, pollDone); }
