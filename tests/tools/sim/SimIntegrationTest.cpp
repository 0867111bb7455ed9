// The simulator on real pseudo-terminals: its loop in-process against a peer that opens the port
// side the way a program does, and the lintaker-sim program itself for registration and clean-up.
#include "platform/posix/devicemap.h"
#include "protocol/UnitEntDeCoder.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScopedDeviceMap.h"
#include "tools/sim/BusDevice.h"
#include "tools/sim/RS232Device.h"
#include "tools/sim/SimLoop.h"
#include "tools/sim/SimPort.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <thread>

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

using namespace sim;
using namespace std::chrono_literals;
using ::testing::HasSubstr;
using ::testing::StartsWith;

namespace fs = std::filesystem;

namespace
{

constexpr auto kWait = 5s; // bound of every wait for the other side

using TDeadline = std::chrono::steady_clock::time_point;

TDeadline After(std::chrono::milliseconds wait) { return std::chrono::steady_clock::now() + wait; }

/// Reads from `fd` until `done` holds for what was read, the other side ends (`*ended`), or the
/// wait runs out.
std::string ReadUntil(int fd, const std::function<bool(const std::string&)>& done, TDeadline deadline,
                      std::string data = {}, bool* ended = nullptr)
{
    while (!done(data)) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p{fd, POLLIN, 0};
        if (left.count() <= 0 || poll(&p, 1, static_cast<int>(left.count())) <= 0)
            break;
        char buffer[4096];
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n > 0) {
            data.append(buffer, static_cast<size_t>(n));
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            if (ended)
                *ended = true;
            break;
        }
    }
    return data;
}

std::function<bool(const std::string&)> Contains(char c, size_t times)
{
    return [c, times](const std::string& data) {
        return static_cast<size_t>(std::count(data.begin(), data.end(), c)) >= times;
    };
}

void WriteAll(int fd, std::string_view bytes)
{
    ASSERT_EQ(testsupport::WriteAll(fd, bytes), bytes.size()) << "writing to the port failed";
}

/// Opens the port side the way the serial layer does: through the link, raw, flushed.
int OpenPeer(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0)
        return fd;
    termios raw{};
    tcgetattr(fd, &raw);
    cfmakeraw(&raw);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    tcsetattr(fd, TCSANOW, &raw);
    tcflush(fd, TCIOFLUSH);
    return fd;
}

void ExpectWellFramedAnswer(const std::string& line, char address)
{
    ASSERT_GE(line.size(), 8u) << line;
    EXPECT_EQ(line.substr(0, 3), std::string({'>', address, 't'}));
    ASSERT_EQ(line.substr(line.size() - 2), "\r\n") << line;
    const std::string framed = line.substr(0, line.size() - 2);
    EXPECT_EQ(FrameMessage(framed.substr(1, framed.size() - 4)), framed);
}

/// A private device-map directory for the test, in the environment for the simulator too, and no
/// real serial ports in the way.
class SimTest : public ::testing::Test
{
protected:
    void SetUp() override { platform::SetSysClassTtyRootForTesting("/nonexistent-lintaker-sysfs"); }
    void TearDown() override { platform::SetSysClassTtyRootForTesting(""); }

    testsupport::ScopedDeviceMap deviceMap_;
    const fs::path map_ = deviceMap_.Directory();
};

/// The simulator loop for one port on a thread of its own.
class RunningSim
{
public:
    explicit RunningSim(TSimDevice& device) : loop_(device)
    {
        std::string error;
        port_ = TSimPort::Open({}, error);
        EXPECT_TRUE(port_) << error;
        if (!port_)
            return;
        std::packaged_task<TSimLoop::TEnd()> task([this] { return loop_.Run(port_->DeviceFd()); });
        end_ = task.get_future();
        thread_ = std::thread(std::move(task));
    }
    ~RunningSim()
    {
        if (thread_.joinable()) {
            loop_.Stop();
            thread_.join();
        }
    }

    /// Waits for the loop to end by itself; stops it when it does not.
    std::optional<TSimLoop::TEnd> WaitEnd(std::chrono::milliseconds wait)
    {
        if (!thread_.joinable())
            return std::nullopt;
        std::optional<TSimLoop::TEnd> end;
        if (end_.wait_for(wait) == std::future_status::ready)
            end = end_.get();
        else
            loop_.Stop();
        thread_.join();
        return end;
    }

    TSimPort* Port() { return port_.get(); }

private:
    TSimLoop loop_;
    std::unique_ptr<TSimPort> port_;
    std::future<TSimLoop::TEnd> end_;
    std::thread thread_;
};

} // namespace

TEST_F(SimTest, BusAnswersAPollRequestThroughTheDeviceMapLink)
{
    TBusOptions options;
    ParseAddressList("0-9", options.addresses);
    TBusDevice bus(options);
    RunningSim sim(bus);
    ASSERT_TRUE(sim.Port());
    EXPECT_EQ(sim.Port()->ComNumber(), 1);
    EXPECT_EQ(platform::ResolveComDevice(1), (map_ / "COM1").string());

    const int peer = OpenPeer(*platform::ResolveComDevice(1));
    ASSERT_GE(peer, 0) << std::strerror(errno);
    WriteAll(peer, ">0T<FE\r\n");
    const std::string answer = ReadUntil(peer, Contains('\n', 1), After(kWait));
    ExpectWellFramedAnswer(answer, '0');

    // The program closes the port and opens it again: the line keeps working for it.
    close(peer);
    const int again = OpenPeer(*platform::ResolveComDevice(1));
    ASSERT_GE(again, 0);
    WriteAll(again, ">7T<05\r\n");
    ExpectWellFramedAnswer(ReadUntil(again, Contains('\n', 1), After(kWait)), '7');
    close(again);

    EXPECT_EQ(sim.WaitEnd(0ms), std::nullopt) << "the loop ended by itself";
    EXPECT_EQ(bus.Counts().answered, 2u);
}

TEST_F(SimTest, DeviceStartsWhenThePortIsOpenedAndJudgesTheAnswers)
{
    TRS232Options options;
    options.kinds = {TMessageKind::mkA, TMessageKind::mkR};
    options.rate = 50;
    options.count = 6;
    options.settle = 50ms;
    options.answerTimeout = 300ms;
    TRS232Device device(options);
    RunningSim sim(device);
    ASSERT_TRUE(sim.Port());
    const int peer = OpenPeer(sim.Port()->LinkPath()); // its flush tells the device the port is open
    ASSERT_GE(peer, 0);

    std::string received;
    for (int i = 1; i <= 6; ++i) {
        received = ReadUntil(peer, Contains(kEtx, 1), After(kWait), std::move(received));
        const size_t end = received.find(kEtx);
        ASSERT_NE(end, std::string::npos) << "message " << i << " did not come";
        const std::string message = received.substr(0, end + 1);
        received.erase(0, end + 1);
        if (i <= 4)
            WriteAll(peer, ExpectedAnswer(message));
        else if (i == 5)
            WriteAll(peer, message); // back unchanged: wrong
        // the sixth is not answered
    }
    EXPECT_EQ(sim.WaitEnd(kWait), TSimLoop::TEnd::eFinished);
    close(peer);

    const TRS232Device::TCounts& counts = device.Counts();
    EXPECT_EQ(counts.sent, 6u);
    EXPECT_EQ(counts.correct, 4u);
    EXPECT_EQ(counts.wrong, 1u);
    EXPECT_EQ(counts.missing, 1u);
    EXPECT_GE(counts.flushes, 1u);
    EXPECT_EQ(device.Latency().Count(), 4u);
    EXPECT_GT(device.Latency().MaxMs(), 0.0);
    EXPECT_LT(device.Latency().MaxMs(), 300.0);
}

// ---- the lintaker-sim program ----

namespace
{

std::string SimulatorPath()
{
    // The program and the tests land in the same bin directory of a build.
    return (fs::read_symlink("/proc/self/exe").parent_path() / "lintaker-sim").string();
}

struct Child {
    pid_t pid = -1;
    int out = -1;
    int err = -1;
};

Child Spawn(const std::vector<std::string>& args)
{
    int out[2], err[2];
    if (pipe2(out, O_CLOEXEC) != 0 || pipe2(err, O_CLOEXEC) != 0)
        return {};
    const std::string path = SimulatorPath();
    std::vector<char*> argv{const_cast<char*>(path.c_str())};
    for (const std::string& a : args)
        argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(out[1], 1);
        dup2(err[1], 2);
        execv(path.c_str(), argv.data());
        _exit(127);
    }
    close(out[1]);
    close(err[1]);
    return {pid, out[0], err[0]};
}

/// Waits for the child's end (its stdout closes first) and returns its exit status; kills it when
/// it does not end within the bound.
int WaitExit(Child& child, std::string* rest = nullptr)
{
    bool ended = false;
    const std::string tail = ReadUntil(
        child.out, [](const std::string&) { return false; }, After(kWait), {}, &ended);
    EXPECT_TRUE(ended) << "the simulator did not end";
    if (!ended)
        kill(child.pid, SIGKILL);
    if (rest)
        *rest = tail;
    int status = 0;
    waitpid(child.pid, &status, 0);
    close(child.out);
    close(child.err);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

std::string ReadFile(const fs::path& path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class SimProgram : public SimTest
{
protected:
    void SetUp() override
    {
        SimTest::SetUp();
        if (!fs::exists(SimulatorPath()))
            GTEST_FAIL() << SimulatorPath() << " is missing: build the lintaker-sim target";
    }
};

} // namespace

TEST_F(SimProgram, RegistersWhenReadyAndRemovesItsLinkOnSigterm)
{
    deviceMap_.Link(3, "/dev/null"); // taken: the simulator goes on to COM4
    const fs::path report = map_ / "report.json";
    Child child = Spawn({"bus", "--first", "3", "--report", report.string()});
    ASSERT_GT(child.pid, 0);

    const std::string ready = ReadUntil(child.out, Contains('\n', 1), After(kWait));
    ASSERT_THAT(ready, StartsWith("lintaker-sim: COM4 -> /dev/pts/")) << ready;
    EXPECT_THAT(ready, HasSubstr(" (bus)\n"));
    const std::string pts =
        ready.substr(ready.find("/dev/pts/"), ready.find(" (bus)") - ready.find("/dev/pts/"));
    EXPECT_EQ(fs::read_symlink(map_ / "COM4"), pts);

    const int peer = OpenPeer((map_ / "COM4").string());
    ASSERT_GE(peer, 0);
    WriteAll(peer, ">0T<FE\r\n");
    ExpectWellFramedAnswer(ReadUntil(peer, Contains('\n', 1), After(kWait)), '0');

    kill(child.pid, SIGTERM);
    std::string summary;
    EXPECT_EQ(WaitExit(child, &summary), 0);
    close(peer);
    EXPECT_FALSE(fs::exists(fs::symlink_status(map_ / "COM4"))) << "link left behind";
    EXPECT_TRUE(fs::exists(fs::symlink_status(map_ / "COM3"))) << "someone else's link removed";
    EXPECT_THAT(summary, HasSubstr("requests: 1 valid"));
    const std::string json = ReadFile(report);
    EXPECT_THAT(json, HasSubstr("\"signal\": 15"));
    EXPECT_THAT(json, HasSubstr("\"answers_sent\": 1"));
}

TEST_F(SimProgram, EndsAfterItsDurationAndRefusesBadOptionsAndTakenPorts)
{
    const fs::path report = map_ / "device.json";
    Child timed = Spawn({"device", "--port", "9", "--duration", "0.3", "--report", report.string()});
    ASSERT_GT(timed.pid, 0);
    ASSERT_THAT(ReadUntil(timed.out, Contains('\n', 1), After(kWait)),
                StartsWith("lintaker-sim: COM9 -> /dev/pts/"));
    EXPECT_TRUE(fs::is_symlink(map_ / "COM9"));
    EXPECT_EQ(WaitExit(timed), 0);
    EXPECT_FALSE(fs::exists(fs::symlink_status(map_ / "COM9")));
    EXPECT_THAT(ReadFile(report), HasSubstr("\"end\": \"duration\""));

    Child bad = Spawn({"bus", "--delay", "soon"});
    ASSERT_GT(bad.pid, 0);
    const std::string message = ReadUntil(bad.err, Contains('\n', 2), After(kWait));
    EXPECT_EQ(WaitExit(bad), 2);
    EXPECT_THAT(message, HasSubstr("--delay expects milliseconds"));

    deviceMap_.Link(2, "/dev/null");
    Child taken = Spawn({"bus", "--port", "2"});
    ASSERT_GT(taken.pid, 0);
    const std::string refusal = ReadUntil(taken.err, Contains('\n', 1), After(kWait));
    EXPECT_EQ(WaitExit(taken), 1);
    EXPECT_THAT(refusal, HasSubstr("COM2 is already taken"));
    EXPECT_EQ(fs::read_symlink(map_ / "COM2"), "/dev/null");
}
