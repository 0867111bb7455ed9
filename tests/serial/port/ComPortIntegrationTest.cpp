// The port component on its real device layer over pseudo-terminals: bytes and line settings
// reach the line, open failures leave nothing behind, and a close asked for inside a notification
// waits for the threads.
#include "serial/port/ApdComPort.h"

#include "runtime/Thread.h"
#include "runtime/Wait.h"
#include "serial/device/ApdWin32Dispatcher.h"
#include "serial/dispatch/DeviceRegistry.h"
#include "serial/port/ApdExceptions.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScopedDeviceMap.h"
#include "tests/support/WaitUntil.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <termios.h>

using ::testing::ElementsAre;

namespace
{

constexpr uint16_t kPort = 7;
constexpr uint16_t kOtherPort = 8;
constexpr uint16_t kMissingPort = 9;

class ComPortOverPty : public ::testing::Test
{
protected:
    void SetUp() override
    {
        InitMainThread();
        map.Link(kPort, pty.SlavePath());
        map.Link(kOtherPort, other.SlavePath());
        map.Link(kMissingPort, "/nonexistent/lintaker-tty");
        port.SetComNumber(kPort);
        port.SetPromptForPort(false);
        port.SetBaud(9600);
    }

    /// Opens on `number`, expecting class E with `text`; then the port must be as before:
    /// closed, with no dispatcher and nothing left in the registry.
    template <class E> void ExpectOpenFails(uint16_t number, const std::string& text)
    {
        int32_t registered = DeviceRegistry::Count();
        port.SetComNumber(number);
        try {
            port.SetOpen(true);
            ADD_FAILURE() << "COM" << number << " opened";
        } catch (const E& error) {
            EXPECT_EQ(error.Message(), text);
        }
        EXPECT_FALSE(port.Open());
        EXPECT_EQ(port.PortPhase(), ppClosed);
        EXPECT_EQ(port.ComNumber(), number);
        port.SetAutoOpen(false);
        EXPECT_EQ(port.ActiveDispatcher(), nullptr);
        port.SetAutoOpen(true);
        EXPECT_EQ(DeviceRegistry::Count(), registered);
    }

    testsupport::ScopedDeviceMap map;
    testsupport::PtyPair pty;
    testsupport::PtyPair other;
    std::vector<std::string> heard; // before the port: its close at the end still reports here
    TApdComPort port;
};

/// Delivers one availability notification to the port's window from the device-event thread,
/// the next time that thread starts a wait, as a notification in delivery would: with Notifying
/// set, blocking until the window has handled it.
class TNotifyingDispatcher : public TApdWin32Dispatcher
{
public:
    using TApdWin32Dispatcher::TApdWin32Dispatcher;
    // The threads are gone before this class is: they call its override virtually.
    ~TNotifyingDispatcher() override { DestroyDispatcher(); }
    std::atomic<bool> NotifyNext{false};

    bool WaitDeviceEvent(DWORD& mask, OVERLAPPED* overlapped) override
    {
        if (NotifyNext.exchange(false)) {
            HWND window;
            {
                TLockGuard guard(DispatcherLock);
                window = WindowHandlers.empty() ? nullptr : WindowHandlers.front().Window;
            }
            Notifying = true;
            DWORD_PTR result = 0;
            SendMessageTimeoutA(window, MsgTriggerAvail, 1, static_cast<LPARAM>(Handle()) << 16, SMTO_BLOCK,
                                3000, &result);
            Notifying = false;
        }
        return TApdWin32Dispatcher::WaitDeviceEvent(mask, overlapped);
    }
};

class TNotifyingPort : public TApdComPort
{
public:
    TNotifyingDispatcher* Made = nullptr;

protected:
    std::unique_ptr<TApdBaseDispatcher> CreateDispatcher() override
    {
        auto dispatcher = std::make_unique<TNotifyingDispatcher>(this);
        Made = dispatcher.get();
        return dispatcher;
    }
};

speed_t MasterSpeed(int master)
{
    termios settings{};
    tcgetattr(master, &settings);
    return cfgetospeed(&settings);
}

} // namespace

TEST_F(ComPortOverPty, BytesAndLineSettingsReachTheLine)
{
    port.SetOnPortOpen([&](TComponent*) { heard.push_back("open"); });
    port.SetOnPortClose([&](TComponent*) { heard.push_back("close"); });
    port.SetOutSize(4096);
    port.SetOpen(true);
    EXPECT_EQ(MasterSpeed(pty.Master()), B9600);

    // A text larger than the output buffer is refused whole.
    try {
        port.SendString(std::string(5000, 'x'));
        ADD_FAILURE() << "5000 bytes queued in 4096";
    } catch (const EOutputBufferTooSmall& error) {
        EXPECT_EQ(error.Message(), "Output buffer too small for block");
    }
    EXPECT_EQ(port.ActiveDispatcher()->OutputCount(), 0);
    port.SendString(">0T<A4\r\n");
    EXPECT_EQ(pty.ReadExactly(8), ">0T<A4\r\n");

    port.SetBaud(38400);
    port.SetDataBits(7);
    port.SetParity(pEven);
    EXPECT_EQ(MasterSpeed(pty.Master()), B38400);
    // A pty keeps eight data bits whatever it is told; the line's record keeps what was set.
    uint32_t baud;
    uint16_t parity;
    uint8_t dataBits, stopBits;
    port.ActiveDispatcher()->GetLineSettings(baud, parity, dataBits, stopBits);
    EXPECT_EQ(baud, 38400u);
    EXPECT_EQ(dataBits, 7);
    EXPECT_EQ(parity, EVENPARITY);

    port.SetOpen(false);
    EXPECT_THAT(heard, ElementsAre("open", "close"));
}

TEST_F(ComPortOverPty, OpenFailuresLeaveNothingBehind)
{
    int events = 0;
    port.SetOnPortOpen([&](TComponent*) { ++events; });
    ExpectOpenFails<EBadId>(kMissingPort, "ie_BadId - Specified comport doesn't exist");
    ExpectOpenFails<ENoPortSelected>(0, "The ComNumber property of the TApdComPort has not been set");
    {
        TApdComPort holder;
        holder.SetComNumber(kOtherPort);
        holder.SetOpen(true);
        ExpectOpenFails<EAlreadyOpen>(kOtherPort, "ie_Open - device already open");
    }
    EXPECT_EQ(events, 0);
    ExpectOpenFails<EBadId>(kMissingPort + 50,
                            "ie_BadId - Specified comport doesn't exist"); // no link at all

    port.SetComNumber(kPort);
    port.SetOpen(true);
    EXPECT_EQ(events, 1) << "the port is usable after the failures";
    port.SetOnPortOpen(nullptr);
}

TEST_F(ComPortOverPty, CloseFromInsideANotificationFinishesOnceTheThreadsHaveGone)
{
    TNotifyingPort notified;
    notified.SetComNumber(kOtherPort);
    int closed = 0;
    bool handled = false, openInHandler = false;
    notified.SetOnPortClose([&](TComponent*) { ++closed; });
    notified.SetOnTriggerAvail([&](TComponent*, uint16_t) {
        notified.SetOpen(false);
        notified.SetOpen(true); // waits for nothing: Open still reads True
        openInHandler = notified.Open() && notified.PortPhase() == ppClosing;
        handled = true;
    });
    notified.SetOpen(true);
    notified.Made->NotifyNext = true;
    other.WriteAll("x"); // wakes the device-event thread for its next wait

    ASSERT_TRUE(WaitUntilPumping([&] { return handled; }, nullptr, 5000));
    EXPECT_EQ(closed, 1);
    EXPECT_TRUE(openInHandler);
    EXPECT_TRUE(WaitUntilPumping([&] { return notified.PortPhase() == ppClosed; }, nullptr, 5000));
    EXPECT_FALSE(notified.Open());
    EXPECT_EQ(closed, 1);
    notified.SetAutoOpen(false);
    EXPECT_EQ(notified.ActiveDispatcher(), nullptr);
}

namespace
{

// Pumps the platform queue for a while: only to show that something does not happen meanwhile.
void PumpFor(DWORD milliseconds)
{
    WaitUntilPumping([] { return false; }, nullptr, milliseconds);
}

/// Its device-event thread finds the device gone at its first wait, before the port has made its
/// window: the loss must still be told, after the open.
class TGoneAtOnceDispatcher : public TApdWin32Dispatcher
{
public:
    using TApdWin32Dispatcher::TApdWin32Dispatcher;
    ~TGoneAtOnceDispatcher() override { DestroyDispatcher(); }
    bool WaitDeviceEvent(DWORD& mask, OVERLAPPED* overlapped) override
    {
        mask = 0;
        overlapped->Internal = ERROR_DEV_NOT_EXIST; // completed, and failed
        SetLastError(ERROR_IO_PENDING);
        return false;
    }
};

class TGoneAtOncePort : public TApdComPort
{
protected:
    std::unique_ptr<TApdBaseDispatcher> CreateDispatcher() override
    {
        return std::make_unique<TGoneAtOnceDispatcher>(this);
    }
};

} // namespace

TEST_F(ComPortOverPty, AHungUpDeviceIsToldOnceAndANormalCloseNever)
{
    int gone = 0;
    bool openWhenTold = false;
    port.SetOnPortOpen([&](TComponent*) { heard.push_back("open"); });
    port.SetOnPortClose([&](TComponent*) { heard.push_back("close"); });
    port.SetOnPortGone([&](TComponent* sender) {
        EXPECT_EQ(sender, &port);
        openWhenTold = port.Open();
        heard.push_back("gone");
        ++gone;
    });

    // A close of a working line is no loss.
    port.SetOpen(true);
    port.SetOpen(false);
    PumpFor(200);
    EXPECT_EQ(gone, 0);

    port.SetOpen(true);
    pty.CloseMaster();
    ASSERT_TRUE(WaitUntilPumping([&] { return gone > 0; }, nullptr, 5000)) << "no word of the hang-up";
    EXPECT_TRUE(openWhenTold) << "the port stays open: its user decides";
    PumpFor(300);
    EXPECT_EQ(gone, 1);
    ASSERT_NE(port.Dispatcher(), nullptr);
    EXPECT_TRUE(port.Dispatcher()->IsDeviceGone());

    port.SetOpen(false);
    EXPECT_FALSE(port.Open());
    EXPECT_THAT(heard, ElementsAre("open", "close", "open", "gone", "close"));
}

TEST_F(ComPortOverPty, WithoutAHandlerALostDeviceChangesNothing)
{
    port.SetOpen(true);
    pty.CloseMaster();
    ASSERT_TRUE(
        testsupport::WaitUntil([&] { return port.Dispatcher()->IsDeviceGone(); }, std::chrono::seconds(5)));
    PumpFor(200);
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(port.PortPhase(), ppOpen);
    port.SetOpen(false);
    EXPECT_EQ(port.PortPhase(), ppClosed);
}

TEST_F(ComPortOverPty, ADeviceLostDuringTheOpenIsToldAfterTheOpen)
{
    TGoneAtOncePort lost;
    lost.SetComNumber(kOtherPort);
    std::vector<std::string> events;
    lost.SetOnPortOpen([&](TComponent*) { events.push_back("open"); });
    lost.SetOnPortGone([&](TComponent*) {
        events.push_back("gone");
        lost.SetOpen(false); // what a user of the event does: the device is released at once
    });
    lost.SetOnPortClose([&](TComponent*) { events.push_back("close"); });
    lost.SetOpen(true);
    ASSERT_TRUE(WaitUntilPumping([&] { return lost.PortPhase() == ppClosed; }, nullptr, 5000));
    PumpFor(200);
    EXPECT_THAT(events, ElementsAre("open", "gone", "close"));
}
