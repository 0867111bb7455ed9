// A long run of both jobs of the real window, offscreen, against the bundled simulator: slices of
// polling a bus whose answers come in pieces of random sizes and gaps, with noise after them and
// some addresses silent, and slices of monitoring an RS232 device at a random rate, in turn. At the
// end it prints, per job, the messages, how many were lost and how many were wrong, and the
// program's resident size at the start and at the end. Not part of CI.
//   bench_soak [minutes] [seconds per slice] [seed]     (default 30 min, 60 s slices, seed 1)
#include "app/FrmMain.h"
#include "bench/BenchSupport.h"
#include "protocol/UnitEntDeCoder.h"
#include "runtime/qt/QtApplication.h"
#include "serial/packet/AdPacket.h"
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

#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace
{

constexpr int kPort = 203;
constexpr int kPollIntervalMs = 200;

struct TJobFigures {
    double Messages = 0; // answers sent by the bus, messages sent by the device
    double Lost = 0;
    double Wrong = 0;
    int Slices = 0;
};

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    const double minutes = argc > 1 ? std::max(0.1, std::atof(argv[1])) : 30.0;
    const int sliceSeconds = argc > 2 ? std::max(5, std::atoi(argv[2])) : 60;
    std::mt19937 random(argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 1u);

    const std::optional<TSimulatorRun> run = PrepareSimulatorRun("soak", kPort);
    if (!run)
        return 1;
    const std::string& simulator = run->Simulator;
    const std::string& directory = run->Directory;
    const std::string& link = run->Link;
    const std::string& report = run->Report;

    TQtApplication application(argc, argv);
    TBenchForm form;
    form.TimerPolling->setInterval(kPollIntervalMs);

    // What the window's detector delivers in polling slices, checked against the framing.
    long received = 0, receivedWrong = 0;
    bool polling = false;
    const auto count = [&](const std::string& data) {
        if (!polling)
            return;
        ++received;
        // ">" payload "<" two hex digits, then CR LF.
        const size_t end = data.rfind('<');
        const bool framed = data.size() >= 6 && data.front() == '>' && end != std::string::npos &&
                            data.compare(data.size() - 2, 2, "\r\n") == 0 &&
                            FrameMessage(data.substr(1, end - 1)) == data.substr(0, data.size() - 2);
        if (!framed)
            ++receivedWrong;
    };

    TJobFigures poll, monitor;
    long residentStart = -1;
    const auto started = std::chrono::steady_clock::now();
    const auto budget = std::chrono::duration<double>(minutes * 60.0);
    std::printf("%-10s %6s %8s %8s %6s %6s  %s\n", "slice", "s", "messages", "lost", "wrong", "RSS MiB",
                "settings");
    for (int slice = 0; std::chrono::steady_clock::now() - started < budget; ++slice) {
        const bool pollSlice = slice % 2 == 0;
        std::filesystem::remove(report);
        std::vector<std::string> args = {
            simulator, pollSlice ? "bus" : "device", "--port", std::to_string(kPort), "--report", report};
        std::string settings;
        if (pollSlice) {
            const int split = std::uniform_int_distribution<int>(1, 16)(random);
            const int gap = std::uniform_int_distribution<int>(0, 3)(random);
            // Among the ten addresses the window polls.
            std::string silent;
            for (int i = 0; i < 3; ++i)
                silent += std::string(silent.empty() ? "" : ",") +
                          "0123456789"[std::uniform_int_distribution<int>(0, 9)(random)];
            settings = "split " + std::to_string(split) + " gap " + std::to_string(gap) + " silent " + silent;
            for (const std::string& more :
                 {std::string("--addresses"), std::string("0-9,A-Z"), std::string("--split"),
                  std::to_string(split), std::string("--split-gap"), std::to_string(gap),
                  std::string("--silent"), silent, std::string("--noise"), std::string("--seed"),
                  std::to_string(random() % 100000), std::string("--duration"), std::to_string(sliceSeconds)})
                args.push_back(more);
        } else {
            const int rate = std::uniform_int_distribution<int>(20, 200)(random);
            settings = "rate " + std::to_string(rate) + "/s";
            for (const std::string& more :
                 {std::string("--rate"), std::to_string(rate), std::string("--count"),
                  std::to_string(rate * sliceSeconds), std::string("--answer-timeout"), std::string("1000")})
                args.push_back(more);
        }
        const pid_t device = Spawn(args);
        if (device < 0)
            return 1;
        for (int i = 0; i < 300 && !std::filesystem::exists(link); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));

        form.show(); // lists the simulator's port
        // After the show, which settles the mode of its own.
        (pollSlice ? form.RadioButtonPolling : form.RadioButtonListen)->setChecked(true);
        form.CheckBoxProtocol->setChecked(true);
        const int entry = form.ComboBoxCOM->findText(QStringLiteral("COM%1").arg(kPort));
        if (entry < 0) {
            std::fprintf(stderr, "COM%d is not in the port list\n", kPort);
            kill(device, SIGTERM);
            return 1;
        }
        form.ComboBoxCOM->setCurrentIndex(entry);
        // The mode's own handler delivers to the window; this one counts first.
        const TStringPacketNotifyEvent original = form.DataPacket->OnStringPacket();
        form.DataPacket->SetOnStringPacket([&, original](TComponent* sender, const std::string& data) {
            count(data);
            if (original)
                original(sender, data);
        });
        polling = pollSlice;
        const long receivedBefore = received, wrongBefore = receivedWrong;
        form.ButtonSaveComConnection->click();
        if (!form.ComPort->Open()) {
            kill(device, SIGTERM);
            return 1;
        }
        if (residentStart < 0)
            residentStart = ResidentKiB();

        int status = 0;
        QTimer watch;
        QObject::connect(&watch, &QTimer::timeout, [&] {
            if (waitpid(device, &status, WNOHANG) == device)
                application.quit();
        });
        watch.start(20);
        const auto sliceStart = std::chrono::steady_clock::now();
        application.exec();
        const double seconds =
            std::chrono::duration<double>(std::chrono::steady_clock::now() - sliceStart).count();
        if (form.ComPort->Open())
            form.ButtonSaveComConnection->click();
        form.DataPacket->SetOnStringPacket(original);
        form.MemoPolling->clear();

        const QJsonObject figures = ReadReport(report);
        double messages, lost, wrong;
        if (pollSlice) {
            messages = Number(figures, "answers_sent");
            const double good =
                static_cast<double>((received - receivedBefore) - (receivedWrong - wrongBefore));
            lost = std::max(0.0, messages - good);
            wrong = static_cast<double>(receivedWrong - wrongBefore);
            poll.Messages += messages;
            poll.Lost += lost;
            poll.Wrong += wrong;
            ++poll.Slices;
        } else {
            messages = Number(figures, "messages_sent");
            lost = Number(figures, "missing");
            wrong = Number(figures, "answered_wrong");
            monitor.Messages += messages;
            monitor.Lost += lost;
            monitor.Wrong += wrong;
            ++monitor.Slices;
        }
        std::printf("%-10s %6.1f %8.0f %8.0f %6.0f %6.1f  %s\n", pollSlice ? "polling" : "monitoring",
                    seconds, messages, lost, wrong, ResidentKiB() / 1024.0, settings.c_str());
        std::fflush(stdout);
    }
    const long residentEnd = ResidentKiB();
    std::printf("\npolling:    %d slices, %.0f answers, %.0f lost, %.0f wrong\n", poll.Slices, poll.Messages,
                poll.Lost, poll.Wrong);
    std::printf("monitoring: %d slices, %.0f messages, %.0f lost, %.0f wrong\n", monitor.Slices,
                monitor.Messages, monitor.Lost, monitor.Wrong);
    std::printf("resident size: %.1f MiB at the start, %.1f MiB at the end\n", residentStart / 1024.0,
                residentEnd / 1024.0);
    std::filesystem::remove_all(directory);
    return 0;
}
