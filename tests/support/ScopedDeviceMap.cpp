// Temporary device-map directories for tests.
#include "tests/support/ScopedDeviceMap.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <system_error>
#include <vector>

namespace testsupport
{

namespace
{
constexpr const char* kVariable = "LINTAKER_DEVICE_MAP";
constexpr const char* kLockVariable = "LINTAKER_LOCK_DIR";

std::string MakeTemporaryDirectory(const std::string& pattern)
{
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (!mkdtemp(name.data()))
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    return name.data();
}

void RemoveDirectory(const std::string& directory)
{
    if (DIR* listing = opendir(directory.c_str())) {
        std::vector<std::string> entries;
        while (const dirent* entry = readdir(listing)) {
            const std::string name = entry->d_name;
            if (name != "." && name != "..")
                entries.push_back(directory + "/" + name);
        }
        closedir(listing);
        for (const std::string& entry : entries)
            unlink(entry.c_str());
    }
    rmdir(directory.c_str());
}

void Restore(const char* variable, const std::optional<std::string>& value)
{
    if (value)
        setenv(variable, value->c_str(), 1);
    else
        unsetenv(variable);
}
} // namespace

ScopedDeviceMap::ScopedDeviceMap()
{
    directory = MakeTemporaryDirectory("/tmp/lintaker-test-map-XXXXXX");
    try {
        lockDirectory = MakeTemporaryDirectory("/tmp/lintaker-test-locks-XXXXXX");
    } catch (...) {
        rmdir(directory.c_str());
        throw;
    }
    if (const char* old = getenv(kVariable))
        previous = old;
    if (const char* old = getenv(kLockVariable))
        previousLocks = old;
    setenv(kVariable, directory.c_str(), 1);
    setenv(kLockVariable, lockDirectory.c_str(), 1);
}

ScopedDeviceMap::~ScopedDeviceMap()
{
    RemoveDirectory(directory);
    RemoveDirectory(lockDirectory);
    Restore(kVariable, previous);
    Restore(kLockVariable, previousLocks);
}

std::string ScopedDeviceMap::LinkPath(int number) const
{
    return directory + "/COM" + std::to_string(number);
}

void ScopedDeviceMap::Link(int number, const std::string& target)
{
    Unlink(number);
    if (symlink(target.c_str(), LinkPath(number).c_str()) != 0)
        throw std::system_error(errno, std::generic_category(), "symlink");
}

void ScopedDeviceMap::Unlink(int number) { unlink(LinkPath(number).c_str()); }

std::string ScopedDeviceMap::DeviceName(int number) { return "\\\\.\\COM" + std::to_string(number); }

} // namespace testsupport
