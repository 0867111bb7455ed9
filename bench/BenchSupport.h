// What the end-to-end benchmarks of the real window share: a window that prints what it would
// show in a message box, and the processor time of this process.
#pragma once

#include "app/FrmMain.h"

#include <QString>

#include <sys/resource.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <optional>
#include <string>

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
