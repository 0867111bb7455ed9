// The dispatch log: which entries its ring keeps and what its text file says, byte for byte.
#include "serial/log/DispatchLog.h"

#include "LogTestFiles.h"
#include "platform/win32.h"
#include "serial/log/LogText_p.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstring>

using ::testing::ElementsAre;
using ::testing::MatchesRegex;
using ::testing::StartsWith;

namespace
{

uint32_t testNow = 0;
uint32_t TestClock() { return testNow; }

constexpr uint32_t kOpened = 5000; // the clock when the port opened
constexpr size_t kHeaderLines = 7;

class DispatchLogFile : public ::testing::Test
{
protected:
    void SetUp() override { Begin(10000, 8192); }

    void Begin(uint32_t size, uint32_t scratch)
    {
        FLog.Discard();
        FLog.SetClock(&TestClock);
        FLog.SetStartTime(kOpened);
        testNow = kOpened;
        FLog.Start(size, scratch);
    }
    void Record(uint8_t type, uint8_t subtype, uint32_t data, const std::string& bytes = {})
    {
        FLog.RecordDispatchEvent(type, subtype, data, bytes.empty() ? nullptr : bytes.data(),
                                 static_cast<uint32_t>(bytes.size()));
    }
    // Writes the log and returns its lines after the header lines.
    std::vector<std::string> EntryLines(bool inHex = true, bool allHex = false)
    {
        EXPECT_EQ(FLog.WriteLogFile(FName, false, inHex, allHex, "COM3"), 0);
        std::vector<std::string> lines = SplitLines(ReadWholeFile(FName));
        EXPECT_GE(lines.size(), kHeaderLines + 1);
        EXPECT_EQ(lines.back(), "") << "every line ends with CR LF";
        if (lines.size() <= kHeaderLines)
            return {};
        return std::vector<std::string>(lines.begin() + kHeaderLines, lines.end() - 1);
    }

    TDispatchLog FLog;
    TTempDir FDir;
    std::string FName = FDir.File("LOGHEX.TXT");
};

TEST_F(DispatchLogFile, EntryLines)
{
    const struct {
        uint8_t Type, SubType;
        uint32_t Data;
        std::string Bytes;
        uint32_t Time; // since the port opened
        bool InHex, AllHex;
        const char* Line;
    } cases[] = {
        // A read that found nothing: the prefix and nothing after it.
        {dtDispatch, dstReadCom, 0, "", 0, true, false, "0000.000  Dispatch  ReadCom       00000000  "},
        {dtDispatch, dstWriteCom, 5, ">01Q<", 1234, true, false,
         "0001.234  Dispatch  WriteCom      00000005  >01Q<"},
        {dtDispatch, dstWriteCom, 5, ">01Q<", 1234, true, true,
         "0001.234  Dispatch  WriteCom      00000005  [3E][30][31][51][3C]"},
        {dtDispatch, dstReadCom, 3, "A\r ", 0, true, false,
         "0000.000  Dispatch  ReadCom       00000003  A[0D][20]"},
        {dtDispatch, dstReadCom, 3, "A\r ", 0, false, false,
         "0000.000  Dispatch  ReadCom       00000003  A[13] "},
        // The status kind of a disposed or allocated status trigger, in words.
        {dtTriggerDispose, dstStatus, 0x0B, "\x03", 0, true, false,
         "0000.000  TrigDisp  Status        0000000B  (Output buffer free)"},
        {dtTriggerAlloc, dstStatus, 0x0D, "\x05", 0, true, true,
         "0000.000  TrigAllc  Status        0000000D  (Output sent)"},
        {dtTriggerDispose, dstStatus, 0x0F, "\x07", 0, true, false,
         "0000.000  TrigDisp  Status        0000000F  "},
        // 2 h 47 min: a nine-character time text shifts the rest of the line.
        {dtTrigger, dstTriggerTimer, 0x7FF8, "", 10020000, true, false,
         "10020.000  Trigger   Timer         00007FF8  "},
        // Times are unsigned and wrap with the clock.
        {dtDispatch, dstReadCom, 0, "", 0x80000000u, true, false,
         "2147483.648  Dispatch  ReadCom       00000000  "},
        {dtDispatch, dstReadCom, 0, "", 0xFFFFFFFFu, true, false,
         "4294967.295  Dispatch  ReadCom       00000000  "},
        {dtTriggerDataChange, dstTimer, 8, "Deactivated", 59999, true, false,
         "0059.999  TrDatChg  Timer         00000008  Deactivated"},
        {dtTriggerHandlerAlloc, dstWindow, 0xBEEF, "", 0, true, false,
         "0000.000  TrgHdAlc  Window        0000BEEF  "},
        {dtPacket, dstStringPacket, 0, ">A1\n", 0, true, false,
         "0000.000  Packet    StringPacket  00000000  >A1[0A]"},
        // Modem-status bits are named after the attached bytes.
        {dtDispatch, dstModemStatus, 0x11, "x", 0, true, false,
         "0000.000  Dispatch  Modem status  00000011  x (DCTS CTS)"},
        {dtDispatch, dstModemStatus, 0xF0, "x", 0, true, false,
         "0000.000  Dispatch  Modem status  000000F0  x (CTS DSR RI DCD)"},
        // User entries carry their own text, shown as it is even in all hex.
        {dtUser, dstNone, 1, "ok\x01", 0, true, true, "0000.000  User                    00000001  ok\x01"},
        // A type beyond the known ones has no name (its number is not a subtype name's).
        {99, dstNone, 0, "", 0, true, false, "0000.000                          00000000  "},
    };
    for (const auto& c : cases) {
        Begin(10000, 8192);
        testNow = kOpened + c.Time;
        Record(c.Type, c.SubType, c.Data, c.Bytes);
        EXPECT_THAT(EntryLines(c.InHex, c.AllHex), ElementsAre(c.Line));
    }
}

TEST_F(DispatchLogFile, AttachedBytesContinueUnderTheOtherDataColumn)
{
    const std::string indent(44, ' ');
    const std::string prefix = "0000.000  Dispatch  ReadCom       00000028  ";
    Record(dtDispatch, dstReadCom, 40, std::string(33, 'a') + std::string(7, 'b'));
    EXPECT_THAT(EntryLines(), ElementsAre(prefix + std::string(33, 'a'), indent + "bbbbbbb"));

    // Wide items move to the next line whole: 8 of [0D] fit, then 8 more, then 1.
    Begin(10000, 8192);
    Record(dtDispatch, dstReadCom, 17, std::string(17, '\r'));
    const std::string eight = "[0D][0D][0D][0D][0D][0D][0D][0D]";
    EXPECT_THAT(EntryLines(), ElementsAre("0000.000  Dispatch  ReadCom       00000011  " + eight,
                                          indent + eight, indent + "[0D]"));
}

TEST_F(DispatchLogFile, HeaderLines)
{
    Record(dtDispatch, dstReadCom, 0);
    ASSERT_EQ(FLog.WriteLogFile(FName, false, true, false, "COM3"), 0);
    const std::vector<std::string> lines = SplitLines(ReadWholeFile(FName));
    ASSERT_GE(lines.size(), kHeaderLines);

    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    ASSERT_TRUE(GetVersionExA(&info));
    EXPECT_EQ(lines[0], "VELT v4.06");
    EXPECT_THAT(lines[1], MatchesRegex("Compiler : (GCC|Clang) [0-9][0-9.]*.* \\(C\\+\\+2[03]\\)"));
    EXPECT_EQ(lines[2], "Operating System : " + logtext::OperatingSystemText(info).substr(0, 80));
    EXPECT_THAT(lines[2], StartsWith("Operating System : Linux "));
    EXPECT_EQ(lines[3], "Device: COM3");
    EXPECT_THAT(lines[4],
                MatchesRegex("Date/time: [0-3][0-9]/[01][0-9]/[0-9][0-9], [0-2][0-9]:[0-5][0-9]:[0-6][0-9]"));
    EXPECT_EQ(lines[5], "Time      Type      SubType       Data      OtherData");
    EXPECT_EQ(lines[6], "--------  --------  ------------  --------  ---------");

    // Appending adds a whole second log after the first.
    FLog.Start(1000, 100);
    Record(dtDispatch, dstWriteCom, 0);
    ASSERT_EQ(FLog.WriteLogFile(FName, true, true, false, "COM4"), 0);
    const std::vector<std::string> both = SplitLines(ReadWholeFile(FName));
    ASSERT_EQ(both.size(), 2 * (kHeaderLines + 1) + 1);
    EXPECT_EQ(both[kHeaderLines + 1], "VELT v4.06");
    EXPECT_EQ(both[kHeaderLines + 4], "Device: COM4");
    EXPECT_THAT(both[2 * kHeaderLines + 1], StartsWith("0000.000  Dispatch  WriteCom"));
}

TEST_F(DispatchLogFile, FullRingDropsTheOldestEntriesWhole)
{
    // 300 bytes hold two entries of 16 + 100 bytes; the third pushes out the first.
    Begin(300, 8192);
    for (uint32_t n = 1; n <= 3; ++n)
        Record(dtDispatch, dstReadCom, n, std::string(100, static_cast<char>('0' + n)));
    EXPECT_EQ(FLog.Used(), 232u);
    std::vector<std::string> lines = EntryLines();
    ASSERT_EQ(lines.size(), 8u); // 100 bytes take four lines each
    EXPECT_THAT(lines[0], StartsWith("0000.000  Dispatch  ReadCom       00000002  2222"));
    EXPECT_THAT(lines[4], StartsWith("0000.000  Dispatch  ReadCom       00000003  3333"));

    // Entries of 21 bytes in a 50-byte ring: headers and bytes straddle the end of the ring.
    Begin(50, 100);
    for (uint32_t n = 1; n <= 7; ++n)
        Record(dtDispatch, dstWriteCom, n, std::string("abcde").substr(0, 4) + static_cast<char>('0' + n));
    EXPECT_THAT(EntryLines(), ElementsAre("0000.000  Dispatch  WriteCom      00000006  abcd6",
                                          "0000.000  Dispatch  WriteCom      00000007  abcd7"));
}

TEST_F(DispatchLogFile, EntriesThatCannotFitAreRefusedWhole)
{
    Begin(100, 8192);
    Record(dtDispatch, dstReadCom, 1, "kept");
    Record(dtDispatch, dstReadCom, 2, std::string(84, 'x')); // 16 + 84 is not smaller than the ring
    EXPECT_EQ(FLog.Used(), 20u);
    EXPECT_THAT(EntryLines(), ElementsAre("0000.000  Dispatch  ReadCom       00000001  kept"));

    // 16 + 83 fits, pushing out everything older.
    Begin(100, 8192);
    Record(dtDispatch, dstReadCom, 1, "gone");
    Record(dtDispatch, dstReadCom, 2, std::string(83, 'y'));
    EXPECT_EQ(FLog.Used(), 99u);
    const std::vector<std::string> lines = EntryLines();
    ASSERT_FALSE(lines.empty());
    EXPECT_THAT(lines[0], StartsWith("0000.000  Dispatch  ReadCom       00000002  yyy"));

    // Attached bytes beyond the scratch buffer are cut; the data value still tells the count.
    Begin(1000, 10);
    Record(dtDispatch, dstReadCom, 20, "0123456789abcdefghij");
    EXPECT_THAT(EntryLines(), ElementsAre("0000.000  Dispatch  ReadCom       00000014  0123456789"));

    // A ring of no bytes takes nothing.
    Begin(0, 10);
    EXPECT_TRUE(FLog.Active());
    Record(dtDispatch, dstReadCom, 0);
    EXPECT_EQ(FLog.Used(), 0u);
}

TEST_F(DispatchLogFile, EmptyLogTouchesNoFile)
{
    EXPECT_EQ(FLog.WriteLogFile(FName, false, true, false, "COM1"), 0);
    EXPECT_FALSE(FileExists(FName));
    EXPECT_FALSE(FLog.HasRing());

    TDispatchLog never;
    EXPECT_EQ(never.WriteLogFile(FName, true, true, false, "COM1"), 0);
    EXPECT_FALSE(FileExists(FName));

    Begin(1000, 100);
    Record(dtDispatch, dstReadCom, 0);
    FLog.Reset();
    EXPECT_EQ(FLog.WriteLogFile(FName, false, true, false, "COM1"), 0);
    EXPECT_FALSE(FileExists(FName));
}

TEST_F(DispatchLogFile, FileErrors)
{
    // A file that cannot be created leaves the log in memory, inactive, to be written elsewhere.
    Record(dtDispatch, dstReadCom, 7);
    EXPECT_EQ(FLog.WriteLogFile(FDir.File("missing/log.txt"), false, true, false, "COM1"), -3);
    EXPECT_EQ(FLog.WriteLogFile(FDir.Path().string(), false, true, false, "COM1"), -5);
    EXPECT_TRUE(FLog.HasRing());
    EXPECT_FALSE(FLog.Active());
    Record(dtDispatch, dstReadCom, 8); // inactive: not kept
    EXPECT_THAT(EntryLines(), ElementsAre("0000.000  Dispatch  ReadCom       00000007  "));

    // A write that fails ends the writing and discards the log.
    Begin(1000, 100);
    Record(dtDispatch, dstReadCom, 7);
    EXPECT_LT(FLog.WriteLogFile("/dev/full", false, true, false, "COM1"), 0);
    EXPECT_FALSE(FLog.HasRing());
    EXPECT_FALSE(FLog.Active());
}

TEST(DispatchLog, StartingAgainOnlyEmptiesTheRing)
{
    TDispatchLog log;
    log.Start(1000, 100);
    log.RecordDispatchEvent(dtDispatch, dstReadCom, 0, "ab", 2);
    EXPECT_EQ(log.Used(), 18u);
    log.Suspend();
    log.RecordDispatchEvent(dtDispatch, dstReadCom, 0, "ab", 2);
    EXPECT_EQ(log.Used(), 18u);
    log.Start(5000, 100);
    EXPECT_EQ(log.Used(), 0u);
    EXPECT_EQ(log.Size(), 1000u);
    EXPECT_FALSE(log.Active()) << "a paused log stays paused";
}

TEST(DispatchLogText, OperatingSystemNames)
{
    const struct {
        DWORD Platform, Major, Minor, Build;
        const char* ServicePack;
        const char* Text;
    } cases[] = {
        {VER_PLATFORM_WIN32_NT, 5, 1, 2600, "Service Pack 3", "Windows XP 5.1 Service Pack 3"},
        {VER_PLATFORM_WIN32_NT, 5, 2, 3790, "", "5.2 "},
        {VER_PLATFORM_WIN32_NT, 4, 0, 1381, "Service Pack 6", "Windows NT 4 4.0 Service Pack 6"},
        {VER_PLATFORM_WIN32_NT, 6, 1, 7601, "Service Pack 1", "WinNT 6.1 Service Pack 1"},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 0, 950, " B", "Win32 on Windows 95 OSR 2 4.0 "},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 10, 2222, " A ", "Win32 on Windows 98 OSR 2 4.10 "},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 90, 0x045A0BB8, " ", "Win32 on Windows ME 4.90 "},
        {VER_PLATFORM_WIN32_WINDOWS, 4, 50, 0, "", "Win32 on Windows 9x4.50 "},
        {VER_PLATFORM_LINUX, 6, 1, 0, "Debian GNU/Linux 12 (bookworm)",
         "Linux 6.1 Debian GNU/Linux 12 (bookworm)"},
        {77, 1, 2, 0, "x", "Unknown1.2 x"},
    };
    for (const auto& c : cases) {
        OSVERSIONINFOA info{};
        info.dwPlatformId = c.Platform;
        info.dwMajorVersion = c.Major;
        info.dwMinorVersion = c.Minor;
        info.dwBuildNumber = c.Build;
        std::strncpy(info.szCSDVersion, c.ServicePack, sizeof info.szCSDVersion - 1);
        EXPECT_EQ(logtext::OperatingSystemText(info), c.Text);
    }
    // A service-pack text that fills its whole field has no terminating zero.
    OSVERSIONINFOA full{};
    full.dwPlatformId = VER_PLATFORM_LINUX;
    std::memset(full.szCSDVersion, 'z', sizeof full.szCSDVersion);
    EXPECT_EQ(logtext::OperatingSystemText(full), "Linux 0.0 " + std::string(sizeof full.szCSDVersion, 'z'));
}

} // namespace
