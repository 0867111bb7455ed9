// The simulated RS485 bus: request parsing, the answers of the field devices and the fault modes.
#include "tools/sim/BusDevice.h"

#include "protocol/UnitEntDeCoder.h"

#include <cstdio>
#include <ctime>

namespace sim
{

namespace
{

constexpr size_t kRequestLength = 8; // ">" address "T" "<" two hex digits CR LF
constexpr int kMeasurementValues = 10;
constexpr int kNoiseMaxBytes = 8;

bool IsAddressChar(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z'); }

std::tm LocalNow()
{
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    return local;
}

} // namespace

std::vector<TPollLine> TPollRequestParser::Feed(std::string_view bytes)
{
    std::vector<TPollLine> lines;
    for (char c : bytes) {
        if (c == '>') {
            // A request never holds a ">": a new one starts, and what was collected is cut off.
            if (inLine_)
                lines.push_back({TPollLine::plMalformed, 0, std::move(line_)});
            line_.assign(1, c);
            inLine_ = true;
            continue;
        }
        if (!inLine_) {
            ++garbage_;
            continue;
        }
        line_ += c;
        if (c == '\n') {
            lines.push_back(Classify(std::move(line_)));
            line_.clear();
            inLine_ = false;
        } else if (line_.size() >= kMaxLine) {
            lines.push_back({TPollLine::plOverlong, 0, std::move(line_)});
            line_.clear();
            inLine_ = false;
        }
    }
    return lines;
}

TPollLine TPollRequestParser::Classify(std::string line) const
{
    if (line.size() != kRequestLength || line[2] != 'T' || line[3] != '<' || line[6] != '\r')
        return {TPollLine::plMalformed, 0, std::move(line)};
    const char address = line[1];
    const bool checksumOk = FrameMessage(std::string{address, 'T'}) == line.substr(0, 6);
    return {checksumOk ? TPollLine::plValid : TPollLine::plBadChecksum, address, std::move(line)};
}

TBusDevice::TBusDevice(TBusOptions options) : options_(std::move(options)), random_(options_.seed) {}

void TBusDevice::Receive(std::string_view bytes, TTime now)
{
    if (options_.echo && !Schedule(now, std::string(bytes)))
        ++counts_.dropped;
    for (const TPollLine& line : parser_.Feed(bytes)) {
        switch (line.kind) {
        case TPollLine::plValid:
            if (lastRequest_)
                pollIntervals_.Add(now - *lastRequest_);
            lastRequest_ = now;
            ++counts_.valid;
            ++counts_.perAddress[line.address];
            if (options_.addresses.count(line.address) == 0)
                ++counts_.otherAddress;
            else if (options_.silent.count(line.address) != 0)
                ++counts_.silent;
            else
                Respond(line.address, now);
            break;
        case TPollLine::plBadChecksum:
            ++counts_.badChecksum;
            break;
        case TPollLine::plMalformed:
            ++counts_.malformed;
            break;
        case TPollLine::plOverlong:
            ++counts_.overlong;
            break;
        }
    }
}

std::string TBusDevice::Answer(char address, uint64_t number, const std::tm& when, bool badChecksum)
{
    // Ten measurement values of eight digits, mostly leading zeros as a resting device gives them,
    // then the device's clock as YYMMDDhhmm.
    std::string data;
    for (int i = 0; i < kMeasurementValues; ++i) {
        const uint64_t value =
            ((number + 1) * static_cast<uint64_t>(i + 3) * 37 + static_cast<uint8_t>(address) * 101) % 10000;
        char field[16];
        std::snprintf(field, sizeof field, "%08llu", static_cast<unsigned long long>(value));
        data += field;
    }
    char clock[64];
    std::snprintf(clock, sizeof clock, "%02d%02d%02d%02d%02d", when.tm_year % 100, when.tm_mon + 1,
                  when.tm_mday, when.tm_hour, when.tm_min);
    data += clock;

    std::string framed = FrameMessage(std::string{address, 't'} + data);
    if (badChecksum) {
        const unsigned sum = std::stoul(framed.substr(framed.size() - 2), nullptr, 16);
        framed.replace(framed.size() - 2, 2, HexWord(static_cast<uint16_t>((sum + 1) & 0xFF)).substr(2));
    }
    return framed;
}

void TBusDevice::Respond(char address, TTime now)
{
    // A run that is ending starts no answer; the ones begun are written out first.
    if (endRequested_)
        return;
    const std::string answer =
        Answer(address, counts_.perAddress[address], LocalNow(), options_.badChecksum.count(address) != 0) +
        "\r\n";
    TTime due = now + options_.delay;
    bool taken = true;
    if (options_.split == 0) {
        taken = Schedule(due, answer);
    } else {
        for (size_t at = 0; at < answer.size() && taken; at += options_.split) {
            taken = Schedule(due, answer.substr(at, options_.split));
            due += options_.splitGap;
        }
    }
    if (taken && options_.noise) {
        std::uniform_int_distribution<int> length(1, kNoiseMaxBytes), byte(0, 255);
        std::string noise;
        for (int n = length(random_); n > 0; --n) {
            char c = static_cast<char>(byte(random_));
            noise += c == '>' ? '?' : c;
        }
        taken = Schedule(due, noise);
    }
    if (taken)
        ++counts_.answered;
    else
        ++counts_.dropped;
}

std::string TBusDevice::SummaryText() const
{
    std::string text = "requests: " + std::to_string(counts_.valid) + " valid, " +
                       std::to_string(counts_.Invalid()) + " invalid (" +
                       std::to_string(counts_.badChecksum) + " bad checksum, " +
                       std::to_string(counts_.malformed) + " malformed, " + std::to_string(counts_.overlong) +
                       " overlong)\n";
    text += "per address:";
    for (const auto& [address, count] : counts_.perAddress)
        text += std::string(" ") + address + "=" + std::to_string(count);
    text += "\nanswers sent: " + std::to_string(counts_.answered) +
            ", silent: " + std::to_string(counts_.silent) +
            ", not on the bus: " + std::to_string(counts_.otherAddress) +
            ", dropped (line not read): " + std::to_string(counts_.dropped) + "\n";
    char beat[160];
    std::snprintf(beat, sizeof beat, "poll interval ms: p50 %.3f, p99 %.3f, max %.3f (%llu intervals)\n",
                  pollIntervals_.PercentileMs(50), pollIntervals_.PercentileMs(99), pollIntervals_.MaxMs(),
                  static_cast<unsigned long long>(pollIntervals_.Count()));
    return text + beat;
}

std::string TBusDevice::ReportJsonMembers() const
{
    std::string perAddress;
    for (const auto& [address, count] : counts_.perAddress)
        perAddress += (perAddress.empty() ? "" : ", ") + JsonString(std::string(1, address)) + ": " +
                      std::to_string(count);
    return "\"requests\": {\"valid\": " + std::to_string(counts_.valid) +
           ", \"invalid\": " + std::to_string(counts_.Invalid()) +
           ", \"bad_checksum\": " + std::to_string(counts_.badChecksum) +
           ", \"malformed\": " + std::to_string(counts_.malformed) +
           ", \"overlong\": " + std::to_string(counts_.overlong) + ", \"per_address\": {" + perAddress +
           "}}" + ", \"answers_sent\": " + std::to_string(counts_.answered) +
           ", \"silent\": " + std::to_string(counts_.silent) +
           ", \"other_address\": " + std::to_string(counts_.otherAddress) +
           ", \"dropped\": " + std::to_string(counts_.dropped) +
           ", \"garbage_bytes\": " + std::to_string(parser_.GarbageBytes()) + ", " +
           LatencyJson(pollIntervals_, "poll_interval_ms");
}

bool ParseAddressList(std::string_view text, std::set<char>& addresses)
{
    std::set<char> parsed;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string_view item = text.substr(at, comma - at);
        if (item.size() == 1 && IsAddressChar(item[0])) {
            parsed.insert(item[0]);
        } else if (item.size() == 3 && item[1] == '-' && IsAddressChar(item[0]) && IsAddressChar(item[2]) &&
                   item[0] <= item[2]) {
            for (char c = item[0]; c <= item[2]; ++c)
                if (IsAddressChar(c))
                    parsed.insert(c);
        } else {
            return false;
        }
        at = comma + 1;
    }
    addresses = std::move(parsed);
    return true;
}

} // namespace sim
