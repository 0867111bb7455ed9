// The shared parts of a simulated device: its output queue, latency figures and JSON helpers.
#include "tools/sim/SimDevice.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sim
{

void TLatencyStats::Add(std::chrono::nanoseconds latency)
{
    const int64_t ns = std::max<int64_t>(0, latency.count());
    ++count_;
    max_ = std::max(max_, ns);
    if (samples_.size() < kMaxSamples) {
        samples_.push_back(ns);
        return;
    }
    // Reservoir sampling: every sample so far has the same chance to be kept.
    std::uniform_int_distribution<uint64_t> slot(0, count_ - 1);
    const uint64_t index = slot(pick_);
    if (index < kMaxSamples)
        samples_[index] = ns;
}

double TLatencyStats::PercentileMs(double p) const
{
    if (samples_.empty())
        return 0.0;
    std::vector<int64_t> sorted = samples_;
    std::sort(sorted.begin(), sorted.end());
    const double rank = std::ceil(p / 100.0 * static_cast<double>(sorted.size()));
    const size_t index = std::clamp<size_t>(static_cast<size_t>(rank), 1, sorted.size()) - 1;
    return static_cast<double>(sorted[index]) / 1e6;
}

double TLatencyStats::MaxMs() const { return static_cast<double>(max_) / 1e6; }

std::optional<uint64_t> TSimDevice::ConsumeFront(size_t count)
{
    if (output_.empty())
        return std::nullopt;
    TLineWrite& front = output_.front();
    count = std::min(count, front.bytes.size());
    front.bytes.erase(0, count);
    queuedBytes_ -= count;
    if (!front.bytes.empty())
        return std::nullopt;
    const uint64_t tag = front.tag;
    output_.pop_front();
    return tag;
}

std::vector<TLineWrite> TSimDevice::TakeQueued()
{
    std::vector<TLineWrite> taken(std::make_move_iterator(output_.begin()),
                                  std::make_move_iterator(output_.end()));
    output_.clear();
    queuedBytes_ = 0;
    return taken;
}

bool TSimDevice::Schedule(TTime due, std::string bytes, uint64_t tag)
{
    if (bytes.empty())
        return true;
    if (queuedBytes_ + bytes.size() > kMaxQueuedBytes)
        return false;
    if (!output_.empty())
        due = std::max(due, output_.back().due);
    queuedBytes_ += bytes.size();
    output_.push_back({due, std::move(bytes), tag});
    return true;
}

std::string JsonString(std::string_view text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        switch (c) {
        case '"':
            out += "\\\"";
            break;
        case '\\':
            out += "\\\\";
            break;
        case '\n':
            out += "\\n";
            break;
        default:
            if (c < 0x20 || c >= 0x7F) {
                char escaped[8];
                std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                out += escaped;
            } else {
                out += static_cast<char>(c);
            }
        }
    }
    return out + "\"";
}

std::string LatencyJson(const TLatencyStats& stats, const char* name)
{
    char text[200];
    std::snprintf(text, sizeof text, "\"%s\": {\"count\": %llu, \"p50\": %.3f, \"p99\": %.3f, \"max\": %.3f}",
                  name, static_cast<unsigned long long>(stats.Count()), stats.PercentileMs(50),
                  stats.PercentileMs(99), stats.MaxMs());
    return text;
}

} // namespace sim
