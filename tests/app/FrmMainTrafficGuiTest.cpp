// The window's two jobs end to end on a serial line: in polling mode the devices' answers appear
// under the requests and the echo of a request does not; in monitoring mode every message is
// logged, classed and answered, however the bytes are split into arrivals.
#include "app/FrmMain.h"

#include "serial/packet/AdPacket.h"
#include "tests/app/FormLineSupport.h"

#include <QCheckBox>
#include <QRadioButton>

#include <gmock/gmock.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

using namespace formtest;

namespace
{

const std::string kETX = "\x03";
const std::string kSTX = "\x02";

// The bytes the detector holds of a message not yet complete.
int32_t Held(const TFormMain& form)
{
    TApdDataPacketManager* manager = form.DataPacket->Manager();
    return manager ? manager->BufferCount() : -1;
}

class FormTraffic : public FormLineTest
{
protected:
    // Connects in monitoring mode, with or without the device class in the log.
    void ConnectMonitoring(TTestFormMain& form, TPeerLine& line, bool protocol = false)
    {
        form.RadioButtonListen->setChecked(true);
        form.CheckBoxProtocol->setChecked(protocol);
        Connect(form, line);
    }
};

TEST_F(FormTraffic, MonitoringAnswersEveryMessageHoweverItIsSplit)
{
    TPeerLine line(21);
    TTestFormMain form;
    ConnectMonitoring(form, line);
    const std::string stream = "A20030401" + kETX + kSTX + "ARARA" + kETX + "r5" + kETX;
    const QByteArray answers = QByteArray("J20030401\x03\x02JYARA\x03r5\x03");
    QByteArray expectedWire;
    QByteArray expectedLog;
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        const std::string first = stream.substr(0, cut);
        line.Write(first);
        // The first part must be taken as an arrival of its own before the rest comes.
        const size_t lastEnd = first.rfind('\x03');
        const int32_t held = static_cast<int32_t>(lastEnd == std::string::npos ? cut : cut - lastEnd - 1);
        const qsizetype answered = lastEnd == std::string::npos ? 0 : answers.indexOf('\x03', lastEnd) + 1;
        ASSERT_TRUE(PumpUntil(
            [&] { return Held(form) == held && line.Received.size() >= expectedWire.size() + answered; }));
        line.Write(stream.substr(cut));
        expectedWire += answers;
        expectedLog += ">>> A20030401\n<<< J20030401\n>>> ARARA\n<<< JYARA\n>>> r5\n<<< r5\n";
        ASSERT_TRUE(line.WaitForBytes(expectedWire.size()));
        EXPECT_EQ(line.Received, expectedWire);
        ASSERT_TRUE(PumpUntil([&] { return Log(form) == expectedLog; })) << Log(form).toStdString();
    }
    EXPECT_TRUE(Errors.empty());
}

TEST_F(FormTraffic, MonitoringLogsClassesAndAnswers)
{
    struct TCase {
        std::string Message;
        std::string Logged; // the two log lines
        std::string Answer; // on the wire
    };
    const std::string ten = "A123456789"; // with its ETX 11 bytes: "M1"
    const std::string nine = "A12345678"; // with its ETX 10 bytes: "V1"
    const std::string d28 = "D" + std::string(27, '0');
    const std::string d27 = "D" + std::string(26, '0');
    const std::vector<TCase> cases = {
        {"ARARA" + kETX, ">>> ARARA\t[HTE]\n<<< JYARA\n", "JYARA" + kETX},
        {"ar ok" + kETX, ">>> ar ok\t[]\n<<< ar ok\n", "ar ok" + kETX},
        {kSTX + "\r\n" + kETX, ">>> \t[]\n<<< \n", kSTX + "\r\n" + kETX},
        {"TEST" + kETX, ">>> TEST\t[HTE]\n<<< TEST\n", "TEST" + kETX},
        {nine + kETX, ">>> A12345678\t[V1]\n<<< J12345678\n", "J12345678" + kETX},
        {ten + kETX, ">>> A123456789\t[M1]\n<<< J123456789\n", "J123456789" + kETX},
        {kSTX + "A1" + kETX, ">>> A1\t[B1]\n<<< J1\n", kSTX + "J1" + kETX},
        {d27 + kETX, ">>> " + d27 + "\t[V1]\n<<< " + d27 + "\n", d27 + kETX},
        {d28 + kETX, ">>> " + d28 + "\t[M1]\n<<< " + d28 + "\n", d28 + kETX},
        {"AD1" + kETX, ">>> AD1\t[V1]\n<<< JD1\n", "JD1" + kETX},
        {kSTX + "D" + kETX, ">>> D\t[B1]\n<<< D\n", kSTX + "D" + kETX},
    };
    TPeerLine line(22);
    TTestFormMain form;
    ConnectMonitoring(form, line, true);
    QByteArray wire;
    QByteArray log;
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Message);
        line.Write(test.Message);
        wire += QByteArray::fromStdString(test.Answer);
        log += QByteArray::fromStdString(test.Logged);
        ASSERT_TRUE(line.WaitForBytes(wire.size()));
        EXPECT_EQ(line.Received, wire);
        ASSERT_TRUE(PumpUntil([&] { return Log(form) == log; })) << Log(form).toStdString();
    }

    // Without the box the class is left out, and the answer is the same.
    form.CheckBoxProtocol->setChecked(false);
    line.Write("AR" + kETX);
    log += ">>> AR\n<<< JY\n";
    ASSERT_TRUE(PumpUntil([&] { return Log(form) == log; })) << Log(form).toStdString();
    EXPECT_TRUE(Errors.empty());
}

TEST_F(FormTraffic, PollingShowsAnswersUnderRequestsAndHidesTheEcho)
{
    TPeerLine line(23);
    TTestFormMain form;
    Connect(form, line);
    const std::string answers[] = {">0t000000000000000803111601<13\r\n", ">1t111<9A\r\n", ">2t2<55\r\n"};
    QByteArray expectedLog;
    for (int poll = 0; poll < 3; ++poll) {
        SCOPED_TRACE(poll);
        ASSERT_TRUE(line.WaitForBytes((poll + 1) * 8));
        const std::string request = line.Received.mid(poll * 8, 8).toStdString();
        // The adapter's echo, noise, then the answer in two pieces, cut at another place each time.
        const std::string& answer = answers[poll];
        const size_t cut = 1 + static_cast<size_t>(poll) * 3;
        // The noise in front of the answer is held with it until the answer is complete.
        const std::string noise = "\x7f\x01noise";
        line.Write(request + noise + answer.substr(0, cut));
        ASSERT_TRUE(PumpUntil([&] { return Held(form) == static_cast<int32_t>(noise.size() + cut); }));
        line.Write(answer.substr(cut));
        expectedLog += QByteArray::fromStdString(request.substr(0, 6) + "\n" +
                                                 answer.substr(0, answer.size() - 2) + "\n");
        ASSERT_TRUE(PumpUntil([&] { return Log(form) == expectedLog; })) << Log(form).toStdString();
    }
    EXPECT_TRUE(Errors.empty());
}

TEST_F(FormTraffic, AnAnswerBrokenOffIsNotJoinedToTheNextEcho)
{
    TPeerLine line(27);
    TTestFormMain form;
    Connect(form, line);
    ASSERT_TRUE(line.WaitForBytes(8));
    line.Write(">0t0000"); // the device falls silent in the middle of its answer
    ASSERT_TRUE(PumpUntil([&] { return Held(form) == 7; }));
    ASSERT_TRUE(line.WaitForBytes(16));
    line.Write(">1T<FF\r\n>1t1<9A\r\n");
    // What had arrived of the broken answer shows on a line of its own, the echo does not.
    const QByteArray expected(">0T<FE\n>1T<FF\n>0t0000\n>1t1<9A\n");
    ASSERT_TRUE(PumpUntil([&] { return Log(form).startsWith(expected); })) << Log(form).toStdString();
}

// A device answering at 1200 bit/s: one byte every 8.3 ms, so a long answer spans the poll beat.
class TSlowDevice
{
public:
    /// With an `echo`, that echo is written as soon as CutIn is set and the device breaks off.
    TSlowDevice(TPeerLine& line, std::string answer, std::string echo = {})
        : Writer([this, &line, answer = std::move(answer), echo = std::move(echo)] {
              for (size_t i = 0; i < answer.size() && !Stop; ++i) {
                  if (!echo.empty() && CutIn) {
                      line.Write(echo); // the next request's echo collides with the answer
                      return;
                  }
                  line.Write(answer.substr(i, 1));
                  std::this_thread::sleep_for(std::chrono::microseconds(8333)); // the line's pace
              }
          })
    {
    }
    ~TSlowDevice()
    {
        Stop = true;
        Writer.join();
    }

    std::atomic<bool> CutIn{false};
    std::atomic<bool> Stop{false};
    std::thread Writer;
};

std::vector<std::string> LogLines(const TFormMain& form)
{
    std::vector<std::string> lines;
    for (const QByteArray& line : Log(form).split('\n'))
        if (!line.isEmpty())
            lines.push_back(line.toStdString());
    return lines;
}

TEST_F(FormTraffic, ASlowAnswerAcrossThePollBeatIsLoggedWhole)
{
    // 98 bytes, 820 ms at 1200 bit/s: longer than a beat.
    const std::string answer = ">0t" + std::string(90, '0') + "<13\r\n";
    const std::string shown = answer.substr(0, answer.size() - 2);
    TPeerLine line(28);
    TTestFormMain form;
    Connect(form, line);
    ASSERT_TRUE(line.WaitForBytes(8));
    std::vector<std::string> lines;
    {
        TSlowDevice device(line, answer);
        ASSERT_TRUE(PumpUntil(
            [&] {
                lines = LogLines(form);
                return std::find(lines.begin(), lines.end(), shown) != lines.end();
            },
            10000))
            << Log(form).toStdString();
        EXPECT_GE(line.Received.size(), 16) << "the answer took longer than one beat";
    }
    // Requests in rotation, the one answer whole, nothing else.
    size_t poll = 0;
    for (const std::string& logged : lines) {
        if (logged != shown) {
            EXPECT_EQ(logged, kPolls[poll++ % 10]);
        }
    }
    EXPECT_TRUE(Errors.empty());
}

TEST_F(FormTraffic, AnEchoCuttingIntoASlowAnswerEndsItsLine)
{
    const std::string answer = ">0t" + std::string(90, '0') + "<13\r\n";
    TPeerLine line(29);
    TTestFormMain form;
    Connect(form, line);
    ASSERT_TRUE(line.WaitForBytes(8));
    std::vector<std::string> lines;
    {
        TSlowDevice device(line, answer, std::string(kPolls[1]) + "\r\n");
        // The echo goes out as soon as the next request has.
        ASSERT_TRUE(line.WaitForBytes(16));
        device.CutIn = true;
        ASSERT_TRUE(PumpUntil(
            [&] {
                lines = LogLines(form);
                return lines.size() >= 3;
            },
            10000))
            << Log(form).toStdString();
    }
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(lines[0], kPolls[0]);
    EXPECT_EQ(lines[1], kPolls[1]);
    // What had arrived of the answer, on a line of its own, without the echo.
    EXPECT_TRUE(answer.starts_with(lines[2]) && lines[2].size() > 3 && lines[2].size() < 96) << lines[2];
    for (size_t i = 3; i < lines.size(); ++i)
        EXPECT_EQ(lines[i], kPolls[(i - 1) % 10]);
    EXPECT_TRUE(Errors.empty());
}

TEST_F(FormTraffic, AMessageCutByACloseIsThrownAway)
{
    TPeerLine line(24);
    TTestFormMain form;
    ConnectMonitoring(form, line);
    line.Write("A2003");
    ASSERT_TRUE(PumpUntil([&] { return Held(form) == 5; }));
    form.ButtonSaveComConnection->click();
    EXPECT_FALSE(form.ComPort->Open());
    EXPECT_EQ(Held(form), 0);
    form.ButtonSaveComConnection->click();
    ASSERT_TRUE(form.ComPort->Open());
    line.Write("0401" + kETX + "A7" + kETX);
    ASSERT_TRUE(line.WaitForBytes(8));
    EXPECT_EQ(line.Received, QByteArray("0401\x03J7\x03"));
    EXPECT_EQ(Log(form), QByteArray(">>> 0401\n<<< 0401\n>>> A7\n<<< J7\n"));
}

TEST_F(FormTraffic, ADetectorWithATimeOutDropsAMessageThatStalls)
{
    TPeerLine line(25);
    TTestFormMain form;
    ConnectMonitoring(form, line);
    int timeouts = 0;
    form.DataPacket->SetOnTimeout([&timeouts](TComponent*) { ++timeouts; });
    form.DataPacket->SetTimeOut(3); // 165 ms
    // A change of the end string starts the detector afresh with the time-out in force.
    form.DataPacket->SetEndString(kETX);
    line.Write("A20");
    ASSERT_TRUE(PumpUntil([&] { return timeouts == 1; }));
    EXPECT_FALSE(form.DataPacket->Enabled()) << "a time-out leaves the detector off";
    EXPECT_EQ(Held(form), 0);
    line.Write("030401" + kETX);
    PumpPastOnePoll();
    EXPECT_TRUE(line.Received.isEmpty());
    EXPECT_EQ(Log(form), QByteArray("\n"));

    form.DataPacket->SetEnabled(true);
    line.Write("A1" + kETX);
    ASSERT_TRUE(line.WaitForBytes(3));
    EXPECT_EQ(line.Received, QByteArray("J1\x03"));
    EXPECT_EQ(timeouts, 1);
}

TEST_F(FormTraffic, ModeSwitchesWhileMessagesStreamInLeaveTheLineOpen)
{
    TPeerLine line(26);
    TTestFormMain form;
    ConnectMonitoring(form, line);
    // A device that never stops talking keeps the dispatcher handing messages over.
    std::atomic<bool> stop{false};
    std::thread talker([&] {
        while (!stop)
            line.Pty.WriteAll("A1" + kETX, std::chrono::milliseconds(100));
    });
    for (int round = 0; round < 6; ++round) {
        SCOPED_TRACE(round);
        (round % 2 == 0 ? form.RadioButtonPolling : form.RadioButtonListen)->setChecked(true);
        EXPECT_TRUE(form.ComPort->Open());
        EXPECT_EQ(form.ComPort->PortPhase(), ppOpen);
        EXPECT_EQ(form.ButtonSaveComConnection->text(), QStringLiteral("Disconnect"));
        EXPECT_EQ(form.TimerPolling->isActive(), round % 2 == 0);
        const qsizetype before = line.Received.size();
        ASSERT_TRUE(PumpUntil([&] { return line.Received.size() > before; })) << "nothing sent";
    }
    stop = true;
    talker.join();
    EXPECT_TRUE(Errors.empty());
}

} // namespace
