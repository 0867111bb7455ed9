// A private COM port device map for one test: a temporary directory of COMn links that
// LINTAKER_DEVICE_MAP points at while the fixture lives.
#pragma once

#include <optional>
#include <string>

namespace testsupport
{

/// Creates the directory and sets LINTAKER_DEVICE_MAP to it; the destructor removes the links
/// and the directory and restores the variable's old value (or its absence).
/// Throws std::system_error when the directory cannot be made.
/// Thread: the test's main thread, while no other thread reads the environment.
class ScopedDeviceMap
{
public:
    ScopedDeviceMap();
    ~ScopedDeviceMap();
    ScopedDeviceMap(const ScopedDeviceMap&) = delete;
    ScopedDeviceMap& operator=(const ScopedDeviceMap&) = delete;

    const std::string& Directory() const { return directory; }

    /// Links COM<number> to `target`, which may be anything, also a path that does not exist;
    /// an older link of that name is replaced.
    void Link(int number, const std::string& target);
    void Unlink(int number);

    /// "\\.\COM<number>", the name the serial stack opens.
    static std::string DeviceName(int number);

private:
    std::string LinkPath(int number) const;

    std::string directory;
    std::optional<std::string> previous;
};

} // namespace testsupport
