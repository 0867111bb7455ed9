// What the monitoring benchmarks share: the simulator as an RS232 device at a rate, the real window
// answering it until the device has sent its messages, and a probe of the user-interface thread's lag.
#pragma once

#include "bench/BenchSupport.h"
#include "runtime/qt/QtApplication.h"
#include "serial/port/ApdComPort.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QMetaObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QTimer>

#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

using TBenchClock = std::chrono::steady_clock;

/// The simulator in `mode` ("bus" or "device") on COM<port> with `options`, its report going to
/// the run's report file; returns once its port is there. @return its process id, or -1.
inline pid_t StartSimulator(const TSimulatorRun& run, const char* mode, int port,
                            std::vector<std::string> options)
{
    std::filesystem::remove(run.Report);
    std::vector<std::string> args = {run.Simulator,        mode,       "--port",
                                     std::to_string(port), "--report", run.Report};
    args.insert(args.end(), options.begin(), options.end());
    const pid_t pid = Spawn(args);
    for (int i = 0; pid > 0 && i < 300 && !std::filesystem::exists(run.Link); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    return pid;
}

/// The simulator as an RS232 device on COM<port> sending `count` messages at `rate` a second,
/// waiting for its line to be opened. @return its process id, or -1.
inline pid_t StartRS232Device(const TSimulatorRun& run, int port, int rate, long count)
{
    return StartSimulator(
        run, "device", port,
        {"--rate", std::to_string(rate), "--count", std::to_string(count), "--answer-timeout", "1000"});
}

/// The rates given on the command line from argument `first` on, each at least 1, or `defaults`.
inline std::vector<int> RatesFrom(int argc, char** argv, int first, std::vector<int> defaults)
{
    std::vector<int> rates;
    for (int i = first; i < argc; ++i)
        rates.push_back(std::max(1, std::atoi(argv[i])));
    return rates.empty() ? defaults : rates;
}

/// Waits for a process to end and says whether it ended of itself.
inline bool AwaitProcess(pid_t pid)
{
    int status = 0;
    return waitpid(pid, &status, 0) == pid && WIFEXITED(status);
}

/// Answer turnaround as the device measured it, from its report.
struct TTurnaround {
    double Sent = 0, Correct = 0, Wrong = 0, Missing = 0;
    double P50 = 0, P99 = 0, Max = 0;
    static TTurnaround FromReport(const std::string& report)
    {
        const QJsonObject figures = ReadReport(report);
        const QJsonObject latency = figures.value(QStringLiteral("latency_ms")).toObject();
        return {Number(figures, "messages_sent"),
                Number(figures, "answered_correct"),
                Number(figures, "answered_wrong"),
                Number(figures, "missing"),
                Number(latency, "p50"),
                Number(latency, "p99"),
                Number(latency, "max")};
    }
};

/// Records how late events posted to the user-interface thread run: a thread of its own posts one
/// every `periodMs` and the user-interface thread notes the delay when it gets to it.
class TUiLagProbe
{
public:
    explicit TUiLagProbe(int periodMs = 5) : FPeriod(std::chrono::milliseconds(periodMs)) {}
    ~TUiLagProbe() { Stop(); }

    void Start()
    {
        FStop = false;
        FStarted = TBenchClock::now();
        FWorstLag = {};
        FThread = std::thread([this] {
            std::unique_lock lock(FLock);
            while (!FWake.wait_for(lock, FPeriod, [this] { return FStop; })) {
                const TBenchClock::time_point posted = TBenchClock::now();
                QMetaObject::invokeMethod(
                    qApp,
                    [this, posted] {
                        if (!FMeasuring)
                            return;
                        const TBenchClock::duration lag = TBenchClock::now() - posted;
                        FLags.push_back(lag);
                        if (lag > FWorstLag) {
                            FWorstLag = lag;
                            FWorstAt = posted - FStarted;
                        }
                    },
                    Qt::QueuedConnection);
            }
        });
    }
    void Stop()
    {
        if (!FThread.joinable())
            return;
        {
            std::lock_guard lock(FLock);
            FStop = true;
        }
        FWake.notify_all();
        FThread.join();
    }
    /// The lags recorded since the last call, in milliseconds, sorted; the user-interface thread only.
    std::vector<double> Take()
    {
        std::vector<double> lags;
        for (const auto& lag : FLags)
            lags.push_back(std::chrono::duration<double, std::milli>(lag).count());
        FLags.clear();
        std::sort(lags.begin(), lags.end());
        return lags;
    }
    static double Percentile(const std::vector<double>& sorted, double percent)
    {
        if (sorted.empty())
            return 0;
        const auto at = static_cast<size_t>(percent / 100.0 * static_cast<double>(sorted.size() - 1) + 0.5);
        return sorted[std::min(at, sorted.size() - 1)];
    }

private:
    const std::chrono::milliseconds FPeriod;
    std::thread FThread;
    std::mutex FLock;
    std::condition_variable FWake;
    bool FStop = false;
    std::vector<TBenchClock::duration> FLags; // the user-interface thread only
    TBenchClock::time_point FStarted;
    bool FMeasuring = true; // the user-interface thread only
    TBenchClock::duration FWorstLag{};
    TBenchClock::duration FWorstAt{}; // since Start, of the post that waited longest

public:
    /// Posts that run from now on are not counted: the event loop has ended on purpose.
    void Pause() { FMeasuring = false; }
    /// When the longest lag began, in seconds since Start; the user-interface thread only.
    double WorstAtSeconds() const { return std::chrono::duration<double>(FWorstAt).count(); }
};

/// The window in monitoring mode, with the device classes shown.
inline void SetUpMonitoring(TBenchForm& form)
{
    form.RadioButtonListen->setChecked(true);
    form.CheckBoxProtocol->setChecked(true);
}

/// What a run of the window cost.
struct TWindowRun {
    bool Ok = false;
    double CpuSeconds = 0;
    double WallSeconds = 0;
    double CloseSeconds = 0; // the Disconnect after the device's end, outside the event loop
};

/// Connects the window to COM<port>, runs its event loop until the device process has ended, and
/// disconnects. `everySecond`, when given, runs once a second on the user-interface thread meanwhile;
/// `probe`, when given, stops counting when the device has ended.
inline TWindowRun RunWindowUntilDeviceEnds(TQtApplication& application, TBenchForm& form, int port,
                                           pid_t device, const std::function<void()>& everySecond = {},
                                           TUiLagProbe* probe = nullptr)
{
    TWindowRun result;
    form.show(); // lists the simulator's port
    const int entry = form.ComboBoxCOM->findText(QStringLiteral("COM%1").arg(port));
    if (entry < 0) {
        std::fprintf(stderr, "COM%d is not in the port list\n", port);
        kill(device, SIGTERM);
        return result;
    }
    form.ComboBoxCOM->setCurrentIndex(entry);
    const double cpuBefore = CpuSeconds();
    const TBenchClock::time_point wallBefore = TBenchClock::now();
    form.ButtonSaveComConnection->click();
    if (!form.ComPort->Open()) {
        kill(device, SIGTERM);
        return result;
    }
    // The device's end is watched through a descriptor, not by asking every few milliseconds:
    // the benchmark's own wake-ups would be counted as the window's.
    const int ended = static_cast<int>(syscall(SYS_pidfd_open, device, 0));
    if (ended < 0) {
        std::perror("pidfd_open");
        kill(device, SIGTERM);
        return result;
    }
    QSocketNotifier watch(ended, QSocketNotifier::Read);
    QObject::connect(&watch, &QSocketNotifier::activated, [&] {
        if (probe)
            probe->Pause();
        application.quit();
    });
    QTimer second;
    if (everySecond) {
        QObject::connect(&second, &QTimer::timeout, everySecond);
        second.start(1000);
    }
    application.exec();
    result.CpuSeconds = CpuSeconds() - cpuBefore;
    result.WallSeconds = std::chrono::duration<double>(TBenchClock::now() - wallBefore).count();
    watch.setEnabled(false);
    ::close(ended);
    int status = 0;
    waitpid(device, &status, 0);
    // The simulator takes its port away as it ends; the line may have closed with it.
    const TBenchClock::time_point closing = TBenchClock::now();
    if (form.ComPort->Open())
        form.ButtonSaveComConnection->click();
    result.CloseSeconds = std::chrono::duration<double>(TBenchClock::now() - closing).count();
    result.Ok = true;
    return result;
}
