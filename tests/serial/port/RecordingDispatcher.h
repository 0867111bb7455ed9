// The in-memory dispatcher of the dispatcher tests, owned by a port and writing down what the
// port asks of it, and a port that opens on it: the port tests watch settings reach the line
// without a device or threads.
#pragma once

#include "serial/port/ApdComPort.h"
#include "tests/serial/dispatch/FakeDispatcher.h"

#include <memory>
#include <string>
#include <vector>

/// What the port asked of its dispatchers. Shared by the port and each dispatcher: the port's
/// base part closes the line after the test port's own members have gone.
struct TDispatcherRecord {
    std::vector<std::string> Calls;
    /// The settings visible in the dispatcher as they first appeared after the open call, in
    /// order: T trace, L log, H DSR handshake, S software flow, X XON char 'A', A avail length 5,
    /// E event word, P RS485, B priority boost 2.
    std::string Appeared;
    bool Watching = false; // from the port's first request after the open call
};

class TRecordingDispatcher : public TFakeDispatcher
{
public:
    TRecordingDispatcher(TApdCustomComPort* owner, std::shared_ptr<TDispatcherRecord> record)
        : Shared(std::move(record)), Record(*Shared)
    {
        OwnerPort = owner;
    }

    std::shared_ptr<TDispatcherRecord> Shared;
    TDispatcherRecord& Record;

    // A close asked for while a handler runs, and threads that have not left yet.
    void SetNotifying(bool on) { Notifying = on; }
    void SetThreadsRunning(bool on) { ThreadsRunning = on; }
    int32_t TraceCapacity()
    {
        TLockGuard guard(DispatcherLock);
        return Trace.Capacity();
    }
    int Purges = 0;

    int32_t DeviceEscape(DWORD function) override
    {
        Note(function == SETDTR   ? "SETDTR"
             : function == CLRDTR ? "CLRDTR"
             : function == SETRTS ? "SETRTS"
                                  : "CLRRTS");
        return TFakeDispatcher::DeviceEscape(function);
    }
    int32_t DevicePurge(int32_t queue) override
    {
        ++Purges;
        return TFakeDispatcher::DevicePurge(queue);
    }
    int32_t SetDeviceState(DCB& state) override
    {
        TFakeDispatcher::SetDeviceState(state);
        Note("state");
        return 0;
    }
    int32_t OpenDevice(const std::string& path, uint32_t inSize, uint32_t outSize) override
    {
        Note("open " + path);
        return TFakeDispatcher::OpenDevice(path, inSize, outSize);
    }
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
        const std::pair<char, bool> flags[] = {
            {'T', Trace.Active()},          {'L', DispatchLog.Active()},
            {'H', State.fOutxDsrFlow != 0}, {'S', State.fOutX != 0 || State.fInX != 0},
            {'X', State.XonChar == 'A'},    {'A', AvailLength == 5},
            {'E', (OptionWord & 4) != 0},   {'P', RS485Mode},
            {'B', PriorityBoost == 2}};
        for (const auto& [letter, on] : flags) {
            if (on && Record.Appeared.find(letter) == std::string::npos)
                Record.Appeared += letter;
        }
    }
};

/// A port that opens on a TRecordingDispatcher (on COM1 unless told otherwise).
class TTestPort : public TApdComPort
{
public:
    TTestPort() { SetComNumber(1); }

    std::shared_ptr<TDispatcherRecord> Shared = std::make_shared<TDispatcherRecord>();
    TDispatcherRecord& Record = *Shared;
    int32_t NextOpenResult = 0;
    DWORD NextOpenError = 0;
    int Created = 0;
    uint16_t Chosen = 0; // what the user "chooses" when asked for a port (0: cancels)

    TRecordingDispatcher* Fake() const { return static_cast<TRecordingDispatcher*>(Dispatcher()); }
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
