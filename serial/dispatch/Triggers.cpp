// The dispatcher's trigger lists: handle numbering, the availability threshold, timer triggers,
// disposal and the snapshot the port keeps of them across a close and a reopen.
#include "serial/dispatch/ApdBaseDispatcher.h"

#include "serial/log/Clock.h"

#include <algorithm>

namespace
{

// The numbering hands out NextTriggerNumber * 8 until this count, then reuses free handles.
constexpr int32_t kHandleNumbers = 4096;
// In the reuse phase only handles up to this one are handed out.
constexpr int32_t kLastReusedHandle = 4096;
constexpr int32_t kTickMs = 55;

constexpr char kDeactivated[] = "Deactivated";

int32_t CurrentTick() { return static_cast<int32_t>(MillisecondClock() / kTickMs); }

} // namespace

int32_t TApdBaseDispatcher::NextHandle()
{
    auto taken = [this](int32_t handle) {
        return std::any_of(TimerTriggerList.begin(), TimerTriggerList.end(),
                           [handle](const TTimerTrigger& t) { return t.Handle == handle; }) ||
               std::any_of(DataTriggerList.begin(), DataTriggerList.end(),
                           [handle](const TDataTrigger& t) { return t.Handle == handle; }) ||
               std::any_of(StatusTriggerList.begin(), StatusTriggerList.end(),
                           [handle](const TStatusTrigger& t) { return (t.Handle & ~7) == handle; });
    };
    // A restored snapshot brings back handles without moving the numbering on: those are
    // skipped, or two triggers would answer to one handle.
    while (NextTriggerNumber < kHandleNumbers) {
        int32_t handle = NextTriggerNumber++ * 8;
        if (!taken(handle))
            return handle;
    }
    for (int32_t handle = 8; handle <= kLastReusedHandle; handle += 8) {
        if (!taken(handle))
            return handle;
    }
    return 0;
}

TApdBaseDispatcher::TTriggerKind TApdBaseDispatcher::FindTrigger(int32_t handle, bool remove)
{
    if (handle == 0 || handle == kAvailTrigger)
        return tkNone;

    auto timer = std::find_if(TimerTriggerList.begin(), TimerTriggerList.end(),
                              [handle](const TTimerTrigger& t) { return t.Handle == handle; });
    if (timer != TimerTriggerList.end()) {
        if (remove) {
            TimerTriggerList.erase(timer);
            if (DispatchLog.Active())
                DispatchLog.RecordDispatchEvent(dtTriggerDispose, dstTriggerTimer,
                                                static_cast<uint32_t>(handle), nullptr, 0);
        }
        return tkTimer;
    }

    auto status = std::find_if(StatusTriggerList.begin(), StatusTriggerList.end(),
                               [handle](const TStatusTrigger& t) { return t.Handle == handle; });
    if (status != StatusTriggerList.end()) {
        if (remove) {
            StatusTriggerList.erase(status);
            if (DispatchLog.Active()) {
                uint8_t kind = static_cast<uint8_t>(handle & 7);
                DispatchLog.RecordDispatchEvent(dtTriggerDispose, dstStatus, static_cast<uint32_t>(handle),
                                                &kind, 1);
            }
        }
        return tkStatus;
    }

    auto data = std::find_if(DataTriggerList.begin(), DataTriggerList.end(),
                             [handle](const TDataTrigger& t) { return (t.Handle & ~7) == handle; });
    if (data != DataTriggerList.end()) {
        if (remove) {
            DataTriggerList.erase(data);
            if (DispatchLog.Active())
                DispatchLog.RecordDispatchEvent(dtTriggerDispose, dstTriggerData,
                                                static_cast<uint32_t>(handle), nullptr, 0);
        }
        return tkData;
    }
    return tkNone;
}

void TApdBaseDispatcher::SetAvailLength(int32_t length)
{
    TLockGuard guard(DispatcherLock);
    AvailLength = length;
    if (DispatchLog.Active())
        DispatchLog.RecordDispatchEvent(dtTriggerDataChange, dstAvail, static_cast<uint32_t>(length), nullptr,
                                        0);
}

int32_t TApdBaseDispatcher::GetAvailLength()
{
    TLockGuard guard(DispatcherLock);
    return AvailLength;
}

int32_t TApdBaseDispatcher::NewTimerTrigger()
{
    TLockGuard guard(DispatcherLock);
    int32_t handle = NextHandle();
    if (handle == 0)
        return ecNoMoreTriggers;
    TTimerTrigger trigger;
    trigger.Handle = handle;
    TimerTriggerList.push_back(trigger);
    if (DispatchLog.Active())
        DispatchLog.RecordDispatchEvent(dtTriggerAlloc, dstTimer, static_cast<uint32_t>(handle), nullptr, 0);
    return handle;
}

int32_t TApdBaseDispatcher::ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate)
{
    TLockGuard guard(DispatcherLock);
    if (FindTrigger(handle, false) != tkTimer)
        return ecBadTriggerHandle;
    auto timer = std::find_if(TimerTriggerList.begin(), TimerTriggerList.end(),
                              [handle](const TTimerTrigger& t) { return t.Handle == handle; });
    if (activate) {
        if (ticks != 0)
            timer->Ticks = ticks;
        // The expiry stays a tick count the signed comparisons of the timer check can order,
        // also once the clock has wrapped.
        timer->StartTick = CurrentTick();
        timer->ExpireTick = timer->StartTick + std::min(timer->Ticks, kMaxTimerTicks);
    }
    if (DispatchLog.Active()) {
        if (activate) {
            uint32_t value = static_cast<uint32_t>(ticks);
            uint8_t bytes[4] = {static_cast<uint8_t>(value), static_cast<uint8_t>(value >> 8),
                                static_cast<uint8_t>(value >> 16), static_cast<uint8_t>(value >> 24)};
            DispatchLog.RecordDispatchEvent(dtTriggerDataChange, dstTimer, static_cast<uint32_t>(handle),
                                            bytes, sizeof bytes);
        } else {
            DispatchLog.RecordDispatchEvent(dtTriggerDataChange, dstTimer, static_cast<uint32_t>(handle),
                                            kDeactivated, sizeof kDeactivated - 1);
        }
    }
    timer->Active = activate;
    return ecOK;
}

int32_t TApdBaseDispatcher::DisposeTrigger(int32_t handle)
{
    TLockGuard guard(DispatcherLock);
    if (handle == kAvailTrigger) {
        AvailLength = 0;
        return ecOK;
    }
    return FindTrigger(handle, true) == tkNone ? ecBadTriggerHandle : ecOK;
}

void TApdBaseDispatcher::ClearAllTriggers()
{
    TLockGuard guard(DispatcherLock);
    AvailLength = 0;
    TimerTriggerList.clear();
    DataTriggerList.clear();
    StatusTriggerList.clear();
    NextTriggerNumber = 1;
}

void TApdBaseDispatcher::ResetStatusHits()
{
    for (auto it = StatusTriggerList.rbegin(); it != StatusTriggerList.rend(); ++it)
        it->Hit = false;
    StatusHitSeen = false;
}

void TApdBaseDispatcher::ResetDataMatches()
{
    for (auto& trigger : DataTriggerList)
        trigger.MatchState.fill(0);
}

void TApdBaseDispatcher::SaveTriggers(TTriggerSnapshot& snapshot)
{
    TLockGuard guard(DispatcherLock);
    FreeSnapshot(snapshot);
    snapshot.AvailLength = AvailLength;
    snapshot.Timers = TimerTriggerList;
    snapshot.Data = DataTriggerList;
    snapshot.Status = StatusTriggerList;
}

void TApdBaseDispatcher::RestoreTriggers(const TTriggerSnapshot& snapshot)
{
    TLockGuard guard(DispatcherLock);
    AvailLength = snapshot.AvailLength;
    TimerTriggerList.clear();
    DataTriggerList.clear();
    StatusTriggerList.clear();
    if (snapshot.Timers)
        TimerTriggerList = *snapshot.Timers;
    if (snapshot.Data)
        DataTriggerList = *snapshot.Data;
    if (snapshot.Status)
        StatusTriggerList = *snapshot.Status;
}

void TApdBaseDispatcher::FreeSnapshot(TTriggerSnapshot& snapshot)
{
    snapshot.Timers.reset();
    snapshot.Data.reset();
    snapshot.Status.reset();
}
