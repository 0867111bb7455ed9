// lintaker-holder: another process that holds a port, for tests of port ownership.
//   lintaker-holder open <n>      opens COM<n> through the platform layer, as a second Lintaker would
//   lintaker-holder plain <path>  opens the device with a plain open(), as a script would
// It prints one line, "opened" or "refused <Win32 error> <holder detail>", then keeps the port
// until its standard input ends, and leaves through exit() so that exit-time clean-up runs.
#include "platform/win32.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace
{

void WaitForEndOfInput()
{
    char buffer[64];
    while (read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
}

} // namespace

int main(int argc, char** argv)
{
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s open <n> | plain <path>\n", argv[0]);
        return 2;
    }
    if (std::strcmp(argv[1], "plain") == 0) {
        const int fd = open(argv[2], O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        std::printf(fd >= 0 ? "opened\n" : "refused %d\n", errno);
        std::fflush(stdout);
        WaitForEndOfInput();
        return 0;
    }
    const std::string name = std::string("\\\\.\\COM") + argv[2];
    HANDLE port = CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                              FILE_FLAG_OVERLAPPED, nullptr);
    if (port == INVALID_HANDLE_VALUE)
        std::printf("refused %u %s\n", static_cast<unsigned>(GetLastError()),
                    platform::GetLastErrorDetail().c_str());
    else
        std::printf("opened\n");
    std::fflush(stdout);
    WaitForEndOfInput();
    // The port stays open on purpose when asked to: its lock file then goes at exit.
    if (port != INVALID_HANDLE_VALUE && !std::getenv("LINTAKER_HOLDER_KEEP_OPEN"))
        CloseHandle(port);
    return 0;
}
