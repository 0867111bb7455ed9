// The COM port device map: the COMn links of the device-map directory first, then the machine's
// real serial devices under fixed numbers taken from their kernel names.
#include "platform/posix/devicemap.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <vector>

#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform
{

namespace
{

constexpr int kOtherDevicesFirst = 161;
constexpr int kFamilyWidth = 32; // every named family owns 32 numbers: ttyS0..31, ttyUSB0..31, ...
constexpr size_t kMaxNumberDigits = 9;

std::mutex rootLock; // a leaf: held only to copy a root, nothing is taken under it
std::string sysRoot; // guarded by rootLock; empty means /sys/class/tty
std::string devRoot; // guarded by rootLock; empty means /dev

std::string SysClassTtyRoot()
{
    std::lock_guard<std::mutex> hold(rootLock);
    return sysRoot.empty() ? std::string("/sys/class/tty") : sysRoot;
}

std::string DevRoot()
{
    std::lock_guard<std::mutex> hold(rootLock);
    return devRoot.empty() ? std::string("/dev") : devRoot;
}

/// The decimal number that makes up all of `text`, or -1. Leading zeros are refused, so that
/// COM7 and COM07 cannot both claim port 7 and a kernel name maps to one number only.
int ParseNumber(const std::string& text)
{
    if (text.empty() || text.size() > kMaxNumberDigits)
        return -1;
    if (text.size() > 1 && text[0] == '0')
        return -1;
    int value = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
    }
    return value;
}

/// The number k of a kernel name `<prefix><k>`, or -1.
int KernelIndex(const std::string& name, const std::string& prefix)
{
    if (name.compare(0, prefix.size(), prefix) != 0)
        return -1;
    return ParseNumber(name.substr(prefix.size()));
}

std::vector<std::string> DirectoryNames(const std::string& directory)
{
    std::vector<std::string> names;
    DIR* dir = opendir(directory.c_str());
    if (dir == nullptr)
        return names;
    while (dirent* entry = readdir(dir)) {
        std::string name = entry->d_name;
        if (name != "." && name != "..")
            names.push_back(std::move(name));
    }
    closedir(dir);
    return names;
}

/// The first line of a small sysfs attribute, without surrounding white space; empty when the
/// attribute is missing or unreadable.
std::string ReadAttribute(const std::string& path)
{
    std::ifstream in(path);
    std::string line;
    if (!in || !std::getline(in, line))
        return {};
    const auto isSpace = [](unsigned char c) { return std::isspace(c) != 0; };
    line.erase(line.begin(), std::find_if_not(line.begin(), line.end(), isSpace));
    line.erase(std::find_if_not(line.rbegin(), line.rend(), isSpace).base(), line.end());
    return line;
}

/// Orders names by their text, with runs of digits compared by value, so that ttyXR2 comes
/// before ttyXR10.
bool NaturalLess(const std::string& a, const std::string& b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) &&
            std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t ei = i, ej = j;
            while (ei < a.size() && std::isdigit(static_cast<unsigned char>(a[ei])))
                ++ei;
            while (ej < b.size() && std::isdigit(static_cast<unsigned char>(b[ej])))
                ++ej;
            std::string da = a.substr(i, ei - i), db = b.substr(j, ej - j);
            da.erase(0, std::min(da.find_first_not_of('0'), da.size()));
            db.erase(0, std::min(db.find_first_not_of('0'), db.size()));
            if (da.size() != db.size())
                return da.size() < db.size();
            if (da != db)
                return da < db;
            i = ei;
            j = ej;
        } else {
            if (a[i] != b[j])
                return a[i] < b[j];
            ++i;
            ++j;
        }
    }
    if ((a.size() - i) != (b.size() - j))
        return (a.size() - i) < (b.size() - j);
    return a < b;
}

struct RealDevice {
    std::string name;
    int fixedNumber = 0; // 0: none, the device takes the next number from kOtherDevicesFirst
};

/// The fixed number a kernel name owns, or 0 when it belongs with the other devices.
int FixedNumber(const std::string& name)
{
    struct Family {
        const char* prefix;
        int first;
    };
    // Longer prefixes first would matter only if one were a prefix of another with digits after it;
    // none is, since the index must be all digits.
    static const Family families[] = {
        {"ttyS", 1}, {"ttyUSB", 33}, {"ttyACM", 65}, {"ttyAMA", 97}, {"rfcomm", 129},
    };
    for (const Family& family : families) {
        const int k = KernelIndex(name, family.prefix);
        if (k >= 0)
            return k < kFamilyWidth ? family.first + k : 0;
    }
    return 0;
}

std::vector<RealDevice> RealSerialDevices()
{
    const std::string root = SysClassTtyRoot();
    std::vector<RealDevice> devices;
    for (const std::string& name : DirectoryNames(root)) {
        const std::string entry = root + "/" + name;
        struct stat st {
        };
        // Only entries backed by hardware have a device link: this drops pts, vt, console, ptmx.
        if (lstat((entry + "/device").c_str(), &st) != 0)
            continue;
        // A ttyS entry with UART type 0 is a placeholder the driver made for a port that is not there.
        if (KernelIndex(name, "ttyS") >= 0 && ReadAttribute(entry + "/type") == "0")
            continue;
        // The system console must not be offered: opening it would fight the kernel for the line.
        if (ReadAttribute(entry + "/console") == "Y")
            continue;
        devices.push_back({name, FixedNumber(name)});
    }
    std::sort(devices.begin(), devices.end(),
              [](const RealDevice& a, const RealDevice& b) { return NaturalLess(a.name, b.name); });
    return devices;
}

/// Links are trusted only from a directory that this user (or root) owns and that not everyone
/// may write to: in the shared /tmp another user could otherwise plant a COMn link to a terminal
/// of theirs and read or feed the traffic.
bool TrustedDirectory(const std::string& directory)
{
    struct stat st {
    };
    if (stat(directory.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        return false;
    return (st.st_uid == geteuid() || st.st_uid == 0) && (st.st_mode & S_IWOTH) == 0;
}

/// The device number of the character device `path` leads to, or nothing.
std::optional<dev_t> CharacterDevice(const std::string& path)
{
    struct stat st {
    };
    if (stat(path.c_str(), &st) != 0 || !S_ISCHR(st.st_mode))
        return std::nullopt;
    return st.st_rdev;
}

/// One name of the map.
struct TComEntry {
    std::string path;            // what an open of the name opens
    std::optional<dev_t> device; // the device number behind it, when it could be read
    bool link = false;           // a link of the device-map directory
    bool listed = true;          // offered in the port list; unlisted names still open
};

/// The map with what the names stand for.
struct TComMap {
    std::map<int, TComEntry> ports;
    std::map<dev_t, std::string> nodes; // the machine's serial devices by device number
};

// The whole map: the listed names and the automatic names of devices a link leads to.
// A real device whose fixed number a link has taken is not lost: it moves behind the other
// devices, from the first free number there on. A device a link leads to keeps its automatic
// number, unlisted, so that it is shown once, under the name the user gave it; when the link has
// taken that very number it needs none of its own.
TComMap ComMap()
{
    TComMap map;
    std::map<int, TComEntry>& ports = map.ports;
    std::set<dev_t> linkedDevices;

    const std::string directory = DeviceMapDirectory();
    const std::vector<std::string> linkNames =
        TrustedDirectory(directory) ? DirectoryNames(directory) : std::vector<std::string>();
    for (const std::string& name : linkNames) {
        const int number = ComNumberOfLinkName(name);
        if (number < 1)
            continue;
        const std::string path = directory + "/" + name;
        struct stat link {
        };
        if (lstat(path.c_str(), &link) != 0 || !S_ISLNK(link.st_mode))
            continue;
        const std::optional<dev_t> device = CharacterDevice(path);
        if (!device)
            continue;
        // The link itself is the path to open: it follows the link's owner when it is re-pointed.
        ports.emplace(number, TComEntry{path, device, true, true});
        linkedDevices.insert(*device);
    }

    const std::string nodes = DevRoot();
    const auto entry = [&](const RealDevice& device) {
        std::string path = nodes + "/" + device.name;
        const std::optional<dev_t> number = CharacterDevice(path);
        const bool listed = !number || linkedDevices.count(*number) == 0;
        if (number)
            map.nodes.emplace(*number, path);
        return TComEntry{std::move(path), number, false, listed};
    };
    std::vector<const RealDevice*> others, displaced;
    const std::vector<RealDevice> devices = RealSerialDevices();
    for (const RealDevice& device : devices) {
        if (device.fixedNumber == 0)
            others.push_back(&device);
        else if (ports.count(device.fixedNumber) == 0)
            ports.emplace(device.fixedNumber, entry(device));
        else
            displaced.push_back(&device);
    }

    int next = kOtherDevicesFirst;
    const auto place = [&](TComEntry made) {
        while (ports.count(next) != 0)
            ++next;
        ports.emplace(next, std::move(made));
    };
    for (const RealDevice* device : others)
        place(entry(*device));
    for (const RealDevice* device : displaced) {
        TComEntry made = entry(*device);
        if (made.listed)
            place(std::move(made));
    }
    return map;
}

/// `target` of a link in `directory`, as an absolute path without "." and ".." steps.
std::string AbsoluteTarget(const std::string& directory, const std::string& target)
{
    std::filesystem::path path(target);
    if (path.is_relative())
        path = std::filesystem::path(directory) / path;
    return path.lexically_normal().string();
}

/// The first /dev/serial/by-id name, in name order, that leads to `device`; empty when none does
/// (no udev, or not a USB adapter).
std::string StableName(dev_t device)
{
    const std::string byId = DevRoot() + "/serial/by-id";
    std::vector<std::string> names = DirectoryNames(byId);
    std::sort(names.begin(), names.end());
    for (const std::string& name : names)
        if (CharacterDevice(byId + "/" + name) == device)
            return byId + "/" + name;
    return {};
}

} // namespace

int ComNumberOfLinkName(const std::string& name)
{
    if (name.compare(0, 3, "COM") != 0)
        return 0;
    return std::max(ParseNumber(name.substr(3)), 0);
}

int FixedComNumberOfKernelName(const std::string& name) { return FixedNumber(name); }

std::string DeviceMapDirectory()
{
    if (const char* explicitDir = std::getenv("LINTAKER_DEVICE_MAP"); explicitDir && *explicitDir)
        return explicitDir;
    if (const char* runtimeDir = std::getenv("XDG_RUNTIME_DIR"); runtimeDir && *runtimeDir)
        return std::string(runtimeDir) + "/lintaker/devices";
    return "/tmp/lintaker-" + std::to_string(getuid()) + "/devices";
}

std::map<int, std::string> ListComDevices()
{
    std::map<int, std::string> ports;
    for (auto& [number, entry] : ComMap().ports)
        if (entry.listed)
            ports.emplace(number, std::move(entry.path));
    return ports;
}

std::optional<std::string> ResolveComDevice(int number)
{
    TComMap map = ComMap();
    const auto found = map.ports.find(number);
    if (found == map.ports.end())
        return std::nullopt;
    return std::move(found->second.path);
}

std::vector<std::string> DescribeComDevice(int number)
{
    const TComMap map = ComMap();
    const auto found = map.ports.find(number);
    if (found == map.ports.end())
        return {};
    const TComEntry& entry = found->second;

    // The node: a real serial device under its kernel name, anything else (a pseudo-terminal of
    // the simulator) where its links end.
    std::string node;
    if (entry.device)
        if (const auto real = map.nodes.find(*entry.device); real != map.nodes.end())
            node = real->second;
    if (node.empty()) {
        std::error_code error;
        node = std::filesystem::canonical(entry.path, error).string();
        if (error)
            node = entry.path;
    }

    std::vector<std::string> names;
    if (entry.link) {
        std::error_code error;
        const std::filesystem::path target = std::filesystem::read_symlink(entry.path, error);
        const std::string directory = std::filesystem::path(entry.path).parent_path().string();
        if (!error && AbsoluteTarget(directory, target.string()) != node)
            names.push_back(AbsoluteTarget(directory, target.string()));
    }
    if (names.empty() && entry.device)
        if (std::string stable = StableName(*entry.device); !stable.empty())
            names.push_back(std::move(stable));
    names.push_back(std::move(node));
    return names;
}

void SetSysClassTtyRootForTesting(const std::string& root)
{
    std::lock_guard<std::mutex> hold(rootLock);
    sysRoot = root;
}

void SetDevRootForTesting(const std::string& root)
{
    std::lock_guard<std::mutex> hold(rootLock);
    devRoot = root;
}

} // namespace platform
