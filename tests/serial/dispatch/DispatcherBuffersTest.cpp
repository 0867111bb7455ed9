// The dispatcher's rings over an in-memory device: counts, the fill in two pieces, taking bytes in
// and out of an availability notification, the limits of SendBlock, the registry's slots.
#include "FakeDispatcher.h"

#include "serial/dispatch/DeviceRegistry.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>
#include <string>

using ::testing::ElementsAre;

namespace
{

constexpr int32_t kRing = TApdBaseDispatcher::kInputRingSize;

std::string Pattern(size_t n, int seed = 0)
{
    std::string s(n, '\0');
    for (size_t i = 0; i < n; ++i)
        s[i] = static_cast<char>((i * 7 + static_cast<size_t>(seed)) & 0xFF);
    return s;
}

void QueueInDriver(TFakeDispatcher& d, const std::string& bytes)
{
    for (char c : bytes)
        d.Driver.push_back(static_cast<uint8_t>(c));
}

class OpenFake : public ::testing::Test
{
protected:
    void SetUp() override { ASSERT_EQ(d.Open(), 0); }
    TFakeDispatcher d;
};

} // namespace

TEST_F(OpenFake, RingCountFollowsHeadTailAndFull)
{
    struct Case {
        int32_t head, tail;
        bool full;
        int32_t count;
    } cases[] = {{10, 10, false, 0},
                 {10, 10, true, kRing},
                 {5, 8190, false, 7},
                 {8191, 0, false, 8191},
                 {0, 1, false, 8191}};
    for (const Case& c : cases) {
        d.SetRing(c.head, c.tail, c.full);
        EXPECT_EQ(d.InputCount(), c.count) << "head " << c.head << " tail " << c.tail;
    }
}

TEST_F(OpenFake, FillReadsAtMostTwoPiecesAndNeverPassesTheTail)
{
    struct Case {
        int32_t tail;
        std::vector<int32_t> requests, results;
        int32_t head;
        bool full;
        size_t left;
    } cases[] = {
        {4000, {192, 308}, {192, 308}, 308, false, 0}, // wraps, everything fits
        {100, {192, 100}, {192, 100}, 100, true, 208}, // only 292 fit: the ring is full
    };
    for (const Case& c : cases) {
        d.SetRing(8000, c.tail, false);
        d.Driver.clear();
        d.ReadRequests.clear();
        d.ReadResults.clear();
        std::string bytes = Pattern(500);
        QueueInDriver(d, bytes);

        EXPECT_TRUE(d.FillInputRing());
        EXPECT_EQ(d.ReadRequests, c.requests) << "tail " << c.tail;
        EXPECT_EQ(d.ReadResults, c.results) << "tail " << c.tail;
        EXPECT_EQ(d.Head(), c.head);
        EXPECT_EQ(d.Full(), c.full);
        EXPECT_EQ(d.Driver.size(), c.left);

        // The new bytes follow the old ones in the ring, across the wrap.
        d.SetRing(c.head, 8000, c.full && c.head == 8000);
        int32_t fresh = 500 - static_cast<int32_t>(c.left);
        EXPECT_EQ(Take(d, fresh), bytes.substr(0, static_cast<size_t>(fresh)));
    }
}

TEST_F(OpenFake, FullRingLeavesTheDriverAloneAndEmptyDriverReadsNothing)
{
    d.SetRing(300, 300, true);
    QueueInDriver(d, "abc");
    EXPECT_TRUE(d.FillInputRing());
    EXPECT_TRUE(d.ReadRequests.empty());
    EXPECT_EQ(d.Driver.size(), 3u);

    d.SetRing(300, 300, false);
    d.Driver.clear();
    EXPECT_FALSE(d.FillInputRing());
    EXPECT_TRUE(d.ReadRequests.empty());
}

TEST_F(OpenFake, ShortFirstReadSkipsTheSecondPiece)
{
    d.SetRing(8000, 4000, false);
    QueueInDriver(d, Pattern(500));
    d.ReadLimit = 50; // the driver hands over less than it announced
    EXPECT_TRUE(d.FillInputRing());
    EXPECT_THAT(d.ReadRequests, ElementsAre(192));
    EXPECT_EQ(d.Head(), 8050);
    EXPECT_FALSE(d.Full());
}

TEST_F(OpenFake, TakeOfMoreThanUnreadChangesNothing)
{
    d.SetRing(0, 0, false);
    QueueInDriver(d, Pattern(99));
    ASSERT_TRUE(d.FillInputRing());
    std::string out(100, '\0');
    EXPECT_EQ(d.TakeBlock(out.data(), 100), TApdBaseDispatcher::ecBufferIsEmpty);
    EXPECT_EQ(d.Tail(), 0);
    EXPECT_EQ(d.InputCount(), 99);
    EXPECT_EQ(Take(d, 99), Pattern(99));
    EXPECT_EQ(d.InputCount(), 0);
}

TEST_F(OpenFake, TakesInsideANoticeReadOnAndConsumeOnlyAtItsEnd)
{
    d.SetRing(8180, 8180, false);
    QueueInDriver(d, Pattern(40));
    ASSERT_TRUE(d.FillInputRing()); // 12 bytes before the wrap, 28 after

    d.BeginNotice();
    EXPECT_EQ(Take(d, 10), Pattern(40).substr(0, 10));
    EXPECT_EQ(Take(d, 10), Pattern(40).substr(10, 10));
    EXPECT_EQ(d.InputCount(), 20);
    EXPECT_EQ(d.Tail(), 8180);
    std::string tooMuch(21, '\0');
    EXPECT_EQ(d.TakeBlock(tooMuch.data(), 21), TApdBaseDispatcher::ecBufferIsEmpty);
    d.EndNotice();

    EXPECT_EQ(d.Tail(), 8);
    EXPECT_EQ(Take(d, 20), Pattern(40).substr(20));
}

TEST_F(OpenFake, TakingNothingKeepsAFullRingFull)
{
    d.SetRing(0, 0, true);
    EXPECT_EQ(d.TakeBlock(nullptr, 0), 0);
    EXPECT_TRUE(d.Full());
    EXPECT_EQ(d.InputCount(), kRing);
}

TEST_F(OpenFake, DiscardInputEmptiesRingOrMakesTheNoticeConsumeAll)
{
    d.SetRing(100, 0, false);
    QueueInDriver(d, "xyz");
    EXPECT_EQ(d.DiscardInput(), 0);
    EXPECT_EQ(d.InputCount(), 0);
    EXPECT_TRUE(d.Driver.empty());

    d.SetRing(100, 0, false);
    d.BeginNotice();
    Take(d, 5);
    d.DiscardInput();
    d.EndNotice();
    EXPECT_EQ(d.Tail(), 100);
    EXPECT_EQ(d.InputCount(), 0);
}

TEST_F(OpenFake, SendBlockUpToTheFreeSpaceOnly)
{
    const int32_t size = 64;
    std::string block = Pattern(static_cast<size_t>(size));
    EXPECT_EQ(d.OutputRoom(), size);

    EXPECT_EQ(d.SendBlock(block.data(), size + 1), TApdBaseDispatcher::ecOutputBufferTooSmall);
    EXPECT_EQ(d.OutputCount(), 0);

    EXPECT_EQ(d.SendBlock(block.data(), size), 0);
    EXPECT_TRUE(d.OutFull());
    EXPECT_EQ(d.OutputCount(), size);
    EXPECT_EQ(d.OutputRoom(), 0);
    EXPECT_EQ(d.SendBlock(block.data(), 1), TApdBaseDispatcher::ecOutputBufferTooSmall);

    EXPECT_EQ(d.DiscardOutput(), 0);
    EXPECT_EQ(d.OutputCount(), 0);
    EXPECT_FALSE(d.OutFull());
}

TEST_F(OpenFake, SendBlockThatTheDeviceRefusesIsReported)
{
    d.WriteResult = 0;
    EXPECT_EQ(d.SendBlock("ab", 2), TApdBaseDispatcher::ecCantWriteBlock);
}

TEST_F(OpenFake, TraceAndLogSeeWhatMovesAndNothingForEmptySends)
{
    d.StartDispatchLogging(10000);
    ASSERT_EQ(d.StartTracing(100), 0);
    uint32_t before = d.LogUsed();
    EXPECT_EQ(d.SendBlock("", 0), 0);
    EXPECT_EQ(d.LogUsed(), before);
    EXPECT_EQ(d.TraceCount(), 0);

    EXPECT_EQ(d.SendBlock(">01Q<", 5), 0);
    EXPECT_EQ(d.LogUsed(), before + 16 + 5);
    EXPECT_EQ(d.TraceCount(), 5);

    // Every piece read is logged, a piece of nothing too.
    d.SetRing(0, 0, false);
    QueueInDriver(d, "abc");
    d.ReadLimit = 0;
    d.FillInputRing();
    EXPECT_EQ(d.LogUsed(), before + 21 + 16);
    d.ReadLimit = -1;
    d.FillInputRing();
    EXPECT_EQ(d.LogUsed(), before + 21 + 16 + 16 + 3);
    Take(d, 3);
    EXPECT_EQ(d.TraceCount(), 8);
}

TEST(DispatcherOpen, FailuresReportThePlatformErrorAndLeaveNothingOpen)
{
    struct Case {
        int32_t openResult;
        DWORD error;
        int32_t expected;
    } cases[] = {{-1, ERROR_FILE_NOT_FOUND, -2}, {-1, ERROR_ACCESS_DENIED, -5}, {-8, 0, -8}};
    for (const Case& c : cases) {
        TFakeDispatcher d;
        d.OpenResult = c.openResult;
        d.OpenError = c.error;
        EXPECT_EQ(d.Open(), c.expected);
        EXPECT_FALSE(d.HasRings());
        EXPECT_EQ(d.ComHandle(), INVALID_HANDLE_VALUE);
    }
}

TEST(DispatcherRegistry, FreedSlotIsReusedAndTrailingSlotsTrimmed)
{
    int32_t base = DeviceRegistry::Count();
    auto first = std::make_unique<TFakeDispatcher>();
    auto second = std::make_unique<TFakeDispatcher>();
    auto third = std::make_unique<TFakeDispatcher>();
    EXPECT_EQ(first->Handle(), base);
    EXPECT_EQ(second->Handle(), base + 1);
    EXPECT_EQ(third->Handle(), base + 2);

    second.reset();
    auto fourth = std::make_unique<TFakeDispatcher>();
    EXPECT_EQ(fourth->Handle(), base + 1);
    EXPECT_EQ(DeviceRegistry::At(base + 1), fourth.get());

    third.reset();
    EXPECT_EQ(DeviceRegistry::Count(), base + 2);
    fourth.reset();
    first.reset();
    EXPECT_EQ(DeviceRegistry::Count(), base);
}
