// Ending the program from outside: a termination signal closes the window as the user would, so the
// port is closed and its lock file goes.
#include "app/ExitSignals.h"
#include "app/FrmMain.h"

#include "serial/port/ApdComPort.h"
#include "tests/app/FormLineSupport.h"

#include <dirent.h>

#include <csignal>
#include <string>

using namespace formtest;

namespace
{

// The lock files in the test's private lock directory.
int LockFiles(const std::string& directory)
{
    int count = 0;
    if (DIR* listing = opendir(directory.c_str())) {
        while (const dirent* entry = readdir(listing))
            count += std::string(entry->d_name).rfind("LCK..", 0) == 0;
        closedir(listing);
    }
    return count;
}

using FormExit = FormLineTest;

TEST_F(FormExit, ATerminationSignalClosesTheWindowAndGivesThePortBack)
{
    for (const int signal : {SIGTERM, SIGINT, SIGHUP}) {
        SCOPED_TRACE(signal);
        TPeerLine line(31);
        TTestFormMain form;
        TExitSignals exitSignals(&form);
        Connect(form, line);
        ASSERT_EQ(LockFiles(line.Map.LockDirectory()), 1);
        ASSERT_EQ(raise(signal), 0); // without the handler the test would end here
        ASSERT_TRUE(PumpUntil([&] { return !form.isVisible(); }));
        EXPECT_FALSE(form.ComPort->Open());
        EXPECT_EQ(LockFiles(line.Map.LockDirectory()), 0);
    }
}

} // namespace
