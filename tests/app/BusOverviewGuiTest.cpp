// The bus overview: the checksum of an answer, what counts as an answer, a poll and its delay,
// and the window's counts against the simulator's own for a bus with silent addresses and wrong
// checksums.
#include "app/BusOverview.h"
#include "app/FrmMain.h"

#include "platform/posix/devicemap.h"
#include "protocol/UnitEntDeCoder.h"
#include "tests/app/FormLineSupport.h"
#include "tools/sim/BusDevice.h"
#include "tools/sim/SimLoop.h"
#include "tools/sim/SimPort.h"

#include <QApplication>
#include <QClipboard>
#include <QPushButton>
#include <QTableWidget>

#include <gmock/gmock.h>

#include <memory>
#include <thread>

using namespace formtest;
using namespace std::chrono_literals;

namespace
{

using TClock = TBusCounter::TClock;

TEST(BusCounter, ChecksumIsTheLowByteOfTheSumUpToTheLastLessThan)
{
    const std::string answer =
        ">0t000000000000000000000000000000000000000000000000000000000000000000000000000000000803111601<13";
    EXPECT_TRUE(TBusCounter::ChecksumRight(answer));
    EXPECT_TRUE(TBusCounter::ChecksumRight(answer + "\r\n"));
    EXPECT_FALSE(TBusCounter::ChecksumRight(answer.substr(0, answer.size() - 1) + "4"));
    EXPECT_TRUE(TBusCounter::ChecksumRight(FrameMessage("5t<inner<")));      // the last "<" counts
    EXPECT_TRUE(TBusCounter::ChecksumRight(FrameMessage("9t\xE4\xFF\x80"))); // bytes count unsigned
    const std::string lower = FrameMessage("1tAB");
    EXPECT_TRUE(TBusCounter::ChecksumRight(
        lower.substr(0, lower.size() - 2) +
        QByteArray::fromStdString(lower.substr(lower.size() - 2)).toLower().toStdString()));
    for (const char* broken : {">0t1", ">0t1<", ">0t1<1", ">0t1<1G", ">0t1<FE0", ""})
        EXPECT_FALSE(TBusCounter::ChecksumRight(broken)) << broken;
}

TEST(BusCounter, CountsPollsAnswersSilenceAndDelay)
{
    TBusCounter counter;
    const TClock::time_point t0 = TClock::now();
    auto answer = [](char address, bool right = true) {
        std::string framed = FrameMessage(std::string{address, 't'} + "0001");
        if (!right)
            framed.back() = framed.back() == '0' ? '1' : '0';
        return framed + "\r\n";
    };
    counter.Request('0', t0);
    counter.Answer(">0T<FE\r\n", t0 + 1ms); // an echo is nobody's answer
    counter.Answer(answer('0'), t0 + 7ms);
    counter.Request('1', t0 + 500ms); // silent
    counter.Request('2', t0 + 1000ms);
    counter.Answer(answer('1'), t0 + 1010ms); // late for 1: still an answer, but the poll went unanswered
    counter.Answer(answer('2', false), t0 + 1020ms);
    counter.Answer("garbage", t0 + 1030ms);
    counter.Answer(">Xt<00", t0 + 1030ms);
    counter.Request('3', t0 + 1500ms);

    EXPECT_EQ(counter.Counts(0).Requests, 1u);
    EXPECT_EQ(counter.Counts(0).Answers, 1u);
    EXPECT_EQ(counter.Counts(0).Unanswered, 0u);
    EXPECT_EQ(counter.Counts(0).LastDelay, 7ms);
    EXPECT_EQ(counter.Counts(1).Answers, 1u);
    EXPECT_EQ(counter.Counts(1).Unanswered, 1u);
    EXPECT_EQ(counter.Counts(1).LastDelay, 510ms);
    EXPECT_EQ(counter.Counts(2).Answers, 1u);
    EXPECT_EQ(counter.Counts(2).BadChecksums, 1u);
    EXPECT_EQ(counter.Counts(2).Unanswered, 0u);
    EXPECT_EQ(counter.Counts(3).Requests, 1u);
    EXPECT_EQ(counter.Counts(3).Unanswered, 0u); // may still be answered
    EXPECT_FALSE(counter.Counts(3).LastDelay);

    EXPECT_THAT(counter.Text().toStdString(),
                testing::StartsWith(
                    "Address\tRequests\tAnswers\tNo answer\tBad checksum\tLast delay (ms)\n"
                    "0\t1\t1\t0\t0\t7.0\n1\t1\t1\t1\t0\t510.0\n2\t1\t1\t0\t1\t20.0\n3\t1\t0\t0\t0\t\n"));
    counter.Reset();
    EXPECT_EQ(counter.Counts(0).Requests, 0u);
    counter.Request('4', t0 + 2000ms);
    EXPECT_EQ(counter.Counts(3).Unanswered, 0u) << "a reset forgets the poll in flight";
}

/// The simulator's bus on a pty of its own, on a thread of its own, registered in the device map.
class TRunningBus
{
public:
    explicit TRunningBus(sim::TBusOptions options) : Bus(std::move(options)), Loop(Bus)
    {
        std::string error;
        Port = sim::TSimPort::Open({}, error);
        if (!Port)
            throw std::runtime_error(error);
        Thread = std::thread([this] { Loop.Run(Port->DeviceFd()); });
    }
    ~TRunningBus() { Stop(); }
    /// Ends the loop; its counts may be read after this.
    void Stop()
    {
        if (Thread.joinable()) {
            Loop.Stop();
            Thread.join();
        }
    }
    QString Name() const { return QStringLiteral("COM%1").arg(Port->ComNumber()); }

    sim::TBusDevice Bus;
    sim::TSimLoop Loop;
    std::unique_ptr<sim::TSimPort> Port;
    std::thread Thread;
};

class BusOverview : public FormLineTest
{
protected:
    void SetUp() override
    {
        FormLineTest::SetUp();
        platform::SetSysClassTtyRootForTesting("/nonexistent-lintaker-sysfs");
    }
    void TearDown() override
    {
        platform::SetSysClassTtyRootForTesting("");
        FormLineTest::TearDown();
    }
    testsupport::ScopedDeviceMap Map;
};

TEST_F(BusOverview, CountsMatchTheSimulatorsWithSilentAddressesAndWrongChecksums)
{
    sim::TBusOptions options;
    ASSERT_TRUE(sim::ParseAddressList("0-9", options.addresses));
    options.silent = {'3', '7'};
    options.badChecksum = {'5'};
    options.echo = true; // echoes of the requests must not count as answers
    TRunningBus bus(options);

    TTestFormMain form;
    // Two rounds quicker than the real beat; the poll step itself is unchanged.
    form.TimerPolling->setInterval(60);
    form.show();
    form.ComboBoxCOM->setCurrentIndex(form.ComboBoxCOM->findText(bus.Name()));
    ASSERT_EQ(form.ComboBoxCOM->currentText(), bus.Name());
    TFormBusOverview* overview = form.ShowBusOverview();
    form.ButtonSaveComConnection->click();
    ASSERT_TRUE(form.Messages.isEmpty()) << form.Messages.join(u'\n').toStdString();

    const TBusCounter& counter = form.BusCounter();
    ASSERT_TRUE(PumpUntil([&] { return counter.Counts(9).Answers >= 2; }));
    form.TimerPolling->stop();
    // What is on its way still arrives: the last request's answer, unless its address is silent.
    uint64_t requests = 0;
    auto settled = [&] {
        requests = 0;
        uint64_t answers = 0;
        for (int a = 0; a < TBusCounter::kAddresses; ++a) {
            requests += counter.Counts(a).Requests;
            answers += counter.Counts(a).Answers;
        }
        const int last = static_cast<int>((requests - 1) % 10);
        const uint64_t silentRequests = counter.Counts(3).Requests + counter.Counts(7).Requests;
        return answers + silentRequests == requests &&
               (last == 3 || last == 7 || counter.Counts(last).Answers > 0);
    };
    ASSERT_TRUE(PumpUntil(settled));
    form.ButtonSaveComConnection->click();
    bus.Stop();

    const sim::TBusDevice::TCounts& simulated = bus.Bus.Counts();
    EXPECT_EQ(simulated.valid, requests);
    uint64_t unanswered = 0;
    for (int a = 0; a < TBusCounter::kAddresses; ++a) {
        SCOPED_TRACE(a);
        const TAddressCounts& counts = counter.Counts(a);
        const char address = static_cast<char>('0' + a);
        const bool silent = options.silent.count(address) != 0;
        EXPECT_EQ(counts.Requests, simulated.perAddress.at(address));
        EXPECT_GE(counts.Requests, 2u);
        EXPECT_EQ(counts.Answers, silent ? 0u : counts.Requests);
        EXPECT_EQ(counts.Unanswered, silent ? counts.Requests : 0u);
        EXPECT_EQ(counts.BadChecksums, options.badChecksum.count(address) != 0 ? counts.Answers : 0u);
        EXPECT_EQ(counts.LastDelay.has_value(), !silent);
        if (counts.LastDelay) {
            EXPECT_LT(*counts.LastDelay, 5s);
        }
        unanswered += counts.Unanswered;
    }
    EXPECT_EQ(unanswered, simulated.silent);
    EXPECT_EQ(simulated.answered, requests - simulated.silent);

    // The tool window shows the same, and copies it as text.
    ASSERT_TRUE(overview->isVisible());
    EXPECT_EQ(overview->GridCounts->item(3, 2)->text(), QString::number(counter.Counts(3).Unanswered));
    EXPECT_EQ(overview->GridCounts->item(5, 3)->text(), QString::number(counter.Counts(5).BadChecksums));
    overview->ButtonCopy->click();
    EXPECT_EQ(QApplication::clipboard()->text(), counter.Text());
    overview->ButtonReset->click();
    EXPECT_EQ(counter.Counts(0).Requests, 0u);
    EXPECT_EQ(overview->GridCounts->item(0, 0)->text(), QStringLiteral("0"));
    EXPECT_TRUE(Errors.empty());
}

} // namespace
