// A dispatcher over an in-memory device: the driver's receive queue is a byte queue the test
// fills, the output ring works as the serial device layer's does, and no thread runs.
#pragma once

#include "serial/dispatch/ApdBaseDispatcher.h"

#include <deque>
#include <string>
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
        for (int32_t i = 0; i < n; ++i) {
            to[i] = Driver.front();
            Driver.pop_front();
        }
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
