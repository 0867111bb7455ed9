// The simulated bus fed with bytes: request parsing across arbitrary cuts, the answers and the faults.
#include "tools/sim/BusDevice.h"

#include "protocol/UnitEntDeCoder.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace sim;
using namespace std::chrono_literals;
using ::testing::ElementsAre;
using ::testing::Field;
using ::testing::SizeIs;

namespace
{

const std::string kPoll0 = ">0T<FE\r\n";
const std::string kPoll3 = ">3T<01\r\n";

std::vector<TPollLine::TKind> Kinds(const std::vector<TPollLine>& lines)
{
    std::vector<TPollLine::TKind> kinds;
    for (const TPollLine& line : lines)
        kinds.push_back(line.kind);
    return kinds;
}

/// Checks the layout of an answer line and that its checksum is the one FrameMessage gives.
void ExpectWellFramed(const std::string& line, char address)
{
    ASSERT_GE(line.size(), 8u) << line;
    EXPECT_EQ(line.substr(0, 3), std::string({'>', address, 't'}));
    EXPECT_EQ(line.substr(line.size() - 2), "\r\n");
    const std::string framed = line.substr(0, line.size() - 2);
    EXPECT_EQ(FrameMessage(framed.substr(1, framed.size() - 4)), framed) << "checksum of " << line;
}

TBusOptions Bus()
{
    TBusOptions options;
    ParseAddressList("0-9", options.addresses);
    return options;
}

std::string Concatenated(const std::vector<TLineWrite>& writes)
{
    std::string all;
    for (const TLineWrite& w : writes)
        all += w.bytes;
    return all;
}

} // namespace

TEST(PollRequestParser, FindsRequestsWhereverTheStreamIsCut)
{
    const std::string stream = "xx" + kPoll0 + "\x01\xff junk\r\n" + kPoll3 + kPoll0;
    for (size_t cut = 0; cut <= stream.size(); ++cut) {
        TPollRequestParser parser;
        std::vector<TPollLine> lines = parser.Feed(std::string_view(stream).substr(0, cut));
        for (TPollLine& line : parser.Feed(std::string_view(stream).substr(cut)))
            lines.push_back(std::move(line));
        EXPECT_THAT(lines, ElementsAre(Field(&TPollLine::address, '0'), Field(&TPollLine::address, '3'),
                                       Field(&TPollLine::address, '0')))
            << "cut at " << cut;
        EXPECT_EQ(parser.GarbageBytes(), 2u + 9u) << "cut at " << cut;
    }
}

TEST(PollRequestParser, ClassifiesWhatIsNoValidRequest)
{
    struct Case {
        std::string bytes;
        TPollLine::TKind kind;
    };
    const Case cases[] = {
        {">0T<FE\r\n", TPollLine::plValid},
        {">9T<07\r\n", TPollLine::plValid},
        {">0T<FF\r\n", TPollLine::plBadChecksum},
        {">0T<fe\r\n", TPollLine::plBadChecksum}, // the program writes upper-case digits
        {">0T<FE\n", TPollLine::plMalformed},     // no CR
        {">0X<7B\r\n", TPollLine::plMalformed},   // another command
        {">0T<FE\r\r\n", TPollLine::plMalformed},
        {">0t000803111601<13\r\n", TPollLine::plMalformed}, // an answer, not a request
    };
    for (const Case& c : cases) {
        TPollRequestParser parser;
        EXPECT_THAT(Kinds(parser.Feed(c.bytes)), ElementsAre(c.kind)) << c.bytes;
    }
}

TEST(PollRequestParser, StaysBoundedOnALineThatNeverEnds)
{
    TPollRequestParser parser;
    std::vector<TPollLine> lines = parser.Feed(">" + std::string(10000, 'Z'));
    EXPECT_THAT(Kinds(lines), ElementsAre(TPollLine::plOverlong));
    EXPECT_LE(lines[0].bytes.size(), TPollRequestParser::kMaxLine);
    // The rest of the endless line is garbage until the next ">", which starts afresh.
    EXPECT_THAT(Kinds(parser.Feed("ZZZ\r\n" + kPoll0)), ElementsAre(TPollLine::plValid));

    // A ">" cuts off what was collected: the program never sends one inside a request.
    EXPECT_THAT(Kinds(parser.Feed(">0T<" + kPoll3)), ElementsAre(TPollLine::plMalformed, TPollLine::plValid));
}

TEST(BusDevice, AnswersAValidRequestWithAFramedAnswer)
{
    TBusDevice bus(Bus());
    const TTime now = TClock::now();
    bus.Receive(kPoll0, now);
    const std::vector<TLineWrite> writes = bus.TakeQueued();
    ASSERT_THAT(writes, SizeIs(1));
    EXPECT_EQ(writes[0].due, now);
    ExpectWellFramed(writes[0].bytes, '0');
    // Address, "t", 80 digits of measurements and 10 of the device's clock.
    const std::string& line = writes[0].bytes;
    EXPECT_EQ(line.size(), 1 + 2 + 90 + 1 + 2 + 2u);
    EXPECT_EQ(line.find_first_not_of("0123456789", 3), 93u);

    bus.Receive(kPoll0, now);
    EXPECT_NE(bus.TakeQueued()[0].bytes.substr(0, 83), line.substr(0, 83)) << "measurements do not change";
    EXPECT_EQ(bus.Counts().answered, 2u);
    EXPECT_EQ(bus.Counts().perAddress.at('0'), 2u);
}

TEST(BusDevice, AnswersOnlyValidRequestsToItsOwnAddresses)
{
    TBusOptions options = Bus();
    ParseAddressList("0-4", options.addresses);
    TBusDevice bus(options);
    bus.Receive(">0T<FF\r\n" + std::string(">7T<05\r\n") + ">0T<FE\n" + kPoll3, TClock::now());
    const std::vector<TLineWrite> writes = bus.TakeQueued();
    ASSERT_THAT(writes, SizeIs(1));
    ExpectWellFramed(writes[0].bytes, '3');
    const TBusDevice::TCounts& counts = bus.Counts();
    EXPECT_EQ(counts.valid, 2u);
    EXPECT_EQ(counts.badChecksum, 1u);
    EXPECT_EQ(counts.malformed, 1u);
    EXPECT_EQ(counts.otherAddress, 1u);
    EXPECT_EQ(counts.answered, 1u);
}

TEST(BusDevice, FaultsSilentAddressesBadChecksumsEchoDelaySplitAnswersAndNoise)
{
    TBusOptions options = Bus();
    options.silent = {'1'};
    options.badChecksum = {'3'};
    TBusDevice bus(options);
    bus.Receive(">1T<FF\r\n" + kPoll3, TClock::now());
    std::vector<TLineWrite> writes = bus.TakeQueued();
    ASSERT_THAT(writes, SizeIs(1));
    const std::string framed = writes[0].bytes.substr(0, writes[0].bytes.size() - 2);
    EXPECT_EQ(framed.substr(0, 3), ">3t");
    EXPECT_NE(FrameMessage(framed.substr(1, framed.size() - 4)), framed);
    EXPECT_EQ(FrameMessage(framed.substr(1, framed.size() - 4)).substr(0, framed.size() - 2),
              framed.substr(0, framed.size() - 2))
        << "only the checksum digits differ";
    EXPECT_EQ(bus.Counts().silent, 1u);

    // Echo first, then after the delay the answer in pieces, then noise.
    options = Bus();
    options.echo = true;
    options.delay = 40ms;
    options.split = 7;
    options.splitGap = 3ms;
    options.noise = true;
    TBusDevice noisy(options);
    const TTime now = TClock::now();
    noisy.Receive(kPoll0.substr(0, 3), now);
    noisy.Receive(kPoll0.substr(3), now + 1ms);
    writes = noisy.TakeQueued();
    ASSERT_GE(writes.size(), 5u);
    EXPECT_EQ(writes[0].bytes + writes[1].bytes, kPoll0);
    EXPECT_EQ(writes[1].due, now + 1ms);
    const std::string noise = writes.back().bytes;
    writes.pop_back();
    writes.erase(writes.begin(), writes.begin() + 2);
    for (size_t i = 0; i < writes.size(); ++i) {
        EXPECT_LE(writes[i].bytes.size(), 7u);
        EXPECT_EQ(writes[i].due, now + 1ms + 40ms + 3ms * static_cast<int>(i));
    }
    ExpectWellFramed(Concatenated(writes), '0');
    EXPECT_FALSE(noise.empty());
    EXPECT_EQ(noise.find('>'), std::string::npos);
}

TEST(BusDevice, AnEndingRunWritesOutTheAnswersItBeganAndStartsNoMore)
{
    // An answer counted as sent is written whole before the run ends: a count that included an
    // answer cut off at the end would report it lost.
    TBusOptions options = Bus();
    options.split = 1;
    options.splitGap = 3ms;
    TBusDevice bus(options);
    const TTime now = TClock::now();
    bus.Receive(kPoll0, now);
    bus.EndRequested(now);
    EXPECT_FALSE(bus.Finished());
    bus.Receive(kPoll3, now);
    EXPECT_EQ(bus.Counts().answered, 1u);
    while (TLineWrite* front = bus.FrontWrite())
        bus.ConsumeFront(front->bytes.size());
    EXPECT_TRUE(bus.Finished());
}

TEST(BusDevice, RefusesAnswersWhenTheProgramStopsReading)
{
    TBusDevice bus(Bus());
    const TTime now = TClock::now();
    for (int i = 0; i < 2000; ++i)
        bus.Receive(kPoll0, now);
    EXPECT_LE(bus.QueuedBytes(), TSimDevice::kMaxQueuedBytes);
    EXPECT_GT(bus.Counts().dropped, 0u);
    EXPECT_EQ(bus.Counts().answered + bus.Counts().dropped, 2000u);
}

TEST(AddressList, ParsesRangesAndLists)
{
    const std::pair<const char*, const char*> good[] = {
        {"0-9", "0123456789"}, {"0,3,7", "037"}, {"0-2,A-C", "012ABC"}, {"8-B", "89AB"}};
    for (const auto& [text, expected] : good) {
        std::set<char> addresses;
        EXPECT_TRUE(ParseAddressList(text, addresses)) << text;
        EXPECT_EQ(std::string(addresses.begin(), addresses.end()), expected) << text;
    }
    for (const char* bad : {"9-0", "", "0,,1", "a", "10", "0-"}) {
        std::set<char> addresses;
        EXPECT_FALSE(ParseAddressList(bad, addresses)) << bad;
    }
}

TEST(BusDevice, MeasuresThePollBeatOverValidRequestsOnly)
{
    TBusDevice bus(Bus());
    const TTime t = TClock::now();
    bus.Receive(kPoll0, t);
    bus.Receive(">1T<00\r\n", t + 100ms); // bad checksum: not a poll of the program
    bus.Receive(kPoll3, t + 500ms);
    bus.Receive(kPoll0, t + 1010ms);
    EXPECT_EQ(bus.PollIntervals().Count(), 2u);
    EXPECT_DOUBLE_EQ(bus.PollIntervals().PercentileMs(50), 500.0);
    EXPECT_DOUBLE_EQ(bus.PollIntervals().MaxMs(), 510.0);
}
