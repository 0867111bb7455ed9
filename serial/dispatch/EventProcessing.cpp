// What the dispatch thread does at each wake: line events, the fill, the status, data, availability
// and timer checks, and the delivery of every fired trigger to the registered handlers.
#include "serial/dispatch/ApdBaseDispatcher.h"

#include <algorithm>
#include <type_traits>

namespace
{

// Window handlers that do not answer within this time are passed over.
constexpr UINT kWindowHandlerTimeoutMs = 3000;

} // namespace

void TApdBaseDispatcher::ProcessLineEvent()
{
    constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING | 0x2000;
    constexpr DWORD kLineEvents = EV_BREAK | EV_ERR;
    // The mask of the last completed wait stays: a wake by time-out sees it again.
    DWORD mask = LastEventMask;

    // Fires the status triggers until none fires or a delivery is cut short. @return false when
    // a handler asked for a close: the step ends at once.
    auto statusLoop = [this] {
        while (CheckStatusTriggers()) {
            if (CloseRequested)
                return false;
        }
        return !CloseRequested;
    };
    auto resetHits = [this] {
        // A status trigger added meanwhile can move the records under this walk.
        TLockGuard guard(DispatcherLock);
        if (StatusHitSeen)
            ResetStatusHits();
    };

    if (mask & kModemEvents) {
        UpdateModemChanges();
        if (!Notifying) {
            if (!statusLoop())
                return;
            resetHits();
        }
    }
    if (mask & kLineEvents) {
        RefreshLineStatus();
        if (!Notifying) {
            if (!statusLoop())
                return;
            resetHits();
        }
    }
    FillInputRing();
    if (!Notifying) {
        // The lines as they are now, with the change bits kept. A change this look sees before
        // its line event has been handled sets its change bit here: the event's own look would
        // find the lines already as they are and the change would be lost.
        UpdateModemChanges();
        if (!statusLoop())
            return;
        while (CheckReceivedData()) {
            if (CloseRequested)
                return;
        }
        if (CloseRequested)
            return;
    }
    resetHits();
    SetEvent(DispatchDoneSignal);
}

DWORD TApdBaseDispatcher::DispatchWaitMs()
{
    {
        TLockGuard input(InputLock);
        if (RingFull || RingHead != RingTail)
            return kDispatchPollMs;
    }
    TLockGuard guard(DispatcherLock);
    if (OfferAgain || Notifying)
        return kDispatchPollMs;
    const bool timing = std::any_of(TimerTriggerList.begin(), TimerTriggerList.end(),
                                    [](const TTimerTrigger& timer) { return timer.Active; });
    const bool watching = std::any_of(StatusTriggerList.begin(), StatusTriggerList.end(),
                                      [](const TStatusTrigger& status) { return status.Armed; });
    return timing || watching ? kDispatchPollMs : kDispatchIdleMs;
}

void TApdBaseDispatcher::WakeDispatchThread()
{
    // The signal goes with the threads, under this lock.
    TLockGuard guard(DispatcherLock);
    if (ThreadsRunning && LineEventSignal)
        SetEvent(LineEventSignal);
}

void TApdBaseDispatcher::ProcessTimers()
{
    if (CloseRequested || Notifying)
        return;
    // Unread bytes that a new handler has not been offered yet: no arrival may come to offer them.
    if (OfferAgain.load()) {
        CheckReceivedData();
        if (CloseRequested)
            return;
    }
    {
        TLockGuard guard(DispatcherLock);
        StatusHitSeen = false;
    }
    for (;;) {
        bool delivered = CheckStatusTriggers();
        if (!delivered)
            delivered = CheckTimerTriggers();
        if (!delivered || CloseRequested)
            break;
    }
    TLockGuard guard(DispatcherLock);
    if (StatusHitSeen)
        ResetStatusHits();
}

void TApdBaseDispatcher::CallOnUserThread(const TApdNotifyMethod& method, UINT message, WPARAM wParam,
                                          LPARAM lParam)
{
    method(message, wParam, lParam);
}

void TApdBaseDispatcher::RunOnUserThread(const std::function<void()>& call) { call(); }

bool TApdBaseDispatcher::NotifyHandlers(UINT message, WPARAM wParam, int32_t data)
{
    if (!HandlersNeeded)
        return true;
    {
        TLockGuard guard(DispatcherLock);
        Notifying = true;
    }
    bool availNotice = message == MsgTriggerAvail || message == MsgTriggerData;
    {
        TLockGuard guard(InputLock);
        MostTakenInNotice = 0;
        TakenInNotice = 0;
        InAvailNotice = availNotice;
    }
    const LPARAM lParam =
        static_cast<LPARAM>(static_cast<uint32_t>(DispatcherHandle) * 65536u + static_cast<uint32_t>(data));

    // Handler lists are walked by index up to the count taken at the start of each list; the
    // record is copied under the lock, since a handler added meanwhile can move the records.
    // Records added during the walk are not called in it, records removed are only marked.
    auto beforeCall = [this] {
        TLockGuard guard(InputLock);
        TakenInNotice = 0;
    };
    auto afterCall = [this] {
        TLockGuard guard(InputLock);
        MostTakenInNotice = std::max(MostTakenInNotice, TakenInNotice);
    };

    // Ends the notice: removals made meanwhile are purged. Runs also when a handler threw or
    // asked for a close; the bytes are then not consumed, but later takes must consume again.
    auto finish = [this] {
        {
            TLockGuard guard(InputLock);
            InAvailNotice = false;
        }
        TLockGuard guard(DispatcherLock);
        Notifying = false;
        if (PurgePending) {
            auto purge = [](auto& list) {
                for (auto it = list.size(); it-- > 0;) {
                    if (list[it].Removed)
                        list.erase(list.begin() + static_cast<std::ptrdiff_t>(it));
                }
            };
            purge(WindowHandlers);
            purge(ProcedureHandlers);
            purge(MethodHandlers);
            PurgePending = false;
            UpdateHandlerNeed(0);
        }
    };

    bool result = true;
    bool cut = false;
    try {
        // Calls `call` for each record present at the start of the list that `listOf` gives, the
        // list looked at and the copy taken under the lock; stops once a handler has asked for a
        // close.
        auto walk = [&](auto&& listOf, size_t count, auto&& call) {
            for (size_t i = 0; i < count && !cut; ++i) {
                typename std::remove_pointer_t<decltype(listOf())>::value_type handler;
                {
                    TLockGuard guard(DispatcherLock);
                    const auto& list = *listOf();
                    if (i >= list.size())
                        break;
                    handler = list[i];
                }
                beforeCall();
                if (!handler.Removed)
                    call(handler);
                if (CloseRequested)
                    cut = true;
                else
                    afterCall();
            }
        };
        auto sizeOf = [this](auto&& listOf) {
            TLockGuard guard(DispatcherLock);
            return listOf()->size();
        };
        auto methods = [this]() REQUIRES(DispatcherLock) { return &MethodHandlers; };
        auto procedures = [this]() REQUIRES(DispatcherLock) { return &ProcedureHandlers; };
        auto windows = [this]() REQUIRES(DispatcherLock) { return &WindowHandlers; };

        walk(methods, sizeOf(methods), [&](const TMethodHandler& handler) {
            if (!handler.Method)
                return;
            if (handler.OnUserThread)
                CallOnUserThread(handler.Method, message, wParam, lParam);
            else
                handler.Method(message, wParam, lParam);
        });
        walk(procedures, sizeOf(procedures), [&](const TProcedureHandler& handler) {
            if (handler.Proc)
                handler.Proc(message, wParam, lParam);
        });
        if (!cut) {
            size_t count;
            bool windowsWanted;
            {
                TLockGuard guard(DispatcherLock);
                count = WindowHandlers.size();
                windowsWanted = count > 1 || PortWindowWanted;
            }
            if (windowsWanted) {
                walk(windows, count, [&](const TWindowHandler& handler) {
                    // The outcome, a time-out included, is not looked at: a window that does not
                    // answer only misses this notification.
                    DWORD_PTR answer = 0;
                    SendMessageTimeoutA(handler.Window, message, wParam, lParam, SMTO_BLOCK,
                                        kWindowHandlerTimeoutMs, &answer);
                });
            }
        }

        if (cut) {
            result = false;
        } else if (availNotice) {
            TLockGuard guard(InputLock);
            InAvailNotice = false;
            RingTail += MostTakenInNotice;
            if (RingTail >= kInputRingSize)
                RingTail -= kInputRingSize;
            if (MostTakenInNotice != 0)
                RingFull = false;
            if (message == MsgTriggerAvail && static_cast<WPARAM>(MostTakenInNotice) != wParam)
                result = false;
        }
    } catch (...) {
        finish();
        throw;
    }
    finish();
    if (!cut) {
        TLockGuard guard(InputLock);
        TakenInNotice = 0;
    }
    return result;
}
