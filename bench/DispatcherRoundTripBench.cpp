// Round trip through the dispatcher over a pseudo-terminal: SendBlock, the output thread's write,
// a peer that echoes, the device-event and dispatch threads filling the input ring, TakeBlock.
// Prints the latency percentiles of one round trip and the bytes per second carried.
#include "runtime/Thread.h"
#include "serial/device/ApdWin32Dispatcher.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace
{

constexpr int kPort = 200;

/// A pseudo-terminal whose slave is COM200 in a private device map, and a peer thread on the
/// master that sends back whatever it reads.
class TEchoLine
{
public:
    TEchoLine()
    {
        char pattern[] = "/tmp/lintaker-bench-XXXXXX";
        if (!mkdtemp(pattern))
            throw std::runtime_error("no temporary directory");
        FDirectory = pattern;
        setenv("LINTAKER_DEVICE_MAP", FDirectory.c_str(), 1);
        FMaster = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (FMaster < 0 || grantpt(FMaster) != 0 || unlockpt(FMaster) != 0)
            throw std::runtime_error("no pseudo-terminal");
        termios raw{};
        tcgetattr(FMaster, &raw);
        cfmakeraw(&raw);
        tcsetattr(FMaster, TCSANOW, &raw);
        FLink = FDirectory + "/COM" + std::to_string(kPort);
        if (symlink(ptsname(FMaster), FLink.c_str()) != 0)
            throw std::runtime_error("no device-map link");
        FPeer = std::thread([this] { Echo(); });
    }
    ~TEchoLine()
    {
        FStop = true;
        FPeer.join();
        close(FMaster);
        unlink(FLink.c_str());
        rmdir(FDirectory.c_str());
    }

private:
    void Echo()
    {
        std::vector<char> buffer(65536);
        while (!FStop) {
            pollfd p{FMaster, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0)
                continue;
            ssize_t n = read(FMaster, buffer.data(), buffer.size());
            for (ssize_t at = 0; n > 0 && at < n && !FStop;) {
                ssize_t w = write(FMaster, buffer.data() + at, static_cast<size_t>(n - at));
                if (w > 0) {
                    at += w;
                } else {
                    pollfd out{FMaster, POLLOUT, 0};
                    poll(&out, 1, 20);
                }
            }
        }
    }

    std::string FDirectory, FLink;
    int FMaster = -1;
    std::atomic<bool> FStop{false};
    std::thread FPeer;
};

double Percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    auto index = static_cast<size_t>(p * static_cast<double>(values.size() - 1));
    return values[index];
}

void BM_RoundTrip(benchmark::State& state)
{
    InitMainThread();
    TEchoLine line;
    TApdWin32Dispatcher dispatcher(nullptr);
    if (dispatcher.OpenDispatcher("\\\\.\\COM" + std::to_string(kPort), 115200, 0, 8, 1, 4096, 8192, 0x03) !=
        0) {
        state.SkipWithError("the dispatcher did not open");
        return;
    }
    const auto size = static_cast<int32_t>(state.range(0));
    std::string block(static_cast<size_t>(size), 'x');
    std::string back(static_cast<size_t>(size), '\0');
    std::vector<double> latencies;
    latencies.reserve(100000);

    for (auto _ : state) {
        auto start = std::chrono::steady_clock::now();
        if (dispatcher.SendBlock(block.data(), size) != 0) {
            state.SkipWithError("SendBlock refused the block");
            break;
        }
        int32_t got = 0;
        auto deadline = start + std::chrono::seconds(5);
        while (got < size) {
            int32_t n = std::min(dispatcher.InputCount(), size - got);
            if (n > 0 && dispatcher.TakeBlock(back.data() + got, n) == n) {
                got += n;
            } else if (std::chrono::steady_clock::now() > deadline) {
                break;
            } else {
                std::this_thread::yield();
            }
        }
        if (got < size) {
            state.SkipWithError("the echo did not come back");
            break;
        }
        latencies.push_back(
            std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * size);
    state.counters["p50_us"] = Percentile(latencies, 0.50);
    state.counters["p99_us"] = Percentile(latencies, 0.99);
    dispatcher.CloseDispatcher();
}

} // namespace

BENCHMARK(BM_RoundTrip)->Arg(1)->Arg(64)->Arg(1024)->Arg(4096)->Unit(benchmark::kMicrosecond)->UseRealTime();

BENCHMARK_MAIN();
