// A private COM port device map for one test: a temporary directory of COMn links that
// LINTAKER_DEVICE_MAP points at while the fixture lives, and a lock directory of its own
// (LINTAKER_LOCK_DIR), so that ports opened in tests leave the system's lock files alone.
#pragma once

#include <optional>
#include <string>

namespace testsupport
{

/// Creates the directories and sets LINTAKER_DEVICE_MAP and LINTAKER_LOCK_DIR to them; the
/// destructor removes their entries and the directories and restores the variables' old values
/// (or their absence).
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
    /// Where ports opened meanwhile keep their lock files, and look for other programs' ones.
    const std::string& LockDirectory() const { return lockDirectory; }

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
    std::string lockDirectory;
    std::optional<std::string> previousLocks;
};

} // namespace testsupport
