// Ownership of serial devices: finding who else holds one (other processes through /proc, UUCP
// lock files) and keeping this process's claim, with its lock file, while it holds a port.
#include "platform/posix/comm_owner_p.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string_view>
#include <vector>

namespace platform
{

namespace
{

// UNIX98 pseudo-terminal slaves: majors 136 to 143.
constexpr unsigned kFirstPtyMajor = 136;
constexpr unsigned kLastPtyMajor = 143;

bool IsPty(dev_t rdev) { return major(rdev) >= kFirstPtyMajor && major(rdev) <= kLastPtyMajor; }

// Kernels since 2.6 give every pty major 136 and minors above 255; older ones went on in 137..143.
unsigned PtyIndex(dev_t rdev)
{
    return major(rdev) == kFirstPtyMajor ? minor(rdev) : (major(rdev) - kFirstPtyMajor) * 256 + minor(rdev);
}

// Whether a tty driver serves the device number, from the kernel's list of tty drivers; without
// the list every character device may be one (the open finds out).
bool IsTtyDevice(dev_t rdev)
{
    FILE* drivers = std::fopen("/proc/tty/drivers", "re");
    if (!drivers)
        return true;
    bool tty = false;
    char line[256];
    while (!tty && std::fgets(line, sizeof line, drivers)) {
        char name[64], node[128], range[64];
        unsigned driverMajor = 0;
        if (std::sscanf(line, "%63s %127s %u %63s", name, node, &driverMajor, range) != 4)
            continue;
        unsigned first = 0, last = 0;
        const int parts = std::sscanf(range, "%u-%u", &first, &last);
        if (parts < 1)
            continue;
        if (parts == 1)
            last = first;
        tty = major(rdev) == driverMajor && minor(rdev) >= first && minor(rdev) <= last;
    }
    std::fclose(drivers);
    return tty;
}

// Pseudo-terminals of two devpts instances (containers) share device numbers; real devices are
// the same device under any node that carries their number.
bool SameDevice(dev_t rdev, dev_t filesystem, const TDeviceIdentity& device)
{
    return rdev == device.rdev && (!IsPty(device.rdev) || filesystem == device.filesystem);
}

std::string BaseName(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

std::string DirName(const std::string& path)
{
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
}

std::string ReadLinkText(const std::string& path)
{
    char buffer[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), buffer, sizeof buffer - 1);
    return length > 0 ? std::string(buffer, static_cast<size_t>(length)) : std::string();
}

std::vector<std::string> LockDirectories()
{
    if (const char* chosen = std::getenv(kLockDirectoryVariable); chosen && *chosen)
        return {chosen};
    // /var/lock is a link to /run/lock on most systems: look there once.
    std::vector<std::string> directories;
    std::vector<std::string> resolved;
    for (const char* candidate : {"/run/lock", "/var/lock"}) {
        char real[PATH_MAX];
        const std::string key = realpath(candidate, real) ? real : candidate;
        bool seen = false;
        for (const std::string& other : resolved)
            seen = seen || other == key;
        if (!seen) {
            resolved.push_back(key);
            directories.push_back(candidate);
        }
    }
    return directories;
}

std::string ProcessName(pid_t pid)
{
    std::string name;
    const std::string path = "/proc/" + std::to_string(pid) + "/comm";
    if (FILE* file = std::fopen(path.c_str(), "re")) {
        char buffer[64];
        if (std::fgets(buffer, sizeof buffer, file))
            name = buffer;
        std::fclose(file);
    }
    while (!name.empty() && (name.back() == '\n' || name.back() == '\r'))
        name.pop_back();
    return name;
}

std::string ProcessText(pid_t pid)
{
    const std::string name = ProcessName(pid);
    return (name.empty() ? "a program" : name) + " (process " + std::to_string(pid) + ")";
}

bool ProcessAlive(pid_t pid) { return pid > 0 && (kill(pid, 0) == 0 || errno == EPERM); }

// The pty index a master descriptor of another process stands for, from its fdinfo; -1 if none.
long MasterTtyIndex(const char* pidText, const char* fdName)
{
    const std::string path = std::string("/proc/") + pidText + "/fdinfo/" + fdName;
    long index = -1;
    if (FILE* file = std::fopen(path.c_str(), "re")) {
        char line[128];
        while (std::fgets(line, sizeof line, file)) {
            if (std::strncmp(line, "tty-index:", 10) == 0) {
                index = std::strtol(line + 10, nullptr, 10);
                break;
            }
        }
        std::fclose(file);
    }
    return index;
}

// Does this process have the device open? The program that holds a pseudo-terminal's master
// plays the device on its far side (the field-device simulator keeps a descriptor of the port
// side too, so the line survives our closing it): that is the line's other end, not a rival.
bool ProcessHolds(const char* pidText, const TDeviceIdentity& device)
{
    const std::string fdPath = std::string("/proc/") + pidText + "/fd";
    DIR* listing = opendir(fdPath.c_str());
    if (!listing)
        return false; // gone meanwhile, or another user's: not ours to see
    const int directory = dirfd(listing);
    bool holds = false;
    bool farSide = false;
    while (const dirent* entry = readdir(listing)) {
        if (entry->d_name[0] == '.')
            continue;
        char target[PATH_MAX];
        const ssize_t length = readlinkat(directory, entry->d_name, target, sizeof target - 1);
        if (length <= 0)
            continue;
        target[length] = '\0';
        // Only device nodes are looked at: a stat() through a descriptor of a file on a network
        // share that has stopped answering could hang.
        if (std::strncmp(target, "/dev/", 5) != 0)
            continue;
        const std::string_view name(target);
        if (IsPty(device.rdev) && (name == "/dev/ptmx" || name == "/dev/pts/ptmx")) {
            if (MasterTtyIndex(pidText, entry->d_name) == static_cast<long>(PtyIndex(device.rdev)))
                farSide = true;
            continue;
        }
        struct stat st {
        };
        if (fstatat(directory, entry->d_name, &st, 0) == 0 && S_ISCHR(st.st_mode) &&
            SameDevice(st.st_rdev, st.st_dev, device))
            holds = true;
    }
    closedir(listing);
    return holds && !farSide;
}

std::vector<pid_t> OtherHolders(const TDeviceIdentity& device)
{
    std::vector<pid_t> holders;
    DIR* processes = opendir("/proc");
    if (!processes)
        return holders;
    const pid_t self = getpid();
    while (const dirent* entry = readdir(processes)) {
        char* end = nullptr;
        const long pid = std::strtol(entry->d_name, &end, 10);
        if (pid <= 0 || *end != '\0' || pid == self)
            continue;
        if (ProcessHolds(entry->d_name, device))
            holders.push_back(static_cast<pid_t>(pid));
    }
    closedir(processes);
    return holders;
}

enum class TLockContent { lcMissing, lcPid, lcUnreadable };

// HDB lock files hold the owner's pid as ten ASCII characters and a newline; some writers put a
// 4-byte binary pid instead.
TLockContent ReadLockPid(const std::string& path, pid_t* pid)
{
    // O_NONBLOCK: a FIFO planted in the world-writable lock directory must not block the open.
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return errno == ENOENT ? TLockContent::lcMissing : TLockContent::lcUnreadable;
    struct stat st {
    };
    char buffer[32];
    ssize_t length = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
        length = read(fd, buffer, sizeof buffer);
    close(fd);
    if (length == 4) {
        bool text = true;
        for (ssize_t i = 0; i < 4; ++i)
            text = text && ((buffer[i] >= '0' && buffer[i] <= '9') || buffer[i] == ' ' || buffer[i] == '\n');
        if (!text) {
            int32_t binary = 0;
            std::memcpy(&binary, buffer, sizeof binary);
            *pid = binary;
            return binary > 0 ? TLockContent::lcPid : TLockContent::lcUnreadable;
        }
    }
    if (length <= 0 || length >= static_cast<ssize_t>(sizeof buffer))
        return TLockContent::lcUnreadable;
    ssize_t i = 0;
    while (i < length && buffer[i] == ' ')
        ++i;
    long value = 0;
    const ssize_t digits = i;
    while (i < length && buffer[i] >= '0' && buffer[i] <= '9' && value < INT_MAX / 10)
        value = value * 10 + (buffer[i++] - '0');
    if (i == digits || value <= 0)
        return TLockContent::lcUnreadable;
    while (i < length && (buffer[i] == '\n' || buffer[i] == ' ' || buffer[i] == '\r'))
        ++i;
    if (i != length)
        return TLockContent::lcUnreadable;
    *pid = static_cast<pid_t>(value);
    return TLockContent::lcPid;
}

// The claims of this process. Never destroyed: the exit handler still needs it after static
// destructors may have run.
struct TClaimEntry {
    uint64_t id;
    TDeviceIdentity device;
    std::string lockPath; // empty: no lock file of ours
    pid_t owner;          // a forked child inherits the registry, not the claims
};

struct TClaimRegistry {
    // Innermost: no other lock of the layer is taken under it. Taken alone, or under a comm
    // device's claimLock as its claim is given back.
    std::mutex lock;
    std::vector<TClaimEntry> entries;
    uint64_t nextId = 1;
};

TClaimRegistry& Registry()
{
    static TClaimRegistry* registry = new TClaimRegistry;
    return *registry;
}

void RemoveOwnLockFile(const std::string& path)
{
    if (path.empty())
        return;
    pid_t pid = 0;
    // Somebody may have removed ours and put their own there meanwhile: leave that one.
    if (ReadLockPid(path, &pid) == TLockContent::lcPid && pid == getpid())
        unlink(path.c_str());
}

void RemoveLockFilesAtExit()
{
    TClaimRegistry& registry = Registry();
    // A thread stopped in the middle of a claim would otherwise block the exit for ever.
    std::unique_lock guard(registry.lock, std::try_to_lock);
    if (!guard.owns_lock())
        return;
    for (const TClaimEntry& entry : registry.entries)
        if (entry.owner == getpid())
            RemoveOwnLockFile(entry.lockPath);
}

const TClaimEntry* ClaimOf(const TClaimRegistry& registry, const TDeviceIdentity& device)
{
    for (const TClaimEntry& entry : registry.entries)
        if (entry.owner == getpid() && SameDevice(entry.device.rdev, entry.device.filesystem, device))
            return &entry;
    return nullptr;
}

bool IsOurLockFile(const TClaimRegistry& registry, const std::string& path)
{
    for (const TClaimEntry& entry : registry.entries)
        if (entry.owner == getpid() && entry.lockPath == path)
            return true;
    return false;
}

std::string OwnClaimText()
{
    return "already open in this program (process " + std::to_string(getpid()) + ")";
}

std::string LockText(pid_t pid, const std::string& path)
{
    const std::string name = ProcessName(pid);
    if (name.empty())
        return "locked by process " + std::to_string(pid) + " (lock file " + path + ")";
    return "locked by " + name + " (process " + std::to_string(pid) + ", lock file " + path + ")";
}

enum class TLockState { lsNone, lsLive, lsStale, lsUnknown };

// What a lock file says. Our own pid counts as live only for a lock file of a claim we hold: one
// left by an earlier process that had our number is stale.
TLockState LockState(const TClaimRegistry& registry, const std::string& path, pid_t* pid)
{
    switch (ReadLockPid(path, pid)) {
    case TLockContent::lcMissing:
        return TLockState::lsNone;
    case TLockContent::lcUnreadable:
        // Half written, or a format we do not know: neither trusted nor removed.
        return TLockState::lsUnknown;
    case TLockContent::lcPid:
        break;
    }
    if (*pid == getpid())
        return IsOurLockFile(registry, path) ? TLockState::lsLive : TLockState::lsStale;
    return ProcessAlive(*pid) ? TLockState::lsLive : TLockState::lsStale;
}

// Every lock file that other programs may have made for the device.
std::vector<std::string> LockPaths(const TDeviceIdentity& device)
{
    std::vector<std::string> paths;
    for (const std::string& directory : LockDirectories())
        for (const std::string& name : device.lockNames)
            if (!name.empty())
                paths.push_back(directory + "/LCK.." + name);
    return paths;
}

bool FindLiveLock(const TClaimRegistry& registry, const TDeviceIdentity& device, std::string* detail,
                  bool removeStale)
{
    for (const std::string& path : LockPaths(device)) {
        pid_t pid = 0;
        const TLockState state = LockState(registry, path, &pid);
        if (state == TLockState::lsLive) {
            *detail = pid == getpid() ? OwnClaimText() : LockText(pid, path);
            return true;
        }
        if (state == TLockState::lsStale && removeStale)
            unlink(path.c_str());
    }
    return false;
}

// Creates our lock file in the first lock directory that lets us. @return false with `detail`
// when a live lock of somebody else turned up meanwhile; true otherwise, `path` empty when no
// lock file could be made.
bool CreateLockFile(const TClaimRegistry& registry, const TDeviceIdentity& device, std::string* path,
                    std::string* detail)
{
    path->clear();
    if (device.lockNames[0].empty())
        return true;
    char content[16];
    std::snprintf(content, sizeof content, "%10d\n", static_cast<int>(getpid()));
    for (const std::string& directory : LockDirectories()) {
        const std::string candidate = directory + "/LCK.." + device.lockNames[0];
        for (int attempt = 0; attempt < 2; ++attempt) {
            const int fd =
                open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
            if (fd >= 0) {
                const ssize_t length = static_cast<ssize_t>(std::strlen(content));
                const bool written = write(fd, content, static_cast<size_t>(length)) == length;
                close(fd);
                if (!written) {
                    unlink(candidate.c_str());
                    break;
                }
                *path = candidate;
                return true;
            }
            if (errno != EEXIST)
                break; // not writable here: the next directory, or none
            pid_t pid = 0;
            const TLockState state = LockState(registry, candidate, &pid);
            if (state == TLockState::lsLive) {
                *detail = pid == getpid() ? OwnClaimText() : LockText(pid, candidate);
                return false;
            }
            if (state != TLockState::lsStale)
                return true; // somebody's file we cannot read: go on without one of ours
            unlink(candidate.c_str());
        }
    }
    return true;
}

std::once_flag exitHandlerOnce;

bool FindOtherProcesses(const TDeviceIdentity& device, std::string* detail)
{
    const std::vector<pid_t> holders = OtherHolders(device);
    if (holders.empty())
        return false;
    std::string text = "held by ";
    for (size_t i = 0; i < holders.size() && i < 3; ++i)
        text += (i > 0 ? ", " : "") + ProcessText(holders[i]);
    if (holders.size() > 3)
        text += " and " + std::to_string(holders.size() - 3) + " more";
    *detail = text;
    return true;
}

} // namespace

int IdentifyDevice(const std::string& path, TDeviceIdentity* device)
{
    struct stat st {
    };
    if (stat(path.c_str(), &st) != 0)
        return errno;
    if (!S_ISCHR(st.st_mode) || !IsTtyDevice(st.st_rdev))
        return ENOTTY;
    device->rdev = st.st_rdev;
    device->filesystem = st.st_dev;
    char real[PATH_MAX];
    device->canonical = realpath(path.c_str(), real) ? real : path;
    device->lockNames[0] = BaseName(device->canonical);
    device->lockNames[1].clear();
    // A name such as /dev/serial/by-id/usb-... on the way to the node is what another program may
    // have been given, and made its lock file for.
    std::string step = path;
    for (int hop = 0; hop < 8; ++hop) {
        std::string target = ReadLinkText(step);
        if (target.empty())
            break;
        if (target[0] != '/')
            target = DirName(step) + "/" + target;
        if (target.rfind("/dev/", 0) == 0 && BaseName(target) != device->lockNames[0]) {
            device->lockNames[1] = BaseName(target);
            break;
        }
        step = target;
    }
    return 0;
}

bool FindOwner(const TDeviceIdentity& device, std::string* detail)
{
    TClaimRegistry& registry = Registry();
    {
        std::lock_guard guard(registry.lock);
        if (ClaimOf(registry, device)) {
            *detail = OwnClaimText();
            return true;
        }
    }
    if (FindOtherProcesses(device, detail))
        return true;
    std::lock_guard guard(registry.lock);
    return FindLiveLock(registry, device, detail, false);
}

std::string UnseenOwnerDetail(const TDeviceIdentity& device)
{
    // Our own claim and lock file for the device exist by now: only other processes count.
    std::string detail;
    if (FindOtherProcesses(device, &detail))
        return detail;
    return "locked by another program";
}

TPortClaim& TPortClaim::operator=(TPortClaim&& other) noexcept
{
    if (this != &other) {
        Release();
        id = other.id;
        other.id = 0;
    }
    return *this;
}

bool TPortClaim::Take(const TDeviceIdentity& device, TPortClaim* claim, std::string* detail)
{
    claim->Release();
    TClaimRegistry& registry = Registry();
    std::lock_guard guard(registry.lock);
    if (ClaimOf(registry, device)) {
        *detail = OwnClaimText();
        return false;
    }
    if (FindLiveLock(registry, device, detail, true))
        return false;
    std::string lockPath;
    if (!CreateLockFile(registry, device, &lockPath, detail))
        return false;
    std::call_once(exitHandlerOnce, [] { std::atexit(RemoveLockFilesAtExit); });
    try {
        registry.entries.push_back({registry.nextId, device, lockPath, getpid()});
    } catch (...) {
        RemoveOwnLockFile(lockPath);
        throw;
    }
    claim->id = registry.nextId++;
    return true;
}

void TPortClaim::Release()
{
    if (id == 0)
        return;
    TClaimRegistry& registry = Registry();
    std::lock_guard guard(registry.lock);
    for (auto entry = registry.entries.begin(); entry != registry.entries.end(); ++entry) {
        if (entry->id == id) {
            RemoveOwnLockFile(entry->lockPath);
            registry.entries.erase(entry);
            break;
        }
    }
    id = 0;
}

} // namespace platform
