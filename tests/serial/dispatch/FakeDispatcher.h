// A dispatcher over an in-memory device: the driver's receive queue is a byte queue the test
// fills, the output ring works as the serial device layer's does, and no thread runs.
#pragma once

#include "serial/dispatch/ApdBaseDispatcher.h"
#include "serial/log/Clock.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

class TFakeDispatcher : public TApdBaseDispatcher
{
public:
    TFakeDispatcher() : TApdBaseDispatcher(nullptr) {}
    ~TFakeDispatcher() override { DestroyDispatcher(); }

    // ---- what the test controls and sees ----
    std::deque<uint8_t> Driver;        // bytes waiting in the driver's receive queue
    std::vector<int32_t> ReadRequests; // the count of every DeviceRead
    std::vector<int32_t> ReadResults;
    int32_t ReadLimit = -1;   // at most this many bytes per read (-1: no limit)
    int32_t WriteResult = -1; // what DeviceWrite reports (-1: the count)
    int32_t OpenResult = 0;
    DWORD OpenError = 0;
    int SetStateCalls = 0;
    std::vector<DWORD> Escapes;
    DCB State{};

    int32_t Open(uint32_t baud = 9600, uint16_t inSize = 4096, uint16_t outSize = 64, uint8_t options = 0x03)
    {
        return OpenDispatcher("COM1", baud, 0, 8, 1, inSize, outSize, options);
    }

    void SetRing(int32_t head, int32_t tail, bool full)
    {
        TLockGuard guard(InputLock);
        RingHead = head;
        RingTail = tail;
        RingFull = full;
    }
    /// Writes `bytes` into the ring ending just before the head (as a fill would have).
    void PutRing(int32_t at, const std::string& bytes)
    {
        TLockGuard guard(InputLock);
        for (size_t i = 0; i < bytes.size(); ++i)
            InputRing[(at + static_cast<int32_t>(i)) % kInputRingSize] = static_cast<uint8_t>(bytes[i]);
    }
    int32_t Head()
    {
        TLockGuard guard(InputLock);
        return RingHead;
    }
    int32_t Tail()
    {
        TLockGuard guard(InputLock);
        return RingTail;
    }
    bool Full()
    {
        TLockGuard guard(InputLock);
        return RingFull;
    }
    bool OutFull()
    {
        TLockGuard guard(OutputLock);
        return OutputFull;
    }
    bool HasRings()
    {
        TLockGuard input(InputLock);
        TLockGuard output(OutputLock);
        return InputRing || OutputBuffer;
    }
    /// Marks an availability notification as running, as the notification step does.
    void BeginNotice()
    {
        TLockGuard guard(InputLock);
        InAvailNotice = true;
        TakenInNotice = 0;
        MostTakenInNotice = 0;
    }
    /// Ends it: the tail moves by what the handler took.
    void EndNotice()
    {
        TLockGuard guard(InputLock);
        MostTakenInNotice = std::max(MostTakenInNotice, TakenInNotice);
        InAvailNotice = false;
        RingTail = (RingTail + MostTakenInNotice) % kInputRingSize;
        if (MostTakenInNotice != 0)
            RingFull = false;
        TakenInNotice = 0;
    }
    uint32_t LogUsed()
    {
        TLockGuard guard(DispatcherLock);
        return DispatchLog.Used();
    }
    int32_t TraceCount()
    {
        TLockGuard guard(DispatcherLock);
        return Trace.Count();
    }
    void SetErrorBits(uint32_t bits) { LineErrorBits = bits; }
    void SetModemStatus(uint8_t status) { ModemStatusByte = status; }
    /// Bytes arrive in the driver and one fill takes what fits into the ring.
    bool Arrive(const std::string& bytes)
    {
        Driver.insert(Driver.end(), bytes.begin(), bytes.end());
        return FillInputRing();
    }
    /// Whether the last pass let the device-event thread wait again (the signal resets on reading).
    bool DispatchDone() { return WaitForSingleObject(DispatchDoneSignal, 0) == WAIT_OBJECT_0; }
    size_t HandlerCount()
    {
        TLockGuard guard(DispatcherLock);
        return WindowHandlers.size() + ProcedureHandlers.size() + MethodHandlers.size();
    }
    bool WantsHandlers() const { return HandlersNeeded.load(); }
    TStatusTrigger Status(int32_t handle)
    {
        TLockGuard guard(DispatcherLock);
        for (const TStatusTrigger& trigger : StatusTriggerList)
            if (trigger.Handle == handle)
                return trigger;
        return {};
    }
    WORD XoffLimit()
    {
        TLockGuard guard(DispatcherLock);
        return DeviceConfig.XoffLim;
    }
    WORD XonLimit()
    {
        TLockGuard guard(DispatcherLock);
        return DeviceConfig.XonLim;
    }

    // ---- device operations ----
    int32_t DeviceEscape(DWORD function) override
    {
        Escapes.push_back(function);
        return 0;
    }
    int32_t DevicePurge(int32_t queue) override
    {
        if (queue == 1) {
            Driver.clear();
        } else {
            TLockGuard guard(OutputLock);
            OutputHead = OutputTail = 0;
            OutputFull = false;
        }
        return 0;
    }
    uint32_t DeviceErrors(COMSTAT& status) override
    {
        status = COMSTAT{};
        status.cbInQue = static_cast<DWORD>(Driver.size());
        TLockGuard guard(OutputLock);
        if (OutputFull)
            status.cbOutQue = OutSize;
        else if (OutputTail <= OutputHead)
            status.cbOutQue = static_cast<DWORD>(OutputHead - OutputTail);
        else
            status.cbOutQue = static_cast<DWORD>(static_cast<int32_t>(OutSize) - OutputTail + OutputHead);
        return 0;
    }
    int32_t ReadFailed(int32_t) override { return 0; }
    int32_t GetDeviceState(DCB& state) override
    {
        state = State;
        return 0;
    }
    int32_t DeviceRead(uint8_t* to, int32_t count) override
    {
        ReadRequests.push_back(count);
        int32_t n = std::min<int32_t>(count, static_cast<int32_t>(Driver.size()));
        if (ReadLimit >= 0)
            n = std::min(n, ReadLimit);
        std::copy_n(Driver.begin(), n, to);
        Driver.erase(Driver.begin(), Driver.begin() + n);
        ReadResults.push_back(n);
        return n;
    }
    int32_t SetDeviceState(DCB& state) override
    {
        ++SetStateCalls;
        State = state;
        return 0;
    }
    int32_t DeviceWrite(const uint8_t* from, int32_t count) override
    {
        if (WriteResult >= 0)
            return WriteResult;
        TLockGuard guard(OutputLock);
        for (int32_t i = 0; i < count; ++i) {
            OutputBuffer[OutputHead] = from[i];
            OutputHead = (OutputHead + 1) % static_cast<int32_t>(OutSize);
        }
        return count;
    }
    bool WaitDeviceEvent(DWORD&, OVERLAPPED*) override { return true; }
    bool SetupDeviceQueues(uint32_t, uint32_t) override { return true; }
    void StartThreads() override {}
    void StopThreads() override {}
    int32_t OpenDevice(const std::string&, uint32_t, uint32_t) override
    {
        if (OpenResult < 0) {
            SetLastError(OpenError);
            return OpenResult;
        }
        DeviceHandle = reinterpret_cast<HANDLE>(static_cast<intptr_t>(0x4000));
        return 0;
    }
    int32_t CloseDevice() override
    {
        DeviceHandle = INVALID_HANDLE_VALUE;
        return 0;
    }
    int32_t YieldDevice() override { return 0; }
};

/// One notification as a handler received it.
struct TNotice {
    UINT Message = 0;
    WPARAM WParam = 0;
    LPARAM LParam = 0;
    bool operator==(const TNotice&) const = default;
    friend std::ostream& operator<<(std::ostream& out, const TNotice& notice)
    {
        return out << std::hex << "{0x" << notice.Message << ", " << std::dec << notice.WParam << ", 0x"
                   << std::hex << notice.LParam << std::dec << "}";
    }
};

/// A method handler that records what it is told and then runs its action, if any.
class TNoticeRecorder
{
public:
    explicit TNoticeRecorder(std::string name = {}, std::vector<std::string>* calls = nullptr)
        : Name(std::move(name)), Calls(calls)
    {
    }
    std::string Name;
    std::vector<std::string>* Calls;
    std::vector<TNotice> Notices;
    std::function<void(const TNotice&)> Action;

    void On(UINT message, WPARAM wParam, LPARAM lParam)
    {
        Notices.push_back({message, wParam, lParam});
        if (Calls)
            Calls->push_back(Name);
        if (Action)
            Action(Notices.back());
    }

    /// The method to register. The dispatcher tells handlers apart by their code alone, so each
    /// recorder that a test removes again needs a tag of its own.
    template <int Tag = 0> TApdNotifyMethod Method()
    {
        return {[](void* self, UINT message, WPARAM wParam, LPARAM lParam) {
                    static_cast<TNoticeRecorder*>(self)->On(message, wParam, lParam);
                },
                this};
    }
};

/// The notice a handler of `dispatcher` gets for a message with this wParam and data value.
inline TNotice NoticeOf(TApdBaseDispatcher& dispatcher, UINT message, int64_t wParam, int32_t data)
{
    return {message, static_cast<WPARAM>(wParam), static_cast<LPARAM>(dispatcher.Handle()) * 65536 + data};
}

/// Takes `count` bytes through the dispatcher's block operation; a take that gives fewer fails.
inline std::string Take(TApdBaseDispatcher& dispatcher, int64_t count)
{
    std::string bytes(static_cast<size_t>(count), '\0');
    EXPECT_EQ(dispatcher.TakeBlock(bytes.data(), static_cast<int32_t>(count)), count);
    return bytes;
}

/// The millisecond clock at a time the test sets, for as long as this lives.
class TFakeClock
{
public:
    explicit TFakeClock(uint32_t start = 0)
    {
        Now() = start;
        SetMillisecondClockForTesting([] { return Now(); });
    }
    ~TFakeClock() { SetMillisecondClockForTesting(nullptr); }
    TFakeClock(const TFakeClock&) = delete;
    TFakeClock& operator=(const TFakeClock&) = delete;
    void Set(uint32_t milliseconds) { Now() = milliseconds; }
    void Advance(uint32_t milliseconds) { Now() += milliseconds; }

private:
    static uint32_t& Now()
    {
        static uint32_t now = 0;
        return now;
    }
};
