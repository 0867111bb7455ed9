// Exclusive ownership of ports over pseudo-terminals: other processes that have the device open,
// UUCP lock files (live, stale, ours), a second program opening through this layer, and the
// query that finds a held port without opening it.
#include "platform/win32.h"
#include "tests/support/HolderProcess.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScopedDeviceMap.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

namespace
{

using testing::HasSubstr;
using testing::StartsWith;
using testsupport::HolderProcess;
using testsupport::PtyPair;
using testsupport::ScopedDeviceMap;

constexpr int kPort = 3;

HANDLE OpenPort(int number = kPort)
{
    return CreateFileA(ScopedDeviceMap::DeviceName(number).c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                       OPEN_EXISTING, FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
}

std::string ProcessName(pid_t pid)
{
    std::ifstream comm("/proc/" + std::to_string(pid) + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream file(path, std::ios::binary);
    std::ostringstream content;
    content << file.rdbuf();
    return content.str();
}

bool Exists(const std::string& path)
{
    struct stat st {
    };
    return lstat(path.c_str(), &st) == 0;
}

std::string TextPid(pid_t pid)
{
    char text[16];
    std::snprintf(text, sizeof text, "%10d\n", static_cast<int>(pid));
    return text;
}

std::string BinaryPid(pid_t pid)
{
    const int32_t value = pid;
    return std::string(reinterpret_cast<const char*>(&value), sizeof value);
}

// A pid that no process has: a child that has ended and been reaped.
pid_t GonePid()
{
    const pid_t child = fork();
    if (child == 0)
        _exit(0);
    waitpid(child, nullptr, 0);
    return child;
}

// The line as its far end sees it; set to something no open of ours would leave, so that any
// rewrite of the settings shows.
struct LineWatch {
    explicit LineWatch(const PtyPair& pty) : master(pty.Master())
    {
        termios settings{};
        tcgetattr(master, &settings);
        cfsetspeed(&settings, B4800);
        settings.c_cflag |= CSTOPB;
        settings.c_cc[VMIN] = 5;
        settings.c_lflag |= ECHO;
        tcsetattr(master, TCSANOW, &settings);
        before = Now();
    }
    termios Now() const
    {
        termios settings{};
        tcgetattr(master, &settings);
        return settings;
    }
    bool Unchanged() const
    {
        const termios now = Now();
        return now.c_iflag == before.c_iflag && now.c_oflag == before.c_oflag &&
               now.c_cflag == before.c_cflag && now.c_lflag == before.c_lflag &&
               cfgetospeed(&now) == cfgetospeed(&before) &&
               std::memcmp(now.c_cc, before.c_cc, sizeof now.c_cc) == 0;
    }
    int master;
    termios before{};
};

class CommOwner : public testing::Test
{
protected:
    void SetUp() override { map.Link(kPort, pty.SlavePath()); }

    // Where another program makes its lock file for the port: LCK.. and the device node's name.
    std::string LockPath() const
    {
        char real[PATH_MAX];
        const std::string node = realpath(pty.SlavePath().c_str(), real) ? real : pty.SlavePath();
        return map.LockDirectory() + "/LCK.." + node.substr(node.find_last_of('/') + 1);
    }
    void WriteLock(const std::string& content) const
    {
        std::ofstream(LockPath(), std::ios::binary) << content;
    }

    ScopedDeviceMap map;
    PtyPair pty;
};

TEST_F(CommOwner, PlainOpenerElsewhereIsNamedAndItsLineLeftAlone)
{
    LineWatch line(pty);
    HolderProcess script({"plain", pty.SlavePath()});
    ASSERT_EQ(script.Report(), "opened");

    std::string detail;
    EXPECT_TRUE(platform::ComPortHeld(kPort, &detail));
    const std::string expected = "held by lintaker-holder (process " + std::to_string(script.Pid()) + ")";
    EXPECT_EQ(detail, expected);
    EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(platform::GetLastErrorDetail(), expected);
    EXPECT_TRUE(line.Unchanged()) << "the refused open touched the holder's line settings";
    EXPECT_FALSE(Exists(LockPath())) << "a refused open left a lock file";

    // Once the script has let go the port is ours, with our lock file for as long as we hold it.
    ASSERT_TRUE(script.Finish());
    EXPECT_FALSE(platform::ComPortHeld(kPort, nullptr));
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    EXPECT_EQ(platform::GetLastErrorDetail(), "");
    EXPECT_EQ(ReadFile(LockPath()), TextPid(getpid()));
    EXPECT_TRUE(platform::ComPortHeld(kPort, &detail));
    EXPECT_EQ(detail, "already open in this program (process " + std::to_string(getpid()) + ")");
    EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE) << "a second open in this process";
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(platform::GetLastErrorDetail(), detail);
    CloseHandle(port);
    EXPECT_FALSE(Exists(LockPath())) << "the lock file outlived the close";
}

TEST_F(CommOwner, FarEndOfThePseudoTerminalIsNoOwner)
{
    // A simulator holds the master and keeps a descriptor of the port side so the line survives
    // our close: that is the line's other end, not a rival program.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    const pid_t simulator = fork();
    if (simulator == 0) {
        close(ready[0]);
        const int fd = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
        const char answer = fd >= 0 ? 'y' : 'n';
        if (write(ready[1], &answer, 1) != 1)
            _exit(1);
        pause();
        _exit(0);
    }
    close(ready[1]);
    char answer = 'n';
    pollfd watched{ready[0], POLLIN, 0};
    ASSERT_EQ(poll(&watched, 1, 5000), 1);
    ASSERT_EQ(read(ready[0], &answer, 1), 1);
    close(ready[0]);
    ASSERT_EQ(answer, 'y');

    EXPECT_FALSE(platform::ComPortHeld(kPort, nullptr));
    HANDLE port = OpenPort();
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << platform::GetLastErrorDetail();
    CloseHandle(port);
    kill(simulator, SIGKILL);
    waitpid(simulator, nullptr, 0);
}

TEST_F(CommOwner, LiveLockFilesRefuseStaleOnesAreReplaced)
{
    const pid_t alive = getppid();
    const pid_t gone = GonePid();
    const struct {
        const char* what;
        std::string content;
        bool live;
        bool replaced = true; // by our own lock file
    } cases[] = {
        {"text, live", TextPid(alive), true},
        {"binary, live", BinaryPid(alive), true},
        {"text, process gone", TextPid(gone), false},
        {"binary, process gone", BinaryPid(gone), false},
        {"our own pid, left by an earlier process", TextPid(getpid()), false},
        // Neither trusted nor removed: the port opens, without a lock file of ours.
        {"no process id in it", "locked\n", false, false},
        {"empty", "", false, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        LineWatch line(pty);
        WriteLock(c.content);
        std::string detail;
        EXPECT_EQ(platform::ComPortHeld(kPort, &detail), c.live);
        HANDLE port = OpenPort();
        if (c.live) {
            EXPECT_EQ(port, INVALID_HANDLE_VALUE);
            EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
            const std::string name = ProcessName(alive);
            EXPECT_EQ(platform::GetLastErrorDetail(), "locked by " + name + " (process " +
                                                          std::to_string(alive) + ", lock file " +
                                                          LockPath() + ")");
            EXPECT_EQ(detail, platform::GetLastErrorDetail());
            EXPECT_TRUE(line.Unchanged());
            EXPECT_EQ(ReadFile(LockPath()), c.content) << "somebody else's lock file was touched";
        } else {
            EXPECT_NE(port, INVALID_HANDLE_VALUE) << platform::GetLastErrorDetail();
            EXPECT_EQ(ReadFile(LockPath()), c.replaced ? TextPid(getpid()) : c.content);
        }
        if (port != INVALID_HANDLE_VALUE)
            CloseHandle(port);
        EXPECT_EQ(Exists(LockPath()), c.live || !c.replaced) << "only our own lock file goes at close";
        unlink(LockPath().c_str());
    }
}

TEST_F(CommOwner, SecondProgramIsRefusedEitherWay)
{
    // We hold the port: a second program opening it through this layer is refused.
    HANDLE port = OpenPort();
    ASSERT_NE(port, INVALID_HANDLE_VALUE);
    {
        HolderProcess second({"open", std::to_string(kPort)});
        EXPECT_THAT(second.Report(), StartsWith("refused 5 "));
        EXPECT_THAT(second.Report(), HasSubstr("(process " + std::to_string(getpid())));
        EXPECT_TRUE(second.Finish());
    }
    EXPECT_EQ(ReadFile(LockPath()), TextPid(getpid())) << "the refused program disturbed our lock file";
    CloseHandle(port);

    // The other program holds it: we are refused and told who it is; when it ends, even without
    // closing the port, its lock file goes with it.
    setenv("LINTAKER_HOLDER_KEEP_OPEN", "1", 1);
    HolderProcess first({"open", std::to_string(kPort)});
    unsetenv("LINTAKER_HOLDER_KEEP_OPEN");
    ASSERT_EQ(first.Report(), "opened");
    EXPECT_EQ(ReadFile(LockPath()), TextPid(first.Pid()));
    EXPECT_EQ(OpenPort(), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(platform::GetLastErrorDetail(),
              "held by lintaker-holder (process " + std::to_string(first.Pid()) + ")");
    ASSERT_TRUE(first.Finish());
    EXPECT_FALSE(Exists(LockPath())) << "the other program left its lock file at exit";
    port = OpenPort();
    EXPECT_NE(port, INVALID_HANDLE_VALUE);
    CloseHandle(port);
}

TEST_F(CommOwner, PortsThatAreNotThereAreNotHeld)
{
    map.Link(4, map.Directory() + "/nothing-here");
    EXPECT_FALSE(platform::ComPortHeld(4, nullptr));
    EXPECT_FALSE(platform::ComPortHeld(9, nullptr));
    EXPECT_EQ(OpenPort(4), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(platform::GetLastErrorDetail(), "");
}

} // namespace
