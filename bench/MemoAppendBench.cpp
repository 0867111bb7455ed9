// Appending to the window's traffic log, empty and at its line cap (the oldest line then goes with
// every new one), offscreen. A window left monitoring for days spends its life at the cap.
#include "app/FrmMain.h"
#include "bench/BenchSupport.h"
#include "runtime/qt/QtApplication.h"

#include <QCoreApplication>
#include <QPlainTextEdit>
#include <QString>

#include <benchmark/benchmark.h>

#include <cstdlib>

namespace
{

const QString kLine = QStringLiteral(
    ">0t000000000000000000000000000000000000000000000000000000000000000000000000000000000803111601<13");

void AppendLines(benchmark::State& state, bool atCap)
{
    TBenchForm form;
    form.show();
    QPlainTextEdit* memo = form.MemoPolling;
    if (atCap) {
        for (int i = 0; i < TFormMain::kMemoMaxLines; ++i)
            memo->appendPlainText(kLine);
    }
    for (auto _ : state) {
        memo->appendPlainText(kLine);
        // Painting is Qt's, once per event-loop turn; a burst of lines is painted together.
        if (state.range(0) != 0 && state.iterations() % state.range(0) == 0)
            QCoreApplication::processEvents();
    }
    state.counters["lines"] = memo->blockCount();
    state.SetItemsProcessed(state.iterations());
}

void BM_AppendEmpty(benchmark::State& state) { AppendLines(state, false); }
void BM_AppendAtCap(benchmark::State& state) { AppendLines(state, true); }
// Argument: lines between two turns of the event loop (0: none during the run).
BENCHMARK(BM_AppendEmpty)->Arg(0)->Arg(64)->Iterations(20000)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_AppendAtCap)->Arg(0)->Arg(64)->Iterations(20000)->Unit(benchmark::kMicrosecond);

} // namespace

int main(int argc, char** argv)
{
    setenv("QT_QPA_PLATFORM", "offscreen", 0);
    TQtApplication application(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
