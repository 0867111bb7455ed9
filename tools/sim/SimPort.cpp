// The simulator's pseudo-terminal and its entry in the COM device map.
#include "tools/sim/SimPort.h"

#include "platform/posix/devicemap.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace sim
{

namespace
{

std::string ErrnoText(const std::string& what, int error) { return what + ": " + std::strerror(error); }

/// Creates the directory and the missing ones above it, private to this user.
bool MakeDirectories(const std::string& path, std::string& error)
{
    for (size_t at = 1; at <= path.size(); ++at) {
        if (at != path.size() && path[at] != '/')
            continue;
        const std::string prefix = path.substr(0, at);
        if (mkdir(prefix.c_str(), 0700) != 0 && errno != EEXIST) {
            error = ErrnoText("cannot create the device-map directory " + prefix, errno);
            return false;
        }
    }
    struct stat st {
    };
    if (stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        error = "the device-map path " + path + " is not a directory";
        return false;
    }
    if ((st.st_uid != geteuid() && st.st_uid != 0) || (st.st_mode & S_IWOTH) != 0) {
        error = "the device-map directory " + path +
                " belongs to another user or is writable by everyone; the program does not read it";
        return false;
    }
    return true;
}

std::string ReadLink(const std::string& path)
{
    char target[PATH_MAX];
    const ssize_t length = readlink(path.c_str(), target, sizeof target - 1);
    return length < 0 ? std::string() : std::string(target, static_cast<size_t>(length));
}

/// A link left behind by a simulator that was killed: it leads to a pseudo-terminal that no
/// longer exists. Links to anything else (an unplugged adapter, say) belong to the user.
bool IsStaleSimulatorLink(const std::string& path)
{
    struct stat st {
    };
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return false;
    if (ReadLink(path).rfind("/dev/pts/", 0) != 0)
        return false;
    return stat(path.c_str(), &st) != 0 && errno == ENOENT;
}

bool Exists(const std::string& path)
{
    struct stat st {
    };
    return lstat(path.c_str(), &st) == 0;
}

} // namespace

std::unique_ptr<TSimPort> TSimPort::Open(const TPortChoice& choice, std::string& error)
{
    std::unique_ptr<TSimPort> port(new TSimPort);
    port->master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port->master_ < 0) {
        error = ErrnoText("cannot open a pseudo-terminal", errno);
        return nullptr;
    }
    char name[128];
    if (grantpt(port->master_) != 0 || unlockpt(port->master_) != 0 ||
        ptsname_r(port->master_, name, sizeof name) != 0) {
        error = ErrnoText("cannot prepare the pseudo-terminal", errno);
        return nullptr;
    }
    port->slavePath_ = name;
    // Without O_NOCTTY the port side could become our controlling terminal, and its hang-up our end.
    port->slave_ = open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (port->slave_ < 0) {
        error = ErrnoText("cannot open " + port->slavePath_, errno);
        return nullptr;
    }
    // A new pty is a cooked terminal (echo, CR to LF, ^C): bytes must pass unchanged both ways,
    // also before the program sets its own line settings.
    termios raw{};
    if (tcgetattr(port->slave_, &raw) != 0) {
        error = ErrnoText("cannot read the line settings of " + port->slavePath_, errno);
        return nullptr;
    }
    cfmakeraw(&raw);
    raw.c_cflag |= CLOCAL | CREAD;
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    cfsetspeed(&raw, B9600);
    if (tcsetattr(port->slave_, TCSANOW, &raw) != 0) {
        error = ErrnoText("cannot set " + port->slavePath_ + " raw", errno);
        return nullptr;
    }
    int on = 1;
    if (ioctl(port->master_, TIOCPKT, &on) != 0) {
        error = ErrnoText("cannot turn on packet mode", errno);
        return nullptr;
    }
    const int flags = fcntl(port->master_, F_GETFL);
    if (flags < 0 || fcntl(port->master_, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = ErrnoText("cannot make the pseudo-terminal non-blocking", errno);
        return nullptr;
    }
    if (!port->Register(choice, error))
        return nullptr;
    return port;
}

bool TSimPort::Register(const TPortChoice& choice, std::string& error)
{
    const std::string directory = platform::DeviceMapDirectory();
    if (!MakeDirectories(directory, error))
        return false;

    const int first = choice.exact != 0 ? choice.exact : std::max(1, choice.first);
    const int last = choice.exact != 0 ? choice.exact : kHighestNumber;
    for (int number = first; number <= last; ++number) {
        const std::string link = directory + "/COM" + std::to_string(number);
        // Re-read the map for every number: another simulator may be registering at the same time.
        const auto taken = platform::ListComDevices();
        if (const auto owner = taken.find(number); owner != taken.end()) {
            if (choice.exact != 0) {
                error = "COM" + std::to_string(number) + " is already taken by " + owner->second;
                return false;
            }
            continue;
        }
        if (Exists(link)) {
            if (IsStaleSimulatorLink(link)) {
                unlink(link.c_str());
            } else if (choice.exact != 0) {
                error = link + " exists (remove it if it is left over)";
                return false;
            } else {
                continue;
            }
        }
        // symlink() fails when the name exists, so two simulators can never take the same number.
        if (symlink(slavePath_.c_str(), link.c_str()) == 0) {
            number_ = number;
            linkPath_ = link;
            return true;
        }
        if (errno != EEXIST || choice.exact != 0) {
            error = ErrnoText("cannot create " + link, errno);
            return false;
        }
    }
    error = "no free COM number from COM" + std::to_string(first) + " to COM" + std::to_string(last);
    return false;
}

void TSimPort::Unregister()
{
    if (linkPath_.empty())
        return;
    if (ReadLink(linkPath_) == slavePath_)
        unlink(linkPath_.c_str());
    linkPath_.clear();
}

TSimPort::~TSimPort()
{
    Unregister();
    if (slave_ >= 0)
        close(slave_);
    if (master_ >= 0)
        close(master_);
}

} // namespace sim
