// Timing that must hold whatever the system's sleep granularity: the thread shim
// is made to sleep in 16 ms steps, as Windows does at its default timer period.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

#include "os/threading.h"
#include "link/transaction.h"
#include "port/port.h"

namespace {

using Clock = std::chrono::steady_clock;

long long MsSince(Clock::time_point start) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Every sleep of the shim rounded up to 16 ms while the test runs.
class CoarseTimer : public ::testing::Test {
protected:
    void SetUp() override { OsSetSleepStepForTest(16); }
    void TearDown() override { OsSetSleepStepForTest(0); }
};

std::atomic<int> answeringRun{0};
std::atomic<int> answeringDone{0};
std::atomic<int> answeringStarted{0};

void AnsweringWorker() {
    answeringStarted.store(1);
    while (answeringRun.load() == 1) OsSleepMs(5);
    answeringDone.store(0);
}

}  // namespace

TEST_F(CoarseTimer, SleepsAreRoundedUpToWholeSteps) {
    EXPECT_EQ(OsSleepStepped(2), 16);
    EXPECT_EQ(OsSleepStepped(10), 16);
    EXPECT_EQ(OsSleepStepped(250), 256);
    OsSetSleepStepForTest(0);
    EXPECT_EQ(OsSleepStepped(2), 2);
}

// A worker that never clears its done flag (stuck in an exchange): the wait is
// bounded by about 2 s of elapsed time, not by 1000 sleeps (16 s here).
TEST_F(CoarseTimer, StopWaitForAWorkerThatNeverAnswersLastsAboutTwoSeconds) {
    std::atomic<int> run{1};
    std::atomic<int> done{0};
    Clock::time_point start = Clock::now();
    EXPECT_EQ(StopWorker(run, done), -1);
    long long ms = MsSince(start);
    EXPECT_GE(ms, 1800);
    EXPECT_LE(ms, 2600);
    EXPECT_EQ(run.load(), 0);
}

TEST_F(CoarseTimer, StopWaitEndsWhenTheWorkerAnswers) {
    answeringRun.store(1);
    answeringStarted.store(0);
    ASSERT_EQ(OsStartThread(AnsweringWorker, WORKER_STACK_BYTES), 0);
    while (answeringStarted.load() == 0) OsSleepMs(1);
    Clock::time_point start = Clock::now();
    EXPECT_EQ(StopWorker(answeringRun, answeringDone), 0);
    EXPECT_LE(MsSince(start), 1000);
}

// The tick thread keeps time by the clock: with 16 ms sleeps a receive window
// still lasts 9 to 10 ticks of 10 ms on average (160 ms if each sleep counted
// as one tick).
TEST_F(CoarseTimer, ReceiveWindowStaysAboutTenTicksOfTenMilliseconds) {
    ASSERT_EQ(StartTickThread(), 0);
    PortRequest(0, PORT_INIT, nullptr);
    openPortId = 1009;  // a record with no device: every read finds nothing
    unsigned char byte = 0;
    const int windows = 6;
    long long longest = 0;
    Clock::time_point start = Clock::now();
    for (int i = 0; i < windows; ++i) {
        Clock::time_point one = Clock::now();
        EXPECT_EQ(ReadByteTimed(byte), PORT_NO_DATA);
        long long ms = MsSince(one);
        if (ms > longest) longest = ms;
    }
    long long mean = MsSince(start) / windows;
    openPortId = 0;
    EXPECT_EQ(StopTickThread(), 0);
    EXPECT_GE(mean, 80);
    EXPECT_LE(mean, 135);
    EXPECT_LE(longest, 300);
}

TEST(WorkerStack, SizesAreRoundedUpToWholePages) {
    EXPECT_EQ(RoundUpToPages(1000000, 4096), 1003520u);
    EXPECT_EQ(RoundUpToPages(1000000, 65536), 1048576u);
    EXPECT_EQ(RoundUpToPages(8192, 4096), 8192u);
    EXPECT_EQ(RoundUpToPages(1000000, 0), 1000000u);
    // A size no system takes as it is still starts a worker.
    answeringRun.store(1);
    answeringStarted.store(0);
    ASSERT_EQ(OsStartThread(AnsweringWorker, 1000001), 0);
    while (answeringStarted.load() == 0) OsSleepMs(1);
    EXPECT_EQ(StopWorker(answeringRun, answeringDone), 0);
}
