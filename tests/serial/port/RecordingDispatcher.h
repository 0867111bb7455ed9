// A dispatcher over an in-memory device that writes down what the port asks of it, and a port
// that opens on it: the port tests watch settings reach the line without a device or threads.
#pragma once

#include "serial/port/ApdComPort.h"

#include <memory>
#include <string>
#include <vector>

/// What the port asked of its dispatchers, kept by the port so that it outlives each of them.
struct TDispatcherRecord {
    std::vector<std::string> Calls;
    /// The settings visible in the dispatcher as they first appeared after the open, in order:
    /// T trace, L log, H DSR handshake, S software flow, X XON char 'A', A avail length 5,
    /// E event word, P RS485, B priority boost 2.
    std::string Appeared;
    bool Watching = false; // from the port's first request after the open call
    int Opens = 0;
};

class TRecordingDispatcher : public TApdBaseDispatcher
{
public:
    TRecordingDispatcher(TApdCustomComPort* owner, std::shared_ptr<TDispatcherRecord> record)
        : TApdBaseDispatcher(owner), Shared(std::move(record)), Record(*Shared)
    {
    }
    ~TRecordingDispatcher() override { DestroyDispatcher(); }

    // Shared with the port: the port's base part closes the line after the test port's own
    // members have gone.
    std::shared_ptr<TDispatcherRecord> Shared;
    TDispatcherRecord& Record;
    int32_t OpenResult = 0;
    DWORD OpenError = 0;
    int32_t Purges = 0;

    // A close asked for while a handler runs, and threads that have not left yet.
    void SetNotifying(bool on) { Notifying = on; }
    void SetThreadsRunning(bool on) { ThreadsRunning = on; }
    void SetErrorBits(uint32_t bits) { LineErrorBits = bits; }
    bool TraceActive()
    {
        TLockGuard guard(DispatcherLock);
        return Trace.Active();
    }
    int32_t TraceCapacity()
    {
        TLockGuard guard(DispatcherLock);
        return Trace.Capacity();
    }
    int32_t TimerCount()
    {
        TLockGuard guard(DispatcherLock);
        return static_cast<int32_t>(TimerTriggerList.size());
    }
    DCB State{};

    // ---- device operations ----
    int32_t DeviceEscape(DWORD function) override
    {
        Note(function == SETDTR   ? "SETDTR"
             : function == CLRDTR ? "CLRDTR"
             : function == SETRTS ? "SETRTS"
                                  : "CLRRTS");
        return 0;
    }
    int32_t DevicePurge(int32_t queue) override
    {
        ++Purges;
        if (queue == 0) {
            TLockGuard guard(OutputLock);
            OutputHead = OutputTail = 0;
            OutputFull = false;
        }
        return 0;
    }
    uint32_t DeviceErrors(COMSTAT& status) override
    {
        status = COMSTAT{};
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
    int32_t DeviceRead(uint8_t*, int32_t) override { return 0; }
    int32_t SetDeviceState(DCB& state) override
    {
        State = state;
        Note("state");
        return 0;
    }
    int32_t DeviceWrite(const uint8_t* from, int32_t count) override
    {
        TLockGuard guard(OutputLock);
        for (int32_t i = 0; i < count; ++i) {
            OutputBuffer[OutputHead] = from[i];
            OutputHead = (OutputHead + 1) % static_cast<int32_t>(OutSize);
        }
        OutputFull = OutputHead == OutputTail;
        return count;
    }
    bool WaitDeviceEvent(DWORD&, OVERLAPPED*) override { return true; }
    bool SetupDeviceQueues(uint32_t inSize, uint32_t outSize) override
    {
        Note("queues " + std::to_string(inSize) + " " + std::to_string(outSize));
        return true;
    }
    void StartThreads() override {}
    void StopThreads() override {}
    int32_t OpenDevice(const std::string& path, uint32_t, uint32_t) override
    {
        ++Record.Opens;
        Note("open " + path);
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
    void SetPriorityBoost(uint8_t boost) override
    {
        TApdBaseDispatcher::SetPriorityBoost(boost);
        Note("boost " + std::to_string(boost));
    }
    void UpdateHandlerNeed(int32_t mode) override
    {
        TApdBaseDispatcher::UpdateHandlerNeed(mode);
        Record.Watching = true;
        Note("need " + std::to_string(mode));
    }

private:
    void Note(const std::string& call)
    {
        Record.Calls.push_back(call);
        if (!Record.Watching)
            return;
        TLockGuard guard(DispatcherLock);
        const struct {
            char Letter;
            bool On;
        } flags[] = {{'T', Trace.Active()},          {'L', DispatchLog.Active()},
                     {'H', State.fOutxDsrFlow != 0}, {'S', State.fOutX != 0 || State.fInX != 0},
                     {'X', State.XonChar == 'A'},    {'A', AvailLength == 5},
                     {'E', (OptionWord & 4) != 0},   {'P', RS485Mode},
                     {'B', PriorityBoost == 2}};
        for (const auto& flag : flags) {
            if (flag.On && Record.Appeared.find(flag.Letter) == std::string::npos)
                Record.Appeared += flag.Letter;
        }
    }
};

/// A port that opens on a TRecordingDispatcher.
class TTestPort : public TApdComPort
{
public:
    explicit TTestPort(TComponent* owner = nullptr) : TApdComPort(owner) { SetComNumber(1); }

    std::shared_ptr<TDispatcherRecord> Shared = std::make_shared<TDispatcherRecord>();
    TDispatcherRecord& Record = *Shared;
    int32_t NextOpenResult = 0;
    DWORD NextOpenError = 0;
    int Created = 0;
    uint16_t Chosen = 0; // what the user "chooses" when asked for a port (0: cancels)

    TRecordingDispatcher* Fake() const { return static_cast<TRecordingDispatcher*>(Dispatcher()); }
    using TApdCustomComPort::HasSavedTriggers;
    using TApdCustomComPort::NotifyWindow;

protected:
    std::unique_ptr<TApdBaseDispatcher> CreateDispatcher() override
    {
        ++Created;
        Record.Watching = false;
        auto dispatcher = std::make_unique<TRecordingDispatcher>(this, Shared);
        dispatcher->OpenResult = NextOpenResult;
        dispatcher->OpenError = NextOpenError;
        return dispatcher;
    }
    bool SelectPortInteractively(uint16_t& comNumber) override
    {
        comNumber = Chosen;
        return Chosen != 0;
    }
};
