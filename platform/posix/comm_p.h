// Internals of the serial calls: the kernel's line settings without <termios.h>, the translation
// of a device configuration record into them, and the object behind a comm handle.
#pragma once

#include "platform/posix/comm_owner_p.h"
#include "platform/posix/kernel_object.h"
#include "platform/posix/win32_comm.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>

struct serial_icounter_struct;

namespace platform
{

// ---- Line settings (comm_termios2.cpp, the one file that sees <asm/termbits.h>) -------------

/// The kernel's struct termios2 field for field, so that code which includes <termios.h> can
/// hold one. Flag values and c_cc indices are the kernel's (the same numbers glibc uses).
struct LineTermios {
    uint32_t iflag = 0;
    uint32_t oflag = 0;
    uint32_t cflag = 0;
    uint32_t lflag = 0;
    uint8_t line = 0;
    uint8_t cc[19] = {};
    uint32_t ispeed = 0;
    uint32_t ospeed = 0;

    bool operator==(const LineTermios&) const = default;
};

/// Whether SetCommState can apply the record: a rate above 0, 5 to 8 data bits, a known parity,
/// 1.5 stop bits only and 2 stop bits never with 5 data bits, a known DTR control, and different
/// XON and XOFF characters when software flow is on.
bool IsValidDcb(const DCB& dcb);

/// The kernel settings for a record, built from zero so that nothing a previous user of the port
/// left in force survives: raw input and output, reads that never wait (VMIN = VTIME = 0), breaks
/// ignored, no parity checking or stripping (line errors are counted by the driver instead).
/// Standard rates use their Bnnn code, any other rate BOTHER; input follows the output rate.
LineTermios TermiosFromDcb(const DCB& dcb);

/// TCGETS2 and TCSETS2 on an open tty. @return 0 or the errno.
int ReadLineTermios(int fd, LineTermios* settings);
int WriteLineTermios(int fd, const LineTermios& settings);

// ---- A line played by a test (comm_device.cpp) -------------------------------------------------

/// The driver's counters a test plays: modem-line changes and line errors.
struct CommTestCounts {
    int cts = 0;
    int dsr = 0;
    int rng = 0;
    int dcd = 0;
    int frame = 0;
    int parity = 0;
    int overrun = 0;
    int brk = 0;
    int bufOverrun = 0;
};

/// Modem lines and counters of a device played by a test, for a port over a pseudo-terminal
/// (which has neither). Each call answers as the driver's ioctl would: 0 or an errno.
/// Thread: the port's workers and callers, concurrently.
class CommTestLines
{
public:
    virtual ~CommTestLines() = default;
    /// TIOCMGET: TIOCM_* bits.
    virtual int ModemLines(int* bits) = 0;
    /// TIOCGICOUNT.
    virtual int Counts(CommTestCounts* counts) = 0;
    /// TIOCMIWAIT: blocks until a modem line changes (0) or a signal interrupts the calling
    /// thread (EINTR); ENOTTY where the driver has no such wait.
    virtual int WaitForChange() = 0;
};

/// Makes an open port ask `lines` instead of the driver from now on, as if it had just been opened
/// on a device that has modem lines and counters. `lines` must outlive the port.
BOOL SetCommLinesForTesting(HANDLE file, CommTestLines* lines);

// ---- Names and overlapped records (comm.cpp) ---------------------------------------------------

/// n for "\\.\COMn" or "COMn" (COM in any case, n from 1 without leading zeros), else 0.
int ComNumberFromName(const char* name);

/// The record after opening: the given rate (9600 when the line had none), 8 data bits, no
/// parity, one stop bit, DTR and RTS on, no flow control, DC1/DC3 as flow characters.
DCB InitialDcb(DWORD rate);

/// Marks a record pending and resets its event: the start of every overlapped operation.
void BeginOverlapped(OVERLAPPED* record);
/// Stores the outcome in the record, then sets its event and wakes GetOverlappedResult. The
/// caller does not touch the record afterwards. Thread: any; takes the completion lock.
void CompleteOverlapped(OVERLAPPED* record, DWORD error, DWORD bytes);

// ---- The comm handle --------------------------------------------------------------------------

/// An open serial port. Created by CreateFileA, ended by CloseHandle (OnClose stops the workers
/// and ends pending operations; the descriptor is closed when the last reference goes).
///
/// Threads: any thread may call any operation; the stack's threads each use their own (the
/// device-event thread waits, the dispatch thread reads, the output thread writes). A line-event
/// wait whose record has no event (the device-event thread's) is watched by the thread that asks
/// for its result, inside GetOverlappedResult. Two workers of its own, started on first use:
/// "commevent" completes pending line-event waits whose record has an event, "commwrite" finishes
/// pending writes. Each sleeps in epoll_wait/poll on the descriptor and a wake eventfd, or on a
/// condition variable while it has nothing to do.
///
/// A third worker, "commmodem", started when a wait first asks for modem-line events on a device
/// that has modem lines, sleeps in the driver's wait for a modem-line change (TIOCMIWAIT) and
/// wakes whichever thread watches the line; it is interrupted by a private signal (installed without SA_RESTART)
/// when the mask no longer asks for modem events, when the device goes and at the close. Where the
/// driver has no such wait (ENOTTY, EINVAL) the line watch reads the modem lines every
/// kModemPollMs instead; error counters are read when bytes arrive, when a modem line changes and
/// otherwise every kErrorPollMs.
///
/// A device that goes (hang-up, EIO, ENODEV) is released at once: the descriptor's number is
/// made to stand for /dev/null (dup3), so the kernel frees the tty and its name while threads
/// still inside a call on the number stay safe; from then on waits fail once, reads give 0 bytes,
/// and writes and line calls fail with the gone error.
///
/// Locks: stateChangeLock (one SetCommState at a time, held across the drain wait) comes before
/// settingsLock and writeLock. eventLock and writeLock may be held while the completion lock
/// (comm.cpp) or the platform's event locks (ResetEvent, SetEvent) are taken, the completion lock
/// while SetEvent takes the platform's; readLock, errorLock and settingsLock are otherwise taken
/// alone. claimLock, and the claim registry's lock behind it, is innermost: a gone device gives
/// its claim back from whichever lock found it gone. No lock is held while a worker sleeps in
/// epoll_wait/poll/TIOCMIWAIT, nor while the line is sampled (the ioctls can be slow on USB adapters).
class CommDevice final : public KernelObject
{
public:
    /// Takes the open, locked, raw descriptor. @return nullptr (and the last error) when the
    /// wake descriptors cannot be made; the descriptor is then closed.
    static CommDevice* Create(int fd, const DCB& initial);

    ~CommDevice() override;
    void OnClose() override;
    /// Holds this process's claim on the device (its lock file) until the port closes.
    /// Called by CreateFileA before the handle is handed out.
    void KeepClaim(TPortClaim taken)
    {
        std::lock_guard guard(claimLock);
        claim = std::move(taken);
    }

    BOOL Read(LPVOID buffer, DWORD toRead, LPDWORD bytesRead, LPOVERLAPPED overlapped);
    BOOL Write(LPCVOID buffer, DWORD toWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped);
    BOOL GetState(LPDCB dcb);
    BOOL SetState(const DCB& dcb);
    BOOL SetTimeouts(const COMMTIMEOUTS& timeouts);
    BOOL GetTimeouts(LPCOMMTIMEOUTS timeouts);
    BOOL SetMask(DWORD mask);
    BOOL GetMask(LPDWORD mask);
    BOOL WaitEvent(LPDWORD eventMask, LPOVERLAPPED overlapped);
    /// Runs the pending event wait of `overlapped` in the calling thread until it ends, when it is
    /// this port's wait and was made without an event (only its result's asker can see it end);
    /// returns at once otherwise. GetOverlappedResult's wait calls it.
    void DriveWait(LPOVERLAPPED overlapped);
    BOOL ClearError(LPDWORD errors, LPCOMSTAT status);
    BOOL Escape(DWORD function);
    BOOL ModemStatus(LPDWORD status);
    BOOL Purge(DWORD flags);
    void InjectErrors(DWORD errors);
    void InjectModemStatus(DWORD status);
    DWORD Wakeups() const { return wakeups.load(std::memory_order_relaxed); }
    DWORD OutputLines() const { return outputLines.load(); }
    DWORD RtsRaises() const { return rtsRaises.load(); }
    CommQueryCounts QueryCounts() const;
    void InjectOutputQueue(LONG bytes) { injectedOutputQueue.store(bytes < 0 ? -1 : bytes); }
    void UseTestLines(CommTestLines* lines);

private:
    /// The driver's counters (TIOCGICOUNT), the same record a test plays: the errors that become
    /// CE_* bits, and the modem-line changes, which tell of a change that happened while nobody
    /// was waiting for it.
    using ErrorCounts = CommTestCounts;
    /// What a driver query is about, for the counts tests and measurements read.
    enum QueryKind { qkModemLines, qkModemWait, qkErrorCounts, qkOutputQueue, qkOther, qkKinds };
    /// What the line looked like at one moment, taken without eventLock.
    struct Sample {
        uint64_t arrivals = 0; // bytes ever taken into the driver's input queue
        DWORD modem = 0;       // driver's MS_* bits (0 without modem lines)
        ErrorCounts errors;
    };
    struct WriteRequest {
        OVERLAPPED* record;
        const uint8_t* data;
        DWORD size;
        DWORD done;
    };

    CommDevice(int fd, int eventWake, int epollFd, int writeWake, int readWake, const DCB& initial);

    bool TakeSample(Sample* sample);
    DWORD Arrivals(uint64_t* arrivals);
    DWORD EventsSinceLocked(const Sample& sample) const;
    void TakeBaselinesLocked(const Sample& sample);
    /// How long the event worker may sleep before it looks at the line again (-1: until woken).
    int TickMsLocked() const;
    /// Ends the modem worker's driver wait so that it looks at its state again. @pre eventLock held.
    void PokeModemWorkerLocked();
    void CompleteWaitLocked(DWORD events, DWORD error);
    /// One look at the line for the pending wait, and a sleep in epoll until something may have
    /// happened; the event worker and a caller driving its own wait run it. @pre eventLock held.
    void WatchOnceLocked(std::unique_lock<std::mutex>& lock);
    void EventWorker();
    void WriteWorker();
    void EndWritesLocked(DWORD error);
    /// Writes what the driver takes now. @return 0, EAGAIN, or another errno.
    int WriteSome(WriteRequest& request);
    DWORD ReadAvailable(uint8_t* buffer, DWORD toRead, DWORD* got);
    DWORD ReadAvailableLocked(uint8_t* buffer, DWORD toRead, DWORD* got);
    DWORD ReadWithTimeouts(uint8_t* buffer, DWORD toRead, const COMMTIMEOUTS& timeouts, DWORD* got);
    /// Marks the device gone and releases the tty at once (see the class comment).
    void MarkDead();
    /// One driver query on the line, counted. @return 0 or the errno; EIO once the device is gone,
    /// also when the number already stands for /dev/null (which would answer ENOTTY).
    int Query(QueryKind kind, unsigned long request, void* argument);
    /// The driver's error and modem-change counters (TIOCGICOUNT), counted as a query; played by
    /// the test lines where a test gave some. Kept apart from Query, whose other requests fill an int.
    int QueryErrorCounts(serial_icounter_struct* counts);
    /// The modem-line worker's body, and its start (@pre eventLock held) and stop (@pre not held).
    void ModemWorker();
    bool StartModemWorkerLocked();
    void StopModemWorker();
    /// Whether the mask asks for modem events the modem worker can wait for. @pre eventLock held.
    bool WantsModemWaitLocked() const;
    /// Waits until the bytes handed to this layer and the driver have left the line at the present
    /// settings, no longer than they take plus a margin (10 s at most). Takes writeLock at times.
    void DrainOutput();
    /// The driver's output queue (or the injected one). @return 0 when unknown.
    int OutputQueued();
    /// Reads the modem lines. @return false when the device has gone.
    bool ReadModemLines(DWORD* status);
    /// Reads the error counters. @return false when the device has gone.
    bool ReadErrorCounts(ErrorCounts* counts);
    /// A line ioctl that pseudo-terminals lack. @return 0, or the Win32 error when it failed for
    /// another reason than the device lacking it.
    DWORD LineIoctl(unsigned long request, int bits);
    using Clock = std::chrono::steady_clock;
    /// Raises RTS before a write when RTS switches the transmitter and the driver cannot.
    /// @pre writeLock held.
    void RaiseRtsForSendingLocked();
    /// Counts bytes the driver took while RTS is up for them. @pre writeLock held.
    void NoteBytesSentLocked(DWORD count);
    /// @return false when the write worker cannot be started. @pre writeLock held.
    bool StartWriteWorkerLocked();
    enum TTransmitter { txEmpty, txSending, txUnknown };
    /// Asks the controller whether its last bit has left the line (TIOCSERGETLSR). txUnknown when
    /// it cannot tell, which is remembered in hasTransmitterReport, or the device has gone.
    TTransmitter Transmitter();
    /// Waits until the last bit written since RTS went up has left the line. With `deadline`
    /// the wait ends there at the latest and goes on through new writes and stopping (a close
    /// or a write with no worker to lower RTS later); without, it gives up as soon as a write
    /// pends, the worker stops or RTS is no longer up, and starts again when a write comes.
    /// Leaves `lock` (writeLock) while it sleeps. @return whether RTS is to be lowered now.
    bool WaitUntilSentLocked(std::unique_lock<std::mutex>& lock, const Clock::time_point* deadline);
    /// Waits until the driver's transmitter has sent its last bit, then lowers RTS unless another
    /// write came meanwhile. Called by the write worker with `lock` (writeLock) held; leaves it
    /// during the wait.
    void LowerRtsWhenSentLocked(std::unique_lock<std::mutex>& lock);
    /// Lowers RTS once the bytes already written have gone, waiting no longer than they take at
    /// the present rate (10 s at most): for a close, and for a write that has no worker to do it.
    void LowerRtsAfterDrainLocked(std::unique_lock<std::mutex>& lock);
    /// @pre writeLock held.
    void LowerRtsLocked();
    void Shutdown();

    const int fd;
    const int eventWake; // eventfd: SetCommMask, injections, device gone, close
    const int epollFd;   // the descriptor (edge-triggered) and eventWake
    const int writeWake; // eventfd: PURGE_TXABORT, close
    const int readWake;  // eventfd (semaphore): PURGE_RXABORT, close, for reads with time-outs

    std::atomic<bool> closed{false};
    /// Set once, when the device has gone (hang-up, EIO); from then on the descriptor is neither
    /// watched nor written. Sequentially consistent: read without locks by every operation.
    std::atomic<bool> dead{false};
    std::atomic<bool> hasModemLines{true};
    std::atomic<bool> hasErrorCounts{true};
    /// The driver can wait for a modem-line change (TIOCMIWAIT); ptys and some drivers cannot.
    std::atomic<bool> hasModemWait{true};
    std::atomic<DWORD> queries[qkKinds];
    std::atomic<long> injectedOutputQueue{-1};
    std::atomic<CommTestLines*> testLines{nullptr};
    /// The controller tells when its transmitter is empty (TIOCSERGETLSR); USB adapters other
    /// than FTDI's and pseudo-terminals do not.
    std::atomic<bool> hasTransmitterReport{true};
    std::atomic<DWORD> wakeups{0};
    /// The DTR (0x01) and RTS (0x02) levels last asked of the driver, also on devices without
    /// modem lines; and how often RTS was raised for sending.
    std::atomic<DWORD> outputLines{0x03};
    std::atomic<DWORD> rtsRaises{0};
    /// Microseconds one character takes at the present settings (the last SetCommState).
    std::atomic<uint32_t> characterMicros{1042};
    /// Mirrors waitRecord != nullptr for readers, which must not take eventLock.
    std::atomic<bool> waitPending{false};

    // Taken first, with no other lock of the device held; under it settingsLock and writeLock.
    std::mutex stateChangeLock;
    // Taken alone, or under stateChangeLock; under it only claimLock (a device found gone).
    std::mutex settingsLock;
    DCB dcb; // guarded by settingsLock
    /// A new handle's reads return at once with what is there, until somebody asks otherwise: no
    /// order in which the stack's threads start can leave a reader waiting for bytes.
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0}; // guarded by settingsLock
    bool rs485Set = false; // guarded by settingsLock: the driver's RS-485 mode was switched on

    // Taken alone; under it only claimLock (a device found gone).
    std::mutex readLock;
    /// Bytes taken out of the driver's input queue by reads and purges. With the queue count it
    /// gives `arrivals`, which grows exactly when bytes come in, however much is left unread.
    uint64_t consumed = 0;   // guarded by readLock
    uint64_t readAborts = 0; // guarded by readLock: PURGE_RXABORT and close count up
    int blockedReaders = 0;  // guarded by readLock: reads with time-outs waiting in poll

    // Taken alone; under it the completion lock, the platform's event locks and claimLock.
    std::mutex eventLock;
    std::condition_variable eventIdle; // with eventLock: the event worker has nothing to do
    DWORD mask = 0;                    // guarded by eventLock
    OVERLAPPED* waitRecord = nullptr;  // guarded by eventLock: the pending wait, if any
    DWORD* waitMask = nullptr;         // guarded by eventLock
    uint64_t generation = 0;           // guarded by eventLock: counts mask changes and waits
    bool eventStopping = false;        // guarded by eventLock
    bool deathReported = false;        // guarded by eventLock
    /// The pending wait has no event: the thread that asks for its result drives it, the event
    /// worker leaves it alone.
    bool waitByCaller = false;     // guarded by eventLock
    uint64_t reportedArrivals = 0; // guarded by eventLock
    DWORD modemSeen = 0;           // guarded by eventLock
    ErrorCounts errorsSeen;        // guarded by eventLock
    DWORD injectedEventErrors = 0; // guarded by eventLock
    DWORD injectedModem = 0;       // guarded by eventLock
    std::thread eventThread;       // started and joined under eventLock / by OnClose
    /// The modem worker: its thread (started under eventLock, joined by Shutdown), whether it must
    /// leave, whether it is inside its driver wait (the modem lines it read just before are then
    /// current until it wakes: modemCache), and whether it has left.
    std::thread modemThread;
    std::condition_variable modemIdle; // with eventLock
    bool modemStopping = false;        // guarded by eventLock
    bool modemWaiting = false;         // guarded by eventLock
    bool modemLeft = false;            // guarded by eventLock
    DWORD modemCache = 0;              // guarded by eventLock
    ErrorCounts modemCounts;           // guarded by eventLock: the counters when modemCache was read

    std::mutex errorLock;      // a leaf: nothing is taken under it
    DWORD pendingErrors = 0;   // guarded by errorLock: injected, not yet cleared
    ErrorCounts errorsCleared; // guarded by errorLock: counters at the last ClearCommError

    // Taken alone, or under stateChangeLock; under it the completion lock, the platform's event
    // locks and claimLock.
    std::mutex writeLock;
    std::condition_variable writeIdle; // with writeLock
    std::condition_variable drainWake; // with writeLock: a settings change waiting for the line
    std::deque<WriteRequest> writes;   // guarded by writeLock, oldest first
    bool writeStopping = false;        // guarded by writeLock
    /// RTS switches an RS-485 transmitter and the driver has no RS-485 mode: this layer raises
    /// RTS before each write and lowers it once the last bit has gone.
    bool rtsToggle = false;     // guarded by writeLock
    bool rtsRaised = false;     // guarded by writeLock
    uint64_t writesStarted = 0; // guarded by writeLock: writes made while toggling
    /// When the bytes the driver took since RTS went up would have left the line if sent back to
    /// back at the present rate: a USB adapter holds hundreds of bytes the driver no longer counts.
    Clock::time_point lineBusyUntil{}; // guarded by writeLock
    /// The same for every byte the driver took, toggling or not: when a settings change may go.
    Clock::time_point sentUntil{}; // guarded by writeLock
    std::thread writeThread;
    /// Given back by Shutdown, when the exclusive locks go, or as soon as the device has gone: a
    /// device that comes back is somebody else's to open, ours included. Taken alone or under any
    /// other lock of the device; under it only the claim registry's lock (comm_owner.cpp).
    std::mutex claimLock;
    TPortClaim claim; // guarded by claimLock
    void ReleaseClaim()
    {
        std::lock_guard guard(claimLock);
        claim.Release();
    }
};

} // namespace platform
