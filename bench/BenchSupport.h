// What the end-to-end benchmarks of the real window share: a window that prints what it would
// show in a message box, and the processor time of this process.
#pragma once

#include "app/FrmMain.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QString>

#include <spawn.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

class TBenchForm : public TFormMain
{
protected:
    // A modal box would wait for a user that a benchmark does not have.
    void ShowMessage(const QString& text) override { std::fprintf(stderr, "%s\n", qPrintable(text)); }
};

/// User and system time of this process so far, in seconds.
inline double CpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           static_cast<double>(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

/// Resident size of this process in KiB.
inline long ResidentKiB()
{
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * (sysconf(_SC_PAGESIZE) / 1024);
}

/// Starts `args[0]` with the arguments that follow. @return its process id, or -1.
inline pid_t Spawn(std::vector<std::string> args)
{
    std::vector<char*> argv;
    for (std::string& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0].c_str(), nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

/// The simulator's report file, empty when there is none.
inline QJsonObject ReadReport(const std::string& file)
{
    QFile report(QString::fromStdString(file));
    if (!report.open(QIODevice::ReadOnly))
        return {};
    return QJsonDocument::fromJson(report.readAll()).object();
}

inline double Number(const QJsonObject& object, const char* key)
{
    return object.value(QLatin1String(key)).toDouble();
}

/// Where a run against the simulator keeps its things: the simulator beside this program, a fresh
/// device map (LINTAKER_DEVICE_MAP points at it from now on), the COM link the simulator will make
/// there and the file of its report.
struct TSimulatorRun {
    std::string Simulator;
    std::string Directory;
    std::string Link;
    std::string Report;
};

/// Prepares a run for the simulator registered as COM<port>; `name` tells the temporary folders
/// apart. @return nothing (having said why) when the simulator is missing or no folder can be made.
inline std::optional<TSimulatorRun> PrepareSimulatorRun(const char* name, int port)
{
    TSimulatorRun run;
    const std::filesystem::path here = std::filesystem::canonical("/proc/self/exe").parent_path();
    run.Simulator = (here / "lintaker-sim").string();
    if (!std::filesystem::exists(run.Simulator)) {
        std::fprintf(stderr, "%s is missing: build the simulator beside the benchmark\n",
                     run.Simulator.c_str());
        return std::nullopt;
    }
    std::string pattern = std::string("/tmp/lintaker-") + name + "-XXXXXX";
    if (!mkdtemp(pattern.data())) {
        std::perror("mkdtemp");
        return std::nullopt;
    }
    run.Directory = pattern;
    setenv("LINTAKER_DEVICE_MAP", run.Directory.c_str(), 1);
    run.Link = run.Directory + "/COM" + std::to_string(port);
    run.Report = run.Directory + "/report.json";
    return run;
}
