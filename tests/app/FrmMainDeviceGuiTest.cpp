// A device that goes and comes back, end to end on the real window: one marked notice and no more
// requests while it is away, its name released, and polling resumed at the next address when it
// returns; Disconnect ends the wait.
#include "app/FrmMain.h"

#include "platform/posix/devicemap.h"
#include "serial/dispatch/ApdBaseDispatcher.h"
#include "serial/packet/AdPacket.h"
#include "serial/port/ApdComPort.h"
#include "tests/app/FormLineSupport.h"

#include <QDir>
#include <QRadioButton>
#include <QTemporaryDir>

#include <gmock/gmock.h>

#include <chrono>
#include <memory>
#include <string>
#include <thread>

#include <climits>
#include <dirent.h>
#include <unistd.h>

using namespace formtest;

namespace
{

// A device the test pulls out and plugs back in: a fresh pty registered as COM<number> at each
// plug. While plugged the test holds a slave of its own, so that a close of the port is no hang-up.
class TPluggedLine
{
public:
    TPluggedLine(testsupport::ScopedDeviceMap& map, int number) : Number(number), FMap(map) { Plug(); }
    ~TPluggedLine() { Pull(); }

    QString Name() const { return QStringLiteral("COM%1").arg(Number); }
    const std::string& SlavePath() const { return FPty->SlavePath(); }

    /// The far end vanishes as an unplugged adapter does: every descriptor of the test's side goes.
    void Pull()
    {
        FNotifier.reset();
        if (FKeeper >= 0)
            ::close(FKeeper);
        FKeeper = -1;
        FPty.reset();
    }
    /// A new device under the same map name, or under `number` (the old name then goes, as the
    /// node of an unplugged adapter does), with nothing received yet.
    void Plug(int number = 0)
    {
        if (number != 0 && number != Number) {
            FMap.Unlink(Number);
            Number = number;
        }
        FPty = std::make_unique<testsupport::PtyPair>();
        FMap.Link(Number, FPty->SlavePath());
        FKeeper = ::open(FPty->SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        Received.clear();
        FNotifier = std::make_unique<QSocketNotifier>(FPty->Master(), QSocketNotifier::Read);
        QObject::connect(FNotifier.get(), &QSocketNotifier::activated, [this] {
            char buffer[4096];
            for (ssize_t n; (n = ::read(FPty->Master(), buffer, sizeof buffer)) > 0;)
                Received.append(buffer, n);
        });
    }
    void Write(const std::string& bytes) { FPty->WriteAll(bytes); }
    bool WaitForBytes(qsizetype count)
    {
        return PumpUntil([&] { return Received.size() >= count; });
    }

    int Number;
    QByteArray Received;

private:
    testsupport::ScopedDeviceMap& FMap;
    std::unique_ptr<testsupport::PtyPair> FPty;
    std::unique_ptr<QSocketNotifier> FNotifier;
    int FKeeper = -1;
};

// Whether this process still has a descriptor of the device at `path` open.
bool ProcessHolds(const std::string& path)
{
    bool held = false;
    if (DIR* fds = opendir("/proc/self/fd")) {
        while (const dirent* entry = readdir(fds)) {
            const std::string link = std::string("/proc/self/fd/") + entry->d_name;
            char target[PATH_MAX];
            const ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
            if (n <= 0)
                continue;
            const std::string name(target, static_cast<size_t>(n));
            // A node that has gone reads "<path> (deleted)".
            if (name == path || name.rfind(path + " ", 0) == 0)
                held = true;
        }
        closedir(fds);
    }
    return held;
}

QStringList Lines(const TFormMain& form)
{
    form.TrafficLog->Flush();
    return form.MemoPolling->toPlainText().split(u'\n');
}

qsizetype CountStarting(const QStringList& lines, const QString& start)
{
    return std::count_if(lines.begin(), lines.end(),
                         [&](const QString& line) { return line.startsWith(start); });
}

class FormDevice : public FormLineTest
{
protected:
    static void Connect(TTestFormMain& form, const TPluggedLine& line)
    {
        form.show();
        form.ComboBoxCOM->setCurrentIndex(form.ComboBoxCOM->findText(line.Name()));
        ASSERT_EQ(form.ComboBoxCOM->currentText(), line.Name()) << "the port list lacks the line";
        form.ButtonSaveComConnection->click();
        ASSERT_TRUE(form.ComPort->Open());
    }
    static bool WaitForLogLine(const TFormMain& form, const QString& start)
    {
        return PumpUntil([&] { return CountStarting(Lines(form), start) > 0; });
    }
    static void ExpectWaiting(const TFormMain& form)
    {
        EXPECT_FALSE(form.ComPort->Open());
        EXPECT_EQ(form.ComPort->PortPhase(), ppClosed);
        EXPECT_FALSE(form.TimerPolling->isActive());
        EXPECT_EQ(form.ButtonSaveComConnection->text(), QStringLiteral("Disconnect"));
        EXPECT_FALSE(form.ComboBoxCOM->isEnabled());
    }

    testsupport::ScopedDeviceMap map;
};

const QString kGone = QStringLiteral("*** COM%1: the device has gone");
const QString kBack = QStringLiteral("*** COM%1: the device is back");

TEST_F(FormDevice, PulledWhilePollingOneNoticeNoRequestsThenPollingGoesOnAtTheNextAddress)
{
    TPluggedLine line(map, 41);
    TTestFormMain form;
    Connect(form, line);
    ASSERT_TRUE(line.WaitForBytes(16)) << "two polls";
    const std::string slave = line.SlavePath();

    line.Pull();
    ASSERT_TRUE(WaitForLogLine(form, kGone.arg(41))) << Log(form).toStdString();
    PumpPastOnePoll();
    QStringList lines = Lines(form);
    const qsizetype notice = lines.indexOf(
        QStringLiteral("*** COM41: the device has gone (hung up or unplugged). Waiting for it to come back; "
                       "Disconnect stops waiting."));
    ASSERT_GE(notice, 2) << Log(form).toStdString();
    EXPECT_EQ(notice, lines.size() - 1) << "nothing logged after the notice: " << Log(form).toStdString();
    EXPECT_EQ(CountStarting(lines, QStringLiteral("*")), 1);
    ExpectWaiting(form);
    EXPECT_FALSE(ProcessHolds(slave)) << "the dead device is still held open";

    // The last request before the loss decides the next address.
    const QString last = lines.at(notice - 1);
    const auto polled = std::find(std::begin(kPolls), std::end(kPolls), last.toStdString());
    ASSERT_NE(polled, std::end(kPolls)) << last.toStdString();
    const QByteArray next = kPolls[(polled - std::begin(kPolls) + 1) % 10];

    line.Plug();
    ASSERT_TRUE(WaitForLogLine(form, kBack.arg(41))) << Log(form).toStdString();
    ASSERT_TRUE(line.WaitForBytes(8));
    EXPECT_EQ(line.Received.left(8), next + "\r\n");
    ASSERT_TRUE(PumpUntil([&] { return Lines(form).size() >= notice + 3; }));
    lines = Lines(form);
    EXPECT_EQ(lines.at(notice + 1),
              QStringLiteral("*** COM41: the device is back; connected again with the same settings."));
    EXPECT_EQ(lines.at(notice + 2).toLatin1(), next);
    EXPECT_TRUE(form.ComPort->Open());
    EXPECT_TRUE(form.TimerPolling->isActive());
    EXPECT_EQ(form.ButtonSaveComConnection->text(), QStringLiteral("Disconnect"));
    EXPECT_FALSE(form.ComboBoxCOM->isEnabled());
    EXPECT_TRUE(form.Messages.isEmpty());
    EXPECT_TRUE(Errors.empty());
}

TEST_F(FormDevice, AnAnswerTheLossBreaksOffIsShownBeforeTheNotice)
{
    TPluggedLine line(map, 49);
    TTestFormMain form;
    Connect(form, line);
    ASSERT_TRUE(line.WaitForBytes(8));
    line.Write(">0t00005070");
    ASSERT_TRUE(PumpUntil([&] {
        const TApdDataPacketManager* manager = form.DataPacket->Manager();
        return manager && manager->BufferCount() == 11;
    }));
    line.Pull();
    ASSERT_TRUE(WaitForLogLine(form, kGone.arg(49))) << Log(form).toStdString();
    const QStringList lines = Lines(form);
    const qsizetype notice = lines.size() - 1;
    ASSERT_GE(notice, 2) << Log(form).toStdString();
    EXPECT_EQ(lines.at(notice - 1), QStringLiteral(">0t00005070")) << Log(form).toStdString();
}

TEST_F(FormDevice, ADeviceLostSoonAfterItCameBackIsGivenAPause)
{
    TPluggedLine line(map, 48);
    TTestFormMain form;
    Connect(form, line);
    line.Pull();
    ASSERT_TRUE(WaitForLogLine(form, kGone.arg(48)));
    line.Plug();
    ASSERT_TRUE(WaitForLogLine(form, kBack.arg(48)));
    // Lost again at once, and there again at once: the second return waits out the pause.
    line.Pull();
    ASSERT_TRUE(PumpUntil([&] { return CountStarting(Lines(form), kGone.arg(48)) == 2; }));
    QElapsedTimer sinceLoss;
    sinceLoss.start();
    line.Plug();
    ASSERT_TRUE(PumpUntil([&] { return CountStarting(Lines(form), kBack.arg(48)) == 2; }, 10000))
        << Log(form).toStdString();
    EXPECT_GE(sinceLoss.elapsed(), 900) << "a flapping device is taken back without a pause";
}

TEST_F(FormDevice, ABeatDueBeforeTheNoticeArrivesLogsNoRequest)
{
    TPluggedLine line(map, 45);
    TTestFormMain form;
    Connect(form, line);
    ASSERT_TRUE(line.WaitForBytes(8));
    // The beats of this test are its own, so that one comes exactly between the loss and its notice.
    form.TimerPolling->stop();
    const qsizetype before = Lines(form).size();

    line.Pull();
    // The port's threads learn of the loss at once; the window only from its event loop, which
    // does not run here.
    const QDeadlineTimer deadline(10000);
    while (!form.ComPort->Dispatcher()->IsDeviceGone() && !deadline.hasExpired())
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    ASSERT_TRUE(form.ComPort->Dispatcher()->IsDeviceGone());
    QMetaObject::invokeMethod(form.TimerPolling, "timeout");

    ASSERT_TRUE(WaitForLogLine(form, kGone.arg(45))) << Log(form).toStdString();
    const QStringList lines = Lines(form);
    EXPECT_EQ(lines.size(), before + 1)
        << "a request logged for a device already gone: " << Log(form).toStdString();
}

TEST_F(FormDevice, DisconnectWhileWaitingLeavesAClosedPortThatStaysClosed)
{
    TPluggedLine line(map, 42);
    TTestFormMain form;
    Connect(form, line);
    ASSERT_TRUE(line.WaitForBytes(8));
    line.Pull();
    ASSERT_TRUE(WaitForLogLine(form, kGone.arg(42)));

    form.ButtonSaveComConnection->click();
    EXPECT_FALSE(form.ComPort->Open());
    EXPECT_EQ(form.ButtonSaveComConnection->text(), QStringLiteral("Connect"));
    EXPECT_TRUE(form.ComboBoxCOM->isEnabled());
    EXPECT_FALSE(form.TimerPolling->isActive());

    const QByteArray log = Log(form);
    line.Plug();
    // Longer than the slow retry: a wait still running would have reopened by now.
    PumpUntil([] { return false; }, 1500);
    EXPECT_FALSE(form.ComPort->Open());
    EXPECT_TRUE(line.Received.isEmpty());
    EXPECT_EQ(Log(form), log);

    // A plain Connect works as ever.
    form.ButtonSaveComConnection->click();
    EXPECT_TRUE(form.ComPort->Open());
    EXPECT_TRUE(form.Messages.isEmpty());
}

TEST_F(FormDevice, ClosingTheWindowWhileWaitingEndsTheWait)
{
    TPluggedLine line(map, 49);
    TTestFormMain form;
    Connect(form, line);
    line.Pull();
    ASSERT_TRUE(WaitForLogLine(form, kGone.arg(49)));
    form.close();
    line.Plug();
    PumpUntil([] { return false; }, 1500); // past the slow retry
    EXPECT_FALSE(form.ComPort->Open());
    EXPECT_TRUE(line.Received.isEmpty());
}

TEST_F(FormDevice, MonitoringResumesAnsweringWhenTheDeviceReturns)
{
    TPluggedLine line(map, 43);
    TTestFormMain form;
    form.RadioButtonListen->setChecked(true);
    Connect(form, line);
    line.Write("A1\x03");
    ASSERT_TRUE(line.WaitForBytes(3));
    line.Pull();
    ASSERT_TRUE(WaitForLogLine(form, kGone.arg(43)));
    ExpectWaiting(form);

    line.Plug();
    ASSERT_TRUE(WaitForLogLine(form, kBack.arg(43)));
    EXPECT_FALSE(form.TimerPolling->isActive());
    line.Write("AR2\x03");
    ASSERT_TRUE(line.WaitForBytes(4));
    EXPECT_EQ(line.Received, QByteArray("JY2\x03"));
    EXPECT_EQ(Log(form), QByteArray(">>> A1\n<<< J1\n"
                                    "*** COM43: the device has gone (hung up or unplugged). Waiting for it "
                                    "to come back; Disconnect stops waiting.\n"
                                    "*** COM43: the device is back; connected again with the same settings.\n"
                                    ">>> AR2\n<<< JY2\n"));
}

TEST_F(FormDevice, ADeviceBackButNotOpenableIsToldOnceAndTakenWhenItFrees)
{
    TPluggedLine line(map, 47);
    TTestFormMain form;
    Connect(form, line);
    line.Pull();
    ASSERT_TRUE(WaitForLogLine(form, kGone.arg(47)));

    line.Plug();
    const QString failing = QStringLiteral("*** COM47: the device is there again but does not open");
    {
        // Another user has the device by the time it is back.
        TApdComPort holder;
        holder.SetComNumber(47);
        holder.SetPromptForPort(false);
        holder.SetOpen(true);
        ASSERT_TRUE(WaitForLogLine(form, failing)) << Log(form).toStdString();
        EXPECT_THAT(Lines(form), testing::Contains(QStringLiteral(
                                     "*** COM47: the device is there again but does not open (ie_Open - "
                                     "device already open). Still trying; Disconnect stops waiting.")));
        PumpUntil([] { return false; }, 1500); // past another retry
        EXPECT_EQ(CountStarting(Lines(form), failing), 1);
        ExpectWaiting(form);
    }
    ASSERT_TRUE(WaitForLogLine(form, kBack.arg(47))) << Log(form).toStdString();
    EXPECT_TRUE(form.ComPort->Open());
    EXPECT_TRUE(form.Messages.isEmpty());
    EXPECT_TRUE(Errors.empty());
}

TEST_F(FormDevice, APseudoTerminalNumberGivenToAnotherProgramIsNotTakenForTheDevice)
{
    // The map's link leads through an alias, which stands in for the kernel handing the freed
    // pseudo-terminal number to another program: the link itself stays as it was.
    QTemporaryDir aliases;
    const std::string alias = aliases.filePath(QStringLiteral("pts-alias")).toStdString();
    auto pointAlias = [&](const std::string& target) {
        ::unlink(alias.c_str());
        ASSERT_EQ(::symlink(target.c_str(), alias.c_str()), 0);
    };
    auto first = std::make_unique<testsupport::PtyPair>();
    pointAlias(first->SlavePath());
    map.Link(48, alias);
    TTestFormMain form;
    form.show();
    form.ComboBoxCOM->setCurrentIndex(form.ComboBoxCOM->findText(QStringLiteral("COM48")));
    form.ButtonSaveComConnection->click();
    ASSERT_TRUE(form.ComPort->Open());
    first.reset();
    ASSERT_TRUE(WaitForLogLine(form, kGone.arg(48)));

    testsupport::PtyPair other;
    pointAlias(other.SlavePath());
    PumpUntil([] { return false; }, 1500); // past the slow retry
    ExpectWaiting(form);
    EXPECT_EQ(other.ReadExactly(1, std::chrono::milliseconds(0)), "") << "polled another program's terminal";

    // The device's own owner registers it anew: that is its return.
    map.Link(48, other.SlavePath());
    ASSERT_TRUE(WaitForLogLine(form, kBack.arg(48))) << Log(form).toStdString();
    std::string polled;
    EXPECT_TRUE(PumpUntil([&] {
        polled += other.ReadExactly(8 - polled.size(), std::chrono::milliseconds(0));
        return polled.size() == 8;
    })) << "no poll on the device that came back";
}

// Points the adapter identities at a directory of the test's own for as long as it lives.
class TScopedSerialById
{
public:
    TScopedSerialById() { platform::SetSerialByIdDirectoryForTesting(Directory.path().toStdString()); }
    ~TScopedSerialById() { platform::SetSerialByIdDirectoryForTesting({}); }
    void Link(const std::string& name, const std::string& target)
    {
        const std::string path = Directory.filePath(QString::fromStdString(name)).toStdString();
        ::unlink(path.c_str());
        ASSERT_EQ(::symlink(target.c_str(), path.c_str()), 0);
    }
    void Unlink(const std::string& name)
    {
        ::unlink(Directory.filePath(QString::fromStdString(name)).toStdString().c_str());
    }
    QTemporaryDir Directory;
};

TEST_F(FormDevice, AnAdapterThatComesBackUnderAnotherNameIsFoundByItsIdentity)
{
    TScopedSerialById byId;
    const std::string adapter = "usb-Lintaker_RS485_Adapter_A1B2C3-if00-port0";
    TPluggedLine line(map, 44);
    byId.Link(adapter, line.SlavePath());
    TPluggedLine stranger(map, 45); // another device, which must not be taken for it
    TTestFormMain form;
    Connect(form, line);
    ASSERT_TRUE(line.WaitForBytes(8));

    line.Pull();
    byId.Unlink(adapter);
    ASSERT_TRUE(WaitForLogLine(form, kGone.arg(44)));
    // The kernel gives the adapter another name, and the map another number, when it returns.
    stranger.Pull();
    stranger.Plug(44);
    PumpUntil([] { return false; }, 1500);
    EXPECT_FALSE(form.ComPort->Open()) << "another device under the old name was taken for the adapter";

    line.Plug(46);
    byId.Link(adapter, line.SlavePath());
    ASSERT_TRUE(WaitForLogLine(form, kBack.arg(46))) << Log(form).toStdString();
    EXPECT_THAT(
        Lines(form),
        testing::Contains(QStringLiteral(
            "*** COM46: the device is back (it was COM44); connected again with the same settings.")));
    EXPECT_EQ(form.ComboBoxCOM->currentText(), QStringLiteral("COM46"));
    EXPECT_EQ(form.ComPort->ComNumber(), 46);
    ASSERT_TRUE(line.WaitForBytes(8));
    EXPECT_TRUE(stranger.Received.isEmpty());
}

} // namespace
