// Port validity over pseudo-terminals: which numbers count as usable ports, and that the probe
// leaves neither a device open nor a dispatcher registered.
#include "serial/port/AdSelCom.h"

#include "HeldElsewhere.h"
#include "platform/posix/devicemap.h"
#include "platform/win32.h"
#include "runtime/Thread.h"
#include "serial/dispatch/DeviceRegistry.h"
#include "tests/support/HolderProcess.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScopedDeviceMap.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <termios.h>

namespace
{

int OpenFds()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/fd")) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

} // namespace

TEST(PortValid, UsableAndHeldPortsAreValidMissingOnesAndZeroAreNot)
{
    InitMainThread();
    testsupport::ScopedDeviceMap map;
    testsupport::PtyPair free, heldHere, heldThere;
    const std::string regularFile = map.Directory() + "/not-a-tty";
    if (FILE* file = fopen(regularFile.c_str(), "w"))
        fclose(file);
    map.Link(2, free.SlavePath());
    map.Link(3, heldHere.SlavePath());
    map.Link(4, heldThere.SlavePath());
    map.Link(5, map.Directory() + "/nothing-here");
    map.Link(6, regularFile);
    // Real ports of this machine stay out of it.
    platform::SetSysClassTtyRootForTesting(map.Directory() + "/no-sysfs");

    HANDLE own = CreateFileA("\\\\.\\COM3", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                             FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(own, INVALID_HANDLE_VALUE);
    THeldElsewhere other(heldThere.SlavePath());
    ASSERT_TRUE(other.Held());

    const int32_t registered = DeviceRegistry::Count();
    const int fds = OpenFds();
    struct Case {
        uint16_t n;
        bool valid;
        const char* what;
    } cases[] = {
        {0, false, "no port number"},         {2, true, "free"},           {3, true, "held by this process"},
        {4, true, "held by another process"}, {5, false, "dangling link"}, {6, false, "not a tty"},
        {7, false, "not in the map"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(PortValid(c.n), c.valid) << "COM" << c.n << ": " << c.what;
        EXPECT_EQ(DeviceRegistry::Count(), registered) << "COM" << c.n << ": the probe's dispatcher stays";
        EXPECT_EQ(OpenFds(), fds) << "COM" << c.n << ": the probe leaves a descriptor open";
    }

    // The probe gave the free port back: it opens as before.
    HANDLE again = CreateFileA("\\\\.\\COM2", GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                               FILE_FLAG_OVERLAPPED, nullptr);
    EXPECT_NE(again, INVALID_HANDLE_VALUE);
    CloseHandle(again);
    CloseHandle(own);
    platform::SetSysClassTtyRootForTesting("");
}

TEST(PortValid, PortHeldByAPlainOpenerIsValidAndLeftAlone)
{
    InitMainThread();
    testsupport::ScopedDeviceMap map;
    testsupport::PtyPair pty;
    map.Link(2, pty.SlavePath());
    platform::SetSysClassTtyRootForTesting(map.Directory() + "/no-sysfs");
    // Settings that no open of ours would leave: a probe that rewrote them under the holder shows.
    termios before{};
    tcgetattr(pty.Master(), &before);
    cfsetspeed(&before, B4800);
    before.c_cflag |= CSTOPB;
    before.c_cc[VMIN] = 5;
    tcsetattr(pty.Master(), TCSANOW, &before);
    tcgetattr(pty.Master(), &before);

    // A script that opened the port without any lock: the probe finds it held without opening it.
    testsupport::HolderProcess script({"plain", pty.SlavePath()});
    ASSERT_EQ(script.Report(), "opened");
    EXPECT_TRUE(PortValid(2));
    termios after{};
    tcgetattr(pty.Master(), &after);
    EXPECT_EQ(after.c_cflag, before.c_cflag);
    EXPECT_EQ(after.c_iflag, before.c_iflag);
    EXPECT_EQ(after.c_lflag, before.c_lflag);
    EXPECT_EQ(cfgetospeed(&after), cfgetospeed(&before));
    EXPECT_EQ(std::memcmp(after.c_cc, before.c_cc, sizeof after.c_cc), 0);
    platform::SetSysClassTtyRootForTesting("");
}
