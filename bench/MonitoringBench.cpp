// The monitoring job end to end: the real window, offscreen, answers the messages of the bundled
// RS232 device simulator at rising rates. For each rate it prints what the simulator counted
// (answers correct, wrong, missing), the answer turnaround from the message's last byte written to
// the answer's first byte read, and the processor time the program used.
//   bench_monitoring [seconds per rate] [rates...]     (default 5 s at 20 100 250 500 1000 2000)
#include "app/FrmMain.h"
#include "bench/BenchSupport.h"
#include "runtime/qt/QtApplication.h"
#include "serial/port/ApdComPort.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTimer>

#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

extern char** environ;

namespace
{

using TClock = std::chrono::steady_clock;
constexpr int kPort = 202;

// Starts the simulator as an RS232 device on COM<kPort>. @return its process id, or -1.
pid_t StartDevice(const std::string& simulator, int rate, int count, const std::string& report)
{
    std::vector<std::string> args = {simulator,          "device",
                                     "--port",           std::to_string(kPort),
                                     "--rate",           std::to_string(rate),
                                     "--count",          std::to_string(count),
                                     "--report",         report,
                                     "--answer-timeout", "1000"};
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, simulator.c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const int seconds = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
    std::vector<int> rates;
    for (int i = 2; i < argc; ++i)
        rates.push_back(std::max(1, std::atoi(argv[i])));
    if (rates.empty())
        rates = {20, 100, 250, 500, 1000, 2000};

    const std::optional<TSimulatorRun> run = PrepareSimulatorRun("monbench", kPort);
    if (!run)
        return 1;
    const std::string& simulator = run->Simulator;
    const std::string& directory = run->Directory;
    const std::string& link = run->Link;
    const std::string& report = run->Report;

    TQtApplication application(argc, argv);
    TBenchForm form;
    form.RadioButtonListen->setChecked(true);
    form.CheckBoxProtocol->setChecked(true);

    std::printf("%8s %8s %8s %6s %8s %10s %10s %10s %8s\n", "rate/s", "sent", "correct", "wrong", "missing",
                "p50 ms", "p99 ms", "max ms", "CPU %");
    for (int rate : rates) {
        const int count = rate * seconds;
        std::filesystem::remove(report);
        const pid_t device = StartDevice(simulator, rate, count, report);
        if (device < 0)
            return 1;
        for (int i = 0; i < 200 && !std::filesystem::exists(link); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        form.show(); // lists the simulator's port
        const int entry = form.ComboBoxCOM->findText(QStringLiteral("COM%1").arg(kPort));
        if (entry < 0) {
            std::fprintf(stderr, "COM%d is not in the port list\n", kPort);
            kill(device, SIGTERM);
            return 1;
        }
        form.ComboBoxCOM->setCurrentIndex(entry);

        const double cpuBefore = CpuSeconds();
        const TClock::time_point wallBefore = TClock::now();
        form.ButtonSaveComConnection->click();
        if (!form.ComPort->Open()) {
            kill(device, SIGTERM);
            return 1;
        }
        int status = 0;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (waitpid(device, &status, WNOHANG) == device)
                application.quit();
        });
        watch.start(20);
        application.exec();
        const double cpu = CpuSeconds() - cpuBefore;
        const double wall = std::chrono::duration<double>(TClock::now() - wallBefore).count();
        // The simulator takes its port away as it ends; the line may have closed with it.
        if (form.ComPort->Open())
            form.ButtonSaveComConnection->click();
        form.MemoPolling->clear();

        QFile file(QString::fromStdString(report));
        if (!file.open(QIODevice::ReadOnly)) {
            std::fprintf(stderr, "no report at rate %d\n", rate);
            return 1;
        }
        const QJsonObject figures = QJsonDocument::fromJson(file.readAll()).object();
        const QJsonObject latency = figures.value(QStringLiteral("latency_ms")).toObject();
        auto number = [](const QJsonObject& object, const char* key) {
            return object.value(QLatin1String(key)).toDouble();
        };
        std::printf("%8d %8.0f %8.0f %6.0f %8.0f %10.3f %10.3f %10.3f %8.1f\n", rate,
                    number(figures, "messages_sent"), number(figures, "answered_correct"),
                    number(figures, "answered_wrong"), number(figures, "missing"), number(latency, "p50"),
                    number(latency, "p99"), number(latency, "max"), 100.0 * cpu / wall);
        std::fflush(stdout);
    }
    std::filesystem::remove_all(directory);
    return 0;
}
