// Dispatch log of one open port: what the dispatcher did (reads, writes, triggers, handlers,
// packet detector states), timed, in a fixed byte ring written to a text file on request.
#pragma once

#include "serial/log/Clock.h"

#include <cstdint>
#include <memory>
#include <string>

constexpr uint32_t kMaxDispatchLogSize = 16000000;

/// Entry types (the first log column).
enum TDispatchType : uint8_t {
    dtNone = 0,
    dtDispatch = 1,
    dtTrigger = 2,
    dtError = 3,
    dtThread = 4,
    dtTriggerAlloc = 5,
    dtTriggerDispose = 6,
    dtTriggerHandlerAlloc = 7,
    dtTriggerHandlerDispose = 8,
    dtTriggerDataChange = 9,
    dtTelnet = 10,
    dtFax = 11,
    dtXModem = 12,
    dtYModem = 13,
    dtZModem = 14,
    dtKermit = 15,
    dtAscii = 16,
    dtBPlus = 17,
    dtPacket = 18,
    dtUser = 19,
    dtScript = 20,
};

/// Entry subtypes (the second log column). The same name can stand for two numbers: 5 to 8 are
/// triggers that fire (type dtTrigger) or are disposed of (dtTriggerDispose), 13 to 16 are
/// triggers allocated, changed or disposed of.
enum TDispatchSubType : uint8_t {
    dstNone = 0,
    dstReadCom = 1,
    dstWriteCom = 2,
    dstLineStatus = 3,
    dstModemStatus = 4, ///< data value: modem-status bits, named in the file
    dstTriggerAvail = 5,
    dstTriggerTimer = 6,
    dstTriggerData = 7,
    dstTriggerStatus = 8,
    dstThreadStart = 9,
    dstThreadExit = 10,
    dstThreadSleep = 11,
    dstThreadWake = 12,
    dstData = 13,
    dstTimer = 14,
    dstStatus = 15, ///< with dtTriggerAlloc/dtTriggerDispose: one attached byte, the status kind
    dstAvail = 16,
    dstWindow = 17,
    dstProcedure = 18,
    dstMethod = 19,
    // Packet detector states and events.
    dstEnable = 242,
    dstDisable = 243,
    dstStringPacket = 244,
    dstSizePacket = 245,
    dstPacketTimeout = 246,
    dstStartStr = 247,
    dstEndStr = 248,
    dstIdle = 249,
    dstWaiting = 250,
    dstCollecting = 251,
    dstPacketTooLong = 252, ///< a packet longer than the detector's bound was thrown away
};

/// The log ring. Guarded by the owner's DispatcherLock: the class takes no lock itself, and
/// every call, recording included, must be made while holding that lock.
/// Each entry is a 16-byte header (type, subtype, time since the start time, data value,
/// attached length) followed by its attached bytes; when the ring is full the oldest entries
/// give way whole. States: no ring -> active (Start) <-> suspended (Suspend/Resume) -> no ring
/// (Discard, or WriteLogFile unless the file cannot be created).
class TDispatchLog
{
public:
    TDispatchLog() = default;
    TDispatchLog(const TDispatchLog&) = delete;
    TDispatchLog& operator=(const TDispatchLog&) = delete;

    /// With a ring: empties it (size, scratch and active state stay). Without: allocates a ring of
    /// `size` bytes (at most kMaxDispatchLogSize) and a scratch buffer of `scratchSize` bytes and
    /// makes the log active. `scratchSize` bounds the attached bytes of one entry (the larger of
    /// the port's input and output sizes); longer blocks are kept up to that length. When the
    /// memory cannot be had, there is no ring and the log stays inactive.
    void Start(uint32_t size, uint32_t scratchSize);
    /// The millisecond-clock value that entry times count from (taken when the port opens).
    void SetStartTime(uint32_t ms) { FStartTime = ms; }
    /// Where entry times come from; MillisecondClock unless a test injects its own.
    void SetClock(TMillisecondSource clock) { FClock = clock ? clock : &MillisecondClock; }

    /// When active, adds an entry. Header and attached bytes are stored together or not at all:
    /// an entry whose 16 + attached bytes is not smaller than the ring is refused, and older
    /// entries are dropped whole to make room. `data` is logged as given even when the attached
    /// bytes are cut to the scratch size. Never allocates, blocks or does I/O.
    void RecordDispatchEvent(uint8_t type, uint8_t subtype, uint32_t data, const void* bytes,
                             uint32_t length);

    /// Empties the ring, keeping its size and state.
    void Reset();
    /// Frees the ring and the scratch buffer and makes the log inactive.
    void Discard();
    /// Makes the log active again when a ring exists.
    void Resume();
    /// Makes the log inactive; the entries stay.
    void Suspend();

    bool Active() const { return FActive; }
    bool HasRing() const { return FRing != nullptr; }
    uint32_t Size() const { return FSize; }
    /// Bytes of the ring in use by whole entries.
    uint32_t Used() const { return FSize - FFree; }

    /// Writes the log as text with CR LF line ends: the header lines (program, compiler,
    /// operating system, `deviceName`, local date and time, the two column lines), then one line
    /// per entry, oldest first, with its attached bytes rendered as the trace renders them
    /// (`inHex`, `allHex`) on lines continued under the OtherData column. `append` adds to an
    /// existing file, else it is created or overwritten. An empty or absent log touches no file
    /// and is discarded. When the file cannot be created the log stays in memory, inactive;
    /// otherwise it is discarded.
    /// @return 0, or the negated Win32 error number of creating or writing the file.
    int32_t WriteLogFile(const std::string& fileName, bool append, bool inHex, bool allHex,
                         const std::string& deviceName);

private:
    struct THeader;
    void Append(const void* bytes, uint32_t length);
    void Copy(void* to, uint32_t length);
    bool ReadOldest(THeader& header);
    void DropOldest();

    std::unique_ptr<uint8_t[]> FRing;
    std::unique_ptr<uint8_t[]> FScratch;
    uint32_t FSize = 0;
    uint32_t FScratchSize = 0;
    uint32_t FHead = 0; // where the next byte goes
    uint32_t FTail = 0; // where the oldest entry starts
    uint32_t FFree = 0;
    bool FActive = false;
    uint32_t FStartTime = 0;
    TMillisecondSource FClock = &MillisecondClock;
};
