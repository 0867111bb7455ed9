// The simulator's event loop around one pty: reads, timed writes, timers and the stop pipe.
#include "tools/sim/SimLoop.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>

#include <fcntl.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace sim
{

namespace
{

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGHUP};
constexpr int kMaxReadsPerWake = 64; // then let timers and writes have their turn

// The handler's only state: where to write the stop byte, and which signal it was. Lock-free
// atomics are async-signal-safe.
std::atomic<int> signalStopFd{-1};
std::atomic<int> stopSignal{0};
struct sigaction formerHandlers[std::size(kStopSignals)];

void OnStopSignal(int signal)
{
    const int savedErrno = errno;
    stopSignal.store(signal);
    const int fd = signalStopFd.load();
    if (fd >= 0) {
        const char byte = 's';
        [[maybe_unused]] const ssize_t ignored = write(fd, &byte, 1);
    }
    errno = savedErrno;
}

timespec ToTimespec(std::chrono::nanoseconds wait)
{
    if (wait.count() < 0)
        wait = std::chrono::nanoseconds(0);
    timespec ts{};
    ts.tv_sec = static_cast<time_t>(wait.count() / 1000000000);
    ts.tv_nsec = static_cast<long>(wait.count() % 1000000000);
    return ts;
}

} // namespace

TSimLoop::TSimLoop(TSimDevice& device) : sim_(device)
{
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0)
        failure_ = std::string("cannot create the stop pipe: ") + std::strerror(errno);
}

TSimLoop::~TSimLoop()
{
    if (signalsInstalled_) {
        for (size_t i = 0; i < std::size(kStopSignals); ++i)
            sigaction(kStopSignals[i], &formerHandlers[i], nullptr);
        signalStopFd.store(-1);
    }
    for (int fd : wake_)
        if (fd >= 0)
            close(fd);
}

void TSimLoop::Stop() noexcept
{
    const char byte = 'x';
    [[maybe_unused]] const ssize_t ignored = write(wake_[1], &byte, 1);
}

void TSimLoop::StopOnSignals()
{
    stopSignal.store(0);
    signalStopFd.store(wake_[1]);
    struct sigaction action {
    };
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    for (size_t i = 0; i < std::size(kStopSignals); ++i)
        sigaction(kStopSignals[i], &action, &formerHandlers[i]);
    signalsInstalled_ = true;
}

int TSimLoop::StopSignal() const { return signalsInstalled_ ? stopSignal.load() : 0; }

TSimLoop::TEnd TSimLoop::Run(int deviceFd, std::optional<std::chrono::nanoseconds> duration)
{
    if (wake_[0] < 0)
        return TEnd::eLineFailed;
    device_ = deviceFd;
    const bool timed = duration.has_value();
    const TTime end = timed ? TClock::now() + *duration : TTime::max();
    bool endRequested = false;
    bool wantWrite = false;

    for (;;) {
        TTime now = TClock::now();
        if (timed && !endRequested && now >= end) {
            sim_.EndRequested(now);
            endRequested = true;
        }
        sim_.Tick(now);
        if (sim_.Finished())
            return endRequested ? TEnd::eDuration : TEnd::eFinished;
        if (!WriteDue(wantWrite))
            return TEnd::eLineFailed;

        now = TClock::now();
        std::optional<TTime> wakeAt = sim_.NextTimer();
        const auto consider = [&](TTime t) {
            if (!wakeAt || t < *wakeAt)
                wakeAt = t;
        };
        if (const TLineWrite* front = sim_.FrontWrite(); front && !wantWrite)
            consider(front->due);
        if (timed && !endRequested)
            consider(end);
        timespec timeout{};
        if (wakeAt)
            timeout = ToTimespec(*wakeAt - now);

        pollfd fds[2] = {{device_, static_cast<short>(POLLIN | (wantWrite ? POLLOUT : 0)), 0},
                         {wake_[0], POLLIN, 0}};
        if (ppoll(fds, 2, wakeAt ? &timeout : nullptr, nullptr) < 0) {
            if (errno == EINTR)
                continue;
            failure_ = std::string("waiting on the line failed: ") + std::strerror(errno);
            return TEnd::eLineFailed;
        }
        if (fds[1].revents != 0) {
            char drain[16];
            while (read(wake_[0], drain, sizeof drain) > 0) {
            }
            return TEnd::eStopped;
        }
        if ((fds[0].revents & POLLOUT) != 0)
            wantWrite = false;
        if ((fds[0].revents & POLLIN) != 0) {
            if (!ReadAll())
                return TEnd::eLineFailed;
        } else if ((fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            // We hold the port side open ourselves, so this means the pty itself is gone; waiting
            // on it again would only spin.
            failure_ = "the pseudo-terminal hung up";
            return TEnd::eLineFailed;
        }
    }
}

bool TSimLoop::WriteDue(bool& wantWrite)
{
    while (!wantWrite) {
        TLineWrite* front = sim_.FrontWrite();
        if (front == nullptr || front->due > TClock::now())
            return true;
        const ssize_t written = write(device_, front->bytes.data(), front->bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                // The port side's input is full: the program is not reading. Wait until it is.
                wantWrite = true;
                return true;
            }
            failure_ = std::string("writing to the line failed: ") + std::strerror(errno);
            return false;
        }
        const TTime done = TClock::now();
        if (const auto tag = sim_.ConsumeFront(static_cast<size_t>(written)); tag && *tag != 0)
            sim_.Written(*tag, done);
    }
    return true;
}

bool TSimLoop::ReadAll()
{
    // In packet mode every read gives one packet: a status byte, then data when the status is 0.
    char buffer[4096 + 1];
    for (int i = 0; i < kMaxReadsPerWake; ++i) {
        const ssize_t n = read(device_, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return true;
            failure_ = std::string("reading from the line failed: ") + std::strerror(errno);
            return false;
        }
        if (n == 0)
            return true;
        const TTime now = TClock::now();
        const unsigned char status = static_cast<unsigned char>(buffer[0]);
        if (status == TIOCPKT_DATA)
            sim_.Receive(std::string_view(buffer + 1, static_cast<size_t>(n - 1)), now);
        else if ((status & (TIOCPKT_FLUSHREAD | TIOCPKT_FLUSHWRITE)) != 0)
            sim_.LineFlushed(now);
    }
    return true;
}

} // namespace sim
