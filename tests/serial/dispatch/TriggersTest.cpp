// Trigger lists of the dispatcher: handle numbering and reuse, timer arming, disposal, the
// snapshot kept across a reopen, and the dispatch-log entries they write.
#include "FakeDispatcher.h"

#include "tests/serial/log/LogTestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;

namespace
{

class TTriggerDispatcher : public TFakeDispatcher
{
public:
    TTimerTrigger Timer(int32_t handle)
    {
        TLockGuard guard(DispatcherLock);
        for (const TTimerTrigger& timer : TimerTriggerList)
            if (timer.Handle == handle)
                return timer;
        return {};
    }
};

/// The trigger entries of the dispatch log, without their time column.
std::vector<std::string> TriggerEntries(TTriggerDispatcher& dispatcher)
{
    TTempDir dir;
    EXPECT_EQ(dispatcher.DumpDispatchLog(dir.File("log.txt"), false, true, false), 0);
    std::vector<std::string> entries;
    for (const std::string& line : SplitLines(ReadWholeFile(dir.File("log.txt")))) {
        size_t gap = line.find("  ");
        if (gap != std::string::npos && line.compare(gap + 2, 2, "Tr") == 0)
            entries.push_back(line.substr(gap + 2));
    }
    return entries;
}

} // namespace

TEST(Triggers, HandlesAreMultiplesOfEightAndStartAgainAfterAClear)
{
    TTriggerDispatcher dispatcher;
    EXPECT_EQ(dispatcher.NewTimerTrigger(), 8);
    EXPECT_EQ(dispatcher.NewTimerTrigger(), 16);
    EXPECT_EQ(dispatcher.NewTimerTrigger(), 24);
    dispatcher.SetAvailLength(3);
    dispatcher.ClearAllTriggers();
    EXPECT_EQ(dispatcher.GetAvailLength(), 0);
    EXPECT_EQ(dispatcher.NewTimerTrigger(), 8);
}

TEST(Triggers, AfterTheNumberingRunsOutFreeHandlesUpTo4096AreReused)
{
    TTriggerDispatcher dispatcher;
    int32_t last = 0;
    for (int i = 0; i < 4095; ++i)
        last = dispatcher.NewTimerTrigger();
    EXPECT_EQ(last, 32760);
    EXPECT_EQ(dispatcher.NewTimerTrigger(), TApdBaseDispatcher::ecNoMoreTriggers);
    // A free handle above 4096 is not handed out again; one below is.
    EXPECT_EQ(dispatcher.DisposeTrigger(32760), 0);
    EXPECT_EQ(dispatcher.NewTimerTrigger(), TApdBaseDispatcher::ecNoMoreTriggers);
    EXPECT_EQ(dispatcher.DisposeTrigger(24), 0);
    EXPECT_EQ(dispatcher.DisposeTrigger(4096), 0);
    EXPECT_EQ(dispatcher.NewTimerTrigger(), 24);
    EXPECT_EQ(dispatcher.NewTimerTrigger(), 4096);
    EXPECT_EQ(dispatcher.NewTimerTrigger(), TApdBaseDispatcher::ecNoMoreTriggers);
}

TEST(Triggers, ArmingAndDisposing)
{
    TTriggerDispatcher dispatcher;
    int32_t handle = dispatcher.NewTimerTrigger();
    for (int32_t bad : {0, 1, 9, 16})
        EXPECT_EQ(dispatcher.ArmTimerTrigger(bad, 1, true), TApdBaseDispatcher::ecBadTriggerHandle) << bad;

    ASSERT_EQ(dispatcher.ArmTimerTrigger(handle, 5, true), 0);
    TTimerTrigger timer = dispatcher.Timer(handle);
    EXPECT_TRUE(timer.Active);
    EXPECT_EQ(timer.ExpireTick - timer.StartTick, 5);
    // 0 ticks restarts with the last duration; stopping keeps it.
    ASSERT_EQ(dispatcher.ArmTimerTrigger(handle, 0, true), 0);
    EXPECT_EQ(dispatcher.Timer(handle).ExpireTick - dispatcher.Timer(handle).StartTick, 5);
    ASSERT_EQ(dispatcher.ArmTimerTrigger(handle, 0, false), 0);
    EXPECT_FALSE(dispatcher.Timer(handle).Active);
    EXPECT_EQ(dispatcher.Timer(handle).Ticks, 5);
    // The longest wait stays below 2^31 milliseconds.
    ASSERT_EQ(dispatcher.ArmTimerTrigger(handle, 0x7FFFFFFF, true), 0);
    timer = dispatcher.Timer(handle);
    EXPECT_EQ(timer.ExpireTick - timer.StartTick, TApdBaseDispatcher::kMaxTimerTicks);

    dispatcher.SetAvailLength(4);
    EXPECT_EQ(dispatcher.DisposeTrigger(1), 0);
    EXPECT_EQ(dispatcher.GetAvailLength(), 0);
    EXPECT_EQ(dispatcher.DisposeTrigger(0), TApdBaseDispatcher::ecBadTriggerHandle);
    EXPECT_EQ(dispatcher.DisposeTrigger(handle), 0);
    EXPECT_EQ(dispatcher.DisposeTrigger(handle), TApdBaseDispatcher::ecBadTriggerHandle);
}

TEST(Triggers, SnapshotBringsBackHandlesThatNewTriggersThenAvoid)
{
    TTriggerDispatcher dispatcher;
    int32_t first = dispatcher.NewTimerTrigger();
    int32_t second = dispatcher.NewTimerTrigger();
    dispatcher.ArmTimerTrigger(second, 7, true);
    dispatcher.SetAvailLength(1);
    TTriggerSnapshot snapshot;
    dispatcher.SaveTriggers(snapshot);

    // A reopen clears the lists and the numbering.
    dispatcher.ClearAllTriggers();
    dispatcher.RestoreTriggers(snapshot);
    EXPECT_EQ(dispatcher.Timer(first).Handle, first);
    EXPECT_EQ(dispatcher.GetAvailLength(), 1);
    EXPECT_TRUE(dispatcher.Timer(second).Active);
    EXPECT_EQ(dispatcher.Timer(second).Ticks, 7);
    EXPECT_EQ(dispatcher.NewTimerTrigger(), 24) << "a handle the restore brought back is not given out twice";

    // A freed snapshot restores no triggers, only its threshold.
    TApdBaseDispatcher::FreeSnapshot(snapshot);
    EXPECT_FALSE(snapshot.Timers.has_value());
    dispatcher.RestoreTriggers(snapshot);
    EXPECT_EQ(dispatcher.DisposeTrigger(first), TApdBaseDispatcher::ecBadTriggerHandle);
}

TEST(Triggers, DispatchLogEntries)
{
    TTriggerDispatcher dispatcher;
    ASSERT_EQ(dispatcher.Open(), 0);
    dispatcher.StartDispatchLogging(10000);

    // Data and status triggers come only from a snapshot.
    TTriggerSnapshot snapshot;
    TDataTrigger data;
    data.Handle = 40;
    data.Length = 2;
    TStatusTrigger status;
    status.Handle = 48 + stLine;
    status.Kind = stLine;
    snapshot.Data = std::vector<TDataTrigger>{data};
    snapshot.Status = std::vector<TStatusTrigger>{status};
    dispatcher.RestoreTriggers(snapshot);

    dispatcher.SetAvailLength(7);
    int32_t timer = dispatcher.NewTimerTrigger();
    dispatcher.ArmTimerTrigger(timer, 0x01020304, true);
    dispatcher.ArmTimerTrigger(timer, 0, false);
    EXPECT_EQ(dispatcher.ArmTimerTrigger(40, 1, true), TApdBaseDispatcher::ecBadTriggerHandle)
        << "data, not timer";
    dispatcher.DisposeTrigger(timer);
    dispatcher.DisposeTrigger(48 + stLine);
    dispatcher.DisposeTrigger(40);
    dispatcher.DisposeTrigger(1);

    EXPECT_THAT(
        TriggerEntries(dispatcher),
        ElementsAre("TrDatChg  Avail         00000007  ", "TrigAllc  Timer         00000008  ",
                    "TrDatChg  Timer         00000008  [04][03][02][01]",
                    "TrDatChg  Timer         00000008  Deactivated", "TrigDisp  Timer         00000008  ",
                    "TrigDisp  Status        00000032  (Line status)", "TrigDisp  Data          00000028  "));
}
