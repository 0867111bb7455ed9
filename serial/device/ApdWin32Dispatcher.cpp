// The device operations of a serial port over the Win32 communications calls, and the start and
// stop of the three I/O threads.
#include "serial/device/ApdWin32Dispatcher.h"

#include "runtime/Exception.h"

#include <algorithm>
#include <cstring>

namespace
{

constexpr DWORD kThreadReadyMs = 3000;
constexpr DWORD kFlushAckMs = 5000;
constexpr DWORD kDispatchStopMs = 36 * 55; // 36 ticks of the millisecond clock

} // namespace

TApdWin32Dispatcher::~TApdWin32Dispatcher() { DestroyDispatcher(); }

void TApdWin32Dispatcher::SetSignal(HANDLE& signal)
{
    // Signals are closed under DispatcherLock once the threads have gone; a stop running on two
    // threads must not set one that the other has just closed.
    TLockGuard guard(DispatcherLock);
    if (signal)
        SetEvent(signal);
}

// ---- Device operations ----------------------------------------------------------------------------

int32_t TApdWin32Dispatcher::DeviceEscape(DWORD function)
{
    EscapeCommFunction(DeviceHandle, function);
    return 0;
}

int32_t TApdWin32Dispatcher::DevicePurge(int32_t queue)
{
    BOOL purged;
    if (queue == 0) {
        if (OutThread.load()) {
            // The output thread acknowledges and leaves its write; a stale acknowledgement must
            // not stand in for it.
            ResetEvent(ThreadAckSignal);
            SetEvent(OutputFlushSignal);
            WaitForSingleObject(ThreadAckSignal, kFlushAckMs);
        }
        TLockGuard guard(OutputLock);
        OutputFull = false;
        OutputHead = OutputTail = 0;
        ++OutputGeneration;
        // Ends a write still pending before the ring's bytes can be overwritten.
        purged = PurgeComm(DeviceHandle, PURGE_TXABORT | PURGE_TXCLEAR);
    } else {
        purged = PurgeComm(DeviceHandle, PURGE_RXABORT | PURGE_RXCLEAR);
    }
    return purged ? 0 : -static_cast<int32_t>(GetLastError());
}

DWORD TApdWin32Dispatcher::OutputRingCount() const
{
    if (OutputFull)
        return OutSize;
    if (OutputTail < OutputHead)
        return static_cast<DWORD>(OutputHead - OutputTail);
    if (OutputTail > OutputHead)
        return static_cast<DWORD>(static_cast<int32_t>(OutSize) - OutputTail + OutputHead);
    return 0;
}

uint32_t TApdWin32Dispatcher::DeviceErrors(COMSTAT& status)
{
    DWORD errors = 0;
    COMSTAT fresh{};
    if (!ClearCommError(DeviceHandle, &errors, &fresh)) {
        // A device that has gone reports nothing waiting rather than whatever was last there.
        errors = 0;
        fresh = COMSTAT{};
    }
    status = fresh;
    TLockGuard guard(OutputLock);
    status.cbOutQue = OutputRingCount();
    return errors;
}

int32_t TApdWin32Dispatcher::ReadFailed(int32_t) { return 0; }

int32_t TApdWin32Dispatcher::GetDeviceState(DCB& state)
{
    DCB read = state;
    read.DCBlength = sizeof(DCB);
    if (!GetCommState(DeviceHandle, &read))
        return -1;
    state = read;
    return 0;
}

int32_t TApdWin32Dispatcher::DeviceRead(uint8_t* to, int32_t count)
{
    DWORD read = 0;
    if (!ReadFile(DeviceHandle, to, static_cast<DWORD>(count), &read, &ReadOverlapped)) {
        if (GetLastError() != ERROR_IO_PENDING ||
            !GetOverlappedResult(DeviceHandle, &ReadOverlapped, &read, TRUE))
            read = 0;
    }
    ResetEvent(ReadOverlapped.hEvent);
    return static_cast<int32_t>(std::min<DWORD>(read, static_cast<DWORD>(count)));
}

int32_t TApdWin32Dispatcher::SetDeviceState(DCB& state)
{
    state.DCBlength = sizeof(DCB);
    return SetCommState(DeviceHandle, &state) ? 0 : -static_cast<int32_t>(GetLastError());
}

int32_t TApdWin32Dispatcher::DeviceWrite(const uint8_t* from, int32_t count)
{
    {
        TLockGuard guard(OutputLock);
        auto size = static_cast<int32_t>(OutSize);
        int32_t room = size - OutputHead;
        if (room >= count) {
            std::memcpy(OutputBuffer.get() + OutputHead, from, static_cast<size_t>(count));
            OutputHead += count;
            if (OutputHead == size)
                OutputHead = 0;
        } else {
            std::memcpy(OutputBuffer.get() + OutputHead, from, static_cast<size_t>(room));
            std::memcpy(OutputBuffer.get(), from + room, static_cast<size_t>(count - room));
            OutputHead = count - room;
        }
    }
    SetEvent(OutputReadySignal);
    return count;
}

bool TApdWin32Dispatcher::WaitDeviceEvent(DWORD& mask, OVERLAPPED* overlapped)
{
    return WaitCommEvent(DeviceHandle, &mask, overlapped) != FALSE;
}

bool TApdWin32Dispatcher::SetupDeviceQueues(uint32_t inSize, uint32_t outSize)
{
    return SetupComm(DeviceHandle, inSize, outSize) != FALSE;
}

int32_t TApdWin32Dispatcher::OpenDevice(const std::string& path, uint32_t, uint32_t)
{
    HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                                FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE)
        return -1;
    // Reads return at once with what has arrived from the first moment on: the device-event
    // thread sets the same time-outs again, but a driver's own defaults wait for every byte asked
    // for, and the dispatch thread must never sit in such a read holding InputLock.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(handle, &timeouts);
    TLockGuard input(InputLock);
    ReadOverlapped = OVERLAPPED{};
    ReadOverlapped.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (!ReadOverlapped.hEvent) {
        CloseHandle(handle);
        return ecOutOfMemory;
    }
    DeviceHandle = handle;
    return 0;
}

int32_t TApdWin32Dispatcher::CloseDevice()
{
    if (ThreadsRunning) {
        StopRequested = true;
        SetCommMask(DeviceHandle, 0); // ends the device-event thread's pending wait
        SetSignal(DispatchDoneSignal);
        TLockGuard guard(DispatcherLock);
        if (ThreadAckSignal)
            ResetEvent(ThreadAckSignal);
    }
    // The dispatch thread reads under InputLock: the handle and the read event go only between
    // two of its reads.
    TLockGuard input(InputLock);
    if (ReadOverlapped.hEvent) {
        CloseHandle(ReadOverlapped.hEvent);
        ReadOverlapped.hEvent = nullptr;
    }
    HANDLE handle = DeviceHandle;
    if (!CloseHandle(handle))
        return -1;
    DeviceHandle = INVALID_HANDLE_VALUE;
    return 0;
}

int32_t TApdWin32Dispatcher::YieldDevice()
{
    Sleep(0);
    return 0;
}

// ---- Starting and stopping the threads ----------------------------------------------------------

template <class T> void TApdWin32Dispatcher::StartThread(std::atomic<TThread*>& reference)
{
    // Counted and referenced before it runs, so that its ThreadFinished always finds itself and a
    // close right after the start still waits for it.
    auto* thread = new T(this);
    ThreadStarting();
    reference = thread;
    try {
        thread->Start();
    } catch (...) {
        reference = nullptr;
        delete thread;
        if (ActiveThreads.fetch_sub(1) == 1)
            ThreadsRunning = false;
        ExitGate->Leave();
        throw;
    }
    WaitForSingleObject(ThreadAckSignal, kThreadReadyMs);
}

void TApdWin32Dispatcher::StartThreads()
{
    TLockGuard guard(DispatcherLock);
    if (ThreadsRunning)
        throw Exception("Dispatcher already started");
    ThreadsRunning = true;
    StopRequested = false;
    // A thread may end before the next one has been counted (a device gone at its first wait
    // ends the device-event thread at once); the count must not reach 0 then, or the threads
    // would count as stopped while the other two run and no close would ever stop them. The
    // start holds a count of its own until all three have been started.
    ActiveThreads.fetch_add(1);
    try {
        StartThread<TComThread>(ComThread);
        StartThread<TDispThread>(DispThread);
        StartThread<TOutThread>(OutThread);
    } catch (...) {
        if (ActiveThreads.fetch_sub(1) == 1)
            ThreadsRunning = false;
        throw;
    }
    if (ActiveThreads.fetch_sub(1) == 1)
        ThreadsRunning = false;
}

void TApdWin32Dispatcher::StopThreads()
{
    {
        TLockGuard guard(DispatcherLock);
        if (!ThreadsRunning)
            return;
        StopRequested = true;
    }

    // No dispatcher lock is held from here on while waiting: a thread that needs one to finish
    // its cycle (the trace, the log, the modem status) can always get it. The dispatch thread is
    // woken now rather than at its next 50 ms poll, so that a close takes no longer than it must.
    SetSignal(LineEventSignal);
    if (OutThread.load()) {
        SetSignal(OutputFlushSignal);
        WaitThreadGone(OutThread, INFINITE, [this] { SetSignal(OutputFlushSignal); });
    }

    if (ComThread.load()) {
        auto kick = [this] {
            SetCommMask(DeviceHandle, 0);
            SetSignal(DispatchDoneSignal);
        };
        {
            TLockGuard guard(DispatcherLock);
            if (ThreadAckSignal)
                ResetEvent(ThreadAckSignal);
        }
        WaitThreadGone(ComThread, INFINITE, kick);
    }

    if (DispThread.load() && !WaitThreadGone(DispThread, kDispatchStopMs)) {
        SetSignal(LineEventSignal);
        // A dispatch thread still busy in a handler after this leaves on its own; it then frees
        // the rings itself (ReleaseOnExit), and the destructor waits for it.
        WaitThreadGone(DispThread, kDispatchStopMs);
    }

    if (!ComThread.load() && !DispThread.load() && !OutThread.load())
        CloseSignals();
}

void TApdWin32Dispatcher::CallOnUserThread(const TApdNotifyMethod& method, UINT message, WPARAM wParam,
                                           LPARAM lParam)
{
    // The dispatch thread clears its own reference only as it leaves, so while it calls this the
    // reference names it.
    auto* thread = static_cast<TApdDispatcherThread*>(DispThread.load());
    if (thread && thread->ThreadId() == GetCurrentThreadId()) {
        // The handler may have been removed, and its object freed, while the hand-over waited
        // for the user-interface thread: it is looked up again there.
        thread->SyncMethod([&] {
            if (MethodHandlerLive(method))
                method(message, wParam, lParam);
        });
    } else {
        method(message, wParam, lParam);
    }
}

void TApdWin32Dispatcher::RunOnUserThread(const std::function<void()>& call)
{
    auto* thread = static_cast<TApdDispatcherThread*>(DispThread.load());
    if (thread && thread->ThreadId() == GetCurrentThreadId())
        thread->SyncMethod(call);
    else
        call();
}

// ---- The threads ---------------------------------------------------------------------------------

TApdDispatcherThread::TApdDispatcherThread(TApdWin32Dispatcher* dispatcher, const char* name)
    : Dispatcher(dispatcher)
{
    SetFreeOnTerminate(true);
    SetName(name);
}

void TApdDispatcherThread::DoTerminate() { Dispatcher->ThreadFinished(this); }

void TApdDispatcherThread::SyncMethod(const std::function<void()>& method) { Synchronize(method); }

void TComThread::Execute() { Dispatcher->RunComThread(this); }

void TDispThread::Execute() { Dispatcher->RunDispThread(); }

void TOutThread::Execute() { Dispatcher->RunOutThread(); }

void TApdWin32Dispatcher::RunComThread(TComThread*)
{
    // No event: the wait is only ever ended by asking for its result below, and a wait without
    // one is watched for in this thread itself rather than by a worker that would then wake it.
    OVERLAPPED overlapped{};

    SetCommMask(DeviceHandle, kDeviceEventMask);
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    SetCommTimeouts(DeviceHandle, &timeouts);
    SetEvent(ThreadAckSignal);

    for (;;) {
        DWORD events = 0;
        bool report = true;
        if (!WaitDeviceEvent(events, &overlapped)) {
            if (GetLastError() == ERROR_IO_PENDING) {
                DWORD transferred;
                if (!GetOverlappedResult(DeviceHandle, &overlapped, &transferred, TRUE)) {
                    // The device has gone: line events end here; the dispatch thread still polls
                    // (for the timer triggers, at its 50 ms pace) and the output thread sleeps
                    // until it is given bytes, whose writes then fail at once. Whoever opened the
                    // port hears of the loss once, unless it is closing the port anyway.
                    const DWORD error = GetLastError();
                    if (!StopRequested)
                        ReportDeviceGone(error);
                    SetEvent(ThreadAckSignal);
                    return;
                }
                if (events & (0x2000 | EV_RING))
                    RingSeen = true;
            } else {
                // A wait that fails at once (a mask of 0 while stopping, a closed handle) is no
                // line event: reporting it would run the two threads round in a circle.
                report = false;
            }
        }
        if (StopRequested) {
            SetEvent(ThreadAckSignal);
            return;
        }
        if (report) {
            LastEventMask = events;
            SetEvent(LineEventSignal);
        }
        // The dispatch thread sets this at the end of every cycle, so a wait that failed at once
        // is retried at its pace rather than at once.
        WaitForSingleObject(DispatchDoneSignal, INFINITE);
        if (StopRequested) {
            SetEvent(ThreadAckSignal);
            return;
        }
    }
}

void TApdWin32Dispatcher::RunDispThread()
{
    SetEvent(ThreadAckSignal);
    do {
        WaitForSingleObject(LineEventSignal, DispatchWaitMs());
        if (StopRequested) {
            ReleaseOnExit = true;
            return;
        }
        ProcessLineEvent();
        ProcessTimers();
    } while (!StopRequested && !CloseRequested);
    SetEvent(ThreadAckSignal);
    ReleaseOnExit = CloseRequested || StopRequested;
}

void TApdWin32Dispatcher::RunOutThread()
{
    OVERLAPPED overlapped{};
    overlapped.hEvent = WriteCompleteSignal;
    bool pending = false;
    SetEvent(ThreadAckSignal);
    do {
        DWORD woken = WaitForMultipleObjects(2, OutputWaitObjects, FALSE, INFINITE);
        if (woken == WAIT_OBJECT_0) {
            if (StopRequested)
                break;
            DrainOutput(overlapped, pending);
        } else if (woken == WAIT_OBJECT_0 + 1) {
            SetEvent(ThreadAckSignal);
        } else {
            break; // the signals are gone: nothing can wake this thread any more
        }
    } while (!StopRequested && !CloseRequested);

    if (pending) {
        // The ring's bytes may be freed once this thread has gone: end the write that still
        // reads them first.
        PurgeComm(DeviceHandle, PURGE_TXABORT);
        WaitForSingleObject(overlapped.hEvent, kFlushAckMs);
    }
}

void TApdWin32Dispatcher::DrainOutput(OVERLAPPED& overlapped, bool& pending)
{
    // A block whose write keeps failing is sent again a few times, then dropped: retrying it
    // without end would keep this thread busy.
    constexpr int kMaxRetries = 3;
    int retries = 0;
    for (;;) {
        const uint8_t* block;
        DWORD length;
        uint32_t generation;
        {
            TLockGuard guard(OutputLock);
            if (!OutputFull && OutputHead == OutputTail)
                return;
            auto size = static_cast<int32_t>(OutSize);
            if (OutputHead > OutputTail) {
                length = static_cast<DWORD>(OutputHead - OutputTail);
            } else if (OutputHead == 0) {
                length = static_cast<DWORD>(size - OutputTail);
            } else {
                // The queued bytes wrap: make them one block at the start of the ring, so that
                // one write sends all of them.
                std::rotate(OutputBuffer.get(), OutputBuffer.get() + OutputTail, OutputBuffer.get() + size);
                OutputHead += size - OutputTail;
                OutputTail = 0;
                length = static_cast<DWORD>(OutputHead);
                if (OutputHead == size)
                    OutputHead = 0; // a full ring stays full, with head and tail at the start
            }
            block = OutputBuffer.get() + OutputTail;
            generation = OutputGeneration;
        }

        DWORD written = 0;
        ResetEvent(overlapped.hEvent);
        bool advance = true;
        if (!WriteFile(DeviceHandle, block, length, &written, &overlapped)) {
            if (GetLastError() == ERROR_IO_PENDING) {
                pending = true;
                DWORD woken = WaitForMultipleObjects(2, SentWaitObjects, FALSE, INFINITE);
                if (woken != WAIT_OBJECT_0) {
                    // A flush (or signals that are gone): the purge that asked for it ends the
                    // write, which keeps reading the ring until then.
                    SetEvent(ThreadAckSignal);
                    return;
                }
                pending = false;
                if (!GetOverlappedResult(DeviceHandle, &overlapped, &written, FALSE))
                    advance = false; // the same bytes go again in the next pass
                ResetEvent(overlapped.hEvent);
            } else {
                written = length; // a write that fails at once drops its block
            }
        }

        TLockGuard guard(OutputLock);
        if (generation != OutputGeneration)
            continue; // a purge emptied the ring meanwhile
        if (!advance || written == 0) {
            if (StopRequested || CloseRequested)
                return;
            if (++retries <= kMaxRetries)
                continue;
            written = length;
        }
        retries = 0;
        OutputTail += static_cast<int32_t>(written);
        if (OutputTail == static_cast<int32_t>(OutSize))
            OutputTail = 0;
        if (OutputTail == OutputHead)
            OutputHead = OutputTail = 0;
        OutputFull = false;
    }
}
