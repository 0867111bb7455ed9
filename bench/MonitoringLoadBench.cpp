// What the monitoring job costs the machine: the real window, offscreen, answering and logging the
// bundled simulator's RS232 messages. At each rate it prints the program's processor time (as a
// share of one core) and, in a second run at the same rate, how late the user-interface thread
// ran events posted to it every 5 ms; then the processor time with the port open and nothing on
// the line and while polling a bus; then the resident size over a long run of messages.
//   bench_monitoring_load [seconds per rate] [messages for the memory run] [rates...]
//   (default 10 s at 400 and 4000, 1000000 messages at 4000 a second)
#include "bench/MonitoringRun.h"

#include <cstdio>

namespace
{

constexpr int kPort = 205;
constexpr int kMemoryRate = 4000;

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const long memoryMessages = argc > 2 ? std::max(0L, std::atol(argv[2])) : 1000000L;
    const std::vector<int> rates = RatesFrom(argc, argv, 3, {400, 4000});

    const std::optional<TSimulatorRun> run = PrepareSimulatorRun("load", kPort);
    if (!run)
        return 1;
    TQtApplication application(argc, argv);
    TBenchForm form;
    SetUpMonitoring(form);

    std::printf("%8s %8s %8s %6s %8s %8s %10s %10s %10s\n", "rate/s", "sent", "correct", "wrong", "missing",
                "CPU %", "lag p50", "lag p99", "lag max");
    for (int rate : rates) {
        const long count = static_cast<long>(rate) * seconds;
        // Processor time without the probe, whose own wake-ups would be counted.
        pid_t device = StartRS232Device(*run, kPort, rate, count);
        const TWindowRun costs =
            device > 0 ? RunWindowUntilDeviceEnds(application, form, kPort, device) : TWindowRun{};
        if (!costs.Ok)
            return 1;
        const TTurnaround answered = TTurnaround::FromReport(run->Report);
        form.MemoPolling->clear();

        TUiLagProbe probe;
        device = StartRS232Device(*run, kPort, rate, count);
        probe.Start();
        const TWindowRun probedRun =
            device > 0 ? RunWindowUntilDeviceEnds(application, form, kPort, device, {}, &probe)
                       : TWindowRun{};
        const bool probed = probedRun.Ok;
        probe.Stop();
        QCoreApplication::processEvents(); // the probe's last posts
        if (!probed)
            return 1;
        const std::vector<double> lags = probe.Take();
        form.MemoPolling->clear();
        std::printf("%8d %8.0f %8.0f %6.0f %8.0f %8.1f %10.2f %10.2f %10.2f  (the longest %.2f s in)\n", rate,
                    answered.Sent, answered.Correct, answered.Wrong, answered.Missing,
                    100.0 * costs.CpuSeconds / costs.WallSeconds, TUiLagProbe::Percentile(lags, 50),
                    TUiLagProbe::Percentile(lags, 99), lags.empty() ? 0.0 : lags.back(),
                    probe.WorstAtSeconds());
        std::printf("%8s Disconnect after the device's end took %.1f ms\n", "",
                    1000.0 * probedRun.CloseSeconds);
        std::fflush(stdout);
    }

    // The port open with nothing on the line, and the polling job against a bus that answers.
    const int quietSeconds = seconds;
    pid_t device = StartSimulator(*run, "device", kPort,
                                  {"--duration", std::to_string(quietSeconds), "--rate", "0.001", "--count",
                                   "1", "--settle", std::to_string(quietSeconds * 2000)});
    // Counted from the second second on: the connect (port list, open, first paint) is no part
    // of what an open port costs while it waits.
    struct TSettled {
        int Seconds = 0;
        double Cpu = 0;
        TBenchClock::time_point Wall;
        double Share() const
        {
            const double wall = std::chrono::duration<double>(TBenchClock::now() - Wall).count();
            return wall > 0 ? 100.0 * (CpuSeconds() - Cpu) / wall : 0.0;
        }
    };
    TSettled idleFrom, pollFrom;
    double idleShare = 0, pollShare = 0;
    auto settle = [](TSettled& from, double& share) {
        return [&from, &share] {
            if (++from.Seconds == 2) {
                from.Cpu = CpuSeconds();
                from.Wall = TBenchClock::now();
            } else if (from.Seconds > 2) {
                share = from.Share();
            }
        };
    };
    const TWindowRun idle =
        device > 0 ? RunWindowUntilDeviceEnds(application, form, kPort, device, settle(idleFrom, idleShare))
                   : TWindowRun{};
    if (!idle.Ok)
        return 1;
    form.RadioButtonPolling->setChecked(true);
    device = StartSimulator(*run, "bus", kPort, {"--duration", std::to_string(quietSeconds)});
    const TWindowRun polling =
        device > 0 ? RunWindowUntilDeviceEnds(application, form, kPort, device, settle(pollFrom, pollShare))
                   : TWindowRun{};
    if (!polling.Ok)
        return 1;
    const double answers = Number(ReadReport(run->Report), "answers_sent");
    form.MemoPolling->clear();
    SetUpMonitoring(form);
    std::printf("\nport open, nothing on the line: CPU %.2f %% of a core (%.2f %% with the connect)\n",
                idleShare, 100.0 * idle.CpuSeconds / idle.WallSeconds);
    std::printf("polling, %.0f answers in %.1f s: CPU %.2f %% of a core (%.2f %% with the connect)\n",
                answers, polling.WallSeconds, pollShare, 100.0 * polling.CpuSeconds / polling.WallSeconds);

    if (memoryMessages > 0) {
        std::printf("\nresident size over %ld messages at %d/s (MiB, every tenth of the run):\n",
                    memoryMessages, kMemoryRate);
        const long start = ResidentKiB();
        std::vector<long> samples;
        const pid_t device = StartRS232Device(*run, kPort, kMemoryRate, memoryMessages);
        const double total = static_cast<double>(memoryMessages) / kMemoryRate;
        int elapsed = 0;
        const TWindowRun costs =
            device > 0
                ? RunWindowUntilDeviceEnds(application, form, kPort, device,
                                           [&] {
                                               ++elapsed;
                                               if (elapsed % std::max(1, static_cast<int>(total / 10)) == 0)
                                                   samples.push_back(ResidentKiB());
                                           })
                : TWindowRun{};
        if (!costs.Ok)
            return 1;
        const TTurnaround answered = TTurnaround::FromReport(run->Report);
        std::printf("  start %.1f", start / 1024.0);
        for (long sample : samples)
            std::printf("  %.1f", sample / 1024.0);
        std::printf("  end %.1f\n", ResidentKiB() / 1024.0);
        std::printf("  %.0f sent, %.0f correct, %.0f wrong, %.0f missing; CPU %.1f %% of a core\n",
                    answered.Sent, answered.Correct, answered.Wrong, answered.Missing,
                    100.0 * costs.CpuSeconds / costs.WallSeconds);
    }
    std::filesystem::remove_all(run->Directory);
    return 0;
}
