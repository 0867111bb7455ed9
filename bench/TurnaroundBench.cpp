// Answer turnaround of the monitoring job against its floor. At each rate the bundled simulator,
// as an RS232 device, sends the same messages twice: first to a bare C responder
// (bench_bare_responder: poll, read, write, nothing else), then to the real window, offscreen,
// logging every message. The device measures each answer from the last byte of its message
// written to the first byte of the answer read; both distributions and their ratio are printed.
//   bench_turnaround [seconds per rate] [rates...]     (default 10 s at 20 400 2000)
#include "bench/MonitoringRun.h"

#include <cstdio>

namespace
{

constexpr int kPort = 204;

void Print(const char* who, int rate, const TTurnaround& t)
{
    std::printf("%8d %-10s %8.0f %8.0f %6.0f %8.0f %9.3f %9.3f %9.3f\n", rate, who, t.Sent, t.Correct,
                t.Wrong, t.Missing, t.P50, t.P99, t.Max);
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 10;
    const std::vector<int> rates = RatesFrom(argc, argv, 2, {20, 400, 2000});

    const std::optional<TSimulatorRun> run = PrepareSimulatorRun("turnaround", kPort);
    if (!run)
        return 1;
    const std::string responder =
        (std::filesystem::path(run->Simulator).parent_path() / "bench_bare_responder").string();

    TQtApplication application(argc, argv);
    TBenchForm form;
    SetUpMonitoring(form);

    std::printf("%8s %-10s %8s %8s %6s %8s %9s %9s %9s\n", "rate/s", "who", "sent", "correct", "wrong",
                "missing", "p50 ms", "p99 ms", "max ms");
    std::vector<std::string> ratios;
    for (int rate : rates) {
        const long count = static_cast<long>(rate) * seconds;

        const pid_t floorDevice = StartRS232Device(*run, kPort, rate, count);
        const pid_t bare = floorDevice > 0 ? Spawn({responder, run->Link}) : -1;
        if (bare < 0) {
            std::fprintf(stderr, "could not start the simulator or %s\n", responder.c_str());
            return 1;
        }
        AwaitProcess(floorDevice);
        kill(bare, SIGTERM);
        AwaitProcess(bare);
        const TTurnaround floor = TTurnaround::FromReport(run->Report);
        Print("bare C", rate, floor);

        const pid_t device = StartRS232Device(*run, kPort, rate, count);
        if (device < 0 || !RunWindowUntilDeviceEnds(application, form, kPort, device).Ok)
            return 1;
        form.MemoPolling->clear();
        const TTurnaround window = TTurnaround::FromReport(run->Report);
        Print("window", rate, window);
        char ratio[160];
        std::snprintf(ratio, sizeof ratio, "%6d/s: window / bare C  p50 %.1f x, p99 %.1f x", rate,
                      floor.P50 > 0 ? window.P50 / floor.P50 : 0.0,
                      floor.P99 > 0 ? window.P99 / floor.P99 : 0.0);
        ratios.push_back(ratio);
        std::fflush(stdout);
    }
    std::printf("\n");
    for (const std::string& line : ratios)
        std::printf("%s\n", line.c_str());
    std::filesystem::remove_all(run->Directory);
    return 0;
}
