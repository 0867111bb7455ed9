// Who owns a serial device: other processes that have it open, UUCP lock files, and the claim this
// process keeps on every port it holds (a registry entry and, where it can, a lock file of its own).
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

struct stat;

namespace platform
{

/// The lock directory that LINTAKER_LOCK_DIR names replaces /run/lock and /var/lock, for looking
/// and for our own lock files: for a system without them, and for tests.
constexpr const char* kLockDirectoryVariable = "LINTAKER_LOCK_DIR";

/// The device a COM name opens, as far as ownership is concerned.
struct TDeviceIdentity {
    dev_t rdev = 0;
    dev_t filesystem = 0;     // st_dev of the node: tells pseudo-terminals of different devpts apart
    std::string canonical;    // the node's path with every link resolved
    std::string lockNames[2]; // LCK..<name> names other programs may use for it; empty ones unused
};

/// Identifies the character device behind `path` (links followed) without opening it.
/// @return 0, or the errno of stat(); ENOTTY when it is no character device or none that a tty
/// driver serves (/dev/null, which half the system holds open, is no port).
int IdentifyDevice(const std::string& path, TDeviceIdentity* device);

/// Looks for another owner of the device without opening it: this process (a port it has
/// opened), other processes with a descriptor of the same device (those this user may inspect;
/// the program on the far side of a pseudo-terminal, which holds its master, is not an owner),
/// and live lock files. @return whether one was found; `detail` then names it
/// ("held by picocom (process 1234)", "locked by process 1234 (lock file /run/lock/LCK..ttyS0)",
/// "already open in this program (process 99)"). Thread: any.
bool FindOwner(const TDeviceIdentity& device, std::string* detail);

/// Names the holder when the device refused us after we claimed it (a failed flock, or EBUSY from
/// another program's exclusive mode): a process found through /proc, else "locked by another
/// program" (one this user may not inspect).
std::string UnseenOwnerDetail(const TDeviceIdentity& device);

/// This process's claim on one port while it is open: a registry entry (so that a second open in
/// this process and ComPortHeld see it) and our UUCP lock file when a lock directory is writable.
/// Released once, by Release() or the destructor; lock files still held at exit() are removed
/// then. Thread: the owner of the object; the registry behind it has its own lock.
class TPortClaim
{
public:
    TPortClaim() = default;
    ~TPortClaim() { Release(); }
    TPortClaim(TPortClaim&& other) noexcept : id(other.id) { other.id = 0; }
    TPortClaim& operator=(TPortClaim&& other) noexcept;
    TPortClaim(const TPortClaim&) = delete;
    TPortClaim& operator=(const TPortClaim&) = delete;

    /// Claims the device: fails when a live lock file of another process, or a claim of this
    /// process, is there (`detail` says whose). A stale lock file (its process gone) is removed;
    /// where no lock directory is writable the claim goes on without a lock file.
    static bool Take(const TDeviceIdentity& device, TPortClaim* claim, std::string* detail);

    /// Removes our lock file (only while it still holds our process id) and the registry entry.
    void Release();

    bool Held() const { return id != 0; }

private:
    uint64_t id = 0;
};

} // namespace platform
