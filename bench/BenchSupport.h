// What the end-to-end benchmarks of the real window share: a window that prints what it would
// show in a message box, and the processor time of this process.
#pragma once

#include "app/FrmMain.h"

#include <QString>

#include <sys/resource.h>

#include <cstdio>

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
