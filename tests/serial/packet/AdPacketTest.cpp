// Packet detectors and their manager over a port on the in-memory dispatcher: what each setting
// cuts out of the received bytes, however the bytes are split into arrivals, several detectors on
// one port, time-outs, closes in the middle of a packet, and the bounds that keep a broken line
// from using up memory.
#include "serial/packet/AdPacket.h"

#include "runtime/Wait.h"
#include "serial/log/MessageTable.h"
#include "serial/port/ApdExceptions.h"
#include "tests/serial/log/LogTestFiles.h"
#include "tests/serial/port/RecordingDispatcher.h"

#include <cstring>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using ::testing::ElementsAre;
using ::testing::ElementsAreArray;
using ::testing::IsEmpty;

namespace
{

const std::string kLF = "\n";
const std::string kETX = "\x03";

// Runs the messages posted to the test thread's windows (the managers' self-destruction).
void PumpMessages()
{
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
}

// A detector that writes down every packet and time-out it reports.
struct TRecordedPacket : TApdDataPacket {
    std::vector<std::string> Packets;
    std::vector<std::string> Raw;
    int Timeouts = 0;

    TRecordedPacket()
    {
        SetOnStringPacket([this](TComponent*, const std::string& data) { Packets.push_back(data); });
        SetOnPacket([this](TComponent*, const uint8_t* data, int32_t size) {
            Raw.emplace_back(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
        });
        SetOnTimeout([this](TComponent*) { ++Timeouts; });
    }
};

class PacketTest : public ::testing::Test
{
protected:
    ~PacketTest() override { PumpMessages(); }

    // One arrival: the bytes reach the ring and the availability check offers them.
    void Arrive(const std::string& bytes)
    {
        ASSERT_NE(port.Fake(), nullptr);
        port.Fake()->Arrive(bytes);
        port.Fake()->CheckReceivedData();
    }
    void Open()
    {
        port.SetOpen(true);
        ASSERT_TRUE(port.Open());
    }
    // A detector with the polling window's settings: ">" to a line feed, no time-out.
    static void PollingSettings(TApdDataPacket& packet)
    {
        packet.SetStartString(">");
        packet.SetEndCond({ecString});
        packet.SetEndString(kLF);
        packet.SetTimeOut(0);
    }
    static void MonitoringSettings(TApdDataPacket& packet)
    {
        packet.SetStartCond(scAnyData);
        packet.SetEndCond({ecString});
        packet.SetEndString(kETX);
        packet.SetTimeOut(0);
    }

    TTestPort port;
};

struct TCutCase {
    const char* Name;
    std::function<void(TApdDataPacket&)> Setup;
    std::vector<std::string> Arrivals;
    std::vector<std::string> Packets;
};

} // namespace

TEST_F(PacketTest, SettingsCutTheseMessages)
{
    const std::vector<TCutCase> cases = {
        {"poll answer after noise", PollingSettings, {"xx>0T<FE\r\n"}, {">0T<FE\r\n"}},
        {"several in one arrival", PollingSettings, {">1\n>2\nzz>3\n"}, {">1\n", ">2\n", ">3\n"}},
        {"start split over arrivals",
         [](TApdDataPacket& p) {
             PollingSettings(p);
             p.SetStartString(">A");
         },
         {"q>", "A1\n"},
         {">A1\n"}},
        {"start inside a failed start",
         [](TApdDataPacket& p) {
             PollingSettings(p);
             p.SetStartString(">A");
         },
         {">>A2\n"},
         {">A2\n"}},
        {"monitoring message", MonitoringSettings, {"A20030401\x03"}, {"A20030401\x03"}},
        {"monitoring messages back to back", MonitoringSettings, {"A1\x03R2", "\x03"}, {"A1\x03", "R2\x03"}},
        {"start ignores case",
         [](TApdDataPacket& p) {
             PollingSettings(p);
             p.SetStartString("ab");
         },
         {"AB1\naB2\nab3\n"},
         {"AB1\n", "aB2\n", "ab3\n"}},
        {"start minds case",
         [](TApdDataPacket& p) {
             PollingSettings(p);
             p.SetStartString("ab");
             p.SetIgnoreCase(false);
         },
         {"AB1\naB2\nab3\n"},
         {"ab3\n"}},
        {"wildcard and escaped question mark",
         [](TApdDataPacket& p) {
             PollingSettings(p);
             p.SetStartString("?B\\?");
         },
         {"xB!\nXB?1\n"},
         {"XB?1\n"}},
        {"start alone is the packet",
         [](TApdDataPacket& p) {
             p.SetStartString("ab");
             p.SetTimeOut(0);
         },
         {"xxabyya", "b"},
         {"ab", "ab"}},
        {"size ends the packet",
         [](TApdDataPacket& p) {
             p.SetStartString(">");
             p.SetEndCond({ecPacketSize});
             p.SetPacketSize(4);
         },
         {">abcdef>12", "3"},
         {">abc", ">123"}},
        {"size the start string fills",
         [](TApdDataPacket& p) {
             p.SetStartString(">");
             p.SetEndCond({ecPacketSize});
             p.SetPacketSize(1);
         },
         {"x>>"},
         {">", ">"}},
        {"size or end string, whichever first",
         [](TApdDataPacket& p) {
             MonitoringSettings(p);
             p.SetEndCond({ecString, ecPacketSize});
             p.SetPacketSize(5);
         },
         {"ab\x03", "cdefgh\x03"},
         {"ab\x03", "cdefg", "h\x03"}},
        {"without start and end strings",
         [](TApdDataPacket& p) {
             PollingSettings(p);
             p.SetEndString("\r\n");
             p.SetIncludeStrings(false);
         },
         {">0T<FE\r\n"},
         {"0T<FE"}},
        {"end string begins at the mismatching byte",
         [](TApdDataPacket& p) {
             PollingSettings(p);
             p.SetEndString("\r\n");
         },
         {">a\r\r\n"},
         {">a\r\r\n"}},
        {"overlapping end string",
         [](TApdDataPacket& p) {
             PollingSettings(p);
             p.SetEndString("aab");
         },
         {">xaaab!"},
         {">xaaab"}},
    };
    for (const TCutCase& test : cases) {
        SCOPED_TRACE(test.Name);
        TRecordedPacket packet;
        test.Setup(packet);
        packet.SetComPort(&port);
        packet.SetEnabled(true);
        Open();
        for (const std::string& arrival : test.Arrivals)
            Arrive(arrival);
        EXPECT_THAT(packet.Packets, ElementsAreArray(test.Packets));
        EXPECT_THAT(packet.Raw, ElementsAreArray(test.Packets)) << "raw form alike";
        port.SetOpen(false);
    }
}

TEST_F(PacketTest, ASplitAtEveryOffsetCutsTheSameMessages)
{
    const std::string stream = "noise>0T<FE\r\n>0t0803111601<13\r\n>1T<FF\r\n";
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        SCOPED_TRACE(cut);
        TRecordedPacket packet;
        PollingSettings(packet);
        packet.SetComPort(&port);
        packet.SetEnabled(true);
        Open();
        Arrive(stream.substr(0, cut));
        Arrive(stream.substr(cut));
        EXPECT_THAT(packet.Packets, ElementsAre(">0T<FE\r\n", ">0t0803111601<13\r\n", ">1T<FF\r\n"));
        EXPECT_EQ(packet.Manager()->BufferCount(), 0) << "nothing held between packets";
        port.SetOpen(false);
    }
}

TEST_F(PacketTest, DetectorStates)
{
    TRecordedPacket packet;
    PollingSettings(packet);
    packet.SetComPort(&port);
    packet.SetEnabled(true);
    EXPECT_EQ(packet.PacketMode(), TPacketMode::Idle) << "the port is closed";
    Open();
    EXPECT_EQ(packet.PacketMode(), TPacketMode::Waiting);
    Arrive(">0");
    EXPECT_EQ(packet.PacketMode(), TPacketMode::Collecting);
    EXPECT_TRUE(packet.HoldsCollection());
    Arrive("\n");
    EXPECT_EQ(packet.PacketMode(), TPacketMode::Waiting) << "enabled again after the packet";

    packet.SetAutoEnable(false);
    Arrive(">1\n>2\n");
    EXPECT_THAT(packet.Packets, ElementsAre(">0\n", ">1\n"));
    EXPECT_FALSE(packet.Enabled());
    EXPECT_EQ(packet.PacketMode(), TPacketMode::Idle);

    // A disabled detector reports nothing, even of a whole packet it held.
    packet.SetAutoEnable(true);
    packet.SetEnabled(true);
    Arrive(">3");
    packet.SetEnabled(false);
    Arrive("\n>4\n");
    EXPECT_THAT(packet.Packets, ElementsAre(">0\n", ">1\n"));

    // The end string changes on an enabled detector at once: it starts afresh.
    packet.SetEnabled(true);
    Arrive(">5");
    packet.SetEndString(";");
    Arrive("\n;>6;");
    EXPECT_THAT(packet.Packets, ElementsAre(">0\n", ">1\n", ">6;"));
}

TEST_F(PacketTest, InconsistentSettingsRaiseWhenMatchingStarts)
{
    struct TCase {
        std::function<void(TApdDataPacket&)> Setup;
        int32_t Code;
    };
    const TCase cases[] = {
        {[](TApdDataPacket& p) { p.SetEndCond({ecString}); }, -5501},
        {[](TApdDataPacket& p) {
             p.SetStartString(">>>");
             p.SetEndCond({ecPacketSize});
             p.SetPacketSize(2);
         },
         -5502},
        {[](TApdDataPacket& p) { p.SetStartCond(scAnyData); }, -5503},
        {[](TApdDataPacket& p) {
             p.SetStartString(">");
             p.SetEndCond({ecString});
         },
         -5504},
        {[](TApdDataPacket& p) {
             p.SetStartCond(scAnyData);
             p.SetEndCond({ecPacketSize});
         },
         -5505},
        // A lone escape is dropped, which leaves nothing to match.
        {[](TApdDataPacket& p) {
             p.SetStartString("\\");
             p.SetEndCond({ecString});
             p.SetEndString(kLF);
         },
         -5501},
        {[](TApdDataPacket& p) {
             p.SetStartCond(scAnyData);
             p.SetEndCond({ecString});
             p.SetEndString("\\");
         },
         -5504},
    };
    Open();
    for (const TCase& test : cases) {
        SCOPED_TRACE(test.Code);
        TRecordedPacket packet;
        packet.SetComPort(&port);
        test.Setup(packet);
        try {
            packet.SetEnabled(true);
            ADD_FAILURE() << "no exception";
        } catch (const EInvalidProperty& error) {
            EXPECT_EQ(error.ResultCode(), test.Code);
        }
        EXPECT_FALSE(packet.Enabled());
    }
}

TEST_F(PacketTest, TimeOutStopsCollectingAndDiscards)
{
    TFakeClock clock(1000);
    TRecordedPacket packet;
    MonitoringSettings(packet);
    packet.SetTimeOut(2); // 110 ms
    packet.SetComPort(&port);
    packet.SetEnabled(true);
    Open();
    Arrive("A2003");
    clock.Advance(60);
    EXPECT_FALSE(port.Fake()->CheckTimerTriggers());
    clock.Advance(120);
    port.Fake()->CheckTimerTriggers();
    EXPECT_EQ(packet.Timeouts, 1);
    EXPECT_FALSE(packet.Enabled()) << "not enabled again after a time-out";
    EXPECT_EQ(packet.Manager()->BufferCount(), 0);
    Arrive("0401\x03");
    EXPECT_THAT(packet.Packets, IsEmpty());

    // Without a time-out a packet that takes long still arrives whole.
    packet.SetTimeOut(0);
    packet.SetEnabled(true);
    Arrive("A20");
    clock.Advance(1000000);
    port.Fake()->CheckTimerTriggers();
    Arrive("030401\x03");
    EXPECT_THAT(packet.Packets, ElementsAre("A20030401\x03"));
    EXPECT_EQ(packet.Timeouts, 1);
}

TEST_F(PacketTest, TwoDetectorsOnOnePort)
{
    TRecordedPacket first;
    PollingSettings(first);
    first.SetComPort(&port);
    first.SetEnabled(true);
    TRecordedPacket second;
    PollingSettings(second);
    second.SetStartString("#");
    second.SetComPort(&port);
    second.SetEnabled(true);
    EXPECT_EQ(first.Manager(), second.Manager()) << "one manager per port";
    Open();

    // While the first collects, the second sees nothing; then it gets what is left from the start.
    Arrive(">a#b");
    EXPECT_EQ(second.PacketMode(), TPacketMode::Waiting);
    EXPECT_EQ(first.Manager()->CollectingPacket(), &first);
    Arrive("\n#c\n");
    EXPECT_THAT(first.Packets, ElementsAre(">a#b\n"));
    EXPECT_THAT(second.Packets, ElementsAre("#c\n"));

    // A partial start of one detector survives the other's packet in front of it.
    second.SetStartString("#X");
    second.SetEndString(";");
    Arrive(">1\n#");
    Arrive("X2;");
    EXPECT_THAT(first.Packets, ElementsAre(">a#b\n", ">1\n"));
    EXPECT_THAT(second.Packets, ElementsAre("#c\n", "#X2;"));

    // Any-data detectors take turns: the second starts when the first has finished.
    TRecordedPacket any1;
    MonitoringSettings(any1);
    TRecordedPacket any2;
    MonitoringSettings(any2);
    any2.SetEndString("!");
    port.SetOpen(false);
    first.SetComPort(nullptr);
    second.SetComPort(nullptr);
    any1.SetComPort(&port);
    any2.SetComPort(&port);
    any1.SetEnabled(true);
    any2.SetEnabled(true);
    Open();
    EXPECT_EQ(any1.PacketMode(), TPacketMode::Collecting);
    EXPECT_EQ(any2.PacketMode(), TPacketMode::Idle);
    Arrive("ab!\x03");
    EXPECT_THAT(any1.Packets, ElementsAre("ab!\x03"));
    EXPECT_THAT(any2.Packets, IsEmpty()) << "its end came while the other collected";
}

TEST_F(PacketTest, ManyPacketsCutFromALongHeldBufferComeOutInOrder)
{
    // An any-data detector holds a long stretch; when it leaves, a second detector cuts thousands
    // of packets out of it in one pass, and then goes on with the next arrival. Each packet is
    // taken from the front of what is held, without moving the rest.
    TRecordedPacket holder;
    MonitoringSettings(holder);
    holder.SetComPort(&port);
    holder.SetEnabled(true);
    TRecordedPacket lines;
    PollingSettings(lines);
    lines.SetComPort(&port);
    lines.SetEnabled(true);
    Open();
    std::string stream;
    for (int i = 0; i < 20000; ++i)
        stream += ">" + std::to_string(i) + "\n";
    for (size_t at = 0; at < stream.size(); at += 4000)
        Arrive(stream.substr(at, 4000));
    ASSERT_EQ(lines.Packets.size(), 0u) << "the holder collects first";
    holder.SetEnabled(false);
    ASSERT_EQ(lines.Packets.size(), 20000u);
    EXPECT_EQ(lines.Packets.front(), ">0\n");
    EXPECT_EQ(lines.Packets.back(), ">19999\n");
    for (int i : {1, 777, 12345})
        EXPECT_EQ(lines.Packets.at(static_cast<size_t>(i)), ">" + std::to_string(i) + "\n");
    Arrive(">a");
    Arrive("b\n>c\n");
    EXPECT_THAT(std::vector<std::string>(lines.Packets.end() - 2, lines.Packets.end()),
                ElementsAre(">ab\n", ">c\n"));
}

TEST_F(PacketTest, CloseInTheMiddleOfAPacketThrowsItAway)
{
    TRecordedPacket packet;
    PollingSettings(packet);
    packet.SetComPort(&port);
    packet.SetEnabled(true);
    Open();
    Arrive(">0t08031");
    port.SetOpen(false);
    EXPECT_EQ(packet.PacketMode(), TPacketMode::Idle);
    EXPECT_TRUE(packet.Enabled()) << "Enabled keeps its value over a close";
    EXPECT_EQ(packet.Manager()->BufferCount(), 0);
    Open();
    Arrive("11601<13\r\n>1T<FF\r\n");
    EXPECT_THAT(packet.Packets, ElementsAre(">1T<FF\r\n"));
}

TEST_F(PacketTest, HandlerExceptionsDoNotStopDelivery)
{
    TRecordedPacket packet;
    PollingSettings(packet);
    int calls = 0;
    packet.SetOnStringPacket([&calls](TComponent*, const std::string&) {
        ++calls;
        throw std::runtime_error("handler failed");
    });
    packet.SetComPort(&port);
    packet.SetEnabled(true);
    Open();
    ::testing::internal::CaptureStderr();
    Arrive(">1\n>2\n");
    std::string shown = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(calls, 2);
    EXPECT_NE(shown.find("handler failed"), std::string::npos);
    EXPECT_TRUE(packet.Enabled());
}

TEST_F(PacketTest, BrokenLinesCannotMakeTheBufferGrowWithoutLimit)
{
    // A packet that never ends and has no time-out is thrown away past the bound; matching goes on.
    TRecordedPacket packet;
    MonitoringSettings(packet);
    packet.SetComPort(&port);
    packet.SetEnabled(true);
    Open();
    const std::string chunk(4096, 'x');
    int32_t largest = 0;
    for (int i = 0; i < (TApdDataPacket::kMaxPacketLength / 4096) + 8; ++i) {
        Arrive(chunk);
        largest = std::max(largest, packet.Manager()->BufferCapacity());
    }
    EXPECT_LE(largest, TApdDataPacket::kMaxPacketLength + 2 * TApdDataPacketManager::kBufferStep);
    EXPECT_TRUE(packet.Enabled());
    Arrive("A1\x03");
    ASSERT_EQ(packet.Packets.size(), 1u);
    EXPECT_LT(packet.Packets[0].size(), 8 * 4096u + 4);
    EXPECT_EQ(packet.Packets[0].substr(packet.Packets[0].size() - 3), "A1\x03");

    // A line that keeps repeating the beginning of a start string keeps only that beginning.
    TRecordedPacket polling;
    PollingSettings(polling);
    polling.SetStartString(">A");
    port.SetOpen(false);
    packet.SetComPort(nullptr);
    polling.SetComPort(&port);
    polling.SetEnabled(true);
    Open();
    for (int i = 0; i < 64; ++i)
        Arrive(std::string(4096, '>'));
    EXPECT_LE(polling.Manager()->BufferCapacity(), TApdDataPacketManager::kBufferStep);
    Arrive("A9\n");
    EXPECT_THAT(polling.Packets, ElementsAre(">A9\n"));
}

TEST_F(PacketTest, ManagerLifecycle)
{
    auto& list = TApdDataPacketManagerList::Instance();
    int before = list.Count();
    {
        TRecordedPacket packet;
        packet.SetComPort(&port);
        EXPECT_EQ(list.Count(), before + 1);
        EXPECT_EQ(list.GetPortManager(&port), packet.Manager());
        EXPECT_FALSE(packet.Manager()->Active()) << "the port is closed";
        Open();
        EXPECT_TRUE(packet.Manager()->Active());
        EXPECT_NE(packet.Manager()->TimerHandle(), 0);
        port.SetOpen(false);
        EXPECT_FALSE(packet.Manager()->Active());
    }
    EXPECT_EQ(list.GetPortManager(&port), nullptr) << "a detector joining now gets a new manager";
    EXPECT_TRUE(WaitUntilPumping([&] { return list.Count() == before; }, nullptr, 5000));

    // A manager made for an open port works at once, and stops listening when its last detector
    // leaves.
    Open();
    auto packet = std::make_unique<TRecordedPacket>();
    PollingSettings(*packet);
    packet->SetComPort(&port);
    packet->SetEnabled(true);
    EXPECT_TRUE(packet->Manager()->Active());
    Arrive(">1\n");
    EXPECT_THAT(packet->Packets, ElementsAre(">1\n"));
    size_t handlers = port.Fake()->HandlerCount();
    packet.reset();
    EXPECT_EQ(port.Fake()->HandlerCount(), handlers - 1);
    Arrive(">2\n");
    EXPECT_TRUE(WaitUntilPumping([&] { return list.Count() == before; }, nullptr, 5000));
}

TEST_F(PacketTest, ADetectorThatCannotStartLeavesThePortToTheOthers)
{
    TRecordedPacket working;
    PollingSettings(working);
    working.SetComPort(&port);
    working.SetEnabled(true);
    Open();
    TRecordedPacket broken;
    broken.SetStartCond(scAnyData);
    broken.SetEndCond({ecString}); // and no end string
    broken.SetComPort(&port);
    EXPECT_THROW(broken.SetEnabled(true), EInvalidProperty);
    EXPECT_EQ(working.Manager()->CollectingPacket(), nullptr) << "the collection was never claimed";
    Arrive(">1\n");
    EXPECT_THAT(working.Packets, ElementsAre(">1\n"));
    EXPECT_EQ(working.Manager()->BufferCount(), 0);

    // Enabled while the port was closed, it fails only at the open: the others still start.
    port.SetOpen(false);
    TRecordedPacket later; // told of the open after the broken one
    PollingSettings(later);
    later.SetStartString("#");
    later.SetComPort(&port);
    later.SetEnabled(true);
    broken.SetStartCond(scString); // and no start string
    broken.SetEnabled(true);
    ::testing::internal::CaptureStderr();
    Open();
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("Start string is empty"), std::string::npos);
    Arrive(">2\n#3\n");
    EXPECT_THAT(working.Packets, ElementsAre(">1\n", ">2\n"));
    EXPECT_THAT(later.Packets, ElementsAre("#3\n"));
}

TEST_F(PacketTest, DisablingTheCollectorGivesTheBytesToTheOthers)
{
    TRecordedPacket any;
    any.SetStartCond(scAnyData);
    any.SetEndCond({ecPacketSize});
    any.SetPacketSize(20);
    any.SetComPort(&port);
    any.SetEnabled(true);
    TRecordedPacket bee;
    PollingSettings(bee);
    bee.SetStartString("B");
    bee.SetEndString("B");
    bee.SetComPort(&port);
    bee.SetEnabled(true);
    Open();
    Arrive("xBB");
    any.SetEnabled(false);
    EXPECT_THAT(bee.Packets, ElementsAre("BB"));
    EXPECT_EQ(any.PacketMode(), TPacketMode::Idle);
    EXPECT_EQ(any.Manager()->CollectingPacket(), nullptr);
    Arrive("yBcB");
    EXPECT_THAT(bee.Packets, ElementsAre("BB", "BcB"));
    EXPECT_EQ(any.Manager()->BufferCount(), 0);
}

TEST_F(PacketTest, PlainSettingsWaitForTheNextStart)
{
    TRecordedPacket packet;
    PollingSettings(packet);
    packet.SetStartString("ab");
    packet.SetIgnoreCase(false);
    packet.SetComPort(&port);
    packet.SetEnabled(true);
    Open();
    packet.SetIgnoreCase(true); // takes effect when matching starts again
    packet.SetIncludeStrings(false);
    Arrive("AB1\nab2\nAB3\n");
    EXPECT_THAT(packet.Packets, ElementsAre("ab2\n", "3"));
}

TEST_F(PacketTest, HandlersThatRemoveTheirDetector)
{
    auto& list = TApdDataPacketManagerList::Instance();
    // One frees its detector, the other detaches it: the delivery stops using it, the port is let
    // go once the event is over, and the bytes after the packet are not lost to a new detector.
    for (bool destroy : {true, false}) {
        SCOPED_TRACE(destroy);
        auto* packet = new TApdDataPacket;
        PollingSettings(*packet);
        packet->SetOnStringPacket([&, packet](TComponent*, const std::string&) {
            if (destroy)
                delete packet;
            else
                packet->SetComPort(nullptr);
        });
        packet->SetComPort(&port);
        packet->SetEnabled(true);
        Open();
        Arrive(">1\n>2");
        EXPECT_EQ(list.GetPortManager(&port), nullptr);
        if (!destroy)
            delete packet;
        TRecordedPacket next;
        PollingSettings(next);
        next.SetComPort(&port);
        next.SetEnabled(true);
        Arrive(">3\n");
        EXPECT_THAT(next.Packets, ElementsAre(">3\n"));
        port.SetOpen(false);
    }
}

TEST_F(PacketTest, AnExpiryThatCameLateDoesNotEndANewCollection)
{
    TRecordedPacket packet;
    MonitoringSettings(packet); // no time-out
    packet.SetComPort(&port);
    packet.SetEnabled(true);
    Open();
    Arrive("A20");
    // As if the timer of an earlier collection had fired while its message waited.
    port.Fake()->NotifyHandlers(TApdBaseDispatcher::MsgTriggerTimer,
                                static_cast<WPARAM>(packet.Manager()->TimerHandle()), 0);
    EXPECT_EQ(packet.Timeouts, 0);
    Arrive("0\x03");
    EXPECT_THAT(packet.Packets, ElementsAre("A200\x03"));
}

namespace
{

// A detector whose memory is spoilt, not returned, when it is freed: a later use of it reads a
// manager and a state that are nonsense, which shows even without a memory checker.
struct TSpoiltOnFree : TRecordedPacket {
    // Out of line, so that the compiler does not pair the global allocation it would see inlined
    // with this class's own delete, which keeps the memory on purpose.
    [[gnu::noinline]] static void* operator new(size_t size) { return ::operator new(size); }
    [[gnu::noinline]] static void operator delete(void* memory, size_t size)
    {
        std::memset(memory, 0xA5, size);
        Graveyard().push_back(memory);
    }
    static std::vector<void*>& Graveyard()
    {
        static std::vector<void*> graves;
        return graves;
    }
};

} // namespace

TEST_F(PacketTest, AHandlerFreeingItsDetectorWhileTheCloseOffersHeldBytes)
{
    // The first collects "<x#"; the close gives the collection back, which offers the held bytes
    // to the second, whose packet handler frees it in the middle of the close's own loop.
    TRecordedPacket angle;
    angle.SetStartString("<");
    angle.SetEndCond({ecString});
    angle.SetEndString(">");
    angle.SetTimeOut(0);
    angle.SetComPort(&port);
    angle.SetEnabled(true);
    auto* hash = new TSpoiltOnFree;
    hash->SetStartString("#");
    hash->SetTimeOut(0);
    int delivered = 0;
    hash->SetOnStringPacket([&delivered, hash](TComponent*, const std::string& data) {
        ++delivered;
        EXPECT_EQ(data, "#");
        delete hash;
    });
    hash->SetComPort(&port);
    hash->SetEnabled(true);
    Open();
    Arrive("<x#");
    EXPECT_EQ(angle.Manager()->CollectingPacket(), &angle);
    port.SetOpen(false);
    EXPECT_EQ(delivered, 1);
    EXPECT_EQ(angle.PacketMode(), TPacketMode::Idle);
    EXPECT_EQ(angle.Manager()->Packets().size(), 1u);
    Open();
    Arrive("<y>");
    EXPECT_THAT(angle.Packets, ElementsAre("<y>"));
    for (void* grave : TSpoiltOnFree::Graveyard())
        ::operator delete(grave);
    TSpoiltOnFree::Graveyard().clear();
}

TEST_F(PacketTest, ADetectorMadeBeforeItsPortInTheSameOwnerTakesIt)
{
    TComponent owner;
    auto* packet = new TApdDataPacket(&owner);
    EXPECT_EQ(packet->ComPort(), nullptr);
    auto* port = new TApdComPort(&owner);
    EXPECT_EQ(packet->ComPort(), port);
    EXPECT_NE(packet->Manager(), nullptr);
    // A second port does not take it away.
    new TApdComPort(&owner);
    EXPECT_EQ(packet->ComPort(), port);
    delete port;
    EXPECT_EQ(packet->ComPort(), nullptr);
}

TEST_F(PacketTest, OverlongPacketsAndSizesBeyondTheBound)
{
    TRecordedPacket packet;
    MonitoringSettings(packet);
    packet.SetComPort(&port);
    std::vector<int32_t> tooLong;
    packet.SetOnPacketTooLong([&tooLong](TComponent*, int32_t size) { tooLong.push_back(size); });
    packet.SetEnabled(true);
    Open();
    const std::string chunk(4096, 'x');
    for (int i = 1; i < TApdDataPacket::kMaxPacketLength / 4096; ++i)
        Arrive(chunk);
    EXPECT_THAT(tooLong, IsEmpty());
    port.Fake()->StartDispatchLogging(1 << 20);
    Arrive(chunk); // the packet reaches the bound with this one's last byte
    EXPECT_THAT(tooLong, ElementsAre(TApdDataPacket::kMaxPacketLength)) << "the caller is told";
    TTempDir dir;
    ASSERT_EQ(port.Fake()->DumpDispatchLog(dir.File("log.txt"), false, false, false), 0);
    const std::string log = ReadWholeFile(dir.File("log.txt"));
    EXPECT_NE(log.find("Packet    PcktTooLong   00000000  Packet too long"), std::string::npos) << log;
    EXPECT_TRUE(packet.Enabled()) << "matching goes on";
    Arrive(chunk);
    Arrive("\x03");
    ASSERT_EQ(packet.Packets.size(), 1u);
    EXPECT_EQ(packet.Packets[0].size(), 4096u + 1);

    // A size that no packet may reach is refused when matching starts; the bound itself works.
    port.SetOpen(false);
    packet.SetEnabled(false);
    packet.SetEndCond({ecPacketSize});
    packet.SetPacketSize(TApdDataPacket::kMaxPacketLength + 1);
    Open();
    try {
        packet.SetEnabled(true);
        ADD_FAILURE() << "no exception";
    } catch (const EInvalidProperty& error) {
        EXPECT_EQ(error.ResultCode(), -5506);
    }
    EXPECT_FALSE(packet.Enabled());
    packet.SetPacketSize(TApdDataPacket::kMaxPacketLength);
    packet.SetEnabled(true);
    for (int i = 0; i < TApdDataPacket::kMaxPacketLength / 4096; ++i)
        Arrive(chunk);
    ASSERT_EQ(packet.Packets.size(), 2u);
    EXPECT_EQ(packet.Packets[1].size(), static_cast<size_t>(TApdDataPacket::kMaxPacketLength));
    EXPECT_EQ(tooLong.size(), 1u);
}

TEST_F(PacketTest, TimeOutsBeyondTheClockRangeAndNegativeOnes)
{
    TFakeClock clock(1000);
    TRecordedPacket packet;
    MonitoringSettings(packet);
    packet.SetComPort(&port);
    Open();

    packet.SetTimeOut(-1);
    EXPECT_THROW(packet.SetEnabled(true), EInvalidProperty);
    EXPECT_FALSE(packet.Enabled());

    // Longer than the dispatcher's timers reach and than the clock takes to wrap: 60 days.
    const int64_t ticks = 60LL * 24 * 3600 * 1000 / 55;
    packet.SetTimeOut(static_cast<int32_t>(ticks));
    packet.SetEnabled(true);
    Arrive("A2");
    const uint32_t step = 1u << 30; // under the half range the tick arithmetic can order
    int64_t passed = 0;
    while (passed + step < ticks * 55) {
        clock.Advance(step);
        passed += step;
        port.Fake()->CheckTimerTriggers();
        ASSERT_EQ(packet.Timeouts, 0) << passed << " ms";
    }
    for (int i = 0; i < 4 && packet.Timeouts == 0; ++i) {
        clock.Advance(step);
        port.Fake()->CheckTimerTriggers();
    }
    EXPECT_EQ(packet.Timeouts, 1);

    // The largest value times out too, long after the clock has wrapped many times.
    packet.SetTimeOut(INT32_MAX);
    packet.SetEnabled(true);
    Arrive("B");
    for (int i = 0; i < 64; ++i) {
        clock.Advance(step);
        port.Fake()->CheckTimerTriggers();
    }
    EXPECT_EQ(packet.Timeouts, 1) << "64 Gi ms are far less than its 3.7 years";
}

TEST_F(PacketTest, ADetectorDetachedByAHandlerWhileItLeaves)
{
    // The collector leaves; giving the collection back lets the other deliver, and that handler
    // detaches the leaving detector itself.
    TRecordedPacket angle;
    angle.SetStartString("<");
    angle.SetEndCond({ecString});
    angle.SetEndString(">");
    angle.SetTimeOut(0);
    angle.SetComPort(&port);
    angle.SetEnabled(true);
    TRecordedPacket hash;
    hash.SetStartString("#");
    hash.SetTimeOut(0);
    hash.SetOnStringPacket([&angle](TComponent*, const std::string&) { angle.SetComPort(nullptr); });
    hash.SetComPort(&port);
    hash.SetEnabled(true);
    Open();
    Arrive("<x#");
    ASSERT_EQ(angle.Manager()->CollectingPacket(), &angle);
    angle.SetComPort(nullptr);
    EXPECT_EQ(angle.Manager(), nullptr);
    EXPECT_EQ(angle.ComPort(), nullptr);
    ASSERT_NE(hash.Manager(), nullptr);
    EXPECT_EQ(hash.Manager()->Packets().size(), 1u);
    Arrive("#");
    EXPECT_EQ(hash.Manager()->BufferCount(), 0);
}

TEST_F(PacketTest, ALeavingDetectorIsNotStartedAgainByTheDeliveryItsLeaveCauses)
{
    // The any-data collector leaves; the other delivers from the bytes it gave back, and the end
    // of that delivery starts every enabled detector again, the leaving one too.
    TRecordedPacket any;
    MonitoringSettings(any);
    any.SetComPort(&port);
    any.SetEnabled(true);
    TRecordedPacket hash;
    hash.SetStartString("#");
    hash.SetTimeOut(0);
    hash.SetComPort(&port);
    hash.SetEnabled(true);
    Open();
    Arrive("x#");
    ASSERT_EQ(any.Manager()->CollectingPacket(), &any);
    TApdDataPacketManager* manager = any.Manager();
    any.SetComPort(nullptr);
    EXPECT_THAT(hash.Packets, ElementsAre("#"));
    EXPECT_EQ(any.PacketMode(), TPacketMode::Idle);
    EXPECT_TRUE(any.Enabled()) << "leaving keeps Enabled";
    EXPECT_EQ(manager->CollectingPacket(), nullptr);
    Arrive("y#");
    EXPECT_THAT(hash.Packets, ElementsAre("#", "#"));
}

namespace
{

// An any-data collector to ETX of at most `size` bytes, and a detector of "#" whose handler writes
// its packet down and then calls `onHash`: one detector's handler acting on the other while the
// collector gives its bytes back.
void CollectorAndHash(TTestPort& line, TApdDataPacket& any, int32_t size, TRecordedPacket& hash,
                      std::function<void()> onHash)
{
    any.SetStartCond(scAnyData);
    any.SetEndCond({ecString});
    any.SetEndString(kETX);
    any.SetTimeOut(0);
    any.SetPacketSize(size);
    any.SetComPort(&line);
    any.SetEnabled(true);
    hash.SetStartString("#");
    hash.SetTimeOut(0);
    hash.SetOnStringPacket([&hash, onHash](TComponent*, const std::string& data) {
        hash.Packets.push_back(data);
        onHash();
    });
    hash.SetComPort(&line);
    hash.SetEnabled(true);
}

void ArriveOn(TTestPort& line, const std::string& bytes)
{
    line.Fake()->Arrive(bytes);
    line.Fake()->CheckReceivedData();
}

void OpenWith(TTestPort& line, const std::string& bytes)
{
    line.SetOpen(true);
    ASSERT_TRUE(line.Open());
    ArriveOn(line, bytes);
}

} // namespace

TEST_F(PacketTest, AnEndChangeTakesEffectWhenAHandlerEnablesTheDetectorMeanwhile)
{
    // Changing the end disables the collector, which gives its bytes back; another detector
    // delivers from them and its handler enables the collector again, which starts with the old
    // end. The change must still hold, with the collector started afresh as after any change
    // (the bytes nobody claimed when it let go are gone, as then).
    TRecordedPacket any;
    TRecordedPacket hash;
    CollectorAndHash(port, any, 2, hash, [&] { any.SetEnabled(true); });
    OpenWith(port, "ab#cd");
    ASSERT_EQ(any.Manager()->CollectingPacket(), &any);
    any.SetEndCond({ecPacketSize});
    EXPECT_THAT(hash.Packets, ElementsAre("#"));
    EXPECT_TRUE(any.Enabled());
    Arrive("efgh");
    EXPECT_THAT(any.Packets, ElementsAre("ef", "gh")) << "no packet longer than its size";
    // The same through the end string: the old one (ETX) no longer ends a packet.
    any.SetEndCond({ecString});
    Arrive("xy#z");
    any.SetEndString("z");
    EXPECT_THAT(hash.Packets, ElementsAre("#", "#"));
    Arrive("1z");
    EXPECT_THAT(any.Packets, ElementsAre("ef", "gh", "1z"));
}

TEST_F(PacketTest, ADetectorThatDisablesItselfDuringAnEndChangeStaysDisabled)
{
    // The change restarts the collector; giving its bytes back lets another detector deliver,
    // the end of that delivery starts the collector, which delivers with the new end and, without
    // AutoEnable, disables itself. The restart must leave it so, not collecting while disabled.
    TRecordedPacket any;
    TRecordedPacket hash;
    CollectorAndHash(port, any, 1, hash, [&] { any.SetEnabled(true); });
    any.SetAutoEnable(false);
    OpenWith(port, "a#b#c");
    ASSERT_EQ(any.Manager()->CollectingPacket(), &any);
    any.SetEndCond({ecPacketSize});
    EXPECT_THAT(hash.Packets, ElementsAre("#", "#"));
    EXPECT_THAT(any.Packets, ElementsAre("c"));
    EXPECT_FALSE(any.Enabled());
    EXPECT_EQ(any.PacketMode(), TPacketMode::Idle);
    EXPECT_EQ(any.Manager()->CollectingPacket(), nullptr);
    Arrive("d#");
    EXPECT_THAT(hash.Packets, ElementsAre("#", "#", "#"));
    EXPECT_THAT(any.Packets, ElementsAre("c"));
}

TEST_F(PacketTest, AnEndThatCannotStartLeavesTheDetectorDisabledWhateverItsHandlersDid)
{
    // A size end with PacketSize 0 cannot start. Whether or not a handler enabled the collector
    // again while the change gave its bytes back, the refusal leaves it disabled, and mending the
    // size and enabling it starts it.
    for (bool enabledByHandler : {false, true}) {
        SCOPED_TRACE(enabledByHandler ? "enabled again by a handler" : "left alone");
        TTestPort line;
        TRecordedPacket any;
        TRecordedPacket hash;
        CollectorAndHash(line, any, 0, hash, [&] {
            if (enabledByHandler)
                any.SetEnabled(true);
        });
        OpenWith(line, "ab#cd");
        ASSERT_EQ(any.Manager()->CollectingPacket(), &any);
        EXPECT_THROW(any.SetEndCond({ecPacketSize}), EInvalidProperty);
        EXPECT_FALSE(any.Enabled());
        EXPECT_EQ(any.Manager()->CollectingPacket(), nullptr);
        any.SetPacketSize(2);
        any.SetEnabled(true);
        ArriveOn(line, "efgh");
        EXPECT_THAT(any.Packets, ElementsAre("ef", "gh"));
    }
}

TEST_F(PacketTest, AHandlerFreeingTheCollectorThatIsBeingDisabled)
{
    // Disabling the collector, or changing its end, gives its bytes back; another detector
    // delivers from them and its handler frees the collector in the middle of that call.
    for (bool throughEndChange : {false, true}) {
        SCOPED_TRACE(throughEndChange ? "end change" : "disable");
        TTestPort line;
        auto* any = new TSpoiltOnFree;
        TRecordedPacket hash;
        CollectorAndHash(line, *any, 2, hash, [&] {
            delete any;
            any = nullptr;
        });
        OpenWith(line, "ab#cd");
        ASSERT_EQ(hash.Manager()->CollectingPacket(), any);
        if (throughEndChange)
            any->SetEndCond({ecPacketSize});
        else
            any->SetEnabled(false);
        EXPECT_THAT(hash.Packets, ElementsAre("#"));
        EXPECT_EQ(hash.Manager()->Packets().size(), 1u);
        EXPECT_EQ(hash.Manager()->CollectingPacket(), nullptr);
        ArriveOn(line, "e#");
        EXPECT_THAT(hash.Packets, ElementsAre("#", "#"));
    }
    for (void* grave : TSpoiltOnFree::Graveyard())
        ::operator delete(grave);
    TSpoiltOnFree::Graveyard().clear();
}
