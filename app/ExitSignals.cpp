// Ending the program from outside as if the window had been closed.
#include "app/ExitSignals.h"

#include <QSocketNotifier>
#include <QWidget>

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <iterator>

namespace
{

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

// The two ends of the socket: the handler writes to [0], the user-interface thread reads [1].
int gWake[2] = {-1, -1};
struct sigaction gFormer[std::size(kSignals)];

void OnExitSignal(int)
{
    const int saved = errno;
    const char byte = 1;
    // Only async-signal-safe calls here; a full socket already has a wake-up waiting.
    if (write(gWake[0], &byte, 1) < 0) {
    }
    errno = saved;
}

} // namespace

TExitSignals::TExitSignals(QWidget* window) : FWindow(window)
{
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0, gWake) != 0) {
        gWake[0] = gWake[1] = -1;
        return; // the signals keep their usual effect
    }
    FNotifier = new QSocketNotifier(gWake[1], QSocketNotifier::Read, this);
    connect(FNotifier, &QSocketNotifier::activated, this, &TExitSignals::SignalArrived);
    struct sigaction action {
    };
    action.sa_handler = OnExitSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &action, &gFormer[i]);
}

TExitSignals::~TExitSignals()
{
    if (gWake[0] < 0)
        return;
    for (size_t i = 0; i < std::size(kSignals); ++i)
        sigaction(kSignals[i], &gFormer[i], nullptr);
    delete FNotifier;
    close(gWake[0]);
    close(gWake[1]);
    gWake[0] = gWake[1] = -1;
}

void TExitSignals::SignalArrived()
{
    char bytes[16];
    while (read(gWake[1], bytes, sizeof bytes) > 0) {
    }
    // The window's close closes the port (its errors ignored), and the event loop ends with it.
    FWindow->close();
}
