// A pseudo-terminal pair that stands in for a serial line in tests: the port under test opens the
// slave (through the device map), the test plays the far end on the master.
#pragma once

#include <chrono>
#include <cstddef>
#include <string>
#include <string_view>

namespace testsupport
{

using namespace std::chrono_literals;

/// Bounded waits of the helpers: long enough for a loaded machine, short enough to end a hang.
constexpr std::chrono::milliseconds kDefaultTimeout = 5s;

/// Writes all of `data` to a non-blocking descriptor, waiting for room as long as the timeout
/// allows. @return the bytes written (fewer when the timeout ended or the descriptor failed).
size_t WriteAll(int fd, std::string_view data, std::chrono::milliseconds timeout = kDefaultTimeout);

/// Reads until `count` bytes have come, the timeout ends or the descriptor reports a hang-up.
/// @return what was read.
std::string ReadExactly(int fd, size_t count, std::chrono::milliseconds timeout = kDefaultTimeout);

/// The master is opened non-blocking and close-on-exec; the line is set raw (termios calls on a
/// master act on the slave's settings, which are the port's), so nothing is echoed or translated
/// before the port under test opens the slave. Throws std::system_error when no pty can be made.
/// Thread: one test thread; WriteAll and ReadExactly may run on a helper thread.
class PtyPair
{
public:
    PtyPair();
    ~PtyPair();
    PtyPair(const PtyPair&) = delete;
    PtyPair& operator=(const PtyPair&) = delete;

    /// The master descriptor, -1 after CloseMaster.
    int Master() const { return master; }
    /// The slave's device path (/dev/pts/N).
    const std::string& SlavePath() const { return slavePath; }

    /// Closes the master: for the port, the far end vanishes (the slave hangs up).
    void CloseMaster();

    size_t WriteAll(std::string_view data, std::chrono::milliseconds timeout = kDefaultTimeout)
    {
        return testsupport::WriteAll(master, data, timeout);
    }
    std::string ReadExactly(size_t count, std::chrono::milliseconds timeout = kDefaultTimeout)
    {
        return testsupport::ReadExactly(master, count, timeout);
    }

private:
    int master = -1;
    std::string slavePath;
};

} // namespace testsupport
