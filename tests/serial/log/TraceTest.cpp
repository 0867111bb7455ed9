// The byte trace: what its ring keeps and what its text file says, byte for byte.
#include "serial/log/Trace.h"

#include "LogTestFiles.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace
{

enum TMode { kDecimal, kHex, kAllHex };

struct TTracedFile {
    int32_t Result;
    std::string Text;
};

class TraceFile : public ::testing::Test
{
protected:
    // Writes the trace in one of the three modes and returns what the file holds.
    TTracedFile Write(TTraceBuffer& trace, TMode mode, bool append = false)
    {
        const int32_t result = trace.WriteTraceFile(FName, append, mode == kHex, mode == kAllHex);
        return {result, ReadWholeFile(FName)};
    }
    static void Record(TTraceBuffer& trace, char direction, const std::string& bytes)
    {
        trace.Record(direction, reinterpret_cast<const uint8_t*>(bytes.data()),
                     static_cast<int32_t>(bytes.size()));
    }

    TTempDir FDir;
    std::string FName = FDir.File("TRACEALLHEX.TXT");
};

TEST_F(TraceFile, SendAndAnswerInEachMode)
{
    const struct {
        TMode Mode;
        std::string Expected;
    } cases[] = {
        {kHex, "Transmit: \r\n>01[0D]\r\n\r\nReceive: \r\n>A"},
        {kDecimal, "Transmit: \r\n>01[13]\r\n\r\nReceive: \r\n>A"},
        {kAllHex, "Transmit: \r\n[3E][30][31][0D]\r\n\r\nReceive: \r\n[3E][41]"},
    };
    for (const auto& c : cases) {
        TTraceBuffer trace;
        ASSERT_EQ(trace.Start(100), 0);
        Record(trace, kTraceTransmit, ">01\r");
        Record(trace, kTraceReceive, ">A");
        const TTracedFile file = Write(trace, c.Mode);
        EXPECT_EQ(file.Result, 0);
        EXPECT_EQ(file.Text, c.Expected) << "mode " << c.Mode;
        EXPECT_FALSE(trace.HasBuffer());
        EXPECT_FALSE(trace.Active());
    }
}

TEST_F(TraceFile, ItemsOfEveryKind)
{
    const struct {
        uint8_t Byte;
        TMode Mode;
        const char* Item;
    } cases[] = {
        {0x20, kDecimal, " "},     {0x20, kHex, "[20]"},     {0x20, kAllHex, "[20]"},
        {0x21, kHex, "!"},         {0x7E, kDecimal, "~"},    {0x7F, kHex, "[7F]"},
        {0x7F, kDecimal, "[127]"}, {0x00, kDecimal, "[0]"},  {0x09, kDecimal, "[9]"},
        {0x0A, kDecimal, "[10]"},  {0x63, kAllHex, "[63]"},  {0xFF, kDecimal, "[255]"},
        {0xAB, kHex, "[AB]"},      {0x1F, kDecimal, "[31]"},
    };
    for (const auto& c : cases) {
        TTraceBuffer trace;
        ASSERT_EQ(trace.Start(10), 0);
        trace.Record(kTraceReceive, c.Byte);
        EXPECT_EQ(Write(trace, c.Mode).Text, std::string("Receive: \r\n") + c.Item)
            << "byte " << int{c.Byte} << " mode " << c.Mode;
    }
}

TEST_F(TraceFile, LinesHoldAtMost78Characters)
{
    const struct {
        std::string Bytes;
        TMode Mode;
        std::vector<size_t> LineLengths; // of the data lines
    } cases[] = {
        {std::string(80, 'x'), kHex, {78, 2}},
        {std::string(78, 'x'), kHex, {78}},
        {std::string(157, 'x'), kDecimal, {78, 78, 1}},
        {std::string(20, '\r'), kHex, {76, 4}},           // [0D] never straddles a line end
        {std::string(17, '\x7F'), kDecimal, {75, 10}},    // [127]
        {std::string(76, 'x') + "\r", kDecimal, {76, 4}}, // the item that does not fit moves down whole
    };
    for (const auto& c : cases) {
        TTraceBuffer trace;
        ASSERT_EQ(trace.Start(1000), 0);
        Record(trace, kTraceTransmit, c.Bytes);
        std::vector<std::string> lines = SplitLines(Write(trace, c.Mode).Text);
        ASSERT_GE(lines.size(), 2u);
        EXPECT_EQ(lines.front(), "Transmit: ");
        lines.erase(lines.begin());
        std::vector<size_t> lengths;
        for (const std::string& line : lines)
            lengths.push_back(line.size());
        EXPECT_EQ(lengths, c.LineLengths) << c.Bytes.size() << " bytes, mode " << c.Mode;
    }
}

TEST_F(TraceFile, DirectionChangesAndOtherDirections)
{
    TTraceBuffer trace;
    ASSERT_EQ(trace.Start(100), 0);
    Record(trace, kTraceTransmit, "a");
    Record(trace, 'X', "b");
    Record(trace, 'X', "c");
    Record(trace, kTraceReceive, "d");
    Record(trace, kTraceTransmit, "e");
    EXPECT_EQ(Write(trace, kHex).Text,
              "Transmit: \r\na\r\n\r\nSpecial-X: \r\nbc\r\n\r\nReceive: \r\nd\r\n\r\n"
              "Transmit: \r\ne");
}

TEST_F(TraceFile, FullRingWritesTheNewestOldestFirst)
{
    TTraceBuffer trace;
    ASSERT_EQ(trace.Start(4), 0);
    Record(trace, kTraceTransmit, "12");
    Record(trace, kTraceReceive, "3456");
    EXPECT_EQ(trace.Count(), 4);
    EXPECT_EQ(Write(trace, kHex).Text, "Receive: \r\n3456");

    // Wrapped with a direction change inside the kept entries, and a block longer than the ring.
    ASSERT_EQ(trace.Start(4), 0);
    Record(trace, kTraceTransmit, "12345");
    Record(trace, kTraceReceive, "67");
    EXPECT_EQ(Write(trace, kHex).Text, "Transmit: \r\n45\r\n\r\nReceive: \r\n67");

    ASSERT_EQ(trace.Start(3), 0);
    Record(trace, kTraceReceive, "abcdefgh");
    EXPECT_EQ(Write(trace, kHex).Text, "Receive: \r\nfgh");
}

TEST_F(TraceFile, EmptyTraceTouchesNoFile)
{
    TTraceBuffer never;
    EXPECT_EQ(never.WriteTraceFile(FName, false, true, false), 0);
    EXPECT_FALSE(FileExists(FName));

    TTraceBuffer started;
    ASSERT_EQ(started.Start(10), 0);
    EXPECT_EQ(started.WriteTraceFile(FName, false, true, false), 0);
    EXPECT_FALSE(FileExists(FName));
    EXPECT_FALSE(started.Active());
    EXPECT_FALSE(started.HasBuffer());

    // A ring of no entries starts but can hold nothing.
    TTraceBuffer none;
    EXPECT_EQ(none.Start(0), 0);
    EXPECT_TRUE(none.Active());
    Record(none, kTraceTransmit, "abc");
    EXPECT_EQ(none.Count(), 0);
    EXPECT_EQ(none.WriteTraceFile(FName, false, true, false), 0);
    EXPECT_FALSE(FileExists(FName));
}

TEST_F(TraceFile, AppendContinuesTheLastLine)
{
    TTraceBuffer trace;
    ASSERT_EQ(trace.Start(10), 0);
    Record(trace, kTraceTransmit, "ab");
    ASSERT_EQ(Write(trace, kHex).Result, 0);
    ASSERT_EQ(trace.Start(10), 0);
    Record(trace, kTraceReceive, "c");
    EXPECT_EQ(Write(trace, kHex, true).Text, "Transmit: \r\nabReceive: \r\nc");

    // Without append the file is written anew; with append a missing file is created.
    ASSERT_EQ(trace.Start(10), 0);
    Record(trace, kTraceReceive, "d");
    EXPECT_EQ(Write(trace, kHex).Text, "Receive: \r\nd");
    const std::string other = FDir.File("other.trc");
    ASSERT_EQ(trace.Start(10), 0);
    Record(trace, kTraceReceive, "e");
    EXPECT_EQ(trace.WriteTraceFile(other, true, true, false), 0);
    EXPECT_EQ(ReadWholeFile(other), "Receive: \r\ne");
}

TEST_F(TraceFile, FileErrorsDiscardTheTrace)
{
    const struct {
        std::string Name;
        int32_t Expected;
    } cases[] = {
        {FDir.File("missing/trace.txt"), -3},
        {FDir.Path().string(), -5}, // a folder cannot be written as a file
        {"/dev/full", -101},        // the device takes the file but no byte of it: the disk is full
    };
    for (const auto& c : cases) {
        TTraceBuffer trace;
        ASSERT_EQ(trace.Start(10), 0);
        Record(trace, kTraceTransmit, "abc");
        const int32_t result = trace.WriteTraceFile(c.Name, false, true, false);
        EXPECT_EQ(result, c.Expected) << c.Name;
        EXPECT_FALSE(trace.HasBuffer()) << c.Name;
        EXPECT_FALSE(trace.Active()) << c.Name;
    }
}

TEST(TraceBuffer, StartRefusesBadCapacitiesAndOnlyEmptiesAnExistingRing)
{
    TTraceBuffer trace;
    EXPECT_EQ(trace.Start(kMaxTraceCapacity + 1), -1002);
    EXPECT_EQ(trace.Start(-1), -1002);
    EXPECT_FALSE(trace.HasBuffer());
    ASSERT_EQ(trace.Start(5), 0);
    trace.Record(kTraceTransmit, 1);
    EXPECT_EQ(trace.Start(kMaxTraceCapacity + 1), 0);
    EXPECT_EQ(trace.Capacity(), 5);
    EXPECT_EQ(trace.Count(), 0);
}

} // namespace
