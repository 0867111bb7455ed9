// A second process that holds or tries to hold a port: the lintaker-holder program, started from
// the test binary's directory, talked to over pipes.
#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport
{

/// Starts lintaker-holder with `arguments` ("open", "5" or "plain", "/dev/pts/3"), with the
/// environment of the test (its device map and lock directory). Nothing of the test process is
/// inherited but the environment: the holder is not the far side of any pseudo-terminal.
/// Thread: the test's main thread.
class HolderProcess
{
public:
    explicit HolderProcess(const std::vector<std::string>& arguments);
    /// Ends the holder's input and waits for it to leave (5 s, then it is killed).
    ~HolderProcess();
    HolderProcess(const HolderProcess&) = delete;
    HolderProcess& operator=(const HolderProcess&) = delete;

    /// The holder's report ("opened", "refused 5 held by ..."), waited for at most 5 s; empty
    /// when it did not come.
    const std::string& Report();
    /// Lets the holder go and waits for it to end. @return whether it ended within 5 s with status 0.
    bool Finish();
    pid_t Pid() const { return child; }

private:
    pid_t child = -1;
    int input = -1;  // the holder's standard input: closing it lets the holder go
    int output = -1; // the holder's standard output
    std::string report;
    bool reported = false;
};

/// The path of lintaker-holder beside the running test binary.
std::string HolderProgram();

} // namespace testsupport
