// Recording into the trace and the dispatch log runs under the dispatcher's lock on the I/O
// paths, so it must never allocate: this executable counts every allocation to prove it.
#include "serial/log/DispatchLog.h"
#include "serial/log/Trace.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

namespace
{
std::atomic<long> allocations{0};
}

// The replacements pair malloc with free on purpose; GCC, once it inlines them into gtest's
// factories, takes that for a new/free mismatch.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size)
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void* memory = std::malloc(size ? size : 1))
        return memory;
    throw std::bad_alloc();
}
void* operator new[](std::size_t size) { return operator new(size); }
// Every form is replaced, so that no allocation bypasses the count and every block is freed
// the way it was taken (the sanitizers check that).
void* operator new(std::size_t size, const std::nothrow_t&) noexcept
{
    allocations.fetch_add(1, std::memory_order_relaxed);
    return std::malloc(size ? size : 1);
}
void* operator new[](std::size_t size, const std::nothrow_t& tag) noexcept { return operator new(size, tag); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }

namespace
{

TEST(Recording, TraceNeverAllocates)
{
    const long start = allocations.load();
    int* volatile probe = new int(1); // volatile: a new-delete pair may otherwise be left out
    delete probe;
    ASSERT_GT(allocations.load(), start) << "the count must see allocations";

    TTraceBuffer trace;
    ASSERT_EQ(trace.Start(1000), 0);
    uint8_t block[1500];
    for (size_t i = 0; i < sizeof block; ++i)
        block[i] = static_cast<uint8_t>(i);

    const long before = allocations.load();
    for (int i = 0; i < 10000; ++i)
        trace.Record(i % 3 ? kTraceReceive : kTraceTransmit, static_cast<uint8_t>(i));
    for (int32_t length = 0; length <= 1500; length += 7)
        trace.Record(kTraceTransmit, block, length);
    const long after = allocations.load();

    EXPECT_EQ(after, before);
    EXPECT_EQ(trace.Count(), 1000);
}

TEST(Recording, DispatchLogNeverAllocatesNorGrows)
{
    // One log cuts long blocks to its scratch size, the other refuses blocks it cannot hold.
    TDispatchLog logs[2];
    logs[0].Start(4096, 512);
    logs[1].Start(600, 1000);
    uint8_t block[1000] = {};

    const long before = allocations.load();
    bool withinRing = true;
    // Entries of every size up to beyond the scratch buffer and the ring: wrapping, dropping
    // older entries, cutting to the scratch size and refusing the ones that cannot fit.
    for (uint32_t i = 0; i < 20000; ++i) {
        const uint32_t length = (i * 37) % 1000;
        for (TDispatchLog& log : logs) {
            log.RecordDispatchEvent(dtDispatch, i % 2 ? dstReadCom : dstWriteCom, length, block, length);
            withinRing = withinRing && log.Used() <= log.Size();
        }
    }
    logs[0].Suspend();
    logs[0].RecordDispatchEvent(dtDispatch, dstReadCom, 0, block, 10);
    const long after = allocations.load();

    EXPECT_EQ(after, before);
    EXPECT_TRUE(withinRing);
    EXPECT_GT(logs[0].Used(), 0u);
    EXPECT_GT(logs[1].Used(), 0u);
}

} // namespace
