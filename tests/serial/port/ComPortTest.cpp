// Port component over a recording dispatcher: the setters' rules, the open sequence, port users,
// the deferred close, trigger events and the data operations, without a device.
#include "RecordingDispatcher.h"

#include "runtime/Wait.h"
#include "serial/port/ApdExceptions.h"
#include "tests/serial/log/LogTestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace
{

bool PumpUntil(const std::function<bool()>& done) { return WaitUntilPumping(done, nullptr, 5000); }

} // namespace

TEST(ComPortSettings, FlowThresholdsAndRS485Mode)
{
    TApdComPort port;
    port.SetRS485Mode(true);
    port.SetHWFlowOptions({hwfUseRTS});
    EXPECT_EQ(port.BufferFull(), 3686);
    EXPECT_EQ(port.BufferResume(), 409);
    EXPECT_FALSE(port.RS485Mode()) << "RTS handshake and RS485 exclude each other";
    port.SetHWFlowOptions({hwfUseDTR, hwfUseRTS, hwfRequireCTS});
    port.SetRS485Mode(true);
    EXPECT_EQ(port.HWFlowOptions(), (THWFlowOptionSet{hwfUseDTR}));
    EXPECT_FALSE(port.RTS());

    TApdComPort software;
    software.SetSWFlowOptions(swfBoth);
    EXPECT_EQ(software.BufferFull(), 3072);
    EXPECT_EQ(software.BufferResume(), 1024);

    TApdComPort corrected;
    corrected.SetBufferFull(400);
    corrected.SetBufferResume(500);
    EXPECT_EQ(corrected.BufferResume(), 40);
    corrected.SetBufferFull(5000);
    EXPECT_EQ(corrected.BufferFull(), 3686);
}

TEST(ComPortSettings, ClosedPortKeepsOnlyWhatCanWaitForTheOpen)
{
    TApdComPort port;
    const struct {
        TTraceLogState Set, Reads;
    } cases[] = {{tlDump, tlOff}, {tlOn, tlOn},      {tlPause, tlOff},
                 {tlOn, tlOn},    {tlAppend, tlOff}, {tlClear, tlOff}};
    for (const auto& c : cases) {
        port.SetTracing(c.Set);
        port.SetLogging(c.Set);
        EXPECT_EQ(port.Tracing(), c.Reads) << int(c.Set);
        EXPECT_EQ(port.Logging(), c.Reads) << int(c.Set);
    }
    port.SetTraceSize(5000000);
    port.SetLogSize(20000000);
    EXPECT_EQ(port.TraceSize(), 4000000u);
    EXPECT_EQ(port.LogSize(), 16000000u);
    port.SetDeviceLayer(dlWinsock);
    port.SetUseMSRShadow(false);
    EXPECT_EQ(port.DeviceLayer(), dlWin32);
    EXPECT_TRUE(port.UseMSRShadow());
    port.SetTraceName(std::string(300, 'x'));
    EXPECT_EQ(port.TraceName().size(), 255u);
}

TEST(ComPortOpen, SettingsAreAppliedAgainInTheirOrder)
{
    TTempDir dir;
    TTestPort port;
    port.SetTraceName(dir.File("trace.txt"));
    port.SetLogName(dir.File("log.txt"));
    port.SetTracing(tlOn);
    port.SetLogging(tlOn);
    port.SetHWFlowOptions({hwfRequireDSR});
    port.SetSWFlowOptions(swfBoth);
    port.SetXOnChar('A');
    port.SetAvailTriggerLength(5);
    port.SetRS485Mode(true);
    port.SetThreadPriorityBoost(2);
    port.SetOpen(true);

    EXPECT_EQ(port.Record.Appeared, "TLHSXAEPB");
    EXPECT_EQ(port.Record.Calls.back(), "boost 2");
    EXPECT_EQ(port.Tracing(), tlOn);
    // The dispatcher's software flow call resets the flow characters; the later step puts ours back.
    uint8_t hardware, software, xon, xoff;
    port.Fake()->GetFlowOptions(hardware, software, xon, xoff);
    EXPECT_EQ(xon, 'A');
    EXPECT_EQ(port.Fake()->GetAvailLength(), 5);
    port.SetOpen(false);
    EXPECT_TRUE(FileExists(dir.File("log.txt"))) << "the running log is written at close";
}

TEST(ComPortOpen, WithoutAPortNumberTheUserIsAskedOrTheOpenFails)
{
    TTestPort port;
    port.SetComNumber(0);
    port.SetPromptForPort(false);
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected);
    port.SetPromptForPort(true);
    EXPECT_THROW(port.SetOpen(true), ENoPortSelected) << "the user cancelled";
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.Created, 0);
    port.Chosen = 7;
    port.SetOpen(true);
    EXPECT_EQ(port.ComNumber(), 7);
    EXPECT_THAT(port.Record.Calls, testing::Contains("open \\\\.\\COM7"));
}

// ---- Users and events --------------------------------------------------------------------------

namespace
{

struct TUser {
    std::vector<std::string>* Heard;
    std::string Name;
    void PortEvent(TApdCustomComPort*, TPortUserEvent event)
    {
        Heard->push_back(Name + (event == pueOpened    ? " opened"
                                 : event == pueClosing ? " closing"
                                                       : " closed"));
    }
    void Other(TApdCustomComPort*, TPortUserEvent) { Heard->push_back(Name + " other"); }
    void Plain(TApdCustomComPort*, bool opening) { Heard->push_back(Name + (opening ? " up" : " down")); }
};

} // namespace

TEST(ComPortUsers, ToldLastRegisteredFirst)
{
    std::vector<std::string> heard;
    TUser a{&heard, "a"}, b{&heard, "b"}, c{&heard, "c"};
    TTestPort port;
    port.AddPortUser(TPortUserMethod::Of<&TUser::PortEvent>(&a));
    port.AddPortUserCallback(TPortCallback::Of<&TUser::Plain>(&b));
    port.AddPortUser(TPortUserMethod::Of<&TUser::Other>(&c));
    port.SetOnPortOpen([&](TComponent*) { heard.push_back("OnPortOpen"); });
    port.SetOnPortClose([&](TComponent*) { heard.push_back("OnPortClose"); });

    port.SetOpen(true);
    port.SetOpen(true);
    port.SetOpen(false);
    port.SetOpen(false);
    EXPECT_THAT(heard, ElementsAre("c other", "b up", "a opened", "OnPortOpen", "c other", "a closing",
                                   "c other", "b down", "a closed", "OnPortClose"));

    // Removal compares the routine, not the object: a's routine bound to c removes a.
    heard.clear();
    port.RemovePortUser(TPortUserMethod::Of<&TUser::PortEvent>(&c));
    port.SetOpen(true);
    EXPECT_THAT(heard, ElementsAre("c other", "b up", "OnPortOpen"));
}

TEST(ComPortUsers, AUserRemovedDuringTheRoundIsSkipped)
{
    std::vector<std::string> heard;
    TTestPort port;
    struct TLeaver {
        TTestPort* Port;
        std::vector<std::string>* Heard;
        void PortEvent(TApdCustomComPort*, TPortUserEvent)
        {
            Heard->push_back("leaver");
            Port->RemovePortUser(TPortUserMethod::Of<&TUser::PortEvent>(static_cast<TUser*>(nullptr)));
        }
    } leaver{&port, &heard};
    TUser first{&heard, "first"};
    port.AddPortUser(TPortUserMethod::Of<&TUser::PortEvent>(&first));
    port.AddPortUser(TPortUserMethod::Of<&TLeaver::PortEvent>(&leaver));
    port.SetOpen(true);
    EXPECT_THAT(heard, ElementsAre("leaver"));
}

TEST(ComPortEvents, TriggerInterestFollowsTheHandlers)
{
    TTestPort port;
    port.SetOpen(true);
    port.Record.Calls.clear();
    port.SetOnTriggerAvail([](TComponent*, uint16_t) {});
    port.SetOnTriggerTimer([](TComponent*, uint16_t) {});
    port.SetOnTriggerAvail(nullptr);
    port.SetOnTriggerTimer(nullptr);
    EXPECT_THAT(port.Record.Calls, ElementsAre("need 1", "need 1", "need 1", "need 2"));
}

TEST(ComPortEvents, StatusTriggerOfLineKindReportsTheLineError)
{
    std::vector<std::string> heard;
    TTestPort port;
    port.SetOnTrigger([&](TComponent*, uint16_t msg, uint16_t handle, uint16_t data) {
        heard.push_back("trigger " + std::to_string(msg) + " " + std::to_string(handle) + " " +
                        std::to_string(data));
    });
    port.SetOnTriggerStatus(
        [&](TComponent*, uint16_t handle) { heard.push_back("status " + std::to_string(handle)); });
    port.SetOnTriggerLineError([&](TComponent*, uint16_t error, bool lineBreak) {
        heard.push_back("line " + std::to_string(error) + (lineBreak ? " break" : ""));
    });
    port.SetOnTriggerAvail(
        [&](TComponent*, uint16_t count) { heard.push_back("avail " + std::to_string(count)); });
    port.SetOnTriggerOutSent([&](TComponent*) { heard.push_back("sent"); });
    port.SetOpen(true);
    port.Fake()->SetErrorBits(CE_FRAME | CE_BREAK);
    LPARAM high = static_cast<LPARAM>(port.Fake()->Handle()) << 16;

    SendMessageA(port.NotifyWindow(), TApdBaseDispatcher::MsgTriggerStatus, 8 + 2, high | 3);
    SendMessageA(port.NotifyWindow(), TApdBaseDispatcher::MsgTriggerStatus, 16 + 5, high);
    SendMessageA(port.NotifyWindow(), TApdBaseDispatcher::MsgTriggerAvail, 12, high);
    // A message naming a dispatcher that is not this port's is not acted on.
    SendMessageA(port.NotifyWindow(), TApdBaseDispatcher::MsgTriggerAvail, 12, high + (1 << 16));
    EXPECT_THAT(heard, ElementsAre("trigger 32260 10 3", "status 10", "line 4 break", "trigger 32260 21 0",
                                   "status 21", "sent", "trigger 32257 12 12", "avail 12"));
    EXPECT_EQ(port.CurrentLineError(), 0);
    EXPECT_FALSE(port.BreakReceived());
}

// ---- Closing ---------------------------------------------------------------------------------------

TEST(ComPortClose, InsideANotificationTheCloseWaitsForTheThreads)
{
    TTestPort port;
    int closed = 0;
    port.SetOnPortClose([&](TComponent*) { ++closed; });
    port.SetOpen(true);
    HWND window = port.NotifyWindow();
    TRecordingDispatcher* fake = port.Fake();
    fake->SetNotifying(true);
    fake->SetThreadsRunning(true);

    port.SetOpen(false);
    EXPECT_EQ(closed, 1) << "users and OnPortClose are told at once";
    EXPECT_TRUE(port.Open());
    EXPECT_EQ(port.PortPhase(), ppClosing);
    ASSERT_EQ(port.Fake(), fake);

    // While the close is being finished, line operations and opening do nothing.
    int purges = fake->Purges;
    port.DiscardInput();
    port.SendString("x");
    port.SetOpen(true);
    EXPECT_EQ(fake->Purges, purges);

    // The window keeps looking while the threads run ...
    ProcessPlatformMessages(1);
    ProcessPlatformMessages(1);
    EXPECT_EQ(port.PortPhase(), ppClosing);
    // ... and finishes once they have gone.
    fake->SetNotifying(false);
    fake->SetThreadsRunning(false);
    EXPECT_TRUE(PumpUntil([&] { return port.PortPhase() == ppClosed; }));
    EXPECT_FALSE(port.Open());
    EXPECT_EQ(port.Fake(), nullptr);
    EXPECT_FALSE(IsWindow(window));
    EXPECT_EQ(closed, 1);
    EXPECT_EQ(port.Created, 1) << "the open asked for during the close was not carried out";
}

TEST(ComPortClose, ComNumberChangeKeepsTheTriggers)
{
    std::vector<std::string> heard;
    // A user that makes its own timer when told of the open (as the packet manager does).
    struct TTimerUser {
        uint16_t Timer = 0;
        void PortEvent(TApdCustomComPort* p, TPortUserEvent event)
        {
            if (event == pueOpened)
                Timer = p->NewTimerTrigger();
            else if (event == pueClosing && Timer != 0)
                p->ActiveDispatcher()->DisposeTrigger(Timer);
        }
    } user;
    TTestPort port;
    port.SetOnPortOpen([&](TComponent*) { heard.push_back("open"); });
    port.SetOnPortClose([&](TComponent*) { heard.push_back("close"); });
    port.AddPortUser(TPortUserMethod::Of<&TTimerUser::PortEvent>(&user));
    port.SetOpen(true);
    uint16_t mine = port.NewTimerTrigger();
    port.ArmTimerTrigger(mine, 10, true);

    port.SetComNumber(2);
    EXPECT_THAT(heard, ElementsAre("open", "close", "open"));
    EXPECT_THAT(port.Record.Calls, testing::Contains("open \\\\.\\COM2"));
    EXPECT_NO_THROW(port.ArmTimerTrigger(mine, 0, true)) << "the timer made before is there again";
    EXPECT_NO_THROW(port.ArmTimerTrigger(user.Timer, 3, true)) << "the user's new timer was kept";
    EXPECT_NE(user.Timer, mine);
}

TEST(ComPortClose, ComNumberChangeInsideANotificationReopensOnceClosed)
{
    TTestPort port;
    port.SetOpen(true);
    port.Fake()->SetNotifying(true);
    port.Fake()->SetThreadsRunning(true);
    port.SetComNumber(3);
    EXPECT_EQ(port.PortPhase(), ppClosing);
    port.Fake()->SetNotifying(false);
    port.Fake()->SetThreadsRunning(false);
    EXPECT_TRUE(PumpUntil([&] { return port.Created == 2; }));
    EXPECT_EQ(port.PortPhase(), ppOpen);
    EXPECT_THAT(port.Record.Calls, testing::Contains("open \\\\.\\COM3"));
}

TEST(ComPortClose, TraceIsWrittenToItsFileAtClose)
{
    TTempDir dir;
    TTestPort port;
    port.SetTraceName(dir.File("trace.txt"));
    port.SetTracing(tlOn);
    port.SetOpen(true);
    port.SendString("AB");
    port.SetTraceSize(50); // starts the running trace again, empty
    EXPECT_EQ(port.Fake()->TraceCapacity(), 50);
    port.SendString("CD");
    port.SetOpen(false);
    EXPECT_EQ(port.Tracing(), tlOff);
    EXPECT_THAT(ReadWholeFile(dir.File("trace.txt")), HasSubstr("CD"));
    EXPECT_THAT(ReadWholeFile(dir.File("trace.txt")), testing::Not(HasSubstr("AB")));

    // A trace file that cannot be written is reported, and the port closes all the same.
    port.SetTraceName(dir.File("missing/trace.txt"));
    port.SetTracing(tlOn);
    port.SetOpen(true);
    port.SendString("EF");
    EXPECT_THROW(port.SetOpen(false), EInOutError);
    EXPECT_EQ(port.PortPhase(), ppClosed);
    EXPECT_FALSE(port.Open());
}

// ---- Trace and dispatch log ---------------------------------------------------------------------------

namespace
{

// The trace and the dispatch log answer the same state commands; a case names one of them.
struct TRecordingCase {
    const char* Name;
    void (TApdCustomComPort::*SetState)(TTraceLogState);
    TTraceLogState (TApdCustomComPort::*State)() const;
    void (TApdCustomComPort::*SetName)(const std::string&);
    void (TApdCustomComPort::*Begin)(uint32_t);
    void (TApdCustomComPort::*SaveTo)(const std::string&, bool);
    uint32_t (TApdCustomComPort::*Size)() const;
    uint32_t Largest;
    bool (TApdBaseDispatcher::*Recording)();
};

const TRecordingCase kRecordings[] = {
    {"trace", &TApdCustomComPort::SetTracing, &TApdCustomComPort::Tracing, &TApdCustomComPort::SetTraceName,
     &TApdCustomComPort::TraceBegin, &TApdCustomComPort::TraceSaveTo, &TApdCustomComPort::TraceSize, 4000000,
     &TApdBaseDispatcher::Tracing},
    {"log", &TApdCustomComPort::SetLogging, &TApdCustomComPort::Logging, &TApdCustomComPort::SetLogName,
     &TApdCustomComPort::LogBegin, &TApdCustomComPort::LogSaveTo, &TApdCustomComPort::LogSize, 16000000,
     &TApdBaseDispatcher::Logging},
};

} // namespace

TEST(ComPortRecording, StateCommandsOnAnOpenPort)
{
    for (const TRecordingCase& r : kRecordings) {
        SCOPED_TRACE(r.Name);
        TTempDir dir;
        const std::string file = dir.File("recording.txt");
        TTestPort port;
        (port.*r.SetName)(file);
        port.SetOpen(true);
        auto set = [&](TTraceLogState state) { (port.*r.SetState)(state); };
        auto state = [&] { return (port.*r.State)(); };
        auto recording = [&] { return (port.Fake()->*r.Recording)(); };

        set(tlPause);
        EXPECT_EQ(state(), tlOff) << "nothing runs that could pause";
        set(tlOn);
        EXPECT_EQ(state(), tlOn);
        EXPECT_TRUE(recording());
        port.SendString("Q1Q");
        set(tlClear);
        EXPECT_EQ(state(), tlOn) << "emptying keeps the state";
        port.SendString("Q2Q");
        set(tlPause);
        EXPECT_EQ(state(), tlPause);
        EXPECT_FALSE(recording());
        port.SendString("QXQ");
        set(tlOn);
        EXPECT_TRUE(recording()) << "a paused recording resumes";
        port.SendString("Q3Q");
        set(tlAppend);
        EXPECT_EQ(state(), tlOff);
        EXPECT_FALSE(recording());
        std::string text = ReadWholeFile(file);
        EXPECT_THAT(text, HasSubstr("Q2Q"));
        EXPECT_THAT(text, HasSubstr("Q3Q"));
        EXPECT_THAT(text, testing::Not(HasSubstr("Q1Q"))) << "emptied";
        EXPECT_THAT(text, testing::Not(HasSubstr("QXQ"))) << "sent while paused";

        set(tlOn);
        port.SendString("Q4Q");
        set(tlAppend);
        EXPECT_THAT(ReadWholeFile(file), HasSubstr("Q3Q")) << "appended after what was there";
        EXPECT_THAT(ReadWholeFile(file), HasSubstr("Q4Q"));
        set(tlOn);
        port.SendString("Q5Q");
        set(tlDump);
        EXPECT_EQ(state(), tlOff);
        EXPECT_THAT(ReadWholeFile(file), HasSubstr("Q5Q"));
        EXPECT_THAT(ReadWholeFile(file), testing::Not(HasSubstr("Q4Q"))) << "the dump replaces the file";

        set(tlOn);
        set(tlOff);
        EXPECT_EQ(state(), tlOff);
        EXPECT_FALSE(recording());

        // A size given to the begin command is kept, within the recording's bound.
        (port.*r.Begin)(r.Largest + 1);
        EXPECT_EQ((port.*r.Size)(), r.Largest);
        EXPECT_EQ(state(), tlOn);
        port.SendString("Q6Q");
        EXPECT_THROW((port.*r.SaveTo)(dir.File("missing/recording.txt"), true), EInOutError);
        port.SetOpen(false);
    }
}

TEST(ComPortRecording, CommandsNeedADispatcher)
{
    for (const TRecordingCase& r : kRecordings) {
        SCOPED_TRACE(r.Name);
        TTempDir dir;
        TTestPort manual;
        manual.SetAutoOpen(false);
        (manual.*r.Begin)(50);
        (manual.*r.SaveTo)(dir.File("recording.txt"), true);
        EXPECT_FALSE(manual.Open());
        EXPECT_EQ((manual.*r.State)(), tlOff);
        EXPECT_EQ((manual.*r.Size)(), 10000u) << "a size is kept only when the recording begins";
        EXPECT_FALSE(FileExists(dir.File("recording.txt")));

        TTestPort automatic;
        (automatic.*r.Begin)(50);
        EXPECT_TRUE(automatic.Open()) << "AutoOpen opens the port first";
        EXPECT_EQ((automatic.*r.State)(), tlOn);
        EXPECT_EQ((automatic.*r.Size)(), 50u);
    }
}

// ---- Data operations ---------------------------------------------------------------------------------

TEST(ComPortData, OperationsOnAClosedPort)
{
    TTestPort port;
    int opened = 0;
    port.SetOnPortOpen([&](TComponent*) { ++opened; });
    port.DiscardInput();
    EXPECT_EQ(opened, 1) << "AutoOpen opens the port first";
    EXPECT_TRUE(port.Open());
    EXPECT_THROW(port.ArmTimerTrigger(17, 1, true), EBadTriggerHandle);

    TTestPort manual;
    manual.SetAutoOpen(false);
    EXPECT_THROW(manual.DiscardOutput(), ECommNotOpen);
    EXPECT_EQ(manual.ActiveDispatcher(), nullptr);
    EXPECT_EQ(manual.CurrentLineError(), 0);
    EXPECT_FALSE(manual.BreakReceived());
}

TEST(ComPortData, OutputLinesUnderHandshakeKeepTheirValue)
{
    TTestPort port;
    port.SetHWFlowOptions({hwfUseDTR});
    port.SetOpen(true);
    // Under the DTR handshake the line is not the port's to set: the property keeps its value.
    port.SetDTR(false);
    EXPECT_TRUE(port.DTR());
    port.SetRTS(false);
    EXPECT_FALSE(port.RTS());
    EXPECT_EQ(port.Record.Calls.back(), "CLRRTS");
}

TEST(ComPortData, LocateComPortSearchesOwnedComponents)
{
    TComponent form;
    EXPECT_EQ(LocateComPort(&form), nullptr);
    EXPECT_EQ(LocateComPort(nullptr), nullptr);
    auto* holder = new TComponent(&form);
    new TComponent(holder);
    auto* inner = new TApdComPort(holder);
    new TComponent(&form);
    EXPECT_EQ(LocateComPort(&form), inner);
    auto* direct = new TApdComPort(&form);
    EXPECT_EQ(LocateComPort(&form), inner) << "the first in component order wins";
    EXPECT_EQ(LocateComPort(holder), inner);
    (void)direct;
}
