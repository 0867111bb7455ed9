// The trace and dispatch-log rings under arbitrary entries, capacities and orders of calls, and
// the file texts written from them. Each ring has a model here (what it must still hold after the
// oldest entries gave way) and each file is compared, character for character, with the text the
// model's entries must give: headers, items, line breaks and the continuation under OtherData.
#include "fuzz/FuzzInput.h"
#include "fuzz/Harnesses.h"

#include "serial/log/DispatchLog.h"
#include "serial/log/MessageTable.h"
#include "serial/log/Trace.h"

#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include <unistd.h>

namespace
{

// A folder of this process for the files; removed at exit. Kept in storage that outlives the
// exit handlers.
const std::string& Folder()
{
    static const std::string* folder = [] {
        // In memory where the system has such a folder: the files are written for every input.
        char inMemory[] = "/dev/shm/lintaker-fuzz-XXXXXX";
        char onDisk[] = "/tmp/lintaker-fuzz-XXXXXX";
        const char* folder_ = ::mkdtemp(inMemory) ? inMemory : ::mkdtemp(onDisk);
        auto* made = new std::string(folder_ ? folder_ : "/tmp");
        std::atexit([] {
            std::remove((Folder() + "/trace.txt").c_str());
            std::remove((Folder() + "/log.txt").c_str());
            ::rmdir(Folder().c_str());
        });
        return made;
    }();
    return *folder;
}

std::string ReadFile(const std::string& name)
{
    std::ifstream in(name, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void WriteFile(const std::string& name, const std::string& text)
{
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out << text;
}

bool Exists(const std::string& name) { return ::access(name.c_str(), F_OK) == 0; }

// One data byte as the files show it.
std::string Item(uint8_t byte, bool inHex, bool allHex)
{
    static constexpr char kHex[] = "0123456789ABCDEF";
    if (!allHex && byte >= (inHex ? '!' : ' ') && byte <= '~')
        return std::string(1, static_cast<char>(byte));
    if (allHex || inHex)
        return std::string{'[', kHex[byte >> 4], kHex[byte & 15], ']'};
    return "[" + std::to_string(byte) + "]";
}

// ---- the trace ----------------------------------------------------------------------------------

struct TTraceModel {
    bool HasBuffer = false;
    int32_t Capacity = 0;
    std::deque<std::pair<char, uint8_t>> Entries;

    void Record(char direction, uint8_t byte)
    {
        if (!HasBuffer || Capacity == 0)
            return;
        if (static_cast<int32_t>(Entries.size()) == Capacity)
            Entries.pop_front();
        Entries.emplace_back(direction, byte);
    }

    std::string Text(bool inHex, bool allHex) const
    {
        std::string text;
        int last = -1;
        int column = 0;
        for (const auto& [direction, byte] : Entries) {
            if (static_cast<uint8_t>(direction) != last) {
                if (last != -1)
                    text += "\r\n\r\n";
                text += direction == 'R'   ? std::string("Receive: ")
                        : direction == 'T' ? std::string("Transmit: ")
                                           : std::string("Special-") + direction + ": ";
                text += "\r\n";
                column = 0;
                last = static_cast<uint8_t>(direction);
            }
            const std::string item = Item(byte, inHex, allHex);
            column += static_cast<int>(item.size());
            if (column > 78) {
                text += "\r\n";
                column = static_cast<int>(item.size());
            }
            text += item;
        }
        return text;
    }
};

void Trace(TFuzzInput& in)
{
    TTraceBuffer trace;
    TTraceModel model;
    const std::string file = Folder() + "/trace.txt";
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 9)) {
        case 0: {
            int32_t capacity = in.ConsumeBool() ? in.ConsumeIntegralInRange<int32_t>(-2, 300)
                                                : in.ConsumeIntegral<int32_t>();
            if (capacity > 100000 && capacity <= kMaxTraceCapacity)
                capacity %= 100000; // the memory of a whole trace per input would slow the run
            const int32_t result = trace.Start(capacity);
            // A trace that has its buffer is only emptied, whatever the capacity asked.
            if (!model.HasBuffer && (capacity < 0 || capacity > kMaxTraceCapacity)) {
                FUZZ_CHECK(result == -1002, std::to_string(result));
            } else {
                FUZZ_CHECK(result == 0, std::to_string(result));
                if (!model.HasBuffer)
                    model.Capacity = capacity;
                model.HasBuffer = true;
                model.Entries.clear();
                FUZZ_CHECK(trace.Active());
            }
            break;
        }
        case 1:
        case 2:
        case 3:
        case 4: {
            const uint8_t pick = in.ConsumeIntegral<uint8_t>();
            const char direction = pick < 120 ? 'T' : pick < 240 ? 'R' : static_cast<char>(pick);
            const std::string bytes = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(1, 200));
            if (in.ConsumeBool()) {
                for (char c : bytes) {
                    trace.Record(direction, static_cast<uint8_t>(c));
                    model.Record(direction, static_cast<uint8_t>(c));
                }
            } else {
                trace.Record(direction, reinterpret_cast<const uint8_t*>(bytes.data()),
                             static_cast<int32_t>(bytes.size()));
                for (char c : bytes)
                    model.Record(direction, static_cast<uint8_t>(c));
            }
            break;
        }
        case 5:
            trace.Reset();
            model.Entries.clear();
            break;
        case 6:
            trace.Suspend();
            FUZZ_CHECK(!trace.Active());
            break;
        case 7:
            trace.Resume();
            FUZZ_CHECK(trace.Active() == model.HasBuffer);
            break;
        case 8:
            trace.Discard();
            model = TTraceModel();
            break;
        default: {
            const bool append = in.ConsumeBool();
            const bool inHex = in.ConsumeBool();
            const bool allHex = in.ConsumeBool();
            const std::string before = in.ConsumeBool() ? "earlier text" : "";
            if (before.empty())
                std::remove(file.c_str());
            else
                WriteFile(file, before);
            const int32_t result = trace.WriteTraceFile(file, append, inHex, allHex);
            FUZZ_CHECK(result == 0, std::to_string(result));
            const std::string expected = model.Text(inHex, allHex);
            if (expected.empty()) {
                // An empty trace touches no file.
                FUZZ_CHECK(before.empty() ? !Exists(file) : ReadFile(file) == before);
            } else {
                const std::string written = ReadFile(file);
                const std::string wanted = (append ? before : std::string()) + expected;
                FUZZ_CHECK(written == wanted, "trace file\n" + written + "\nwanted\n" + wanted);
            }
            FUZZ_CHECK(!trace.HasBuffer() && !trace.Active(), "written traces are discarded");
            model = TTraceModel();
            break;
        }
        }
        FUZZ_CHECK(trace.HasBuffer() == model.HasBuffer);
        FUZZ_CHECK(trace.Capacity() == (model.HasBuffer ? model.Capacity : 0));
        FUZZ_CHECK(trace.Count() == static_cast<int32_t>(model.Entries.size()),
                   std::to_string(trace.Count()) + " " + std::to_string(model.Entries.size()));
    }
}

// ---- the dispatch log ---------------------------------------------------------------------------

uint32_t gNow = 0;
uint32_t FakeClock() { return gNow; }

struct TLogEntry {
    uint8_t Type;
    uint8_t SubType;
    uint32_t Time;
    uint32_t Data;
    std::string Bytes;
};

struct TLogModel {
    bool HasRing = false;
    bool Active = false;
    uint32_t Size = 0;
    uint32_t Scratch = 0;
    uint32_t StartTime = 0;
    std::deque<TLogEntry> Entries;

    /// No ring any more; the start time stays, as the log's own does.
    void Forget()
    {
        HasRing = Active = false;
        Size = Scratch = 0;
        Entries.clear();
    }

    uint64_t Used() const
    {
        uint64_t used = 0;
        for (const TLogEntry& entry : Entries)
            used += 16 + entry.Bytes.size();
        return used;
    }

    void Record(uint8_t type, uint8_t subtype, uint32_t data, const std::string* bytes)
    {
        if (!Active)
            return;
        std::string kept = bytes ? bytes->substr(0, Scratch) : std::string();
        if (16 + kept.size() >= Size)
            return;
        while (Size - Used() < 16 + kept.size())
            Entries.pop_front();
        Entries.push_back({type, subtype, gNow - StartTime, data, std::move(kept)});
    }

    std::string Lines(bool inHex, bool allHex) const
    {
        static const char* const kStatusKinds[] = {"(Not active)",         "(Modem status)",
                                                   "(Line status)",        "(Output buffer free)",
                                                   "(Output buffer used)", "(Output sent)"};
        std::string text;
        for (const TLogEntry& entry : Entries) {
            std::string time = std::to_string(entry.Time);
            if (time.size() < 7)
                time.insert(0, 7 - time.size(), '0');
            time.insert(time.size() - 3, 1, '.');
            const std::string type = entry.Type <= dtScript ? MessageForCode(15001 + entry.Type) : "";
            const std::string subtype = entry.SubType != 0 ? MessageForCode(15100 + entry.SubType) : "";
            char prefix[512];
            std::snprintf(prefix, sizeof prefix, "%8s  %-8s  %-12s  %08X  ", time.c_str(), type.c_str(),
                          subtype.c_str(), static_cast<unsigned>(entry.Data));
            text += prefix;
            if (!entry.Bytes.empty()) {
                const auto first = static_cast<uint8_t>(entry.Bytes[0]);
                if (entry.SubType == dstStatus &&
                    (entry.Type == dtTriggerAlloc || entry.Type == dtTriggerDispose)) {
                    if (first < 6)
                        text += kStatusKinds[first];
                } else {
                    int column = 45;
                    for (char c : entry.Bytes) {
                        const std::string item = allHex && entry.Type == dtUser
                                                     ? std::string(1, c)
                                                     : Item(static_cast<uint8_t>(c), inHex, allHex);
                        column += static_cast<int>(item.size());
                        if (column > 78) {
                            text += "\r\n" + std::string(44, ' ');
                            column = 45 + static_cast<int>(item.size());
                        }
                        text += item;
                    }
                }
                if (entry.SubType == dstModemStatus) {
                    std::string set;
                    for (int bit = 0; bit < 8; ++bit)
                        if (entry.Data & (1u << bit))
                            set += MessageForCode(15601 + bit);
                    while (!set.empty() && set.back() == ' ')
                        set.pop_back();
                    text += " (" + set + ")";
                }
            }
            text += "\r\n";
        }
        return text;
    }
};

void DispatchLog(TFuzzInput& in)
{
    TDispatchLog log;
    log.SetClock(&FakeClock);
    TLogModel model;
    gNow = in.ConsumeIntegralInRange<uint32_t>(0, 1u << 20);
    const std::string file = Folder() + "/log.txt";
    while (in.remaining_bytes() > 0) {
        switch (in.ConsumeIntegralInRange(0, 9)) {
        case 0: {
            const uint32_t size = in.ConsumeIntegralInRange<uint32_t>(0, 2000);
            const uint32_t scratch = in.ConsumeIntegralInRange<uint32_t>(0, 300);
            log.Start(size, scratch);
            // A running log is only emptied: its sizes and its active state stay.
            if (!model.HasRing) {
                model.Size = size;
                model.Scratch = scratch;
                model.Active = true;
            }
            model.HasRing = true;
            model.Entries.clear();
            break;
        }
        case 1: {
            model.StartTime = gNow - in.ConsumeIntegralInRange<uint32_t>(0, 100000);
            log.SetStartTime(model.StartTime);
            break;
        }
        case 2:
        case 3:
        case 4:
        case 5: {
            const auto type =
                static_cast<uint8_t>(in.ConsumeIntegralInRange(0, 3) == 0 ? in.ConsumeIntegral<uint8_t>()
                                                                          : in.ConsumeIntegralInRange(0, 20));
            const uint8_t pickSub = in.ConsumeIntegral<uint8_t>();
            const auto subtype = static_cast<uint8_t>(pickSub < 128 ? pickSub % 20 : pickSub);
            const uint32_t data =
                in.ConsumeBool() ? in.ConsumeIntegral<uint32_t>() : in.ConsumeIntegral<uint8_t>();
            const bool withBytes = in.ConsumeBool();
            const std::string bytes = in.ConsumeBytesAsString(in.ConsumeIntegralInRange<size_t>(0, 400));
            gNow += in.ConsumeIntegralInRange<uint32_t>(0, 5000);
            log.RecordDispatchEvent(type, subtype, data, withBytes ? bytes.data() : nullptr,
                                    static_cast<uint32_t>(bytes.size()));
            model.Record(type, subtype, data, withBytes ? &bytes : nullptr);
            break;
        }
        case 6:
            log.Reset();
            model.Entries.clear();
            break;
        case 7:
            if (in.ConsumeBool()) {
                log.Suspend();
                model.Active = false;
            } else {
                log.Resume();
                model.Active = model.HasRing;
            }
            break;
        case 8:
            log.Discard();
            model.Forget();
            break;
        default: {
            const bool append = in.ConsumeBool();
            const bool inHex = in.ConsumeBool();
            const bool allHex = in.ConsumeBool();
            const std::string before = in.ConsumeBool() ? "earlier\r\n" : "";
            if (before.empty())
                std::remove(file.c_str());
            else
                WriteFile(file, before);
            const int32_t result = log.WriteLogFile(file, append, inHex, allHex, "COM7");
            FUZZ_CHECK(result == 0, std::to_string(result));
            if (model.Entries.empty()) {
                FUZZ_CHECK(before.empty() ? !Exists(file) : ReadFile(file) == before);
            } else {
                std::string written = ReadFile(file);
                if (append) {
                    FUZZ_CHECK(written.compare(0, before.size(), before) == 0);
                    written.erase(0, before.size());
                }
                // Seven header lines; the two of the columns are fixed texts.
                size_t at = 0;
                std::vector<std::string> header;
                for (int i = 0; i < 7; ++i) {
                    const size_t end = written.find("\r\n", at);
                    FUZZ_CHECK(end != std::string::npos, written);
                    header.push_back(written.substr(at, end - at));
                    at = end + 2;
                }
                FUZZ_CHECK(header[0] == "VELT v4.06" && header[3] == "Device: COM7", header[0]);
                FUZZ_CHECK(header[5] == "Time      Type      SubType       Data      OtherData", header[5]);
                FUZZ_CHECK(header[6] == "--------  --------  ------------  --------  ---------", header[6]);
                const std::string lines = written.substr(at);
                const std::string wanted = model.Lines(inHex, allHex);
                FUZZ_CHECK(lines == wanted, "log file\n" + lines + "\nwanted\n" + wanted);
            }
            FUZZ_CHECK(!log.HasRing() && !log.Active(), "written logs are discarded");
            model.Forget();
            break;
        }
        }
        FUZZ_CHECK(log.HasRing() == model.HasRing);
        FUZZ_CHECK(log.Active() == model.Active);
        if (model.HasRing)
            FUZZ_CHECK(log.Used() == model.Used(),
                       std::to_string(log.Used()) + " " + std::to_string(model.Used()));
    }
}

} // namespace

int fuzz::LogWriters(const uint8_t* data, size_t size)
{
    TFuzzInput in(data, size);
    if (in.ConsumeBool())
        Trace(in);
    else
        DispatchLog(in);
    return 0;
}
