// The port component's settings: the published properties and the rules by which a change reaches
// an open line (flow-control thresholds, trace and log state commands, RS485 interplay).
#include "serial/port/ApdComPort.h"

#include "serial/log/DispatchLog.h"
#include "serial/log/Trace.h"
#include "serial/port/ApdExceptions.h"

#include <algorithm>

namespace
{

constexpr size_t kMaxFileName = 255;

// Option words of the dispatcher's flow-control calls.
uint8_t HardwareWord(THWFlowOptionSet set)
{
    uint8_t word = 0;
    if (set.Contains(hwfUseDTR))
        word |= 1;
    if (set.Contains(hwfUseRTS))
        word |= 2;
    if (set.Contains(hwfRequireDSR))
        word |= 4;
    if (set.Contains(hwfRequireCTS))
        word |= 8;
    return word;
}

uint8_t SoftwareWord(TSWFlowOptions options)
{
    switch (options) {
    case swfReceive:
        return 2;
    case swfTransmit:
        return 1;
    case swfBoth:
        return 3;
    default:
        return 0;
    }
}

// Fractions of a queue size, rounded down exactly (no floating point that could land a hair
// below a whole number).
uint16_t Percent(uint32_t size, uint32_t percent) { return static_cast<uint16_t>(size * percent / 100); }

// A line setting the dispatcher takes as a byte: larger values stay invalid rather than wrapping
// round to a valid (or the "keep") value.
uint8_t AsByte(uint32_t value) { return static_cast<uint8_t>(std::min<uint32_t>(value, 255)); }

// Keeps ForceApply True for a scope and restores its old value, also when a setter raises.
class TForceApplyScope
{
public:
    explicit TForceApplyScope(bool& flag) : FFlag(flag), FOld(flag) { FFlag = true; }
    ~TForceApplyScope() { FFlag = FOld; }
    TForceApplyScope(const TForceApplyScope&) = delete;
    TForceApplyScope& operator=(const TForceApplyScope&) = delete;

private:
    bool& FFlag;
    bool FOld;
};

} // namespace

TApdCustomComPort::TApdCustomComPort(TComponent* owner) : TApdBaseComponent(owner)
{
    // Detectors made before the port in the same owner take it now that it is a port.
    AnnounceInsertion();
}

int32_t TApdCustomComPort::CheckResult(int32_t code) { return RaiseOnError(this, code); }

// ---- Device layer and line settings ----------------------------------------------------------------

void TApdCustomComPort::SetDeviceLayer(TDeviceLayer value)
{
    // Only the Win32 layer exists; a layer cannot change under an open line.
    if (value == FDeviceLayer || FPortPhase != ppClosed || value != dlWin32)
        return;
    FDeviceLayer = value;
    LayerChanged();
}

void TApdCustomComPort::LayerChanged() {}

void TApdCustomComPort::ApplyLineSettings()
{
    if (FPortPhase == ppOpen)
        CheckResult(FDispatcher->ChangeLineSettings(static_cast<uint32_t>(FBaud),
                                                    static_cast<uint8_t>(FParity), AsByte(FDataBits),
                                                    AsByte(FStopBits)));
}

void TApdCustomComPort::SetBaud(int32_t value)
{
    if (value == FBaud)
        return;
    FBaud = value;
    ApplyLineSettings();
}

void TApdCustomComPort::SetParity(TParity value)
{
    if (value == FParity)
        return;
    FParity = value;
    ApplyLineSettings();
}

void TApdCustomComPort::SetDataBits(uint16_t value)
{
    if (value == FDataBits)
        return;
    FDataBits = value;
    ApplyLineSettings();
}

void TApdCustomComPort::SetStopBits(uint16_t value)
{
    if (value == FStopBits)
        return;
    FStopBits = value;
    ApplyLineSettings();
}

void TApdCustomComPort::SetInSize(uint16_t value)
{
    if (value == FInSize)
        return;
    FInSize = value;
    // The driver may refuse a queue size; the line goes on with the one it has.
    if (FPortPhase == ppOpen)
        FDispatcher->SetupDeviceQueues(FInSize, FOutSize);
}

void TApdCustomComPort::SetOutSize(uint16_t value)
{
    if (value == FOutSize)
        return;
    FOutSize = value;
    if (FPortPhase == ppOpen)
        FDispatcher->SetupDeviceQueues(FInSize, FOutSize);
}

// ---- Output lines and flow control -----------------------------------------------------------------

void TApdCustomComPort::SetDTR(bool value)
{
    if (value == FDTR && !FForceApply)
        return;
    if (FPortPhase == ppOpen) {
        // A line under hardware handshake answers 1: it is not ours to set, so the old value stays.
        int32_t result = FDispatcher->SetDtrLevel(value);
        CheckResult(result);
        if (result != 0)
            return;
    }
    FDTR = value;
}

void TApdCustomComPort::SetRTS(bool value)
{
    if (value == FRTS && !FForceApply)
        return;
    if (FPortPhase == ppOpen) {
        int32_t result = FDispatcher->SetRtsLevel(value);
        CheckResult(result);
        if (result != 0)
            return;
    }
    FRTS = value;
}

void TApdCustomComPort::SetHWFlowOptions(THWFlowOptionSet value)
{
    if (value == FHWFlowOptions && !FForceApply)
        return;
    uint8_t word = HardwareWord(value);
    if (word != 0) {
        if (FBufferFull == 0 || FBufferFull > FInSize)
            FBufferFull = Percent(FInSize, 90);
        if (FBufferResume == 0 || FBufferResume > FBufferFull)
            FBufferResume = Percent(FInSize, 10);
    }
    if (FPortPhase == ppOpen)
        CheckResult(FDispatcher->HardwareFlowOn(FBufferFull, FBufferResume, word));
    FHWFlowOptions = value;
    // RTS cannot both switch the RS485 transmitter and take part in the handshake.
    if (value.Contains(hwfUseRTS) || value.Contains(hwfRequireCTS))
        SetRS485Mode(false);
}

void TApdCustomComPort::SetSWFlowOptions(TSWFlowOptions value)
{
    if (value == FSWFlowOptions && !FForceApply)
        return;
    uint8_t word = SoftwareWord(value);
    if (word != 0) {
        if (FBufferFull == 0 || FBufferFull > FInSize)
            FBufferFull = Percent(FInSize, 75);
        if (FBufferResume == 0 || FBufferResume > FBufferFull)
            FBufferResume = Percent(FInSize, 25);
    }
    if (FPortPhase == ppOpen) {
        if (word != 0)
            CheckResult(FDispatcher->SoftwareFlowOn(FBufferFull, FBufferResume, word));
        else
            CheckResult(FDispatcher->SoftwareFlowOff());
    }
    FSWFlowOptions = value;
}

void TApdCustomComPort::SetXOnChar(uint8_t value)
{
    if (value == FXOnChar && !FForceApply)
        return;
    FXOnChar = value;
    if (FPortPhase == ppOpen)
        CheckResult(FDispatcher->SetFlowChars(FXOnChar, FXOffChar));
}

void TApdCustomComPort::SetXOffChar(uint8_t value)
{
    if (value == FXOffChar && !FForceApply)
        return;
    FXOffChar = value;
    if (FPortPhase == ppOpen)
        CheckResult(FDispatcher->SetFlowChars(FXOnChar, FXOffChar));
}

void TApdCustomComPort::SetBufferFull(uint16_t value)
{
    if (value == FBufferFull && !FForceApply)
        return;
    FBufferFull = value > FInSize ? Percent(FInSize, 90) : value;
    TForceApplyScope force(FForceApply);
    SetHWFlowOptions(FHWFlowOptions);
    SetSWFlowOptions(FSWFlowOptions);
}

void TApdCustomComPort::SetBufferResume(uint16_t value)
{
    if (value == FBufferResume && !FForceApply)
        return;
    FBufferResume = value > FBufferFull ? Percent(FBufferFull, 10) : value;
    TForceApplyScope force(FForceApply);
    SetHWFlowOptions(FHWFlowOptions);
    SetSWFlowOptions(FSWFlowOptions);
}

void TApdCustomComPort::SetRS485Mode(bool value)
{
    if (value == FRS485Mode && !FForceApply)
        return;
    FRS485Mode = value;
    if (FPortPhase == ppOpen)
        FDispatcher->SetRS485Mode(value);
    if (value) {
        // In RS485 mode RTS switches the transmitter: it leaves the handshake and starts low.
        SetHWFlowOptions(FHWFlowOptions - hwfUseRTS - hwfRequireCTS);
        SetRTS(false);
    }
}

void TApdCustomComPort::SetUseMSRShadow(bool) {}

void TApdCustomComPort::SetUseEventWord(bool value)
{
    if (value == FUseEventWord && !FForceApply)
        return;
    FUseEventWord = value;
    constexpr uint32_t kEventWordOption = 4;
    if (FPortPhase == ppOpen) {
        if (value)
            FDispatcher->OptionsOn(kEventWordOption);
        else
            FDispatcher->OptionsOff(kEventWordOption);
    }
}

void TApdCustomComPort::SetAvailTriggerLength(uint16_t value)
{
    if (value == FAvailTriggerLength && !FForceApply)
        return;
    FAvailTriggerLength = value;
    if (FPortPhase == ppOpen)
        FDispatcher->SetAvailLength(value);
}

void TApdCustomComPort::SetThreadPriorityBoost(uint8_t value)
{
    if (value == FThreadPriorityBoost && !FForceApply)
        return;
    FThreadPriorityBoost = value;
    if (FPortPhase == ppOpen)
        FDispatcher->SetPriorityBoost(value);
}

// ---- Trace and dispatch log ------------------------------------------------------------------------

void TApdCustomComPort::SetTracing(TTraceLogState value) { SetRecordingState(kTraceRecording, value); }

void TApdCustomComPort::SetLogging(TTraceLogState value) { SetRecordingState(kLogRecording, value); }

void TApdCustomComPort::SetTraceSize(uint32_t value) { SetRecordingSize(kTraceRecording, value); }

void TApdCustomComPort::SetLogSize(uint32_t value) { SetRecordingSize(kLogRecording, value); }

void TApdCustomComPort::SetRecordingState(const TRecording& recording, TTraceLogState value)
{
    TTraceLogState& state = this->*recording.State;
    if (value == state && !FForceApply)
        return;
    if (FPortPhase != ppOpen) {
        // Only "on" can wait for the next open; every other command needs a running recording.
        state = value == tlOn ? tlOn : tlOff;
        return;
    }
    ApplyRecordingState(recording, value);
}

void TApdCustomComPort::ApplyRecordingState(const TRecording& recording, TTraceLogState value)
{
    const TTraceLogState state = this->*recording.State;
    const bool running = state == tlOn || state == tlPause;
    switch (value) {
    case tlOff:
        if (running)
            StepRecording(recording, recording.Discard, tlOff);
        break;
    case tlOn:
        if (state == tlPause)
            StepRecording(recording, recording.Resume, tlOn);
        else
            BeginRecording(recording, this->*recording.Size);
        break;
    case tlDump:
    case tlAppend:
        if (running) {
            StepRecording(recording, recording.Resume, tlOn);
            WriteRecording(recording, this->*recording.Name, value == tlAppend, this->*recording.Hex);
        }
        break;
    case tlClear:
        if (running)
            StepRecording(recording, recording.Empty, std::nullopt);
        break;
    case tlPause:
        if (state == tlOn)
            StepRecording(recording, recording.Pause, tlPause);
        break;
    }
}

void TApdCustomComPort::SetRecordingSize(const TRecording& recording, uint32_t value)
{
    uint32_t& size = this->*recording.Size;
    if (value == size)
        return;
    size = std::min(value, recording.Largest);
    const TTraceLogState state = this->*recording.State;
    if (FPortPhase == ppOpen && (state == tlOn || state == tlPause)) {
        // A running recording starts again, empty, with the new capacity.
        StepRecording(recording, recording.Discard, tlOff);
        SetRecordingState(recording, state);
    }
}

void TApdCustomComPort::SetTraceName(const std::string& value) { FTraceName = value.substr(0, kMaxFileName); }

void TApdCustomComPort::SetLogName(const std::string& value) { FLogName = value.substr(0, kMaxFileName); }

// ---- Trigger events --------------------------------------------------------------------------------

void TApdCustomComPort::SetOnTrigger(TTriggerEvent handler)
{
    FOnTrigger = std::move(handler);
    RefreshTriggerInterest();
}

void TApdCustomComPort::SetOnTriggerAvail(TTriggerAvailEvent handler)
{
    FOnTriggerAvail = std::move(handler);
    RefreshTriggerInterest();
}

void TApdCustomComPort::SetOnTriggerData(TTriggerDataEvent handler)
{
    FOnTriggerData = std::move(handler);
    RefreshTriggerInterest();
}

void TApdCustomComPort::SetOnTriggerStatus(TTriggerStatusEvent handler)
{
    FOnTriggerStatus = std::move(handler);
    RefreshTriggerInterest();
}

void TApdCustomComPort::SetOnTriggerTimer(TTriggerTimerEvent handler)
{
    FOnTriggerTimer = std::move(handler);
    RefreshTriggerInterest();
}

void TApdCustomComPort::SetOnTriggerLineError(TTriggerLineErrorEvent handler)
{
    FOnTriggerLineError = std::move(handler);
    RefreshTriggerInterest();
}

void TApdCustomComPort::SetOnTriggerModemStatus(TNotifyEvent handler)
{
    FOnTriggerModemStatus = std::move(handler);
    RefreshTriggerInterest();
}

void TApdCustomComPort::SetOnTriggerOutbuffFree(TNotifyEvent handler)
{
    FOnTriggerOutbuffFree = std::move(handler);
    RefreshTriggerInterest();
}

void TApdCustomComPort::SetOnTriggerOutbuffUsed(TNotifyEvent handler)
{
    FOnTriggerOutbuffUsed = std::move(handler);
    RefreshTriggerInterest();
}

void TApdCustomComPort::SetOnTriggerOutSent(TNotifyEvent handler)
{
    FOnTriggerOutSent = std::move(handler);
    RefreshTriggerInterest();
}

void TApdCustomComPort::RefreshTriggerInterest()
{
    if (FPortPhase != ppOpen)
        return;
    bool wanted = FOnTrigger || FOnTriggerAvail || FOnTriggerData || FOnTriggerStatus || FOnTriggerTimer ||
                  FOnTriggerLineError || FOnTriggerModemStatus || FOnTriggerOutbuffFree ||
                  FOnTriggerOutbuffUsed || FOnTriggerOutSent;
    FDispatcher->UpdateHandlerNeed(wanted ? 1 : 2);
}

// ---- Settings applied at every open ----------------------------------------------------------------

void TApdCustomComPort::ApplySettings()
{
    TForceApplyScope force(FForceApply);
    SetTracing(FTracing);
    SetLogging(FLogging);
    SetHWFlowOptions(FHWFlowOptions);
    SetSWFlowOptions(FSWFlowOptions);
    SetXOnChar(FXOnChar);
    SetXOffChar(FXOffChar);
    SetAvailTriggerLength(FAvailTriggerLength);
    SetDTR(FDTR);
    SetRTS(FRTS);
    SetUseEventWord(FUseEventWord);
    SetRS485Mode(FRS485Mode);
    SetThreadPriorityBoost(FThreadPriorityBoost);
}
