// Poll timing of the real window: offscreen, connected to a pseudo-terminal whose peer answers like
// a bus device, it measures how far each poll lands from its 500 ms slot and the processor time the
// program uses while it polls.
//   bench_poll_timing [polls]      (default 100 polls, about 50 s)
#include "app/FrmMain.h"
#include "bench/BenchSupport.h"
#include "protocol/UnitEntDeCoder.h"
#include "runtime/qt/QtApplication.h"
#include "serial/port/ApdComPort.h"

#include <QComboBox>
#include <QPushButton>
#include <QTimer>

#include <fcntl.h>
#include <poll.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace
{

using TClock = std::chrono::steady_clock;
constexpr int kPort = 201;
constexpr double kSlotMs = 500.0;

/// The far end of the line on its own thread: a slave registered as COM201 in a private device
/// map, and a peer that stamps each request as its line end arrives and answers it with a framed
/// device answer. Thread: the peer's; Stamps() may be read from any thread.
class TBusPeer
{
public:
    TBusPeer()
    {
        char pattern[] = "/tmp/lintaker-pollbench-XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("no temporary directory");
        FDirectory = pattern;
        setenv("LINTAKER_DEVICE_MAP", FDirectory.c_str(), 1);
        FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0)
            throw std::runtime_error("no pseudo-terminal");
        termios raw{};
        tcgetattr(FMaster, &raw);
        cfmakeraw(&raw);
        tcsetattr(FMaster, TCSANOW, &raw);
        // A slave of our own keeps the master free of hang-ups while the program's side is closed.
        FKeeper = open(ptsname(FMaster), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        FLink = FDirectory + "/COM" + std::to_string(kPort);
        if (symlink(ptsname(FMaster), FLink.c_str()) != 0)
            throw std::runtime_error("no device-map link");
        FThread = std::thread([this] { Run(); });
    }
    ~TBusPeer()
    {
        FStop = true;
        FThread.join();
        close(FKeeper);
        close(FMaster);
        unlink(FLink.c_str());
        rmdir(FDirectory.c_str());
    }

    std::vector<TClock::time_point> Stamps()
    {
        std::lock_guard lock(FLock);
        return FStamps;
    }
    size_t Count()
    {
        std::lock_guard lock(FLock);
        return FStamps.size();
    }

private:
    void Run()
    {
        std::string pending;
        char buffer[4096];
        while (!FStop) {
            pollfd p{FMaster, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            const TClock::time_point now = TClock::now();
            const ssize_t n = read(FMaster, buffer, sizeof buffer);
            if (n <= 0)
                continue;
            pending.append(buffer, static_cast<size_t>(n));
            for (size_t end; (end = pending.find("\r\n")) != std::string::npos;) {
                const std::string request = pending.substr(0, end);
                pending.erase(0, end + 2);
                {
                    std::lock_guard lock(FLock);
                    FStamps.push_back(now);
                }
                if (request.size() >= 2 && request[0] == '>') {
                    const std::string answer =
                        FrameMessage(std::string(1, request[1]) + "t" + std::string(80, '0')) + "\r\n";
                    [[maybe_unused]] const ssize_t written = write(FMaster, answer.data(), answer.size());
                }
            }
        }
    }

    std::string FDirectory;
    std::string FLink;
    int FMaster = -1;
    int FKeeper = -1;
    std::atomic<bool> FStop{false};
    std::mutex FLock;
    std::vector<TClock::time_point> FStamps; // guarded by FLock
    std::thread FThread;
};

double Percentile(std::vector<double> values, double fraction)
{
    std::sort(values.begin(), values.end());
    const size_t at = static_cast<size_t>(std::ceil(fraction * static_cast<double>(values.size()))) - 1;
    return values[std::min(at, values.size() - 1)];
}

void PrintRow(const char* name, const std::vector<double>& values)
{
    std::printf("%-34s p50 %7.3f  p99 %7.3f  max %7.3f ms\n", name, Percentile(values, 0.50),
                Percentile(values, 0.99), *std::max_element(values.begin(), values.end()));
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const int polls = argc > 1 ? std::max(2, std::atoi(argv[1])) : 100;
    TQtApplication application(argc, argv);
    TBusPeer peer;
    TBenchForm form;
    form.show();
    const int entry = form.ComboBoxCOM->findText(QStringLiteral("COM%1").arg(kPort));
    if (entry < 0) {
        std::fprintf(stderr, "COM%d is not in the port list\n", kPort);
        return 1;
    }
    form.ComboBoxCOM->setCurrentIndex(entry);

    const double cpuBefore = CpuSeconds();
    const TClock::time_point wallBefore = TClock::now();
    form.ButtonSaveComConnection->click();
    if (!form.ComPort->Open())
        return 1;
    // The first request is the reference; the polls measured follow it.
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (peer.Count() >= static_cast<size_t>(polls) + 1)
            application.quit();
    });
    watch.start(20);
    QTimer::singleShot(static_cast<int>((polls + 10) * kSlotMs), &application, &QCoreApplication::quit);
    application.exec();
    const double cpu = CpuSeconds() - cpuBefore;
    const double wall = std::chrono::duration<double>(TClock::now() - wallBefore).count();
    form.ButtonSaveComConnection->click();

    const std::vector<TClock::time_point> stamps = peer.Stamps();
    if (stamps.size() < static_cast<size_t>(polls) + 1) {
        std::fprintf(stderr, "only %zu requests came\n", stamps.size());
        return 1;
    }
    std::vector<double> slot, interval;
    for (int k = 1; k <= polls; ++k) {
        const auto k_ = static_cast<size_t>(k);
        const double sinceFirst = std::chrono::duration<double, std::milli>(stamps[k_] - stamps[0]).count();
        slot.push_back(std::abs(sinceFirst - k * kSlotMs));
        const double gap = std::chrono::duration<double, std::milli>(stamps[k_] - stamps[k_ - 1]).count();
        interval.push_back(std::abs(gap - kSlotMs));
    }
    std::printf("%d polls on a pty peer that answers each one, the window offscreen\n", polls);
    PrintRow("deviation from the 500 ms slot", slot);
    PrintRow("deviation of the interval", interval);
    std::printf("%-34s %.3f s in %.1f s wall: %.2f %% of one core\n", "processor time while polling", cpu,
                wall, 100.0 * cpu / wall);
    return 0;
}
