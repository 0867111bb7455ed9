// The Win32 serial calls: CreateFileA of COM names through the device map, the overlapped-record
// protocol shared by reads, writes and line-event waits, and the calls on an open port.
#include "platform/posix/comm_owner_p.h"
#include "platform/posix/comm_p.h"
#include "platform/posix/devicemap.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <string_view>
#include <type_traits>
#include <utility>

namespace platform
{

namespace
{

// What Windows keeps in Internal while an operation is pending (STATUS_PENDING). No operation
// here completes with the Win32 error of the same number (ERROR_NO_MORE_ITEMS).
constexpr ULONG_PTR kPending = 0x103;

// Guards Internal and InternalHigh of every record in flight, so that whoever sees a record
// completed also sees its event already set: the completer is done with it then.
// Order: may be taken under a comm device's eventLock or writeLock and under the stack's locks;
// under it only SetEvent's handle-table and wait locks.
std::mutex completionLock;
std::condition_variable completionDone; // with completionLock: some record completed

bool EqualsIgnoringCase(std::string_view text, std::string_view upper)
{
    if (text.size() != upper.size())
        return false;
    for (size_t i = 0; i < text.size(); ++i) {
        const char c = text[i] >= 'a' && text[i] <= 'z' ? static_cast<char>(text[i] - 'a' + 'A') : text[i];
        if (c != upper[i])
            return false;
    }
    return true;
}

HANDLE FailOpen(DWORD error)
{
    SetLastError(error);
    return INVALID_HANDLE_VALUE;
}

// Refuses a port that somebody else holds, with what is known of the holder beside the error.
HANDLE FailOpenHeld(std::string holder)
{
    SetLastErrorDetail(std::move(holder));
    return FailOpen(ERROR_ACCESS_DENIED);
}

} // namespace

int ComNumberFromName(const char* name)
{
    if (!name)
        return 0;
    std::string_view text(name);
    if (text.starts_with("\\\\.\\"))
        text.remove_prefix(4);
    if (text.size() < 4 || !EqualsIgnoringCase(text.substr(0, 3), "COM") || text[3] == '0')
        return 0;
    int number = 0;
    for (char c : text.substr(3)) {
        if (c < '0' || c > '9')
            return 0;
        number = number * 10 + (c - '0');
        if (number > 99999)
            return 0;
    }
    return number;
}

DCB InitialDcb(DWORD rate)
{
    DCB dcb{};
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = rate != 0 ? rate : CBR_9600;
    dcb.fBinary = 1;
    dcb.fDtrControl = DTR_CONTROL_ENABLE; // opening a tty raises DTR and RTS
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    return dcb;
}

void BeginOverlapped(OVERLAPPED* record)
{
    {
        std::lock_guard guard(completionLock);
        record->Internal = kPending;
        record->InternalHigh = 0;
    }
    if (record->hEvent)
        ResetEvent(record->hEvent);
}

void CompleteOverlapped(OVERLAPPED* record, DWORD error, DWORD bytes)
{
    std::lock_guard guard(completionLock);
    record->InternalHigh = bytes;
    record->Internal = error == kPending ? ERROR_GEN_FAILURE : error;
    if (record->hEvent)
        SetEvent(record->hEvent);
    completionDone.notify_all();
}

} // namespace platform

using platform::CommDevice;

namespace
{

/// The port behind a handle, with a reference held for the call; empty with ERROR_INVALID_HANDLE.
platform::Ref<CommDevice> Port(HANDLE file)
{
    platform::Ref<CommDevice> port = platform::LookUpHandleAs<CommDevice>(file);
    if (!port)
        SetLastError(ERROR_INVALID_HANDLE);
    return port;
}

/// Runs an operation on the port behind a handle: FALSE with ERROR_INVALID_HANDLE when there is
/// none. An operation without a result of its own succeeds.
template <auto Operation, class... TArgs> BOOL OnPort(HANDLE file, TArgs... args)
{
    auto port = Port(file);
    if (!port)
        return FALSE;
    if constexpr (std::is_void_v<decltype(((*port).*Operation)(args...))>) {
        ((*port).*Operation)(args...);
        return TRUE;
    } else {
        return ((*port).*Operation)(args...);
    }
}

/// As OnPort, for an operation that takes a record the caller must give: a missing record is
/// ERROR_INVALID_PARAMETER, once the handle is known to be a port.
template <auto Operation, class TRecord> BOOL OnPortWithRecord(HANDLE file, TRecord* record)
{
    auto port = Port(file);
    if (!port)
        return FALSE;
    if (!record) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    return ((*port).*Operation)(*record);
}

} // namespace

HANDLE CreateFileA(LPCSTR fileName, DWORD desiredAccess, DWORD, LPSECURITY_ATTRIBUTES,
                   DWORD creationDisposition, DWORD, HANDLE)
{
    platform::SetLastErrorDetail({});
    const int number = platform::ComNumberFromName(fileName);
    if (number == 0)
        return platform::FailOpen(ERROR_FILE_NOT_FOUND);
    if (creationDisposition != OPEN_EXISTING)
        return platform::FailOpen(ERROR_INVALID_PARAMETER);
    const std::optional<std::string> path = platform::ResolveComDevice(number);
    if (!path)
        return platform::FailOpen(ERROR_FILE_NOT_FOUND);

    // Ownership is settled before the device is even opened: opening a real port raises DTR and
    // RTS, and rewriting the line settings or flushing would disturb whoever holds it, even if we
    // gave up afterwards.
    platform::TDeviceIdentity identity;
    if (const int error = platform::IdentifyDevice(*path, &identity))
        return platform::FailOpen(platform::Win32ErrorFromErrno(error, platform::TErrnoUse::euPortOpen));
    std::string holder;
    if (platform::FindOwner(identity, &holder))
        return platform::FailOpenHeld(std::move(holder));
    // The lock file comes before the open, as the programs that use lock files do; the claim
    // gives it back on every way out of here until the port object takes it over.
    platform::TPortClaim claim;
    if (!platform::TPortClaim::Take(identity, &claim, &holder))
        return platform::FailOpenHeld(std::move(holder));

    int access = O_RDWR;
    if ((desiredAccess & (GENERIC_READ | GENERIC_WRITE)) == GENERIC_READ)
        access = O_RDONLY;
    else if ((desiredAccess & (GENERIC_READ | GENERIC_WRITE)) == GENERIC_WRITE)
        access = O_WRONLY;
    // O_NOCTTY: a session leader would otherwise get the port as its controlling terminal and
    // be killed by SIGHUP when the line hangs up.
    const int fd = open(path->c_str(), access | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const DWORD error = platform::Win32ErrorFromErrno(errno, platform::TErrnoUse::euPortOpen);
        if (error == ERROR_ACCESS_DENIED) // another program's TIOCEXCL
            return platform::FailOpenHeld(platform::UnseenOwnerDetail(identity));
        return platform::FailOpen(error);
    }

    platform::LineTermios current;
    if (const int error = platform::ReadLineTermios(fd, &current)) {
        close(fd);
        // Something that is not a tty is not a port of that name.
        return platform::FailOpen(platform::Win32ErrorFromErrno(error, platform::TErrnoUse::euPortOpen));
    }
    // flock keeps out every other opener that takes part, root and this process included (a
    // holder this user may not inspect through /proc among them); TIOCEXCL also keeps out
    // programs that open the port after us without the lock (except root).
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const DWORD error = platform::Win32ErrorFromErrno(errno, platform::TErrnoUse::euPortLock);
        close(fd);
        if (error == ERROR_ACCESS_DENIED)
            return platform::FailOpenHeld(platform::UnseenOwnerDetail(identity));
        return platform::FailOpen(error);
    }
    ioctl(fd, TIOCEXCL);

    // The line keeps whatever its previous user set until told otherwise: start from raw 8N1 at
    // the present rate, and drop bytes that were waiting for somebody else.
    const DCB initial = platform::InitialDcb(current.ospeed);
    if (const int error = platform::WriteLineTermios(fd, platform::TermiosFromDcb(initial))) {
        ioctl(fd, TIOCNXCL);
        close(fd);
        return platform::FailOpen(platform::Win32ErrorFromErrno(error, platform::TErrnoUse::euLine));
    }
    tcflush(fd, TCIOFLUSH);

    CommDevice* device = CommDevice::Create(fd, initial);
    if (!device)
        return INVALID_HANDLE_VALUE;
    device->KeepClaim(std::move(claim));
    return platform::OpenHandle(device);
}

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD bytesRead, LPOVERLAPPED overlapped)
{
    return OnPort<&CommDevice::Read>(file, buffer, toRead, bytesRead, overlapped);
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD bytesWritten, LPOVERLAPPED overlapped)
{
    return OnPort<&CommDevice::Write>(file, buffer, toWrite, bytesWritten, overlapped);
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD bytesTransferred, BOOL wait)
{
    if (!overlapped) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (wait && !overlapped->hEvent) {
        // A line-event wait made without an event is watched for here, in the asking thread.
        if (platform::Ref<CommDevice> port = platform::LookUpHandleAs<CommDevice>(file))
            port->DriveWait(overlapped);
    }
    std::unique_lock lock(platform::completionLock);
    if (overlapped->Internal == platform::kPending) {
        if (!wait) {
            SetLastError(ERROR_IO_INCOMPLETE);
            return FALSE;
        }
        if (HANDLE event = overlapped->hEvent) {
            lock.unlock();
            WaitForSingleObject(event, INFINITE);
            lock.lock();
        }
        // Also covers records without an event, and an event that was set by someone else.
        platform::completionDone.wait(lock,
                                      [overlapped] { return overlapped->Internal != platform::kPending; });
    }
    const auto error = static_cast<DWORD>(overlapped->Internal);
    const auto bytes = static_cast<DWORD>(overlapped->InternalHigh);
    lock.unlock();
    if (bytesTransferred)
        *bytesTransferred = bytes;
    if (error != ERROR_SUCCESS) {
        SetLastError(error);
        return FALSE;
    }
    return TRUE;
}

BOOL SetupComm(HANDLE file, DWORD, DWORD) { return Port(file) ? TRUE : FALSE; }

BOOL GetCommState(HANDLE file, LPDCB dcb) { return OnPort<&CommDevice::GetState>(file, dcb); }

BOOL SetCommState(HANDLE file, LPDCB dcb) { return OnPortWithRecord<&CommDevice::SetState>(file, dcb); }

BOOL SetCommMask(HANDLE file, DWORD eventMask) { return OnPort<&CommDevice::SetMask>(file, eventMask); }

BOOL GetCommMask(HANDLE file, LPDWORD eventMask) { return OnPort<&CommDevice::GetMask>(file, eventMask); }

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts)
{
    return OnPortWithRecord<&CommDevice::SetTimeouts>(file, timeouts);
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts)
{
    return OnPort<&CommDevice::GetTimeouts>(file, timeouts);
}

BOOL WaitCommEvent(HANDLE file, LPDWORD eventMask, LPOVERLAPPED overlapped)
{
    return OnPort<&CommDevice::WaitEvent>(file, eventMask, overlapped);
}

BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT status)
{
    return OnPort<&CommDevice::ClearError>(file, errors, status);
}

BOOL EscapeCommFunction(HANDLE file, DWORD function) { return OnPort<&CommDevice::Escape>(file, function); }

BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus)
{
    return OnPort<&CommDevice::ModemStatus>(file, modemStatus);
}

BOOL PurgeComm(HANDLE file, DWORD flags) { return OnPort<&CommDevice::Purge>(file, flags); }

namespace platform
{

bool ComPortHeld(int number, std::string* detail)
{
    const std::optional<std::string> path = ResolveComDevice(number);
    TDeviceIdentity device;
    if (!path || IdentifyDevice(*path, &device) != 0)
        return false;
    std::string holder;
    if (!FindOwner(device, &holder))
        return false;
    if (detail)
        *detail = std::move(holder);
    return true;
}

BOOL InjectCommErrorsForTesting(HANDLE file, DWORD errors)
{
    return OnPort<&CommDevice::InjectErrors>(file, errors);
}

BOOL InjectModemStatusForTesting(HANDLE file, DWORD modemStatus)
{
    return OnPort<&CommDevice::InjectModemStatus>(file, modemStatus);
}

DWORD CommWorkerWakeupsForTesting(HANDLE file)
{
    auto port = Port(file);
    return port ? port->Wakeups() : 0;
}

BOOL CommOutputLinesForTesting(HANDLE file, LPDWORD lines, LPDWORD rtsRaises)
{
    auto port = Port(file);
    if (!port)
        return FALSE;
    if (lines)
        *lines = port->OutputLines();
    if (rtsRaises)
        *rtsRaises = port->RtsRaises();
    return TRUE;
}

BOOL CommQueryCountsForTesting(HANDLE file, CommQueryCounts* counts)
{
    auto port = Port(file);
    if (!port)
        return FALSE;
    if (counts)
        *counts = port->QueryCounts();
    return TRUE;
}

BOOL SetCommLinesForTesting(HANDLE file, CommTestLines* lines)
{
    return OnPort<&CommDevice::UseTestLines>(file, lines);
}

BOOL SetCommOutputQueueForTesting(HANDLE file, LONG bytes)
{
    return OnPort<&CommDevice::InjectOutputQueue>(file, bytes);
}

} // namespace platform
