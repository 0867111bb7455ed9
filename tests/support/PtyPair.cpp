// Pseudo-terminal pairs and bounded reads and writes on their descriptors.
#include "tests/support/PtyPair.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <system_error>

namespace testsupport
{

namespace
{

using Clock = std::chrono::steady_clock;

int RemainingMs(Clock::time_point deadline)
{
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left > 0 ? static_cast<int>(left) : 0;
}

} // namespace

size_t WriteAll(int fd, std::string_view data, std::chrono::milliseconds timeout)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    size_t done = 0;
    while (done < data.size()) {
        const ssize_t count = write(fd, data.data() + done, data.size() - done);
        if (count > 0) {
            done += static_cast<size_t>(count);
            continue;
        }
        if (count < 0 && errno == EINTR)
            continue;
        if (count < 0 && errno != EAGAIN)
            break;
        const int left = RemainingMs(deadline);
        if (left == 0)
            break;
        pollfd watched{fd, POLLOUT, 0};
        if (poll(&watched, 1, left) < 0 && errno != EINTR)
            break;
        if (watched.revents & (POLLERR | POLLNVAL))
            break;
    }
    return done;
}

std::string ReadExactly(int fd, size_t count, std::chrono::milliseconds timeout)
{
    const Clock::time_point deadline = Clock::now() + timeout;
    std::string result;
    char buffer[4096];
    while (result.size() < count) {
        const size_t want = std::min(sizeof buffer, count - result.size());
        const ssize_t got = read(fd, buffer, want);
        if (got > 0) {
            result.append(buffer, static_cast<size_t>(got));
            continue;
        }
        if (got < 0 && errno == EINTR)
            continue;
        if (got == 0 || errno != EAGAIN)
            break; // hang-up (EIO on a master whose slave is closed) or a real error
        const int left = RemainingMs(deadline);
        if (left == 0)
            break;
        pollfd watched{fd, POLLIN, 0};
        if (poll(&watched, 1, left) < 0 && errno != EINTR)
            break;
        // A master reports POLLHUP while no slave is open; without data there is nothing to wait for.
        if ((watched.revents & (POLLHUP | POLLERR | POLLNVAL)) && !(watched.revents & POLLIN))
            break;
    }
    return result;
}

PtyPair::PtyPair()
{
    master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master < 0)
        throw std::system_error(errno, std::generic_category(), "posix_openpt");
    char name[128];
    if (grantpt(master) != 0 || unlockpt(master) != 0 || ptsname_r(master, name, sizeof name) != 0) {
        const int error = errno;
        close(master);
        throw std::system_error(error, std::generic_category(), "pty slave");
    }
    slavePath = name;
    fcntl(master, F_SETFL, fcntl(master, F_GETFL) | O_NONBLOCK);
    termios raw{};
    if (tcgetattr(master, &raw) == 0) {
        cfmakeraw(&raw);
        raw.c_cc[VMIN] = 0;
        raw.c_cc[VTIME] = 0;
        tcsetattr(master, TCSANOW, &raw);
    }
}

PtyPair::~PtyPair() { CloseMaster(); }

void PtyPair::CloseMaster()
{
    if (master >= 0)
        close(master);
    master = -1;
}

} // namespace testsupport
