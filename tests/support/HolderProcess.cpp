// Starting and stopping the lintaker-holder program for tests of port ownership.
#include "tests/support/HolderProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <climits>
#include <system_error>

extern char** environ;

namespace testsupport
{

std::string HolderProgram()
{
    char self[PATH_MAX];
    const ssize_t length = readlink("/proc/self/exe", self, sizeof self - 1);
    if (length <= 0)
        return "lintaker-holder";
    std::string path(self, static_cast<size_t>(length));
    return path.substr(0, path.find_last_of('/') + 1) + "lintaker-holder";
}

HolderProcess::HolderProcess(const std::vector<std::string>& arguments)
{
    int toChild[2], fromChild[2];
    if (pipe2(toChild, O_CLOEXEC) != 0)
        throw std::system_error(errno, std::generic_category(), "pipe");
    if (pipe2(fromChild, O_CLOEXEC) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        throw std::system_error(errno, std::generic_category(), "pipe");
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toChild[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, fromChild[1], STDOUT_FILENO);
    const std::string program = HolderProgram();
    std::vector<char*> argv{const_cast<char*>(program.c_str())};
    for (const std::string& argument : arguments)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    const int error = posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(toChild[0]);
    close(fromChild[1]);
    input = toChild[1];
    output = fromChild[0];
    if (error != 0) {
        child = -1;
        close(input);
        close(output);
        throw std::system_error(error, std::generic_category(), "posix_spawn " + program);
    }
}

HolderProcess::~HolderProcess()
{
    if (!Finish() && child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    if (output >= 0)
        close(output);
}

const std::string& HolderProcess::Report()
{
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::seconds(5);
    while (!reported && output >= 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
        pollfd watched{output, POLLIN, 0};
        if (left.count() <= 0 || poll(&watched, 1, static_cast<int>(left.count())) <= 0)
            break;
        char c;
        if (read(output, &c, 1) != 1)
            break;
        if (c == '\n')
            reported = true;
        else
            report += c;
    }
    return report;
}

bool HolderProcess::Finish()
{
    if (input >= 0) {
        close(input);
        input = -1;
    }
    if (child <= 0)
        return false;
    // Bounded: the holder leaves as soon as it sees the end of its input.
    int status = 0;
    for (int i = 0; i < 500; ++i) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) {
            child = -1;
            return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        }
        pollfd none{-1, 0, 0};
        poll(&none, 0, 10);
    }
    return false;
}

} // namespace testsupport
