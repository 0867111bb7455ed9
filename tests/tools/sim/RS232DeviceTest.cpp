// The simulated RS232 device on a simulated clock: its messages, its pacing and how it judges answers.
#include "tools/sim/RS232Device.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace sim;
using namespace std::chrono_literals;
using ::testing::SizeIs;

namespace
{

/// A device that starts at once, driven step by step on a made-up clock.
struct DeviceFixture {
    explicit DeviceFixture(TRS232Options options = Options()) : device(options) {}

    static TRS232Options Options()
    {
        TRS232Options options;
        options.waitForOpen = false;
        options.rate = 10; // one message per 100 ms
        options.answerTimeout = 1000ms;
        return options;
    }

    /// Runs the timers at `at` and writes what is due, as the loop would; returns the bytes.
    std::string Step(TTime at)
    {
        now = at;
        device.Tick(now);
        std::string sent;
        while (TLineWrite* front = device.FrontWrite()) {
            if (front->due > now)
                break;
            sent += front->bytes;
            if (const auto tag = device.ConsumeFront(front->bytes.size()); tag && *tag != 0)
                device.Written(*tag, now);
        }
        return sent;
    }

    void Answer(const std::string& bytes, TTime at)
    {
        now = at;
        device.Receive(bytes, at);
    }

    TRS232Device device;
    TTime start = TClock::now();
    TTime now = start;
};

} // namespace

TEST(ExpectedAnswer, TurnsTheFirstAIntoJThenTheFirstRIntoY)
{
    const std::pair<std::string, std::string> cases[] = {
        {"A20030401\x03", "J20030401\x03"},
        {"ARARA\x03", "JYARA\x03"},
        {"RA\x03", "YJ\x03"},
        {"ar\x03", "ar\x03"}, // lower case stays
        {"TEST\x03", "TEST\x03"},
        {"\x02\x03", "\x02\x03"},
    };
    for (const auto& [message, answer] : cases)
        EXPECT_EQ(ExpectedAnswer(message), answer) << message;
}

// The class the monitoring mode gives a message, to check that every kind lands where it is meant to.
std::string ClassOf(const std::string& m)
{
    const auto has = [&](char c) { return m.find(c) != std::string::npos; };
    if (has('R'))
        return "HTE";
    std::string cls;
    if (has('A'))
        cls = m[0] == kStx ? "B1" : m.size() > 10 ? "M1" : "V1";
    if (has('D'))
        cls = m[0] == kStx ? "B1" : m.size() > 28 ? "M1" : "V1";
    return cls.empty() && has('T') ? "HTE" : cls;
}

TEST(MakeMessage, CoversEveryDeviceClassAndEndsInItsOnlyETX)
{
    struct Case {
        TMessageKind kind;
        uint64_t number;
        const char* cls;
    };
    const Case cases[] = {
        {TMessageKind::mkStx, 0, "B1"}, {TMessageKind::mkA, 0, "V1"},   {TMessageKind::mkA, 1, "M1"},
        {TMessageKind::mkD, 2, "V1"},   {TMessageKind::mkD, 3, "M1"},   {TMessageKind::mkR, 0, "HTE"},
        {TMessageKind::mkT, 0, "HTE"},  {TMessageKind::mkPlain, 0, ""},
    };
    for (const Case& c : cases) {
        const std::string m = MakeMessage(c.kind, c.number);
        EXPECT_EQ(ClassOf(m), c.cls) << KindName(c.kind) << " #" << c.number;
        EXPECT_EQ(m.find(kEtx), m.size() - 1) << KindName(c.kind);
    }
    EXPECT_EQ(MakeMessage(TMessageKind::mkA, 1).size(), 18u);
    EXPECT_EQ(MakeMessage(TMessageKind::mkD, 3).size(), 30u) << "just past the 28-byte rule";
    EXPECT_NE(MakeMessage(TMessageKind::mkA, 4), MakeMessage(TMessageKind::mkA, 6));
}

TEST(KindList, ParsesNamesInAnyCase)
{
    std::vector<TMessageKind> kinds;
    ASSERT_TRUE(ParseKindList("stx,a,Plain", kinds));
    EXPECT_EQ(kinds,
              (std::vector<TMessageKind>{TMessageKind::mkStx, TMessageKind::mkA, TMessageKind::mkPlain}));
    for (const char* bad : {"", "A,", "X"})
        EXPECT_FALSE(ParseKindList(bad, kinds)) << bad;
}

TEST(RS232Device, CountsCorrectAnswersAndTheirLatency)
{
    DeviceFixture f;
    const std::string message = f.Step(f.start);
    ASSERT_FALSE(message.empty());
    const std::string answer = ExpectedAnswer(message);
    // The answer arrives in two pieces; latency runs to its first byte.
    f.Answer(answer.substr(0, 2), f.start + 7ms);
    f.Answer(answer.substr(2), f.start + 9ms);
    EXPECT_EQ(f.device.Counts().correct, 1u);
    EXPECT_EQ(f.device.Latency().Count(), 1u);
    EXPECT_DOUBLE_EQ(f.device.Latency().MaxMs(), 7.0);
    EXPECT_EQ(f.device.Pending(), 0u);
}

TEST(RS232Device, TellsWrongMissingLateAndUnexpectedAnswersApart)
{
    TRS232Options options = DeviceFixture::Options();
    options.kinds = {TMessageKind::mkA};
    options.count = 4;
    DeviceFixture f(options);
    std::vector<std::string> sent;
    for (int i = 0; i < 4; ++i)
        sent.push_back(f.Step(f.start + 100ms * i));
    ASSERT_EQ(f.device.Counts().sent, 4u);

    f.Answer(sent[0], f.start + 350ms); // sent back without its "A" turned into "J"
    EXPECT_EQ(f.device.Counts().wrong, 1u);
    EXPECT_EQ(f.device.Latency().Count(), 0u);

    f.Answer(ExpectedAnswer(sent[2]), f.start + 360ms); // the program answers in order: the second is lost
    EXPECT_EQ(f.device.Counts().missing, 1u);
    EXPECT_EQ(f.device.Counts().correct, 1u);

    f.Step(f.start + 300ms + 1000ms); // the fourth times out ...
    EXPECT_EQ(f.device.Counts().missing, 2u);
    f.Answer(ExpectedAnswer(sent[3]), f.start + 1400ms); // ... and comes anyway
    EXPECT_EQ(f.device.Counts().late, 1u);

    f.Answer("nobody asked\x03", f.start + 1401ms);
    EXPECT_EQ(f.device.Counts().unexpected, 1u);
    EXPECT_EQ(f.device.Counts().wrong, 1u);
    EXPECT_EQ(f.device.Counts().correct, 1u);
}

TEST(RS232Device, WaitsForTheProgramToOpenThePort)
{
    TRS232Options options = DeviceFixture::Options();
    options.waitForOpen = true;
    options.settle = 250ms;
    DeviceFixture f(options);
    EXPECT_EQ(f.Step(f.start + 5s), "");
    f.device.LineFlushed(f.start + 5s);
    f.device.LineFlushed(f.start + 5s + 10ms); // the open flushes twice: settling starts again
    EXPECT_EQ(f.Step(f.start + 5s + 250ms), "");
    ASSERT_TRUE(f.device.NextTimer());
    EXPECT_EQ(*f.device.NextTimer(), f.start + 5s + 260ms);
    EXPECT_NE(f.Step(f.start + 5s + 260ms), "");
}

TEST(RS232Device, KeepsItsRateAndStopsAfterItsCount)
{
    TRS232Options options = DeviceFixture::Options();
    options.count = 3;
    DeviceFixture f(options);
    int messages = 0;
    for (auto t = 0ms; t <= 1000ms; t += 10ms) {
        const std::string sent = f.Step(f.start + t);
        if (!sent.empty()) {
            ++messages;
            EXPECT_EQ(t % 100ms, 0ms) << "off the 100 ms beat at " << t.count();
            f.Answer(ExpectedAnswer(sent), f.start + t + 1ms);
        }
    }
    EXPECT_EQ(messages, 3);
    EXPECT_TRUE(f.device.Finished()) << "count reached and every answer in";
    EXPECT_EQ(f.device.Counts().correct, 3u);
}

TEST(RS232Device, StaysBoundedOnTextWithoutETX)
{
    DeviceFixture f;
    const std::string message = f.Step(f.start);
    f.Answer(std::string(3 * TRS232Device::kMaxAnswer, 'x'), f.start + 1ms);
    f.Answer("tail\x03", f.start + 2ms); // the end of the overlong text, not an answer
    EXPECT_EQ(f.device.Counts().overlong, 1u);
    f.Answer(ExpectedAnswer(message), f.start + 3ms);
    EXPECT_EQ(f.device.Counts().correct, 1u);
    EXPECT_EQ(f.device.Counts().wrong, 0u);
}

TEST(LatencyStats, GivesNearestRankPercentilesAlsoPastItsSampleLimit)
{
    TLatencyStats stats;
    for (int ms = 100; ms >= 1; --ms)
        stats.Add(std::chrono::milliseconds(ms));
    EXPECT_DOUBLE_EQ(stats.PercentileMs(50), 50.0);
    EXPECT_DOUBLE_EQ(stats.PercentileMs(99), 99.0);
    EXPECT_DOUBLE_EQ(stats.MaxMs(), 100.0);

    TLatencyStats many;
    for (size_t i = 0; i < TLatencyStats::kMaxSamples * 2; ++i)
        many.Add(std::chrono::microseconds(i % 1000));
    EXPECT_EQ(many.Count(), TLatencyStats::kMaxSamples * 2);
    EXPECT_NEAR(many.PercentileMs(50), 0.5, 0.02);
    EXPECT_DOUBLE_EQ(many.MaxMs(), 0.999);
}
