// The monitoring job end to end: the real window, offscreen, answers the messages of the bundled
// RS232 device simulator at rising rates. For each rate it prints what the simulator counted
// (answers correct, wrong, missing), the answer turnaround from the message's last byte written to
// the answer's first byte read, and the processor time the program used.
//   bench_monitoring [seconds per rate] [rates...]     (default 5 s at 20 100 250 500 1000 2000)
#include "bench/MonitoringRun.h"

#include <cstdio>

namespace
{

constexpr int kPort = 202;

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    const std::vector<int> rates = RatesFrom(argc, argv, 2, {20, 100, 250, 500, 1000, 2000});

    const std::optional<TSimulatorRun> run = PrepareSimulatorRun("monbench", kPort);
    if (!run)
        return 1;
    TQtApplication application(argc, argv);
    TBenchForm form;
    SetUpMonitoring(form);

    std::printf("%8s %8s %8s %6s %8s %10s %10s %10s %8s\n", "rate/s", "sent", "correct", "wrong", "missing",
                "p50 ms", "p99 ms", "max ms", "CPU %");
    for (int rate : rates) {
        const pid_t device = StartRS232Device(*run, kPort, rate, static_cast<long>(rate) * seconds);
        const TWindowRun costs =
            device > 0 ? RunWindowUntilDeviceEnds(application, form, kPort, device) : TWindowRun{};
        if (!costs.Ok)
            return 1;
        form.MemoPolling->clear();
        const TTurnaround t = TTurnaround::FromReport(run->Report);
        std::printf("%8d %8.0f %8.0f %6.0f %8.0f %10.3f %10.3f %10.3f %8.1f\n", rate, t.Sent, t.Correct,
                    t.Wrong, t.Missing, t.P50, t.P99, t.Max, 100.0 * costs.CpuSeconds / costs.WallSeconds);
        std::fflush(stdout);
    }
    std::filesystem::remove_all(run->Directory);
    return 0;
}
