// The message table: every code of the serial stack has its text, the log's words are exact, and
// numbers the table lacks get the system's text made fit for one line.
#include "serial/log/MessageTable.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <climits>
#include <string>

using ::testing::HasSubstr;

namespace
{

TEST(MessageTable, CodesOfTheSerialStackHaveTheirTexts)
{
    struct Range {
        int32_t first, last; // first nearer to 0
    };
    // Every code of a range has a text, and the range ends where it should.
    for (const Range& range :
         {Range{-1001, -1009}, Range{-2001, -2012}, Range{-3001, -3010}, Range{-5001, -5003},
          Range{-5501, -5507}, Range{15001, 15021}, Range{15101, 15119}, Range{15342, 15352},
          Range{15501, 15502}, Range{15601, 15608}}) {
        const int32_t step = range.first < 0 ? -1 : 1;
        for (int32_t code = range.first; code != range.last + step; code += step)
            EXPECT_FALSE(MessageForCode(code).empty()) << code;
        EXPECT_EQ(MessageForCode(range.last + step), "") << range.last + step;
    }
    for (int32_t code : {-2,   -3,   -4,   -5,   -6,   -8,   -15,  -18,  -100, -101, -102, -103, -104, -105,
                         -150, -151, -152, -153, -154, -155, -156, -157, -158, -159, -160, -161, -162})
        EXPECT_FALSE(MessageForCode(code).empty()) << code;
}

TEST(MessageTable, TextsAreExactAndTheSignDoesNotMatter)
{
    struct Row {
        int32_t code;
        const char* text;
    };
    for (const Row& row : {
             Row{0, "OK"},
             Row{-2, "File not found"},
             Row{-162, "General failure"},
             Row{-2011, "The ComNumber property of the TApdComPort has not been set"},
             Row{-5501, "Start string is empty"},
             Row{-5506, "Packet too long"},
         }) {
        EXPECT_EQ(MessageForCode(row.code), row.text) << row.code;
        EXPECT_EQ(MessageForCode(-row.code), row.text) << -row.code;
    }
}

TEST(MessageTable, WordsOfTheDispatchLog)
{
    struct Row {
        int32_t code;
        const char* text;
    };
    for (const Row& row : {
             Row{15001, "No event"},
             Row{15002, "Dispatch"},
             Row{15021, "Script"},
             Row{15100, ""},
             Row{15101, "ReadCom"},
             Row{15119, "Method"},
             Row{15342, "Enable"},
             Row{15351, "Collecting"},
             Row{15501, "Time      Type      SubType       Data      OtherData"},
             Row{15502, "--------  --------  ------------  --------  ---------"},
             Row{15601, "DCTS "},
             Row{15608, "DCD "},
         }) {
        EXPECT_EQ(MessageForCode(row.code), row.text) << row.code;
    }
    // The headings stand over the entry lines' fields of 8, 8, 12 and 8 characters.
    EXPECT_EQ(MessageForCode(15501).find("OtherData"), 44u);
    EXPECT_EQ(MessageForCode(15502).rfind("  ---------"), 42u);
}

TEST(MessageTable, MissingCodesFallBackToTheSystemTextOnOneLine)
{
    // The system's text ends in CR LF: both become blanks, folded into one.
    EXPECT_EQ(MessageForCode(-32),
              "The process cannot access the file because it is being used by another process. ");
    EXPECT_EQ(MessageForCode(32), MessageForCode(-32));

    const std::string noPermission = MessageForCode(-73);
    EXPECT_THAT(noPermission, HasSubstr("permission"));
    EXPECT_THAT(noPermission, HasSubstr("dialout"));
    EXPECT_EQ(noPermission.find("  "), std::string::npos);
    EXPECT_EQ(noPermission.find_first_of("\r\n"), std::string::npos);
    EXPECT_LE(noPermission.size(), 255u);

    // A full disk, as the log files report it, reads as one.
    EXPECT_EQ(MessageForCode(-101), "Disk is full");

    // Neither the table nor the system knows these.
    for (int32_t code : {-7, -999, -5508, 15022, 15120, 15341, 99999, INT32_MIN, INT32_MAX})
        EXPECT_EQ(MessageForCode(code), "") << code;
}

} // namespace
