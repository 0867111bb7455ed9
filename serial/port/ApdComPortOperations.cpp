// The port component's data operations on the open line: dispatcher access, flushing, sending,
// timer triggers, line-state queries, the trace and log commands, and the trigger events raised
// from the notifications that reach the port's window.
#include "serial/port/ApdComPort.h"

#include "serial/log/DispatchLog.h"
#include "serial/log/Trace.h"
#include "serial/port/ApdExceptions.h"

#include <algorithm>
#include <limits>
#include <optional>

namespace
{

constexpr int32_t ecCommNotOpen = -2007;
constexpr int32_t ecOutputBufferTooSmall = -3006;
constexpr size_t kMaxFileName = 255;

// A trigger event is raised only when a handler is assigned.
template <class TEvent, class... TArgs> void Raise(const TEvent& event, TArgs... args)
{
    if (event)
        event(args...);
}

} // namespace

// ---- Dispatcher access -----------------------------------------------------------------------------

TApdBaseDispatcher* TApdCustomComPort::ActiveDispatcher()
{
    if (!FDispatcher && !IsDesigning() && !IsLoading() && FPortPhase != ppOpen && FAutoOpen)
        SetOpen(true);
    return FDispatcher.get();
}

TApdBaseDispatcher* TApdCustomComPort::RequireDispatcher()
{
    TApdBaseDispatcher* dispatcher = ActiveDispatcher();
    if (!dispatcher)
        throw ECommNotOpen(ecCommNotOpen);
    return dispatcher;
}

// ---- Line operations -------------------------------------------------------------------------------
// While a close is being finished they do nothing, so that handlers running during the close do
// not open the port again.

void TApdCustomComPort::DiscardInput()
{
    if (Closing())
        return;
    CheckResult(RequireDispatcher()->DiscardInput());
}

void TApdCustomComPort::DiscardOutput()
{
    if (Closing())
        return;
    CheckResult(RequireDispatcher()->DiscardOutput());
}

void TApdCustomComPort::SendString(const std::string& text)
{
    if (Closing())
        return;
    TApdBaseDispatcher* dispatcher = RequireDispatcher();
    if (text.empty())
        return;
    // No output buffer holds more than a 16-bit size, so a longer text can never fit.
    if (text.size() > static_cast<size_t>(std::numeric_limits<int32_t>::max()))
        CheckResult(ecOutputBufferTooSmall);
    CheckResult(dispatcher->SendBlock(text.data(), static_cast<int32_t>(text.size())));
}

uint16_t TApdCustomComPort::NewTimerTrigger()
{
    if (Closing())
        return 0;
    return static_cast<uint16_t>(CheckResult(RequireDispatcher()->NewTimerTrigger()));
}

void TApdCustomComPort::ArmTimerTrigger(uint16_t handle, int32_t ticks, bool activate)
{
    if (Closing())
        return;
    CheckResult(RequireDispatcher()->ArmTimerTrigger(handle, ticks, activate));
}

void TApdCustomComPort::ServiceLine()
{
    if (Closing())
        return;
    CheckResult(RequireDispatcher()->YieldDevice());
}

uint16_t TApdCustomComPort::CurrentLineError()
{
    if (FPortPhase != ppOpen)
        return 0;
    return static_cast<uint16_t>(FDispatcher->GetLineError());
}

bool TApdCustomComPort::BreakReceived()
{
    if (FPortPhase != ppOpen)
        return false;
    return FDispatcher->GetLineBreak();
}

// ---- Trace and log commands ------------------------------------------------------------------------
// Meant for an open port; on a closed port they open it first (AutoOpen) or do nothing. The trace
// and the dispatch log take the same commands, so each command is written once over the record of
// what sets the two apart.

const TApdCustomComPort::TRecording TApdCustomComPort::kTraceRecording = {
    .State = &TApdCustomComPort::FTracing,
    .Size = &TApdCustomComPort::FTraceSize,
    .Largest = kMaxTraceCapacity,
    .Name = &TApdCustomComPort::FTraceName,
    .Hex = &TApdCustomComPort::FTraceHex,
    .AllHex = &TApdCustomComPort::FTraceAllHex,
    .Start = [](TApdBaseDispatcher& dispatcher,
                uint32_t size) { return dispatcher.StartTracing(static_cast<int32_t>(size)); },
    .Write = &TApdBaseDispatcher::DumpTrace,
    .Empty = &TApdBaseDispatcher::ClearTracing,
    .Discard = &TApdBaseDispatcher::AbortTracing,
    .Resume = &TApdBaseDispatcher::ResumeTracing,
    .Pause = &TApdBaseDispatcher::StopTracing,
};

// Starting a dispatch log cannot fail: without memory the log just stays off.
const TApdCustomComPort::TRecording TApdCustomComPort::kLogRecording = {
    .State = &TApdCustomComPort::FLogging,
    .Size = &TApdCustomComPort::FLogSize,
    .Largest = kMaxDispatchLogSize,
    .Name = &TApdCustomComPort::FLogName,
    .Hex = &TApdCustomComPort::FLogHex,
    .AllHex = &TApdCustomComPort::FLogAllHex,
    .Start = [](TApdBaseDispatcher& dispatcher, uint32_t size) -> int32_t {
        dispatcher.StartDispatchLogging(size);
        return 0;
    },
    .Write = &TApdBaseDispatcher::DumpDispatchLog,
    .Empty = &TApdBaseDispatcher::ClearDispatchLogging,
    .Discard = &TApdBaseDispatcher::AbortDispatchLogging,
    .Resume = &TApdBaseDispatcher::ResumeDispatchLogging,
    .Pause = &TApdBaseDispatcher::StopDispatchLogging,
};

void TApdCustomComPort::TraceBegin(uint32_t size) { BeginRecording(kTraceRecording, size); }
void TApdCustomComPort::LogBegin(uint32_t size) { BeginRecording(kLogRecording, size); }

void TApdCustomComPort::TraceSaveTo(const std::string& fileName, bool inHex)
{
    WriteRecording(kTraceRecording, fileName, false, inHex);
}
void TApdCustomComPort::LogSaveTo(const std::string& fileName, bool inHex)
{
    WriteRecording(kLogRecording, fileName, false, inHex);
}

void TApdCustomComPort::TraceAppendTo(const std::string& fileName, bool inHex)
{
    WriteRecording(kTraceRecording, fileName, true, inHex);
}
void TApdCustomComPort::LogAppendTo(const std::string& fileName, bool inHex)
{
    WriteRecording(kLogRecording, fileName, true, inHex);
}

void TApdCustomComPort::TraceEmpty() { StepRecording(kTraceRecording, kTraceRecording.Empty, std::nullopt); }
void TApdCustomComPort::LogEmpty() { StepRecording(kLogRecording, kLogRecording.Empty, std::nullopt); }

void TApdCustomComPort::TraceDiscard() { StepRecording(kTraceRecording, kTraceRecording.Discard, tlOff); }
void TApdCustomComPort::LogDiscard() { StepRecording(kLogRecording, kLogRecording.Discard, tlOff); }

void TApdCustomComPort::TraceResume() { StepRecording(kTraceRecording, kTraceRecording.Resume, tlOn); }
void TApdCustomComPort::LogResume() { StepRecording(kLogRecording, kLogRecording.Resume, tlOn); }

void TApdCustomComPort::TracePause() { StepRecording(kTraceRecording, kTraceRecording.Pause, tlPause); }
void TApdCustomComPort::LogPause() { StepRecording(kLogRecording, kLogRecording.Pause, tlPause); }

TApdBaseDispatcher* TApdCustomComPort::RecordingDispatcher()
{
    if (Closing())
        return nullptr;
    return ActiveDispatcher();
}

void TApdCustomComPort::BeginRecording(const TRecording& recording, uint32_t size)
{
    TApdBaseDispatcher* dispatcher = RecordingDispatcher();
    if (!dispatcher)
        return;
    if (size != 0)
        this->*recording.Size = std::min(size, recording.Largest);
    CheckResult(recording.Start(*dispatcher, this->*recording.Size));
    this->*recording.State = tlOn;
}

void TApdCustomComPort::WriteRecording(const TRecording& recording, const std::string& fileName, bool append,
                                       bool inHex)
{
    if (TApdBaseDispatcher* dispatcher = RecordingDispatcher()) {
        CheckResult((dispatcher->*recording.Write)(fileName.substr(0, kMaxFileName), append, inHex,
                                                   this->*recording.AllHex));
        this->*recording.State = tlOff;
    }
}

void TApdCustomComPort::StepRecording(const TRecording& recording, void (TApdBaseDispatcher::*operation)(),
                                      std::optional<TTraceLogState> after)
{
    if (TApdBaseDispatcher* dispatcher = RecordingDispatcher()) {
        (dispatcher->*operation)();
        if (after)
            this->*recording.State = *after;
    }
}

// ---- Trigger events --------------------------------------------------------------------------------

void TApdCustomComPort::HandleTriggerMessage(UINT message, WPARAM wParam, LPARAM lParam)
{
    auto handle = static_cast<uint16_t>(wParam);
    auto data =
        message == TApdBaseDispatcher::MsgTriggerAvail ? handle : static_cast<uint16_t>(lParam & 0xFFFF);
    FireTrigger(static_cast<uint16_t>(message), handle, data);
    switch (message) {
    case TApdBaseDispatcher::MsgTriggerAvail:
        FireTriggerAvail(handle);
        break;
    case TApdBaseDispatcher::MsgTriggerData:
        FireTriggerData(handle);
        break;
    case TApdBaseDispatcher::MsgTriggerTimer:
        FireTriggerTimer(handle);
        break;
    case TApdBaseDispatcher::MsgTriggerStatus:
        FireTriggerStatus(handle);
        // A status handle carries its kind in the low three bits.
        switch (handle & 7) {
        case stModem:
            FireTriggerModemStatus();
            break;
        case stLine: {
            uint16_t error = CurrentLineError();
            bool lineBreak = BreakReceived();
            FireTriggerLineError(error, lineBreak);
            break;
        }
        case stOutFree:
            FireTriggerOutbuffFree();
            break;
        case stOutUsed:
            FireTriggerOutbuffUsed();
            break;
        case stOutSent:
            FireTriggerOutSent();
            break;
        default:
            break;
        }
        break;
    default:
        break;
    }
}

void TApdCustomComPort::FireTrigger(uint16_t msg, uint16_t triggerHandle, uint16_t data)
{
    Raise(FOnTrigger, this, msg, triggerHandle, data);
}

void TApdCustomComPort::FireTriggerAvail(uint16_t count) { Raise(FOnTriggerAvail, this, count); }

void TApdCustomComPort::FireTriggerData(uint16_t triggerHandle)
{
    Raise(FOnTriggerData, this, triggerHandle);
}

void TApdCustomComPort::FireTriggerStatus(uint16_t triggerHandle)
{
    Raise(FOnTriggerStatus, this, triggerHandle);
}

void TApdCustomComPort::FireTriggerTimer(uint16_t triggerHandle)
{
    Raise(FOnTriggerTimer, this, triggerHandle);
}

void TApdCustomComPort::FireTriggerLineError(uint16_t error, bool lineBreak)
{
    Raise(FOnTriggerLineError, this, error, lineBreak);
}

void TApdCustomComPort::FireTriggerModemStatus() { Raise(FOnTriggerModemStatus, this); }

void TApdCustomComPort::FireTriggerOutbuffFree() { Raise(FOnTriggerOutbuffFree, this); }

void TApdCustomComPort::FireTriggerOutbuffUsed() { Raise(FOnTriggerOutbuffUsed, this); }

void TApdCustomComPort::FireTriggerOutSent() { Raise(FOnTriggerOutSent, this); }

void TApdCustomComPort::FireWaitChar(uint16_t character) { Raise(FOnWaitChar, this, character); }

// ---- Finding a port --------------------------------------------------------------------------------

TApdCustomComPort* LocateComPort(TComponent* owner)
{
    if (!owner)
        return nullptr;
    for (int i = 0; i < owner->ComponentCount(); ++i) {
        TComponent* component = owner->Components(i);
        if (auto* port = dynamic_cast<TApdCustomComPort*>(component))
            return port;
        if (TApdCustomComPort* port = LocateComPort(component))
            return port;
    }
    return nullptr;
}
