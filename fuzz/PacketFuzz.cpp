// Packet detectors and their manager under arbitrary arrivals and settings: one port on the
// in-memory dispatcher of the tests, one to three detectors with settings taken from the input,
// the rest of the input cut into arrivals of random lengths, mixed with enables and disables, end
// string changes, plain setting stores, closes and reopens, time-outs, detaches and attaches, and
// the same changes made from inside the packet and time-out handlers. After every step the
// manager's bounds and the collection rule are checked, and every delivered packet is checked
// against the bytes fed since the port's open and against its detector's start and end strings.
//
// Every check holds for every input: nothing is steered round. Floods of bytes happen only where
// the input asks for one, and the port runs on the in-memory dispatcher without threads, so that
// a run gets through thousands of inputs a second.
//
// Environment: FUZZ_TRACE=1 prints every step (for reading a saved input).
#include "serial/packet/AdPacket.h"

#include "fuzz/FuzzInput.h"
#include "fuzz/Harnesses.h"

#include "runtime/Application.h"
#include "serial/port/ApdExceptions.h"
#include "tests/serial/port/RecordingDispatcher.h"

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <vector>

namespace
{

void Trace(const char* format, ...) __attribute__((format(printf, 1, 2)));
void Trace(const char* format, ...)
{
    if (!fuzz::Tracing())
        return;
    va_list args;
    va_start(args, format);
    std::vfprintf(stderr, format, args);
    va_end(args);
    std::fputc('\n', stderr);
}

std::string Printable(const std::string& bytes)
{
    std::string out;
    for (unsigned char c : bytes) {
        if (c >= 32 && c < 127 && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

// Bytes that start and end strings are made of, and that arrivals are mostly made of, so that
// patterns match often: the polling and monitoring frame bytes, letters in both cases, and the
// pattern's own wildcard and escape characters.
constexpr std::array<char, 16> kAlphabet = {'>', '<',  '?',  '\\',   'a', 'A', 'b', 'B',
                                            'T', '\r', '\n', '\x03', '0', '1', 'x', '\xff'};

// The bytes with which an input asks for a flood, and for one past the longest packet.
constexpr uint8_t kFloodMarker = 0xF1;
constexpr uint8_t kLongFloodMarker = 0x5A;
// The byte with which an input asks for a close or an open of the port.
constexpr uint8_t kReopenMarker = 0xC5;

uint8_t Upper(uint8_t c) { return c >= 'a' && c <= 'z' ? static_cast<uint8_t>(c - 32) : c; }

// The harness's own reading of a start or end string: "?" is any byte, "\" makes the next one
// literal and a trailing one is dropped, letters are upper case with IgnoreCase.
struct TModelPattern {
    std::string Match;
    std::vector<bool> Any;

    TModelPattern(const std::string& text, bool ignoreCase)
    {
        for (size_t i = 0; i < text.size(); ++i) {
            auto c = static_cast<uint8_t>(text[i]);
            bool any = false;
            if (c == '\\') {
                if (++i == text.size())
                    break;
                c = static_cast<uint8_t>(text[i]);
            } else if (c == '?') {
                any = true;
            }
            Match += static_cast<char>(ignoreCase ? Upper(c) : c);
            Any.push_back(any);
        }
    }
    size_t Length() const { return Match.size(); }
    bool Fits(const std::string& bytes, size_t at, bool ignoreCase) const
    {
        if (at + Length() > bytes.size())
            return false;
        for (size_t i = 0; i < Length(); ++i) {
            auto c = static_cast<uint8_t>(bytes[at + i]);
            if (!Any[i] && static_cast<uint8_t>(Match[i]) != (ignoreCase ? Upper(c) : c))
                return false;
        }
        return true;
    }
};

const char* ModeName(TPacketMode mode)
{
    return mode == TPacketMode::Idle ? "Idle" : mode == TPacketMode::Waiting ? "Waiting" : "Collecting";
}

std::string EndSetName(TPacketEndSet set)
{
    std::string name = "{";
    if (set.Contains(ecString))
        name += "ecString";
    if (set.Contains(ecPacketSize))
        name += set.Contains(ecString) ? ",ecPacketSize" : "ecPacketSize";
    return name + "}";
}

// Whether matching can start with these settings without raising.
bool StartsCleanly(const TApdDataPacket& p)
{
    const TPacketEndSet cond = p.EndCond();
    // A string of a lone escape compiles to nothing and counts as empty.
    if (p.StartCond() == scString) {
        if (TPacketPattern::Compile(p.StartString(), p.IgnoreCase()).Length() == 0)
            return false;
        if (cond.Contains(ecPacketSize) && static_cast<int64_t>(p.StartString().size()) > p.PacketSize())
            return false;
    } else if (cond.Empty()) {
        return false;
    }
    if (cond.Contains(ecString) && TPacketPattern::Compile(p.EndString(), p.IgnoreCase()).Length() == 0)
        return false;
    if (cond.Contains(ecPacketSize) &&
        (p.PacketSize() == 0 || p.PacketSize() > TApdDataPacket::kMaxPacketLength))
        return false;
    return p.TimeOut() >= 0;
}

struct TFuzzPort;

struct TDetector {
    TFuzzPort* Owner = nullptr;
    int Index = 0;
    std::unique_ptr<TApdDataPacket> Packet;
    // A plain store changed a setting while matching ran: until the harness starts matching
    // again, the patterns in force are not known here.
    bool Unsure = false;
    // Attached while enabled: it starts at the next open or the next change of Enabled.
    bool Dormant = false;
    // The next packet or time-out handler of this detector runs one operation itself.
    bool Act = false;
    int32_t RawSize = -1;
    std::string Raw;
};

// The port of every input, opened once: an open waits for the line to drain (a couple of
// milliseconds even at the highest rate), far longer than the rest of an input takes. It is
// emptied and opened again, when an input closed it, before each input.
TTestPort& SharedPort()
{
    static TTestPort* port = [] {
        auto* made = new TTestPort;
        // A rate at which the wait for the line to drain comes to nothing once it is open.
        made->SetBaud(20000000);
        return made;
    }();
    return *port;
}

struct TFuzzPort {
    TFuzzInput& In;
    TTestPort& Port = SharedPort();
    TFakeClock Clock{1000};
    std::vector<std::unique_ptr<TDetector>> Detectors;
    // Bytes fed since the port's last open. Its storage outlives the input: a flood past the
    // longest packet would otherwise pay for a fresh megabyte's pages every time.
    std::string& Fed = SharedFed();
    size_t FedUsed = 0;   // no later packet lies before this offset of Fed
    bool FedKnown = true; // Fed is the port's stream (not so after a close inside a handler)
    int EventDepth = 0;   // inside a packet or time-out handler
    bool ClosedInHandler = false;
    bool TearingDown = false;
    static constexpr long kInputDeliveries = 512;
    // Short floods share a budget that still crosses a few steps of the manager's buffer; one
    // flood past the longest packet is enough for any input.
    size_t FloodBudget = 24u << 10;
    bool LongFlooded = false;
    long Delivered = 0;    // packets delivered so far
    bool RawBytes = false; // arrivals are raw bytes, not drawn from the alphabet

    static std::string& SharedFed()
    {
        static std::string storage;
        return storage;
    }

    explicit TFuzzPort(TFuzzInput& in) : In(in)
    {
        Fed.clear();
        if (!Port.Open())
            Port.SetOpen(true);
        FUZZ_CHECK(Port.Open());
        Port.Fake()->DiscardInput();
        // The port lives through every input: what its dispatcher wrote down would grow without end.
        Port.Fake()->ReadRequests.clear();
        Port.Fake()->ReadResults.clear();
        Port.Fake()->Record.Calls.clear();
    }

    std::string Pattern(size_t most)
    {
        std::string text;
        size_t length = In.ConsumeIntegralInRange<size_t>(0, most);
        for (size_t i = 0; i < length; ++i) {
            uint8_t pick = In.ConsumeIntegral<uint8_t>();
            text += pick < 224 ? kAlphabet[pick % kAlphabet.size()] : static_cast<char>(pick);
        }
        return text;
    }

    // Mostly none or a few ticks; now and then one that cannot start or that lies past the reach
    // of the dispatcher's timers.
    int32_t TimeOut()
    {
        switch (In.ConsumeIntegralInRange(0, 15)) {
        case 0:
            return -In.ConsumeIntegralInRange<int32_t>(1, 3);
        case 1:
            return In.ConsumeBool() ? INT32_MAX : TApdBaseDispatcher::kMaxTimerTicks + 1;
        default:
            return In.ConsumeBool() ? 0 : In.ConsumeIntegralInRange<int32_t>(1, 6);
        }
    }

    TDetector& Pick() { return *Detectors[In.ConsumeIntegralInRange<size_t>(0, Detectors.size() - 1)]; }

    TApdDataPacketManager* Manager() { return TApdDataPacketManagerList::Instance().GetPortManager(&Port); }

    // ---- operations ----

    void Open()
    {
        if (Port.Open())
            return;
        Trace("open");
        Port.SetOpen(true);
        FUZZ_CHECK(Port.Open());
        Port.Fake()->DiscardInput();
        Fed.clear();
        FedUsed = 0;
        FedKnown = true;
        for (auto& d : Detectors) {
            // The open starts every enabled detector with the settings it has now.
            if (d->Packet->Enabled() && d->Packet->Manager() && StartsCleanly(*d->Packet)) {
                d->Unsure = false;
                d->Dormant = false;
            }
        }
    }

    void Close()
    {
        Trace("close");
        Port.SetOpen(false);
        if (EventDepth > 0) {
            FedKnown = false;
            ClosedInHandler = true;
        }
    }

    void Feed(const std::string& bytes)
    {
        if (!Port.Open() || !Port.Fake())
            return;
        if (FedKnown)
            Fed += bytes;
        // The ring takes what fits; what is left waits in the driver for the next fill.
        Port.Fake()->Arrive(bytes);
        DispatchPass([this] { return Port.Fake()->CheckReceivedData(); });
    }

    // One pass of the dispatch thread, which the fake has not got: while it runs, the threads
    // count as running, so that a close from inside a handler waits for the pass to end as it
    // does on a real port; the user-interface thread then finishes that close.
    template <typename TPass> bool DispatchPass(TPass pass)
    {
        Port.Fake()->SetThreadsRunning(true);
        bool result = pass();
        if (TRecordingDispatcher* fake = Port.Fake())
            fake->SetThreadsRunning(false);
        for (int i = 0; i < 8 && ClosedInHandler; ++i) {
            PumpMessages();
            ClosedInHandler = Port.Open();
        }
        FUZZ_CHECK(!ClosedInHandler, "a close from a handler did not finish");
        return result;
    }

    void Arrival()
    {
        size_t length = In.ConsumeIntegralInRange<size_t>(1, In.ConsumeBool() ? 24 : 600);
        std::string bytes = In.ConsumeBytesAsString(length);
        if (!RawBytes) {
            for (char& c : bytes)
                c = kAlphabet[static_cast<uint8_t>(c) % kAlphabet.size()];
        }
        Trace("arrive \"%s\"", Printable(bytes).c_str());
        Feed(bytes);
    }

    // A long stretch of one repeated piece: packets and partial starts that grow past every step
    // of the buffer and, when the input asks for it with a second marker, past the longest packet.
    // The markers keep floods out of the inputs that do not ask: a flood costs what thousands of
    // other inputs do.
    void Flood()
    {
        if (In.ConsumeIntegral<uint8_t>() != kFloodMarker)
            return;
        std::string piece = Pattern(4);
        if (piece.empty())
            piece = "x";
        const bool pastBound = In.ConsumeIntegral<uint8_t>() == kLongFloodMarker && !LongFlooded;
        size_t total;
        if (pastBound) {
            LongFlooded = true;
            total = static_cast<size_t>(TApdDataPacket::kMaxPacketLength) +
                    In.ConsumeIntegralInRange<size_t>(1, 64) * 1024;
        } else {
            total = std::min(In.ConsumeIntegralInRange<size_t>(1, 16) * 1024, FloodBudget);
            FloodBudget -= total;
        }
        Trace("flood %zu bytes of \"%s\"", total, Printable(piece).c_str());
        std::string chunk;
        while (chunk.size() < 4096)
            chunk += piece;
        chunk.resize(4096);
        // A flood that cuts a packet out of every few bytes has made its point long before its
        // end, and a million deliveries take minutes under the sanitizers.
        const long deliveredBefore = Delivered;
        int chunks = 0;
        for (size_t done = 0; done < total && Port.Open() && Delivered - deliveredBefore < 64;
             done += chunk.size()) {
            Feed(chunk);
            Check();
            // Once every phase of the piece has begun a chunk, a flood that nobody collects and
            // that leaves nothing held only repeats itself: the rest would cost time and find
            // nothing new.
            TApdDataPacketManager* manager = Manager();
            if (++chunks >= 4 && manager && !manager->CollectingPacket() && manager->BufferCount() == 0)
                break;
        }
    }

    // A setting the harness made raised: the detector stays as the refusal left it.
    void Refused(TDetector& d, const EInvalidProperty& error)
    {
        Trace("  P%d refused: %d %s (mode %s)", d.Index, error.ResultCode(), error.what(),
              ModeName(d.Packet->PacketMode()));
    }

    void Enable(TDetector& d, bool on)
    {
        bool was = d.Packet->Enabled();
        Trace("P%d.Enabled := %d", d.Index, on);
        try {
            d.Packet->SetEnabled(on);
        } catch (const EInvalidProperty& error) {
            Refused(d, error);
            return;
        }
        if (on && !was && EventDepth == 0) {
            d.Unsure = false;
            d.Dormant = false;
        }
    }

    // Setters that start matching afresh when enabled.
    void Restarting(TDetector& d)
    {
        try {
            if (In.ConsumeBool()) {
                std::string end = Pattern(4);
                Trace("P%d.EndString := \"%s\"", d.Index, Printable(end).c_str());
                d.Packet->SetEndString(end);
            } else {
                uint8_t pick = In.ConsumeIntegralInRange<uint8_t>(0, 3);
                TPacketEndSet set = pick == 0   ? TPacketEndSet{}
                                    : pick == 1 ? TPacketEndSet{ecString}
                                    : pick == 2 ? TPacketEndSet{ecPacketSize}
                                                : TPacketEndSet{ecString, ecPacketSize};
                Trace("P%d.EndCond := %s", d.Index, EndSetName(set).c_str());
                d.Packet->SetEndCond(set);
            }
        } catch (const EInvalidProperty& error) {
            Refused(d, error);
            return;
        }
        if (d.Packet->Enabled() && EventDepth == 0) {
            d.Unsure = false;
            d.Dormant = false;
        }
    }

    // Setters that only store: they take effect at the next start of matching.
    void Store(TDetector& d)
    {
        TApdDataPacket& p = *d.Packet;
        switch (In.ConsumeIntegralInRange(0, 6)) {
        case 0: {
            std::string start = Pattern(4);
            Trace("P%d.StartString := \"%s\"", d.Index, Printable(start).c_str());
            p.SetStartString(start);
            break;
        }
        case 1: {
            bool any = In.ConsumeBool();
            Trace("P%d.StartCond := %s", d.Index, any ? "scAnyData" : "scString");
            p.SetStartCond(any ? scAnyData : scString);
            break;
        }
        case 2: {
            auto size = In.ConsumeIntegralInRange<int32_t>(-2, 24);
            Trace("P%d.PacketSize := %d", d.Index, size);
            p.SetPacketSize(size);
            break;
        }
        case 3: {
            bool on = In.ConsumeBool();
            Trace("P%d.IgnoreCase := %d", d.Index, on);
            p.SetIgnoreCase(on);
            break;
        }
        case 4: {
            bool on = In.ConsumeBool();
            Trace("P%d.IncludeStrings := %d", d.Index, on);
            p.SetIncludeStrings(on);
            break;
        }
        case 5: {
            bool on = In.ConsumeBool();
            Trace("P%d.AutoEnable := %d", d.Index, on);
            p.SetAutoEnable(on);
            break;
        }
        default: {
            int32_t ticks = TimeOut();
            Trace("P%d.TimeOut := %d", d.Index, ticks);
            p.SetTimeOut(ticks);
            break;
        }
        }
        if (p.Enabled() || EventDepth > 0)
            d.Unsure = true;
    }

    void Attach(TDetector& d, bool on)
    {
        Trace("P%d.ComPort := %s", d.Index, on ? "port" : "none");
        d.Packet->SetComPort(on ? &Port : nullptr);
        d.Dormant = on && d.Packet->Enabled();
    }

    void Time()
    {
        auto ms = In.ConsumeIntegralInRange<uint32_t>(0, 400);
        Trace("clock +%u ms", ms);
        Clock.Advance(ms);
        for (int i = 0;
             i < 4 && Port.Fake() && DispatchPass([this] { return Port.Fake()->CheckTimerTriggers(); }); ++i)
            Check();
    }

    void PumpMessages()
    {
        MSG message;
        while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
            DispatchMessageA(&message);
    }

    /// One step. Inside a handler only what an application could do there: no arrivals, no
    /// clock, no opening.
    void Step(bool inHandler)
    {
        uint8_t op = In.ConsumeIntegral<uint8_t>();
        if (inHandler)
            op = static_cast<uint8_t>(150 + op % 60);
        if (op < 150) {
            Arrival();
        } else if (op < 165) {
            TDetector& d = Pick();
            Enable(d, !d.Packet->Enabled());
        } else if (op < 175) {
            Restarting(Pick());
        } else if (op < 192) {
            Store(Pick());
        } else if (op < 195) {
            // Asked for with a marker, as floods are: an open costs what hundreds of inputs do.
            if (In.ConsumeIntegral<uint8_t>() != kReopenMarker)
                return;
            if (Port.Open())
                Close();
            else if (!inHandler)
                Open();
        } else if (op < 210) {
            if (inHandler) {
                TDetector& d = Pick();
                Attach(d, !d.Packet->ComPort());
            } else {
                Time();
            }
        } else if (op < 220) {
            TDetector& d = Pick();
            Attach(d, !d.Packet->ComPort());
        } else if (op < 225) {
            Trace("pump");
            PumpMessages();
        } else if (op < 228) {
            Flood();
        } else {
            TDetector& d = Pick();
            Trace("P%d acts in its next handler", d.Index);
            d.Act = true;
        }
    }

    void Act(TDetector& d)
    {
        if (!d.Act || TearingDown)
            return;
        d.Act = false;
        ++EventDepth;
        Trace("  P%d handler:", d.Index);
        Step(true);
        --EventDepth;
    }

    // ---- checks ----

    void Check()
    {
        TApdDataPacketManager* manager = Manager();
        for (auto& d : Detectors) {
            TApdDataPacket& p = *d->Packet;
            // Named only for a failure: a check runs after every piece of every flood.
            const auto name = [&] { return "P" + std::to_string(d->Index) + " " + ModeName(p.PacketMode()); };
            if (!p.Manager())
                FUZZ_CHECK(p.PacketMode() == TPacketMode::Idle, name() + " detached");
            else
                FUZZ_CHECK(p.Manager() == manager, "one manager per port");
            if (!Port.Open())
                FUZZ_CHECK(p.PacketMode() == TPacketMode::Idle, name() + " on a closed port");
            FUZZ_CHECK(p.Enabled() || p.PacketMode() == TPacketMode::Idle, name() + " disabled");
            // An enabled detector whose settings start without error is matching.
            if (p.Enabled() && p.Manager() && p.Manager()->Active() && p.StartCond() == scString &&
                !d->Unsure && !d->Dormant && StartsCleanly(p))
                FUZZ_CHECK(p.PacketMode() != TPacketMode::Idle, name() + " enabled");
        }
        if (!manager)
            return;
        FUZZ_CHECK(!manager->InEvent());
        FUZZ_CHECK(manager->BufferCount() >= 0);
        FUZZ_CHECK(manager->BufferCount() <= manager->BufferCapacity());
        FUZZ_CHECK(manager->BufferCapacity() <= TApdDataPacket::kMaxPacketLength +
                                                    2 * TApdDataPacketManager::kBufferStep +
                                                    TApdBaseDispatcher::kInputRingSize,
                   std::to_string(manager->BufferCapacity()));
        if (!Port.Open())
            FUZZ_CHECK(!manager->Active() && manager->BufferCount() == 0);
        int collecting = 0;
        for (TApdDataPacket* p : manager->Packets()) {
            if (p->PacketMode() == TPacketMode::Collecting) {
                ++collecting;
                FUZZ_CHECK(manager->CollectingPacket() == p);
            }
        }
        FUZZ_CHECK(collecting <= 1);
        if (TApdDataPacket* p = manager->CollectingPacket()) {
            FUZZ_CHECK(p->PacketMode() == TPacketMode::Collecting);
            FUZZ_CHECK(p->HoldsCollection());
            FUZZ_CHECK(std::find(manager->Packets().begin(), manager->Packets().end(), p) !=
                       manager->Packets().end());
        }
    }

    void OnRaw(TDetector& d, const uint8_t* data, int32_t size)
    {
        FUZZ_CHECK(size >= 0 && size <= TApdDataPacket::kMaxPacketLength, std::to_string(size));
        TApdDataPacketManager* manager = d.Packet->Manager();
        FUZZ_CHECK(manager != nullptr);
        // The raw form points into the manager's buffer.
        FUZZ_CHECK(size == 0 ||
                   (data >= manager->Buffer() && data + size <= manager->Buffer() + manager->BufferCount()));
        d.RawSize = size;
        d.Raw.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
    }

    void OnString(TDetector& d, const std::string& data)
    {
        ++Delivered;
        TApdDataPacket& p = *d.Packet;
        Trace("  P%d packet \"%s\"", d.Index, Printable(data.substr(0, 300)).c_str());
        FUZZ_CHECK(data.size() <= static_cast<size_t>(TApdDataPacket::kMaxPacketLength));
        if (p.OnPacket()) {
            FUZZ_CHECK(d.RawSize == static_cast<int32_t>(data.size()) && d.Raw == data,
                       "raw and string forms");
            d.RawSize = -1;
        }
        FUZZ_CHECK(!p.Enabled(), "a delivering detector is disabled during its events");
        if (FedKnown && data.size() <= 65536) {
            // One piece of the stream, after every packet delivered before it.
            size_t at = Fed.find(data, FedUsed);
            FUZZ_CHECK(at != std::string::npos,
                       "packet not in the stream: " + Printable(data.substr(0, 200)));
            FedUsed = at + data.size();
        }
        if (!d.Unsure && p.IncludeStrings())
            CheckFrame(p, data);
        // A detector leaving a collection of up to a megabyte offers it to the others again, which
        // may cut a packet out of every few bytes: past a few hundred packets in one input, a
        // handler detaches its own detector (a case of its own), or one input would take seconds
        // under the sanitizers.
        if (Delivered > kInputDeliveries && p.Manager()) {
            Trace("  P%d detaches itself", d.Index);
            p.SetComPort(nullptr);
        }
        Act(d);
    }

    void CheckFrame(TApdDataPacket& p, const std::string& data)
    {
        TModelPattern start(p.StartString(), p.IgnoreCase());
        TModelPattern end(p.EndString(), p.IgnoreCase());
        const TPacketEndSet cond = p.EndCond();
        const size_t startLength = p.StartCond() == scString ? start.Length() : 0;
        if (p.StartCond() == scString)
            FUZZ_CHECK(start.Fits(data, 0, p.IgnoreCase()), "start: " + Printable(data.substr(0, 200)));
        if (cond.Empty()) {
            FUZZ_CHECK(data.size() == start.Length(), "start alone: " + Printable(data));
        } else if (cond == TPacketEndSet{ecPacketSize}) {
            FUZZ_CHECK(static_cast<int64_t>(data.size()) == std::max<int32_t>(p.PacketSize(), 1),
                       "size " + std::to_string(data.size()) + " limit " + std::to_string(p.PacketSize()) +
                           " start " + std::to_string(startLength));
        } else if (cond.Contains(ecString) &&
                   (!cond.Contains(ecPacketSize) || static_cast<int64_t>(data.size()) < p.PacketSize())) {
            // Ended by its end string, which follows the start string.
            FUZZ_CHECK(data.size() >= startLength + end.Length(), Printable(data));
            FUZZ_CHECK(end.Fits(data, data.size() - end.Length(), p.IgnoreCase()),
                       "end: " + Printable(data.substr(data.size() > 200 ? data.size() - 200 : 0)));
        }
    }

    void OnTimeout(TDetector& d)
    {
        Trace("  P%d timed out", d.Index);
        FUZZ_CHECK(!d.Packet->Enabled(), "a timed-out detector is disabled");
        Act(d);
    }

    void OnTooLong(TDetector& d, int32_t size)
    {
        Trace("  P%d packet too long: %d", d.Index, size);
        FUZZ_CHECK(size == TApdDataPacket::kMaxPacketLength, std::to_string(size));
        FUZZ_CHECK(!d.Packet->Enabled(), "a discarding detector is disabled during its event");
        // The thrown-away bytes are no packet: later ones may lie anywhere after them.
        Act(d);
    }

    // ---- the detectors ----

    void AddDetector()
    {
        auto owned = std::make_unique<TDetector>();
        TDetector& d = *owned;
        d.Owner = this;
        d.Index = static_cast<int>(Detectors.size());
        d.Packet = std::make_unique<TApdDataPacket>();
        Detectors.push_back(std::move(owned));
        TApdDataPacket& p = *d.Packet;
        p.SetName("P" + std::to_string(d.Index));
        p.SetStartCond(In.ConsumeIntegralInRange(0, 3) == 0 ? scAnyData : scString);
        p.SetStartString(Pattern(4));
        uint8_t end = In.ConsumeIntegralInRange<uint8_t>(0, 3);
        p.SetEndCond(end == 0   ? TPacketEndSet{}
                     : end == 1 ? TPacketEndSet{ecString}
                     : end == 2 ? TPacketEndSet{ecPacketSize}
                                : TPacketEndSet{ecString, ecPacketSize});
        p.SetEndString(Pattern(4));
        p.SetPacketSize(In.ConsumeBool() ? In.ConsumeIntegralInRange<int32_t>(-2, 40)
                                         : In.ConsumeIntegralInRange<int32_t>(0, 1 << 21));
        p.SetIgnoreCase(In.ConsumeBool());
        p.SetIncludeStrings(In.ConsumeBool());
        p.SetAutoEnable(In.ConsumeIntegralInRange(0, 3) != 0);
        p.SetTimeOut(TimeOut());
        Trace("P%d: %s \"%s\" EndCond %s \"%s\" PacketSize %d IgnoreCase %d IncludeStrings %d AutoEnable %d "
              "TimeOut %d",
              d.Index, p.StartCond() == scString ? "scString" : "scAnyData",
              Printable(p.StartString()).c_str(), EndSetName(p.EndCond()).c_str(),
              Printable(p.EndString()).c_str(), p.PacketSize(), p.IgnoreCase(), p.IncludeStrings(),
              p.AutoEnable(), p.TimeOut());
        TDetector* self = &d;
        if (In.ConsumeBool())
            p.SetOnPacket([self](TComponent*, const uint8_t* data, int32_t size) {
                self->Owner->OnRaw(*self, data, size);
            });
        p.SetOnStringPacket(
            [self](TComponent*, const std::string& data) { self->Owner->OnString(*self, data); });
        p.SetOnTimeout([self](TComponent*) { self->Owner->OnTimeout(*self); });
        if (In.ConsumeBool())
            p.SetOnPacketTooLong([self](TComponent*, int32_t size) { self->Owner->OnTooLong(*self, size); });
        Attach(d, true);
        Enable(d, true);
    }

    void Run()
    {
        RawBytes = In.ConsumeIntegralInRange(0, 7) == 0;
        // Now and then the detectors join a closed port and start at its open.
        if (In.ConsumeIntegral<uint8_t>() == kReopenMarker)
            Close();
        int count = In.ConsumeIntegralInRange(1, 3);
        for (int i = 0; i < count; ++i)
            AddDetector();
        Open();
        Check();
        while (In.remaining_bytes() > 0) {
            int shown = fuzz::ShownErrors();
            Step(false);
            if (fuzz::ShownErrors() != shown)
                Trace("  (%d error(s) shown)", fuzz::ShownErrors() - shown);
            Check();
        }
        // Detaching may still deliver to the others; their handlers no longer act.
        TearingDown = true;
        for (auto& d : Detectors)
            d->Packet->SetComPort(nullptr);
        for (auto& d : Detectors)
            d->Packet.reset();
        PumpMessages();
    }
};

} // namespace

int fuzz::Packet(const uint8_t* data, size_t size)
{
    TFuzzInput in(data, size);
    {
        TFuzzPort port(in);
        port.Run();
    }
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        DispatchMessageA(&message);
    FUZZ_CHECK(TApdDataPacketManagerList::Instance().Count() == 0, "managers left behind");
    return 0;
}
