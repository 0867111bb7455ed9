// The dispatcher of one open port: input and output rings, line and flow control, trigger and
// handler state, trace and dispatch log, over the device operations a device layer supplies.
#pragma once

#include "platform/win32.h"
#include "runtime/BoundMethod.h"
#include "serial/dispatch/ReentrantLock.h"
#include "serial/log/DispatchLog.h"
#include "serial/log/Trace.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class TApdCustomComPort;
class TThread;

// ---- Trigger and handler records ---------------------------------------------------------------

constexpr int32_t kMaxDataTriggerLength = 22;

/// A countdown in ticks of 55 ms (see TimerTriggerList).
struct TTimerTrigger {
    int32_t Handle = 0;
    int32_t StartTick = 0;
    int32_t ExpireTick = 0;
    int32_t Ticks = 0; ///< duration
    bool Active = false;
};

/// A byte string watched for in the received data.
struct TDataTrigger {
    int32_t Handle = 0;
    int32_t Length = 0; ///< 0: inactive
    std::array<int32_t, kMaxDataTriggerLength> MatchState{};
    bool Matched = false;
    bool IgnoreCase = false;
    std::array<uint8_t, kMaxDataTriggerLength> Match{};
};

/// Status trigger kinds (the low three bits of a status trigger's handle).
enum TStatusKind : int32_t {
    stNotActive = 0,
    stModem = 1,
    stLine = 2,
    stOutFree = 3,
    stOutUsed = 4,
    stOutSent = 5,
};

/// A condition on the modem lines, the line errors, the output queue or a completed write.
struct TStatusTrigger {
    int32_t Handle = 0;
    int32_t Kind = stNotActive;
    uint16_t Value = 0;
    bool Armed = false;
    bool Hit = false;
};

/// The triggers of a dispatcher as the port keeps them across a close and a reopen: the
/// availability threshold and copies of every timer, data and status record. A list that was
/// never taken is empty (std::nullopt), which a restore leaves out.
struct TTriggerSnapshot {
    int32_t AvailLength = 0;
    std::optional<std::vector<TTimerTrigger>> Timers;
    std::optional<std::vector<TDataTrigger>> Data;
    std::optional<std::vector<TStatusTrigger>> Status;
};

/// A handler procedure: message number, wParam, lParam.
using TApdNotifyProc = void (*)(UINT message, WPARAM wParam, LPARAM lParam);

/// A handler method: an object and the code to run on it. Two methods are the same handler when
/// their code is the same (the object is not compared), so each member function gets one
/// trampoline: TApdNotifyMethod::Of<&TMyClass::Handler>(object).
using TApdNotifyMethod = TBoundMethod<UINT, WPARAM, LPARAM>;

struct TWindowHandler {
    HWND Window = nullptr;
    bool Removed = false;
};
struct TProcedureHandler {
    TApdNotifyProc Proc = nullptr;
    bool Removed = false;
};
struct TMethodHandler {
    TApdNotifyMethod Method;
    bool Removed = false;
    bool OnUserThread = false; ///< run through the dispatch thread's synchronized call
};

/// Signalled by every dispatcher thread as it leaves. Shared with the threads so that the last
/// one can still signal after the dispatcher itself may be gone.
class TThreadExitGate
{
public:
    TThreadExitGate();
    ~TThreadExitGate();
    TThreadExitGate(const TThreadExitGate&) = delete;
    TThreadExitGate& operator=(const TThreadExitGate&) = delete;
    HANDLE Event() const { return FEvent; }
    /// A thread is about to start.
    void Enter();
    /// A thread has done its last act on the dispatcher.
    void Leave();
    bool AllLeft() const;

private:
    HANDLE FEvent; // auto-reset
    std::atomic<int32_t> FEntered{0};
    std::atomic<int32_t> FLeft{0};
};

// ---- The dispatcher ----------------------------------------------------------------------------

/// Thread contract:
/// - The user-interface thread creates, opens, closes and destroys the dispatcher, sends, changes
///   settings, flushes, and adds or removes handlers.
/// - The dispatch thread alone fills the input ring and runs ProcessLineEvent/ProcessTimers; the
///   handlers it calls take bytes out of the input ring on that thread.
/// - The output thread alone writes the output ring to the device; the device-event thread alone
///   waits for line events.
/// Locks, all re-entrant. Order: InputLock, then DispatcherLock, then OutputLock, then GoneLock;
/// a thread that holds one of them may take a later one, never an earlier one. TakeBlock and SendBlock leave
/// their buffer lock before they take DispatcherLock for the trace and log. No lock is held while
/// a handler runs or while a thread waits for a dispatcher thread to leave (EXCLUDES on those
/// calls); StartThreads alone waits for one under DispatcherLock, for each new thread's first
/// signal, which the threads give before they take any dispatcher lock. Around them: the
/// registry lock (DeviceRegistry) comes before all four; under any of them the stack may take
/// TThread's lock (priorities, starts) and the platform layer's own locks, which are innermost.
class TApdBaseDispatcher
{
public:
    // Result codes of the dispatcher operations.
    static constexpr int32_t ecOK = 0;
    static constexpr int32_t ecOutOfMemory = -8;
    static constexpr int32_t ecBadArgument = -1002;
    static constexpr int32_t ecCantWriteBlock = -3004; ///< "Failed to put entire block"
    static constexpr int32_t ecOutputBufferTooSmall = -3006;
    static constexpr int32_t ecBufferIsEmpty = -3007;
    static constexpr int32_t ecBaseAddressNotSet = -3010;
    static constexpr int32_t ecNoMoreTriggers = -5001;
    static constexpr int32_t ecTriggerTooLong = -5002;
    static constexpr int32_t ecBadTriggerHandle = -5003;

    // Notification messages from the dispatcher to its handlers; lParam = handle * 65536 + data.
    static constexpr UINT MsgTriggerAvail = 0x7E01;
    static constexpr UINT MsgTriggerData = 0x7E02;
    static constexpr UINT MsgTriggerTimer = 0x7E03;
    static constexpr UINT MsgTriggerStatus = 0x7E04;
    /// Posted once to the window named by SetDeviceGoneWindow when the device has gone (hung up,
    /// unplugged); wParam the platform error the line-event wait failed with, lParam the
    /// dispatcher handle * 65536. The number follows the port's own messages (0x7E08 to 0x7E0A).
    static constexpr UINT MsgDeviceGone = 0x7E0B;

    static constexpr int32_t kInputRingSize = 8192;

    // Option bits of OpenDispatcher.
    static constexpr uint8_t kOptionDtrOn = 0x01;
    static constexpr uint8_t kOptionRtsOn = 0x02;
    static constexpr uint8_t kOptionDtrAuto = 0x10;
    static constexpr uint8_t kOptionRtsAuto = 0x20;

    // Line-error bits (LineErrorBits) and line-error kinds (GetLineError).
    static constexpr uint32_t kErrorBits = 0x1F;
    static constexpr int32_t leNone = 0, leBuffer = 1, leOverrun = 2, leParity = 3, leFraming = 4,
                             leBreak = 9;

    /// Registers the dispatcher in DeviceRegistry: its handle is the first free slot.
    /// Thread: the user-interface thread.
    explicit TApdBaseDispatcher(TApdCustomComPort* owner);
    /// Closes (or finishes a close asked for inside a handler), waits while keeping the calling
    /// thread's messages flowing until every dispatcher thread has left, and unregisters.
    virtual ~TApdBaseDispatcher();
    TApdBaseDispatcher(const TApdBaseDispatcher&) = delete;
    TApdBaseDispatcher& operator=(const TApdBaseDispatcher&) = delete;

    // ---- Device operations, supplied by the device layer ----
    /// Escape function (SETDTR, CLRRTS, ...). @return 0, or negative when the escape failed.
    virtual int32_t DeviceEscape(DWORD function) = 0;
    /// Purges the output (0) or input (1) side. @return 0 or the negated platform error.
    virtual int32_t DevicePurge(int32_t queue) = 0;
    /// Fills `status` (cbOutQue = the output ring count). @return the line-error bits.
    virtual uint32_t DeviceErrors(COMSTAT& status) = 0;
    virtual int32_t ReadFailed(int32_t code) = 0;
    /// @return 0, or -1 when the state cannot be read (the record keeps its contents).
    virtual int32_t GetDeviceState(DCB& state) = 0;
    /// Reads what has arrived, at most `count` bytes, without waiting. @return bytes read.
    /// Thread: the dispatch thread, filling the input ring.
    virtual int32_t DeviceRead(uint8_t* to, int32_t count) REQUIRES(InputLock) = 0;
    /// @return 0 or the negated platform error.
    virtual int32_t SetDeviceState(DCB& state) = 0;
    /// Queues `count` bytes in the output ring (the caller made sure they fit). @return count.
    virtual int32_t DeviceWrite(const uint8_t* from, int32_t count) = 0;
    /// Starts a wait for line events. @return true when it completed at once.
    virtual bool WaitDeviceEvent(DWORD& mask, OVERLAPPED* overlapped) = 0;
    virtual bool SetupDeviceQueues(uint32_t inSize, uint32_t outSize) = 0;
    /// Stops the threads and frees the rings. Thread: any but a thread that holds a dispatcher lock.
    virtual void ShutdownDispatcher() EXCLUDES(InputLock, DispatcherLock, OutputLock);
    virtual void StartThreads() = 0;
    /// Waits for the threads to leave, so no dispatcher lock may be held.
    virtual void StopThreads() EXCLUDES(InputLock, DispatcherLock, OutputLock) = 0;
    /// Opens the device into DeviceHandle. @return 0; -1 (GetLastError says why); -8.
    virtual int32_t OpenDevice(const std::string& path, uint32_t inSize, uint32_t outSize) = 0;
    /// @return 0, or -1 when the handle could not be closed.
    virtual int32_t CloseDevice() = 0;
    virtual int32_t YieldDevice() = 0;
    /// Priority of the threads: 3 plus `boost` (the output thread 4 plus boost in RS485 mode).
    /// Best effort: a priority the system refuses changes nothing and is not an error.
    virtual void SetPriorityBoost(uint8_t boost);
    /// 0 recompute, 1 the port's window wants notifications, 2 it does not.
    virtual void UpdateHandlerNeed(int32_t mode);
    /// Runs a method handler that asked for the user-interface thread and returns when it has
    /// returned; the device layer hands it over from its dispatch thread. The base calls directly.
    virtual void CallOnUserThread(const TApdNotifyMethod& method, UINT message, WPARAM wParam, LPARAM lParam)
        EXCLUDES(InputLock, DispatcherLock, OutputLock);
    /// Runs `call` on the user-interface thread and returns when it has returned: handed over
    /// when called on the dispatch thread, else called directly.
    virtual void RunOnUserThread(const std::function<void()>& call)
        EXCLUDES(InputLock, DispatcherLock, OutputLock);

    // ---- Opening and closing ----
    /// Opens the device and starts the threads. `parity`, `dataBits`, `stopBits` as
    /// ChangeLineSettings; `options` the kOption bits.
    /// @return 0; -8; minus the platform error of the open or the queue set-up (-2 no such port,
    /// -5 port in use); the result of ChangeLineSettings. A failure leaves no device open and no
    /// ring allocated. Thread: the user-interface thread.
    int32_t OpenDispatcher(const std::string& path, uint32_t baud, uint8_t parity, uint8_t dataBits,
                           uint8_t stopBits, uint16_t inSize, uint16_t outSize, uint8_t options);
    /// Closes the device and releases threads and rings; inside a handler the release is left
    /// to the dispatch thread as it leaves. Thread: the user-interface thread, or a handler.
    void CloseDispatcher() EXCLUDES(InputLock, DispatcherLock, OutputLock);
    /// The last act of each dispatcher thread. Thread: the leaving thread.
    void ThreadFinished(TThread* thread);

    // ---- Data path ----
    /// Queues a block for sending.
    /// @return 0; -3006 when it is larger than the free output space (nothing queued); -3010 in
    /// RS485 mode without a base address; -3004 when the device layer took nothing.
    /// Thread: any; takes OutputLock, then DispatcherLock for the trace and log.
    int32_t SendBlock(const void* block, int32_t length);
    /// Takes `length` bytes out of the input ring. Inside an availability notification the tail
    /// stays put; the bytes are consumed when the notification ends, so every handler sees the
    /// same data. @return `length`, or -3007 when fewer bytes are unread (nothing changes).
    /// Thread: any; takes InputLock, then DispatcherLock for the trace.
    int32_t TakeBlock(void* block, int32_t length);
    /// Unread bytes the caller may still take. Thread: any; takes InputLock.
    int32_t InputCount();
    /// Bytes queued and not yet written to the device. Thread: any; takes OutputLock.
    int32_t OutputCount();
    int32_t OutputRoom();
    /// Empties the input ring and the driver's receive queue. @return DevicePurge(1).
    int32_t DiscardInput();
    /// Empties the output ring and the driver's transmit queue; waits for the output thread to
    /// leave its write first. @return DevicePurge(0).
    int32_t DiscardOutput() EXCLUDES(InputLock, DispatcherLock, OutputLock);
    /// Reads what the driver holds into the input ring, in at most two pieces.
    /// @return false when nothing waited; true when read, or when the ring is full (the bytes
    /// then wait in the driver). Thread: the dispatch thread; takes InputLock.
    bool FillInputRing();
    /// Adds the device's fresh line-error bits to LineErrorBits and refreshes the line status
    /// record. @return the fresh record. Takes OutputLock (inside DeviceErrors).
    COMSTAT RefreshLineStatus();

    // ---- Line and flow control ----
    /// parity 0 none, 1 odd, 2 even, 3 mark, 4 space, 5 keep; dataBits 5..8, 9 keep; stopBits 1
    /// or 2 (0 is 1, above 3 is 2), 3 keep; baud 0 keeps. Waits for the output to drain first
    /// when something changes. @return 0 or the negated platform error of the change.
    /// Thread: the user-interface thread; takes DispatcherLock (not during the drain).
    int32_t ChangeLineSettings(uint32_t baud, uint8_t parity, uint8_t dataBits, uint8_t stopBits);
    void GetLineSettings(uint32_t& baud, uint16_t& parity, uint8_t& dataBits, uint8_t& stopBits);
    /// Waits (at most 10 s) until the output ring has been written, then for 18 characters.
    void WaitOutputDrain() EXCLUDES(InputLock, DispatcherLock, OutputLock);
    /// Writes the DTR and RTS controls into `state`, applies it, sets both levels again.
    /// @return the result of SetDeviceState.
    int32_t ApplyDeviceState(DCB& state);
    /// @return 1 when the line is automatic (nothing changes), 0 when set, -1002 when the escape
    /// failed (the stored state has changed all the same).
    int32_t SetDtrLevel(bool on);
    int32_t SetRtsLevel(bool on);
    /// options 0x01 DTR handshake, 0x02 RTS handshake, 0x04 require DSR, 0x08 require CTS.
    /// @return -1002 for a full mark below the resume mark or above InSize; else ApplyDeviceState.
    int32_t HardwareFlowOn(uint16_t bufferFull, uint16_t bufferResume, uint8_t options);
    /// options 0x01 transmit side, 0x02 receive side. Results as HardwareFlowOn.
    int32_t SoftwareFlowOn(uint16_t bufferFull, uint16_t bufferResume, uint8_t options);
    int32_t SoftwareFlowOff();
    int32_t SetFlowChars(uint8_t xonChar, uint8_t xoffChar);
    void GetFlowOptions(uint8_t& hardware, uint8_t& software, uint8_t& xonChar, uint8_t& xoffChar);
    /// Reads the modem lines into ModemStatusByte, keeping its change bits (and marking a ring
    /// the device-event thread saw). @return the byte before `mask` is applied to it.
    /// Takes DispatcherLock.
    uint8_t ReadModemStatus(uint8_t mask);
    /// Sets the change bits of the modem lines that changed since the last read.
    /// Thread: the dispatch thread.
    void UpdateModemChanges();
    void OptionsOn(uint32_t bits);
    void OptionsOff(uint32_t bits);
    /// Output-thread priority 4 (off: 3) plus the boost; puts RTS into or out of toggling at
    /// once, so the transmitter is switched around every send.
    void SetRS485Mode(bool on);
    /// The first pending line error (kind 1, 2, 3, 4, 9 or 0); clears the bits 0x01..0x08.
    int32_t GetLineError();
    /// Whether a break was received; clears its bit.
    bool GetLineBreak();

    // ---- Event processing (the dispatch thread's cycle) ----
    /// Line events first (modem and line status), then the fill, then status and data triggers
    /// and availability; at the end the device-event thread may wait again. A close asked for
    /// inside a handler ends the step at once. Thread: the dispatch thread.
    void ProcessLineEvent();
    /// Status and timer triggers, again and again while notifications are delivered whole.
    /// Thread: the dispatch thread.
    void ProcessTimers();
    /// How long the dispatch thread may wait for a line event before it looks again: the 50 ms of
    /// its poll while anything depends on time passing (a timer counting, a status trigger armed,
    /// received bytes not yet taken, a handler just added), else a second; the calls that start
    /// any of these wake it. Thread: the dispatch thread.
    DWORD DispatchWaitMs();
    static constexpr DWORD kDispatchPollMs = 50;
    static constexpr DWORD kDispatchIdleMs = 1000;
    /// Has the dispatch thread look again at once, for something that needs its poll now.
    void WakeDispatchThread();
    /// Delivers one notification to the method, procedure and window handlers, in that order,
    /// with lParam = dispatcher handle * 65536 + data. Inside an availability or data notification
    /// every handler reads from the same start, and the tail advances afterwards by the most any
    /// one handler took. @return false when a handler closed the port, or when an availability
    /// notification was not taken whole; true otherwise (also when no handler is registered).
    /// Thread: the dispatch thread; holds no lock while a handler runs.
    bool NotifyHandlers(UINT message, WPARAM wParam, int32_t data)
        EXCLUDES(InputLock, DispatcherLock, OutputLock);
    /// The first active timer that has expired is stopped and notified. @return the delivery's
    /// result, false when none expired. Thread: the dispatch thread.
    bool CheckTimerTriggers();
    /// The first armed status trigger whose condition holds fires (once per pass).
    /// @return the delivery's result, false when none fired. Thread: the dispatch thread.
    bool CheckStatusTriggers();
    /// Runs the data triggers over the bytes that arrived since the last scan and offers the
    /// unread bytes to availability handlers, at most once per arrival.
    /// @return the result of the last delivery, false when nothing fired.
    /// Thread: the dispatch thread.
    bool CheckReceivedData();
    /// One received byte against a data trigger's partial matches. @return true when the byte
    /// completes the string (every partial match is then cleared).
    static bool MatchDataByte(TDataTrigger& trigger, uint8_t byte);

    // ---- Triggers (each that changes them takes DispatcherLock) ----
    /// Handle of the availability trigger; timer and data handles are multiples of 8 from 8.
    static constexpr int32_t kAvailTrigger = 1;
    /// The longest timer duration in ticks: the largest count below 2^31 milliseconds.
    static constexpr int32_t kMaxTimerTicks = 39045157;
    /// The tick count (milliseconds / 55) starts at 0 again after this many ticks, with the
    /// 32-bit millisecond clock.
    static constexpr int32_t kTickWrap = static_cast<int32_t>(0xFFFFFFFFu / 55u + 1u);
    /// Unread bytes at which availability notifications come; 0 switches them off.
    void SetAvailLength(int32_t length);
    int32_t GetAvailLength();
    /// Adds an inactive timer trigger. @return its handle, or -5001 when no handle is free.
    int32_t NewTimerTrigger();
    /// activate: (re)starts the timer with `ticks` (0: the duration set before), at most
    /// kMaxTimerTicks; else stops it. @return 0, or -5003 when `handle` is no timer trigger.
    int32_t ArmTimerTrigger(int32_t handle, int32_t ticks, bool activate);
    /// Removes a trigger; handle 1 switches availability off. @return 0, or -5003 when unknown.
    int32_t DisposeTrigger(int32_t handle);
    /// Switches availability off, frees every trigger and starts the handle numbering again.
    void ClearAllTriggers();
    /// Replaces the snapshot's contents by the current threshold and copies of every trigger.
    void SaveTriggers(TTriggerSnapshot& snapshot);
    /// Replaces the threshold and the triggers by copies of the snapshot's; handles come back
    /// unchanged and the handle numbering is left as it is.
    void RestoreTriggers(const TTriggerSnapshot& snapshot);
    /// Empties the snapshot's lists (they then count as never taken).
    static void FreeSnapshot(TTriggerSnapshot& snapshot);
    /// Watches for `data` (1 to 22 bytes; with `ignoreCase` received letters are compared upper
    /// case, and the string is stored so). @return the handle, -5002 for a longer string, -1002 for
    /// an empty one, -5001 when no handle is free.
    int32_t AddDataTrigger(const std::string& data, bool ignoreCase);
    /// Adds an armed status trigger of `kind` (stModem .. stOutSent) watching `value` (kind 1: low
    /// byte reference line states, high byte the lines to watch; kind 2: line-error bits; kinds 3
    /// and 4: a byte count). @return the handle (kind in its low three bits), -1002 for an unknown
    /// kind, -5001 when no handle is free.
    int32_t AddStatusTrigger(int32_t kind, uint16_t value);
    /// Arms a status trigger again with a new value. @return 0, or -5003 when `handle` is none.
    int32_t SetStatusTrigger(int32_t handle, uint16_t value, bool activate);

    // ---- Handlers ----
    void AddWindowHandler(HWND window);
    void RemoveWindowHandler(HWND window);
    /// The window told (MsgDeviceGone, posted) when the device goes; nullptr tells nobody. A
    /// device that went before a window was named is told to the window named next, so a loss
    /// during the open is not missed. Thread: the user-interface thread; takes GoneLock.
    void SetDeviceGoneWindow(HWND window);
    /// Whether the device has gone since the open. Thread: any.
    bool IsDeviceGone() const { return DeviceGone.load(); }
    void AddProcedureHandler(TApdNotifyProc proc);
    void RemoveProcedureHandler(TApdNotifyProc proc);
    /// With `onUserThread` the method runs on the user-interface thread: the dispatch thread
    /// hands each notification over and waits until the method has returned.
    void AddMethodHandler(TApdNotifyMethod method, bool onUserThread = false);
    void RemoveMethodHandler(TApdNotifyMethod method);
    /// Whether this very method (code and object) is registered and not removed.
    bool MethodHandlerLive(const TApdNotifyMethod& method);

    // ---- Trace and dispatch log (each takes DispatcherLock) ----
    /// @return 0, or -1002 for a size above the trace's largest.
    int32_t StartTracing(int32_t size);
    void StopTracing();
    void ClearTracing();
    void AbortTracing();
    void ResumeTracing();
    /// Writes the trace to `name` and frees it. @return 0 or the negated file error.
    int32_t DumpTrace(const std::string& name, bool append, bool inHex, bool allHex);
    void StartDispatchLogging(uint32_t size);
    void StopDispatchLogging();
    void ClearDispatchLogging();
    void AbortDispatchLogging();
    void ResumeDispatchLogging();
    /// Writes the dispatch log to `name` and frees it. @return 0 or the negated file error.
    int32_t DumpDispatchLog(const std::string& name, bool append, bool inHex, bool allHex);
    /// Adds a dispatch-log entry when logging is on (packet detector events and the like).
    void AddDispatchEntry(uint8_t type, uint8_t subtype, uint32_t data, const void* bytes, uint32_t length);

    // ---- Identity and state, for the port and the device layer ----
    int32_t Handle() const { return DispatcherHandle; }
    TApdCustomComPort* Owner() const { return OwnerPort; }
    void SetDeviceName(const std::string& name) { DeviceName = name; }
    HANDLE ComHandle() const { return DeviceHandle.load(); }
    uint8_t GetModemStatusByte() const { return ModemStatusByte.load(); }
    uint32_t GetLineErrorBits() const { return LineErrorBits.load(); }
    bool IsNotifying() const { return Notifying.load(); }
    bool IsCloseRequested() const { return CloseRequested.load(); }
    bool AreThreadsRunning() const { return ThreadsRunning.load(); }
    int32_t GetActiveThreads() const { return ActiveThreads.load(); }
    bool IsRS485Mode()
    {
        TLockGuard guard(DispatcherLock);
        return RS485Mode;
    }
    uint32_t GetOptionWord()
    {
        TLockGuard guard(DispatcherLock);
        return OptionWord;
    }
    bool Tracing();
    bool Logging();

protected:
    /// Closes (or finishes a close asked for inside a handler), then waits, keeping the calling
    /// thread's messages flowing, until every dispatcher thread has left, and unregisters. A
    /// device layer's destructor calls it first, while its device operations still exist; the
    /// base destructor runs it again, which then does nothing more.
    void DestroyDispatcher() EXCLUDES(InputLock, DispatcherLock, OutputLock);
    /// Copies `length` bytes from the tail plus `offset` into `to`; `newTail` gets the position
    /// after them. @return `length`, or -3007 when fewer bytes lie beyond the offset.
    int32_t CopyFromRing(int32_t offset, int32_t length, uint8_t* to, int32_t& newTail) REQUIRES(InputLock);
    /// Unread bytes of the input ring. @pre InputLock held.
    int32_t RingCount() const REQUIRES(InputLock);
    /// One piece of the fill: reads at RingHead, logs it, advances the head. @return bytes read.
    int32_t ReadPiece(int32_t count) REQUIRES(InputLock);
    /// Creates the signals of the threads. @return false when one cannot be made.
    bool CreateSignals();
    /// Closes every signal that is open.
    void CloseSignals();
    /// Frees both rings. @pre the dispatch thread is not running.
    void FreeRings();
    /// A fresh handle: NextTriggerNumber * 8 while it is below 4096, then the first multiple of 8
    /// up to 4096 that no trigger holds. @return the handle, or 0 when none is free.
    int32_t NextHandle() REQUIRES(DispatcherLock);
    enum TTriggerKind { tkNone, tkTimer, tkData, tkStatus };
    /// Finds the trigger of `handle` (0 and 1 are never found); with `remove` it is taken out of
    /// its list and the disposal logged. @return its kind, tkNone when not found.
    TTriggerKind FindTrigger(int32_t handle, bool remove) REQUIRES(DispatcherLock);
    /// Under DispatcherLock also on the dispatch thread: the user-interface thread changes the
    /// lists under it, and a change can move the records.
    void ResetStatusHits() REQUIRES(DispatcherLock);
    void ResetDataMatches() REQUIRES(DispatcherLock);
    /// Counts a thread that is about to start (called before it is created, so that a close that
    /// follows at once still waits for it).
    void ThreadStarting();
    /// Waits until the given thread reference is empty, at most `milliseconds` (INFINITE: no
    /// limit), keeping the calling thread's messages flowing; `kick`, when given, runs before each
    /// slice of the wait (to wake the thread again). @return true when it is empty.
    bool WaitThreadGone(const std::atomic<TThread*>& thread, DWORD milliseconds,
                        const std::function<void()>& kick = {})
        EXCLUDES(InputLock, DispatcherLock, OutputLock);
    /// The device has gone: marks it so and, the first time only, posts MsgDeviceGone with
    /// `error` to the window named by SetDeviceGoneWindow (or to the one named later). Never
    /// waits. Thread: the device-event thread; takes GoneLock.
    void ReportDeviceGone(DWORD error);

    // Identity: the owner and the handle are fixed by the constructor and read by every thread;
    // the name is the user-interface thread's (set before the open, read by the log dump).
    TApdCustomComPort* OwnerPort;
    int32_t DispatcherHandle = -1;
    std::string DeviceName;
    // Read by every thread; closed only under InputLock, so never while the dispatch thread reads.
    std::atomic<HANDLE> DeviceHandle{INVALID_HANDLE_VALUE};

    // Sizes, taken by OpenDispatcher before it starts the threads and fixed while they run; a
    // dispatcher is opened once.
    uint32_t InSize = 0;
    uint32_t OutSize = 0;

    // Status. LineErrorBits is added to under the buffer lock of the refreshing operation and
    // read and cleared under DispatcherLock; atomic so that those never tear.
    std::atomic<uint32_t> LineErrorBits{0};
    COMSTAT LineStatus GUARDED_BY(OutputLock){};
    // Written by OpenDispatcher before the threads start, then by the dispatch thread only.
    std::atomic<uint8_t> ModemStatusByte{0};
    DCB DeviceConfig GUARDED_BY(DispatcherLock){};
    uint32_t LastBaud GUARDED_BY(DispatcherLock) = 115200;
    // The control lines' levels and whether the driver drives them: read by every change of the
    // configuration record, which holds DispatcherLock.
    bool DtrState GUARDED_BY(DispatcherLock) = false;
    bool DtrAuto GUARDED_BY(DispatcherLock) = false;
    bool RtsState GUARDED_BY(DispatcherLock) = false;
    bool RtsAuto GUARDED_BY(DispatcherLock) = false;
    bool RS485Mode GUARDED_BY(DispatcherLock) = false;
    uint16_t UartBase GUARDED_BY(DispatcherLock) = 0;
    uint32_t OptionWord GUARDED_BY(DispatcherLock) = 0;
    // The priority setters reach the threads through their references under this lock too.
    uint8_t PriorityBoost GUARDED_BY(DispatcherLock) = 0;

    // Input ring: the dispatch thread fills it, consumers take bytes out.
    std::unique_ptr<uint8_t[]> InputRing GUARDED_BY(InputLock);
    int32_t RingHead GUARDED_BY(InputLock) = 0;
    int32_t RingTail GUARDED_BY(InputLock) = 0;
    bool RingFull GUARDED_BY(InputLock) = false;

    // Output ring: SendBlock queues, the output thread drains.
    std::unique_ptr<uint8_t[]> OutputBuffer GUARDED_BY(OutputLock);
    int32_t OutputHead GUARDED_BY(OutputLock) = 0;
    int32_t OutputTail GUARDED_BY(OutputLock) = 0;
    bool OutputFull GUARDED_BY(OutputLock) = false;

    std::atomic<bool> WriteDonePending{false};

    // Notification and trigger state.
    std::vector<TWindowHandler> WindowHandlers GUARDED_BY(DispatcherLock);
    std::vector<TProcedureHandler> ProcedureHandlers GUARDED_BY(DispatcherLock);
    std::vector<TMethodHandler> MethodHandlers GUARDED_BY(DispatcherLock);
    std::vector<TTimerTrigger> TimerTriggerList GUARDED_BY(DispatcherLock);
    std::vector<TDataTrigger> DataTriggerList GUARDED_BY(DispatcherLock);
    std::vector<TStatusTrigger> StatusTriggerList GUARDED_BY(DispatcherLock);
    int32_t AvailLength GUARDED_BY(DispatcherLock) = 0;
    // Ring positions of the last data scan and availability offer: the dispatch thread's scan
    // moves them, OpenDispatcher puts them back to the start.
    int32_t ScanPosition GUARDED_BY(InputLock) = 0;
    int32_t LastAvailHead GUARDED_BY(InputLock) = 0;
    // A fill has added bytes since the last scan of the data triggers and since the last
    // availability offer: a fill that goes a whole lap leaves the head where it was.
    bool FilledSinceScan GUARDED_BY(InputLock) = false;
    bool FilledSinceOffer GUARDED_BY(InputLock) = false;
    // A handler was added: the unread bytes are offered again at the next pass, also when they
    // were offered before it came (to nobody, perhaps) and no byte can arrive any more because
    // they fill the ring.
    std::atomic<bool> OfferAgain{false};
    // In RS485 mode, whether the flow options ask for the RTS handshake: RTS switches the
    // transmitter while the mode lasts and goes back to the handshake when it ends.
    std::atomic<bool> RtsHandshakeWanted{false};
    int32_t NextTriggerNumber GUARDED_BY(DispatcherLock) = 1;
    // A status trigger fired in this pass: the dispatch thread sets and clears it beside the
    // records' Hit marks, under the lock of the records.
    bool StatusHitSeen GUARDED_BY(DispatcherLock) = false;
    std::atomic<bool> HandlersNeeded{false};
    bool PortWindowWanted GUARDED_BY(DispatcherLock) = false;
    bool InAvailNotice GUARDED_BY(InputLock) = false;
    int32_t TakenInNotice GUARDED_BY(InputLock) = 0;
    int32_t MostTakenInNotice GUARDED_BY(InputLock) = 0;
    std::atomic<bool> Notifying{false};
    bool PurgePending GUARDED_BY(DispatcherLock) = false;
    std::atomic<bool> CloseRequested{false};
    // The device has gone; set once, by ReportDeviceGone, and cleared by the next open.
    std::atomic<bool> DeviceGone{false};
    HWND GoneWindow GUARDED_BY(GoneLock) = nullptr;
    DWORD GoneError GUARDED_BY(GoneLock) = 0;
    bool GoneTold GUARDED_BY(GoneLock) = false;

    // Threads and synchronisation. The thread references are set by the starting thread and
    // cleared by each thread as it leaves (under DispatcherLock, through which the priority setters
    // reach the threads); the flags are read by the threads at their next check.
    std::atomic<TThread*> ComThread{nullptr};
    std::atomic<TThread*> DispThread{nullptr};
    std::atomic<TThread*> OutThread{nullptr};
    // Input ring, notice counters, scan positions, the device layer's read record. Taken first:
    // only the registry lock may be held (the port's window holds it while its handlers take
    // bytes). Under it: DispatcherLock (the read log, the data scan), OutputLock (the line status
    // of the fill) and the platform's calls (the device read, the purge, the close).
    TReentrantLock InputLock ACQUIRED_BEFORE(DispatcherLock, OutputLock);
    // Settings, line levels, triggers, handlers, trace, log, signals. May be taken under
    // InputLock, never under OutputLock or GoneLock. Under it: OutputLock (the output counts of
    // the status triggers), TThread's lock (priorities, StartThreads) and the platform's calls
    // (device state, escapes, events).
    TReentrantLock DispatcherLock ACQUIRED_BEFORE(OutputLock);
    // Output ring, line status record, purge count. May be taken under InputLock or
    // DispatcherLock; under it only the platform's calls (the error query, the purge, the wake of
    // the output thread), no other dispatcher lock.
    TReentrantLock OutputLock;
    // The window told of a gone device, and whether it has been told. Taken last: any lock may be
    // held when it is taken, none is taken and nothing is waited for under it (a post never waits).
    TReentrantLock GoneLock ACQUIRED_AFTER(InputLock, DispatcherLock, OutputLock);
    // The six signals: created by OpenDispatcher before the threads start and closed only once
    // every thread has left, so the threads read the handles without a lock.
    HANDLE LineEventSignal = nullptr;
    HANDLE DispatchDoneSignal = nullptr;
    HANDLE ThreadAckSignal = nullptr;
    HANDLE OutputReadySignal = nullptr;
    HANDLE WriteCompleteSignal = nullptr;
    HANDLE OutputFlushSignal = nullptr;
    HANDLE OutputWaitObjects[2] = {}; // OutputReadySignal, OutputFlushSignal
    HANDLE SentWaitObjects[2] = {};   // WriteCompleteSignal, OutputFlushSignal
    std::atomic<bool> StopRequested{false};
    std::atomic<bool> ThreadsRunning{false};
    std::atomic<bool> ReleaseOnExit{false};
    std::atomic<int32_t> ActiveThreads{0};
    std::atomic<DWORD> LastEventMask{0};
    std::atomic<bool> RingSeen{false};
    std::shared_ptr<TThreadExitGate> ExitGate;
    bool FReleased = false; // DestroyDispatcher has closed

    // Trace and dispatch log.
    TTraceBuffer Trace GUARDED_BY(DispatcherLock);
    TDispatchLog DispatchLog GUARDED_BY(DispatcherLock);
};
