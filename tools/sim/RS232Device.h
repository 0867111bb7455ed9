// The simulated RS232 device: sends ETX-terminated messages of every kind the monitoring mode tells
// apart and checks that each one comes back with its first "A" turned into "J" and then its first
// "R" into "Y".
#pragma once

#include "tools/sim/SimDevice.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace sim
{

enum class TMessageKind {
    mkStx,   ///< leading STX, with a "D"
    mkA,     ///< an "A", short and long in turn
    mkD,     ///< a "D", short and long in turn
    mkR,     ///< an "R" and an "A": both letters change
    mkT,     ///< a "T", none of A, D, R
    mkPlain, ///< none of A, D, R, T: comes back unchanged
};

constexpr char kStx = 2;
constexpr char kEtx = 3;

const char* KindName(TMessageKind kind);
/// Parses "stx,A,D,R,T,plain" (any subset, in any order, case-insensitive, "all" for every kind).
/// @return false on an unknown or empty name.
bool ParseKindList(std::string_view text, std::vector<TMessageKind>& kinds);
/// The `number`-th message of a kind, ETX included. Its digits change with the number, so two
/// messages close to each other in a run never look alike.
std::string MakeMessage(TMessageKind kind, uint64_t number);
/// What the program must send back: the first "A" becomes "J", then the first "R" becomes "Y".
std::string ExpectedAnswer(std::string message);

struct TRS232Options {
    double rate = 1.0;  ///< messages per second
    uint64_t count = 0; ///< stop sending after this many (0: no limit)
    std::vector<TMessageKind> kinds = {TMessageKind::mkStx, TMessageKind::mkA, TMessageKind::mkD,
                                       TMessageKind::mkR,   TMessageKind::mkT, TMessageKind::mkPlain};
    std::chrono::milliseconds answerTimeout{1000};
    /// Hold the first message until the program has opened the port (seen as its flush of the
    /// line) and a settling time has passed, so that the program's own discards at open do not
    /// eat it.
    bool waitForOpen = true;
    std::chrono::milliseconds settle{250};
};

class TRS232Device final : public TSimDevice
{
public:
    static constexpr size_t kMaxAnswer = 4096;
    static constexpr size_t kLateMemory = 32;

    explicit TRS232Device(TRS232Options options);

    void Receive(std::string_view bytes, TTime now) override;
    void LineFlushed(TTime now) override;
    void Tick(TTime now) override;
    std::optional<TTime> NextTimer() const override;
    void Written(uint64_t tag, TTime now) override;
    bool Finished() const override;
    std::string SummaryText() const override;
    std::string ReportJsonMembers() const override;

    struct TCounts {
        uint64_t sent = 0;       ///< queued for the line
        uint64_t correct = 0;    ///< answered with the expected bytes
        uint64_t wrong = 0;      ///< answered with other bytes
        uint64_t missing = 0;    ///< no answer within the time-out
        uint64_t late = 0;       ///< the expected answer came after its time-out
        uint64_t unexpected = 0; ///< an answer while no message waited for one
        uint64_t notSent = 0;    ///< refused because the program does not read the line
        uint64_t overlong = 0;   ///< received text that ran past kMaxAnswer without an ETX
        uint64_t flushes = 0;    ///< the program discarded the line's buffers
        std::map<TMessageKind, uint64_t> perKind;
    };
    const TCounts& Counts() const { return counts_; }
    const TLatencyStats& Latency() const { return latency_; }
    bool Started() const { return started_; }
    /// Messages still waiting for an answer.
    size_t Pending() const { return outstanding_.size(); }

private:
    struct TOutstanding {
        uint64_t tag;
        std::string expected;
        TTime queuedAt;
        std::optional<TTime> writtenAt;
        TTime Deadline(std::chrono::milliseconds timeout) const
        {
            return writtenAt.value_or(queuedAt) + timeout;
        }
    };

    bool Sending() const;
    void SendNext(TTime now);
    void Expire(TTime now);
    void Match(const std::string& answer, TTime firstByte);
    void RememberLate(std::string expected);

    TRS232Options options_;
    std::chrono::nanoseconds period_;
    TCounts counts_;
    TLatencyStats latency_;

    bool started_ = false;
    std::optional<TTime> startAt_;
    TTime nextSend_{};
    uint64_t nextTag_ = 1;
    size_t nextKind_ = 0;

    std::deque<TOutstanding> outstanding_;
    std::deque<std::string> late_; ///< expected answers that timed out, most recent last
    std::string answer_;
    TTime answerStart_{};
    bool skippingOverlong_ = false;
};

} // namespace sim
