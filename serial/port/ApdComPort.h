// The port component: the one object through which the program drives a serial line. It keeps
// every line, buffer, flow, trace and log setting, opens and closes the line through a dispatcher
// it owns, and turns the dispatcher's result codes into exceptions.
#pragma once

#include "platform/win32.h"
#include "runtime/BoundMethod.h"
#include "runtime/Component.h"
#include "runtime/EnumSet.h"
#include "serial/dispatch/ApdBaseDispatcher.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TApdCustomComPort;

// ---- Enumerations ------------------------------------------------------------------------------

enum TParity : uint8_t { pNone, pOdd, pEven, pMark, pSpace };
enum TDeviceLayer : uint8_t { dlWin32, dlWinsock };
enum TTapiMode : uint8_t { tmNone, tmAuto, tmOn, tmOff };
enum THWFlowOptions : uint8_t { hwfUseDTR, hwfUseRTS, hwfRequireDSR, hwfRequireCTS };
enum TSWFlowOptions : uint8_t { swfNone, swfReceive, swfTransmit, swfBoth };
enum TTraceLogState : uint8_t { tlOff, tlOn, tlDump, tlAppend, tlClear, tlPause };
/// The port's life: ppClosed -> ppOpen -> ppClosing -> ppClosed.
enum TPortPhase : uint8_t { ppClosed, ppClosing, ppOpen };
/// What a registered port user is told.
enum TPortUserEvent : uint8_t { pueOpened, pueClosing, pueClosed };

/// A set of THWFlowOptions in one byte: bit n for the member of ordinal n.
using THWFlowOptionSet = TEnumSet<THWFlowOptions, hwfRequireCTS>;
static_assert(sizeof(THWFlowOptionSet) == 1);

// ---- Events and port users ---------------------------------------------------------------------

using TNotifyEvent = std::function<void(TComponent* sender)>;
using TTriggerEvent =
    std::function<void(TComponent* cp, uint16_t msg, uint16_t triggerHandle, uint16_t data)>;
using TTriggerAvailEvent = std::function<void(TComponent* cp, uint16_t count)>;
using TTriggerDataEvent = std::function<void(TComponent* cp, uint16_t triggerHandle)>;
using TTriggerStatusEvent = std::function<void(TComponent* cp, uint16_t triggerHandle)>;
using TTriggerTimerEvent = std::function<void(TComponent* cp, uint16_t triggerHandle)>;
using TTriggerLineErrorEvent = std::function<void(TComponent* cp, uint16_t error, bool lineBreak)>;
using TWaitCharEvent = std::function<void(TComponent* cp, uint16_t character)>;

/// Extended port user: told pueOpened, pueClosing and pueClosed.
using TPortUserMethod = TBoundMethod<TApdCustomComPort*, TPortUserEvent>;
/// Plain port user: told opening True after an open and False after a close (not of closing).
using TPortCallback = TBoundMethod<TApdCustomComPort*, bool>;

// ---- Components ----------------------------------------------------------------------------------

/// Base of the serial components.
class TApdBaseComponent : public TComponent
{
public:
    explicit TApdBaseComponent(TComponent* owner = nullptr) : TComponent(owner) {}
    /// Always "v4.06"; writing it does nothing.
    std::string Version() const { return "v4.06"; }
    void SetVersion(const std::string&) {}
};

/// The port component with all its state and behaviour.
///
/// Thread: the user-interface thread only (the setters, open and close, the data operations, its
/// hidden window's procedure and every event it raises). It takes no lock of its own; its window
/// procedure holds the DeviceRegistry lock while it uses the dispatcher a notification names.
///
/// Setters store the value and, while the port is open (PortPhase ppOpen), hand it to the
/// dispatcher at once; a negative dispatcher result raises the exception RaiseOnError maps it to
/// (the property then already holds the new value unless said otherwise). Every open re-applies
/// the settings.
class TApdCustomComPort : public TApdBaseComponent
{
public:
    // Messages of the port to window users (wParam 0, lParam 0); MsgPortClosing also finishes a
    // deferred close in the port's own window, with the dispatcher handle in the high half of lParam.
    static constexpr UINT MsgPortOpened = 0x7E08;
    static constexpr UINT MsgPortClosed = 0x7E09;
    static constexpr UINT MsgPortClosing = 0x7E0A;
    /// Class of the port's hidden notification window, registered once per process.
    static constexpr const char* kComWindowClass = "awComWindow";

    explicit TApdCustomComPort(TComponent* owner = nullptr);
    /// Closes an open port, then frees the users, the saved triggers and the dispatcher.
    ~TApdCustomComPort() override;

    // ---- Published properties, in declaration order ----
    TDeviceLayer DeviceLayer() const { return FDeviceLayer; }
    /// Taken only while closed and only dlWin32; anything else is ignored without error.
    void SetDeviceLayer(TDeviceLayer value);
    uint16_t ComNumber() const { return FComNumber; }
    /// The device is "\\.\COM<n>"; 0 means none chosen. On an open port: closes, stores, reopens
    /// on the new number and restores the triggers of the old line.
    void SetComNumber(uint16_t value);
    int32_t Baud() const { return FBaud; }
    void SetBaud(int32_t value);
    bool PromptForPort() const { return FPromptForPort; }
    void SetPromptForPort(bool value) { FPromptForPort = value; }
    TParity Parity() const { return FParity; }
    void SetParity(TParity value);
    uint16_t DataBits() const { return FDataBits; }
    void SetDataBits(uint16_t value);
    uint16_t StopBits() const { return FStopBits; }
    void SetStopBits(uint16_t value);
    uint16_t InSize() const { return FInSize; }
    void SetInSize(uint16_t value);
    uint16_t OutSize() const { return FOutSize; }
    void SetOutSize(uint16_t value);
    bool AutoOpen() const { return FAutoOpen; }
    void SetAutoOpen(bool value) { FAutoOpen = value; }
    bool Open() const { return FOpen; }
    /// True opens the port (later, when a close is still being finished); False closes it.
    /// @throws the open's exception; the port is then closed, with no dispatcher.
    void SetOpen(bool value);
    bool DTR() const { return FDTR; }
    /// While open the line is set first; the property takes the value only when that worked
    /// (a line under hardware handshake keeps its old value).
    void SetDTR(bool value);
    bool RTS() const { return FRTS; }
    void SetRTS(bool value);
    THWFlowOptionSet HWFlowOptions() const { return FHWFlowOptions; }
    /// A non-empty set fills unset or oversized thresholds with 90 % and 10 % of InSize; a set
    /// with hwfUseRTS or hwfRequireCTS switches RS485Mode off.
    void SetHWFlowOptions(THWFlowOptionSet value);
    TSWFlowOptions SWFlowOptions() const { return FSWFlowOptions; }
    /// Other than swfNone, fills unset or oversized thresholds with 75 % and 25 % of InSize.
    void SetSWFlowOptions(TSWFlowOptions value);
    uint8_t XOnChar() const { return FXOnChar; }
    void SetXOnChar(uint8_t value);
    uint8_t XOffChar() const { return FXOffChar; }
    void SetXOffChar(uint8_t value);
    uint16_t BufferFull() const { return FBufferFull; }
    /// Above InSize becomes 90 % of InSize; then both flow settings are re-applied.
    void SetBufferFull(uint16_t value);
    uint16_t BufferResume() const { return FBufferResume; }
    /// Above BufferFull becomes 10 % of BufferFull; then both flow settings are re-applied.
    void SetBufferResume(uint16_t value);
    TTraceLogState Tracing() const { return FTracing; }
    /// A command: while closed only tlOff and tlOn are kept (anything else reads tlOff); while
    /// open it starts, pauses, resumes, clears, discards or writes the trace (tlDump, tlAppend:
    /// to TraceName). tlDump, tlAppend and tlClear are never the resulting state.
    void SetTracing(TTraceLogState value);
    uint32_t TraceSize() const { return FTraceSize; }
    /// At most 4000000 entries; a running trace starts again, empty, with the new size.
    void SetTraceSize(uint32_t value);
    const std::string& TraceName() const { return FTraceName; }
    /// At most 255 characters are kept.
    void SetTraceName(const std::string& value);
    bool TraceHex() const { return FTraceHex; }
    void SetTraceHex(bool value) { FTraceHex = value; }
    bool TraceAllHex() const { return FTraceAllHex; }
    void SetTraceAllHex(bool value) { FTraceAllHex = value; }
    TTraceLogState Logging() const { return FLogging; }
    /// As SetTracing, for the dispatch log (LogName, LogHex, LogAllHex).
    void SetLogging(TTraceLogState value);
    uint32_t LogSize() const { return FLogSize; }
    /// At most 16000000 bytes; a running log starts again, empty, with the new size.
    void SetLogSize(uint32_t value);
    const std::string& LogName() const { return FLogName; }
    void SetLogName(const std::string& value);
    bool LogHex() const { return FLogHex; }
    void SetLogHex(bool value) { FLogHex = value; }
    bool LogAllHex() const { return FLogAllHex; }
    void SetLogAllHex(bool value) { FLogAllHex = value; }
    /// Always True; the modem lines are always read from the driver.
    bool UseMSRShadow() const { return true; }
    /// Writing has no effect.
    virtual void SetUseMSRShadow(bool value);
    bool UseEventWord() const { return FUseEventWord; }
    /// While open: sets or clears the value 4 of the dispatcher's option word.
    void SetUseEventWord(bool value);
    uint16_t CommNotificationLevel() const { return FCommNotificationLevel; }
    /// Stored only: the Win32 device layer has no use for it.
    void SetCommNotificationLevel(uint16_t value) { FCommNotificationLevel = value; }
    TTapiMode TapiMode() const { return FTapiMode; }
    void SetTapiMode(TTapiMode value) { FTapiMode = value; }
    bool RS485Mode() const { return FRS485Mode; }
    /// True also takes hwfUseRTS and hwfRequireCTS out of HWFlowOptions and sets RTS False.
    void SetRS485Mode(bool value);

    // Events. Raised on the user-interface thread. Assigning or clearing one of the ten trigger
    // events tells an open dispatcher whether the port's window wants notifications at all.
    const TNotifyEvent& OnPortClose() const { return FOnPortClose; }
    /// After the port has closed (in a close asked for inside a notification: before the
    /// dispatcher is gone, while Open still reads True).
    void SetOnPortClose(TNotifyEvent handler) { FOnPortClose = std::move(handler); }
    const TNotifyEvent& OnPortOpen() const { return FOnPortOpen; }
    /// After the port has opened and its users have been told.
    void SetOnPortOpen(TNotifyEvent handler) { FOnPortOpen = std::move(handler); }
    const TNotifyEvent& OnPortGone() const { return FOnPortGone; }
    /// Once when the device of the open port has gone (hung up, unplugged), on the user-interface
    /// thread after the port has opened. The port stays open: the handler decides, and closing
    /// it there (Open False) releases the device at once. Without a handler nothing happens.
    void SetOnPortGone(TNotifyEvent handler) { FOnPortGone = std::move(handler); }
    const TTriggerEvent& OnTrigger() const { return FOnTrigger; }
    /// Every trigger notification, before the event of its kind.
    void SetOnTrigger(TTriggerEvent handler);
    const TTriggerAvailEvent& OnTriggerAvail() const { return FOnTriggerAvail; }
    void SetOnTriggerAvail(TTriggerAvailEvent handler);
    const TTriggerDataEvent& OnTriggerData() const { return FOnTriggerData; }
    void SetOnTriggerData(TTriggerDataEvent handler);
    const TTriggerStatusEvent& OnTriggerStatus() const { return FOnTriggerStatus; }
    void SetOnTriggerStatus(TTriggerStatusEvent handler);
    const TTriggerTimerEvent& OnTriggerTimer() const { return FOnTriggerTimer; }
    void SetOnTriggerTimer(TTriggerTimerEvent handler);
    const TTriggerLineErrorEvent& OnTriggerLineError() const { return FOnTriggerLineError; }
    void SetOnTriggerLineError(TTriggerLineErrorEvent handler);
    const TNotifyEvent& OnTriggerModemStatus() const { return FOnTriggerModemStatus; }
    void SetOnTriggerModemStatus(TNotifyEvent handler);
    const TNotifyEvent& OnTriggerOutbuffFree() const { return FOnTriggerOutbuffFree; }
    void SetOnTriggerOutbuffFree(TNotifyEvent handler);
    const TNotifyEvent& OnTriggerOutbuffUsed() const { return FOnTriggerOutbuffUsed; }
    void SetOnTriggerOutbuffUsed(TNotifyEvent handler);
    const TNotifyEvent& OnTriggerOutSent() const { return FOnTriggerOutSent; }
    void SetOnTriggerOutSent(TNotifyEvent handler);
    /// Not published; nothing in the program assigns it.
    void SetOnWaitChar(TWaitCharEvent handler) { FOnWaitChar = std::move(handler); }

    // ---- State and settings that are not published ----
    TPortPhase PortPhase() const { return FPortPhase; }
    uint16_t AvailTriggerLength() const { return FAvailTriggerLength; }
    /// Unread bytes at which availability notifications come (default 1); handed to the
    /// dispatcher at every open.
    void SetAvailTriggerLength(uint16_t value);
    uint8_t ThreadPriorityBoost() const { return FThreadPriorityBoost; }
    /// Added to the priority of the dispatcher's threads (default 0).
    void SetThreadPriorityBoost(uint8_t value);

    // ---- Dispatcher access ----
    /// The dispatcher; on a closed port with AutoOpen it opens the port first (its exceptions
    /// propagate). nullptr only when closed with AutoOpen False (or while loading).
    TApdBaseDispatcher* ActiveDispatcher();
    /// As ActiveDispatcher. @throws ECommNotOpen (-2007) when that gives none.
    TApdBaseDispatcher* RequireDispatcher();
    /// The dispatcher, without opening the port; nullptr while closed.
    TApdBaseDispatcher* Dispatcher() const { return FDispatcher.get(); }

    // ---- Line operations: nothing while ppClosing; a closed port opens first (AutoOpen) ----
    /// Discards what the driver and the input ring hold unread.
    void DiscardInput();
    /// Stops the pending transmission and discards what is queued for sending.
    void DiscardOutput();
    /// Queues all bytes for sending; an empty text does nothing.
    /// @throws EOutputBufferTooSmall (-3006) when they do not fit (nothing is queued),
    /// EPutBlockFail (-3004) when the device took nothing.
    void SendString(const std::string& text);
    /// @return the handle of a new, inactive timer trigger. @throws ENoMoreTriggers (-5001).
    uint16_t NewTimerTrigger();
    /// activate: (re)starts the timer for `ticks` ticks of 55 ms (0: as last armed); else stops it.
    /// @throws EBadTriggerHandle (-5003) for a handle that is no timer trigger.
    void ArmTimerTrigger(uint16_t handle, int32_t ticks, bool activate);
    /// Lets the device layer run once (yields the processor).
    virtual void ServiceLine();

    // ---- Line state queries (never open the port) ----
    /// The pending line-error kind, cleared by reading; 0 when not open.
    uint16_t CurrentLineError();
    /// Whether a break came since the last query, cleared by reading; False when not open.
    bool BreakReceived();

    // ---- Port users (told last registered first) ----
    /// Registers an extended user (told pueOpened, pueClosing, pueClosed). A user that registers
    /// or removes users while it is told does not change who is told in that round, except that a
    /// user removed meanwhile is not told.
    void AddPortUser(TPortUserMethod handler);
    /// Removes every extended user with the same routine (the object is not compared).
    /// Does nothing while the port itself is being destroyed.
    void RemovePortUser(TPortUserMethod handler);
    /// Registers a window user: sent MsgPortOpened and MsgPortClosed, and MsgPortClosing too when
    /// `extended`.
    void AddPortUserWindow(HWND window, bool extended);
    void RemovePortUserWindow(HWND window);
    /// Registers a plain user: called (port, True) after an open and (port, False) after a close.
    void AddPortUserCallback(TPortCallback handler);
    void RemovePortUserCallback(TPortCallback handler);

    // ---- Trace and log commands (what the Tracing and Logging setters run while open) ----
    // Each does nothing while ppClosing. Those marked "raises" pass the dispatcher's result
    // through RaiseOnError.
    /// Begins a trace of `size` entries (0: TraceSize; other sizes are stored in TraceSize). Raises.
    void TraceBegin(uint32_t size);
    /// Writes the trace to `fileName`, replacing the file, and ends it. Raises.
    void TraceSaveTo(const std::string& fileName, bool inHex);
    /// Appends the trace to `fileName` and ends it. Raises.
    void TraceAppendTo(const std::string& fileName, bool inHex);
    /// Empties the trace buffer. Raises.
    void TraceEmpty();
    void TraceDiscard();
    void TraceResume();
    void TracePause();
    /// Begins a dispatch log of LogSize bytes (a size other than 0 is stored in LogSize first).
    void LogBegin(uint32_t size);
    /// Writes the log to `fileName`, replacing the file, and ends it. Raises.
    void LogSaveTo(const std::string& fileName, bool inHex);
    /// Appends the log to `fileName` and ends it. Raises.
    void LogAppendTo(const std::string& fileName, bool inHex);
    void LogEmpty();
    void LogDiscard();
    void LogResume();
    void LogPause();

    /// Copies the settings, the users and the event handlers of `source`, and, when it is open, a
    /// snapshot of its triggers for this port's next open. Leaves this port's Open False without
    /// closing anything.
    virtual void Assign(const TApdCustomComPort& source);

protected:
    void Loaded() override;

    /// Makes the dispatcher for an open: a TApdWin32Dispatcher owned by this port.
    /// @throws ENullApi (-3001) for a device layer other than dlWin32, and with TapiMode tmOn
    /// (there is no telephony layer).
    virtual std::unique_ptr<TApdBaseDispatcher> CreateDispatcher();
    /// Runs after DeviceLayer has changed; does nothing.
    virtual void LayerChanged();
    /// Opens the dispatcher on "\\.\COM<ComNumber>" with the line settings and queue sizes.
    /// @return the dispatcher's result, 0 or negative.
    virtual int32_t OpenLine();
    /// True: makes the hidden notification window and registers it with the dispatcher; False:
    /// unregisters and destroys it.
    virtual void ManageNotifyWindow(bool create);
    /// With ComNumber 0: PromptForPort False raises ENoPortSelected (-2011); True asks the user
    /// through SelectPortInteractively, raising ENoPortSelected when no port was chosen.
    virtual void EnsureComNumber();
    /// Asks the user to choose a port in the selection dialog (ExecuteComSelectForm).
    /// @return true with `comNumber` set when one was chosen.
    virtual bool SelectPortInteractively(uint16_t& comNumber);
    virtual void FireTrigger(uint16_t msg, uint16_t triggerHandle, uint16_t data);
    virtual void FireTriggerAvail(uint16_t count);
    virtual void FireTriggerData(uint16_t triggerHandle);
    virtual void FireTriggerStatus(uint16_t triggerHandle);
    virtual void FireTriggerTimer(uint16_t triggerHandle);
    /// Tells an open dispatcher whether the port's window wants notifications: whether one of
    /// the ten trigger events has a handler.
    virtual void RefreshTriggerInterest();
    virtual void FireTriggerLineError(uint16_t error, bool lineBreak);
    virtual void FireTriggerModemStatus();
    virtual void FireTriggerOutbuffFree();
    virtual void FireTriggerOutbuffUsed();
    virtual void FireTriggerOutSent();
    virtual void FireWaitChar(uint16_t character);
    /// Tells the users, saves the triggers and closes the dispatcher; frees it at once, or, when
    /// the close comes from inside a notification the dispatcher is delivering, once its window
    /// has seen MsgPortClosing after the threads have stopped. A trace or log file that cannot be
    /// written, or a user that raises, does not stop the close: the first such exception is raised
    /// once the port is closed.
    virtual void ClosePort();

    void NotifyPortOpened();
    void NotifyPortClosed();
    void NotifyPortClosing();
    /// Raises OnPortGone.
    void NotifyPortGone();
    /// The open sequence. @throws the open's exception, leaving the port closed.
    void PerformOpen();

    HWND NotifyWindow() const { return FNotifyWindow; }
    bool ForceApply() const { return FForceApply; }
    bool HasSavedTriggers() const { return FHasSavedTriggers; }
    const TTriggerSnapshot& SavedTriggers() const { return FSavedTriggers; }

private:
    struct TPortUser {
        uint32_t Id = 0; // tells an entry still registered from one added in its place
        HWND Window = nullptr;
        TPortCallback Callback;
        TPortUserMethod Extended;
        bool IsExtended = false;
    };
    enum TUserNotice { unOpened, unClosing, unClosed };

    static LRESULT NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
    /// Frees window and dispatcher and marks the port closed.
    void FinishClose();
    /// The end of a close that had to wait for the dispatcher's threads; then a pending open.
    void CompleteDeferredClose();
    void HandleTriggerMessage(UINT message, WPARAM wParam, LPARAM lParam);
    /// Tells the users, last registered first; users added or removed meanwhile are skipped.
    void NotifyUsers(TUserNotice notice);
    void AddUser(TPortUser user);
    /// Re-applies every setting that honours ForceApply, with ForceApply set.
    void ApplySettings();
    void ApplyLineSettings();

    /// What tells the trace and the dispatch log apart for the commands that drive them: the
    /// port's fields for one of them, its size bound and the dispatcher's operations on it. The
    /// commands and state rules are written once, over this record.
    struct TRecording {
        TTraceLogState TApdCustomComPort::*State;
        uint32_t TApdCustomComPort::*Size;
        uint32_t Largest;
        std::string TApdCustomComPort::*Name;
        bool TApdCustomComPort::*Hex;
        bool TApdCustomComPort::*AllHex;
        /// Begins the recording at the given size; 0 or a negative result code.
        int32_t (*Start)(TApdBaseDispatcher& dispatcher, uint32_t size);
        int32_t (TApdBaseDispatcher::*Write)(const std::string& name, bool append, bool inHex, bool allHex);
        void (TApdBaseDispatcher::*Empty)();
        void (TApdBaseDispatcher::*Discard)();
        void (TApdBaseDispatcher::*Resume)();
        void (TApdBaseDispatcher::*Pause)();
    };
    static const TRecording kTraceRecording;
    static const TRecording kLogRecording;
    /// The Tracing and Logging setters.
    void SetRecordingState(const TRecording& recording, TTraceLogState value);
    /// Runs the Tracing or Logging state command on an open port.
    void ApplyRecordingState(const TRecording& recording, TTraceLogState value);
    /// The TraceSize and LogSize setters.
    void SetRecordingSize(const TRecording& recording, uint32_t value);
    /// The dispatcher a trace or log command works on: none while a close is being finished.
    TApdBaseDispatcher* RecordingDispatcher();
    void BeginRecording(const TRecording& recording, uint32_t size);
    void WriteRecording(const TRecording& recording, const std::string& fileName, bool append, bool inHex);
    /// Runs one of the recording's dispatcher operations, then sets its state to `after` (none:
    /// the state stays).
    void StepRecording(const TRecording& recording, void (TApdBaseDispatcher::*operation)(),
                       std::optional<TTraceLogState> after);

    /// Whether line operations are to do nothing now (a close is being finished).
    bool Closing() const { return FPortPhase == ppClosing; }
    int32_t CheckResult(int32_t code);

    TDeviceLayer FDeviceLayer = dlWin32;
    uint16_t FComNumber = 0;
    int32_t FBaud = 19200;
    bool FPromptForPort = true;
    TParity FParity = pNone;
    uint16_t FDataBits = 8;
    uint16_t FStopBits = 1;
    uint16_t FInSize = 4096;
    uint16_t FOutSize = 4096;
    bool FAutoOpen = true;
    bool FOpen = false;
    bool FDTR = true;
    bool FRTS = true;
    THWFlowOptionSet FHWFlowOptions;
    TSWFlowOptions FSWFlowOptions = swfNone;
    uint8_t FXOnChar = 17;
    uint8_t FXOffChar = 19;
    uint16_t FBufferFull = 0;
    uint16_t FBufferResume = 0;
    TTraceLogState FTracing = tlOff;
    uint32_t FTraceSize = 10000;
    std::string FTraceName = "VELT.TRC";
    bool FTraceHex = true;
    bool FTraceAllHex = false;
    TTraceLogState FLogging = tlOff;
    uint32_t FLogSize = 10000;
    std::string FLogName = "VELT.LOG";
    bool FLogHex = true;
    bool FLogAllHex = false;
    bool FUseEventWord = true;
    uint16_t FCommNotificationLevel = 10;
    TTapiMode FTapiMode = tmAuto;
    bool FRS485Mode = false;

    TNotifyEvent FOnPortClose;
    TNotifyEvent FOnPortOpen;
    TNotifyEvent FOnPortGone;
    TTriggerEvent FOnTrigger;
    TTriggerAvailEvent FOnTriggerAvail;
    TTriggerDataEvent FOnTriggerData;
    TTriggerStatusEvent FOnTriggerStatus;
    TTriggerTimerEvent FOnTriggerTimer;
    TTriggerLineErrorEvent FOnTriggerLineError;
    TNotifyEvent FOnTriggerModemStatus;
    TNotifyEvent FOnTriggerOutbuffFree;
    TNotifyEvent FOnTriggerOutbuffUsed;
    TNotifyEvent FOnTriggerOutSent;
    TWaitCharEvent FOnWaitChar;

    TPortPhase FPortPhase = ppClosed;
    std::unique_ptr<TApdBaseDispatcher> FDispatcher;
    bool FForceApply = false;
    bool FOpenAfterClose = false;
    bool FOpenAfterLoad = false;
    bool FHasSavedTriggers = false;
    TTriggerSnapshot FSavedTriggers;
    std::vector<TPortUser> FPortUsers;
    uint32_t FNextUserId = 1;
    HWND FNotifyWindow = nullptr;
    uint16_t FAvailTriggerLength = 1;
    uint8_t FThreadPriorityBoost = 0;
};

/// The port component as the window owns it: every property above is published.
class TApdComPort : public TApdCustomComPort
{
public:
    explicit TApdComPort(TComponent* owner = nullptr) : TApdCustomComPort(owner) {}
};

/// The first port component among `owner`'s components, searched in their order and, inside
/// each component that is not a port, recursively. nullptr without an owner or when none is found.
TApdCustomComPort* LocateComPort(TComponent* owner);
