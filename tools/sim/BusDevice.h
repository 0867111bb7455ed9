// The simulated RS485 bus: field devices at a set of addresses that answer the program's poll
// requests ">" address "T" "<" checksum CR LF with a framed measurement answer.
#pragma once

#include "tools/sim/SimDevice.h"

#include <chrono>
#include <cstdint>
#include <ctime>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace sim
{

/// One line the parser cut out of the received bytes, from its ">" on.
struct TPollLine {
    enum TKind {
        plValid,       ///< a well-formed request with the right checksum
        plBadChecksum, ///< well-formed, but its checksum does not match
        plMalformed,   ///< ends in a line feed (or is cut off by the next ">") but is no request
        plOverlong,    ///< ran past the longest request without a line feed
    };
    TKind kind;
    char address = 0; ///< valid and bad-checksum lines only
    std::string bytes;
};

/// Cuts poll requests out of a byte stream that may split them anywhere, carry several in one
/// piece and have garbage between them. A request starts at ">" and ends at a line feed; its
/// buffer never holds more than kMaxLine bytes.
class TPollRequestParser
{
public:
    static constexpr size_t kMaxLine = 32;

    std::vector<TPollLine> Feed(std::string_view bytes);
    /// Bytes outside any line (before a ">").
    uint64_t GarbageBytes() const { return garbage_; }

private:
    TPollLine Classify(std::string line) const;

    std::string line_;
    bool inLine_ = false;
    uint64_t garbage_ = 0;
};

struct TBusOptions {
    std::set<char> addresses; ///< who answers; the program polls "0" to "9"
    bool echo = false;        ///< give back every received byte at once, as a half-duplex adapter does
    std::chrono::milliseconds delay{0}; ///< between the end of a request and the answer
    std::set<char> silent;              ///< on the bus, but never answers
    std::set<char> badChecksum;         ///< answers with a wrong checksum
    size_t split = 0;                   ///< write the answer in pieces of this many bytes (0: whole)
    std::chrono::milliseconds splitGap{5};
    bool noise = false; ///< random bytes other than ">" after each answer
    uint64_t seed = 1;
};

/// The bus of field devices. Counts every request it sees; answers valid requests to its
/// addresses.
class TBusDevice final : public TSimDevice
{
public:
    explicit TBusDevice(TBusOptions options);

    void Receive(std::string_view bytes, TTime now) override;
    std::string SummaryText() const override;
    std::string ReportJsonMembers() const override;

    /// The framed answer of `address` without the line end, for the given answer number and local
    /// time; with `badChecksum` its two checksum digits are wrong.
    static std::string Answer(char address, uint64_t number, const std::tm& when, bool badChecksum);

    struct TCounts {
        uint64_t valid = 0, badChecksum = 0, malformed = 0, overlong = 0;
        uint64_t answered = 0, silent = 0, otherAddress = 0, dropped = 0;
        std::map<char, uint64_t> perAddress; ///< valid requests by address
        uint64_t Invalid() const { return badChecksum + malformed + overlong; }
    };
    const TCounts& Counts() const { return counts_; }
    uint64_t GarbageBytes() const { return parser_.GarbageBytes(); }
    /// Time from one valid request to the next, whatever their addresses: the program's poll beat.
    const TLatencyStats& PollIntervals() const { return pollIntervals_; }

private:
    void Respond(char address, TTime now);

    TBusOptions options_;
    TPollRequestParser parser_;
    TCounts counts_;
    TLatencyStats pollIntervals_;
    std::optional<TTime> lastRequest_;
    std::mt19937_64 random_;
};

/// Parses an address list such as "0-9", "0,3,7" or "0-4,A-C" into address characters (digits and
/// upper-case letters). @return false for anything else.
bool ParseAddressList(std::string_view text, std::set<char>& addresses);

} // namespace sim
