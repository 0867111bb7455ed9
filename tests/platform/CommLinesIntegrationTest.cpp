// RTS switched around every write for an RS-485 transmitter that the driver cannot switch, over a
// pseudo-terminal (which has no RS-485 mode), as the levels the port asks for show it.
#include "platform/posix/comm_p.h"
#include "platform/win32.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScopedDeviceMap.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

#include <chrono>
#include <string>

namespace
{

using namespace std::chrono_literals;
using testsupport::WaitUntil;

constexpr int kPort = 7;

DWORD Lines(HANDLE port)
{
    DWORD lines = 0xFF;
    EXPECT_TRUE(platform::CommOutputLinesForTesting(port, &lines, nullptr));
    return lines;
}

DWORD Raises(HANDLE port)
{
    DWORD raises = 0;
    EXPECT_TRUE(platform::CommOutputLinesForTesting(port, nullptr, &raises));
    return raises;
}

class CommLines : public ::testing::Test
{
protected:
    void SetUp() override
    {
        map.Link(kPort, pty.SlavePath());
        port =
            CreateFileA(testsupport::ScopedDeviceMap::DeviceName(kPort).c_str(), GENERIC_READ | GENERIC_WRITE,
                        0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr);
        ASSERT_NE(port, INVALID_HANDLE_VALUE);
        event = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
    void TearDown() override
    {
        if (port != INVALID_HANDLE_VALUE) {
            PurgeComm(port, PURGE_TXABORT | PURGE_TXCLEAR);
            CloseHandle(port);
        }
        CloseHandle(event);
    }
    void SetRtsControl(DWORD control, DWORD rate = 0)
    {
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port, &dcb));
        dcb.fRtsControl = control;
        if (rate != 0)
            dcb.BaudRate = rate;
        ASSERT_TRUE(SetCommState(port, &dcb));
    }
    bool RtsUp() { return (Lines(port) & platform::kTestLineRts) != 0; }
    /// Starts an overlapped write. @return whether it completed at once.
    bool Write(const std::string& bytes)
    {
        record = OVERLAPPED{};
        record.hEvent = event;
        DWORD written = 0;
        if (WriteFile(port, bytes.data(), static_cast<DWORD>(bytes.size()), &written, &record))
            return true;
        EXPECT_EQ(GetLastError(), ERROR_IO_PENDING);
        return false;
    }

    testsupport::ScopedDeviceMap map;
    testsupport::PtyPair pty;
    HANDLE port = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    OVERLAPPED record{};
};

} // namespace

TEST_F(CommLines, ToggledRtsIsUpOnlyWhileSending)
{
    SetRtsControl(RTS_CONTROL_TOGGLE);
    EXPECT_EQ(Lines(port) & platform::kTestLineRts, 0u) << "the transmitter starts off";

    // A write the driver takes at once: RTS goes up for it and down after it.
    EXPECT_TRUE(Write("poll"));
    EXPECT_EQ(Raises(port), 1u);
    EXPECT_EQ(pty.ReadExactly(4), "poll");
    EXPECT_TRUE(WaitUntil([&] { return (Lines(port) & platform::kTestLineRts) == 0; }));

    // A write that pends because the far end does not read: RTS stays up until all of it went.
    // At a fast rate, so that the time its bytes take on the line stays short.
    SetRtsControl(RTS_CONTROL_TOGGLE, 4000000);
    const std::string big(256 * 1024, 'x');
    ASSERT_FALSE(Write(big));
    EXPECT_EQ(Raises(port), 2u);
    EXPECT_NE(Lines(port) & platform::kTestLineRts, 0u);
    EXPECT_EQ(WaitForSingleObject(event, 0), static_cast<DWORD>(WAIT_TIMEOUT));
    EXPECT_NE(Lines(port) & platform::kTestLineRts, 0u) << "lowered while bytes were still queued";
    EXPECT_TRUE(pty.ReadExactly(big.size(), 30s) == big);
    EXPECT_EQ(WaitForSingleObject(event, 5000), static_cast<DWORD>(WAIT_OBJECT_0));
    EXPECT_TRUE(WaitUntil([&] { return (Lines(port) & platform::kTestLineRts) == 0; }));
    EXPECT_EQ(Raises(port), 2u) << "one raise per transmission";

    // Without toggling RTS follows the record again and writes leave it alone.
    SetRtsControl(RTS_CONTROL_ENABLE);
    EXPECT_NE(Lines(port) & platform::kTestLineRts, 0u);
    EXPECT_TRUE(Write("more"));
    EXPECT_EQ(pty.ReadExactly(4), "more");
    EXPECT_EQ(Raises(port), 2u);
    EXPECT_NE(Lines(port) & platform::kTestLineRts, 0u);
}

TEST_F(CommLines, ToggledRtsStaysUpForTheTimeTheBytesTakeAndAcrossWritesCloseTogether)
{
    // A pty takes every byte at once, as a USB adapter with a buffer of its own does: RTS must
    // stay up for as long as the bytes take on the line, not only until the driver's queue empties.
    constexpr DWORD kRate = 300;
    constexpr int kBytes = 20;
    const auto character = std::chrono::microseconds(10 * 1000000 / kRate);
    SetRtsControl(RTS_CONTROL_TOGGLE, kRate);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_TRUE(Write(std::string(kBytes, 'a')));
    EXPECT_TRUE(Write(std::string(kBytes, 'b'))) << "the second comes long before RTS may drop";
    EXPECT_EQ(pty.ReadExactly(2 * kBytes), std::string(kBytes, 'a') + std::string(kBytes, 'b'));
    EXPECT_TRUE(RtsUp());
    ASSERT_TRUE(WaitUntil([&] { return !RtsUp(); }, 10s));
    EXPECT_GE(std::chrono::steady_clock::now() - start, character * 2 * kBytes)
        << "RTS dropped before the last byte could have left the line";
    EXPECT_EQ(Raises(port), 1u) << "one transmission";
}

TEST_F(CommLines, CloseWhileRtsWaitsForTheLastByteLeavesRtsLow)
{
    SetRtsControl(RTS_CONTROL_TOGGLE, 300);
    // The port object outlives its handle while this reference holds it, so its lines can still
    // be read after the close (a pty shows the far end no modem lines at all).
    const platform::Ref<platform::CommDevice> device = platform::LookUpHandleAs<platform::CommDevice>(port);
    ASSERT_TRUE(device);
    EXPECT_TRUE(Write("poll"));
    EXPECT_EQ(pty.ReadExactly(4), "poll");
    ASSERT_NE(device->OutputLines() & platform::kTestLineRts, 0u) << "still waiting for the last byte";
    ASSERT_TRUE(CloseHandle(port));
    port = INVALID_HANDLE_VALUE;
    EXPECT_EQ(device->OutputLines() & platform::kTestLineRts, 0u) << "a closed port must not hold the bus";
    EXPECT_EQ(device->RtsRaises(), 1u);
}
