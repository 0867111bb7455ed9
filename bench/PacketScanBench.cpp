// Scan throughput of a packet detector: bytes per second through the manager's buffer and one
// detector's matching, over the in-memory dispatcher of the tests (no device, no threads), with
// arrivals of 512 and 8192 bytes cut anywhere in the stream:
//   Polling   ">" to a line feed, answers of 90 bytes;
//   Wildcards "?T<" to "<??\r\n", the same answers framed for multi-byte patterns;
//   Noise     no start string at all, everything is thrown away;
//   Transport the same arrivals taken by a bare handler, the part of each figure that is not
//             the detector's.
#include "serial/packet/AdPacket.h"

#include "tests/serial/port/RecordingDispatcher.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace
{

/// The fake dispatcher with a driver that hands out a prepared stream by block copies, so the
/// figures are not those of the fake's byte-wise queue.
class TStreamDispatcher : public TFakeDispatcher
{
public:
    explicit TStreamDispatcher(TApdCustomComPort* owner) { OwnerPort = owner; }

    const std::string* Stream = nullptr;
    size_t At = 0;
    size_t Pending = 0; // bytes of the current arrival still in the driver

    int32_t DeviceRead(uint8_t* to, int32_t count) override
    {
        auto n = static_cast<size_t>(std::min<int64_t>(count, static_cast<int64_t>(Pending)));
        for (size_t done = 0; done < n;) {
            size_t piece = std::min(n - done, Stream->size() - At);
            std::memcpy(to + done, Stream->data() + At, piece);
            done += piece;
            At = (At + piece) % Stream->size();
        }
        Pending -= n;
        return static_cast<int32_t>(n);
    }
    uint32_t DeviceErrors(COMSTAT& status) override
    {
        status = COMSTAT{};
        status.cbInQue = static_cast<DWORD>(Pending);
        return 0;
    }

    /// One arrival of `size` bytes, offered until all of it has been taken (a ring's worth per
    /// fill). @return false when the bytes were left in the ring.
    bool Arrival(size_t size)
    {
        Pending = size;
        for (int fills = 0; Pending > 0; ++fills) {
            if (fills > 64)
                return false;
            FillInputRing();
            CheckReceivedData();
        }
        return InputCount() == 0;
    }
};

class TStreamPort : public TApdComPort
{
public:
    TStreamPort() { SetComNumber(1); }
    TStreamDispatcher* Stream() const { return static_cast<TStreamDispatcher*>(Dispatcher()); }

protected:
    std::unique_ptr<TApdBaseDispatcher> CreateDispatcher() override
    {
        return std::make_unique<TStreamDispatcher>(this);
    }
};

constexpr size_t kStreamSize = 1 << 20;

// Answers of 90 bytes as a bus device sends them: ">", 84 payload characters, "<", a two-digit
// check, CR LF; a few bytes of line noise between some of them.
std::string PollingStream()
{
    std::string stream;
    unsigned n = 0;
    while (stream.size() < kStreamSize) {
        std::string answer = ">0t";
        while (answer.size() < 85)
            answer += static_cast<char>('0' + (n + answer.size()) % 10);
        answer += '<';
        answer += std::to_string(10 + n % 90);
        answer += "\r\n";
        stream += answer;
        if (++n % 8 == 0)
            stream += "\xff\x00"; // noise between answers
    }
    return stream;
}

// The same answers for the wildcard patterns: the payload holds no "<" and the end is "<", two
// check digits, CR LF.
std::string WildcardStream()
{
    std::string stream;
    unsigned n = 0;
    while (stream.size() < kStreamSize) {
        std::string answer = std::to_string(n % 10) + "T<";
        while (answer.size() < 85)
            answer += static_cast<char>('A' + (n + answer.size()) % 26);
        answer += '<';
        answer += std::to_string(10 + n % 90);
        answer += "\r\n";
        stream += answer;
        ++n;
    }
    return stream;
}

// Line noise that holds no ">".
std::string NoiseStream()
{
    std::string stream(kStreamSize, '\0');
    uint32_t state = 12345;
    for (char& c : stream) {
        state = state * 1103515245u + 12345u;
        c = static_cast<char>('0' + (state >> 16) % 64); // '0' to 'o'
        if (c == '>')
            c = '=';
    }
    return stream;
}

enum TScanCase { kPolling, kWildcards, kNoise };

void BM_PacketScan(benchmark::State& state)
{
    const auto which = static_cast<TScanCase>(state.range(0));
    const auto arrival = static_cast<size_t>(state.range(1));
    const std::string stream = which == kPolling     ? PollingStream()
                               : which == kWildcards ? WildcardStream()
                                                     : NoiseStream();
    TStreamPort port;
    int64_t packets = 0;
    int64_t packetBytes = 0;
    {
        TApdDataPacket packet;
        if (which == kWildcards) {
            packet.SetStartString("?T<");
            packet.SetEndString("<??\r\n");
        } else {
            packet.SetStartString(">");
            packet.SetEndString("\n");
        }
        packet.SetEndCond({ecString});
        packet.SetTimeOut(0);
        packet.SetOnPacket([&](TComponent*, const uint8_t*, int32_t size) {
            ++packets;
            packetBytes += size;
        });
        packet.SetComPort(&port);
        packet.SetEnabled(true);
        port.SetOpen(true);
        port.Stream()->Stream = &stream;

        for (auto _ : state) {
            if (!port.Stream()->Arrival(arrival)) {
                state.SkipWithError("the manager did not take the bytes");
                break;
            }
        }
        state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(arrival));
        state.counters["packets/s"] =
            benchmark::Counter(static_cast<double>(packets), benchmark::Counter::kIsRate);
        state.counters["mean_packet"] =
            packets ? static_cast<double>(packetBytes) / static_cast<double>(packets) : 0;
        port.SetOpen(false);
    }
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
}

/// What the arrivals cost without a detector: a handler that takes every byte and looks at none.
class TTaker
{
public:
    explicit TTaker(TApdBaseDispatcher* dispatcher) : FDispatcher(dispatcher), FBlock(8192) {}
    void On(UINT message, WPARAM wParam, LPARAM)
    {
        if (message == TApdBaseDispatcher::MsgTriggerAvail)
            FDispatcher->TakeBlock(FBlock.data(), static_cast<int32_t>(wParam));
    }

private:
    TApdBaseDispatcher* FDispatcher;
    std::vector<uint8_t> FBlock;
};

void BM_Transport(benchmark::State& state)
{
    const auto arrival = static_cast<size_t>(state.range(0));
    const std::string stream = PollingStream();
    TStreamPort port;
    port.SetOpen(true);
    TStreamDispatcher* dispatcher = port.Stream();
    dispatcher->Stream = &stream;
    TTaker taker(dispatcher);
    TApdNotifyMethod method{[](void* self, UINT message, WPARAM wParam, LPARAM lParam) {
                                static_cast<TTaker*>(self)->On(message, wParam, lParam);
                            },
                            &taker};
    dispatcher->AddMethodHandler(method);
    for (auto _ : state) {
        if (!dispatcher->Arrival(arrival)) {
            state.SkipWithError("the handler did not take the bytes");
            break;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(arrival));
    dispatcher->RemoveMethodHandler(method);
    port.SetOpen(false);
}

} // namespace

BENCHMARK(BM_PacketScan)
    ->ArgNames({"case", "arrival"})
    ->ArgsProduct({{kPolling, kWildcards, kNoise}, {512, 8192}})
    ->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_Transport)->ArgName("arrival")->Arg(512)->Arg(8192)->Unit(benchmark::kMicrosecond);

BENCHMARK_MAIN();
