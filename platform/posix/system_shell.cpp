// ShellExecuteA on Linux: hands a URL or a file to the desktop's default handler (xdg-open),
// started detached so that it outlives nothing of ours and inherits none of our descriptors.
#include "platform/win32.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace
{

constexpr const char* kDefaultOpenCommand = "xdg-open";
constexpr int kStarted = 42; // any value above 32 reports success

std::mutex openCommandLock;        // a leaf: held only to copy the command, nothing is taken under it
std::string openCommandForTesting; // guarded by openCommandLock; empty: not replaced

/// What went wrong in the child, sent back through the status pipe before it ends.
enum TStage : int { stFork = 1, stDirectory = 2, stExec = 3 };
struct TChildFailure {
    int stage;
    int error;
};

HINSTANCE Result(int value) { return reinterpret_cast<HINSTANCE>(static_cast<intptr_t>(value)); }

bool IsOpenOperation(LPCSTR operation)
{
    if (operation == nullptr || *operation == '\0')
        return true;
    const std::string text(operation);
    if (text.size() != 4)
        return false;
    for (size_t i = 0; i < 4; ++i)
        if ((text[i] | 0x20) != "open"[i])
            return false;
    return true;
}

/// A URL starts with a scheme: a letter, then letters, digits, '+', '-' or '.', then ':'.
bool IsUrl(const std::string& file)
{
    const size_t colon = file.find(':');
    if (colon == std::string::npos || colon < 2)
        return false;
    for (size_t i = 0; i < colon; ++i) {
        const char c = file[i];
        const bool letter = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!letter && (i == 0 || !((c >= '0' && c <= '9') || c == '+' || c == '-' || c == '.')))
            return false;
    }
    return true;
}

/// The shell's answer for a file or handler that cannot be reached, from the system's error for
/// it; `otherwise` for errors the shell has no number of its own for.
int ShellError(DWORD error, int otherwise)
{
    switch (error) {
    case ERROR_ACCESS_DENIED:
        return SE_ERR_ACCESSDENIED;
    case ERROR_NOT_ENOUGH_MEMORY:
        return SE_ERR_OOM;
    default:
        return otherwise;
    }
}

int ErrorForMissingPath(int error)
{
    const DWORD code = platform::Win32ErrorFromErrno(error);
    return code == ERROR_FILE_NOT_FOUND ? SE_ERR_FNF : ShellError(code, SE_ERR_PNF);
}

std::string OpenCommand()
{
    {
        std::lock_guard<std::mutex> hold(openCommandLock);
        if (!openCommandForTesting.empty())
            return openCommandForTesting;
    }
    if (const char* configured = std::getenv("LINTAKER_OPEN_COMMAND"); configured && *configured)
        return configured;
    return kDefaultOpenCommand;
}

/// The executable for a command name, searched in PATH as a shell would; empty when there is none.
/// Done before forking: the child may only make async-signal-safe calls.
std::string ResolveCommand(const std::string& command)
{
    if (command.find('/') != std::string::npos)
        return access(command.c_str(), X_OK) == 0 ? command : std::string();
    const char* path = std::getenv("PATH");
    const std::string directories = (path && *path) ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= directories.size()) {
        size_t end = directories.find(':', start);
        if (end == std::string::npos)
            end = directories.size();
        const std::string directory = end > start ? directories.substr(start, end - start) : ".";
        const std::string candidate = directory + "/" + command;
        struct stat st {
        };
        if (stat(candidate.c_str(), &st) == 0 && S_ISREG(st.st_mode) && access(candidate.c_str(), X_OK) == 0)
            return candidate;
        start = end + 1;
    }
    return {};
}

/// Closes the descriptors from `first` to `last`; without close_range, at most up to `loopLast`.
void CloseRange(int first, unsigned last, int loopLast)
{
    if (first < 0 || static_cast<unsigned>(first) > last)
        return;
    if (close_range(static_cast<unsigned>(first), last, 0) == 0)
        return;
    for (int fd = first; fd <= loopLast && static_cast<unsigned>(fd) <= last; ++fd)
        close(fd);
}

[[noreturn]] void ChildFails(int statusFd, TStage stage)
{
    const TChildFailure failure{stage, errno};
    ssize_t written;
    do
        written = write(statusFd, &failure, sizeof failure);
    while (written < 0 && errno == EINTR);
    _exit(127);
}

/// Runs in the grandchild, between fork and exec: async-signal-safe calls only.
[[noreturn]] void StartOpener(int statusFd, const char* program, char* const* argv, const char* directory,
                              int highestFd)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGCHLD, SIG_DFL);

    // Keep the status pipe clear of 0 to 2, which /dev/null takes next.
    const int status = fcntl(statusFd, F_DUPFD_CLOEXEC, 3);
    if (status < 0)
        ChildFails(statusFd, stExec);
    const int null = open("/dev/null", O_RDWR);
    if (null < 0 || dup2(null, 0) < 0 || dup2(null, 1) < 0 || dup2(null, 2) < 0)
        ChildFails(status, stExec);
    // The handler must hold none of our descriptors: an open serial port passed on to a browser
    // would stay locked after the program closes it.
    CloseRange(3, static_cast<unsigned>(status - 1), highestFd);
    CloseRange(status + 1, ~0u, highestFd);

    if (directory != nullptr && chdir(directory) != 0)
        ChildFails(status, stDirectory);
    execve(program, argv, environ);
    ChildFails(status, stExec);
}

} // namespace

HINSTANCE ShellExecuteA(HWND /*parent*/, LPCSTR operation, LPCSTR file, LPCSTR /*parameters*/,
                        LPCSTR directory, int /*showCommand*/)
{
    if (!IsOpenOperation(operation))
        return Result(SE_ERR_NOASSOC);
    if (file == nullptr || *file == '\0')
        return Result(SE_ERR_FNF);
    const char* workDirectory = (directory != nullptr && *directory != '\0') ? directory : nullptr;
    struct stat st {
    };
    if (workDirectory != nullptr && (stat(workDirectory, &st) != 0 || !S_ISDIR(st.st_mode)))
        return Result(SE_ERR_PNF);

    const std::string target = file;
    if (!IsUrl(target)) {
        const std::string path = (workDirectory != nullptr && target.front() != '/')
                                     ? std::string(workDirectory) + "/" + target
                                     : target;
        if (stat(path.c_str(), &st) != 0)
            return Result(ErrorForMissingPath(errno));
    }

    const std::string program = ResolveCommand(OpenCommand());
    if (program.empty())
        return Result(SE_ERR_NOASSOC);
    std::vector<std::string> arguments{program, target};
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const long openMax = sysconf(_SC_OPEN_MAX);
    const int highestFd = openMax > 0 && openMax < 65536 ? static_cast<int>(openMax) - 1 : 65535;

    int statusPipe[2];
    if (pipe2(statusPipe, O_CLOEXEC) != 0)
        return Result(SE_ERR_OOM);

    // Two forks: the middle process starts a new session and ends at once, so the handler is
    // adopted by init, never becomes our zombie, and has no terminal of ours.
    const pid_t middle = fork();
    if (middle < 0) {
        close(statusPipe[0]);
        close(statusPipe[1]);
        return Result(SE_ERR_OOM);
    }
    if (middle == 0) {
        close(statusPipe[0]);
        setsid();
        const pid_t opener = fork();
        if (opener < 0)
            ChildFails(statusPipe[1], stFork);
        if (opener == 0)
            StartOpener(statusPipe[1], program.c_str(), argv.data(), workDirectory, highestFd);
        _exit(0);
    }

    close(statusPipe[1]);
    while (waitpid(middle, nullptr, 0) < 0 && errno == EINTR) {
    }
    // The pipe ends when exec succeeds (close-on-exec) or when the child reports its failure.
    TChildFailure failure{0, 0};
    ssize_t got;
    do
        got = read(statusPipe[0], &failure, sizeof failure);
    while (got < 0 && errno == EINTR);
    close(statusPipe[0]);

    if (got != static_cast<ssize_t>(sizeof failure))
        return Result(kStarted);
    switch (failure.stage) {
    case stDirectory:
        return Result(SE_ERR_PNF);
    case stFork:
        return Result(SE_ERR_OOM);
    default:
        // A handler that vanished or cannot run is as good as none.
        return Result(ShellError(platform::Win32ErrorFromErrno(failure.error), SE_ERR_NOASSOC));
    }
}

namespace platform
{

void SetOpenCommandForTesting(const std::string& command)
{
    std::lock_guard<std::mutex> hold(openCommandLock);
    openCommandForTesting = command;
}

} // namespace platform
