// The object behind a comm handle: non-blocking reads, writes finished in the background, and
// line-event waits with Windows' edge semantics, each with its own worker and wake descriptor.
#include "platform/posix/comm_p.h"

#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <system_error>

namespace platform
{

namespace
{

// How often modem lines are read while a wait asks for them on a driver that cannot wait for a
// change (TIOCMIWAIT): on many USB adapters every read is a control transfer, so not often.
constexpr int kModemPollMs = 100;
// How often error counters (and the modem-change counters beside them) are read while nothing else
// makes the event worker look: they are also read whenever bytes arrive or a modem line changes,
// and the driver keeps them itself, so this only bounds how late a break without bytes shows.
constexpr int kErrorPollMs = 500;
// The longest a settings change waits for the bytes before it to leave, as a close does: a line
// held by flow control must not keep the caller for ever.
constexpr auto kLongestDrain = std::chrono::seconds(10);
// Time beyond the bytes' own line time that a settings change waits for them at most.
constexpr auto kDrainMargin = std::chrono::milliseconds(50);

constexpr DWORD kModemEvents = EV_CTS | EV_DSR | EV_RLSD | EV_RING;
constexpr DWORD kErrorEvents = EV_ERR | EV_BREAK;
constexpr DWORD kKnownEvents = 0x1FFF; // EV_RXCHAR .. EV_EVENT2

void Wake(int eventFd, uint64_t count = 1)
{
    // Only fails when the counter would overflow, and then the descriptor is readable anyway.
    if (write(eventFd, &count, sizeof count) < 0) {
    }
}

void Drain(int eventFd)
{
    uint64_t count;
    if (read(eventFd, &count, sizeof count) < 0) {
    }
}

BOOL Fail(DWORD error)
{
    SetLastError(error);
    return FALSE;
}

// What a device that has gone reports: the error of the EIO a hung-up tty gives.
const DWORD kGoneError = Win32ErrorFromErrno(EIO, TErrnoUse::euLine);

// The device is no longer there (hang-up, adapter unplugged): every errno that says so on a line
// maps to the one error of a gone device.
bool IsGone(int error) { return Win32ErrorFromErrno(error, TErrnoUse::euLine) == kGoneError; }

// The driver does not have this line call (pseudo-terminals have no modem lines or counters).
bool IsMissing(int error)
{
    return Win32ErrorFromErrno(error, TErrnoUse::euLineFeature) == ERROR_NOT_SUPPORTED;
}

// A descriptor of /dev/null, opened once, that takes the place of a gone device's descriptor.
// Opened while descriptors are still to be had (with the first port), never closed.
int InertDescriptor()
{
    static const int inert = open("/dev/null", O_RDWR | O_CLOEXEC);
    return inert;
}

// The private signal that interrupts the modem worker's driver wait. Its handler does nothing and
// is installed without SA_RESTART, so the wait returns EINTR; it is only ever sent to that worker.
int ModemWakeSignal()
{
    static const int number = [] {
        const int chosen = SIGRTMAX - 3;
        struct sigaction action {
        };
        action.sa_handler = +[](int) {};
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;
        sigaction(chosen, &action, nullptr);
        return chosen;
    }();
    return number;
}

DWORD ModemStatusFromBits(int bits)
{
    DWORD status = 0;
    if (bits & TIOCM_CTS)
        status |= MS_CTS_ON;
    if (bits & TIOCM_DSR)
        status |= MS_DSR_ON;
    if (bits & TIOCM_RNG)
        status |= MS_RING_ON;
    if (bits & TIOCM_CAR)
        status |= MS_RLSD_ON;
    return status;
}

template <class Counts> bool SameModemCounts(const Counts& a, const Counts& b)
{
    return a.cts == b.cts && a.dsr == b.dsr && a.rng == b.rng && a.dcd == b.dcd;
}

} // namespace

CommDevice* CommDevice::Create(int fd, const DCB& initial)
{
    // First, so that its open cannot overwrite the errno of a failure below.
    InertDescriptor();
    const int eventWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int writeWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int readWake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK | EFD_SEMAPHORE);
    const int epollFd = epoll_create1(EPOLL_CLOEXEC);
    int error = 0;
    if (eventWake < 0 || writeWake < 0 || readWake < 0 || epollFd < 0) {
        error = errno;
    } else {
        // Edge-triggered: the tty wakes its readers every time bytes come in, also while older
        // bytes are still unread, and that is exactly the moment a received-character event
        // stands for. Level-triggered, unread bytes would make every poll return at once.
        epoll_event line{};
        line.events = EPOLLIN | EPOLLET;
        line.data.fd = fd;
        epoll_event wake{};
        wake.events = EPOLLIN;
        wake.data.fd = eventWake;
        if (epoll_ctl(epollFd, EPOLL_CTL_ADD, fd, &line) != 0 ||
            epoll_ctl(epollFd, EPOLL_CTL_ADD, eventWake, &wake) != 0)
            error = errno;
    }
    if (error == 0) {
        try {
            return new CommDevice(fd, eventWake, epollFd, writeWake, readWake, initial);
        } catch (const std::bad_alloc&) {
            error = ENOMEM;
        }
    }
    for (int descriptor : {eventWake, writeWake, readWake, epollFd})
        if (descriptor >= 0)
            close(descriptor);
    ioctl(fd, TIOCNXCL);
    close(fd);
    SetLastError(Win32ErrorFromErrno(error, TErrnoUse::euKernelObject));
    return nullptr;
}

CommDevice::CommDevice(int fd, int eventWake, int epollFd, int writeWake, int readWake, const DCB& initial)
    : fd(fd), eventWake(eventWake), epollFd(epollFd), writeWake(writeWake), readWake(readWake), dcb(initial)
{
    DWORD lines = 0;
    ReadModemLines(&lines);
    modemSeen = lines;
    ErrorCounts counts;
    ReadErrorCounts(&counts);
    errorsSeen = counts;
    errorsCleared = counts;
}

CommDevice::~CommDevice()
{
    Shutdown();
    close(fd);
    close(eventWake);
    close(epollFd);
    close(writeWake);
    close(readWake);
}

void CommDevice::OnClose() { Shutdown(); }

void CommDevice::Shutdown()
{
    if (closed.exchange(true))
        return;
    {
        std::lock_guard guard(eventLock);
        eventStopping = true;
        if (waitRecord)
            CompleteWaitLocked(0, ERROR_OPERATION_ABORTED);
    }
    eventIdle.notify_all();
    Wake(eventWake);
    {
        std::lock_guard guard(writeLock);
        writeStopping = true;
        EndWritesLocked(ERROR_OPERATION_ABORTED);
    }
    writeIdle.notify_all();
    Wake(writeWake);
    {
        std::lock_guard guard(readLock);
        ++readAborts;
        if (blockedReaders > 0)
            Wake(readWake, static_cast<uint64_t>(blockedReaders));
    }
    // No thread starts after the stopping flags were set under their locks, so the thread
    // objects are ours alone now. Closing the descriptor would not wake a worker in poll():
    // they are woken above and joined before anything is closed.
    drainWake.notify_all();
    if (eventThread.joinable())
        eventThread.join();
    if (writeThread.joinable())
        writeThread.join();
    StopModemWorker();
    {
        // A worker stopped while it waited for the last bit leaves RTS up, and nothing lowers it
        // after the close: a transmitter left on jams a half-duplex bus. The driver still sends
        // what it holds, so RTS stays up for that first.
        std::unique_lock lock(writeLock);
        LowerRtsAfterDrainLocked(lock);
    }

    {
        std::lock_guard guard(settingsLock);
        if (rs485Set && !dead.load()) {
            serial_rs485 rs485{};
            if (ioctl(fd, TIOCGRS485, &rs485) == 0) {
                rs485.flags &= ~SER_RS485_ENABLED;
                ioctl(fd, TIOCSRS485, &rs485);
            }
            rs485Set = false;
        }
    }
    // The line is handed back as a close on Windows hands it back: DTR and RTS drop, so a device
    // that watches DTR sees the host go and no RS-485 transmitter is left on. HUPCL does the same
    // at the last close of the tty, but not while somebody else still holds it open.
    LineIoctl(TIOCMBIC, TIOCM_DTR | TIOCM_RTS);
    // On pseudo-terminals the exclusive flag outlives the descriptor: clear it, or nobody but
    // root could open the port again. The lock goes now, not when the last reference does.
    ioctl(fd, TIOCNXCL);
    flock(fd, LOCK_UN);
    ReleaseClaim();
}

void CommDevice::MarkDead()
{
    if (dead.exchange(true))
        return;
    // After a hang-up the descriptor reports POLLHUP for ever: it is not watched again.
    epoll_ctl(epollFd, EPOLL_CTL_DEL, fd, nullptr);
    // The tty is let go now, not at CloseHandle: while its file stays open the kernel keeps the
    // device's name, and an adapter plugged back in comes back under another one. Closing the
    // number would let an unrelated open reuse it under the feet of threads still calling on it;
    // /dev/null in its place reads as end of file and fails every line call, and `dead`, set
    // before, makes each call that reaches it report the device gone. Threads inside a call on
    // the tty keep its file until they leave (the workers are woken below; the modem worker's
    // driver wait ends at the hang-up), then the kernel frees it, and the flock with it.
    ioctl(fd, TIOCNXCL);
    if (const int inert = InertDescriptor(); inert >= 0)
        dup3(inert, fd, O_CLOEXEC);
    ReleaseClaim();
    Wake(eventWake);
    Wake(writeWake);
    drainWake.notify_all();
}

int CommDevice::Query(QueryKind kind, unsigned long request, void* argument)
{
    if (dead.load())
        return EIO;
    queries[kind].fetch_add(1, std::memory_order_relaxed);
    if (CommTestLines* lines = testLines.load()) {
        if (request == TIOCMGET)
            return lines->ModemLines(static_cast<int*>(argument));
        if (request == TIOCMIWAIT)
            return lines->WaitForChange();
    }
    if (kind == qkOutputQueue) {
        if (const long injected = injectedOutputQueue.load(); injected >= 0) {
            *static_cast<int*>(argument) = static_cast<int>(injected);
            return 0;
        }
    }
    if (ioctl(fd, request, argument) == 0)
        return 0;
    const int error = errno;
    // Once the number stands for /dev/null, its ENOTTY must not read as a line the device lacks.
    return dead.load() ? EIO : error;
}

int CommDevice::QueryErrorCounts(serial_icounter_struct* counts)
{
    CommTestLines* lines = testLines.load();
    if (!lines || dead.load())
        return Query(qkErrorCounts, TIOCGICOUNT, counts);
    queries[qkErrorCounts].fetch_add(1, std::memory_order_relaxed);
    CommTestCounts played;
    const int error = lines->Counts(&played);
    *counts = serial_icounter_struct{};
    counts->cts = played.cts;
    counts->dsr = played.dsr;
    counts->rng = played.rng;
    counts->dcd = played.dcd;
    counts->frame = played.frame;
    counts->parity = played.parity;
    counts->overrun = played.overrun;
    counts->brk = played.brk;
    counts->buf_overrun = played.bufOverrun;
    return error;
}

void CommDevice::UseTestLines(CommTestLines* lines)
{
    testLines.store(lines);
    hasModemLines.store(true);
    hasErrorCounts.store(true);
    hasModemWait.store(true);
    DWORD modem = 0;
    ReadModemLines(&modem);
    ErrorCounts counts;
    ReadErrorCounts(&counts);
    {
        std::lock_guard guard(eventLock);
        modemSeen = modem | injectedModem;
        errorsSeen = counts;
    }
    std::lock_guard guard(errorLock);
    errorsCleared = counts;
}

CommQueryCounts CommDevice::QueryCounts() const
{
    CommQueryCounts counts;
    counts.ModemLines = queries[qkModemLines].load(std::memory_order_relaxed);
    counts.ModemWaits = queries[qkModemWait].load(std::memory_order_relaxed);
    counts.ErrorCounts = queries[qkErrorCounts].load(std::memory_order_relaxed);
    counts.OutputQueue = queries[qkOutputQueue].load(std::memory_order_relaxed);
    return counts;
}

int CommDevice::OutputQueued()
{
    int queued = 0;
    if (Query(qkOutputQueue, TIOCOUTQ, &queued) != 0)
        return 0;
    return std::max(queued, 0);
}

// ---- Line samples -----------------------------------------------------------------------------

bool CommDevice::ReadModemLines(DWORD* status)
{
    *status = 0;
    if (!hasModemLines.load(std::memory_order_relaxed))
        return true;
    {
        // While the modem worker waits for a change, the lines it read before are still the lines.
        std::lock_guard guard(eventLock);
        if (modemWaiting) {
            *status = modemCache;
            return true;
        }
    }
    int bits = 0;
    if (const int error = Query(qkModemLines, TIOCMGET, &bits)) {
        if (IsMissing(error))
            hasModemLines.store(false, std::memory_order_relaxed);
        return !IsGone(error);
    }
    *status = ModemStatusFromBits(bits);
    return true;
}

bool CommDevice::ReadErrorCounts(ErrorCounts* counts)
{
    *counts = ErrorCounts{};
    if (!hasErrorCounts.load(std::memory_order_relaxed))
        return true;
    serial_icounter_struct icount{};
    if (const int error = QueryErrorCounts(&icount)) {
        if (IsMissing(error))
            hasErrorCounts.store(false, std::memory_order_relaxed);
        return !IsGone(error);
    }
    counts->frame = icount.frame;
    counts->parity = icount.parity;
    counts->overrun = icount.overrun;
    counts->brk = icount.brk;
    counts->bufOverrun = icount.buf_overrun;
    counts->cts = icount.cts;
    counts->dsr = icount.dsr;
    counts->rng = icount.rng;
    counts->dcd = icount.dcd;
    {
        // A line that changed between the modem worker's read and the start of its driver wait
        // wakes nobody; the driver's counters still tell. The cached lines are then stale, and the
        // worker starts over with a fresh read.
        std::lock_guard guard(eventLock);
        if (modemWaiting && !SameModemCounts(modemCounts, *counts)) {
            modemWaiting = false;
            PokeModemWorkerLocked();
        }
    }
    return true;
}

namespace
{

DWORD ErrorBits(const auto& before, const auto& now)
{
    DWORD bits = 0;
    if (now.frame != before.frame)
        bits |= CE_FRAME;
    if (now.parity != before.parity)
        bits |= CE_RXPARITY;
    if (now.overrun != before.overrun)
        bits |= CE_OVERRUN;
    if (now.brk != before.brk)
        bits |= CE_BREAK;
    if (now.bufOverrun != before.bufOverrun)
        bits |= CE_RXOVER;
    return bits;
}

} // namespace

DWORD CommDevice::Arrivals(uint64_t* arrivals)
{
    std::lock_guard guard(readLock);
    int waiting = 0;
    if (const int error = Query(qkOther, FIONREAD, &waiting))
        return error;
    *arrivals = consumed + static_cast<uint64_t>(waiting);
    return 0;
}

bool CommDevice::TakeSample(Sample* sample)
{
    const int error = Arrivals(&sample->arrivals);
    if (error != 0 && IsGone(error))
        return false;
    // The counters first: they tell whether the modem worker's lines are still current.
    return ReadErrorCounts(&sample->errors) && ReadModemLines(&sample->modem);
}

DWORD CommDevice::EventsSinceLocked(const Sample& sample) const
{
    DWORD events = 0;
    if (sample.arrivals > reportedArrivals)
        events |= EV_RXCHAR;
    const DWORD changed = (sample.modem | injectedModem) ^ modemSeen;
    if (changed & MS_CTS_ON)
        events |= EV_CTS;
    if (changed & MS_DSR_ON)
        events |= EV_DSR;
    if (changed & MS_RLSD_ON)
        events |= EV_RLSD;
    if (changed & MS_RING_ON)
        events |= EV_RING;
    // A line that went and came back between two looks still changed twice.
    if (sample.errors.cts != errorsSeen.cts)
        events |= EV_CTS;
    if (sample.errors.dsr != errorsSeen.dsr)
        events |= EV_DSR;
    if (sample.errors.dcd != errorsSeen.dcd)
        events |= EV_RLSD;
    if (sample.errors.rng != errorsSeen.rng)
        events |= EV_RING;
    const DWORD errors = ErrorBits(errorsSeen, sample.errors) | injectedEventErrors;
    // Windows counts a receive-queue overflow among the errors the stack must hear about too.
    if (errors & (CE_FRAME | CE_OVERRUN | CE_RXPARITY | CE_RXOVER))
        events |= EV_ERR;
    if (errors & CE_BREAK)
        events |= EV_BREAK;
    return events & mask;
}

void CommDevice::TakeBaselinesLocked(const Sample& sample)
{
    // Whatever the mask did not ask for is forgotten, as Windows does not record it either.
    reportedArrivals = std::max(reportedArrivals, sample.arrivals);
    modemSeen = sample.modem | injectedModem;
    errorsSeen = sample.errors;
    injectedEventErrors = 0;
}

int CommDevice::TickMsLocked() const
{
    const bool counters = hasErrorCounts.load(std::memory_order_relaxed);
    int ms = -1;
    if ((mask & kModemEvents) && hasModemLines.load(std::memory_order_relaxed)) {
        // With the driver waiting for changes only the counters are read, for a change it missed.
        if (!(hasModemWait.load() && modemThread.joinable() && !modemLeft))
            ms = kModemPollMs;
        else if (counters)
            ms = kErrorPollMs;
    }
    if ((mask & kErrorEvents) && counters)
        ms = ms < 0 ? kErrorPollMs : std::min(ms, kErrorPollMs);
    return ms;
}

// ---- Modem-line waits ---------------------------------------------------------------------------

bool CommDevice::WantsModemWaitLocked() const
{
    return (mask & kModemEvents) && hasModemLines.load() && hasModemWait.load() && !dead.load();
}

void CommDevice::PokeModemWorkerLocked()
{
    // Under eventLock the worker has not yet said it left, so its thread still exists.
    if (modemThread.joinable() && !modemLeft)
        pthread_kill(modemThread.native_handle(), ModemWakeSignal());
}

bool CommDevice::StartModemWorkerLocked()
{
    if (modemThread.joinable() || eventStopping || modemStopping)
        return true;
    ModemWakeSignal(); // the handler is in place before the first signal can come
    try {
        modemThread = std::thread(&CommDevice::ModemWorker, this);
        return true;
    } catch (const std::system_error&) {
        hasModemWait.store(false);
        return false;
    }
}

void CommDevice::StopModemWorker()
{
    std::unique_lock lock(eventLock);
    modemStopping = true;
    modemIdle.notify_all();
    if (!modemThread.joinable())
        return;
    // A signal that comes just before the worker enters its driver wait is lost: send it again
    // until the worker says it has left.
    while (!modemLeft) {
        pthread_kill(modemThread.native_handle(), ModemWakeSignal());
        modemIdle.wait_for(lock, std::chrono::milliseconds(2));
    }
    modemThread.join(); // it has nothing left to do that needs the lock
}

void CommDevice::ModemWorker()
{
    pthread_setname_np(pthread_self(), "commmodem");
    sigset_t wake;
    sigemptyset(&wake);
    sigaddset(&wake, ModemWakeSignal());
    pthread_sigmask(SIG_UNBLOCK, &wake, nullptr);

    std::unique_lock lock(eventLock);
    for (;;) {
        modemIdle.wait(lock, [this] { return modemStopping || eventStopping || WantsModemWaitLocked(); });
        if (modemStopping || eventStopping)
            break;
        lock.unlock();
        // The counters and the lines just before the wait: the wait reports changes from its start,
        // the counters show one that came in between.
        ErrorCounts counts;
        const bool countsRead = ReadErrorCounts(&counts);
        int bits = 0;
        const int readError = countsRead ? Query(qkModemLines, TIOCMGET, &bits) : EIO;
        lock.lock();
        if (readError != 0) {
            if (IsMissing(readError))
                hasModemLines.store(false);
            else if (IsGone(readError))
                MarkDead();
            continue;
        }
        if (modemStopping || eventStopping)
            break;
        if (!WantsModemWaitLocked())
            continue;
        modemCache = ModemStatusFromBits(bits);
        modemCounts = counts;
        modemWaiting = true;
        lock.unlock();
        const int waitError = Query(
            qkModemWait, TIOCMIWAIT,
            reinterpret_cast<void*>(static_cast<uintptr_t>(TIOCM_RNG | TIOCM_DSR | TIOCM_CD | TIOCM_CTS)));
        lock.lock();
        modemWaiting = false;
        if (waitError == 0 || waitError == EINTR) {
            // A change, or a look at the state asked for: the event worker samples the line.
            if (waitError == 0)
                Wake(eventWake);
            continue;
        }
        if (IsGone(waitError)) {
            MarkDead();
            continue;
        }
        // The driver cannot wait for modem lines: the event worker reads them now and then.
        hasModemWait.store(false);
        Wake(eventWake);
        break;
    }
    modemLeft = true;
    modemIdle.notify_all();
}

// ---- Line-event waits -----------------------------------------------------------------------------

void CommDevice::CompleteWaitLocked(DWORD events, DWORD error)
{
    *waitMask = events;
    CompleteOverlapped(waitRecord, error, 0);
    waitRecord = nullptr;
    waitMask = nullptr;
    waitByCaller = false;
    waitPending.store(false, std::memory_order_release);
    ++generation;
    // A caller driving the wait may be parked on a gone device's wait.
    eventIdle.notify_all();
}

BOOL CommDevice::SetMask(DWORD newMask)
{
    if (newMask & ~kKnownEvents)
        return Fail(ERROR_INVALID_PARAMETER);
    Sample sample;
    const bool alive = !dead.load() && TakeSample(&sample);
    {
        std::lock_guard guard(eventLock);
        if (eventStopping)
            return Fail(ERROR_INVALID_HANDLE);
        mask = newMask;
        if (alive)
            TakeBaselinesLocked(sample);
        injectedEventErrors = 0;
        ++generation;
        if (waitRecord)
            CompleteWaitLocked(0, ERROR_SUCCESS);
        if (modemWaiting && !(mask & kModemEvents))
            PokeModemWorkerLocked();
        modemIdle.notify_all();
    }
    if (!alive)
        MarkDead();
    Wake(eventWake);
    return TRUE;
}

BOOL CommDevice::GetMask(LPDWORD result)
{
    if (!result)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard guard(eventLock);
    *result = mask;
    return TRUE;
}

BOOL CommDevice::WaitEvent(LPDWORD eventMask, LPOVERLAPPED overlapped)
{
    if (!eventMask)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!overlapped) {
        OVERLAPPED own{};
        if (WaitEvent(eventMask, &own))
            return TRUE;
        if (GetLastError() != ERROR_IO_PENDING)
            return FALSE;
        DriveWait(&own);
        DWORD unused = 0;
        return GetOverlappedResult(nullptr, &own, &unused, TRUE);
    }

    std::unique_lock lock(eventLock);
    if (eventStopping)
        return Fail(ERROR_INVALID_HANDLE);
    if (waitRecord || mask == 0)
        return Fail(ERROR_INVALID_PARAMETER);
    BeginOverlapped(overlapped);
    *eventMask = 0;

    if (dead.load() && !deathReported) {
        // The one failure that tells the waiter the device has gone.
        deathReported = true;
        CompleteOverlapped(overlapped, kGoneError, 0);
        SetLastError(ERROR_IO_PENDING);
        return FALSE;
    }
    // Events that came while nobody waited end this wait at once.
    while (!dead.load()) {
        const uint64_t seen = generation;
        lock.unlock();
        Sample sample;
        const bool alive = TakeSample(&sample);
        lock.lock();
        if (eventStopping)
            return Fail(ERROR_INVALID_HANDLE);
        if (waitRecord || mask == 0)
            return Fail(ERROR_INVALID_PARAMETER);
        if (!alive) {
            MarkDead();
            deathReported = true;
            CompleteOverlapped(overlapped, kGoneError, 0);
            SetLastError(ERROR_IO_PENDING);
            return FALSE;
        }
        if (seen != generation)
            continue;
        const DWORD events = EventsSinceLocked(sample);
        TakeBaselinesLocked(sample);
        if (events) {
            *eventMask = events;
            CompleteOverlapped(overlapped, ERROR_SUCCESS, 0);
            return TRUE;
        }
        break;
    }

    // A wait without an event can only be seen to end by GetOverlappedResult, whose caller then
    // watches the line itself: one thread fewer to wake for each event.
    const bool byCaller = overlapped->hEvent == nullptr;
    if (!byCaller && !eventThread.joinable()) {
        try {
            eventThread = std::thread(&CommDevice::EventWorker, this);
        } catch (const std::system_error&) {
            return Fail(ERROR_NOT_ENOUGH_MEMORY);
        }
    }
    // Without its own worker the modem lines are read by the event worker instead.
    if (WantsModemWaitLocked())
        StartModemWorkerLocked();
    waitRecord = overlapped;
    waitMask = eventMask;
    waitByCaller = byCaller;
    waitPending.store(true, std::memory_order_release);
    ++generation;
    if (!byCaller)
        eventIdle.notify_all();
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

void CommDevice::DriveWait(LPOVERLAPPED overlapped)
{
    std::unique_lock lock(eventLock);
    while (waitRecord == overlapped && waitByCaller && !eventStopping) {
        if (dead.load() && deathReported) {
            // Told once; the wait stays pending until the mask changes or the handle closes.
            eventIdle.wait(lock, [&] { return waitRecord != overlapped || eventStopping; });
            continue;
        }
        WatchOnceLocked(lock);
    }
}

void CommDevice::EventWorker()
{
    pthread_setname_np(pthread_self(), "commevent");
    std::unique_lock lock(eventLock);
    for (;;) {
        // A gone device whose failure has been told is not watched any more: later waits stay
        // pending until the mask changes or the handle closes.
        eventIdle.wait(lock, [this] {
            return eventStopping || (waitRecord && !waitByCaller && !(dead.load() && deathReported));
        });
        if (eventStopping)
            return;
        WatchOnceLocked(lock);
    }
}

void CommDevice::WatchOnceLocked(std::unique_lock<std::mutex>& lock)
{
    if (dead.load()) {
        deathReported = true;
        CompleteWaitLocked(0, kGoneError);
        return;
    }
    const uint64_t seen = generation;
    lock.unlock();
    Sample sample;
    const bool alive = TakeSample(&sample);
    lock.lock();
    if (!alive) {
        MarkDead();
        return;
    }
    if (seen != generation || !waitRecord)
        return;
    const DWORD events = EventsSinceLocked(sample);
    TakeBaselinesLocked(sample);
    if (events) {
        CompleteWaitLocked(events, ERROR_SUCCESS);
        return;
    }
    const int timeout = TickMsLocked();
    lock.unlock();

    epoll_event ready[2];
    const int count = epoll_wait(epollFd, ready, 2, timeout);
    wakeups.fetch_add(1, std::memory_order_relaxed);
    bool gone = false;
    for (int i = 0; i < count; ++i) {
        if (ready[i].data.fd == eventWake)
            Drain(eventWake);
        else if (ready[i].events & (EPOLLHUP | EPOLLERR))
            gone = true;
    }
    lock.lock();
    if (gone)
        MarkDead();
}

void CommDevice::InjectErrors(DWORD errors)
{
    {
        std::lock_guard guard(errorLock);
        pendingErrors |= errors;
    }
    {
        std::lock_guard guard(eventLock);
        injectedEventErrors |= errors;
    }
    Wake(eventWake);
}

void CommDevice::InjectModemStatus(DWORD status)
{
    {
        std::lock_guard guard(eventLock);
        injectedModem = status & (MS_CTS_ON | MS_DSR_ON | MS_RING_ON | MS_RLSD_ON);
    }
    Wake(eventWake);
}

// ---- Reading ----------------------------------------------------------------------------------

DWORD CommDevice::ReadAvailable(uint8_t* buffer, DWORD toRead, DWORD* got)
{
    const DWORD before = *got;
    const DWORD error = ReadAvailableLocked(buffer, toRead, got);
    // Bytes that came in and were read before the event worker looked leave no edge behind
    // (epoll reports an edge only while data is there): tell the worker that they came.
    if (*got > before && waitPending.load(std::memory_order_acquire))
        Wake(eventWake);
    return error;
}

DWORD CommDevice::ReadAvailableLocked(uint8_t* buffer, DWORD toRead, DWORD* got)
{
    std::lock_guard guard(readLock);
    // One read() gives at most what the line discipline holds (about 4 KiB); more may be queued
    // behind it, so read until the driver has nothing or the buffer is full.
    while (*got < toRead) {
        const ssize_t count = read(fd, buffer + *got, toRead - *got);
        if (count > 0) {
            *got += static_cast<DWORD>(count);
            consumed += static_cast<uint64_t>(count);
            continue;
        }
        if (count == 0)
            break;
        const int error = errno;
        if (error == EINTR)
            continue;
        if (error == EAGAIN)
            break;
        if (IsGone(error)) {
            MarkDead();
            break;
        }
        return Win32ErrorFromErrno(error, TErrnoUse::euLine);
    }
    return ERROR_SUCCESS;
}

DWORD CommDevice::ReadWithTimeouts(uint8_t* buffer, DWORD toRead, const COMMTIMEOUTS& t, DWORD* got)
{
    using Clock = std::chrono::steady_clock;
    using Ms = std::chrono::milliseconds;
    // Windows: interval and multiplier MAXDWORD with a constant between: return with whatever
    // is there, else wait up to the constant for the first byte.
    const bool firstByte = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == MAXDWORD &&
                           t.ReadTotalTimeoutConstant != 0 && t.ReadTotalTimeoutConstant != MAXDWORD;
    const uint64_t totalMs =
        firstByte ? t.ReadTotalTimeoutConstant
                  : uint64_t{t.ReadTotalTimeoutMultiplier} * toRead + t.ReadTotalTimeoutConstant;
    const bool hasTotal = totalMs != 0;
    const bool hasInterval = !firstByte && t.ReadIntervalTimeout != 0 && t.ReadIntervalTimeout != MAXDWORD;
    const Clock::time_point start = Clock::now();
    Clock::time_point lastByte = start;
    uint64_t aborts;
    {
        std::lock_guard guard(readLock);
        aborts = readAborts;
    }

    for (;;) {
        const DWORD before = *got;
        if (const DWORD error = ReadAvailable(buffer, toRead, got))
            return error;
        const Clock::time_point now = Clock::now();
        if (*got > before)
            lastByte = now;
        if (*got == toRead || dead.load() || (firstByte && *got > 0))
            return ERROR_SUCCESS;

        int64_t waitMs = -1;
        if (hasTotal)
            waitMs = std::chrono::duration_cast<Ms>(start + Ms(totalMs) - now).count();
        if (hasInterval && *got > 0) {
            const int64_t interval =
                std::chrono::duration_cast<Ms>(lastByte + Ms(t.ReadIntervalTimeout) - now).count();
            waitMs = waitMs < 0 ? interval : std::min(waitMs, interval);
        }
        if (waitMs == 0 || (waitMs < 0 && (hasTotal || (hasInterval && *got > 0))))
            return ERROR_SUCCESS;

        {
            std::lock_guard guard(readLock);
            if (readAborts != aborts)
                return ERROR_OPERATION_ABORTED;
            ++blockedReaders;
        }
        pollfd watched[2] = {{fd, POLLIN, 0}, {readWake, POLLIN, 0}};
        const int ready = poll(watched, 2, static_cast<int>(std::min<int64_t>(waitMs, 1 << 30)));
        {
            std::lock_guard guard(readLock);
            --blockedReaders;
            if (ready > 0 && (watched[1].revents & POLLIN))
                Drain(readWake);
            if (readAborts != aborts)
                return ERROR_OPERATION_ABORTED;
        }
        if (ready > 0 && (watched[0].revents & (POLLHUP | POLLERR | POLLNVAL))) {
            MarkDead();
            return ERROR_SUCCESS;
        }
    }
}

BOOL CommDevice::Read(LPVOID buffer, DWORD toRead, LPDWORD bytesRead, LPOVERLAPPED overlapped)
{
    if (bytesRead)
        *bytesRead = 0;
    if (!buffer && toRead > 0)
        return Fail(ERROR_INVALID_PARAMETER);
    if (closed.load())
        return Fail(ERROR_INVALID_HANDLE);
    if (overlapped)
        BeginOverlapped(overlapped);
    COMMTIMEOUTS t;
    {
        std::lock_guard guard(settingsLock);
        t = timeouts;
    }
    const bool immediate = t.ReadIntervalTimeout == MAXDWORD && t.ReadTotalTimeoutMultiplier == 0 &&
                           t.ReadTotalTimeoutConstant == 0;
    DWORD got = 0;
    DWORD error = ERROR_SUCCESS;
    // Reads always complete here, so a read never pends: with the stack's time-outs it returns at
    // once, and a gone device gives 0 bytes rather than an error on every pass of the reader.
    if (!dead.load() && toRead > 0) {
        auto* bytes = static_cast<uint8_t*>(buffer);
        error = immediate ? ReadAvailable(bytes, toRead, &got) : ReadWithTimeouts(bytes, toRead, t, &got);
    }
    if (overlapped)
        CompleteOverlapped(overlapped, error, got);
    if (error != ERROR_SUCCESS)
        return Fail(error);
    if (bytesRead)
        *bytesRead = got;
    return TRUE;
}

// ---- Writing ----------------------------------------------------------------------------------

int CommDevice::WriteSome(WriteRequest& request)
{
    while (request.done < request.size) {
        const ssize_t count = write(fd, request.data + request.done, request.size - request.done);
        // The number may have come to stand for /dev/null, which takes everything: bytes written
        // once the device has gone count as lost, not as sent.
        if (dead.load())
            return EIO;
        if (count > 0) {
            request.done += static_cast<DWORD>(count);
            NoteBytesSentLocked(static_cast<DWORD>(count));
            continue;
        }
        if (count == 0)
            return EAGAIN;
        if (errno == EINTR)
            continue;
        return errno;
    }
    return 0;
}

void CommDevice::EndWritesLocked(DWORD error)
{
    for (const WriteRequest& request : writes)
        CompleteOverlapped(request.record, error, request.done);
    writes.clear();
}

BOOL CommDevice::Write(LPCVOID buffer, DWORD toWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped)
{
    if (bytesWritten)
        *bytesWritten = 0;
    if (!buffer && toWrite > 0)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!overlapped) {
        OVERLAPPED own{};
        if (Write(buffer, toWrite, bytesWritten, &own))
            return TRUE;
        if (GetLastError() != ERROR_IO_PENDING)
            return FALSE;
        DWORD written = 0;
        const BOOL ok = GetOverlappedResult(nullptr, &own, &written, TRUE);
        if (bytesWritten)
            *bytesWritten = written;
        return ok;
    }

    std::unique_lock lock(writeLock);
    if (writeStopping)
        return Fail(ERROR_INVALID_HANDLE);
    if (dead.load())
        return Fail(kGoneError);
    BeginOverlapped(overlapped);
    WriteRequest request{overlapped, static_cast<const uint8_t*>(buffer), toWrite, 0};
    RaiseRtsForSendingLocked();
    // Behind a pending write the bytes must wait their turn.
    if (writes.empty()) {
        const int error = WriteSome(request);
        if (error == 0) {
            CompleteOverlapped(overlapped, ERROR_SUCCESS, request.done);
            if (bytesWritten)
                *bytesWritten = request.done;
            // The bytes are in the driver, not yet on the line: the worker lowers RTS after them,
            // or, when it cannot be started, this call does.
            if (rtsRaised) {
                if (StartWriteWorkerLocked())
                    writeIdle.notify_one();
                else
                    LowerRtsAfterDrainLocked(lock);
            }
            return TRUE;
        }
        if (error != EAGAIN) {
            // A broken pipe among them: the gone device's one error, like every later call.
            if (IsGone(error))
                MarkDead();
            const DWORD code = Win32ErrorFromErrno(error, TErrnoUse::euLine);
            CompleteOverlapped(overlapped, code, request.done);
            return Fail(code);
        }
    }
    if (!StartWriteWorkerLocked()) {
        CompleteOverlapped(overlapped, ERROR_NOT_ENOUGH_MEMORY, request.done);
        // No worker, so nobody else would take RTS down after what was written.
        LowerRtsAfterDrainLocked(lock);
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    writes.push_back(request);
    writeIdle.notify_one();
    if (rtsRaised)
        Wake(writeWake); // the worker may be waiting for the transmitter to empty
    SetLastError(ERROR_IO_PENDING);
    return FALSE;
}

void CommDevice::WriteWorker()
{
    pthread_setname_np(pthread_self(), "commwrite");
    std::unique_lock lock(writeLock);
    for (;;) {
        writeIdle.wait(lock, [this] { return writeStopping || !writes.empty() || rtsRaised; });
        if (writeStopping)
            return;
        if (dead.load()) {
            EndWritesLocked(kGoneError);
            rtsRaised = false;
            continue;
        }
        if (writes.empty()) {
            LowerRtsWhenSentLocked(lock);
            continue;
        }
        // write() is non-blocking, so holding the lock across it only makes a purge wait for one
        // copy into the driver; afterwards the buffer of an abandoned write is never touched.
        WriteRequest& request = writes.front();
        const int error = WriteSome(request);
        if (error == 0 || (error != EAGAIN && !IsGone(error))) {
            CompleteOverlapped(request.record, Win32ErrorFromErrno(error, TErrnoUse::euLine), request.done);
            writes.pop_front();
            continue;
        }
        if (error != EAGAIN) {
            MarkDead();
            continue;
        }
        lock.unlock();
        pollfd watched[2] = {{fd, POLLOUT, 0}, {writeWake, POLLIN, 0}};
        const int ready = poll(watched, 2, -1);
        if (ready > 0 && (watched[1].revents & POLLIN))
            Drain(writeWake);
        lock.lock();
        if (ready > 0 && (watched[0].revents & (POLLHUP | POLLERR | POLLNVAL)))
            MarkDead();
    }
}

bool CommDevice::StartWriteWorkerLocked()
{
    if (writeThread.joinable())
        return true;
    try {
        writeThread = std::thread(&CommDevice::WriteWorker, this);
        return true;
    } catch (const std::system_error&) {
        return false;
    }
}

void CommDevice::RaiseRtsForSendingLocked()
{
    if (!rtsToggle)
        return;
    ++writesStarted;
    if (rtsRaised)
        return;
    LineIoctl(TIOCMBIS, TIOCM_RTS);
    rtsRaised = true;
    rtsRaises.fetch_add(1);
    lineBusyUntil = Clock::now();
}

namespace
{

// Characters a controller's FIFO may still hold when the driver's queue reads empty.
constexpr int kFifoCharacters = 17;
// The most a USB adapter holds of its own beyond the driver's queue (CP210x: 640 bytes).
constexpr int kAdapterCharacters = 640;
// The shortest step between two looks at the transmitter: one character at fast rates would make
// the wait spin.
constexpr auto kShortestStep = std::chrono::microseconds(50);

} // namespace

void CommDevice::NoteBytesSentLocked(DWORD count)
{
    if (count == 0)
        return;
    // Bytes taken while earlier ones are still going out queue up behind them.
    const auto character = std::chrono::microseconds(characterMicros.load());
    const Clock::time_point now = Clock::now();
    sentUntil = std::max(sentUntil, now) + character * count;
    if (rtsRaised)
        lineBusyUntil = std::max(lineBusyUntil, now) + character * count;
}

CommDevice::TTransmitter CommDevice::Transmitter()
{
    unsigned int status = 0;
    if (const int error = Query(qkOther, TIOCSERGETLSR, &status)) {
        if (IsGone(error))
            MarkDead();
        else
            hasTransmitterReport.store(false);
        return txUnknown;
    }
    return (status & TIOCSER_TEMT) ? txEmpty : txSending;
}

bool CommDevice::WaitUntilSentLocked(std::unique_lock<std::mutex>& lock, const Clock::time_point* deadline)
{
    // The driver's queue first, then the controller's own transmitter where it can tell; else the
    // time the bytes take on the line, and after the queue has emptied the characters a
    // controller's FIFO may still hold. Any write that starts meanwhile starts the wait again.
    uint64_t seen = writesStarted;
    bool emptySet = false; // without a transmitter report: emptyUntil holds
    Clock::time_point emptyUntil{};
    for (;;) {
        if (!rtsRaised)
            return false;
        if (!deadline && (writeStopping || !writes.empty()))
            return false;
        if (writesStarted != seen) {
            seen = writesStarted;
            emptySet = false;
        }
        if (dead.load())
            return true;
        const Clock::time_point now = Clock::now();
        if (deadline && now >= *deadline)
            return true;
        const auto character = std::chrono::microseconds(characterMicros.load());
        const int queued = OutputQueued();
        Clock::duration step;
        if (queued > 0) {
            emptySet = false;
            step = character * queued;
        } else if (hasTransmitterReport.load()) {
            const TTransmitter transmitter = Transmitter();
            if (transmitter == txUnknown)
                continue;
            if (transmitter == txEmpty)
                return true;
            // The last character is in the shift register: look again after one character.
            step = character;
        } else {
            if (!emptySet) {
                emptyUntil = now + character * kFifoCharacters;
                emptySet = true;
            }
            const Clock::time_point until = std::max(emptyUntil, lineBusyUntil + character * kFifoCharacters);
            if (now >= until)
                return true;
            step = until - now;
        }
        step = std::clamp<Clock::duration>(step, kShortestStep, std::chrono::seconds(1));
        if (deadline)
            step = std::min<Clock::duration>(step, *deadline - now);
        const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(step).count();
        const timespec timeout{static_cast<time_t>(nanos / 1000000000),
                               static_cast<long>(nanos % 1000000000)};
        lock.unlock();
        pollfd watched{writeWake, POLLIN, 0};
        if (ppoll(&watched, 1, &timeout, nullptr) > 0)
            Drain(writeWake);
        lock.lock();
    }
}

void CommDevice::LowerRtsLocked()
{
    if (!dead.load())
        LineIoctl(TIOCMBIC, TIOCM_RTS);
    rtsRaised = false;
}

void CommDevice::LowerRtsWhenSentLocked(std::unique_lock<std::mutex>& lock)
{
    if (WaitUntilSentLocked(lock, nullptr))
        LowerRtsLocked();
}

void CommDevice::LowerRtsAfterDrainLocked(std::unique_lock<std::mutex>& lock)
{
    if (!rtsRaised)
        return;
    if (!dead.load()) {
        // As long as the bytes still to go take at the present rate, bounded as a drain is: a
        // line held by flow control must not keep the close waiting.
        const Clock::time_point now = Clock::now();
        const auto character = std::chrono::microseconds(characterMicros.load());
        const int queued = OutputQueued();
        const Clock::duration ahead = std::max<Clock::duration>(lineBusyUntil - now, character * queued);
        const Clock::time_point deadline =
            now + std::min<Clock::duration>(ahead + character * kFifoCharacters, std::chrono::seconds(10));
        if (!WaitUntilSentLocked(lock, &deadline))
            return; // RTS went down or left toggling meanwhile
    }
    LowerRtsLocked();
}

// ---- Settings, status, escapes, purging ---------------------------------------------------------

DWORD CommDevice::LineIoctl(unsigned long request, int bits)
{
    const DWORD lines = ((bits & TIOCM_DTR) ? 0x01u : 0u) | ((bits & TIOCM_RTS) ? 0x02u : 0u);
    if (request == TIOCMBIS)
        outputLines.fetch_or(lines);
    else if (request == TIOCMBIC)
        outputLines.fetch_and(~lines);
    const int error = Query(qkOther, request, &bits);
    if (error == 0)
        return ERROR_SUCCESS;
    if (IsMissing(error))
        return ERROR_SUCCESS; // no modem lines (pseudo-terminal): nothing to set
    if (IsGone(error))
        MarkDead();
    return Win32ErrorFromErrno(error, TErrnoUse::euLine);
}

BOOL CommDevice::GetState(LPDCB result)
{
    if (!result)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard guard(settingsLock);
    *result = dcb;
    return TRUE;
}

void CommDevice::DrainOutput()
{
    // At the settings the bytes were handed over under. The bound is their line time from now,
    // with what the driver still holds, plus a margin: flow control may hold the line for ever.
    const auto character = std::chrono::microseconds(characterMicros.load());
    const Clock::time_point start = Clock::now();
    const auto pendingBytes = [this] {
        uint64_t pending = 0;
        for (const WriteRequest& request : writes)
            pending += request.size - request.done;
        return pending;
    };
    std::unique_lock lock(writeLock);
    const uint64_t handedOver = pendingBytes() + static_cast<uint64_t>(OutputQueued()) + kFifoCharacters;
    const Clock::duration busy = std::max<Clock::duration>(sentUntil - start, Clock::duration::zero());
    const Clock::time_point deadline =
        start + std::min<Clock::duration>(character * handedOver + busy + kDrainMargin, kLongestDrain);
    for (;;) {
        if (writeStopping || dead.load())
            return;
        const Clock::time_point now = Clock::now();
        if (now >= deadline)
            return;
        Clock::duration step;
        if (const uint64_t pending = pendingBytes(); pending > 0) {
            step = character * pending;
        } else if (const int queued = OutputQueued(); queued > 0) {
            step = character * queued;
        } else if (hasTransmitterReport.load()) {
            // The driver's queue is empty; a UART tells when its last bit has gone.
            const TTransmitter transmitter = Transmitter();
            if (transmitter == txUnknown)
                continue;
            if (transmitter == txEmpty)
                return;
            step = character;
        } else if (now >= sentUntil) {
            // Without that report: when the bytes the driver took have had their line time (a USB
            // adapter holds hundreds of its own that the driver no longer counts).
            return;
        } else {
            step = sentUntil - now;
        }
        step = std::clamp<Clock::duration>(step, std::chrono::milliseconds(1), std::chrono::milliseconds(50));
        drainWake.wait_for(lock, std::min<Clock::duration>(step, deadline - now));
    }
}

BOOL CommDevice::SetState(const DCB& wanted)
{
    if (!IsValidDcb(wanted))
        return Fail(ERROR_INVALID_PARAMETER);
    if (dead.load())
        return Fail(kGoneError);
    // A change of the line's format waits until what was handed over before it has left, so an
    // answer never leaves half at the old and half at the new settings. Changes of the output
    // lines alone go at once. One change at a time, so a later one cannot overtake the wait.
    std::lock_guard changing(stateChangeLock);
    const LineTermios line = TermiosFromDcb(wanted);
    bool lineChanges;
    {
        std::lock_guard guard(settingsLock);
        lineChanges = !(line == TermiosFromDcb(dcb));
    }
    if (lineChanges)
        DrainOutput();
    std::unique_lock guard(settingsLock);
    if (const int error = WriteLineTermios(fd, line)) {
        if (IsGone(error) || dead.load()) {
            MarkDead();
            return Fail(kGoneError);
        }
        return Fail(Win32ErrorFromErrno(error, TErrnoUse::euLine));
    }
    dcb = wanted;
    dcb.DCBlength = sizeof(DCB);

    // DTR handshake does not exist here; the line is simply held on, which is where a driver with
    // room in its queue keeps it.
    DWORD error = LineIoctl(wanted.fDtrControl == DTR_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, TIOCM_DTR);

    const bool rs485Wanted = wanted.fRtsControl == RTS_CONTROL_TOGGLE;
    if (rs485Wanted || rs485Set) {
        serial_rs485 rs485{};
        if (ioctl(fd, TIOCGRS485, &rs485) == 0) {
            if (rs485Wanted) {
                rs485.flags |= SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
                rs485.flags &= ~SER_RS485_RTS_AFTER_SEND;
            } else {
                rs485.flags &= ~SER_RS485_ENABLED;
            }
            if (ioctl(fd, TIOCSRS485, &rs485) == 0)
                rs485Set = rs485Wanted;
        }
    }
    // Under the driver's toggling RTS is left to the driver; without it this layer switches RTS
    // around every write.
    if (!rs485Wanted && error == ERROR_SUCCESS)
        error = LineIoctl(wanted.fRtsControl == RTS_CONTROL_DISABLE ? TIOCMBIC : TIOCMBIS, TIOCM_RTS);
    const bool ownToggle = rs485Wanted && !rs485Set;
    const unsigned bits = 2u + wanted.ByteSize + (wanted.Parity != NOPARITY ? 1u : 0u) +
                          (wanted.StopBits == TWOSTOPBITS ? 1u : 0u);
    characterMicros.store(static_cast<uint32_t>(bits * 1000000ull / wanted.BaudRate + 1));
    guard.unlock();
    {
        std::lock_guard writing(writeLock);
        if (ownToggle && !rtsToggle && !rtsRaised && error == ERROR_SUCCESS)
            error = LineIoctl(TIOCMBIC, TIOCM_RTS); // the transmitter is off until something is sent
        rtsToggle = ownToggle;
        if (!ownToggle)
            rtsRaised = false;
    }
    if (error != ERROR_SUCCESS)
        return Fail(error);
    return TRUE;
}

BOOL CommDevice::SetTimeouts(const COMMTIMEOUTS& wanted)
{
    std::lock_guard guard(settingsLock);
    timeouts = wanted;
    return TRUE;
}

BOOL CommDevice::GetTimeouts(LPCOMMTIMEOUTS result)
{
    if (!result)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard guard(settingsLock);
    *result = timeouts;
    return TRUE;
}

BOOL CommDevice::ClearError(LPDWORD errors, LPCOMSTAT status)
{
    if (dead.load())
        return Fail(kGoneError);
    ErrorCounts counts;
    if (!ReadErrorCounts(&counts)) {
        MarkDead();
        return Fail(kGoneError);
    }
    DWORD bits;
    {
        std::lock_guard guard(errorLock);
        bits = pendingErrors;
        pendingErrors = 0;
        if (hasErrorCounts.load(std::memory_order_relaxed)) {
            bits |= ErrorBits(errorsCleared, counts);
            errorsCleared = counts;
        }
    }
    if (status) {
        *status = COMSTAT{};
        int input = 0;
        if (const int error = Query(qkOther, FIONREAD, &input)) {
            if (IsGone(error))
                MarkDead();
            return Fail(Win32ErrorFromErrno(error, TErrnoUse::euLine));
        }
        const int output = OutputQueued();
        uint64_t pending = 0;
        {
            std::lock_guard guard(writeLock);
            for (const WriteRequest& request : writes)
                pending += request.size - request.done;
        }
        status->cbInQue = static_cast<DWORD>(input);
        status->cbOutQue = static_cast<DWORD>(std::min<uint64_t>(uint64_t(output) + pending, MAXDWORD));
    }
    if (errors)
        *errors = bits;
    return TRUE;
}

BOOL CommDevice::Escape(DWORD function)
{
    if (dead.load())
        return Fail(kGoneError);
    DWORD error = ERROR_SUCCESS;
    switch (function) {
    case SETDTR:
        error = LineIoctl(TIOCMBIS, TIOCM_DTR);
        break;
    case CLRDTR:
        error = LineIoctl(TIOCMBIC, TIOCM_DTR);
        break;
    case SETRTS:
        error = LineIoctl(TIOCMBIS, TIOCM_RTS);
        break;
    case CLRRTS:
        error = LineIoctl(TIOCMBIC, TIOCM_RTS);
        break;
    case SETBREAK:
    case CLRBREAK:
        if (const int failed = Query(qkOther, function == SETBREAK ? TIOCSBRK : TIOCCBRK, nullptr);
            failed != 0 && !IsMissing(failed))
            error = Win32ErrorFromErrno(failed, TErrnoUse::euLine);
        break;
    case SETXOFF:
    case SETXON:
        if (const int failed =
                Query(qkOther, TCXONC,
                      reinterpret_cast<void*>(static_cast<uintptr_t>(function == SETXOFF ? TCOOFF : TCOON)));
            failed != 0 && !IsMissing(failed))
            error = Win32ErrorFromErrno(failed, TErrnoUse::euLine);
        break;
    case RESETDEV:
        break;
    default:
        return Fail(ERROR_INVALID_PARAMETER);
    }
    if (error != ERROR_SUCCESS)
        return Fail(error);
    return TRUE;
}

BOOL CommDevice::ModemStatus(LPDWORD status)
{
    if (!status)
        return Fail(ERROR_INVALID_PARAMETER);
    if (dead.load())
        return Fail(kGoneError);
    DWORD lines = 0;
    if (!ReadModemLines(&lines)) {
        MarkDead();
        return Fail(kGoneError);
    }
    std::lock_guard guard(eventLock);
    *status = lines | injectedModem;
    return TRUE;
}

BOOL CommDevice::Purge(DWORD flags)
{
    if (flags & ~(PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR))
        return Fail(ERROR_INVALID_PARAMETER);
    if (flags & PURGE_TXABORT) {
        // Ends the writes here and now, so the caller may reuse their buffers on return.
        std::lock_guard guard(writeLock);
        EndWritesLocked(ERROR_OPERATION_ABORTED);
        Wake(writeWake);
    }
    if (flags & PURGE_RXABORT) {
        std::lock_guard guard(readLock);
        ++readAborts;
        if (blockedReaders > 0)
            Wake(readWake, static_cast<uint64_t>(blockedReaders));
    }
    // A gone device holds nothing to discard.
    if (dead.load())
        return TRUE;
    if (flags & PURGE_TXCLEAR) {
        if (tcflush(fd, TCOFLUSH) != 0)
            return Fail(dead.load() ? kGoneError : Win32ErrorFromErrno(errno, TErrnoUse::euLine));
        // What the driver held is gone; an adapter may still send what it holds of its own.
        std::lock_guard guard(writeLock);
        const auto held = std::chrono::microseconds(characterMicros.load()) * kAdapterCharacters;
        lineBusyUntil = std::min(lineBusyUntil, Clock::now() + held);
        sentUntil = std::min(sentUntil, Clock::now() + held);
    }
    if (flags & PURGE_RXCLEAR) {
        std::lock_guard guard(readLock);
        // Discarded bytes count as taken, so that arrivals stay continuous: bytes that come
        // after the purge are new, those before it are not reported again.
        int waiting = 0;
        if (Query(qkOther, FIONREAD, &waiting) != 0)
            waiting = 0;
        if (tcflush(fd, TCIFLUSH) != 0)
            return Fail(dead.load() ? kGoneError : Win32ErrorFromErrno(errno, TErrnoUse::euLine));
        consumed += static_cast<uint64_t>(waiting);
    }
    return TRUE;
}

} // namespace platform
