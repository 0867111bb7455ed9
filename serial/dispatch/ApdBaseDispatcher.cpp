// The dispatcher's life (creation, opening, closing, destruction, thread bookkeeping) and its data
// path: the input ring the dispatch thread fills, the output ring SendBlock queues into.
#include "serial/dispatch/ApdBaseDispatcher.h"

#include "runtime/Thread.h"
#include "runtime/Wait.h"
#include "serial/dispatch/DeviceRegistry.h"
#include "serial/log/Clock.h"

#include <algorithm>
#include <cstring>
#include <new>

namespace
{

// A waiter that misses the exit gate's signal (another waiter took it) still looks again this
// often; the threads' own signal normally ends the wait at once.
constexpr DWORD kGoneRecheckMs = 100;

} // namespace

TThreadExitGate::TThreadExitGate() : FEvent(CreateEventA(nullptr, FALSE, FALSE, nullptr)) {}

TThreadExitGate::~TThreadExitGate()
{
    if (FEvent)
        CloseHandle(FEvent);
}

void TThreadExitGate::Enter() { FEntered.fetch_add(1); }

void TThreadExitGate::Leave()
{
    FLeft.fetch_add(1);
    if (FEvent)
        SetEvent(FEvent);
}

bool TThreadExitGate::AllLeft() const { return FLeft.load() >= FEntered.load(); }

// ---- Creation and destruction -----------------------------------------------------------------

TApdBaseDispatcher::TApdBaseDispatcher(TApdCustomComPort* owner)
    : OwnerPort(owner), ExitGate(std::make_shared<TThreadExitGate>())
{
    DispatcherHandle = DeviceRegistry::Add(this);
    TLockGuard guard(DispatcherLock);
    NextTriggerNumber = 1;
}

TApdBaseDispatcher::~TApdBaseDispatcher()
{
    // A device layer has normally done this in its own destructor (its device operations are
    // gone by now); what is left here is the release of a dispatcher that was never opened.
    DestroyDispatcher();
}

void TApdBaseDispatcher::DestroyDispatcher()
{
    if (!FReleased) {
        FReleased = true;
        if (CloseRequested)
            ShutdownDispatcher();
        else
            CloseDispatcher();
    }
    // The threads may still be handing calls to this thread (a sent message, Synchronize) while
    // they leave: keep its messages flowing until the last one is out. The gate outlives us, so
    // the last thread can signal it even after this object is gone.
    std::shared_ptr<TThreadExitGate> gate = ExitGate;
    while (!gate->AllLeft())
        WaitUntilPumping([&gate] { return gate->AllLeft(); }, gate->Event(), kGoneRecheckMs);

    DeviceRegistry::Remove(this);
    CloseSignals();
    FreeRings();
    TLockGuard guard(DispatcherLock);
    TimerTriggerList.clear();
    DataTriggerList.clear();
    StatusTriggerList.clear();
    WindowHandlers.clear();
    ProcedureHandlers.clear();
    MethodHandlers.clear();
}

// ---- Opening and closing ------------------------------------------------------------------------

bool TApdBaseDispatcher::CreateSignals()
{
    LineEventSignal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    DispatchDoneSignal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    ThreadAckSignal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OutputReadySignal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    WriteCompleteSignal = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    OutputFlushSignal = CreateEventA(nullptr, FALSE, FALSE, nullptr);
    OutputWaitObjects[0] = OutputReadySignal;
    OutputWaitObjects[1] = OutputFlushSignal;
    SentWaitObjects[0] = WriteCompleteSignal;
    SentWaitObjects[1] = OutputFlushSignal;
    return LineEventSignal && DispatchDoneSignal && ThreadAckSignal && OutputReadySignal &&
           WriteCompleteSignal && OutputFlushSignal;
}

void TApdBaseDispatcher::CloseSignals()
{
    TLockGuard guard(DispatcherLock);
    for (HANDLE* signal : {&LineEventSignal, &DispatchDoneSignal, &ThreadAckSignal, &OutputReadySignal,
                           &WriteCompleteSignal, &OutputFlushSignal}) {
        if (*signal && CloseHandle(*signal))
            *signal = nullptr;
    }
    OutputWaitObjects[0] = OutputWaitObjects[1] = nullptr;
    SentWaitObjects[0] = SentWaitObjects[1] = nullptr;
}

void TApdBaseDispatcher::FreeRings()
{
    TLockGuard input(InputLock);
    TLockGuard output(OutputLock);
    InputRing.reset();
    OutputBuffer.reset();
    RingHead = RingTail = 0;
    RingFull = false;
    OutputHead = OutputTail = 0;
    OutputFull = false;
}

int32_t TApdBaseDispatcher::OpenDispatcher(const std::string& path, uint32_t baud, uint8_t parity,
                                           uint8_t dataBits, uint8_t stopBits, uint16_t inSize,
                                           uint16_t outSize, uint8_t options)
{
    RingSeen = false;
    FreeRings();
    Notifying = false;
    {
        TLockGuard guard(DispatcherLock);
        PurgePending = false;
    }

    // Without its signals no thread could run; a missing one is as good as no memory.
    if (!CreateSignals()) {
        CloseSignals();
        return ecOutOfMemory;
    }

    int32_t opened = OpenDevice(path, inSize, outSize);
    if (opened < 0) {
        DWORD error = GetLastError();
        int32_t result =
            opened == ecOutOfMemory ? ecOutOfMemory : (error ? -static_cast<int32_t>(error) : -1);
        CloseDispatcher();
        CloseSignals();
        return result;
    }

    if (!SetupDeviceQueues(inSize, outSize)) {
        DWORD error = GetLastError();
        CloseDispatcher();
        CloseSignals();
        return error ? -static_cast<int32_t>(error) : -1;
    }

    {
        TLockGuard input(InputLock);
        TLockGuard output(OutputLock);
        InputRing.reset(new (std::nothrow) uint8_t[kInputRingSize]());
        OutputBuffer.reset(new (std::nothrow) uint8_t[std::max<uint32_t>(outSize, 1)]());
        OutputHead = OutputTail = 0;
        OutputFull = false;
        RingFull = false;
        TakenInNotice = 0;
    }
    bool allocated;
    {
        TLockGuard input(InputLock);
        TLockGuard output(OutputLock);
        allocated = InputRing && OutputBuffer;
    }
    if (!allocated) {
        CloseDispatcher();
        CloseSignals();
        return ecOutOfMemory;
    }
    InSize = inSize;
    OutSize = outSize;
    LineErrorBits = 0;
    WriteDonePending = false;
    CloseRequested = false;
    {
        TLockGuard gone(GoneLock);
        DeviceGone = false;
        GoneTold = false;
        GoneError = 0;
    }
    {
        TLockGuard guard(DispatcherLock);
        RS485Mode = false;
        UartBase = 0;
        GetDeviceState(DeviceConfig);

        if (options & kOptionDtrAuto) {
            DtrAuto = true;
        } else {
            DtrAuto = false;
            SetDtrLevel(options & kOptionDtrOn);
        }
        if (options & kOptionRtsAuto) {
            RtsAuto = true;
        } else {
            RtsAuto = false;
            SetRtsLevel(options & kOptionRtsOn);
        }
    }

    ClearAllTriggers();
    {
        TLockGuard input(InputLock);
        ScanPosition = 0;
        RingHead = RingTail = 0;
        InAvailNotice = false;
        FilledSinceScan = false;
        FilledSinceOffer = false;
        LastAvailHead = 0;
    }
    ModemStatusByte = 0;
    ReadModemStatus(0xF0);
    {
        TLockGuard guard(DispatcherLock);
        ResetStatusHits();
        LastBaud = 115200;
    }

    int32_t result = ChangeLineSettings(baud, parity, dataBits, stopBits);
    if (result != 0) {
        CloseDispatcher();
        CloseSignals();
        return result;
    }

    RefreshLineStatus();

    {
        TLockGuard guard(DispatcherLock);
        Trace.Discard();
        DispatchLog.Discard();
        DispatchLog.SetStartTime(MillisecondClock());
    }

    StartThreads();
    return ecOK;
}

void TApdBaseDispatcher::CloseDispatcher()
{
    if (DeviceHandle != INVALID_HANDLE_VALUE) {
        DiscardOutput();
        DiscardInput();
        CloseDevice();
    }
    if (Notifying) {
        // A handler is running: the dispatch thread releases threads and rings as it leaves.
        CloseRequested = true;
        return;
    }
    ShutdownDispatcher();
}

void TApdBaseDispatcher::ShutdownDispatcher()
{
    ReleaseOnExit = false;
    if (ThreadsRunning)
        StopThreads();
    // The rings stay while the dispatch thread may still read or fill them; it frees them itself
    // when it leaves (ReleaseOnExit), or the destructor does once every thread has gone.
    if (!DispThread.load())
        FreeRings();
}

void TApdBaseDispatcher::ThreadStarting()
{
    ActiveThreads.fetch_add(1);
    ExitGate->Enter();
}

void TApdBaseDispatcher::ThreadFinished(TThread* thread)
{
    std::shared_ptr<TThreadExitGate> gate = ExitGate;
    bool dispatchThread = false;
    {
        // The thread frees itself right after this call: the priority setters reach it through
        // its reference under DispatcherLock, so the reference goes under that lock too.
        TLockGuard guard(DispatcherLock);
        TThread* expected = thread;
        if (!ComThread.compare_exchange_strong(expected, nullptr)) {
            expected = thread;
            if (!OutThread.compare_exchange_strong(expected, nullptr)) {
                expected = thread;
                dispatchThread = DispThread.compare_exchange_strong(expected, nullptr);
            }
        }
    }
    if (dispatchThread && ReleaseOnExit) {
        ShutdownDispatcher();
        ReleaseOnExit = false;
    }
    if (ActiveThreads.fetch_sub(1) == 1)
        ThreadsRunning = false;
    // From here on the dispatcher may be destroyed at any moment: only the gate may be touched.
    gate->Leave();
}

bool TApdBaseDispatcher::WaitThreadGone(const std::atomic<TThread*>& thread, DWORD milliseconds,
                                        const std::function<void()>& kick)
{
    std::shared_ptr<TThreadExitGate> gate = ExitGate;
    DWORD start = GetTickCount();
    for (;;) {
        if (!thread.load())
            return true;
        DWORD slice = kGoneRecheckMs;
        if (milliseconds != INFINITE) {
            DWORD spent = GetTickCount() - start;
            if (spent >= milliseconds)
                return false;
            slice = std::min(slice, milliseconds - spent);
        }
        if (kick)
            kick();
        WaitUntilPumping([&thread] { return thread.load() == nullptr; }, gate->Event(), slice);
    }
}

// ---- Priorities and handler need --------------------------------------------------------------------

void TApdBaseDispatcher::SetPriorityBoost(uint8_t boost)
{
    TLockGuard guard(DispatcherLock);
    if (boost == PriorityBoost)
        return;
    PriorityBoost = boost;
    if (TThread* thread = ComThread.load())
        thread->SetPriority(tpNormal + boost);
    if (TThread* thread = DispThread.load())
        thread->SetPriority(tpNormal + boost);
    if (TThread* thread = OutThread.load())
        thread->SetPriority((RS485Mode ? tpHigher : tpNormal) + boost);
}

void TApdBaseDispatcher::UpdateHandlerNeed(int32_t mode)
{
    TLockGuard guard(DispatcherLock);
    bool others = WindowHandlers.size() > 1 || !ProcedureHandlers.empty() || !MethodHandlers.empty();
    switch (mode) {
    case 0:
        HandlersNeeded = others || PortWindowWanted;
        break;
    case 1:
        PortWindowWanted = true;
        HandlersNeeded = true;
        break;
    case 2:
        PortWindowWanted = false;
        HandlersNeeded = others;
        break;
    default:
        break;
    }
}

// ---- The input ring ------------------------------------------------------------------------------

int32_t TApdBaseDispatcher::RingCount() const
{
    if (RingHead == RingTail)
        return RingFull ? kInputRingSize : 0;
    if (RingTail < RingHead)
        return RingHead - RingTail;
    return RingHead + kInputRingSize - RingTail;
}

int32_t TApdBaseDispatcher::CopyFromRing(int32_t offset, int32_t length, uint8_t* to, int32_t& newTail)
{
    int32_t available = RingCount() - offset;
    int32_t start = RingTail + offset;
    if (start >= kInputRingSize)
        start -= kInputRingSize;
    if (length > available)
        return ecBufferIsEmpty;
    if (length == 0) {
        newTail = start;
        return 0;
    }
    if (start + length < kInputRingSize) {
        std::memcpy(to, InputRing.get() + start, static_cast<size_t>(length));
        newTail = start + length;
    } else {
        int32_t first = kInputRingSize - start;
        std::memcpy(to, InputRing.get() + start, static_cast<size_t>(first));
        std::memcpy(to + first, InputRing.get(), static_cast<size_t>(length - first));
        newTail = length - first;
    }
    return length;
}

int32_t TApdBaseDispatcher::TakeBlock(void* block, int32_t length)
{
    if (length < 0 || (length > 0 && !block))
        return ecBadArgument;
    auto* to = static_cast<uint8_t*>(block);
    int32_t result;
    {
        TLockGuard guard(InputLock);
        int32_t newTail = RingTail;
        if (!InputRing) {
            result = length == 0 ? 0 : ecBufferIsEmpty;
        } else if (InAvailNotice) {
            result = CopyFromRing(TakenInNotice, length, to, newTail);
            if (result > 0)
                TakenInNotice += result;
        } else {
            result = CopyFromRing(0, length, to, newTail);
            // A take of nothing must not clear RingFull: a full ring would then read as empty.
            if (result > 0) {
                RingTail = newTail;
                RingFull = false;
            }
        }
    }
    if (result > 0) {
        TLockGuard guard(DispatcherLock);
        if (Trace.Active())
            Trace.Record(kTraceReceive, to, result);
    }
    return result;
}

int32_t TApdBaseDispatcher::InputCount()
{
    TLockGuard guard(InputLock);
    int32_t count = RingCount();
    if (InAvailNotice)
        count -= TakenInNotice;
    return count;
}

bool TApdBaseDispatcher::FillInputRing()
{
    TLockGuard guard(InputLock);
    if (!InputRing)
        return false;
    if (RingFull)
        return true;

    COMSTAT status = RefreshLineStatus();
    int32_t waiting = static_cast<int32_t>(std::min<DWORD>(status.cbInQue, kInputRingSize));
    if (waiting == 0)
        return false;

    int32_t free, first;
    if (RingHead == RingTail) {
        free = kInputRingSize;
        first = kInputRingSize - RingHead;
    } else if (RingTail < RingHead) {
        free = RingTail + kInputRingSize - RingHead;
        first = kInputRingSize - RingHead;
    } else {
        free = first = RingTail - RingHead;
    }
    int32_t wanted = std::min(free, waiting);
    int32_t second = first < wanted ? wanted - first : 0;

    int32_t read = ReadPiece(first);
    if (read < first)
        second = 0;
    if (RingHead == kInputRingSize)
        RingHead = 0;
    if (read != 0)
        RingFull = RingHead == RingTail;

    if (second != 0) {
        read += ReadPiece(second);
        RingFull = RingHead == RingTail;
    }
    if (read > 0) {
        FilledSinceScan = true;
        FilledSinceOffer = true;
    }
    return true;
}

int32_t TApdBaseDispatcher::ReadPiece(int32_t count)
{
    int32_t read = DeviceRead(InputRing.get() + RingHead, count);
    if (read < 0) {
        // This device layer reports failures as 0 bytes; a negative count would move the head
        // backwards over unread bytes, so it counts as nothing read.
        ReadFailed(-1);
        read = 0;
    }
    read = std::min(read, count);
    {
        TLockGuard guard(DispatcherLock);
        if (DispatchLog.Active())
            DispatchLog.RecordDispatchEvent(dtDispatch, dstReadCom, static_cast<uint32_t>(read),
                                            read ? InputRing.get() + RingHead : nullptr,
                                            static_cast<uint32_t>(read));
    }
    RingHead += read;
    return read;
}

int32_t TApdBaseDispatcher::DiscardInput()
{
    TLockGuard guard(InputLock);
    int32_t result = DevicePurge(1);
    if (InAvailNotice) {
        MostTakenInNotice = RingCount();
    } else {
        RingTail = RingHead;
        TakenInNotice = 0;
    }
    RingFull = false;
    {
        // The user-interface thread may be adding a data trigger meanwhile, which can move the
        // records: the walk takes the lock that the list changes hold.
        TLockGuard guard(DispatcherLock);
        ResetDataMatches();
    }
    return result;
}

COMSTAT TApdBaseDispatcher::RefreshLineStatus()
{
    COMSTAT status{};
    uint32_t errors = DeviceErrors(status);
    LineErrorBits.fetch_or(errors & kErrorBits);
    TLockGuard guard(OutputLock);
    LineStatus = status;
    return status;
}

// ---- The output ring -----------------------------------------------------------------------------

int32_t TApdBaseDispatcher::OutputCount()
{
    TLockGuard guard(OutputLock);
    return static_cast<int32_t>(RefreshLineStatus().cbOutQue);
}

int32_t TApdBaseDispatcher::OutputRoom()
{
    TLockGuard guard(OutputLock);
    return static_cast<int32_t>(OutSize) - OutputCount();
}

int32_t TApdBaseDispatcher::DiscardOutput() { return DevicePurge(0); }

int32_t TApdBaseDispatcher::SendBlock(const void* block, int32_t length)
{
    if (length == 0)
        return ecOK;
    if (length < 0 || !block)
        return ecBadArgument;
    const auto* from = static_cast<const uint8_t*>(block);
    int32_t result = ecOK;
    int32_t written;
    {
        TLockGuard guard(OutputLock);
        if (!OutputBuffer)
            return ecOutputBufferTooSmall;
        COMSTAT status{};
        LineErrorBits = DeviceErrors(status);
        LineStatus = status;
        int32_t free = static_cast<int32_t>(OutSize) - static_cast<int32_t>(status.cbOutQue);
        if (length > free)
            return ecOutputBufferTooSmall;
        if (length == free)
            OutputFull = true;
        // Linux drivers switch the RS485 transmitter themselves (as the Windows NT family does),
        // so RTS is never raised here.
        written = DeviceWrite(from, length);
        if (written <= 0) {
            written = -written;
            result = ecCantWriteBlock;
            LineErrorBits = DeviceErrors(status);
            LineStatus = status;
        }
        WriteDonePending = true;
    }
    TLockGuard guard(DispatcherLock);
    if (DispatchLog.Active())
        DispatchLog.RecordDispatchEvent(dtDispatch, dstWriteCom, static_cast<uint32_t>(written),
                                        written ? from : nullptr, static_cast<uint32_t>(written));
    if (Trace.Active() && written != 0)
        Trace.Record(kTraceTransmit, from, written);
    return result;
}

// ---- Handlers -------------------------------------------------------------------------------------

void TApdBaseDispatcher::AddWindowHandler(HWND window)
{
    TLockGuard guard(DispatcherLock);
    WindowHandlers.push_back({window, false});
    HandlersNeeded = true;
    OfferAgain = true;
    WakeDispatchThread();
    if (DispatchLog.Active())
        DispatchLog.RecordDispatchEvent(dtTriggerHandlerAlloc, dstWindow,
                                        static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window)), nullptr,
                                        0);
}

void TApdBaseDispatcher::SetDeviceGoneWindow(HWND window)
{
    TLockGuard guard(GoneLock);
    GoneWindow = window;
    if (window && DeviceGone && !GoneTold) {
        GoneTold = true;
        PostMessageA(window, MsgDeviceGone, GoneError, static_cast<LPARAM>(DispatcherHandle) << 16);
    }
}

void TApdBaseDispatcher::ReportDeviceGone(DWORD error)
{
    // Posted, not sent: the device-event thread must not wait for the user-interface thread,
    // which may at this moment be closing the port and waiting for this very thread.
    TLockGuard guard(GoneLock);
    if (DeviceGone)
        return;
    DeviceGone = true;
    GoneError = error;
    if (GoneWindow) {
        GoneTold = true;
        PostMessageA(GoneWindow, MsgDeviceGone, error, static_cast<LPARAM>(DispatcherHandle) << 16);
    }
}

void TApdBaseDispatcher::RemoveWindowHandler(HWND window)
{
    TLockGuard guard(DispatcherLock);
    auto it = std::find_if(WindowHandlers.begin(), WindowHandlers.end(),
                           [window](const TWindowHandler& h) { return h.Window == window && !h.Removed; });
    if (it != WindowHandlers.end()) {
        if (DispatchLog.Active())
            DispatchLog.RecordDispatchEvent(dtTriggerHandlerDispose, dstWindow,
                                            static_cast<uint32_t>(reinterpret_cast<uintptr_t>(window)),
                                            nullptr, 0);
        if (Notifying) {
            it->Removed = true;
            PurgePending = true;
        } else {
            WindowHandlers.erase(it);
        }
    }
    UpdateHandlerNeed(0);
}

void TApdBaseDispatcher::AddProcedureHandler(TApdNotifyProc proc)
{
    TLockGuard guard(DispatcherLock);
    ProcedureHandlers.push_back({proc, false});
    HandlersNeeded = true;
    OfferAgain = true;
    WakeDispatchThread();
    if (DispatchLog.Active())
        DispatchLog.RecordDispatchEvent(dtTriggerHandlerAlloc, dstProcedure, 0, nullptr, 0);
}

void TApdBaseDispatcher::RemoveProcedureHandler(TApdNotifyProc proc)
{
    TLockGuard guard(DispatcherLock);
    auto it = std::find_if(ProcedureHandlers.begin(), ProcedureHandlers.end(),
                           [proc](const TProcedureHandler& h) { return h.Proc == proc && !h.Removed; });
    if (it != ProcedureHandlers.end()) {
        if (DispatchLog.Active())
            DispatchLog.RecordDispatchEvent(dtTriggerHandlerDispose, dstProcedure, 0, nullptr, 0);
        if (Notifying) {
            it->Removed = true;
            PurgePending = true;
        } else {
            ProcedureHandlers.erase(it);
        }
    }
    UpdateHandlerNeed(0);
}

void TApdBaseDispatcher::AddMethodHandler(TApdNotifyMethod method, bool onUserThread)
{
    TLockGuard guard(DispatcherLock);
    MethodHandlers.push_back({method, false, onUserThread});
    HandlersNeeded = true;
    OfferAgain = true;
    WakeDispatchThread();
    if (DispatchLog.Active())
        DispatchLog.RecordDispatchEvent(dtTriggerHandlerAlloc, dstMethod, 0, nullptr, 0);
}

bool TApdBaseDispatcher::MethodHandlerLive(const TApdNotifyMethod& method)
{
    TLockGuard guard(DispatcherLock);
    return std::any_of(MethodHandlers.begin(), MethodHandlers.end(), [&method](const TMethodHandler& h) {
        return h.Method.Code == method.Code && h.Method.Object == method.Object && !h.Removed;
    });
}

void TApdBaseDispatcher::RemoveMethodHandler(TApdNotifyMethod method)
{
    TLockGuard guard(DispatcherLock);
    auto it = std::find_if(MethodHandlers.begin(), MethodHandlers.end(), [&method](const TMethodHandler& h) {
        return h.Method.SameRoutine(method) && !h.Removed;
    });
    if (it != MethodHandlers.end()) {
        if (DispatchLog.Active())
            DispatchLog.RecordDispatchEvent(dtTriggerHandlerDispose, dstMethod, 0, nullptr, 0);
        if (Notifying) {
            it->Removed = true;
            PurgePending = true;
        } else {
            MethodHandlers.erase(it);
        }
    }
    UpdateHandlerNeed(0);
}

// ---- Trace and dispatch log ------------------------------------------------------------------------

int32_t TApdBaseDispatcher::StartTracing(int32_t size)
{
    TLockGuard guard(DispatcherLock);
    return Trace.Start(size);
}

void TApdBaseDispatcher::StopTracing()
{
    TLockGuard guard(DispatcherLock);
    Trace.Suspend();
}

void TApdBaseDispatcher::ClearTracing()
{
    TLockGuard guard(DispatcherLock);
    Trace.Reset();
}

void TApdBaseDispatcher::AbortTracing()
{
    TLockGuard guard(DispatcherLock);
    Trace.Discard();
}

void TApdBaseDispatcher::ResumeTracing()
{
    TLockGuard guard(DispatcherLock);
    Trace.Resume();
}

int32_t TApdBaseDispatcher::DumpTrace(const std::string& name, bool append, bool inHex, bool allHex)
{
    TLockGuard guard(DispatcherLock);
    return Trace.WriteTraceFile(name, append, inHex, allHex);
}

bool TApdBaseDispatcher::Tracing()
{
    TLockGuard guard(DispatcherLock);
    return Trace.Active();
}

void TApdBaseDispatcher::StartDispatchLogging(uint32_t size)
{
    TLockGuard guard(DispatcherLock);
    DispatchLog.Start(size, std::max(InSize, OutSize));
}

void TApdBaseDispatcher::StopDispatchLogging()
{
    TLockGuard guard(DispatcherLock);
    DispatchLog.Suspend();
}

void TApdBaseDispatcher::ClearDispatchLogging()
{
    TLockGuard guard(DispatcherLock);
    DispatchLog.Reset();
}

void TApdBaseDispatcher::AbortDispatchLogging()
{
    TLockGuard guard(DispatcherLock);
    DispatchLog.Discard();
}

void TApdBaseDispatcher::ResumeDispatchLogging()
{
    TLockGuard guard(DispatcherLock);
    DispatchLog.Resume();
}

int32_t TApdBaseDispatcher::DumpDispatchLog(const std::string& name, bool append, bool inHex, bool allHex)
{
    TLockGuard guard(DispatcherLock);
    return DispatchLog.WriteLogFile(name, append, inHex, allHex, DeviceName);
}

bool TApdBaseDispatcher::Logging()
{
    TLockGuard guard(DispatcherLock);
    return DispatchLog.Active();
}

void TApdBaseDispatcher::AddDispatchEntry(uint8_t type, uint8_t subtype, uint32_t data, const void* bytes,
                                          uint32_t length)
{
    TLockGuard guard(DispatcherLock);
    if (DispatchLog.Active())
        DispatchLog.RecordDispatchEvent(type, subtype, data, bytes, length);
}
