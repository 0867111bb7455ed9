// The bus overview: for each polled address, what the window's own traffic shows of it (requests,
// answers, polls left unanswered, wrong checksums, the last answer's delay), and the small tool
// window that shows it live.
#pragma once

#include <QWidget>

#include <array>
#include <chrono>
#include <cstdint>
#include <optional>
#include <string_view>

class QPushButton;
class QTableWidget;

/// The counts of one address.
struct TAddressCounts {
    uint64_t Requests = 0;
    uint64_t Answers = 0;
    /// Requests to it that got no answer before the next request went out.
    uint64_t Unanswered = 0;
    /// Answers whose two hex digits after the last "<" are not the byte sum of what comes before.
    uint64_t BadChecksums = 0;
    /// From the last request to this address to its last answer.
    std::optional<std::chrono::nanoseconds> LastDelay;
};

/// Counts, per address "0" to "9", what the poll step sends and the answers the window logs. It
/// only watches: the polling job knows nothing of it. Thread: the user-interface thread only.
class TBusCounter
{
public:
    using TClock = std::chrono::steady_clock;
    static constexpr int kAddresses = 10;

    /// A poll request to `address` went out at `at`.
    void Request(char address, TClock::time_point at);
    /// A message that is not the echo of a request was received at `at`. It belongs to the
    /// address after its ">"; one for no polled address is not counted.
    void Answer(std::string_view message, TClock::time_point at);
    void Reset();

    const TAddressCounts& Counts(int address) const { return FCounts.at(static_cast<size_t>(address)); }
    /// The table as tab-separated text, a header line first.
    QString Text() const;

    /// Whether the answer (trimmed or not) ends in "<" and the two hex digits of the low byte of
    /// the sum of every byte up to and including that "<", as requests are framed.
    static bool ChecksumRight(std::string_view answer);

private:
    std::array<TAddressCounts, kAddresses> FCounts{};
    std::array<std::optional<TClock::time_point>, kAddresses> FRequestedAt{};
    /// The request last sent, while it may still be answered before the next one.
    std::optional<int> FPending;
    bool FPendingAnswered = false;
};

/// The tool window: one row per address, Reset and Copy as text. It reads the window's counter
/// and is refreshed by whoever changes it. Thread: the user-interface thread only.
class TFormBusOverview : public QWidget
{
    Q_OBJECT

public:
    TFormBusOverview(TBusCounter& counter, QWidget* parent);

    /// Shows the counter's present state.
    void Refresh();

    QTableWidget* GridCounts = nullptr;
    QPushButton* ButtonReset = nullptr;
    QPushButton* ButtonCopy = nullptr;

private:
    TBusCounter& FCounter;
};
