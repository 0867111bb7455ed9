// Main window on a serial line: connecting, the poll rotation on the wire and in the log, the two
// modes around an open line, line settings reaching it, and what the user is told when it fails.
#include "app/FrmMain.h"

#include "app/RadioGroup.h"
#include "platform/win32.h"
#include "runtime/Application.h"
#include "runtime/qt/QtApplication.h"
#include "serial/dispatch/DeviceRegistry.h"
#include "serial/port/ApdComPort.h"
#include "tests/app/FormLineSupport.h"
#include "tests/support/HolderProcess.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <functional>
#include <ostream>
#include <string>
#include <tuple>
#include <vector>

using namespace formtest;
using testing::ElementsAre;

namespace
{

// The line settings the open port's dispatcher holds.
struct TLine {
    uint32_t Baud = 0;
    uint16_t Parity = 0;
    uint8_t DataBits = 0, StopBits = 0;
};
TLine DispatcherLine(const TApdComPort* port)
{
    TLine line;
    const TRegistryLock lock;
    for (int32_t handle = 0; handle < DeviceRegistry::Count(); ++handle)
        if (TApdBaseDispatcher* dispatcher = DeviceRegistry::At(handle);
            dispatcher && dispatcher->Owner() == port)
            dispatcher->GetLineSettings(line.Baud, line.Parity, line.DataBits, line.StopBits);
    return line;
}

class FormMainLine : public FormLineTest
{
protected:
    static void ExpectClosed(const TTestFormMain& form)
    {
        EXPECT_FALSE(form.ComPort->Open());
        EXPECT_EQ(form.ButtonSaveComConnection->text(), QStringLiteral("Connect"));
        EXPECT_TRUE(form.ComboBoxCOM->isEnabled());
        EXPECT_FALSE(form.TimerPolling->isActive());
    }

    // Records each open and close notification with the button's caption after the window's handler.
    static void RecordNotifications(TTestFormMain& form, QStringList& events)
    {
        TApdComPort* port = form.ComPort;
        port->SetOnPortOpen([&form, &events, handler = port->OnPortOpen()](TComponent* sender) {
            handler(sender);
            events.append(QStringLiteral("opened ") + form.ButtonSaveComConnection->text());
        });
        port->SetOnPortClose([&form, &events, handler = port->OnPortClose()](TComponent* sender) {
            handler(sender);
            events.append(QStringLiteral("closed ") + form.ButtonSaveComConnection->text());
        });
    }
};

TEST_F(FormMainLine, PollsTheRotationAndGoesOnWhereItStoppedAfterAReconnect)
{
    TPeerLine line(12);
    TTestFormMain form;
    Connect(form, line);
    EXPECT_EQ(form.ComPort->ComNumber(), 12);
    EXPECT_EQ(form.ButtonSaveComConnection->text(), QStringLiteral("Disconnect"));
    EXPECT_FALSE(form.ComboBoxCOM->isEnabled());
    EXPECT_TRUE(form.TimerPolling->isActive());
    ASSERT_TRUE(line.WaitForBytes(3 * 8));
    EXPECT_EQ(line.Received, Polls(3));

    form.ButtonSaveComConnection->click();
    ExpectClosed(form);
    PumpPastOnePoll();
    EXPECT_EQ(line.Received, Polls(3));
    EXPECT_EQ(Log(form), Polls(3, "\n"));

    // Across the end of the rotation: the eleventh poll is address 0 again.
    form.ButtonSaveComConnection->click();
    ASSERT_TRUE(line.WaitForBytes(11 * 8));
    EXPECT_EQ(line.Received, Polls(11));
    EXPECT_EQ(Log(form), Polls(11, "\n"));
    EXPECT_TRUE(Errors.empty());
}

TEST_F(FormMainLine, ModeSwitchWhileConnectedReopensTheLineAndStopsOrRestartsThePolls)
{
    TPeerLine line(7);
    QStringList events;
    TTestFormMain form;
    RecordNotifications(form, events);
    Connect(form, line);
    ASSERT_TRUE(line.WaitForBytes(8));
    events.clear();

    form.RadioButtonListen->setChecked(true);
    EXPECT_THAT(events, ElementsAre("closed Connect", "opened Disconnect"));
    EXPECT_TRUE(form.ComPort->Open());
    EXPECT_FALSE(form.TimerPolling->isActive());
    EXPECT_TRUE(form.CheckBoxProtocol->isVisible());
    PumpPastOnePoll();
    EXPECT_EQ(line.Received, Polls(1));

    events.clear();
    form.RadioButtonPolling->setChecked(true);
    EXPECT_THAT(events, ElementsAre("closed Connect", "opened Disconnect"));
    EXPECT_TRUE(form.TimerPolling->isActive());
    EXPECT_FALSE(form.CheckBoxProtocol->isVisible());
    ASSERT_TRUE(line.WaitForBytes(2 * 8));
    EXPECT_EQ(line.Received, Polls(2));

    // Closing the window closes the line.
    events.clear();
    form.close();
    EXPECT_THAT(events, ElementsAre("closed Connect"));
    ExpectClosed(form);
    EXPECT_TRUE(Errors.empty());
}

TEST_F(FormMainLine, BaudAndFormatReachTheLineStoredWhileClosedAndAtOnceWhileOpen)
{
    TPeerLine line(9);
    QStringList events;
    TTestFormMain form;
    form.RadioGroupBaudrate->SetItemIndex(0);
    form.RadioGroupParameterRS232->SetItemIndex(2);
    EXPECT_EQ(form.ComPort->Baud(), 1200);
    Connect(form, line);
    EXPECT_EQ(line.Speed(), speed_t(B1200));
    TLine open = DispatcherLine(form.ComPort);
    EXPECT_EQ(open.Baud, 1200u);
    EXPECT_EQ(open.DataBits, 7);
    EXPECT_EQ(open.Parity, pOdd);

    RecordNotifications(form, events);
    form.RadioGroupBaudrate->SetItemIndex(5);
    EXPECT_EQ(line.Speed(), speed_t(B38400));
    EXPECT_EQ(DispatcherLine(form.ComPort).Baud, 38400u);

    using TFormat = std::tuple<int, TParity, int>; // data bits, parity, stop bits
    const TFormat formats[] = {{7, pNone, 1}, {7, pEven, 1}, {7, pOdd, 1},
                               {8, pNone, 1}, {8, pEven, 1}, {8, pOdd, 1}};
    for (int index = 5; index >= 0; --index) {
        form.RadioGroupParameterRS232->SetItemIndex(index);
        const TApdComPort& port = *form.ComPort;
        EXPECT_EQ(TFormat(port.DataBits(), port.Parity(), port.StopBits()), formats[index]) << index;
        open = DispatcherLine(form.ComPort);
        EXPECT_EQ(TFormat(open.DataBits, TParity(open.Parity), open.StopBits), formats[index]) << index;
    }
    EXPECT_EQ(open.Baud, 38400u);
    EXPECT_TRUE(events.isEmpty()) << "the line was closed for a change of its settings";
    EXPECT_TRUE(form.ComPort->Open());
}

TEST_F(FormMainLine, FailuresAreShownAndLeaveThePortClosed)
{
    TPeerLine line(5);
    // A number that wrapped around at 16 bits would reach this line.
    line.Map.Link(70000 - 65536, line.Pty.SlavePath());
    const struct {
        const char* Shown;
        const char* Message;
    } cases[] = {
        {"COM250", "ie_BadId - Specified comport doesn't exist"},
        {"", "'' ist kein gültiger Integerwert"},
        {"COMx", "'x' ist kein gültiger Integerwert"},
        {"com5", "'com5' ist kein gültiger Integerwert"},
        {"COM5 ", "'5 ' ist kein gültiger Integerwert"},
        {"COM70000", "'70000' ist kein gültiger Integerwert"},
        {"COM-65531", "'-65531' ist kein gültiger Integerwert"},
        {"COM99999999999", "'99999999999' ist kein gültiger Integerwert"},
        {"COM0", "The ComNumber property of the TApdComPort has not been set"},
    };
    for (const auto& c : cases) {
        TTestFormMain form;
        if (*c.Shown)
            form.ComboBoxCOM->addItem(QString::fromUtf8(c.Shown));
        form.ButtonSaveComConnection->click();
        EXPECT_THAT(form.Messages, ElementsAre(QString::fromUtf8(c.Message))) << c.Shown;
        ExpectClosed(form);
    }

    // Held by another opener; once it lets go the same click connects.
    TTestFormMain form;
    form.ComboBoxCOM->addItem(line.Name());
    HANDLE holder =
        CreateFileA(testsupport::ScopedDeviceMap::DeviceName(5).c_str(), GENERIC_READ | GENERIC_WRITE, 0,
                    nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
    ASSERT_NE(holder, INVALID_HANDLE_VALUE);
    form.ButtonSaveComConnection->click();
    EXPECT_THAT(form.Messages, ElementsAre("ie_Open - device already open"));
    EXPECT_THAT(form.Details,
                ElementsAre(QString("already open in this program (process %1)").arg(getpid())));
    ExpectClosed(form);
    CloseHandle(holder);
    form.ButtonSaveComConnection->click();
    ASSERT_TRUE(form.ComPort->Open());

    // A mode switch that cannot reopen the line: its exception is shown by the error display
    // where the button calls in, nothing unwinds through Qt, and the port stays closed.
    line.Map.Unlink(5);
    EXPECT_NO_THROW(form.RadioButtonListen->setChecked(true));
    EXPECT_THAT(Errors, ElementsAre("ie_BadId - Specified comport doesn't exist"));
    EXPECT_THAT(form.Messages, ElementsAre("ie_Open - device already open"));
    ExpectClosed(form);
}

TEST_F(FormMainLine, PortHeldByAnotherProgramNamesItsHolder)
{
    TPeerLine line(5);
    TTestFormMain form;
    form.ComboBoxCOM->addItem(line.Name());
    // A script that opened the line with a plain open(): polls would otherwise split its bytes.
    testsupport::HolderProcess script({"plain", line.Pty.SlavePath()});
    ASSERT_EQ(script.Report(), "opened");
    form.ButtonSaveComConnection->click();
    EXPECT_THAT(form.Messages, ElementsAre("ie_Open - device already open"));
    EXPECT_THAT(form.Details, ElementsAre(QString("held by lintaker-holder (process %1)").arg(script.Pid())));
    ExpectClosed(form);
    EXPECT_TRUE(line.Received.isEmpty()) << "something reached the held line";

    ASSERT_TRUE(script.Finish());
    form.ButtonSaveComConnection->click();
    EXPECT_TRUE(form.ComPort->Open());
    EXPECT_THAT(form.Messages, ElementsAre("ie_Open - device already open"));
}

} // namespace
