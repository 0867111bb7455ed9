// The serial device layer and its three threads over pseudo-terminals: bytes both ways in order,
// open and close without leaks, purges, closes, a vanished peer, open errors, and the
// user-interface thread's waits that keep synchronized calls flowing.
#include "serial/device/ApdWin32Dispatcher.h"

#include "runtime/Application.h"
#include "runtime/Exception.h"
#include "runtime/Thread.h"
#include "runtime/Wait.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScopedDeviceMap.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <dirent.h>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>

using namespace std::chrono_literals;
using testsupport::WaitUntil;

namespace
{

constexpr int kPort = 7;
constexpr uint16_t kInSize = 4096;
constexpr uint16_t kOutSize = 4096;

int CountEntries(const char* directory)
{
    int count = 0;
    if (DIR* dir = opendir(directory)) {
        while (dirent* entry = readdir(dir))
            count += entry->d_name[0] != '.';
        closedir(dir);
    }
    return count;
}

int OpenFds()
{
    return CountEntries("/proc/self/fd") - 1; // the directory stream itself
}

int Threads() { return CountEntries("/proc/self/task"); }

/// Threads of the process named as the dispatcher names its own.
int DispatcherThreads()
{
    int count = 0;
    if (DIR* dir = opendir("/proc/self/task")) {
        while (dirent* entry = readdir(dir)) {
            if (entry->d_name[0] == '.')
                continue;
            std::string path = std::string("/proc/self/task/") + entry->d_name + "/comm";
            if (FILE* file = fopen(path.c_str(), "r")) {
                char name[32] = {};
                if (fgets(name, sizeof name, file)) {
                    std::string comm(name);
                    count += comm == "comthread\n" || comm == "dispthread\n" || comm == "outthread\n";
                }
                fclose(file);
            }
        }
        closedir(dir);
    }
    return count;
}

std::string Pattern(size_t n, unsigned seed = 1)
{
    std::string s(n, '\0');
    uint32_t x = seed;
    for (auto& c : s) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return s;
}

double ProcessCpuSeconds()
{
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec) / 1e9;
}

int32_t Open(TApdBaseDispatcher& d, int port = kPort, uint16_t outSize = kOutSize)
{
    return d.OpenDispatcher(testsupport::ScopedDeviceMap::DeviceName(port), 9600, 0, 8, 1, kInSize, outSize,
                            0x03);
}

/// Takes bytes as they come until `count` have been taken or nothing came for the timeout.
std::string TakeAll(TApdBaseDispatcher& d, size_t count, std::chrono::milliseconds timeout = 10s)
{
    std::string got;
    char buffer[1024];
    while (got.size() < count) {
        if (!WaitUntil([&] { return d.InputCount() > 0; }, timeout))
            break;
        int32_t n = std::min<int32_t>(d.InputCount(), sizeof buffer);
        if (d.TakeBlock(buffer, n) != n)
            break;
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

/// Queues all of `data`, waiting for room in the output ring as it drains.
bool SendAll(TApdBaseDispatcher& d, const std::string& data, size_t piece = 700)
{
    for (size_t at = 0; at < data.size();) {
        auto n = static_cast<int32_t>(std::min(piece, data.size() - at));
        if (!WaitUntil([&] { return d.OutputRoom() >= n; }, 10s))
            return false;
        if (d.SendBlock(data.data() + at, n) != 0)
            return false;
        at += static_cast<size_t>(n);
    }
    return true;
}

class DispatcherOverPty : public ::testing::Test
{
protected:
    void SetUp() override
    {
        InitMainThread();
        map.Link(kPort, pty.SlavePath());
    }

    testsupport::ScopedDeviceMap map;
    testsupport::PtyPair pty;
};

/// Hands one call to the user-interface thread from the device-event thread when asked, and can
/// make that thread's body fail.
class THookedDispatcher : public TApdWin32Dispatcher
{
public:
    THookedDispatcher() : TApdWin32Dispatcher(nullptr) {}
    // The threads are gone before this class is: they call its override virtually.
    ~THookedDispatcher() override { DestroyDispatcher(); }
    std::atomic<bool> SyncNext{false}, InSync{false}, SyncRan{false}, ThrowNext{false};

    bool WaitDeviceEvent(DWORD& mask, OVERLAPPED* overlapped) override
    {
        if (ThrowNext.exchange(false))
            throw Exception("line-event wait broke");
        if (SyncNext.exchange(false)) {
            InSync = true;
            TThread::Synchronize(nullptr, [this] { SyncRan = true; });
        }
        return TApdWin32Dispatcher::WaitDeviceEvent(mask, overlapped);
    }
    int32_t Active() const { return GetActiveThreads(); }
};

} // namespace

TEST_F(DispatcherOverPty, OpenAndCloseRepeatedlyLeaksNothingAndClosesQuickly)
{
    // One round first: the counts are taken once whatever the runtime starts lazily (a sanitizer's
    // background thread, the platform's first tables) is there.
    auto round = [&](int number, std::chrono::milliseconds& slowest) {
        auto d = std::make_unique<TApdWin32Dispatcher>(nullptr);
        ASSERT_EQ(Open(*d), 0) << "round " << number;
        ASSERT_EQ(d->SendBlock("ping", 4), 0);
        ASSERT_EQ(pty.ReadExactly(4), "ping") << "round " << number;
        ASSERT_EQ(pty.WriteAll("pong"), 4u);
        ASSERT_EQ(TakeAll(*d, 4), "pong") << "round " << number;

        auto start = std::chrono::steady_clock::now();
        d.reset();
        slowest = std::max(slowest, std::chrono::duration_cast<std::chrono::milliseconds>(
                                        std::chrono::steady_clock::now() - start));
    };
    auto slowest = 0ms;
    round(-1, slowest);
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(WaitUntil([&] { return DispatcherThreads() == 0; }));
    const int fdsBefore = OpenFds();
    const int threadsBefore = Threads();
    for (int number = 0; number < 200 && !HasFatalFailure(); ++number)
        round(number, slowest);
    EXPECT_LT(slowest, 500ms);
    // Threads free themselves just after their last act on the dispatcher.
    EXPECT_TRUE(WaitUntil([&] { return Threads() == threadsBefore; }))
        << Threads() << " vs " << threadsBefore;
    EXPECT_EQ(OpenFds(), fdsBefore);
}

TEST_F(DispatcherOverPty, BytesGoBothWaysInOrder)
{
    TApdWin32Dispatcher d(nullptr);
    ASSERT_EQ(Open(d), 0);

    const std::string out = Pattern(50000, 3);
    std::string echoed;
    std::thread peer([&] { echoed = pty.ReadExactly(out.size(), 20s); });
    EXPECT_TRUE(SendAll(d, out));
    peer.join();
    EXPECT_TRUE(echoed == out) << "peer got " << echoed.size() << " of " << out.size();

    const std::string in = Pattern(30000, 4);
    std::thread writer([&] { pty.WriteAll(in, 20s); });
    std::string got = TakeAll(d, in.size());
    writer.join();
    EXPECT_TRUE(got == in) << "took " << got.size() << " of " << in.size();
}

TEST_F(DispatcherOverPty, BytesNobodyTakesWaitInTheDriverAndNoneIsLost)
{
    TApdWin32Dispatcher d(nullptr);
    ASSERT_EQ(Open(d), 0);

    // What the ring cannot take waits in the pseudo-terminal, and in the peer's write once that is
    // full too: the driver's back-pressure, as a real line gives it with flow control.
    const std::string in = Pattern(20000, 5);
    size_t written = 0;
    std::thread peer([&] { written = pty.WriteAll(in, 20s); });
    EXPECT_TRUE(WaitUntil([&] { return d.InputCount() == TApdBaseDispatcher::kInputRingSize; }))
        << d.InputCount();
    std::string got = TakeAll(d, in.size());
    peer.join();
    EXPECT_EQ(written, in.size());
    EXPECT_TRUE(got == in) << "took " << got.size() << " of " << in.size();
}

TEST_F(DispatcherOverPty, PurgeDuringAPendingWriteEmptiesEverything)
{
    TApdWin32Dispatcher d(nullptr);
    ASSERT_EQ(Open(d, kPort, 60000), 0);

    // More than the pseudo-terminal holds while the peer reads nothing: the write stays pending.
    const std::string out = Pattern(60000, 6);
    ASSERT_EQ(d.SendBlock(out.data(), static_cast<int32_t>(out.size())), 0);
    ASSERT_TRUE(WaitUntil([&] { return d.OutputCount() == 60000; }));

    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(d.DiscardOutput(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s);
    EXPECT_EQ(d.OutputCount(), 0);

    // The line carries at most a prefix of the purged block, then what is sent afterwards.
    ASSERT_EQ(d.SendBlock("AFTER", 5), 0);
    std::string seen;
    ASSERT_TRUE(WaitUntil([&] {
        char buffer[4096];
        ssize_t n;
        while ((n = read(pty.Master(), buffer, sizeof buffer)) > 0)
            seen.append(buffer, static_cast<size_t>(n));
        return seen.size() >= 5 && seen.compare(seen.size() - 5, 5, "AFTER") == 0;
    }));
    std::string before = seen.substr(0, seen.size() - 5);
    EXPECT_LT(before.size(), out.size());
    EXPECT_TRUE(out.compare(0, before.size(), before) == 0) << "not a prefix: " << before.size() << " bytes";
}

TEST_F(DispatcherOverPty, CloseWithoutLineEventsEndsAllThreads)
{
    const int threadsBefore = Threads();
    auto d = std::make_unique<THookedDispatcher>();
    ASSERT_EQ(Open(*d), 0);
    EXPECT_EQ(d->Active(), 3);
    EXPECT_GE(Threads(), threadsBefore + 3);
    auto start = std::chrono::steady_clock::now();
    d->CloseDispatcher();
    // The dispatch thread may still be finishing its last act; the destructor waits for that.
    EXPECT_TRUE(WaitUntil([&] { return d->Active() == 0 && !d->AreThreadsRunning(); }));
    d.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 500ms);
    EXPECT_TRUE(WaitUntil([&] { return Threads() == threadsBefore; }));
}

TEST_F(DispatcherOverPty, VanishedPeerCostsNoCpuAndTheCloseStillWorks)
{
    TApdWin32Dispatcher d(nullptr);
    ASSERT_EQ(Open(d), 0);
    pty.CloseMaster();

    // A measurement window, not a synchronisation: what the process burns meanwhile is the bound.
    double before = ProcessCpuSeconds();
    std::this_thread::sleep_for(5s);
    double spent = ProcessCpuSeconds() - before;
    EXPECT_LT(spent, 0.05) << "CPU seconds in 5 s after the peer vanished";

    auto start = std::chrono::steady_clock::now();
    d.CloseDispatcher();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    EXPECT_TRUE(WaitUntil([&] { return d.GetActiveThreads() == 0; }));
}

TEST_F(DispatcherOverPty, OpenErrorsNameThePortInUseAndTheMissingPort)
{
    TApdWin32Dispatcher first(nullptr);
    ASSERT_EQ(Open(first), 0);
    {
        TApdWin32Dispatcher second(nullptr);
        EXPECT_EQ(Open(second), -5);
        EXPECT_EQ(second.ComHandle(), INVALID_HANDLE_VALUE);
        TApdWin32Dispatcher missing(nullptr);
        EXPECT_EQ(Open(missing, kPort + 1), -2);
    }
    // The failed opens left the first one working.
    ASSERT_EQ(first.SendBlock("ok", 2), 0);
    EXPECT_EQ(pty.ReadExactly(2), "ok");
}

TEST_F(DispatcherOverPty, StopKeepsASynchronizedCallFromADispatcherThreadFlowing)
{
    auto d = std::make_unique<THookedDispatcher>();
    ASSERT_EQ(Open(*d), 0);
    d->SyncNext = true;
    ASSERT_EQ(pty.WriteAll("x"), 1u); // ends the pending wait; the next one hands over the call
    ASSERT_TRUE(WaitUntil([&] { return d->InSync.load(); }));

    // The device-event thread now waits for this thread; the close must run that call.
    std::atomic<bool> closed{false};
    std::thread watchdog([&] {
        if (!WaitUntil([&] { return closed.load(); }, 20s)) {
            fprintf(stderr, "close deadlocked with a synchronized call pending\n");
            std::abort();
        }
    });
    d.reset();
    closed = true;
    watchdog.join();
}

TEST_F(DispatcherOverPty, ThreadBodyThatThrowsIsShownAndCountedAsFinished)
{
    std::string shown;
    Application::SetExceptionDisplay([&](const std::string& text) { shown = text; });
    auto d = std::make_unique<THookedDispatcher>();
    ASSERT_EQ(Open(*d), 0);
    d->ThrowNext = true;
    ASSERT_EQ(pty.WriteAll("x"), 1u);
    EXPECT_TRUE(WaitUntil([&] {
        ProcessPlatformMessages(); // the text reaches this thread as a message
        return d->Active() == 2 && !shown.empty();
    }));
    EXPECT_NE(shown.find("line-event wait broke"), std::string::npos) << shown;

    // The other two threads still move bytes, and the close does not wait for the lost one.
    ASSERT_EQ(d->SendBlock("still", 5), 0);
    EXPECT_EQ(pty.ReadExactly(5), "still");
    auto start = std::chrono::steady_clock::now();
    d.reset();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 1s);
    Application::SetExceptionDisplay(nullptr);
}

namespace
{

/// Its device-event thread finds the device gone at its first wait, as an adapter pulled out
/// during the open makes it: the thread ends right after it has reported ready.
class TGoneAtOnceDispatcher : public TApdWin32Dispatcher
{
public:
    TGoneAtOnceDispatcher() : TApdWin32Dispatcher(nullptr) {}
    // The device-event thread may not have made its first wait yet when the test lets go of
    // the dispatcher: it must be gone before this class is.
    ~TGoneAtOnceDispatcher() override { DestroyDispatcher(); }
    bool WaitDeviceEvent(DWORD& mask, OVERLAPPED* overlapped) override
    {
        mask = 0;
        overlapped->Internal = ERROR_DEV_NOT_EXIST; // completed, and failed
        SetLastError(ERROR_IO_PENDING);
        return false;
    }
};

/// Aborts the test program when the scope is not left in time: a close that never ends would
/// otherwise hang the suite instead of failing it.
class TWatchdog
{
public:
    explicit TWatchdog(const char* what) : FWhat(what)
    {
        FThread = std::thread([this] {
            if (!WaitUntil([this] { return FDone.load(); }, 20s)) {
                fprintf(stderr, "%s\n", FWhat);
                std::abort();
            }
        });
    }
    ~TWatchdog()
    {
        FDone = true;
        FThread.join();
    }

private:
    const char* FWhat;
    std::atomic<bool> FDone{false};
    std::thread FThread;
};

} // namespace

TEST_F(DispatcherOverPty, DeviceGoneWhileTheThreadsStartStillLetsTheCloseEndThem)
{
    // The device-event thread may be gone before the next thread has even been counted; the
    // threads must still count as running, or the close would leave the other two behind and
    // the destructor would wait for them for ever.
    TWatchdog watchdog("close hung after the device-event thread ended during the start");
    for (int round = 0; round < 50 && !HasFailure(); ++round) {
        auto d = std::make_unique<TGoneAtOnceDispatcher>();
        ASSERT_EQ(Open(*d), 0) << "round " << round;
        EXPECT_TRUE(d->AreThreadsRunning()) << "round " << round;
        ASSERT_EQ(d->SendBlock("ok", 2), 0);
        EXPECT_EQ(pty.ReadExactly(2), "ok") << "round " << round;
        d.reset();
    }
}

namespace
{
std::string ReadFileBytes(const std::string& path)
{
    std::string text;
    if (FILE* file = std::fopen(path.c_str(), "rb")) {
        char buffer[4096];
        size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
            text.append(buffer, n);
        std::fclose(file);
    }
    return text;
}
} // namespace

TEST_F(DispatcherOverPty, TraceAndLogOfRealTrafficAreWrittenAndReadBack)
{
    char folder[] = "/tmp/lintaker-tracelog-XXXXXX";
    ASSERT_NE(mkdtemp(folder), nullptr);
    const std::string traceName = std::string(folder) + "/TRACE.TXT";
    const std::string logName = std::string(folder) + "/LOG.TXT";

    TApdWin32Dispatcher d(nullptr);
    ASSERT_EQ(Open(d), 0);
    ASSERT_EQ(d.StartTracing(1000), 0);
    d.StartDispatchLogging(100000);

    ASSERT_EQ(d.SendBlock(">01\r", 4), 0);
    EXPECT_EQ(pty.ReadExactly(4, 10s), ">01\r");
    pty.WriteAll(">A", 10s);
    EXPECT_EQ(TakeAll(d, 2), ">A");

    ASSERT_EQ(d.DumpTrace(traceName, false, true, false), 0);
    EXPECT_EQ(ReadFileBytes(traceName), "Transmit: \r\n>01[0D]\r\n\r\nReceive: \r\n>A");

    ASSERT_EQ(d.DumpDispatchLog(logName, false, true, false), 0);
    const std::string log = ReadFileBytes(logName);
    EXPECT_EQ(log.rfind("VELT v4.06\r\n", 0), 0u) << log.substr(0, 200);
    EXPECT_NE(log.find("Dispatch  WriteCom      00000004  >01[0D]\r\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Dispatch  ReadCom       00000002  >A\r\n"), std::string::npos) << log;

    d.CloseDispatcher();
    std::remove(traceName.c_str());
    std::remove(logName.c_str());
    rmdir(folder);
}
