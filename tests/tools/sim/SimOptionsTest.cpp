// The simulator's command line: what it accepts, and a clear refusal for everything else.
#include "tools/sim/SimOptions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace sim;
using namespace std::chrono_literals;
using ::testing::HasSubstr;

namespace
{

TParsedOptions Parse(std::vector<std::string> args) { return ParseSimOptions(args); }

} // namespace

TEST(SimOptions, TakesTheBusOptions)
{
    const TParsedOptions p = Parse({"--port=7", "bus", "--addresses", "0-4", "--echo", "--delay", "20",
                                    "--silent", "1", "--silent=2", "--bad-checksum", "3", "--split", "5",
                                    "--noise", "--duration", "1.5", "--report", "r.json"});
    ASSERT_TRUE(p.ok) << p.error;
    const TSimOptions& o = p.options;
    EXPECT_EQ(o.mode, TSimMode::smBus);
    EXPECT_EQ(o.port.exact, 7);
    EXPECT_EQ(std::string(o.bus.addresses.begin(), o.bus.addresses.end()), "01234");
    EXPECT_TRUE(o.bus.echo && o.bus.noise);
    EXPECT_EQ(o.bus.delay, 20ms);
    EXPECT_EQ(o.bus.silent, (std::set<char>{'1', '2'}));
    EXPECT_EQ(o.bus.badChecksum, (std::set<char>{'3'}));
    EXPECT_EQ(o.bus.split, 5u);
    EXPECT_EQ(o.durationSeconds, 1.5);
    EXPECT_EQ(o.reportFile, "r.json");
}

TEST(SimOptions, TakesTheDeviceOptionsAndKeepsTheDefaults)
{
    TParsedOptions p = Parse({"device", "--rate", "0.5", "--count", "12", "--kinds", "A,R", "--no-wait"});
    ASSERT_TRUE(p.ok) << p.error;
    EXPECT_EQ(p.options.mode, TSimMode::smDevice);
    EXPECT_EQ(p.options.device.rate, 0.5);
    EXPECT_EQ(p.options.device.count, 12u);
    EXPECT_EQ(p.options.device.kinds, (std::vector<TMessageKind>{TMessageKind::mkA, TMessageKind::mkR}));
    EXPECT_FALSE(p.options.device.waitForOpen);

    p = Parse({"bus"});
    ASSERT_TRUE(p.ok);
    EXPECT_EQ(p.options.bus.addresses.size(), 10u);
    EXPECT_EQ(p.options.port.first, 1);
    EXPECT_TRUE(Parse({"--help"}).help);
}

TEST(SimOptions, RefusesBadCommandLinesWithAReason)
{
    struct Case {
        std::vector<std::string> args;
        const char* reason;
    };
    const Case cases[] = {
        {{}, "no mode"},
        {{"modem"}, "unknown mode"},
        {{"bus", "device"}, "unexpected argument"},
        {{"bus", "--frobnicate"}, "unknown option"},
        {{"bus", "--delay"}, "needs a value"},
        {{"bus", "--delay", "-5"}, "--delay expects"},
        {{"bus", "--delay", "5x"}, "--delay expects"},
        {{"bus", "--echo=yes"}, "takes no value"},
        {{"bus", "--port", "0"}, "--port expects"},
        {{"bus", "--port", "99999"}, "--port expects"},
        {{"bus", "--port", "3", "--first", "4"}, "exclude each other"},
        {{"bus", "--addresses", "0-"}, "--addresses expects"},
        {{"bus", "--addresses", "0-3", "--silent", "7"}, "not one of the bus's addresses"},
        {{"bus", "--split", "0"}, "--split expects"},
        {{"bus", "--duration", "0"}, "--duration expects"},
        {{"bus", "--duration", "nan"}, "--duration expects"},
        {{"bus", "--rate", "5"}, "belongs to device mode"},
        {{"device", "--echo"}, "belongs to bus mode"},
        {{"device", "--rate", "0"}, "--rate expects"},
        {{"device", "--count", "0"}, "--count expects"},
        {{"device", "--kinds", "A,Q"}, "--kinds expects"},
        {{"device", "--answer-timeout", "0"}, "at least 1"},
    };
    for (const Case& c : cases) {
        const TParsedOptions p = Parse(c.args);
        EXPECT_FALSE(p.ok) << ::testing::PrintToString(c.args);
        EXPECT_THAT(p.error, HasSubstr(c.reason)) << ::testing::PrintToString(c.args);
    }
}
