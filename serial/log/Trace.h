// Byte trace of one open port: a fixed ring of (direction, byte) entries in order of passage,
// written to a text file on request.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

constexpr int32_t kMaxTraceCapacity = 4000000;
constexpr char kTraceTransmit = 'T'; ///< a byte queued for sending
constexpr char kTraceReceive = 'R';  ///< a byte taken out of the input ring by a consumer

/// The trace ring. Guarded by the owner's DispatcherLock: the class takes no lock itself, and
/// every call, recording included, must be made while holding that lock.
/// States: no buffer -> active (Start) <-> suspended (Suspend/Resume) -> no buffer (Discard, or
/// WriteTraceFile, which always frees the buffer).
class TTraceBuffer
{
public:
    TTraceBuffer() = default;
    TTraceBuffer(const TTraceBuffer&) = delete;
    TTraceBuffer& operator=(const TTraceBuffer&) = delete;

    /// With a buffer: empties it (the old capacity stays). Without: allocates `capacity` entries.
    /// Either way the trace becomes active. A capacity of 0 is accepted: the trace is active but
    /// holds nothing, and writing it touches no file.
    /// @return 0; -1002 for a capacity below 0 or above kMaxTraceCapacity (the trace stays as it
    /// was); -8 when the memory cannot be had (no buffer, inactive).
    int32_t Start(int32_t capacity);

    /// Stores one entry (the oldest gives way once the ring is full). Does not look at Active():
    /// the callers test it, so that they can skip the work of a whole block. Without a buffer it
    /// does nothing. Never allocates, blocks or does I/O.
    void Record(char direction, uint8_t byte);
    /// Stores one entry per byte, in order.
    void Record(char direction, const uint8_t* bytes, int32_t count);

    /// Empties the ring, keeping its capacity and state. @return 0.
    int32_t Reset();
    /// Frees the buffer and makes the trace inactive.
    void Discard();
    /// Makes the trace active again when a buffer exists.
    void Resume();
    /// Makes the trace inactive; the entries stay.
    void Suspend();

    bool Active() const { return FActive; }
    bool HasBuffer() const { return FHasBuffer; }
    int32_t Capacity() const { return FCapacity; }
    /// The number of entries held (at most the capacity).
    int32_t Count() const { return FWrapped ? FCapacity : FNext; }

    /// Writes the entries, oldest first, as text with CR LF line ends: "Transmit: " / "Receive: "
    /// / "Special-x: " header lines at each change of direction, items on lines of at most 78
    /// characters, no line end after the last item. `append` continues an existing file (on its
    /// last line), else the file is created or overwritten. `inHex` shows unprintable bytes and
    /// the blank as [hex], else unprintable bytes as [decimal]; `allHex` shows every byte as [hex].
    /// An empty trace touches no file. The trace is discarded in every case.
    /// @return 0, or the negated Win32 error number of creating or writing the file (-3 path not
    /// found, -5 access denied, ...).
    int32_t WriteTraceFile(const std::string& fileName, bool append, bool inHex, bool allHex);

private:
    std::unique_ptr<uint8_t[]> FBuffer; // two bytes per entry: direction, data byte
    int32_t FCapacity = 0;
    int32_t FNext = 0;
    bool FWrapped = false;
    bool FActive = false;
    bool FHasBuffer = false;
};
