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

// Received letters of a data trigger that ignores case are compared upper case.
uint8_t UpperByte(uint8_t byte)
{
    return byte >= 'a' && byte <= 'z' ? static_cast<uint8_t>(byte - 32) : byte;
}

} // namespace

int32_t TApdBaseDispatcher::NextHandle()
{
    auto taken = [this](int32_t handle) REQUIRES(DispatcherLock) {
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
    if (activate)
        WakeDispatchThread(); // it may be sleeping longer than the timer's first tick
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

int32_t TApdBaseDispatcher::AddDataTrigger(const std::string& data, bool ignoreCase)
{
    if (data.empty())
        return ecBadArgument;
    if (data.size() > static_cast<size_t>(kMaxDataTriggerLength))
        return ecTriggerTooLong;
    TLockGuard guard(DispatcherLock);
    int32_t handle = NextHandle();
    if (handle == 0)
        return ecNoMoreTriggers;
    TDataTrigger trigger;
    trigger.Handle = handle;
    trigger.Length = static_cast<int32_t>(data.size());
    trigger.IgnoreCase = ignoreCase;
    for (size_t i = 0; i < data.size(); ++i) {
        auto byte = static_cast<uint8_t>(data[i]);
        trigger.Match[i] = ignoreCase ? UpperByte(byte) : byte;
    }
    DataTriggerList.push_back(trigger);
    if (DispatchLog.Active())
        DispatchLog.RecordDispatchEvent(dtTriggerAlloc, dstData, static_cast<uint32_t>(handle), nullptr, 0);
    return handle;
}

int32_t TApdBaseDispatcher::AddStatusTrigger(int32_t kind, uint16_t value)
{
    if (kind < stModem || kind > stOutSent)
        return ecBadArgument;
    TLockGuard guard(DispatcherLock);
    int32_t handle = NextHandle();
    if (handle == 0)
        return ecNoMoreTriggers;
    TStatusTrigger trigger;
    trigger.Handle = handle + kind;
    trigger.Kind = kind;
    trigger.Value = value;
    trigger.Armed = true;
    // A write that completed before the trigger existed is not the one it waits for.
    if (kind == stOutSent)
        WriteDonePending = false;
    StatusTriggerList.push_back(trigger);
    if (DispatchLog.Active()) {
        auto bits = static_cast<uint8_t>(kind);
        DispatchLog.RecordDispatchEvent(dtTriggerAlloc, dstStatus, static_cast<uint32_t>(trigger.Handle),
                                        &bits, 1);
    }
    return trigger.Handle;
}

int32_t TApdBaseDispatcher::SetStatusTrigger(int32_t handle, uint16_t value, bool activate)
{
    TLockGuard guard(DispatcherLock);
    auto status = std::find_if(StatusTriggerList.begin(), StatusTriggerList.end(),
                               [handle](const TStatusTrigger& t) { return t.Handle == handle; });
    if (status == StatusTriggerList.end())
        return ecBadTriggerHandle;
    status->Value = value;
    status->Armed = activate;
    if (activate && status->Kind == stOutSent)
        WriteDonePending = false;
    if (activate)
        WakeDispatchThread();
    if (DispatchLog.Active())
        DispatchLog.RecordDispatchEvent(dtTriggerDataChange, dstStatus, static_cast<uint32_t>(handle),
                                        nullptr, 0);
    return ecOK;
}

// ---- The checks of the dispatch thread ----------------------------------------------------------
//
// The lists change on the user-interface thread under DispatcherLock, and a change can move the
// records, so each check looks at them under that lock and leaves it before it delivers: a handler
// may add or dispose triggers, and the port's window procedure runs on the other thread while the
// delivery waits for it.

namespace
{

// Whether a timer has run out at tick `now`; past a wrap of the tick count the expiry is compared
// as if the count had gone on.
bool TimerExpired(const TTimerTrigger& timer, int32_t now)
{
    if (now > timer.ExpireTick)
        return true;
    return now<timer.StartTick&& static_cast<int64_t>(now) + TApdBaseDispatcher::kTickWrap> timer.ExpireTick;
}

} // namespace

bool TApdBaseDispatcher::CheckTimerTriggers()
{
    int32_t handle = 0;
    {
        TLockGuard guard(DispatcherLock);
        int32_t now = CurrentTick();
        for (auto& timer : TimerTriggerList) {
            if (timer.Active && TimerExpired(timer, now)) {
                timer.Active = false;
                handle = timer.Handle;
                if (DispatchLog.Active())
                    DispatchLog.RecordDispatchEvent(dtTrigger, dstTriggerTimer, static_cast<uint32_t>(handle),
                                                    nullptr, 0);
                break;
            }
        }
    }
    if (handle == 0)
        return false;
    return NotifyHandlers(MsgTriggerTimer, static_cast<WPARAM>(handle), 0);
}

bool TApdBaseDispatcher::CheckStatusTriggers()
{
    int32_t handle = 0;
    int32_t data = 0;
    {
        TLockGuard guard(DispatcherLock);
        for (auto& trigger : StatusTriggerList) {
            if (!trigger.Armed || trigger.Hit)
                continue;
            bool fired = false;
            switch (trigger.Kind) {
            case stModem: {
                uint8_t reference = static_cast<uint8_t>(trigger.Value & 0xFF);
                uint8_t watched = static_cast<uint8_t>(trigger.Value >> 8);
                fired = ((reference ^ ModemStatusByte.load()) & watched) != 0;
                break;
            }
            case stLine: {
                uint32_t bits = LineErrorBits.load();
                fired = (trigger.Value & bits) != 0;
                if (fired)
                    trigger.Value = static_cast<uint16_t>(bits);
                break;
            }
            case stOutFree: {
                int32_t free = OutputRoom();
                fired = free >= trigger.Value;
                data = free;
                break;
            }
            case stOutUsed: {
                int32_t used = OutputCount();
                fired = used <= trigger.Value;
                data = used;
                break;
            }
            case stOutSent:
                fired = WriteDonePending.exchange(false);
                data = 0;
                break;
            default:
                break;
            }
            if (!fired) {
                data = 0;
                continue;
            }
            trigger.Armed = false;
            trigger.Hit = true;
            StatusHitSeen = true;
            handle = trigger.Handle;
            if (trigger.Kind != stOutFree && trigger.Kind != stOutUsed)
                data = 0;
            if (DispatchLog.Active())
                DispatchLog.RecordDispatchEvent(dtTrigger, dstTriggerStatus, static_cast<uint32_t>(handle),
                                                nullptr, 0);
            break;
        }
    }
    if (handle == 0)
        return false;
    return NotifyHandlers(MsgTriggerStatus, static_cast<WPARAM>(handle), data);
}

bool TApdBaseDispatcher::MatchDataByte(TDataTrigger& trigger, uint8_t byte)
{
    if (trigger.IgnoreCase)
        byte = UpperByte(byte);
    int32_t length = std::min(trigger.Length, kMaxDataTriggerLength);
    bool started = false;
    bool look = true;
    for (int32_t position = 0; position < length; ++position) {
        int32_t& value = trigger.MatchState[position];
        if (look) {
            if (trigger.Match[value] == byte) {
                if (value == length - 1) {
                    trigger.MatchState.fill(0);
                    return true;
                }
                ++value;
            } else if (trigger.Match[0] == byte) {
                value = 1;
                started = true;
            } else {
                value = 0;
            }
        }
        if (value == 1)
            started = true;
        // Every busy position advances or falls back; a byte begins at most one new partial
        // match, in the first free position.
        if (position + 1 < length) {
            int32_t next = trigger.MatchState[position + 1];
            look = next != 0 || (!started && trigger.Match[0] == byte);
        }
    }
    return false;
}

bool TApdBaseDispatcher::CheckReceivedData()
{
    struct TFired {
        int32_t Handle;
        int32_t Length;
    };
    // What the scan found, delivered once both locks are left.
    bool availFired = false;
    int32_t availCount = 0;
    std::vector<TFired> fired;
    {
        TLockGuard input(InputLock);
        if (!InputRing)
            return false;
        // The number of unread bytes up to and including ring index p.
        auto throughCount = [this](int32_t p) REQUIRES(InputLock) {
            int32_t count = p >= RingTail ? p - RingTail : p + kInputRingSize - RingTail;
            count += 1;
            if (InAvailNotice)
                count -= TakenInNotice;
            return count;
        };
        TLockGuard guard(DispatcherLock);
        int32_t pos = ScanPosition;
        // Bytes that filled the whole ring leave the head where the last scan ended.
        bool lap = RingFull && pos == RingHead && FilledSinceScan;
        FilledSinceScan = false;
        const bool handlerAdded = OfferAgain.exchange(false);
        bool fresh = FilledSinceOffer || handlerAdded;
        if (!DataTriggerList.empty()) {
            while (pos != RingHead || lap) {
                lap = false;
                uint8_t byte = InputRing[pos];
                int32_t longest = 0;
                for (auto& trigger : DataTriggerList) {
                    if (trigger.Length == 0)
                        continue;
                    trigger.Matched = trigger.Matched || MatchDataByte(trigger, byte);
                    if (trigger.Matched)
                        longest = std::max(longest, trigger.Length);
                }
                if (longest == 0) {
                    pos = (pos + 1) % kInputRingSize;
                    continue;
                }
                if (AvailLength != 0 && (LastAvailHead != pos || fresh) &&
                    throughCount(pos) - longest >= AvailLength) {
                    int32_t before = (pos - longest + kInputRingSize) % kInputRingSize;
                    availCount = throughCount(before);
                    availFired = true;
                    LastAvailHead = pos;
                    FilledSinceOffer = fresh = false;
                }
                // The later-added trigger is told first.
                for (auto it = DataTriggerList.rbegin(); it != DataTriggerList.rend(); ++it) {
                    if (it->Matched) {
                        it->Matched = false;
                        fired.push_back({it->Handle, it->Length});
                    }
                }
                ScanPosition = (pos + 1) % kInputRingSize;
                break;
            }
        } else {
            pos = RingHead;
        }
        if (!availFired && fired.empty()) {
            ScanPosition = pos;
            int32_t used = RingCount() - (InAvailNotice ? TakenInNotice : 0);
            if (AvailLength != 0 && (LastAvailHead != pos || fresh) && AvailLength <= used) {
                availFired = true;
                availCount = used;
                LastAvailHead = pos;
                FilledSinceOffer = false;
            }
        }
    }
    bool result = false;
    if (availFired) {
        {
            TLockGuard guard(DispatcherLock);
            if (DispatchLog.Active())
                DispatchLog.RecordDispatchEvent(dtTrigger, dstTriggerAvail, static_cast<uint32_t>(availCount),
                                                nullptr, 0);
        }
        result = NotifyHandlers(MsgTriggerAvail, static_cast<WPARAM>(availCount), 0);
        if (CloseRequested)
            return false;
    }
    for (const TFired& trigger : fired) {
        {
            TLockGuard guard(DispatcherLock);
            if (DispatchLog.Active())
                DispatchLog.RecordDispatchEvent(dtTrigger, dstTriggerData,
                                                static_cast<uint32_t>(trigger.Handle), nullptr, 0);
        }
        result = NotifyHandlers(MsgTriggerData, static_cast<WPARAM>(trigger.Handle), trigger.Length);
        if (CloseRequested)
            return false;
    }
    return result;
}
