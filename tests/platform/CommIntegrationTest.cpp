// The serial calls over pseudo-terminals: opening, bytes both ways, line-event waits, pending
// writes and purges, line settings as the far end sees them, and a far end that vanishes.
#include "platform/posix/comm_p.h"
#include "platform/win32.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScopedDeviceMap.h"
#include "tests/support/WaitUntil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <string>
#include <thread>

namespace
{

using namespace std::chrono_literals;
using testsupport::PtyPair;
using testsupport::ScopedDeviceMap;
using testsupport::WaitUntil;

constexpr int kPort = 7;
constexpr DWORD kStackMask = 0x1F9; // what the device-event thread asks for
constexpr DWORD kBoundMs = 5000;    // bounded waits for things that must happen
constexpr DWORD kQuietMs = 200;     // bounded waits for things that must not happen

HANDLE OpenPort(const std::string& name)
{
    return CreateFileA(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING,
                       FILE_FLAG_OVERLAPPED | FILE_ATTRIBUTE_NORMAL, nullptr);
}

HANDLE OpenPort(int number) { return OpenPort(ScopedDeviceMap::DeviceName(number)); }

void SetImmediateReads(HANDLE port)
{
    COMMTIMEOUTS timeouts{MAXDWORD, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &timeouts));
}

std::string AllByteValues(int rounds = 1)
{
    std::string bytes;
    for (int round = 0; round < rounds; ++round)
        for (int value = 0; value < 256; ++value)
            bytes.push_back(static_cast<char>(value));
    return bytes;
}

std::string Pattern(size_t size)
{
    std::string bytes(size, '\0');
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<char>((i * 7 + i / 251) & 0xFF);
    return bytes;
}

/// The device number of a character device.
dev_t DeviceOf(const std::string& path)
{
    struct stat info {
    };
    EXPECT_EQ(stat(path.c_str(), &info), 0) << path;
    return info.st_rdev;
}

/// Whether one of this process's descriptors is open on the character device `device` (by number:
/// the name of a pty that hung up is gone from /dev/pts).
bool ProcessHolds(dev_t device)
{
    DIR* fds = opendir("/proc/self/fd");
    if (!fds)
        return false;
    bool holds = false;
    while (dirent* entry = readdir(fds)) {
        struct stat info {
        };
        const std::string link = std::string("/proc/self/fd/") + entry->d_name;
        if (stat(link.c_str(), &info) == 0 && S_ISCHR(info.st_mode) && info.st_rdev == device)
            holds = true;
    }
    closedir(fds);
    return holds;
}

uint32_t FarEndRate(int master)
{
    platform::LineTermios line;
    EXPECT_EQ(platform::ReadLineTermios(master, &line), 0);
    return line.ospeed;
}

void SetRate(HANDLE port, DWORD rate)
{
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = rate;
    ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
}

platform::CommQueryCounts Queries(HANDLE port)
{
    platform::CommQueryCounts counts;
    EXPECT_TRUE(platform::CommQueryCountsForTesting(port, &counts));
    return counts;
}

/// A device with modem lines and counters as a UART's driver shows them, over the pty.
class FakeLines : public platform::CommTestLines
{
public:
    explicit FakeLines(bool canWait, int initial = 0)
        : canWait(canWait), changed(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)), lines(initial)
    {
    }
    ~FakeLines() override { close(changed); }

    int ModemLines(int* bits) override
    {
        std::lock_guard guard(lock);
        *bits = lines;
        return 0;
    }
    int Counts(platform::CommTestCounts* counts) override
    {
        std::lock_guard guard(lock);
        *counts = this->counts;
        return 0;
    }
    int WaitForChange() override
    {
        ++waitCalls;
        if (!canWait)
            return ENOTTY;
        ++waiting;
        pollfd watched{changed, POLLIN, 0};
        const int ready = poll(&watched, 1, -1);
        const int error = ready < 0 ? errno : 0;
        uint64_t count = 0;
        if (ready > 0 && read(changed, &count, sizeof count) < 0)
            ADD_FAILURE() << "eventfd";
        --waiting;
        return error;
    }

    /// Sets the lines (TIOCM_* bits); each line that changed is counted, as the driver does.
    void Set(int now)
    {
        {
            std::lock_guard guard(lock);
            Count(lines ^ now);
            lines = now;
        }
        Changed();
    }
    /// A line that goes and comes back before anybody looks: its count moves, its level does not.
    void Pulse(int bit)
    {
        {
            std::lock_guard guard(lock);
            Count(bit);
            Count(bit);
        }
        Changed();
    }

    std::atomic<int> waiting{0};   // calls inside WaitForChange now
    std::atomic<int> waitCalls{0}; // calls ever

private:
    void Count(int bits)
    {
        counts.cts += (bits & TIOCM_CTS) ? 1 : 0;
        counts.dsr += (bits & TIOCM_DSR) ? 1 : 0;
        counts.rng += (bits & TIOCM_RNG) ? 1 : 0;
        counts.dcd += (bits & TIOCM_CAR) ? 1 : 0;
    }
    void Changed()
    {
        const uint64_t one = 1;
        if (write(changed, &one, sizeof one) < 0)
            ADD_FAILURE() << "eventfd";
    }

    const bool canWait;
    const int changed;
    std::mutex lock;
    int lines = 0;                   // guarded by lock
    platform::CommTestCounts counts; // guarded by lock
};

/// Runs `body` in a forked child and returns its exit code (-1 when it did not end normally).
int RunInChild(const std::function<int()>& body)
{
    const pid_t child = fork();
    if (child == 0)
        _exit(body());
    int status = 0;
    if (!WaitUntil([&] { return waitpid(child, &status, WNOHANG) == child; }, 10s)) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        return -1;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

/// One overlapped record with its manual-reset event. Ends whatever it still has pending on the
/// port before it goes, so that no completion reaches a record that is gone.
class Pending
{
public:
    explicit Pending(HANDLE port) : port(port)
    {
        record.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    ~Pending()
    {
        SetCommMask(port, 0);
        PurgeComm(port, PURGE_TXABORT);
        CloseHandle(record.hEvent);
    }

    /// Starts a line-event wait. @return true when it completed at once.
    bool StartWait()
    {
        events = 0xDEAD;
        if (WaitCommEvent(port, &events, &record))
            return true;
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        return false;
    }
    bool Signalled(DWORD ms = kBoundMs) { return WaitForSingleObject(record.hEvent, ms) == WAIT_OBJECT_0; }
    /// GetOverlappedResult without waiting; error is the last error when it failed.
    bool Result(DWORD* bytes = nullptr)
    {
        DWORD count = 0;
        const BOOL ok = GetOverlappedResult(port, &record, &count, FALSE);
        error = ok ? ERROR_SUCCESS : GetLastError();
        if (bytes)
            *bytes = count;
        return ok;
    }

    HANDLE port;
    OVERLAPPED record{};
    DWORD events = 0;
    DWORD error = 0;
};

/// A device map with one pty linked as COM7; the port is not open yet.
class CommPty : public ::testing::Test
{
protected:
    void SetUp() override { map.Link(kPort, pty.SlavePath()); }

    ScopedDeviceMap map;
    PtyPair pty;
};

/// COM7 open, with the read time-outs of the serial stack.
class CommLine : public CommPty
{
protected:
    void SetUp() override
    {
        CommPty::SetUp();
        port = OpenPort(kPort);
        ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
        SetImmediateReads(port);
    }
    void TearDown() override
    {
        if (port != INVALID_HANDLE_VALUE) {
            EXPECT_TRUE(CloseHandle(port));
        }
    }

    /// Reads until `count` bytes have come, as the dispatch thread does: until a read gives 0.
    std::string ReadFromPort(size_t count)
    {
        std::string got;
        WaitUntil([&] {
            char buffer[8192];
            DWORD n = 0;
            while (got.size() < count && ReadFile(port, buffer, sizeof buffer, &n, nullptr) && n > 0)
                got.append(buffer, n);
            return got.size() >= count;
        });
        return got;
    }

    HANDLE port = INVALID_HANDLE_VALUE;
};

// ---- Opening ------------------------------------------------------------------------------------

TEST_F(CommPty, OpenIsExclusiveInThisProcessAndInOthersAndEndsWithTheHandle)
{
    HANDLE port = OpenPort(kPort);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();

    EXPECT_EQ(OpenPort(kPort), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RunInChild([] {
                  HANDLE second = OpenPort(kPort);
                  return second == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
              }),
              static_cast<int>(ERROR_ACCESS_DENIED));

    ASSERT_TRUE(CloseHandle(port));
    // The exclusive flag of a pty outlives its descriptor unless it is cleared.
    const int plain = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(plain, 0);
    int exclusive = -1;
    ASSERT_EQ(ioctl(plain, TIOCGEXCL, &exclusive), 0);
    EXPECT_EQ(exclusive, 0);
    close(plain);

    port = OpenPort(kPort);
    EXPECT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(CommPty, NamesThatAreNoPortGiveFileNotFound)
{
    map.Link(8, map.Directory() + "/nothing-here"); // dangling link
    map.Link(9, "/dev/null");                       // a device, but not a tty
    const struct {
        std::string name;
        DWORD error;
    } cases[] = {
        {"\\\\.\\COM3", ERROR_FILE_NOT_FOUND}, // not in the map
        {"\\\\.\\COM8", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\COM9", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\COM07", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\COM", ERROR_FILE_NOT_FOUND},
        {"\\\\.\\PIPE\\COM7", ERROR_FILE_NOT_FOUND},
        {pty.SlavePath(), ERROR_FILE_NOT_FOUND}, // device paths are not COM names
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OpenPort(c.name), INVALID_HANDLE_VALUE) << c.name;
        EXPECT_EQ(GetLastError(), c.error) << c.name;
    }
    for (const std::string name : {"COM7", "\\\\.\\com7"}) {
        HANDLE port = OpenPort(name);
        EXPECT_NE(port, INVALID_HANDLE_VALUE) << name;
        CloseHandle(port);
    }
}

TEST_F(CommPty, APortTheUserMayNotOpenSaysSo)
{
    ASSERT_EQ(chmod(pty.SlavePath().c_str(), 0), 0);
    ASSERT_EQ(chmod(map.Directory().c_str(), 0755), 0); // the child must see the links
    const int result = RunInChild([] {
        // Root opens anything: drop to nobody first.
        if (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setgid(65534) != 0 || setuid(65534) != 0))
            return 200;
        HANDLE port = OpenPort(kPort);
        return port == INVALID_HANDLE_VALUE ? static_cast<int>(GetLastError()) : 0;
    });
    if (result == 200)
        GTEST_SKIP() << "running as root without the right to become nobody";
    EXPECT_EQ(result, static_cast<int>(ERROR_LINTAKER_NO_PERMISSION));
}

TEST_F(CommPty, OpeningStartsRawAtTheOldRateAndDropsStaleBytes)
{
    // A previous user left the line cooked at 4800 bit/s, and bytes for nobody are waiting.
    const int previous = open(pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(previous, 0);
    termios cooked{};
    ASSERT_EQ(tcgetattr(previous, &cooked), 0);
    cooked.c_iflag |= ICRNL | IXON | ISTRIP;
    cooked.c_oflag |= OPOST | ONLCR;
    cooked.c_lflag |= ICANON | ECHO | ISIG;
    cfsetspeed(&cooked, B4800);
    ASSERT_EQ(tcsetattr(previous, TCSANOW, &cooked), 0);
    close(previous);
    ASSERT_EQ(pty.WriteAll("stale\n"), 6u);

    HANDLE port = OpenPort(kPort);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    SetImmediateReads(port);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    EXPECT_EQ(dcb.BaudRate, 4800u);
    EXPECT_EQ(dcb.ByteSize, 8);
    EXPECT_EQ(dcb.Parity, NOPARITY);
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT);
    char buffer[64];
    DWORD got = 99;
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, nullptr));
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(CommPty, ANewHandleReadsWhatIsThereWithoutWaiting)
{
    HANDLE port = OpenPort(kPort);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    COMMTIMEOUTS timeouts{};
    ASSERT_TRUE(GetCommTimeouts(port, &timeouts));
    EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
    EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
    EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);

    // Before anybody set time-outs: a read of more than has come returns with what is there.
    ASSERT_EQ(pty.WriteAll("ab"), 2u);
    std::atomic<bool> ended{false};
    std::string got;
    std::thread reader([&] {
        char buffer[16];
        DWORD n = 0;
        WaitUntil([&] {
            if (ReadFile(port, buffer, sizeof buffer, &n, nullptr))
                got.append(buffer, n);
            return got.size() >= 2;
        });
        ended = true;
    });
    const bool returned = WaitUntil([&] { return ended.load(); });
    if (!returned)
        WaitUntil([&] { // a reader waiting for 16 bytes that never come is let go
            PurgeComm(port, PURGE_RXABORT);
            return ended.load();
        });
    reader.join();
    EXPECT_TRUE(returned);
    EXPECT_EQ(got, "ab");
    EXPECT_TRUE(CloseHandle(port));
}

TEST_F(CommPty, ClosingHandsTheLineBackWithDtrAndRtsDown)
{
    HANDLE port = OpenPort(kPort);
    ASSERT_NE(port, INVALID_HANDLE_VALUE) << GetLastError();
    // The last close of the tty drops the lines, also when the port goes without a close of ours.
    platform::LineTermios line;
    ASSERT_EQ(platform::ReadLineTermios(pty.Master(), &line), 0);
    EXPECT_NE(line.cflag & HUPCL, 0u);

    platform::Ref<platform::CommDevice> device = platform::LookUpHandleAs<platform::CommDevice>(port);
    ASSERT_TRUE(device);
    EXPECT_EQ(device->OutputLines(), platform::kTestLineDtr | platform::kTestLineRts);
    ASSERT_TRUE(CloseHandle(port));
    EXPECT_EQ(device->OutputLines(), 0u);
    device = platform::Ref<platform::CommDevice>();

    // The far end sees the line hang up.
    pollfd far{pty.Master(), POLLIN, 0};
    EXPECT_TRUE(WaitUntil([&] { return poll(&far, 1, 0) > 0 && (far.revents & POLLHUP); }));
}

// ---- Bytes ------------------------------------------------------------------------------------------

TEST_F(CommLine, EveryByteValuePassesUnchangedBothWays)
{
    const std::string bytes = AllByteValues(4);
    Pending write(port);
    DWORD written = 0;
    if (!WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &write.record)) {
        ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
        ASSERT_TRUE(write.Signalled());
        ASSERT_TRUE(write.Result(&written));
    }
    EXPECT_EQ(written, bytes.size());
    EXPECT_EQ(pty.ReadExactly(bytes.size()), bytes);

    ASSERT_EQ(pty.WriteAll(bytes), bytes.size());
    EXPECT_EQ(ReadFromPort(bytes.size()), bytes);

    // An overlapped read never pends: it completes at once, here with nothing, and says so.
    Pending read(port);
    char buffer[16];
    DWORD got = 99;
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &got, &read.record));
    EXPECT_EQ(got, 0u);
    EXPECT_TRUE(read.Signalled(0));
    EXPECT_TRUE(read.Result(&got));
}

TEST_F(CommLine, ReadsWithTimeOutsWaitForTheirBytesAndEndOnAPurge)
{
    COMMTIMEOUTS waitForAll{0, 0, 0, 0, 0};
    ASSERT_TRUE(SetCommTimeouts(port, &waitForAll));
    std::string got;
    DWORD error = 0;
    std::thread reader([&] {
        char buffer[5];
        DWORD n = 0;
        if (ReadFile(port, buffer, sizeof buffer, &n, nullptr))
            got.assign(buffer, n);
        else
            error = GetLastError();
    });
    ASSERT_EQ(pty.WriteAll("12"), 2u);
    ASSERT_EQ(pty.WriteAll("345"), 3u);
    reader.join();
    EXPECT_EQ(got, "12345");

    std::atomic<bool> ended{false};
    std::thread blocked([&] {
        char buffer[5];
        DWORD n = 0;
        if (!ReadFile(port, buffer, sizeof buffer, &n, nullptr))
            error = GetLastError();
        ended = true;
    });
    EXPECT_FALSE(WaitUntil([&] { return ended.load(); }, std::chrono::milliseconds(kQuietMs)));
    // The purge may come before the reader sleeps; it must end the read either way.
    EXPECT_TRUE(WaitUntil([&] {
        PurgeComm(port, PURGE_RXABORT);
        return ended.load();
    }));
    blocked.join();
    EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
}

// ---- Line-event waits ---------------------------------------------------------------------------

TEST_F(CommLine, ReceivedCharactersAreEdgesNotLevels)
{
    ASSERT_TRUE(SetCommMask(port, kStackMask));
    Pending wait(port);
    ASSERT_FALSE(wait.StartWait());
    ASSERT_EQ(pty.WriteAll("abc"), 3u);
    ASSERT_TRUE(wait.Signalled());
    ASSERT_TRUE(wait.Result());
    EXPECT_EQ(wait.events, EV_RXCHAR);

    // The three bytes stay unread: they must not end the next wait.
    ASSERT_FALSE(wait.StartWait());
    EXPECT_FALSE(wait.Signalled(kQuietMs));
    ASSERT_EQ(pty.WriteAll("d"), 1u);
    ASSERT_TRUE(wait.Signalled());
    ASSERT_TRUE(wait.Result());
    EXPECT_EQ(wait.events, EV_RXCHAR);

    // A byte that comes between two waits ends the next one at once.
    ASSERT_EQ(pty.WriteAll("e"), 1u);
    ASSERT_TRUE(WaitUntil([&] {
        COMSTAT stat{};
        return ClearCommError(port, nullptr, &stat) && stat.cbInQue == 5;
    }));
    EXPECT_TRUE(wait.StartWait());
    EXPECT_EQ(wait.events, EV_RXCHAR);
    EXPECT_TRUE(wait.Signalled(0));
    EXPECT_EQ(ReadFromPort(5), "abcde");

    // Reading everything and then waiting: only new bytes count.
    ASSERT_FALSE(wait.StartWait());
    EXPECT_FALSE(wait.Signalled(kQuietMs));
}

TEST_F(CommLine, BytesPilingUpUnreadAreReportedOnceAndTheRestAsItComesIn)
{
    // More than the line discipline holds (its count stops near 4 KiB) and more than the pty
    // buffers: the far end can only finish while the port reads.
    const std::string data = Pattern(20000);
    ASSERT_TRUE(SetCommMask(port, kStackMask));
    Pending wait(port);
    ASSERT_FALSE(wait.StartWait());
    size_t written = 0;
    std::jthread writer([&] { written = pty.WriteAll(data, 30s); });
    ASSERT_TRUE(wait.Signalled());
    ASSERT_TRUE(wait.Result());
    EXPECT_EQ(wait.events, EV_RXCHAR);

    // Nobody reads: once the driver is full, nothing new comes in. The bytes that came after the
    // first report may end one wait at once; after that no wait may end.
    ASSERT_TRUE(WaitUntil([&] {
        COMSTAT stat{};
        return ClearCommError(port, nullptr, &stat) && stat.cbInQue >= 4095;
    }));
    if (wait.StartWait()) {
        EXPECT_EQ(wait.events, EV_RXCHAR);
        ASSERT_FALSE(wait.StartWait());
    }
    const DWORD wakeupsBefore = platform::CommWorkerWakeupsForTesting(port);
    EXPECT_FALSE(wait.Signalled(kQuietMs));
    EXPECT_LE(platform::CommWorkerWakeupsForTesting(port) - wakeupsBefore, 2u);

    // Reading as the dispatch thread does: until 0, then wait again. Every byte that enters the
    // driver after a read must end a wait, or the reader would stall with data behind.
    std::string got;
    bool pending = true;
    int waits = 0;
    while (got.size() < data.size()) {
        char buffer[8192];
        DWORD n = 0;
        while (ReadFile(port, buffer, sizeof buffer, &n, nullptr) && n > 0)
            got.append(buffer, n);
        if (got.size() == data.size())
            break;
        if (!pending && wait.StartWait())
            continue;
        ASSERT_TRUE(wait.Signalled()) << "stalled after " << got.size() << " bytes";
        ASSERT_TRUE(wait.Result());
        EXPECT_EQ(wait.events, EV_RXCHAR);
        pending = false;
        ++waits;
    }
    writer.join();
    EXPECT_EQ(written, data.size());
    EXPECT_TRUE(got == data);
    EXPECT_LE(waits, 200);
    EXPECT_LE(platform::CommWorkerWakeupsForTesting(port), 1000u);

    // A wait still pending from before the last reads saw those bytes come in.
    if (pending) {
        ASSERT_TRUE(wait.Signalled());
        ASSERT_TRUE(wait.Result());
    }
    // Bytes read since the last report may end one more wait at once; then all is quiet.
    if (wait.StartWait()) {
        ASSERT_FALSE(wait.StartWait());
    }
    EXPECT_FALSE(wait.Signalled(kQuietMs));
}

TEST_F(CommLine, MaskChangeEndsAPendingWaitFromAnotherThreadAndForgetsOldEvents)
{
    ASSERT_TRUE(SetCommMask(port, kStackMask));
    Pending wait(port);
    ASSERT_FALSE(wait.StartWait());
    std::thread([&] { EXPECT_TRUE(SetCommMask(port, 0)); }).join();
    ASSERT_TRUE(wait.Signalled());
    ASSERT_TRUE(wait.Result());
    EXPECT_EQ(wait.events, 0u);
    DWORD mask = 1;
    EXPECT_TRUE(GetCommMask(port, &mask));
    EXPECT_EQ(mask, 0u);
    EXPECT_FALSE(WaitCommEvent(port, &wait.events, &wait.record));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);

    ASSERT_EQ(pty.WriteAll("old"), 3u);
    ASSERT_TRUE(WaitUntil([&] {
        COMSTAT stat{};
        return ClearCommError(port, nullptr, &stat) && stat.cbInQue == 3;
    }));
    ASSERT_TRUE(SetCommMask(port, kStackMask));
    ASSERT_FALSE(wait.StartWait());
    EXPECT_FALSE(wait.Signalled(kQuietMs));
    EXPECT_FALSE(SetCommMask(port, 0x2000 | kStackMask));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// Whether a thread of this process has the given name.
bool ThreadNamed(const std::string& name)
{
    DIR* tasks = opendir("/proc/self/task");
    if (!tasks)
        return false;
    bool found = false;
    while (dirent* entry = readdir(tasks)) {
        if (entry->d_name[0] == '.')
            continue;
        char comm[64] = {};
        const std::string path = std::string("/proc/self/task/") + entry->d_name + "/comm";
        if (FILE* file = std::fopen(path.c_str(), "r")) {
            if (std::fgets(comm, sizeof comm, file) && std::string(comm) == name + "\n")
                found = true;
            std::fclose(file);
        }
    }
    closedir(tasks);
    return found;
}

TEST_F(CommLine, AWaitWithoutAnEventIsWatchedByTheThreadThatAsksForItsResult)
{
    // The device-event thread's way: no event, then GetOverlappedResult waiting. The line is
    // watched in that call itself; no worker is started, and whatever ends a wait ends it there.
    ASSERT_TRUE(SetCommMask(port, kStackMask));
    OVERLAPPED record{};
    DWORD events = 0;
    DWORD error = ERROR_SUCCESS;
    std::atomic<bool> ended{false};
    auto waitInThread = [&] {
        ended = false;
        EXPECT_FALSE(WaitCommEvent(port, &events, &record));
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        // The handle as it was: the test closes it and clears `port` while the thread waits.
        return std::jthread([&, handle = port] {
            DWORD unused = 0;
            error = GetOverlappedResult(handle, &record, &unused, TRUE) ? ERROR_SUCCESS : GetLastError();
            ended = true;
        });
    };

    {
        std::jthread waiter = waitInThread();
        EXPECT_FALSE(WaitUntil([&] { return ended.load(); }, std::chrono::milliseconds(kQuietMs)));
        ASSERT_EQ(pty.WriteAll("x"), 1u);
        ASSERT_TRUE(WaitUntil([&] { return ended.load(); }));
        EXPECT_EQ(error, ERROR_SUCCESS);
        EXPECT_EQ(events, static_cast<DWORD>(EV_RXCHAR));
    }
    EXPECT_EQ(ReadFromPort(1), "x");
    {
        std::jthread waiter = waitInThread();
        ASSERT_TRUE(SetCommMask(port, kStackMask)); // from another thread, as a close of the stack does
        ASSERT_TRUE(WaitUntil([&] { return ended.load(); }));
        EXPECT_EQ(error, ERROR_SUCCESS);
        EXPECT_EQ(events, 0u);
    }
    EXPECT_FALSE(ThreadNamed("commevent"));
    {
        std::jthread waiter = waitInThread();
        ASSERT_TRUE(CloseHandle(port));
        port = INVALID_HANDLE_VALUE;
        ASSERT_TRUE(WaitUntil([&] { return ended.load(); }));
        EXPECT_EQ(error, ERROR_OPERATION_ABORTED);
    }
}

TEST_F(CommLine, InjectedErrorsAndModemLinesEndTheWaitAsAUartWould)
{
    const struct {
        DWORD errors;
        DWORD modem;
        DWORD event;
    } cases[] = {
        {CE_FRAME, 0, EV_ERR},  {CE_RXPARITY, 0, EV_ERR}, {CE_OVERRUN, 0, EV_ERR},
        {CE_RXOVER, 0, EV_ERR}, {CE_BREAK, 0, EV_BREAK},  {0, MS_CTS_ON, EV_CTS},
        {0, MS_DSR_ON, EV_DSR}, {0, MS_RLSD_ON, EV_RLSD}, {0, MS_RING_ON, EV_RING},
    };
    ASSERT_TRUE(SetCommMask(port, kStackMask));
    Pending wait(port);
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << "errors " << c.errors << " modem " << c.modem);
        ASSERT_FALSE(wait.StartWait());
        if (c.errors) {
            ASSERT_TRUE(platform::InjectCommErrorsForTesting(port, c.errors));
        } else {
            ASSERT_TRUE(platform::InjectModemStatusForTesting(port, c.modem));
        }
        ASSERT_TRUE(wait.Signalled());
        ASSERT_TRUE(wait.Result());
        EXPECT_EQ(wait.events, c.event);

        DWORD errors = 0, modem = 0;
        ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
        EXPECT_EQ(errors, c.errors);
        ASSERT_TRUE(ClearCommError(port, &errors, nullptr));
        EXPECT_EQ(errors, 0u) << "errors are reported once";
        ASSERT_TRUE(GetCommModemStatus(port, &modem));
        EXPECT_EQ(modem, c.modem);
        if (c.modem) {
            // Dropping the line again is a change too.
            ASSERT_FALSE(wait.StartWait());
            ASSERT_TRUE(platform::InjectModemStatusForTesting(port, 0));
            ASSERT_TRUE(wait.Signalled());
            ASSERT_TRUE(wait.Result());
            EXPECT_EQ(wait.events, c.event);
        }
    }

    // Events the mask does not ask for end nothing and are not kept for later.
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    ASSERT_FALSE(wait.StartWait());
    ASSERT_TRUE(platform::InjectCommErrorsForTesting(port, CE_FRAME));
    ASSERT_TRUE(platform::InjectModemStatusForTesting(port, MS_CTS_ON));
    EXPECT_FALSE(wait.Signalled(kQuietMs));
}

TEST_F(CommLine, ModemLinesAreWaitedForRatherThanAskedForAgainAndAgain)
{
    FakeLines lines(true, TIOCM_CTS | TIOCM_DSR);
    ASSERT_TRUE(platform::SetCommLinesForTesting(port, &lines));
    ASSERT_TRUE(SetCommMask(port, kStackMask));
    Pending wait(port);
    ASSERT_FALSE(wait.StartWait());
    ASSERT_TRUE(WaitUntil([&] { return lines.waiting.load() == 1; }));

    // Idle, the driver waits for a change: the lines are not read (a USB transfer on many adapters),
    // and the stack's own reads of them are answered with what was read before the wait.
    const platform::CommQueryCounts before = Queries(port);
    EXPECT_FALSE(wait.Signalled(kQuietMs));
    for (int i = 0; i < 10; ++i) {
        DWORD modem = 0;
        ASSERT_TRUE(GetCommModemStatus(port, &modem));
        EXPECT_EQ(modem, MS_CTS_ON | MS_DSR_ON);
    }
    const platform::CommQueryCounts idle = Queries(port);
    EXPECT_EQ(idle.ModemLines, before.ModemLines);
    EXPECT_LE(idle.ErrorCounts - before.ErrorCounts, 2u);

    lines.Set(TIOCM_DSR);
    ASSERT_TRUE(wait.Signalled());
    ASSERT_TRUE(wait.Result());
    EXPECT_EQ(wait.events, EV_CTS);
    DWORD modem = 0;
    ASSERT_TRUE(GetCommModemStatus(port, &modem));
    EXPECT_EQ(modem, MS_DSR_ON);

    // A line that went and came back before anybody looked has still changed.
    ASSERT_FALSE(wait.StartWait());
    ASSERT_TRUE(WaitUntil([&] { return lines.waiting.load() == 1; }));
    lines.Pulse(TIOCM_CAR);
    ASSERT_TRUE(wait.Signalled());
    ASSERT_TRUE(wait.Result());
    EXPECT_EQ(wait.events, EV_RLSD);

    // A mask without modem events ends the driver's wait, and so does the close.
    ASSERT_TRUE(SetCommMask(port, EV_RXCHAR));
    EXPECT_TRUE(WaitUntil([&] { return lines.waiting.load() == 0; }));
    ASSERT_TRUE(SetCommMask(port, kStackMask));
    ASSERT_FALSE(wait.StartWait());
    ASSERT_TRUE(WaitUntil([&] { return lines.waiting.load() == 1; }));
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    EXPECT_EQ(lines.waiting.load(), 0);
}

TEST_F(CommLine, WithoutADriverWaitModemLinesAreReadNowAndThen)
{
    FakeLines lines(false);
    ASSERT_TRUE(platform::SetCommLinesForTesting(port, &lines));
    ASSERT_TRUE(SetCommMask(port, kStackMask));
    Pending wait(port);
    ASSERT_FALSE(wait.StartWait());
    ASSERT_TRUE(WaitUntil([&] { return lines.waitCalls.load() >= 1; }));

    // A handful of reads in 400 ms, not one every few milliseconds.
    const platform::CommQueryCounts before = Queries(port);
    EXPECT_FALSE(wait.Signalled(2 * kQuietMs));
    EXPECT_LE(Queries(port).ModemLines - before.ModemLines, 10u);

    lines.Set(TIOCM_RNG);
    ASSERT_TRUE(wait.Signalled());
    ASSERT_TRUE(wait.Result());
    EXPECT_EQ(wait.events, EV_RING);
}

TEST_F(CommLine, APtyHasNoModemLinesOrErrorCountersButNeverFails)
{
    for (DWORD function : {SETDTR, CLRDTR, SETRTS, CLRRTS, SETBREAK, CLRBREAK})
        EXPECT_TRUE(EscapeCommFunction(port, function)) << function;
    EXPECT_FALSE(EscapeCommFunction(port, 10));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    DWORD modem = 99, errors = 99;
    COMSTAT stat{};
    EXPECT_TRUE(GetCommModemStatus(port, &modem));
    EXPECT_EQ(modem, 0u);
    EXPECT_TRUE(ClearCommError(port, &errors, &stat));
    EXPECT_EQ(errors, 0u);
    EXPECT_EQ(stat.cbInQue, 0u);
    EXPECT_EQ(stat.cbOutQue, 0u);
}

TEST_F(CommLine, AVanishedFarEndFailsOneWaitAndThenStaysQuiet)
{
    ASSERT_TRUE(SetCommMask(port, kStackMask));
    Pending wait(port);
    ASSERT_FALSE(wait.StartWait());
    pty.CloseMaster();
    ASSERT_TRUE(wait.Signalled());
    EXPECT_FALSE(wait.Result());
    EXPECT_EQ(wait.error, ERROR_DEV_NOT_EXIST);

    // The next wait neither fails again nor spins: it waits for the mask change or the close.
    ASSERT_FALSE(wait.StartWait());
    const DWORD wakeupsBefore = platform::CommWorkerWakeupsForTesting(port);
    EXPECT_FALSE(wait.Signalled(kQuietMs));
    EXPECT_EQ(platform::CommWorkerWakeupsForTesting(port), wakeupsBefore);

    char buffer[16];
    DWORD n = 99;
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(WriteFile(port, "x", 1, &n, nullptr));
    EXPECT_FALSE(ClearCommError(port, nullptr, nullptr));

    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(wait.Signalled());
    EXPECT_FALSE(wait.Result());
    EXPECT_EQ(wait.error, ERROR_OPERATION_ABORTED);
}

TEST_F(CommLine, AVanishedDeviceIsLetGoAtOnceAndEveryCallSaysItIsGone)
{
    ASSERT_TRUE(SetCommMask(port, kStackMask));
    Pending wait(port);
    ASSERT_FALSE(wait.StartWait());
    const dev_t device = DeviceOf(pty.SlavePath());
    ASSERT_TRUE(ProcessHolds(device));
    const std::string slave = pty.SlavePath();
    const std::string lockFile = map.LockDirectory() + "/LCK.." + slave.substr(slave.find_last_of('/') + 1);
    ASSERT_EQ(access(lockFile.c_str(), F_OK), 0) << "an open port keeps its lock file";
    pty.CloseMaster();
    ASSERT_TRUE(wait.Signalled());
    // The kernel can free the device (and its name) only once nobody holds it; the lock file
    // goes with it, so that whoever finds the device back may take it, this process included.
    EXPECT_TRUE(WaitUntil([&] { return !ProcessHolds(device); }));
    EXPECT_NE(access(lockFile.c_str(), F_OK), 0);

    char buffer[16];
    DWORD n = 99;
    EXPECT_TRUE(ReadFile(port, buffer, sizeof buffer, &n, nullptr));
    EXPECT_EQ(n, 0u);
    EXPECT_FALSE(WriteFile(port, "x", 1, &n, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_DEV_NOT_EXIST);
    DWORD modem = 0;
    EXPECT_FALSE(GetCommModemStatus(port, &modem));
    EXPECT_EQ(GetLastError(), ERROR_DEV_NOT_EXIST);
    EXPECT_FALSE(EscapeCommFunction(port, SETDTR));
    EXPECT_EQ(GetLastError(), ERROR_DEV_NOT_EXIST);
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.BaudRate = 19200;
    EXPECT_FALSE(SetCommState(port, &dcb));
    EXPECT_EQ(GetLastError(), ERROR_DEV_NOT_EXIST);
    EXPECT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_RXCLEAR));

    // A mask change still ends a wait, and nothing spins meanwhile.
    ASSERT_FALSE(wait.StartWait());
    const DWORD wakeupsBefore = platform::CommWorkerWakeupsForTesting(port);
    EXPECT_FALSE(wait.Signalled(kQuietMs));
    EXPECT_EQ(platform::CommWorkerWakeupsForTesting(port), wakeupsBefore);
    ASSERT_TRUE(SetCommMask(port, kStackMask));
    EXPECT_TRUE(wait.Signalled());
}

TEST_F(CommLine, AFarEndThatVanishedBetweenWaitsFailsTheNextWaitOnce)
{
    ASSERT_TRUE(SetCommMask(port, kStackMask));
    pty.CloseMaster();
    Pending wait(port);
    wait.StartWait();
    ASSERT_TRUE(wait.Signalled());
    EXPECT_FALSE(wait.Result());
    EXPECT_EQ(wait.error, ERROR_DEV_NOT_EXIST);
    ASSERT_FALSE(wait.StartWait());
    EXPECT_FALSE(wait.Signalled(kQuietMs));
}

TEST_F(CommLine, ClosingEndsAPendingWaitWithFailure)
{
    ASSERT_TRUE(SetCommMask(port, kStackMask));
    Pending wait(port);
    ASSERT_FALSE(wait.StartWait());
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    ASSERT_TRUE(wait.Signalled());
    EXPECT_FALSE(wait.Result());
    EXPECT_EQ(wait.error, ERROR_OPERATION_ABORTED);
}

// ---- Writes and purges -----------------------------------------------------------------------------

TEST_F(CommLine, AWriteTheDriverCannotTakePendsAndFinishesInTheBackground)
{
    Pending small(port);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, "hello", 5, &written, &small.record));
    EXPECT_EQ(written, 5u);
    EXPECT_TRUE(small.Signalled(0));
    EXPECT_EQ(pty.ReadExactly(5), "hello");

    // The far end does not read, so the pty fills up and both writes wait; the second queues
    // behind the first.
    const std::string first = Pattern(256 * 1024), second = "tail";
    Pending one(port), two(port);
    ASSERT_FALSE(WriteFile(port, first.data(), static_cast<DWORD>(first.size()), &written, &one.record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    ASSERT_FALSE(WriteFile(port, second.data(), static_cast<DWORD>(second.size()), &written, &two.record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);
    EXPECT_FALSE(one.Result());
    EXPECT_EQ(one.error, ERROR_IO_INCOMPLETE);
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    EXPECT_GT(stat.cbOutQue, 0u);

    EXPECT_TRUE(pty.ReadExactly(first.size() + second.size(), 30s) == first + second);
    ASSERT_TRUE(one.Signalled());
    ASSERT_TRUE(two.Signalled());
    EXPECT_TRUE(one.Result(&written));
    EXPECT_EQ(written, first.size());
    EXPECT_TRUE(two.Result(&written));
    EXPECT_EQ(written, second.size());
}

TEST_F(CommLine, PurgeAbandonsPendingWritesBeforeItReturns)
{
    const std::string block = Pattern(256 * 1024);
    Pending write(port);
    DWORD written = 0;
    ASSERT_FALSE(WriteFile(port, block.data(), static_cast<DWORD>(block.size()), &written, &write.record));
    ASSERT_EQ(GetLastError(), ERROR_IO_PENDING);

    std::thread([&] { EXPECT_TRUE(PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR)); }).join();
    EXPECT_TRUE(write.Signalled(0));
    EXPECT_FALSE(write.Result(&written));
    EXPECT_EQ(write.error, ERROR_OPERATION_ABORTED);
    EXPECT_LT(written, block.size());

    // The port goes on working: what the far end gets is a prefix of the block, then the next write.
    const std::string received = pty.ReadExactly(block.size(), 500ms);
    EXPECT_TRUE(block.compare(0, received.size(), received) == 0);
    Pending next(port);
    ASSERT_TRUE(WriteFile(port, "next", 4, &written, &next.record));
    EXPECT_EQ(pty.ReadExactly(4), "next");
}

TEST_F(CommLine, ReceivePurgeDropsWaitingBytesWithoutAnEventForThem)
{
    ASSERT_EQ(pty.WriteAll("dropped"), 7u);
    ASSERT_TRUE(WaitUntil([&] {
        COMSTAT stat{};
        return ClearCommError(port, nullptr, &stat) && stat.cbInQue == 7;
    }));
    ASSERT_TRUE(SetCommMask(port, kStackMask));
    ASSERT_TRUE(PurgeComm(port, PURGE_RXABORT | PURGE_RXCLEAR));
    COMSTAT stat{};
    ASSERT_TRUE(ClearCommError(port, nullptr, &stat));
    EXPECT_EQ(stat.cbInQue, 0u);

    Pending wait(port);
    ASSERT_FALSE(wait.StartWait());
    EXPECT_FALSE(wait.Signalled(kQuietMs));
    ASSERT_EQ(pty.WriteAll("new"), 3u);
    ASSERT_TRUE(wait.Signalled());
    EXPECT_EQ(ReadFromPort(3), "new");
}

// ---- Line settings --------------------------------------------------------------------------------

TEST_F(CommLine, LineSettingsReachTheLineAndComeBackAsSet)
{
    DCB base{};
    ASSERT_TRUE(GetCommState(port, &base));
    const auto with = [&](auto change) {
        DCB dcb = base;
        change(dcb);
        return dcb;
    };
    const struct {
        const char* what;
        DCB dcb;
        uint32_t rate;
        uint32_t cflagSet;
        uint32_t cflagClear;
    } cases[] = {
        {"110 8N1", with([](DCB& d) { d.BaudRate = 110; }), 110, 0, CSTOPB | PARODD | CMSPAR | CRTSCTS},
        {"1200 7E1", with([](DCB& d) { d.BaudRate = 1200, d.ByteSize = 7, d.Parity = EVENPARITY; }), 1200, 0,
         PARODD | CMSPAR},
        {"9600 8O2", with([](DCB& d) { d.BaudRate = 9600, d.Parity = ODDPARITY, d.StopBits = TWOSTOPBITS; }),
         9600, CSTOPB | PARODD, CMSPAR},
        {"19200 8M1", with([](DCB& d) { d.BaudRate = 19200, d.Parity = MARKPARITY; }), 19200, PARODD | CMSPAR,
         0},
        {"38400 8S1", with([](DCB& d) { d.BaudRate = 38400, d.Parity = SPACEPARITY; }), 38400, CMSPAR,
         PARODD},
        {"57600 5N1.5", with([](DCB& d) { d.BaudRate = 57600, d.ByteSize = 5, d.StopBits = ONE5STOPBITS; }),
         57600, CSTOPB, 0},
        {"115200 CTS", with([](DCB& d) { d.BaudRate = 115200, d.fOutxCtsFlow = 1; }), 115200, CRTSCTS, 0},
        {"115200 RTS handshake",
         with([](DCB& d) { d.BaudRate = 115200, d.fRtsControl = RTS_CONTROL_HANDSHAKE; }), 115200, CRTSCTS,
         0},
        {"250000 custom", with([](DCB& d) { d.BaudRate = 250000; }), 250000, 0, CRTSCTS},
        {"31250 custom", with([](DCB& d) { d.BaudRate = 31250; }), 31250, 0, 0},
        // Kept in the record only: DSR flow, DTR handshake, limits, RTS toggling, special characters.
        {"kept fields", with([](DCB& d) {
             d.BaudRate = 4800, d.fOutxDsrFlow = 1, d.fDtrControl = DTR_CONTROL_HANDSHAKE;
             d.fRtsControl = RTS_CONTROL_TOGGLE, d.XonLim = 410, d.XoffLim = 409, d.fParity = 1;
             d.fNull = 1, d.EvtChar = 3, d.ErrorChar = '?', d.fAbortOnError = 1;
         }),
         4800, 0, CRTSCTS},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        DCB dcb = c.dcb;
        ASSERT_TRUE(SetCommState(port, &dcb)) << GetLastError();
        platform::LineTermios line;
        ASSERT_EQ(platform::ReadLineTermios(pty.Master(), &line), 0);
        EXPECT_EQ(line.ospeed, c.rate);
        EXPECT_EQ(line.ispeed, c.rate);
        EXPECT_EQ(line.cflag & c.cflagSet, c.cflagSet);
        EXPECT_EQ(line.cflag & c.cflagClear, 0u);
        EXPECT_EQ(line.iflag & (IXON | IXOFF | ICRNL | INPCK | ISTRIP), 0u);
        DCB back{};
        ASSERT_TRUE(GetCommState(port, &back));
        EXPECT_EQ(std::memcmp(&back, &c.dcb, sizeof back), 0);
    }

    DCB flow = with([](DCB& d) { d.fOutX = 1, d.fInX = 1, d.XonChar = 'Q', d.XoffChar = 'S'; });
    ASSERT_TRUE(SetCommState(port, &flow));
    platform::LineTermios line;
    ASSERT_EQ(platform::ReadLineTermios(pty.Master(), &line), 0);
    EXPECT_EQ(line.iflag & (IXON | IXOFF), static_cast<uint32_t>(IXON | IXOFF));
    EXPECT_EQ(line.cc[VSTART], 'Q');
    EXPECT_EQ(line.cc[VSTOP], 'S');
}

TEST_F(CommLine, ARateChangeWaitsUntilTheBytesBeforeItHaveLeft)
{
    SetRate(port, 1200);
    // An answer the driver still holds: the far end has not read it, and the driver says so.
    const std::string answer = Pattern(120);
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(port, answer.data(), static_cast<DWORD>(answer.size()), &written, nullptr));
    ASSERT_TRUE(platform::SetCommOutputQueueForTesting(port, static_cast<LONG>(answer.size())));
    platform::CommQueryCounts before;
    ASSERT_TRUE(platform::CommQueryCountsForTesting(port, &before));

    std::atomic<bool> changed{false};
    std::thread change([&] {
        SetRate(port, 2400);
        changed = true;
    });
    // Once the change has looked at the queue and found it full, the line is still as it was.
    EXPECT_TRUE(WaitUntil([&] {
        platform::CommQueryCounts now;
        platform::CommQueryCountsForTesting(port, &now);
        return now.OutputQueue >= before.OutputQueue + 2;
    }));
    EXPECT_FALSE(changed.load());
    EXPECT_EQ(FarEndRate(pty.Master()), 1200u);
    EXPECT_EQ(pty.ReadExactly(answer.size()), answer);
    ASSERT_TRUE(platform::SetCommOutputQueueForTesting(port, 0));

    EXPECT_TRUE(WaitUntil([&] { return changed.load(); }));
    change.join();
    EXPECT_EQ(FarEndRate(pty.Master()), 2400u);
}

TEST_F(CommLine, ARateChangeBehindALineThatNeverDrainsWaitsOnlyForTheBytesLineTime)
{
    SetRate(port, 9600);
    // Flow control holds the line: the driver's queue never empties.
    ASSERT_TRUE(platform::SetCommOutputQueueForTesting(port, 50));
    std::atomic<bool> changed{false};
    std::thread change([&] {
        SetRate(port, 19200);
        changed = true;
    });
    EXPECT_TRUE(WaitUntil([&] { return changed.load(); }));
    change.join();
    EXPECT_EQ(FarEndRate(pty.Master()), 19200u);

    // Changes of the output lines alone do not wait at all.
    platform::CommQueryCounts before;
    ASSERT_TRUE(platform::CommQueryCountsForTesting(port, &before));
    DCB dcb{};
    ASSERT_TRUE(GetCommState(port, &dcb));
    dcb.fDtrControl = DTR_CONTROL_DISABLE;
    ASSERT_TRUE(SetCommState(port, &dcb));
    platform::CommQueryCounts after;
    ASSERT_TRUE(platform::CommQueryCountsForTesting(port, &after));
    EXPECT_EQ(after.OutputQueue, before.OutputQueue);
}

TEST_F(CommLine, SettingsOutsideTheRangesAreRefusedAndChangeNothing)
{
    DCB before{};
    ASSERT_TRUE(GetCommState(port, &before));
    const auto with = [&](auto change) {
        DCB dcb = before;
        change(dcb);
        return dcb;
    };
    // The ranges themselves are CommTermios' business; here: refused on a port, record untouched.
    DCB cases[] = {
        with([](DCB& d) { d.BaudRate = 0; }),
        with([](DCB& d) { d.StopBits = ONE5STOPBITS; }),
        with([](DCB& d) { d.fOutX = 1, d.XonChar = d.XoffChar = 0x11; }),
    };
    for (DCB& dcb : cases) {
        EXPECT_FALSE(SetCommState(port, &dcb));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    }
    EXPECT_FALSE(SetCommState(port, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(SetCommTimeouts(port, nullptr));
    EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
    DCB after{};
    ASSERT_TRUE(GetCommState(port, &after));
    EXPECT_EQ(std::memcmp(&before, &after, sizeof after), 0);
}

TEST(CommHandles, CallsOnHandlesThatAreNoPortFailCleanly)
{
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    DCB dcb{};
    char buffer[4];
    DWORD n = 0;
    for (HANDLE handle : {event, static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE}) {
        EXPECT_FALSE(GetCommState(handle, &dcb));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(ReadFile(handle, buffer, sizeof buffer, &n, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(SetCommMask(handle, EV_RXCHAR));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        // The handle is looked at before the record.
        EXPECT_FALSE(SetCommState(handle, nullptr));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(platform::InjectCommErrorsForTesting(handle, CE_FRAME));
        EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
    }
    CloseHandle(event);
}

} // namespace
