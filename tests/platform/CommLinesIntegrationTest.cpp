// RTS switched around every write for an RS-485 transmitter that the driver cannot switch, over a
// pseudo-terminal (which has no RS-485 mode), as the levels the port asks for show it.
#include "platform/win32.h"
#include "tests/support/PtyPair.h"
#include "tests/support/ScopedDeviceMap.h"
#include "tests/support/WaitUntil.h"

#include <gtest/gtest.h>

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
    void SetRtsControl(DWORD control)
    {
        DCB dcb{};
        ASSERT_TRUE(GetCommState(port, &dcb));
        dcb.fRtsControl = control;
        ASSERT_TRUE(SetCommState(port, &dcb));
    }
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
