// Delivery of fired triggers to the registered handlers: what each message carries, how the input
// consumed in an availability notification is settled, changes to the handler lists and closes
// made from inside a handler, a handler that throws, and the line-event step of the dispatch
// thread around it.
#include "FakeDispatcher.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

using ::testing::ElementsAre;

namespace
{

constexpr UINT kAvail = TApdBaseDispatcher::MsgTriggerAvail;
constexpr UINT kData = TApdBaseDispatcher::MsgTriggerData;
constexpr UINT kTimer = TApdBaseDispatcher::MsgTriggerTimer;
constexpr UINT kStatus = TApdBaseDispatcher::MsgTriggerStatus;
constexpr uint32_t kTickMs = 55;

void QueueInDriver(TFakeDispatcher& dispatcher, const std::string& bytes)
{
    for (char c : bytes)
        dispatcher.Driver.push_back(static_cast<uint8_t>(c));
}

std::vector<TNotice> gProcedureNotices;
void RecordProcedure(UINT message, WPARAM wParam, LPARAM lParam)
{
    gProcedureNotices.push_back({message, wParam, lParam});
}

class Notify : public ::testing::Test
{
protected:
    void SetUp() override
    {
        ASSERT_EQ(d.Open(), 0);
        ASSERT_NE(d.Handle(), 0);
    }
    TFakeDispatcher spare; // holds the first registry slot, so that the handle in lParam is not 0
    TFakeDispatcher d;
    std::vector<std::string> calls;
};

} // namespace

TEST_F(Notify, EveryMessageCarriesItsTriggerAndTheDispatcherHandle)
{
    TFakeClock clock(1000 * kTickMs);
    TNoticeRecorder method;
    d.AddMethodHandler(method.Method());
    gProcedureNotices.clear();
    d.AddProcedureHandler(&RecordProcedure);
    int32_t data = d.AddDataTrigger("OK", false);
    int32_t timer = d.NewTimerTrigger();
    int32_t status = d.AddStatusTrigger(stOutFree, 1);
    ASSERT_EQ(status & 7, stOutFree);
    d.SetAvailLength(1);

    ASSERT_TRUE(d.Arrive("OK"));
    EXPECT_TRUE(d.CheckReceivedData());
    EXPECT_FALSE(d.CheckReceivedData()) << "the two bytes were offered and left unread";
    d.ArmTimerTrigger(timer, 1, true);
    clock.Advance(2 * kTickMs);
    EXPECT_TRUE(d.CheckTimerTriggers());
    EXPECT_TRUE(d.CheckStatusTriggers());

    std::vector<TNotice> expected = {NoticeOf(d, kData, data, 2), NoticeOf(d, kAvail, 2, 0),
                                     NoticeOf(d, kTimer, timer, 0), NoticeOf(d, kStatus, status, 64)};
    EXPECT_EQ(method.Notices, expected);
    EXPECT_EQ(gProcedureNotices, expected);
}

TEST_F(Notify, WithoutHandlersAFiredTriggerCountsAsDeliveredOnce)
{
    TFakeClock clock(1000 * kTickMs);
    int32_t timer = d.NewTimerTrigger();
    d.ArmTimerTrigger(timer, 1, true);
    d.SetAvailLength(1);
    clock.Advance(2 * kTickMs);
    d.Arrive("xy");

    EXPECT_TRUE(d.CheckReceivedData());
    EXPECT_FALSE(d.CheckReceivedData()) << "the head has not moved since";
    EXPECT_EQ(d.InputCount(), 2) << "nobody took anything";
    EXPECT_TRUE(d.CheckTimerTriggers());
    EXPECT_FALSE(d.CheckTimerTriggers());
}

TEST(NotifyConsumption, TheTailAdvancesByTheMostAnyHandlerTook)
{
    struct TCase {
        int32_t first;
        int32_t second;
        int32_t consumed;
        bool allTaken;
    };
    const std::string offered = "0123456789";
    for (const TCase& c :
         {TCase{4, 7, 7, false}, TCase{10, 10, 10, true}, TCase{10, 3, 10, true}, TCase{0, 0, 0, false}}) {
        SCOPED_TRACE(std::to_string(c.first) + " and " + std::to_string(c.second));
        TFakeDispatcher d;
        ASSERT_EQ(d.Open(), 0);
        TNoticeRecorder first, second;
        std::string firstSaw, secondSaw;
        first.Action = [&](const TNotice&) { firstSaw = Take(d, c.first); };
        second.Action = [&](const TNotice&) { secondSaw = Take(d, c.second); };
        d.AddMethodHandler(first.Method<1>());
        d.AddMethodHandler(second.Method<2>());
        d.SetAvailLength(1);
        d.Arrive(offered);

        EXPECT_EQ(d.CheckReceivedData(), c.allTaken);
        // Every handler reads from the same start.
        EXPECT_EQ(firstSaw, offered.substr(0, static_cast<size_t>(c.first)));
        EXPECT_EQ(secondSaw, offered.substr(0, static_cast<size_t>(c.second)));
        EXPECT_EQ(d.Tail(), c.consumed);
        EXPECT_EQ(d.InputCount(), 10 - c.consumed);
    }
}

TEST_F(Notify, AvailabilityIsOfferedOncePerArrival)
{
    TNoticeRecorder handler;
    int32_t take = 0;
    handler.Action = [&](const TNotice&) { Take(d, take); };
    d.AddMethodHandler(handler.Method());
    d.SetAvailLength(1);

    d.Arrive("12345");
    EXPECT_FALSE(d.CheckReceivedData());
    EXPECT_FALSE(d.CheckReceivedData());
    ASSERT_EQ(handler.Notices.size(), 1u) << "bytes left unread are not offered again by themselves";
    EXPECT_EQ(handler.Notices[0].WParam, 5u);

    take = 6;
    d.Arrive("6");
    EXPECT_TRUE(d.CheckReceivedData());
    ASSERT_EQ(handler.Notices.size(), 2u);
    EXPECT_EQ(handler.Notices[1].WParam, 6u) << "a new arrival offers every unread byte";
    EXPECT_EQ(d.InputCount(), 0);
    EXPECT_FALSE(d.CheckReceivedData());
    EXPECT_EQ(handler.Notices.size(), 2u);

    // Below the threshold nothing is offered; reaching it offers all.
    d.SetAvailLength(3);
    take = 3;
    d.Arrive("ab");
    EXPECT_FALSE(d.CheckReceivedData());
    EXPECT_EQ(handler.Notices.size(), 2u);
    d.Arrive("c");
    EXPECT_TRUE(d.CheckReceivedData());
    ASSERT_EQ(handler.Notices.size(), 3u);
    EXPECT_EQ(handler.Notices[2].WParam, 3u);
}

TEST_F(Notify, AFullRingThatEndsWhereTheLastOfferEndedIsOffered)
{
    TNoticeRecorder handler;
    handler.Action = [&](const TNotice& notice) { Take(d, static_cast<int64_t>(notice.WParam)); };
    d.AddMethodHandler(handler.Method());
    d.SetAvailLength(1);
    QueueInDriver(d, "12345");
    d.ProcessLineEvent();

    // The dispatch thread was held up (a window answering late) while the driver filled up.
    QueueInDriver(d, std::string(TApdBaseDispatcher::kInputRingSize, 'z') + "more");
    d.ProcessLineEvent();
    d.ProcessLineEvent();
    EXPECT_THAT(handler.Notices, ElementsAre(NoticeOf(d, kAvail, 5, 0),
                                             NoticeOf(d, kAvail, TApdBaseDispatcher::kInputRingSize, 0),
                                             NoticeOf(d, kAvail, 4, 0)));
    EXPECT_TRUE(d.Driver.empty());
}

TEST_F(Notify, AHandlerAddedAfterTheRingFilledIsOfferedItsBytes)
{
    // Bytes that filled the ring before anyone listened (a port's users are told of the open
    // after its threads have started) were offered to nobody; no arrival can follow them.
    d.SetAvailLength(1);
    QueueInDriver(d, std::string(TApdBaseDispatcher::kInputRingSize, 'z') + "more");
    d.ProcessLineEvent();
    TNoticeRecorder handler;
    handler.Action = [&](const TNotice& notice) { Take(d, static_cast<int64_t>(notice.WParam)); };
    d.AddMethodHandler(handler.Method());
    d.ProcessTimers();
    d.ProcessLineEvent();
    EXPECT_THAT(handler.Notices, ElementsAre(NoticeOf(d, kAvail, TApdBaseDispatcher::kInputRingSize, 0),
                                             NoticeOf(d, kAvail, 4, 0)));
}

TEST_F(Notify, OneLineEventStepDeliversEveryMatchThatArrived)
{
    TNoticeRecorder handler;
    d.AddMethodHandler(handler.Method());
    int32_t trigger = d.AddDataTrigger("AB", false);
    QueueInDriver(d, "xAByyAB");
    d.ProcessLineEvent();
    EXPECT_THAT(handler.Notices, ElementsAre(NoticeOf(d, kData, trigger, 2), NoticeOf(d, kData, trigger, 2)));

    // A close from the first notification leaves the second match unreported.
    handler.Action = [&](const TNotice&) { d.CloseDispatcher(); };
    QueueInDriver(d, "ABAB");
    d.ProcessLineEvent();
    EXPECT_EQ(handler.Notices.size(), 3u);
}

TEST_F(Notify, HandlerListChangesDuringANotificationWaitForItsEnd)
{
    TNoticeRecorder a("a", &calls), b("b", &calls), c("c", &calls), late("late", &calls);
    size_t countInside = 0;
    a.Action = [&](const TNotice&) {
        if (a.Notices.size() == 1) {
            d.RemoveMethodHandler(b.Method<2>());
            d.AddMethodHandler(late.Method<4>());
        }
    };
    c.Action = [&](const TNotice&) {
        d.RemoveMethodHandler(c.Method<3>());
        countInside = d.HandlerCount();
    };
    d.AddMethodHandler(a.Method<1>());
    d.AddMethodHandler(b.Method<2>());
    d.AddMethodHandler(c.Method<3>());

    EXPECT_TRUE(d.NotifyHandlers(kTimer, 8, 0));
    EXPECT_THAT(calls, ElementsAre("a", "c")) << "a removed handler is not called, an added one not yet";
    EXPECT_EQ(countInside, 4u) << "removed handlers stay listed until the notification ends";
    EXPECT_EQ(d.HandlerCount(), 2u);

    calls.clear();
    EXPECT_TRUE(d.NotifyHandlers(kTimer, 8, 0));
    EXPECT_THAT(calls, ElementsAre("a", "late"));

    // When the last handlers go inside a notification, none is wanted once it ends.
    a.Action = [&](const TNotice&) {
        d.RemoveMethodHandler(a.Method<1>());
        d.RemoveMethodHandler(late.Method<4>());
    };
    calls.clear();
    EXPECT_TRUE(d.NotifyHandlers(kTimer, 8, 0));
    EXPECT_THAT(calls, ElementsAre("a"));
    EXPECT_EQ(d.HandlerCount(), 0u);
    EXPECT_FALSE(d.WantsHandlers());
}

TEST_F(Notify, TheLineEventStepDeliversAndACloseFromAHandlerEndsIt)
{
    TNoticeRecorder first("first", &calls), second("second", &calls);
    d.AddMethodHandler(first.Method<1>());
    d.AddMethodHandler(second.Method<2>());
    d.SetAvailLength(1);
    ASSERT_FALSE(d.DispatchDone());

    first.Action = [&](const TNotice& notice) { Take(d, static_cast<int64_t>(notice.WParam)); };
    QueueInDriver(d, "abc");
    d.ProcessLineEvent();
    EXPECT_THAT(calls, ElementsAre("first", "second"));
    EXPECT_EQ(first.Notices.at(0).WParam, 3u);
    EXPECT_EQ(d.InputCount(), 0);
    EXPECT_TRUE(d.DispatchDone()) << "the device-event thread may wait again";

    calls.clear();
    first.Action = [&](const TNotice&) {
        Take(d, 2);
        d.CloseDispatcher();
    };
    QueueInDriver(d, "defg");
    d.ProcessLineEvent();
    EXPECT_THAT(calls, ElementsAre("first")) << "later handlers are not told after a close";
    EXPECT_TRUE(d.IsCloseRequested());
    EXPECT_FALSE(d.IsNotifying());
    EXPECT_EQ(d.Tail(), 3) << "a notification cut short consumes nothing";
    EXPECT_FALSE(d.DispatchDone()) << "the step returned at once";
}

TEST_F(Notify, AHandlerThatThrowsLeavesTheDispatcherWorking)
{
    TNoticeRecorder thrower("thrower", &calls), other("other", &calls);
    thrower.Action = [&](const TNotice& notice) {
        if (thrower.Notices.size() == 1) {
            Take(d, 2);
            d.RemoveMethodHandler(other.Method<2>());
            throw std::runtime_error("handler failed");
        }
        Take(d, static_cast<int64_t>(notice.WParam));
    };
    d.AddMethodHandler(thrower.Method<1>());
    d.AddMethodHandler(other.Method<2>());
    d.SetAvailLength(1);
    d.Arrive("abcde");

    EXPECT_THROW(d.CheckReceivedData(), std::runtime_error);
    EXPECT_FALSE(d.IsNotifying());
    EXPECT_EQ(d.HandlerCount(), 1u) << "the removal made before the throw is purged";
    EXPECT_EQ(d.InputCount(), 5) << "what the throwing handler took is not consumed";
    EXPECT_EQ(Take(d, 2), "ab");
    EXPECT_EQ(d.Tail(), 2) << "a take outside a notification consumes again";

    d.Arrive("f");
    EXPECT_TRUE(d.CheckReceivedData());
    EXPECT_EQ(thrower.Notices.at(1).WParam, 4u);
    EXPECT_EQ(d.InputCount(), 0);
    EXPECT_EQ(d.Tail(), 6);
    EXPECT_THAT(calls, ElementsAre("thrower", "thrower"));
}

namespace
{

std::vector<std::pair<HWND, TNotice>> gWindowNotices;

LRESULT RecordingWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message >= kAvail && message <= kStatus)
        gWindowNotices.push_back({window, {message, wParam, lParam}});
    return DefWindowProcA(window, message, wParam, lParam);
}

} // namespace

TEST_F(Notify, ThePortWindowHearsOnlyWhenItAskedOrOtherWindowsListen)
{
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = &RecordingWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = "NotificationTestWindow";
    ASSERT_NE(RegisterClassA(&windowClass), 0);
    HWND port = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                windowClass.hInstance, nullptr);
    HWND other = CreateWindowExA(0, windowClass.lpszClassName, "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                 windowClass.hInstance, nullptr);
    ASSERT_NE(port, nullptr);
    ASSERT_NE(other, nullptr);
    gWindowNotices.clear();

    d.AddWindowHandler(port);
    d.NotifyHandlers(kTimer, 8, 0);
    d.UpdateHandlerNeed(1);
    d.NotifyHandlers(kTimer, 16, 0);
    d.UpdateHandlerNeed(2);
    d.NotifyHandlers(kTimer, 24, 0);
    d.AddWindowHandler(other);
    d.NotifyHandlers(kTimer, 32, 0);

    EXPECT_THAT(gWindowNotices, ElementsAre(std::pair{port, NoticeOf(d, kTimer, 16, 0)},
                                            std::pair{port, NoticeOf(d, kTimer, 32, 0)},
                                            std::pair{other, NoticeOf(d, kTimer, 32, 0)}));

    d.RemoveWindowHandler(other);
    d.RemoveWindowHandler(port);
    DestroyWindow(other);
    DestroyWindow(port);
    UnregisterClassA(windowClass.lpszClassName, windowClass.hInstance);
}
