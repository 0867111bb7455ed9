// The simulated RS232 device: its messages, the pacing of its sends and the checking of answers.
#include "tools/sim/RS232Device.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

namespace sim
{

namespace
{

std::string Digits(uint64_t number, int width)
{
    // A multiplier coprime to 10^width keeps neighbouring numbers far apart without repeating
    // within a cycle of 10^width.
    uint64_t modulus = 1;
    for (int i = 0; i < width; ++i)
        modulus *= 10;
    char text[32];
    std::snprintf(text, sizeof text, "%0*llu", width,
                  static_cast<unsigned long long>((number * 7919 + 4711) % modulus));
    return text;
}

std::string Lower(std::string_view text)
{
    std::string out(text);
    for (char& c : out)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

} // namespace

const char* KindName(TMessageKind kind)
{
    switch (kind) {
    case TMessageKind::mkStx:
        return "stx";
    case TMessageKind::mkA:
        return "A";
    case TMessageKind::mkD:
        return "D";
    case TMessageKind::mkR:
        return "R";
    case TMessageKind::mkT:
        return "T";
    case TMessageKind::mkPlain:
        return "plain";
    }
    return "?";
}

bool ParseKindList(std::string_view text, std::vector<TMessageKind>& kinds)
{
    static const TMessageKind all[] = {TMessageKind::mkStx, TMessageKind::mkA, TMessageKind::mkD,
                                       TMessageKind::mkR,   TMessageKind::mkT, TMessageKind::mkPlain};
    std::vector<TMessageKind> parsed;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        const std::string name = Lower(text.substr(at, comma - at));
        if (name == "all") {
            parsed.insert(parsed.end(), std::begin(all), std::end(all));
        } else {
            const auto found = std::find_if(std::begin(all), std::end(all),
                                            [&](TMessageKind k) { return Lower(KindName(k)) == name; });
            if (found == std::end(all))
                return false;
            parsed.push_back(*found);
        }
        at = comma + 1;
    }
    kinds = std::move(parsed);
    return true;
}

std::string MakeMessage(TMessageKind kind, uint64_t number)
{
    const bool longForm = number % 2 == 1;
    switch (kind) {
    case TMessageKind::mkStx:
        return std::string(1, kStx) + "D" + Digits(number, 8) + kEtx;
    case TMessageKind::mkA: // 10 bytes, or 18: both sides of the length rule for "A"
        return std::string("A") + Digits(number, longForm ? 16 : 8) + kEtx;
    case TMessageKind::mkD: // 10 bytes, or 30: both sides of the length rule for "D"
        return std::string("D") + Digits(number, longForm ? 18 : 8) +
               (longForm ? Digits(number + 1, 10) : "") + kEtx;
    case TMessageKind::mkR:
        return std::string("R") + Digits(number, 8) + "A" + kEtx;
    case TMessageKind::mkT:
        return std::string("T") + Digits(number, 8) + kEtx;
    case TMessageKind::mkPlain:
        return Digits(number, 8) + kEtx;
    }
    return std::string(1, kEtx);
}

std::string ExpectedAnswer(std::string message)
{
    if (const size_t a = message.find('A'); a != std::string::npos)
        message[a] = 'J';
    if (const size_t r = message.find('R'); r != std::string::npos)
        message[r] = 'Y';
    return message;
}

TRS232Device::TRS232Device(TRS232Options options)
    : options_(std::move(options)),
      period_(std::chrono::nanoseconds(static_cast<int64_t>(1e9 / std::max(options_.rate, 1e-3))))
{
    if (options_.kinds.empty())
        options_.kinds.push_back(TMessageKind::mkA);
}

bool TRS232Device::Sending() const
{
    return started_ && !endRequested_ && (options_.count == 0 || counts_.sent < options_.count);
}

void TRS232Device::Receive(std::string_view bytes, TTime now)
{
    for (char c : bytes) {
        if (skippingOverlong_) {
            skippingOverlong_ = c != kEtx;
            continue;
        }
        if (answer_.empty())
            answerStart_ = now;
        answer_ += c;
        if (c == kEtx) {
            Match(answer_, answerStart_);
            answer_.clear();
        } else if (answer_.size() >= kMaxAnswer) {
            // Whatever this is, it is no answer to a message of ours; counting it against the oldest
            // waiting message would be a guess, so it only counts as overlong.
            ++counts_.overlong;
            answer_.clear();
            skippingOverlong_ = true;
        }
    }
}

void TRS232Device::LineFlushed(TTime now)
{
    ++counts_.flushes;
    // The program flushes when it opens the port and again right after: wait until it is quiet.
    if (!started_ && options_.waitForOpen)
        startAt_ = now + options_.settle;
}

void TRS232Device::Tick(TTime now)
{
    if (!started_) {
        if (!options_.waitForOpen && !startAt_)
            startAt_ = now;
        if (startAt_ && now >= *startAt_) {
            started_ = true;
            nextSend_ = now;
        }
    }
    Expire(now);
    if (Sending() && now >= nextSend_) {
        SendNext(now);
        nextSend_ += period_;
        // After a stall (a slow loop, a suspended process) go on at the rate instead of bursting.
        if (nextSend_ < now)
            nextSend_ = now + period_;
    }
}

std::optional<TTime> TRS232Device::NextTimer() const
{
    std::optional<TTime> next;
    const auto consider = [&](TTime t) {
        if (!next || t < *next)
            next = t;
    };
    if (!started_ && startAt_)
        consider(*startAt_);
    if (!started_ && !options_.waitForOpen && !startAt_)
        consider(TTime::min());
    if (Sending())
        consider(nextSend_);
    if (!outstanding_.empty())
        consider(outstanding_.front().Deadline(options_.answerTimeout));
    return next;
}

void TRS232Device::Written(uint64_t tag, TTime now)
{
    for (TOutstanding& waiting : outstanding_) {
        if (waiting.tag == tag) {
            waiting.writtenAt = now;
            return;
        }
    }
}

bool TRS232Device::Finished() const
{
    const bool doneSending = endRequested_ || (options_.count != 0 && counts_.sent >= options_.count);
    return doneSending && outstanding_.empty();
}

void TRS232Device::SendNext(TTime now)
{
    const TMessageKind kind = options_.kinds[nextKind_];
    nextKind_ = (nextKind_ + 1) % options_.kinds.size();
    const uint64_t tag = nextTag_++;
    std::string message = MakeMessage(kind, tag);
    std::string expected = ExpectedAnswer(message);
    if (!Schedule(now, std::move(message), tag)) {
        ++counts_.notSent;
        return;
    }
    ++counts_.sent;
    ++counts_.perKind[kind];
    outstanding_.push_back({tag, std::move(expected), now, std::nullopt});
}

void TRS232Device::Expire(TTime now)
{
    while (!outstanding_.empty() && outstanding_.front().Deadline(options_.answerTimeout) <= now) {
        ++counts_.missing;
        RememberLate(std::move(outstanding_.front().expected));
        outstanding_.pop_front();
    }
}

void TRS232Device::RememberLate(std::string expected)
{
    late_.push_back(std::move(expected));
    if (late_.size() > kLateMemory)
        late_.pop_front();
}

void TRS232Device::Match(const std::string& answer, TTime firstByte)
{
    // The program answers in order; an answer that matches a later message means the earlier
    // ones were dropped and will not come any more.
    const auto found = std::find_if(outstanding_.begin(), outstanding_.end(),
                                    [&](const TOutstanding& waiting) { return waiting.expected == answer; });
    if (found != outstanding_.end()) {
        for (auto skipped = outstanding_.begin(); skipped != found; ++skipped) {
            ++counts_.missing;
            RememberLate(std::move(skipped->expected));
        }
        ++counts_.correct;
        if (found->writtenAt)
            latency_.Add(firstByte - *found->writtenAt);
        outstanding_.erase(outstanding_.begin(), found + 1);
        return;
    }
    if (const auto late = std::find(late_.begin(), late_.end(), answer); late != late_.end()) {
        ++counts_.late;
        late_.erase(late);
        return;
    }
    if (outstanding_.empty()) {
        ++counts_.unexpected;
        return;
    }
    ++counts_.wrong;
    outstanding_.pop_front();
}

std::string TRS232Device::SummaryText() const
{
    char latency[160];
    std::snprintf(latency, sizeof latency, "answer latency ms: p50 %.3f, p99 %.3f, max %.3f (%llu answers)\n",
                  latency_.PercentileMs(50), latency_.PercentileMs(99), latency_.MaxMs(),
                  static_cast<unsigned long long>(latency_.Count()));
    std::string kinds;
    for (const auto& [kind, count] : counts_.perKind)
        kinds += std::string(kinds.empty() ? "" : ", ") + KindName(kind) + "=" + std::to_string(count);
    return "messages sent: " + std::to_string(counts_.sent) + " (" + kinds + ")" +
           (counts_.notSent ? ", not sent (line not read): " + std::to_string(counts_.notSent) : "") + "\n" +
           "answered correct: " + std::to_string(counts_.correct) +
           ", wrong: " + std::to_string(counts_.wrong) + ", missing: " + std::to_string(counts_.missing) +
           ", late: " + std::to_string(counts_.late) + ", unexpected: " + std::to_string(counts_.unexpected) +
           ", pending: " + std::to_string(Pending()) + "\n" + latency;
}

std::string TRS232Device::ReportJsonMembers() const
{
    std::string kinds;
    for (const auto& [kind, count] : counts_.perKind)
        kinds += (kinds.empty() ? "" : ", ") + JsonString(KindName(kind)) + ": " + std::to_string(count);
    return "\"messages_sent\": " + std::to_string(counts_.sent) + ", \"per_kind\": {" + kinds + "}" +
           ", \"answered_correct\": " + std::to_string(counts_.correct) +
           ", \"answered_wrong\": " + std::to_string(counts_.wrong) +
           ", \"missing\": " + std::to_string(counts_.missing) +
           ", \"late\": " + std::to_string(counts_.late) +
           ", \"unexpected\": " + std::to_string(counts_.unexpected) +
           ", \"pending\": " + std::to_string(Pending()) +
           ", \"not_sent\": " + std::to_string(counts_.notSent) +
           ", \"overlong\": " + std::to_string(counts_.overlong) +
           ", \"flushes\": " + std::to_string(counts_.flushes) + ", " + LatencyJson(latency_);
}

} // namespace sim
