// What every simulated field device shares: the timed queue of bytes it puts on the line, the
// latency figures it collects, and the interface the simulator's loop drives it through.
#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

namespace sim
{

using TClock = std::chrono::steady_clock;
using TTime = TClock::time_point;

/// Bytes for the line, not to be written before `due`. A non-zero tag is handed back through
/// TSimDevice::Written when the last byte has left.
struct TLineWrite {
    TTime due;
    std::string bytes;
    uint64_t tag = 0;
};

/// Latency samples with exact count and maximum; percentiles come from a uniform sample of at
/// most kMaxSamples values, so a run of days keeps its memory bounded.
class TLatencyStats
{
public:
    static constexpr size_t kMaxSamples = 100000;

    void Add(std::chrono::nanoseconds latency);
    uint64_t Count() const { return count_; }
    /// Nearest-rank percentile (0 < p <= 100) in milliseconds; 0 without samples.
    double PercentileMs(double p) const;
    double MaxMs() const;

private:
    std::vector<int64_t> samples_; // nanoseconds
    uint64_t count_ = 0;
    int64_t max_ = 0;
    std::mt19937_64 pick_{12345};
};

/// A device on the simulated line. The loop feeds it what the program wrote, runs its timers and
/// writes what it queued. Everything runs on the loop's thread; nothing here is thread-safe.
class TSimDevice
{
public:
    /// More queued bytes than this means the program is not reading: new writes are refused.
    static constexpr size_t kMaxQueuedBytes = 64 * 1024;

    virtual ~TSimDevice() = default;

    /// Bytes the program wrote, as read from the line at `now`.
    virtual void Receive(std::string_view bytes, TTime now) = 0;
    /// The program discarded the line's buffers (it opened the port or purged it).
    virtual void LineFlushed(TTime /*now*/) {}
    /// Runs the device's timers; the loop calls it after every wake-up.
    virtual void Tick(TTime /*now*/) {}
    /// The earliest moment at which Tick has something to do.
    virtual std::optional<TTime> NextTimer() const { return std::nullopt; }
    /// The write tagged `tag` has left for the line completely at `now`.
    virtual void Written(uint64_t /*tag*/, TTime /*now*/) {}
    /// The run is to end (its duration is over): stop starting new work.
    virtual void EndRequested(TTime /*now*/) { endRequested_ = true; }
    /// True when the device has nothing left to do and the loop may end: what it queued for the
    /// line has gone, so nothing it counted as sent is cut off.
    virtual bool Finished() const { return endRequested_ && output_.empty(); }

    /// The counts as lines of text, for the end of the run.
    virtual std::string SummaryText() const = 0;
    /// The counts as the members of a JSON object (without the braces), for the report file.
    virtual std::string ReportJsonMembers() const = 0;

    /// The next write, or nullptr when none is queued. Its bytes may be taken in parts.
    TLineWrite* FrontWrite() { return output_.empty() ? nullptr : &output_.front(); }
    /// Takes `count` bytes off the front write; returns its tag when it is now complete.
    std::optional<uint64_t> ConsumeFront(size_t count);
    size_t QueuedBytes() const { return queuedBytes_; }
    /// Takes every queued write off the queue (tests look at what a device would have sent).
    std::vector<TLineWrite> TakeQueued();

protected:
    /// Queues bytes for the line. Writes leave in order; a write never overtakes an earlier one.
    /// @return false when the queue is full and the bytes were refused.
    bool Schedule(TTime due, std::string bytes, uint64_t tag = 0);

    bool endRequested_ = false;

private:
    std::deque<TLineWrite> output_;
    size_t queuedBytes_ = 0;
};

/// A JSON string literal for `text`, with the characters JSON requires escaped.
std::string JsonString(std::string_view text);
/// `"<name>": {...}` with count, p50, p99 and max.
std::string LatencyJson(const TLatencyStats& stats, const char* name = "latency_ms");

} // namespace sim
