// Port names from outside: the names a user or a saved setting gives to open ("COM3",
// "\\.\com12"), the names of links in the device-map directory and the kernel names of
// /sys/class/tty. The parsers are checked against the rules they stand for; where the input asks,
// a device map and a fake /sys tree are made of its names and the map built from them is checked.
#include "fuzz/FuzzInput.h"
#include "fuzz/Harnesses.h"

#include "platform/posix/comm_p.h"
#include "platform/posix/devicemap.h"

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include <unistd.h>

namespace
{

bool AllDigits(const std::string& text)
{
    if (text.empty())
        return false;
    for (char c : text)
        if (c < '0' || c > '9')
            return false;
    return true;
}

std::string Upper(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return text;
}

// Names mostly near the ones that mean something, so that the parsers' edges are reached.
std::string Name(TFuzzInput& in)
{
    static const char* const kStems[] = {"COM",    "com",    "\\\\.\\COM", "\\\\.\\", "ttyS",
                                         "ttyUSB", "ttyACM", "ttyAMA",     "rfcomm",  "tty",
                                         "",       "COM0",   "ttyXR",      "pts"};
    std::string name = kStems[in.ConsumeIntegralInRange<size_t>(0, std::size(kStems) - 1)];
    switch (in.ConsumeIntegralInRange(0, 3)) {
    case 0:
        name += std::to_string(in.ConsumeIntegralInRange<uint32_t>(0, 200));
        break;
    case 1:
        name += std::to_string(in.ConsumeIntegral<uint32_t>());
        break;
    default:
        name += in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 12));
        break;
    }
    return name;
}

void CheckComName(const std::string& name)
{
    const int number = platform::ComNumberFromName(name.c_str());
    // The name reaches the open as a C string: it ends at its first zero byte.
    std::string text = name.substr(0, name.find('\0'));
    if (text.compare(0, 4, "\\\\.\\") == 0)
        text.erase(0, 4);
    const std::string digits = text.size() >= 3 ? text.substr(3) : "";
    const bool wellFormed =
        text.size() >= 4 && Upper(text.substr(0, 3)) == "COM" && AllDigits(digits) && digits[0] != '0';
    if (!wellFormed || digits.size() > 5 || std::stoul(digits) > 99999) {
        FUZZ_CHECK(number == 0, name + " -> " + std::to_string(number));
        return;
    }
    FUZZ_CHECK(number == std::stoi(digits), name + " -> " + std::to_string(number));
    FUZZ_CHECK(platform::ComNumberFromName(("COM" + std::to_string(number)).c_str()) == number);
}

void CheckLinkName(const std::string& name)
{
    const int number = platform::ComNumberOfLinkName(name);
    FUZZ_CHECK(number >= 0, name);
    if (number > 0)
        FUZZ_CHECK("COM" + std::to_string(number) == name, name + " -> " + std::to_string(number));
    else if (name.compare(0, 3, "COM") == 0 && AllDigits(name.substr(3)) && name.size() <= 12)
        FUZZ_CHECK(name.size() > 3 && (name[3] == '0' || name.size() > 12), name);
}

void CheckKernelName(const std::string& name)
{
    const int number = platform::FixedComNumberOfKernelName(name);
    struct Family {
        const char* prefix;
        int first;
    };
    static const Family kFamilies[] = {
        {"ttyS", 1}, {"ttyUSB", 33}, {"ttyACM", 65}, {"ttyAMA", 97}, {"rfcomm", 129}};
    int wanted = 0;
    for (const Family& family : kFamilies) {
        const std::string prefix = family.prefix;
        if (name.compare(0, prefix.size(), prefix) != 0)
            continue;
        const std::string index = name.substr(prefix.size());
        if (AllDigits(index) && (index.size() == 1 || index[0] != '0') && index.size() <= 2 &&
            std::stoi(index) < 32)
            wanted = family.first + std::stoi(index);
    }
    FUZZ_CHECK(number == wanted,
               name + " -> " + std::to_string(number) + ", wanted " + std::to_string(wanted));
}

// ---- a map made of the input's names ---------------------------------------------------------------

// A folder of this process for the map; removed at exit. Kept in storage that outlives the exit
// handlers.
const std::string& Root()
{
    static const std::string* root = [] {
        // In memory where the system has such a folder: making and removing entries on a disk
        // costs more than everything else an input does.
        char inMemory[] = "/dev/shm/lintaker-names-XXXXXX";
        char onDisk[] = "/tmp/lintaker-names-XXXXXX";
        const char* root_ = ::mkdtemp(inMemory) ? inMemory : ::mkdtemp(onDisk);
        auto* made = new std::string(root_ ? root_ : "");
        std::atexit([] {
            std::error_code ignored;
            if (!Root().empty())
                std::filesystem::remove_all(Root(), ignored);
        });
        return made;
    }();
    return *root;
}

void Map(TFuzzInput& in)
{
    namespace fs = std::filesystem;
    if (Root().empty())
        return;
    std::error_code ignored;
    const fs::path links = fs::path(Root()) / "map";
    const fs::path sys = fs::path(Root()) / "sys";
    const fs::path dev = fs::path(Root()) / "dev";
    // The folders stay from input to input; only what is in them goes.
    for (const fs::path& folder : {links, sys, dev}) {
        fs::create_directories(folder, ignored);
        for (const auto& entry : fs::directory_iterator(folder, ignored))
            fs::remove_all(entry.path(), ignored);
    }
    fs::permissions(links, fs::perms::owner_all, ignored);
    ::setenv("LINTAKER_DEVICE_MAP", links.c_str(), 1);
    platform::SetSysClassTtyRootForTesting(sys.string());
    platform::SetDevRootForTesting(dev.string());

    // Distinct character devices to lead to.
    static const char* const kDevices[] = {"/dev/null", "/dev/zero", "/dev/full", "/dev/random",
                                           "/dev/urandom"};
    const auto fileName = [](const std::string& name) {
        return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
               name.find('\0') == std::string::npos && name.size() < 200;
    };
    std::set<int> linkNumbers;
    const int linkCount = in.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < linkCount; ++i) {
        const std::string name = Name(in);
        const char* target = kDevices[in.ConsumeIntegralInRange<size_t>(0, std::size(kDevices) - 1)];
        if (!fileName(name))
            continue;
        fs::create_symlink(target, links / name, ignored);
        if (!ignored && platform::ComNumberOfLinkName(name) > 0)
            linkNumbers.insert(platform::ComNumberOfLinkName(name));
    }
    std::vector<std::string> kernelNames;
    const int realCount = in.ConsumeIntegralInRange(0, 4);
    for (int i = 0; i < realCount; ++i) {
        const std::string name = Name(in);
        if (!fileName(name))
            continue;
        const fs::path entry = sys / name;
        fs::create_directories(entry, ignored);
        fs::create_symlink("/", entry / "device", ignored);
        const char* target = kDevices[in.ConsumeIntegralInRange<size_t>(0, std::size(kDevices) - 1)];
        fs::create_symlink(target, dev / name, ignored);
        kernelNames.push_back(name);
    }

    const std::map<int, std::string> listed = platform::ListComDevices();
    for (const auto& [number, path] : listed) {
        FUZZ_CHECK(number >= 1, std::to_string(number));
        FUZZ_CHECK(platform::ResolveComDevice(number) == path, std::to_string(number) + " " + path);
        const std::vector<std::string> names = platform::DescribeComDevice(number);
        FUZZ_CHECK(!names.empty(), std::to_string(number));
    }
    // Every link of a good name is listed under its own number, whatever real devices there are.
    for (int number : linkNumbers) {
        const auto found = listed.find(number);
        FUZZ_CHECK(found != listed.end(), "link COM" + std::to_string(number) + " not listed");
        FUZZ_CHECK(found->second == (links / ("COM" + std::to_string(number))).string(), found->second);
    }
    // Every real device opens under some number, listed or not.
    for (const std::string& name : kernelNames) {
        bool opens = false;
        const std::string node = (dev / name).string();
        for (const auto& [number, path] : listed)
            opens = opens || path == node;
        const int fixed = platform::FixedComNumberOfKernelName(name);
        if (!opens && fixed != 0 && !linkNumbers.count(fixed))
            FUZZ_CHECK(platform::ResolveComDevice(fixed) == node, name);
    }
    ::unsetenv("LINTAKER_DEVICE_MAP");
    platform::SetSysClassTtyRootForTesting("");
    platform::SetDevRootForTesting("");
}

} // namespace

int fuzz::PortNames(const uint8_t* data, size_t size)
{
    TFuzzInput in(data, size);
    // The map only where the input asks for it: making one costs what hundreds of names do.
    if (in.ConsumeIntegral<uint8_t>() == 'M') {
        Map(in);
        return 0;
    }
    while (in.remaining_bytes() > 0) {
        std::string name = Name(in);
        CheckComName(name);
        CheckLinkName(name);
        CheckKernelName(name);
    }
    return 0;
}
