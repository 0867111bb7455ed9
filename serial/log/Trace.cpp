// The byte trace ring and its text file.
#include "serial/log/Trace.h"

#include "serial/log/LogText_p.h"

#include <new>

namespace
{

constexpr int32_t kBadArgument = -1002;
constexpr int32_t kInsufficientMemory = -8;
constexpr int kTraceLineWidth = 78;
// Text is handed to the file in pieces of about this size, so a full ring of four million
// entries never needs its whole rendering in memory at once.
constexpr size_t kFlushSize = 64 * 1024;

} // namespace

int32_t TTraceBuffer::Start(int32_t capacity)
{
    if (FHasBuffer) {
        Reset();
        FActive = true;
        return 0;
    }
    if (capacity < 0 || capacity > kMaxTraceCapacity)
        return kBadArgument;
    FBuffer.reset(new (std::nothrow) uint8_t[2 * static_cast<size_t>(capacity)]());
    if (!FBuffer)
        return kInsufficientMemory;
    FCapacity = capacity;
    FNext = 0;
    FWrapped = false;
    FHasBuffer = true;
    FActive = true;
    return 0;
}

void TTraceBuffer::Record(char direction, uint8_t byte)
{
    if (FCapacity == 0)
        return;
    uint8_t* entry = &FBuffer[2 * static_cast<size_t>(FNext)];
    entry[0] = static_cast<uint8_t>(direction);
    entry[1] = byte;
    if (++FNext == FCapacity) {
        FNext = 0;
        FWrapped = true;
    }
}

void TTraceBuffer::Record(char direction, const uint8_t* bytes, int32_t count)
{
    if (FCapacity == 0 || !bytes)
        return;
    // Only the newest capacity entries would survive; skip the ones they would overwrite.
    if (count > FCapacity) {
        bytes += count - FCapacity;
        count = FCapacity;
    }
    for (int32_t i = 0; i < count; ++i)
        Record(direction, bytes[i]);
}

int32_t TTraceBuffer::Reset()
{
    FNext = 0;
    FWrapped = false;
    return 0;
}

void TTraceBuffer::Discard()
{
    FActive = false;
    FBuffer.reset();
    FHasBuffer = false;
    FCapacity = 0;
    FNext = 0;
    FWrapped = false;
}

void TTraceBuffer::Resume()
{
    if (FHasBuffer)
        FActive = true;
}

void TTraceBuffer::Suspend() { FActive = false; }

int32_t TTraceBuffer::WriteTraceFile(const std::string& fileName, bool append, bool inHex, bool allHex)
{
    FActive = false;
    if (!FHasBuffer)
        return 0;
    const int32_t count = Count();
    if (count == 0) {
        Discard();
        return 0;
    }

    logtext::TLogTextFile file;
    int32_t result = file.Open(fileName, append);
    if (result != 0) {
        Discard();
        return result;
    }

    std::string text;
    text.reserve(kFlushSize + 64);
    int32_t index = FWrapped ? FNext : 0;
    int lastDirection = -1; // none yet: the first header has no empty line before it
    int column = 0;
    for (int32_t written = 0; written < count && !file.Failed(); ++written) {
        const char direction = static_cast<char>(FBuffer[2 * static_cast<size_t>(index)]);
        const uint8_t byte = FBuffer[2 * static_cast<size_t>(index) + 1];
        if (++index == FCapacity)
            index = 0;

        if (static_cast<uint8_t>(direction) != lastDirection) {
            if (lastDirection != -1)
                text += "\r\n\r\n";
            if (direction == kTraceReceive)
                text += "Receive: ";
            else if (direction == kTraceTransmit)
                text += "Transmit: ";
            else {
                text += "Special-";
                text += direction;
                text += ": ";
            }
            text += "\r\n";
            column = 0;
            lastDirection = static_cast<uint8_t>(direction);
        }

        // The item goes to the end of the text first; a line end, when the item overflows the
        // line, is put in front of it.
        const size_t itemStart = text.size();
        const int width = logtext::AppendItem(text, byte, inHex, allHex);
        column += width;
        if (column > kTraceLineWidth) {
            text.insert(itemStart, "\r\n");
            column = width;
        }

        if (text.size() >= kFlushSize) {
            file.Write(text);
            text.clear();
        }
    }
    file.Write(text);
    result = file.Close();
    Discard();
    return result;
}
