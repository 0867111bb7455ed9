// The dispatch-log ring and its text file.
#include "serial/log/DispatchLog.h"

#include "serial/log/LogText_p.h"
#include "serial/log/MessageTable.h"

#include "platform/win32.h"
#include "runtime/Text.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

// The entry header as it sits in the ring, in the byte order of the machine.
struct TDispatchLog::THeader {
    uint8_t Type;
    uint8_t SubType;
    uint8_t Unused[2];
    uint32_t Time; // milliseconds since the start time, wrapping
    uint32_t Data;
    uint32_t Length; // attached bytes that follow
};

namespace
{

constexpr uint32_t kHeaderSize = 16;
constexpr int kPrefixWidth = 44;     // the OtherData column starts after this many characters
constexpr int kLastColumn = 78;      // the count of a line may reach this (it counts from 45): 77 characters
constexpr int kTypeNames = 15001;    // + type
constexpr int kSubTypeNames = 15100; // + subtype
constexpr int kColumnHeading = 15501;
constexpr int kColumnRule = 15502;
constexpr int kModemBitNames = 15601; // + bit
constexpr uint8_t kLastKnownType = dtScript;
constexpr size_t kFlushSize = 64 * 1024;

constexpr const char* kStatusKinds[] = {"(Not active)",         "(Modem status)",       "(Line status)",
                                        "(Output buffer free)", "(Output buffer used)", "(Output sent)"};

void AppendPadded(std::string& text, const std::string& field, size_t width, bool alignLeft)
{
    const size_t pad = field.size() < width ? width - field.size() : 0;
    if (!alignLeft)
        text.append(pad, ' ');
    text += field;
    if (alignLeft)
        text.append(pad, ' ');
}

// Type and subtype names, fetched from the message table once per file.
class TNames
{
public:
    const std::string& Type(uint8_t type)
    {
        // Beyond the last type the table's numbers belong to subtype names.
        if (type > kLastKnownType)
            return FEmpty;
        return Cached(FTypes[type], FHaveType[type], kTypeNames + type);
    }
    const std::string& SubType(uint8_t subtype)
    {
        if (subtype == dstNone)
            return FEmpty;
        return Cached(FSubTypes[subtype], FHaveSubType[subtype], kSubTypeNames + subtype);
    }

private:
    static const std::string& Cached(std::string& name, bool& have, int32_t code)
    {
        if (!have) {
            name = MessageForCode(code);
            have = true;
        }
        return name;
    }
    std::array<std::string, kLastKnownType + 1> FTypes;
    std::array<bool, kLastKnownType + 1> FHaveType{};
    std::array<std::string, 256> FSubTypes;
    std::array<bool, 256> FHaveSubType{};
    std::string FEmpty;
};

std::string OperatingSystem()
{
    OSVERSIONINFOA info{};
    info.dwOSVersionInfoSize = sizeof info;
    if (!GetVersionExA(&info))
        return "Unknown";
    return logtext::OperatingSystemText(info);
}

} // namespace

void TDispatchLog::Start(uint32_t size, uint32_t scratchSize)
{
    if (FRing) {
        Reset();
        return;
    }
    size = std::min(size, kMaxDispatchLogSize);
    // One allocation more than asked keeps a ring of size 0 apart from no ring at all.
    std::unique_ptr<uint8_t[]> ring(new (std::nothrow) uint8_t[size + 1]());
    std::unique_ptr<uint8_t[]> scratch(new (std::nothrow) uint8_t[scratchSize + 1]());
    if (!ring || !scratch)
        return;
    FRing = std::move(ring);
    FScratch = std::move(scratch);
    FSize = size;
    FScratchSize = scratchSize;
    FHead = 0;
    FTail = 0;
    FFree = size;
    FActive = true;
}

void TDispatchLog::RecordDispatchEvent(uint8_t type, uint8_t subtype, uint32_t data, const void* bytes,
                                       uint32_t length)
{
    if (!FActive)
        return;
    // Attached bytes are read back through the scratch buffer, so no entry may carry more.
    const uint32_t attached = bytes ? std::min(length, FScratchSize) : 0;
    // The header and its bytes go in together or not at all: a header whose bytes were lost
    // would make the file show an entry that never was.
    const uint64_t total = uint64_t{kHeaderSize} + attached;
    if (total >= FSize)
        return;
    while (FFree < total)
        DropOldest();

    static_assert(sizeof(THeader) == kHeaderSize);
    THeader header{};
    header.Type = type;
    header.SubType = subtype;
    header.Time = FClock() - FStartTime;
    header.Data = data;
    header.Length = attached;
    Append(&header, kHeaderSize);
    if (attached != 0)
        Append(bytes, attached);
}

void TDispatchLog::Reset()
{
    FHead = 0;
    FTail = 0;
    FFree = FSize;
}

void TDispatchLog::Discard()
{
    FActive = false;
    FRing.reset();
    FScratch.reset();
    FSize = 0;
    FScratchSize = 0;
    FHead = 0;
    FTail = 0;
    FFree = 0;
}

void TDispatchLog::Resume()
{
    if (FRing)
        FActive = true;
}

void TDispatchLog::Suspend() { FActive = false; }

// The caller has made room: length is at most the free count.
void TDispatchLog::Append(const void* bytes, uint32_t length)
{
    const auto* from = static_cast<const uint8_t*>(bytes);
    const uint32_t room = FSize - FHead;
    if (length <= room) {
        std::memcpy(&FRing[FHead], from, length);
        FHead += length;
        if (FHead == FSize)
            FHead = 0;
    } else {
        std::memcpy(&FRing[FHead], from, room);
        std::memcpy(&FRing[0], from + room, length - room);
        FHead = length - room;
    }
    FFree -= length;
}

// Takes length bytes from the tail into `to` (or drops them when `to` is null).
void TDispatchLog::Copy(void* to, uint32_t length)
{
    auto* into = static_cast<uint8_t*>(to);
    const uint32_t room = FSize - FTail;
    if (length <= room) {
        if (into)
            std::memcpy(into, &FRing[FTail], length);
        FTail += length;
        if (FTail == FSize)
            FTail = 0;
    } else {
        if (into) {
            std::memcpy(into, &FRing[FTail], room);
            std::memcpy(into + room, &FRing[0], length - room);
        }
        FTail = length - room;
    }
    FFree += length;
}

bool TDispatchLog::ReadOldest(THeader& header)
{
    if (FFree == FSize)
        return false;
    Copy(&header, kHeaderSize);
    if (header.Length != 0)
        Copy(FScratch.get(), header.Length);
    return true;
}

void TDispatchLog::DropOldest()
{
    THeader header;
    Copy(&header, kHeaderSize);
    if (header.Length != 0)
        Copy(nullptr, header.Length);
}

int32_t TDispatchLog::WriteLogFile(const std::string& fileName, bool append, bool inHex, bool allHex,
                                   const std::string& deviceName)
{
    if (!FRing || FFree == FSize) {
        Discard();
        return 0;
    }
    FActive = false;
    logtext::TLogTextFile file;
    if (const int32_t result = file.Open(fileName, append); result != 0)
        return result; // the entries stay, so that the user can write them elsewhere

    SYSTEMTIME now{};
    GetLocalTime(&now);
    const std::string lines[] = {
        "VELT v4.06",
        "Compiler : " + logtext::CompilerText(),
        "Operating System : " + OperatingSystem().substr(0, 80),
        "Device: " + deviceName,
        "Date/time: " + logtext::DateTimeText(now).substr(0, 80),
        MessageForCode(kColumnHeading),
        MessageForCode(kColumnRule),
    };
    for (const std::string& line : lines) {
        file.Write(line);
        file.LineEnd();
    }

    TNames names;
    std::string modemBits[8];
    bool haveModemBits = false;
    std::string text;
    text.reserve(kFlushSize + 1024);
    THeader header;
    while (!file.Failed() && ReadOldest(header)) {
        AppendPadded(text, logtext::TimeText(header.Time), 8, false);
        text += "  ";
        AppendPadded(text, names.Type(header.Type), 8, true);
        text += "  ";
        AppendPadded(text, names.SubType(header.SubType), 12, true);
        char data[16];
        std::snprintf(data, sizeof data, "  %08X  ", static_cast<unsigned>(header.Data));
        text += data;

        if (header.Length != 0) {
            const uint8_t* bytes = FScratch.get();
            if (header.SubType == dstStatus &&
                (header.Type == dtTriggerAlloc || header.Type == dtTriggerDispose)) {
                if (bytes[0] < std::size(kStatusKinds))
                    text += kStatusKinds[bytes[0]];
            } else {
                int column = kPrefixWidth + 1;
                for (uint32_t i = 0; i < header.Length; ++i) {
                    std::string item;
                    int width;
                    // User entries carry text of their own, which shows as it is even in all hex.
                    if (allHex && header.Type == dtUser) {
                        item.push_back(static_cast<char>(bytes[i]));
                        width = 1;
                    } else {
                        width = logtext::AppendItem(item, bytes[i], inHex, allHex);
                    }
                    column += width;
                    if (column > kLastColumn) {
                        text += "\r\n";
                        text.append(kPrefixWidth, ' ');
                        column = kPrefixWidth + 1 + width;
                    }
                    text += item;
                }
            }
            if (header.SubType == dstModemStatus) {
                if (!haveModemBits) {
                    for (int bit = 0; bit < 8; ++bit)
                        modemBits[bit] = MessageForCode(kModemBitNames + bit);
                    haveModemBits = true;
                }
                std::string set;
                for (int bit = 0; bit < 8; ++bit)
                    if (header.Data & (1u << bit))
                        set += modemBits[bit];
                text += " (" + std::string(Trimmed(set)) + ")";
            }
        }
        text += "\r\n";

        if (text.size() >= kFlushSize) {
            file.Write(text);
            text.clear();
        }
    }
    file.Write(text);
    const int32_t result = file.Close();
    Discard();
    return result;
}
