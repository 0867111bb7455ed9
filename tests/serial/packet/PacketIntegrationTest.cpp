// Packet detectors on the real device layer over a pseudo-terminal: a stream of messages in
// arbitrary pieces arrives whole and in order on the user-interface thread, and closes, reopens
// and a detector going away while bytes keep coming leave nothing broken behind.
#include "serial/packet/AdPacket.h"

#include "runtime/Thread.h"
#include "runtime/Wait.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScopedDeviceMap.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <thread>

namespace
{

constexpr uint16_t kPort = 31;

bool PumpUntil(const std::function<bool()>& done) { return WaitUntilPumping(done, nullptr, 10000); }

std::string Message(int number)
{
    char text[16];
    std::snprintf(text, sizeof text, "A%05d\x03", number);
    return text;
}

// Writes the messages from a thread of its own in pieces of random length, until told to stop
// or the count is reached (0: no end).
class TStreamWriter
{
public:
    TStreamWriter(testsupport::PtyPair& pty, int count) : FPty(pty), FCount(count)
    {
        FThread = std::thread([this] { Run(); });
    }
    ~TStreamWriter()
    {
        FStop = true;
        FThread.join();
    }
    int Written() const { return FWritten; }

private:
    void Run()
    {
        std::mt19937 random(7);
        std::string pending;
        for (int number = 0; !FStop && (FCount == 0 || number < FCount || !pending.empty());) {
            while (pending.size() < 256 && (FCount == 0 || number < FCount))
                pending += Message(number++);
            const size_t piece = std::min(pending.size(), static_cast<size_t>(1 + random() % 64));
            FPty.WriteAll(std::string_view(pending).substr(0, piece));
            pending.erase(0, piece);
            FWritten = number;
        }
    }

    testsupport::PtyPair& FPty;
    const int FCount;
    std::atomic<bool> FStop{false};
    std::atomic<int> FWritten{0};
    std::thread FThread;
};

class PacketOverPty : public ::testing::Test
{
protected:
    void SetUp() override
    {
        InitMainThread();
        map.Link(kPort, pty.SlavePath());
        port.SetComNumber(kPort);
        port.SetPromptForPort(false);
        port.SetBaud(38400);
    }
    void TearDown() override
    {
        port.SetOpen(false);
        // The managers of detectors that left go through the thread's message queue.
        PumpUntil([] { return TApdDataPacketManagerList::Instance().Count() == 0; });
    }

    static void Monitoring(TApdDataPacket& packet)
    {
        packet.SetStartCond(scAnyData);
        packet.SetEndCond({ecString});
        packet.SetEndString("\x03");
        packet.SetTimeOut(0);
    }

    testsupport::ScopedDeviceMap map;
    testsupport::PtyPair pty;
    TApdComPort port;
};

TEST_F(PacketOverPty, AStreamInRandomPiecesArrivesWholeAndInOrder)
{
    constexpr int kMessages = 3000;
    TApdDataPacket packet;
    Monitoring(packet);
    std::vector<std::string> received;
    DWORD deliveringThread = 0;
    packet.SetOnStringPacket([&](TComponent*, const std::string& data) {
        received.push_back(data);
        deliveringThread = GetCurrentThreadId();
    });
    packet.SetComPort(&port);
    packet.SetEnabled(true);
    port.SetOpen(true);
    TStreamWriter writer(pty, kMessages);
    ASSERT_TRUE(PumpUntil([&] { return received.size() >= kMessages; })) << received.size();
    EXPECT_EQ(deliveringThread, GetCurrentThreadId()) << "events run on the user-interface thread";
    for (int i = 0; i < kMessages; ++i)
        ASSERT_EQ(received[static_cast<size_t>(i)], Message(i));
}

TEST_F(PacketOverPty, ClosesReopensAndLeavingDetectorsWhileBytesKeepComing)
{
    auto packet = std::make_unique<TApdDataPacket>();
    Monitoring(*packet);
    int delivered = 0;
    packet->SetOnStringPacket([&](TComponent*, const std::string& data) {
        ++delivered;
        // The first message after a reopen may have lost its beginning, never its end.
        EXPECT_EQ(data.back(), '\x03');
        EXPECT_LE(data.size(), 7u);
    });
    packet->SetComPort(&port);
    packet->SetEnabled(true);
    port.SetOpen(true);
    {
        TStreamWriter writer(pty, 0);
        for (int round = 0; round < 10; ++round) {
            const int before = delivered;
            ASSERT_TRUE(PumpUntil([&] { return delivered > before; }))
                << "round " << round << " mode " << int(packet->PacketMode()) << " enabled "
                << packet->Enabled() << " active " << (packet->Manager() && packet->Manager()->Active())
                << " held " << (packet->Manager() ? packet->Manager()->BufferCount() : -1) << " open "
                << port.Open() << " written " << writer.Written() << " in "
                << (port.Dispatcher() ? port.Dispatcher()->InputCount() : -1);
            // A close asked for while a delivery is handed over finishes once it is over.
            port.SetOpen(false);
            ASSERT_TRUE(PumpUntil([&] { return !port.Open(); }));
            port.SetOpen(true);
        }
        // The detector goes while its manager may be in the middle of a hand-over.
        const int before = delivered;
        ASSERT_TRUE(PumpUntil([&] { return delivered > before; }));
        packet.reset();
        PumpUntil([] { return TApdDataPacketManagerList::Instance().Count() == 0; });
    }
    EXPECT_GT(delivered, 10);
    TApdDataPacket fresh;
    Monitoring(fresh);
    std::string last;
    fresh.SetOnStringPacket([&](TComponent*, const std::string& data) { last = data; });
    fresh.SetComPort(&port);
    fresh.SetEnabled(true);
    // Bytes of the stream still in the ring reach the fresh detector, so the close may have to
    // wait for a hand-over; a reopen asked for before it has finished would do nothing.
    port.SetOpen(false);
    ASSERT_TRUE(PumpUntil([&] { return !port.Open(); }));
    port.SetOpen(true);
    pty.WriteAll("A12345\x03");
    ASSERT_TRUE(PumpUntil([&] { return !last.empty(); }));
    EXPECT_EQ(last, "A12345\x03");
}

} // namespace
