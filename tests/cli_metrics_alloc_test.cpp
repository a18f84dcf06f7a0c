// Counting on the listener's path allocates nothing once LinkMetrics is built:
// every operator new in this program is counted.
#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include <gtest/gtest.h>

#include "events/verdicts.h"
#include "outputs/link_metrics.h"
#include "link/transaction.h"

namespace {
std::atomic<long> allocations{0};
}

void* operator new(std::size_t size) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size == 0 ? 1 : size);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

TEST(MetricsAllocation, CountingExchangesAndLineEventsAllocatesNothing) {
    LinkMetrics metrics({"host", "ctrl"}, "2.1.0");
    metrics.AdapterLatency(0, 0.016);  // its series is made on the first call
    const std::string known = "Pump/Sale/Read";
    const std::string unknown = "Pump/Sale/Reed";
    const int verdicts[] = {VERDICT_OK, VERDICT_NO_ACK, VERDICT_CHECKSUM_ERROR, VERDICT_INCOMPLETE,
                            VERDICT_OVERLAP, VERDICT_UNANSWERED_REPLY, VERDICT_STOPPED};
    long before = allocations.load();
    for (int i = 0; i < 2000; ++i) {
        metrics.Exchange(i % 34, verdicts[i % 7], i % 3 == 0 ? unknown : known, (i % 50) * 0.001, i % 2 ? 0.08 : -1);
        metrics.StrayBytes(i % 2, 3);
        metrics.LineUp(i % 2, i % 5 != 0);
        metrics.LastByte(i % 2, 1800000000.0 + i);
        if (i % 100 == 0) metrics.Reconnect(i % 2);
        metrics.AdapterLatency(0, 0.001);
    }
    long after = allocations.load();
    EXPECT_EQ(after - before, 0);
    EXPECT_GT(before, 0) << "the counting operator new is not the one in use";
}
