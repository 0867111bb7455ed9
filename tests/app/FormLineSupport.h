// What the window tests on a serial line share: a pty registered as a COM port whose far end the
// test reads and writes from the event loop, a window whose message boxes are recorded, and a
// fixture that catches what reaches the error display.
#pragma once

#include "app/FrmMain.h"
#include "app/TrafficLog.h"

#include "runtime/Application.h"
#include "runtime/qt/QtApplication.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScopedDeviceMap.h"

#include <QComboBox>
#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QEventLoop>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTimer>

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <gmock/gmock.h>

#include <functional>
#include <ostream>
#include <string>
#include <vector>

// Failures show texts and bytes as such.
inline void PrintTo(const QString& text, std::ostream* out) { *out << '"' << text.toStdString() << '"'; }
inline void PrintTo(const QByteArray& bytes, std::ostream* out)
{
    *out << testing::PrintToString(bytes.toStdString());
}

namespace formtest
{

// Runs the event loop until the condition holds or the time is up; returns the condition.
inline bool PumpUntil(const std::function<bool()>& condition, int timeoutMs = 10000)
{
    const QDeadlineTimer deadline(timeoutMs);
    while (!condition() && !deadline.hasExpired()) {
        QEventLoop loop;
        QTimer::singleShot(10, &loop, &QEventLoop::quit);
        loop.exec();
    }
    return condition();
}

// Only to show that something does not happen: the loop runs for longer than one poll interval.
inline void PumpPastOnePoll()
{
    PumpUntil([] { return false; }, 700);
}

// The framed requests of one rotation, as the log shows them.
inline const char* const kPolls[] = {">0T<FE", ">1T<FF", ">2T<00", ">3T<01", ">4T<02",
                                     ">5T<03", ">6T<04", ">7T<05", ">8T<06", ">9T<07"};

// The first `count` requests, each followed by `end`: CR LF on the wire, a line break in the log.
inline QByteArray Polls(int count, const char* end = "\r\n")
{
    QByteArray polls;
    for (int i = 0; i < count; ++i)
        polls += QByteArray(kPolls[i % 10]) + end;
    return polls;
}

// The view as it stands once the lines waiting for their frame are drawn.
inline QByteArray Log(const TFormMain& form)
{
    form.TrafficLog->Flush();
    return form.MemoPolling->toPlainText().toLatin1() + '\n';
}

class TTestFormMain : public TFormMain
{
public:
    QStringList Messages;
    QStringList Details; // what the detailed messages showed behind their details button

protected:
    void ShowMessage(const QString& text) override { Messages.append(text); }
    void ShowDetailedMessage(const QString& text, const QString& details) override
    {
        Messages.append(text);
        Details.append(details);
    }
};

// A pty registered as COM<number>; the test reads the far end from the event loop. It keeps a slave
// descriptor of its own, so the master sees no hang-up while the port is closed.
class TPeerLine
{
public:
    explicit TPeerLine(int number) : Number(number)
    {
        Map.Link(number, Pty.SlavePath());
        Keeper = ::open(Pty.SlavePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        QObject::connect(&Notifier, &QSocketNotifier::activated, [this] {
            char buffer[4096];
            for (ssize_t n; (n = ::read(Pty.Master(), buffer, sizeof buffer)) > 0;)
                Received.append(buffer, n);
        });
    }
    ~TPeerLine() { ::close(Keeper); }

    QString Name() const { return QStringLiteral("COM%1").arg(Number); }
    /// Writes to the far end; the port receives it as one arrival or a few.
    void Write(const std::string& bytes) { Pty.WriteAll(bytes); }
    bool WaitForBytes(qsizetype count)
    {
        return PumpUntil([&] { return Received.size() >= count; });
    }
    speed_t Speed() const
    {
        termios settings{};
        tcgetattr(Pty.Master(), &settings);
        return cfgetospeed(&settings);
    }

    const int Number;
    testsupport::ScopedDeviceMap Map;
    testsupport::PtyPair Pty;
    int Keeper = -1;
    QSocketNotifier Notifier{Pty.Master(), QSocketNotifier::Read};
    QByteArray Received;
};

/// Catches what reaches the application's error display; connects windows to lines.
class FormLineTest : public testing::Test
{
protected:
    static void SetUpTestSuite() { InstallRuntimeBridge(QCoreApplication::instance()); }
    void SetUp() override
    {
        Application::SetExceptionDisplay([this](const std::string& text) { Errors.push_back(text); });
    }
    void TearDown() override { Application::SetExceptionDisplay(nullptr); }

    // Shows the window (which lists the device map's ports), picks the line and clicks Connect.
    static void Connect(TTestFormMain& form, const TPeerLine& line)
    {
        form.show();
        form.ComboBoxCOM->setCurrentIndex(form.ComboBoxCOM->findText(line.Name()));
        ASSERT_EQ(form.ComboBoxCOM->currentText(), line.Name()) << "the port list lacks the line";
        form.ButtonSaveComConnection->click();
        ASSERT_TRUE(form.Messages.isEmpty()) << form.Messages.join(u'\n').toStdString();
    }

    std::vector<std::string> Errors;
};

} // namespace formtest
