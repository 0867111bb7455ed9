// The serial device layer under the dispatcher: the device operations on a serial port through
// the Win32 communications calls, and the three I/O threads of an open port.
#pragma once

#include "runtime/Thread.h"
#include "serial/dispatch/ApdBaseDispatcher.h"

#include <functional>

class TApdWin32Dispatcher;

/// Line events the device-event thread waits for: received bytes, CTS, DSR, carrier, break,
/// line errors and ring (the Windows NT family's set; Linux has no separate ring bit).
constexpr DWORD kDeviceEventMask = 0x1F9;

/// Base of the three threads of an open port. Created running; frees itself when its body ends,
/// and tells the dispatcher (ThreadFinished) as its very last act, also when the body threw (the
/// exception is shown through Application and ends only that thread).
class TApdDispatcherThread : public TThread
{
public:
    explicit TApdDispatcherThread(TApdWin32Dispatcher* dispatcher, const char* name);

    /// Runs any call on the user-interface thread and returns when it has run.
    /// Thread: this thread (the dispatch thread hands its user-interface calls over so).
    void SyncMethod(const std::function<void()>& method);

protected:
    void DoTerminate() override;
    // Given by the starting thread before this one runs and never changed: the thread reads it
    // without a lock. The dispatcher outlives it (its destructor waits for every thread).
    TApdWin32Dispatcher* const Dispatcher;
};

/// "comthread": waits for line events and hands each one to the dispatch thread.
class TComThread : public TApdDispatcherThread
{
public:
    explicit TComThread(TApdWin32Dispatcher* dispatcher) : TApdDispatcherThread(dispatcher, "comthread") {}

protected:
    void Execute() override;
};

/// "dispthread": fills the input ring and runs the processing steps, on each line event and at
/// least every 50 ms.
class TDispThread : public TApdDispatcherThread
{
public:
    explicit TDispThread(TApdWin32Dispatcher* dispatcher) : TApdDispatcherThread(dispatcher, "dispthread") {}

protected:
    void Execute() override;
};

/// "outthread": writes what the output ring holds, all of it in one write per pass.
class TOutThread : public TApdDispatcherThread
{
public:
    explicit TOutThread(TApdWin32Dispatcher* dispatcher) : TApdDispatcherThread(dispatcher, "outthread") {}

protected:
    void Execute() override;
};

/// Thread contract: as TApdBaseDispatcher. The device-event thread alone calls WaitDeviceEvent,
/// the dispatch thread alone DeviceRead, the output thread alone WriteFile. StartThreads,
/// StopThreads, OpenDevice and CloseDevice run on the user-interface thread (StopThreads also on
/// the dispatch thread as it leaves); their waits for threads keep the caller's messages flowing.
class TApdWin32Dispatcher : public TApdBaseDispatcher
{
public:
    explicit TApdWin32Dispatcher(TApdCustomComPort* owner) : TApdBaseDispatcher(owner) {}
    /// Closes, waits for the threads (keeping the caller's messages flowing) and unregisters.
    ~TApdWin32Dispatcher() override;

    /// EscapeCommFunction; its result is ignored. @return 0.
    int32_t DeviceEscape(DWORD function) override;
    /// Output (0): has the output thread abandon its write, empties the ring, purges the driver's
    /// transmit side. Input (1): purges the driver's receive side.
    /// @return 0, or the negated platform error of PurgeComm.
    int32_t DevicePurge(int32_t queue) override;
    uint32_t DeviceErrors(COMSTAT& status) override;
    int32_t ReadFailed(int32_t code) override;
    int32_t GetDeviceState(DCB& state) override;
    int32_t DeviceRead(uint8_t* to, int32_t count) REQUIRES(InputLock) override;
    int32_t SetDeviceState(DCB& state) override;
    /// Copies into the output ring (under OutputLock) and wakes the output thread. @return count.
    int32_t DeviceWrite(const uint8_t* from, int32_t count) override;
    bool WaitDeviceEvent(DWORD& mask, OVERLAPPED* overlapped) override;
    bool SetupDeviceQueues(uint32_t inSize, uint32_t outSize) override;
    /// Starts the device-event, dispatch and output threads, waiting at most 3 s for each to be
    /// ready. @throws Exception "Dispatcher already started" when they run.
    void StartThreads() override;
    /// Ends the three threads. Takes DispatcherLock only for its bookkeeping, never while it waits.
    void StopThreads() override;
    int32_t OpenDevice(const std::string& path, uint32_t inSize, uint32_t outSize) override;
    int32_t CloseDevice() override;
    int32_t YieldDevice() override;
    /// On the dispatch thread the call is handed to the user-interface thread by that thread's
    /// synchronous hand-over; elsewhere it runs directly.
    void CallOnUserThread(const TApdNotifyMethod& method, UINT message, WPARAM wParam,
                          LPARAM lParam) override;
    void RunOnUserThread(const std::function<void()>& call) override;

private:
    friend class TComThread;
    friend class TDispThread;
    friend class TOutThread;

    void RunComThread(TComThread* self);
    void RunDispThread();
    void RunOutThread();
    /// Writes the output ring out; returns when it is empty or a flush asked to stop.
    /// `pending` tells whether a write is still under way when it returns.
    void DrainOutput(OVERLAPPED& overlapped, bool& pending);
    /// The output ring count. @pre OutputLock held.
    DWORD OutputRingCount() const REQUIRES(OutputLock);
    template <class T> void StartThread(std::atomic<TThread*>& reference);
    void SetSignal(HANDLE& signal);

    // The dispatch thread's reads, which run under InputLock: OpenDevice makes its event and
    // CloseDevice closes it under that lock too, so never in the middle of a read.
    OVERLAPPED ReadOverlapped GUARDED_BY(InputLock){};
    // Counts the output purges: a write that completes after a purge must not move the new ring.
    uint32_t OutputGeneration GUARDED_BY(OutputLock) = 0;
};
