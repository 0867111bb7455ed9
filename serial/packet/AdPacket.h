// Packet detectors: they cut complete messages out of the bytes a port receives, by a start string
// (or any byte) and an end string, a size, or both. All detectors of one port share that port's
// packet manager, which collects the bytes, offers them to the detectors in the order they were
// attached and lets one detector at a time collect a packet.
//
// Threads: everything here runs on the user-interface thread. The manager's trigger handler is
// registered with the dispatcher to run there (the dispatch thread hands each notification over
// and waits), so the manager's buffer, the detectors' matching state and their property setters
// are never touched by two threads at once, and a port closing on the user-interface thread can
// throw away the buffer while no scan is under way.
#pragma once

#include "platform/win32.h"
#include "runtime/EnumSet.h"
#include "serial/port/ApdComPort.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class TApdDataPacket;
class TApdDataPacketManager;

enum TPacketStartCond : uint8_t { scString, scAnyData };
enum TPacketEndCond : uint8_t { ecString, ecPacketSize };

/// A set of end conditions; empty means the start string alone is the packet.
using TPacketEndSet = TEnumSet<TPacketEndCond, ecPacketSize>;

/// The raw form of a complete packet: the bytes stay in the manager's buffer, valid during the call.
using TPacketNotifyEvent = std::function<void(TComponent* sender, const uint8_t* data, int32_t size)>;
/// The string form: a copy of the packet's bytes.
using TStringPacketNotifyEvent = std::function<void(TComponent* sender, const std::string& data)>;

/// A packet thrown away for being longer than TApdDataPacket::kMaxPacketLength: how many bytes it
/// had collected.
using TPacketTooLongEvent = std::function<void(TComponent* sender, int32_t size)>;

/// Matching state of a detector; the names are those written to the dispatch log.
enum class TPacketMode : uint8_t { Idle, Waiting, Collecting };

/// A compiled start or end string: what each position must be, and which positions match any byte.
struct TPacketPattern {
    std::string Match;
    std::vector<bool> Wildcard;
    int32_t Length() const { return static_cast<int32_t>(Match.size()); }
    /// Whether `byte` fits position `index` (0-based).
    bool Fits(int32_t index, uint8_t byte, bool ignoreCase) const;
    /// The offset of the first byte of `data[0, size)` that fits the first position, else `size`.
    int32_t FindFirst(const uint8_t* data, int32_t size, bool ignoreCase) const;
    /// "?" matches any byte, "\" makes the next character literal (a trailing one is dropped);
    /// with `ignoreCase` letters are made upper case first.
    static TPacketPattern Compile(const std::string& text, bool ignoreCase);
};

/// The packet detector component.
///
/// Property setters store the value; Enabled starts and stops matching, EndCond and EndString take
/// effect at once (an enabled detector starts afresh), the others at the next start of matching.
/// Inconsistent settings raise EInvalidProperty (-5501 to -5507) when matching starts, which is on
/// Enabled := True, on the port's open, and after each delivered packet.
class TApdDataPacket : public TApdBaseComponent
{
public:
    /// A packet collects at most this many bytes; a longer one is thrown away ("Packet too long"
    /// in the dispatch log, OnPacketTooLong) and matching goes on, so a line that never ends its
    /// packet cannot use up memory even without a time-out. A PacketSize above it, which no packet
    /// could reach, raises -5506 when matching starts.
    static constexpr int32_t kMaxPacketLength = 1 << 20;

    explicit TApdDataPacket(TComponent* owner = nullptr);
    ~TApdDataPacket() override;

    // ---- Published properties ----
    bool Enabled() const { return FEnabled; }
    void SetEnabled(bool value);
    bool AutoEnable() const { return FAutoEnable; }
    void SetAutoEnable(bool value) { FAutoEnable = value; }
    TPacketStartCond StartCond() const { return FStartCond; }
    void SetStartCond(TPacketStartCond value) { FStartCond = value; }
    TPacketEndSet EndCond() const { return FEndCond; }
    void SetEndCond(TPacketEndSet value);
    const std::string& StartString() const { return FStartString; }
    void SetStartString(const std::string& value) { FStartString = value; }
    const std::string& EndString() const { return FEndString; }
    void SetEndString(const std::string& value);
    bool IgnoreCase() const { return FIgnoreCase; }
    void SetIgnoreCase(bool value) { FIgnoreCase = value; }
    TApdCustomComPort* ComPort() const { return FComPort; }
    /// Leaves the old port's manager and joins the new port's, creating it when the port has none.
    void SetComPort(TApdCustomComPort* port);
    int32_t PacketSize() const { return FPacketSize; }
    void SetPacketSize(int32_t value) { FPacketSize = value; }
    bool IncludeStrings() const { return FIncludeStrings; }
    void SetIncludeStrings(bool value) { FIncludeStrings = value; }
    /// Ticks of 55 ms allowed for collecting one packet; 0: no limit. Every positive value is
    /// kept, also past the dispatcher's timer range and the clock's wrap; a negative one raises
    /// -5507 when matching starts.
    int32_t TimeOut() const { return FTimeOut; }
    void SetTimeOut(int32_t value) { FTimeOut = value; }
    const TPacketNotifyEvent& OnPacket() const { return FOnPacket; }
    void SetOnPacket(TPacketNotifyEvent handler) { FOnPacket = std::move(handler); }
    const TStringPacketNotifyEvent& OnStringPacket() const { return FOnStringPacket; }
    void SetOnStringPacket(TStringPacketNotifyEvent handler) { FOnStringPacket = std::move(handler); }
    const TNotifyEvent& OnTimeout() const { return FOnTimeout; }
    void SetOnTimeout(TNotifyEvent handler) { FOnTimeout = std::move(handler); }
    /// Not assigned by default: a packet that grew past kMaxPacketLength was thrown away. It runs
    /// like the packet events; matching goes on afterwards whatever AutoEnable says.
    const TPacketTooLongEvent& OnPacketTooLong() const { return FOnPacketTooLong; }
    void SetOnPacketTooLong(TPacketTooLongEvent handler) { FOnPacketTooLong = std::move(handler); }

    /// Fixed at construction: events are run on the user-interface thread; bytes collected before a
    /// time-out are thrown away.
    bool DeliverOnMainThread() const { return FDeliverOnMainThread; }
    bool DiscardOnTimeout() const { return FDiscardOnTimeout; }

    // ---- State, for the manager and for inspection ----
    TPacketMode PacketMode() const { return FMode; }
    TApdDataPacketManager* Manager() const { return FManager; }
    bool HoldsCollection() const { return FHoldsCollection; }
    /// Index in the manager's buffer of the packet's first byte, -1 while none is known.
    int32_t PacketStart() const { return FPacketStart; }
    /// Inside a partial match of the start string (Waiting with a known packet start).
    bool InPartialStart() const { return FMode == TPacketMode::Waiting && FPacketStart != -1; }

    // ---- Operations of the manager ----
    /// Examines the manager's held bytes from `start` on.
    void ScanData(int32_t start);
    /// Bytes up to (not including) `end` were removed from the front of the manager's buffer.
    void DataConsumed(int32_t end);
    /// Stops and starts again, when enabled and attached to a port.
    void RestartMatching();
    void StartMatching();
    void StopMatching();
    /// The manager's timer ran out while this detector collected.
    void PacketTimedOut();

protected:
    void Loaded() override;
    void Notification(TComponent* component, TOperation operation) override;

private:
    friend class TApdDataPacketManager;

    void SetPacketState(TPacketMode mode);
    /// Delivers the packet that ends at buffer index `end`.
    void DeliverPacket(int32_t end, bool stringEnded);
    /// @return false when a handler freed this detector (nothing of it may be used then).
    bool FirePacketEvents(const uint8_t* data, int32_t size);
    /// Throws away the packet being collected, which has grown past kMaxPacketLength.
    void DiscardOverlongPacket(int32_t end);
    /// Runs `call` through the user-interface thread when events are to run there; a handler's
    /// exception goes to the application's error display.
    void RunEvent(const std::function<void()>& call);
    /// A packet-kind entry in the port's dispatch log; without bytes it carries "Packet:" + Name().
    void Log(uint8_t subtype, const void* bytes = nullptr, uint32_t length = 0);
    void LogText(uint8_t subtype, const std::string& text)
    {
        Log(subtype, text.data(), static_cast<uint32_t>(text.size()));
    }
    void ResetMatch();
    /// Disables, stores an end setting through `store` and leaves the detector enabled as before,
    /// matching afresh with the new end.
    void ChangeEnd(const std::function<void()>& store);

    bool FEnabled = false;
    bool FAutoEnable = true;
    TPacketStartCond FStartCond = scString;
    TPacketEndSet FEndCond;
    std::string FStartString;
    std::string FEndString;
    bool FIgnoreCase = true;
    TApdCustomComPort* FComPort = nullptr;
    int32_t FPacketSize = 0;
    bool FIncludeStrings = true;
    int32_t FTimeOut = 2184;
    TPacketNotifyEvent FOnPacket;
    TStringPacketNotifyEvent FOnStringPacket;
    TNotifyEvent FOnTimeout;
    TPacketTooLongEvent FOnPacketTooLong;
    const bool FDeliverOnMainThread = true;
    const bool FDiscardOnTimeout = true;

    TApdDataPacketManager* FManager = nullptr;
    TPacketMode FMode = TPacketMode::Idle;
    // IgnoreCase, IncludeStrings, StartCond and TimeOut as they were when matching last started.
    bool FMatchIgnoreCase = true;
    bool FMatchIncludeStrings = true;
    TPacketStartCond FMatchStartCond = scString;
    int32_t FMatchTimeOut = 2184;
    /// Cleared when the detector is destroyed: a handler that frees its own detector ends the
    /// delivery's use of it.
    std::shared_ptr<bool> FAlive = std::make_shared<bool>(true);
    TPacketPattern FStartPattern;
    TPacketPattern FEndPattern;
    int32_t FPacketStart = -1;
    int32_t FStartMatch = 1;     ///< next start-pattern character to compare, from 1
    int32_t FEndMatch = 1;       ///< next end-pattern character to compare, from 1
    int32_t FEndMatchStart = -1; ///< buffer index where the current partial end match began
    int32_t FSizeLimit = 0;
    bool FEnableDeferred = false;
    bool FStartDeferred = false;
    bool FHoldsCollection = false;
    bool FLeaving = false; ///< between giving the collection back and leaving the manager
    const uint8_t* FDeliveredData = nullptr;
    int32_t FDeliveredLength = 0;
};

/// The packet manager of one port: its detectors, the received bytes they have not finished with,
/// the one collecting detector and the timer trigger for its time-out. Created when the first
/// detector joins a port; destroys itself soon after the last one leaves.
class TApdDataPacketManager
{
public:
    /// Message posted to the manager's own hidden window to destroy it outside the call that
    /// detached its last detector.
    static constexpr UINT kDestroyMessage = 0xB021;
    static constexpr int32_t kBufferStep = 8192;

    explicit TApdDataPacketManager(TApdCustomComPort* port);
    ~TApdDataPacketManager();
    TApdDataPacketManager(const TApdDataPacketManager&) = delete;
    TApdDataPacketManager& operator=(const TApdDataPacketManager&) = delete;

    void AddPacket(TApdDataPacket* packet);
    void RemovePacket(TApdDataPacket* packet);
    void SetActive(bool value);
    /// Offers the held bytes from `start` on to the detectors.
    void ProcessBuffer(int32_t start);
    /// Removes every held byte before `start + length`.
    void ConsumeData(int32_t start, int32_t length);
    void ClaimCollection(TApdDataPacket* packet, int32_t timeout);
    void ReleaseCollection(TApdDataPacket* packet);
    void SetInEvent(bool value);

    TApdCustomComPort* Port() const { return FPort; }
    /// The port's dispatcher while the manager works, else nullptr.
    TApdBaseDispatcher* Dispatcher() const;
    bool Active() const { return FActive; }
    bool InEvent() const { return FInEvent; }
    bool ActivationDeferred() const { return FActivationDeferred; }
    void ClearActivationDeferred() { FActivationDeferred = false; }
    TApdDataPacket* CollectingPacket() const { return FCollecting; }
    const std::vector<TApdDataPacket*>& Packets() const { return FPackets; }
    const uint8_t* Buffer() const { return FBuffer.data() + FHead; }
    int32_t BufferCount() const { return FCount; }
    int32_t BufferCapacity() const { return static_cast<int32_t>(FBuffer.size()); }
    int32_t TimerHandle() const { return FTimerHandle; }

private:
    friend class TApdDataPacketManagerList;

    void PortEvent(TApdCustomComPort* port, TPortUserEvent event);
    void TriggerHandler(UINT message, WPARAM wParam, LPARAM lParam);
    void HandleTrigger(UINT message, WPARAM wParam);
    void InstallHandler();
    void RemoveHandler();
    void ReleaseBuffer();
    /// Stops working for the port and leaves its users; a port that is itself being destroyed is
    /// not touched.
    void DetachFromPort();
    /// Drops held bytes in front of every partial start match while no detector collects.
    void DropUnclaimed();
    /// Runs `call` for each detector attached when it was called that is still attached and alive
    /// when its turn comes: a call may deliver a packet whose handler detaches or frees any of them.
    template <typename TCall> void ForEachPacket(TCall call);
    static LRESULT WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

    std::vector<TApdDataPacket*> FPackets;
    TApdCustomComPort* FPort = nullptr;
    bool FHandlerInstalled = false;
    bool FActive = false;
    /// The held bytes are FBuffer[FHead, FHead + FCount): a delivery consumes from the front by
    /// moving FHead, so a pass that cuts many packets out of a long buffer does not move the rest
    /// once for each; the bytes move to the front when an arrival needs the room.
    std::vector<uint8_t> FBuffer;
    int32_t FHead = 0;
    int32_t FCount = 0;
    TApdDataPacket* FCollecting = nullptr;
    int32_t FTimerHandle = 0;
    bool FInEvent = false;
    bool FDataPending = false;
    int32_t FPendingStart = 0;
    bool FActivationDeferred = false;
    bool FDestroying = false;
    bool FDestroyWhenIdle = false; ///< the self-destruction message came during an event
    bool FProcessing = false;      ///< a ProcessBuffer pass is running
    bool FRescan = false;          ///< that pass must start over, from FRescanStart
    int32_t FRescanStart = 0;
    int32_t FClaimTimeout = 0;    ///< ticks of the running collection's time-out, 0: none
    uint32_t FClaimMarkMs = 0;    ///< clock reading when the collection's elapsed time was last summed
    uint64_t FClaimElapsedMs = 0; ///< collecting time up to FClaimMarkMs; can pass the clock's wrap
    HWND FWindow = nullptr;
    TApdBaseDispatcher* FHandlerDispatcher = nullptr; ///< where the trigger handler is registered
};

/// The process's packet managers, one per port.
class TApdDataPacketManagerList
{
public:
    static TApdDataPacketManagerList& Instance();
    ~TApdDataPacketManagerList();

    void AddManager(TApdDataPacketManager* manager);
    void RemoveManager(TApdDataPacketManager* manager);
    /// The first manager of `port`, or nullptr.
    TApdDataPacketManager* GetPortManager(TApdCustomComPort* port) const;
    int32_t Count() const { return static_cast<int32_t>(FManagers.size()); }

private:
    TApdDataPacketManagerList() = default;
    std::vector<TApdDataPacketManager*> FManagers;
};
