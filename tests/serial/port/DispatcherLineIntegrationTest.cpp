// Line and flow control of an open dispatcher over pseudo-terminals: settings and flow flags as
// the far end's termios shows them, a rate change behind a queued answer, levels under handshakes, refused
// flow marks, line errors and modem-line changes from the line (injected, as a pty has neither) with the
// triggers they fire, and the RS-485 transmitter switched by RTS.
#include "serial/device/ApdWin32Dispatcher.h"

#include "runtime/Thread.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScopedDeviceMap.h"
#include "tests/support/WaitUntil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <string>
#include <termios.h>
#include <thread>
#include <vector>

using namespace std::chrono_literals;
using testsupport::WaitUntil;

namespace
{

constexpr int kPort = 7;
constexpr uint16_t kInSize = 4096;

/// Status notifications the procedure handler has received, by trigger handle.
std::mutex noticesLock;
std::vector<WPARAM> notices;

void RecordNotice(UINT message, WPARAM wParam, LPARAM)
{
    if (message != TApdBaseDispatcher::MsgTriggerStatus && message != TApdBaseDispatcher::MsgTriggerTimer)
        return;
    std::lock_guard guard(noticesLock);
    notices.push_back(wParam);
}

bool Notified(int32_t handle)
{
    std::lock_guard guard(noticesLock);
    return std::find(notices.begin(), notices.end(), static_cast<WPARAM>(handle)) != notices.end();
}

class TLineDispatcher : public TApdWin32Dispatcher
{
public:
    TLineDispatcher() : TApdWin32Dispatcher(nullptr) {}
    // The threads are gone before this class is: they call the device operations virtually.
    ~TLineDispatcher() override { DestroyDispatcher(); }
    int OutputPriority()
    {
        TThread* thread = OutThread.load();
        return thread ? thread->Priority() : -1;
    }

    /// While held, a modem-line event the device-event thread has seen waits before the dispatch
    /// thread hears of it, as it may behind a busy dispatch thread.
    void HoldModemEvents(bool hold)
    {
        {
            std::lock_guard guard(GateLock);
            Held = hold;
        }
        GateOpened.notify_all();
    }

protected:
    bool WaitDeviceEvent(DWORD& mask, OVERLAPPED* overlapped) override
    {
        if (!TApdWin32Dispatcher::WaitDeviceEvent(mask, overlapped)) {
            DWORD unused = 0;
            if (GetLastError() != ERROR_IO_PENDING ||
                !GetOverlappedResult(ComHandle(), overlapped, &unused, TRUE))
                return false;
        }
        if (mask & EV_CTS) {
            std::unique_lock lock(GateLock);
            GateOpened.wait_for(lock, 5s, [this] { return !Held; });
        }
        return true;
    }

private:
    std::mutex GateLock;
    std::condition_variable GateOpened;
    bool Held = false;
};

class DispatcherLine : public ::testing::Test
{
protected:
    void SetUp() override
    {
        InitMainThread();
        map.Link(kPort, pty.SlavePath());
        {
            std::lock_guard guard(noticesLock);
            notices.clear();
        }
        ASSERT_EQ(Open(), 0);
        d->AddProcedureHandler(&RecordNotice);
    }
    void TearDown() override { d->RemoveProcedureHandler(&RecordNotice); }

    int32_t Open()
    {
        return d->OpenDispatcher(testsupport::ScopedDeviceMap::DeviceName(kPort), 9600, 0, 8, 1, kInSize,
                                 4096, TApdBaseDispatcher::kOptionDtrOn | TApdBaseDispatcher::kOptionRtsOn);
    }
    termios FarEnd()
    {
        termios settings{};
        EXPECT_EQ(tcgetattr(pty.Master(), &settings), 0);
        return settings;
    }
    DWORD Lines()
    {
        DWORD lines = 0;
        EXPECT_TRUE(platform::CommOutputLinesForTesting(d->ComHandle(), &lines, nullptr));
        return lines;
    }
    DWORD RtsRaises()
    {
        DWORD raises = 0;
        EXPECT_TRUE(platform::CommOutputLinesForTesting(d->ComHandle(), nullptr, &raises));
        return raises;
    }
    void InjectErrors(DWORD errors)
    {
        ASSERT_TRUE(platform::InjectCommErrorsForTesting(d->ComHandle(), errors));
    }
    void InjectModem(DWORD lines)
    {
        ASSERT_TRUE(platform::InjectModemStatusForTesting(d->ComHandle(), lines));
    }

    testsupport::ScopedDeviceMap map;
    testsupport::PtyPair pty;
    std::unique_ptr<TLineDispatcher> d = std::make_unique<TLineDispatcher>();
};

} // namespace

TEST_F(DispatcherLine, LineSettingsReachTheFarEndAndReadBack)
{
    struct Case {
        uint32_t baud;
        uint8_t parity, dataBits, stopBits;
        speed_t speed;
        tcflag_t parityFlags; // what a pty keeps of them
    } cases[] = {
        {19200, ODDPARITY, 8, 2, B19200, PARODD},
        {38400, MARKPARITY, 7, 1, B38400, PARODD | CMSPAR}, // a pty keeps 8 bits; the record has 7
        {1200, SPACEPARITY, 8, 1, B1200, CMSPAR},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.baud);
        ASSERT_EQ(d->ChangeLineSettings(c.baud, c.parity, c.dataBits, c.stopBits), 0);
        ASSERT_EQ(d->ChangeLineSettings(0, 5, 9, 3), 0) << "keeping everything";
        uint32_t baud = 0;
        uint16_t parity = 0;
        uint8_t dataBits = 0, stopBits = 0;
        d->GetLineSettings(baud, parity, dataBits, stopBits);
        EXPECT_EQ(baud, c.baud);
        EXPECT_EQ(parity, c.parity);
        EXPECT_EQ(dataBits, c.dataBits);
        EXPECT_EQ(stopBits, c.stopBits);
        const termios far = FarEnd();
        EXPECT_EQ(cfgetospeed(&far), c.speed);
        EXPECT_EQ((far.c_cflag & CSTOPB) != 0, c.stopBits == 2);
        EXPECT_EQ(far.c_cflag & (PARODD | CMSPAR), c.parityFlags);
    }
}

TEST_F(DispatcherLine, ARateChangeLetsAnAnswerTheDriverStillHoldsLeaveWhollyAtTheOldRate)
{
    ASSERT_EQ(d->ChangeLineSettings(1200, 5, 9, 3), 0);
    // An answer far longer than the 18 characters the dispatcher waits for itself: the output
    // thread hands it to the driver at once, and the driver (held back here) still holds it.
    std::string answer;
    for (int i = 0; i < 12; ++i)
        answer += ">" + std::to_string(i % 10) + "A<0123456";
    const HANDLE port = d->ComHandle();
    ASSERT_TRUE(platform::SetCommOutputQueueForTesting(port, static_cast<LONG>(answer.size())));
    ASSERT_EQ(d->SendBlock(answer.data(), static_cast<int32_t>(answer.size())), 0);

    // The far end: while the driver holds the answer the change does not go through and the line
    // still runs at the old rate; then the far end takes the whole answer and the queue empties.
    std::atomic<bool> changed{false};
    bool changedEarly = true;
    speed_t rateWhileHeld = 0;
    std::string received;
    std::thread farEnd([&] {
        changedEarly = WaitUntil([&] { return changed.load(); }, 300ms);
        const termios settings = FarEnd();
        rateWhileHeld = cfgetospeed(&settings);
        received = pty.ReadExactly(answer.size());
        platform::SetCommOutputQueueForTesting(port, 0);
    });
    const int32_t result = d->ChangeLineSettings(2400, 5, 9, 3);
    changed = true;
    farEnd.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(changedEarly);
    EXPECT_EQ(rateWhileHeld, static_cast<speed_t>(B1200));
    EXPECT_EQ(received, answer);
    const termios after = FarEnd();
    EXPECT_EQ(cfgetospeed(&after), static_cast<speed_t>(B2400));
}

TEST_F(DispatcherLine, FlowSettingsReachTheFarEndAndHandshakeLinesIgnoreLevels)
{
    uint8_t hardware = 0, software = 0, xon = 0, xoff = 0;
    ASSERT_EQ(d->SoftwareFlowOn(3072, 1024, 0x03), 0);
    ASSERT_EQ(d->SetFlowChars('A', 'B'), 0);
    termios far = FarEnd();
    EXPECT_EQ(far.c_iflag & (IXON | IXOFF), static_cast<tcflag_t>(IXON | IXOFF));
    EXPECT_EQ(far.c_cc[VSTART], 'A');
    EXPECT_EQ(far.c_cc[VSTOP], 'B');
    ASSERT_EQ(d->SoftwareFlowOn(3072, 1024, 0x01), 0);
    EXPECT_EQ(FarEnd().c_cc[VSTART], 0x11) << "switching flow on writes DC1 and DC3 again";
    ASSERT_EQ(d->SoftwareFlowOff(), 0);
    EXPECT_EQ(FarEnd().c_iflag & (IXON | IXOFF), 0u);

    ASSERT_EQ(d->HardwareFlowOn(3686, 409, 0x02 | 0x08), 0);
    EXPECT_NE(FarEnd().c_cflag & CRTSCTS, 0u);
    d->GetFlowOptions(hardware, software, xon, xoff);
    EXPECT_EQ(hardware, 0x0A);
    EXPECT_EQ(d->SetRtsLevel(false), 1) << "RTS belongs to the handshake";
    EXPECT_EQ(d->SetDtrLevel(false), 0);
    EXPECT_EQ(Lines(), platform::kTestLineRts);

    // Marks out of order or beyond the driver's queue change nothing.
    const termios before = FarEnd();
    EXPECT_EQ(d->HardwareFlowOn(409, 3686, 0), TApdBaseDispatcher::ecBadArgument);
    EXPECT_EQ(d->HardwareFlowOn(kInSize + 1, 409, 0), TApdBaseDispatcher::ecBadArgument);
    EXPECT_EQ(d->SoftwareFlowOn(5000, 0, 0x03), TApdBaseDispatcher::ecBadArgument);
    far = FarEnd();
    EXPECT_EQ(far.c_cflag, before.c_cflag);
    EXPECT_EQ(far.c_iflag, before.c_iflag);
    d->GetFlowOptions(hardware, software, xon, xoff);
    EXPECT_EQ(hardware, 0x0A);

    ASSERT_EQ(d->HardwareFlowOn(kInSize, kInSize, 0x01), 0) << "marks at the edges are fine";
    EXPECT_EQ(FarEnd().c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(d->SetDtrLevel(true), 1) << "DTR belongs to the handshake";
    EXPECT_EQ(d->SetRtsLevel(false), 0);
    EXPECT_EQ(Lines(), platform::kTestLineDtr) << "the driver holds DTR up in its handshake";
}

TEST_F(DispatcherLine, LineErrorsFromTheLineComeOutByKindAndFireTheirTriggers)
{
    const int32_t framing = d->AddStatusTrigger(stLine, CE_FRAME);
    const int32_t overflow = d->AddStatusTrigger(stLine, CE_RXOVER);
    ASSERT_GT(framing, 0);
    ASSERT_EQ(framing & 7, stLine);

    InjectErrors(CE_OVERRUN | CE_RXPARITY);
    ASSERT_TRUE(WaitUntil([&] { return (d->GetLineErrorBits() & 0x06) == 0x06; }));
    EXPECT_EQ(d->GetLineError(), TApdBaseDispatcher::leOverrun);
    EXPECT_EQ(d->GetLineErrorBits(), 0u) << "the parity error goes with it";
    EXPECT_EQ(d->GetLineError(), TApdBaseDispatcher::leNone);

    InjectErrors(CE_BREAK);
    ASSERT_TRUE(WaitUntil([&] { return d->GetLineErrorBits() == CE_BREAK; }));
    EXPECT_EQ(d->GetLineError(), TApdBaseDispatcher::leBreak);
    EXPECT_EQ(d->GetLineErrorBits(), CE_BREAK) << "a break stays until it is asked for";
    EXPECT_TRUE(d->GetLineBreak());
    EXPECT_FALSE(d->GetLineBreak());
    EXPECT_FALSE(Notified(framing));

    InjectErrors(CE_FRAME);
    ASSERT_TRUE(WaitUntil([&] { return Notified(framing); }));
    EXPECT_EQ(d->GetLineError(), TApdBaseDispatcher::leFraming);
    EXPECT_FALSE(Notified(overflow));
}

TEST_F(DispatcherLine, ModemLineChangesSetChangeBitsThatStayUntilTheNextOpen)
{
    // Watches CTS against the reference "off": fires when it comes on.
    const int32_t cts = d->AddStatusTrigger(stModem, 0x10 << 8);
    ASSERT_EQ(cts & 7, stModem);
    EXPECT_EQ(d->GetModemStatusByte(), 0);

    InjectModem(MS_CTS_ON);
    ASSERT_TRUE(WaitUntil([&] { return d->GetModemStatusByte() == 0x11; })) << int(d->GetModemStatusByte());
    EXPECT_TRUE(WaitUntil([&] { return Notified(cts); }));

    InjectModem(0);
    ASSERT_TRUE(WaitUntil([&] { return d->GetModemStatusByte() == 0x01; })) << int(d->GetModemStatusByte());

    InjectModem(MS_DSR_ON | MS_RLSD_ON);
    ASSERT_TRUE(WaitUntil([&] { return d->GetModemStatusByte() == 0xAB; })) << int(d->GetModemStatusByte());

    InjectModem(MS_RING_ON);
    ASSERT_TRUE(WaitUntil([&] { return d->GetModemStatusByte() == 0x4F; })) << int(d->GetModemStatusByte());

    // A dispatcher is opened once: the port makes a new one for every open.
    d = std::make_unique<TLineDispatcher>();
    ASSERT_EQ(Open(), 0);
    EXPECT_EQ(d->GetModemStatusByte(), 0);
}

TEST_F(DispatcherLine, AModemChangeSeenFirstByThePollKeepsItsChangeBit)
{
    // The dispatch thread looks at the lines at every pass, also when it wakes for something else
    // (here its poll while a status trigger is armed). A change that look finds before the line
    // event reaches it keeps its change bit, which the event's own look could no longer see.
    ASSERT_GT(d->AddStatusTrigger(stModem, 0x20 << 8), 0);
    d->HoldModemEvents(true);
    InjectModem(MS_CTS_ON);
    ASSERT_TRUE(WaitUntil([&] { return (d->GetModemStatusByte() & 0xF0) == 0x10; }))
        << int(d->GetModemStatusByte());
    EXPECT_EQ(d->GetModemStatusByte(), 0x11);
    d->HoldModemEvents(false);
    EXPECT_FALSE(WaitUntil([&] { return d->GetModemStatusByte() != 0x11; }, 200ms));
}

TEST_F(DispatcherLine, ATimerArmedWhileTheLineIsQuietRunsFromItsArming)
{
    // Nothing to time and nothing on the line: the dispatch thread sleeps long. Arming a timer
    // wakes it, so the timer's two ticks count from the arming, not from the next look.
    const int32_t timer = d->NewTimerTrigger();
    ASSERT_GT(timer, 0);
    ASSERT_TRUE(WaitUntil([&] { return d->DispatchWaitMs() == TApdBaseDispatcher::kDispatchIdleMs; }));
    ASSERT_EQ(d->ArmTimerTrigger(timer, 2, true), 0);
    EXPECT_TRUE(WaitUntil([&] { return Notified(timer); }, 500ms));
}

TEST_F(DispatcherLine, RS485ModeSwitchesTheTransmitterAroundEachSend)
{
    EXPECT_EQ(d->OutputPriority(), tpNormal);
    d->SetRS485Mode(true);
    EXPECT_EQ(d->OutputPriority(), tpHigher);
    EXPECT_EQ(Lines() & platform::kTestLineRts, 0u) << "transmitter off while idle";
    EXPECT_EQ(d->SetRtsLevel(true), 1);

    ASSERT_EQ(d->SendBlock(">0T<FE\r\n", 8), 0);
    EXPECT_EQ(pty.ReadExactly(8), ">0T<FE\r\n");
    EXPECT_TRUE(WaitUntil([&] { return (Lines() & platform::kTestLineRts) == 0 && d->OutputCount() == 0; }));
    EXPECT_EQ(RtsRaises(), 1u);

    d->SetRS485Mode(false);
    EXPECT_EQ(d->OutputPriority(), tpNormal);
    EXPECT_NE(Lines() & platform::kTestLineRts, 0u) << "RTS back at its level from the open";
    ASSERT_EQ(d->SendBlock("x", 1), 0);
    EXPECT_EQ(pty.ReadExactly(1), "x");
    EXPECT_EQ(RtsRaises(), 1u);

    // The RTS handshake asked for in the mode takes over when the mode ends.
    d->SetRS485Mode(true);
    ASSERT_EQ(d->HardwareFlowOn(3686, 409, 0x02), 0);
    EXPECT_EQ(FarEnd().c_cflag & CRTSCTS, 0u) << "RTS still switches the transmitter";
    d->SetRS485Mode(false);
    EXPECT_NE(FarEnd().c_cflag & CRTSCTS, 0u);
    EXPECT_EQ(d->SetRtsLevel(false), 1);
}
