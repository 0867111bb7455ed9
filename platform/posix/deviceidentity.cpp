// Which device a COM name or a udev link stands for, by device number: how the window knows a
// device that went away when it comes back, under its old name or, for a USB adapter, another.
#include "platform/posix/devicemap.h"

#include <climits>
#include <cstdlib>
#include <mutex>
#include <set>

#include <dirent.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace platform
{

namespace
{

// The Unix 98 pseudo-terminal slaves (the kernel's devices.txt).
constexpr unsigned kFirstPtySlaveMajor = 136;
constexpr unsigned kLastPtySlaveMajor = 143;

std::mutex byIdLock;       // a leaf: held only to copy the directory, nothing is taken under it
std::string byIdDirectory; // guarded by byIdLock; empty means /dev/serial/by-id

std::string SerialByIdDirectory()
{
    std::lock_guard<std::mutex> hold(byIdLock);
    return byIdDirectory.empty() ? std::string("/dev/serial/by-id") : byIdDirectory;
}

std::optional<dev_t> DeviceNumber(const std::string& path)
{
    struct stat st {
    };
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return std::nullopt;
    return st.st_rdev;
}

bool IsDirectory(const std::string& path)
{
    struct stat st {
    };
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string Parent(const std::string& path)
{
    const size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? std::string("/") : path.substr(0, slash);
}

} // namespace

std::optional<std::string> CharacterDeviceNode(const std::string& path)
{
    if (!DeviceNumber(path))
        return std::nullopt;
    char resolved[PATH_MAX];
    if (!realpath(path.c_str(), resolved))
        return std::nullopt;
    return std::string(resolved);
}

std::string SerialByIdLink(const std::string& path)
{
    const std::optional<dev_t> device = DeviceNumber(path);
    if (!device)
        return {};
    const std::string directory = SerialByIdDirectory();
    DIR* listing = opendir(directory.c_str());
    if (!listing)
        return {};
    // Sorted, so that the same device always gets the same one of several links.
    std::set<std::string> matches;
    while (const dirent* entry = readdir(listing)) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        const std::string link = directory + "/" + name;
        if (DeviceNumber(link) == device)
            matches.insert(link);
    }
    closedir(listing);
    return matches.empty() ? std::string() : *matches.begin();
}

std::optional<int> ComNumberOfDevice(const std::string& path, int preferred)
{
    const std::optional<dev_t> device = DeviceNumber(path);
    if (!device)
        return std::nullopt;
    std::optional<int> found;
    for (const auto& [number, devicePath] : ListComDevices()) {
        if (DeviceNumber(devicePath) != device)
            continue;
        if (number == preferred)
            return number;
        if (!found)
            found = number;
    }
    return found;
}

bool IsPseudoTerminal(const std::string& node)
{
    const std::optional<dev_t> device = DeviceNumber(node);
    return device && major(*device) >= kFirstPtySlaveMajor && major(*device) <= kLastPtySlaveMajor;
}

std::string LinkStamp(const std::string& path)
{
    struct stat st {
    };
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return {};
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target);
    if (length < 0)
        return {};
    return std::string(target, static_cast<size_t>(length)) + '\n' + std::to_string(st.st_ino) + '\n' +
           std::to_string(st.st_ctim.tv_sec) + '.' + std::to_string(st.st_ctim.tv_nsec);
}

std::vector<std::string> DeviceArrivalDirectories()
{
    const std::string byId = SerialByIdDirectory();
    // Not /dev/pts: pseudo-terminals come and go there all the time, and one that comes back is
    // known only by its device-map link being made anew.
    const std::vector<std::string> candidates = {"/dev", Parent(byId), byId, DeviceMapDirectory()};
    std::vector<std::string> directories;
    std::set<std::string> seen;
    for (const std::string& directory : candidates)
        if (seen.insert(directory).second && IsDirectory(directory))
            directories.push_back(directory);
    return directories;
}

void SetSerialByIdDirectoryForTesting(const std::string& directory)
{
    std::lock_guard<std::mutex> hold(byIdLock);
    byIdDirectory = directory;
}

} // namespace platform
