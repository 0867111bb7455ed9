// Trigger lists of the dispatcher: handle numbering and reuse, timer arming, disposal, the
// snapshot kept across a reopen, the dispatch-log entries they write, and when each kind of
// trigger fires: timers against the tick count, data strings in the received bytes, status
// conditions on the output queue, the modem lines and the line errors.
#include "FakeDispatcher.h"

#include "tests/serial/log/LogTestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

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

// ---- Evaluation of the triggers --------------------------------------------------------------

namespace
{

constexpr uint32_t kTickMs = 55;
constexpr UINT kAvail = TApdBaseDispatcher::MsgTriggerAvail;
constexpr UINT kData = TApdBaseDispatcher::MsgTriggerData;
constexpr UINT kTimer = TApdBaseDispatcher::MsgTriggerTimer;
constexpr UINT kStatus = TApdBaseDispatcher::MsgTriggerStatus;

struct TTimerCase {
    const char* what;
    uint32_t armedAt; // milliseconds
    int32_t ticks;
    uint32_t checkedAt;
    bool fires;
};

void CheckTimerCases(const std::vector<TTimerCase>& cases)
{
    for (const TTimerCase& c : cases) {
        SCOPED_TRACE(c.what);
        TFakeClock clock(c.armedAt);
        TTriggerDispatcher dispatcher;
        TNoticeRecorder handler;
        dispatcher.AddMethodHandler(handler.Method());
        int32_t timer = dispatcher.NewTimerTrigger();
        ASSERT_EQ(dispatcher.ArmTimerTrigger(timer, c.ticks, true), 0);
        clock.Set(c.checkedAt);
        EXPECT_EQ(dispatcher.CheckTimerTriggers(), c.fires);
        if (c.fires) {
            EXPECT_THAT(handler.Notices, ElementsAre(NoticeOf(dispatcher, kTimer, timer, 0)));
            EXPECT_FALSE(dispatcher.CheckTimerTriggers()) << "a fired timer stops";
        } else {
            EXPECT_TRUE(handler.Notices.empty());
        }
    }
}

} // namespace

TEST(TimerTriggers, FireOnceTheTickCountHasMovedPastTheDuration)
{
    constexpr uint32_t kStart = 1000 * kTickMs; // the start of tick 1000
    constexpr auto kMax = static_cast<uint32_t>(TApdBaseDispatcher::kMaxTimerTicks);
    CheckTimerCases({
        {"two ticks, two ticks on", kStart, 2, kStart + 2 * kTickMs + 54, false},
        {"two ticks, three ticks on", kStart, 2, kStart + 3 * kTickMs, true},
        {"armed at the end of its tick, 111 ms suffice", kStart + 54, 2, kStart + 3 * kTickMs, true},
        {"no ticks, same tick", kStart, 0, kStart + 54, false},
        {"no ticks, next tick", kStart, 0, kStart + kTickMs, true},
        {"longest wait, one tick short", kStart, 0x7FFFFFFF, (1000 + kMax + 1) * kTickMs - 1, false},
        {"longest wait, due", kStart, 0x7FFFFFFF, (1000 + kMax + 1) * kTickMs, true},
    });
}

TEST(TimerTriggers, FireAcrossTheWrapOfTheMillisecondClock)
{
    // The tick count runs from 0 to kLastTick, then starts at 0 again with the clock.
    constexpr uint32_t kLastTick = 0xFFFFFFFFu / kTickMs;
    constexpr uint32_t kNearEnd = (kLastTick - 1) * kTickMs;
    constexpr uint32_t kLongAgo = 78000000u * kTickMs;
    CheckTimerCases({
        {"two ticks, two ticks on across the wrap", kNearEnd, 2, 54, false},
        {"two ticks, three ticks on across the wrap", kNearEnd, 2, kNearEnd + 3 * kTickMs, true},
        {"long timer, short of its duration after the wrap", kLongAgo, 100000, 9000 * kTickMs, false},
        {"long timer, past its duration after the wrap", kLongAgo, 100000, 10000 * kTickMs, true},
    });
}

TEST(TimerTriggers, OneFiresPerCheckInListOrderAndAPassFiresAll)
{
    TFakeClock clock(1000 * kTickMs);
    TTriggerDispatcher dispatcher;
    TNoticeRecorder handler;
    dispatcher.AddMethodHandler(handler.Method());
    int32_t first = dispatcher.NewTimerTrigger();
    int32_t second = dispatcher.NewTimerTrigger();
    int32_t idle = dispatcher.NewTimerTrigger();
    dispatcher.ArmTimerTrigger(second, 1, true);
    dispatcher.ArmTimerTrigger(first, 2, true);
    dispatcher.ArmTimerTrigger(idle, 1, true);
    dispatcher.ArmTimerTrigger(idle, 0, false);
    clock.Advance(3 * kTickMs);

    EXPECT_TRUE(dispatcher.CheckTimerTriggers());
    EXPECT_THAT(handler.Notices, ElementsAre(NoticeOf(dispatcher, kTimer, first, 0)));
    dispatcher.ArmTimerTrigger(first, 0, true);
    clock.Advance(3 * kTickMs);
    dispatcher.ProcessTimers();
    EXPECT_THAT(handler.Notices,
                ElementsAre(NoticeOf(dispatcher, kTimer, first, 0), NoticeOf(dispatcher, kTimer, first, 0),
                            NoticeOf(dispatcher, kTimer, second, 0)));
}

TEST(DataTriggers, PartialMatchesOverlap)
{
    struct TCase {
        const char* pattern;
        bool ignoreCase;
        std::string input;
        std::vector<int> matchedAt; // 1-based positions of the bytes that complete a match
    };
    const std::vector<TCase> cases = {
        {"AB", false, "AAB", {3}},
        {"AB", false, "ABAB", {2, 4}},
        {"AAB", false, "AAAB", {4}},
        // A completed match starts afresh: bytes 3 to 6 are not a second one.
        {"ABAB", false, "ABABAB", {4}},
        {"ABAC", false, "ABABAC", {6}},
        {"ab", true, "xAbaB", {3, 5}},
        {"ab", false, "AbAB", {}},
        {"A", false, "AxA", {1, 3}},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(std::string(c.pattern) + " over " + c.input);
        TTriggerDispatcher dispatcher;
        ASSERT_EQ(dispatcher.Open(), 0);
        TNoticeRecorder handler;
        dispatcher.AddMethodHandler(handler.Method());
        int32_t trigger = dispatcher.AddDataTrigger(c.pattern, c.ignoreCase);
        std::vector<int> matchedAt;
        for (size_t i = 0; i < c.input.size(); ++i) {
            size_t before = handler.Notices.size();
            dispatcher.Arrive(c.input.substr(i, 1));
            for (int pass = 0; pass < 10 && dispatcher.CheckReceivedData(); ++pass) {
            }
            if (handler.Notices.size() > before)
                matchedAt.push_back(static_cast<int>(i) + 1);
        }
        EXPECT_EQ(matchedAt, c.matchedAt);
        for (const TNotice& notice : handler.Notices)
            EXPECT_EQ(notice, NoticeOf(dispatcher, kData, trigger, static_cast<int32_t>(strlen(c.pattern))));
    }
}

TEST(DataTriggers, TheBytesInFrontAreOfferedFirstThenTheLatestTriggerIsToldFirst)
{
    TTriggerDispatcher dispatcher;
    ASSERT_EQ(dispatcher.Open(), 0);
    int32_t pair = dispatcher.AddDataTrigger("AB", false);
    int32_t single = dispatcher.AddDataTrigger("B", false);
    dispatcher.SetAvailLength(1);
    TNoticeRecorder handler;
    std::string front, matched;
    handler.Action = [&](const TNotice& notice) {
        if (notice.Message == kAvail)
            front = Take(dispatcher, static_cast<int64_t>(notice.WParam));
        else if (notice.WParam == static_cast<WPARAM>(pair))
            matched = Take(dispatcher, 2);
    };
    dispatcher.AddMethodHandler(handler.Method());

    dispatcher.Arrive("xAB");
    EXPECT_TRUE(dispatcher.CheckReceivedData());
    EXPECT_THAT(handler.Notices,
                ElementsAre(NoticeOf(dispatcher, kAvail, 1, 0), NoticeOf(dispatcher, kData, single, 1),
                            NoticeOf(dispatcher, kData, pair, 2)));
    EXPECT_EQ(front, "x");
    EXPECT_EQ(matched, "AB");
    EXPECT_EQ(dispatcher.InputCount(), 0);
    EXPECT_FALSE(dispatcher.CheckReceivedData());
    EXPECT_EQ(handler.Notices.size(), 3u);
}

TEST(StatusTriggers, EachKindFiresOnceWhenItsConditionHolds)
{
    using TSetup = std::function<void(TTriggerDispatcher&)>;
    const TSetup nothing = [](TTriggerDispatcher&) {};
    const TSetup sendTen = [](TTriggerDispatcher& d) { ASSERT_EQ(d.SendBlock("0123456789", 10), 0); };
    auto modem = [](uint8_t status) {
        return TSetup([status](TTriggerDispatcher& d) { d.SetModemStatus(status); });
    };
    auto errors = [](uint32_t bits) {
        return TSetup([bits](TTriggerDispatcher& d) { d.SetErrorBits(bits); });
    };
    struct TCase {
        const char* what;
        int32_t kind;
        uint16_t value;
        TSetup setup;
        bool fires;
        int32_t data;
    };
    // The output ring holds 64 bytes.
    const std::vector<TCase> cases = {
        {"all 64 free, 64 wanted", stOutFree, 64, nothing, true, 64},
        {"54 free, 60 wanted", stOutFree, 60, sendTen, false, 0},
        {"10 queued, at most 10", stOutUsed, 10, sendTen, true, 10},
        {"10 queued, at most 9", stOutUsed, 9, sendTen, false, 0},
        {"nothing queued, at most 0", stOutUsed, 0, nothing, true, 0},
        {"a write went out", stOutSent, 0, sendTen, true, 0},
        {"no write", stOutSent, 0, nothing, false, 0},
        {"watched CTS came up", stModem, 0x1000, modem(0x10), true, 0},
        {"DSR came up, CTS watched", stModem, 0x1000, modem(0x20), false, 0},
        {"watched CTS at its reference", stModem, 0x1010, modem(0x10), false, 0},
        {"watched CTS went down", stModem, 0x1010, modem(0x20), true, 0},
        {"watched overrun came with a parity error", stLine, 0x02, errors(0x06), true, 0},
        {"an unwatched error came", stLine, 0x02, errors(0x01), false, 0},
    };
    for (const TCase& c : cases) {
        SCOPED_TRACE(c.what);
        TTriggerDispatcher dispatcher;
        ASSERT_EQ(dispatcher.Open(), 0);
        TNoticeRecorder handler;
        dispatcher.AddMethodHandler(handler.Method());
        int32_t trigger = dispatcher.AddStatusTrigger(c.kind, c.value);
        ASSERT_EQ(trigger & 7, c.kind);
        c.setup(dispatcher);

        EXPECT_EQ(dispatcher.CheckStatusTriggers(), c.fires);
        if (c.fires) {
            EXPECT_THAT(handler.Notices, ElementsAre(NoticeOf(dispatcher, kStatus, trigger, c.data)));
            EXPECT_FALSE(dispatcher.Status(trigger).Armed);
            EXPECT_FALSE(dispatcher.CheckStatusTriggers()) << "fired once until armed again";
        } else {
            EXPECT_TRUE(handler.Notices.empty());
            EXPECT_TRUE(dispatcher.Status(trigger).Armed);
        }
        if (c.kind == stLine && c.fires) {
            EXPECT_EQ(dispatcher.Status(trigger).Value, 0x06) << "the value becomes the errors seen";
        }
    }
}

TEST(StatusTriggers, ATriggerReArmedByItsHandlerFiresOncePerPass)
{
    TTriggerDispatcher dispatcher;
    ASSERT_EQ(dispatcher.Open(), 0);
    int32_t trigger = dispatcher.AddStatusTrigger(stOutFree, 0);
    TNoticeRecorder handler;
    // Bounded, so that a pass that would go on for ever ends all the same.
    handler.Action = [&](const TNotice&) {
        if (handler.Notices.size() < 20)
            dispatcher.SetStatusTrigger(trigger, 0, true);
    };
    dispatcher.AddMethodHandler(handler.Method());

    dispatcher.ProcessTimers();
    EXPECT_EQ(handler.Notices.size(), 1u);
    dispatcher.ProcessTimers();
    EXPECT_EQ(handler.Notices.size(), 2u);
    dispatcher.ProcessLineEvent();
    EXPECT_EQ(handler.Notices.size(), 3u);
}
