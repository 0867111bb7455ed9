// The packet detector: matching the start and end strings in the manager's buffer, delivering
// packets and time-outs, and the property rules.
#include "serial/packet/AdPacket.h"

#include "runtime/Application.h"
#include "serial/log/Clock.h"
#include "serial/log/MessageTable.h"
#include "serial/port/ApdExceptions.h"

#include <algorithm>
#include <cstring>

namespace
{

constexpr int32_t ecStartStringEmpty = -5501;
constexpr int32_t ecPacketTooSmall = -5502;
constexpr int32_t ecNoEndCharCount = -5503;
constexpr int32_t ecEmptyEndString = -5504;
constexpr int32_t ecZeroSizePacket = -5505;
constexpr int32_t ecPacketTooLong = -5506;
constexpr int32_t ecNegativeTimeOut = -5507;
// Milliseconds of one tick of the dispatcher's timers.
constexpr uint32_t kTickMs = 55;

uint8_t UpperByte(uint8_t byte)
{
    return byte >= 'a' && byte <= 'z' ? static_cast<uint8_t>(byte - 32) : byte;
}

} // namespace

// ---- Patterns ------------------------------------------------------------------------------------

TPacketPattern TPacketPattern::Compile(const std::string& text, bool ignoreCase)
{
    TPacketPattern pattern;
    for (size_t i = 0; i < text.size(); ++i) {
        auto c = static_cast<uint8_t>(text[i]);
        bool wildcard = false;
        if (c == '\\') {
            if (i + 1 == text.size())
                break;
            c = static_cast<uint8_t>(text[++i]);
        } else if (c == '?') {
            wildcard = true;
        }
        pattern.Match.push_back(static_cast<char>(ignoreCase ? UpperByte(c) : c));
        pattern.Wildcard.push_back(wildcard);
    }
    return pattern;
}

bool TPacketPattern::Fits(int32_t index, uint8_t byte, bool ignoreCase) const
{
    auto at = static_cast<size_t>(index);
    if (Wildcard[at])
        return true;
    return static_cast<uint8_t>(Match[at]) == (ignoreCase ? UpperByte(byte) : byte);
}

int32_t TPacketPattern::FindFirst(const uint8_t* data, int32_t size, bool ignoreCase) const
{
    if (size <= 0 || Wildcard[0])
        return 0;
    const auto wanted = static_cast<uint8_t>(Match[0]);
    const bool letter = ignoreCase && wanted >= 'A' && wanted <= 'Z';
    if (!letter) {
        const void* found = std::memchr(data, wanted, static_cast<size_t>(size));
        return found ? static_cast<int32_t>(static_cast<const uint8_t*>(found) - data) : size;
    }
    // Either case of the letter: the first of two memchr, the second bounded by the first.
    const auto* upper = static_cast<const uint8_t*>(std::memchr(data, wanted, static_cast<size_t>(size)));
    const int32_t upperAt = upper ? static_cast<int32_t>(upper - data) : size;
    const auto* lower =
        static_cast<const uint8_t*>(std::memchr(data, wanted + 32, static_cast<size_t>(upperAt)));
    return lower ? static_cast<int32_t>(lower - data) : upperAt;
}

// ---- The detector --------------------------------------------------------------------------------

TApdDataPacket::TApdDataPacket(TComponent* owner) : TApdBaseComponent(owner)
{
    // A detector made without a port watches the first port among its owner's components.
    if (TApdCustomComPort* port = LocateComPort(owner))
        SetComPort(port);
}

TApdDataPacket::~TApdDataPacket()
{
    *FAlive = false;
    Destroying();
    SetComPort(nullptr);
}

void TApdDataPacket::SetEnabled(bool value)
{
    if (value == FEnabled)
        return;
    if (value) {
        StartMatching();
        FEnabled = true;
        return;
    }
    // Cleared first: giving the collection back lets other detectors deliver, and the end of
    // such a delivery starts every detector that still reads enabled, this one too.
    FEnabled = false;
    StopMatching();
}

void TApdDataPacket::SetEndCond(TPacketEndSet value)
{
    ChangeEnd([&] { FEndCond = value; });
}

void TApdDataPacket::SetEndString(const std::string& value)
{
    ChangeEnd([&] { FEndString = value; });
}

void TApdDataPacket::ChangeEnd(const std::function<void()>& store)
{
    const bool enabled = FEnabled;
    const std::shared_ptr<bool> alive = FAlive;
    SetEnabled(false);
    // Disabling gives the held bytes back, and the handlers of a delivery from them may have
    // freed this detector.
    if (!*alive)
        return;
    store();
    if (!FEnabled) {
        SetEnabled(enabled);
        return;
    }
    // Such a handler enabled it again, and it started matching with the old end: it starts
    // afresh, so that the change holds at once as it does on a detector left alone. An end that
    // cannot start leaves it disabled, as the plain re-enable does, so that mending the setting
    // and enabling it again starts it.
    try {
        RestartMatching();
    } catch (...) {
        if (*alive)
            FEnabled = false;
        throw;
    }
}

void TApdDataPacket::SetComPort(TApdCustomComPort* port)
{
    if (port == FComPort)
        return;
    if (FManager) {
        // A detector that leaves in the middle of a packet gives the collection back first
        // (a port on its way out has stopped its detectors already). That offers the held bytes
        // to the others, whose handlers may detach this detector, attach it elsewhere or free it.
        if (!(FComPort && FComPort->IsDestroying())) {
            // The destructor's own call comes with the flag cleared already.
            const bool freeing = !*FAlive;
            std::shared_ptr<bool> alive = FAlive;
            // Such a delivery ends by starting every enabled detector again: not this one.
            const bool wasLeaving = FLeaving;
            FLeaving = true;
            try {
                StopMatching();
            } catch (...) {
                if (freeing || *alive)
                    FLeaving = wasLeaving;
                throw;
            }
            if (!freeing && !*alive)
                return;
            FLeaving = wasLeaving;
            if (port == FComPort)
                return;
        }
        if (FManager) {
            FManager->RemovePacket(this);
            FManager = nullptr;
        }
    }
    FComPort = port;
    if (port) {
        TApdDataPacketManager* manager = TApdDataPacketManagerList::Instance().GetPortManager(port);
        if (!manager)
            manager = new TApdDataPacketManager(port);
        manager->AddPacket(this);
    }
}

void TApdDataPacket::Loaded()
{
    TApdBaseComponent::Loaded();
    if (FManager && FManager->ActivationDeferred()) {
        FManager->SetActive(true);
        FManager->ClearActivationDeferred();
    }
    if (FEnableDeferred) {
        FEnableDeferred = false;
        StartMatching();
    }
}

void TApdDataPacket::Notification(TComponent* component, TOperation operation)
{
    TApdBaseComponent::Notification(component, operation);
    if (operation == opRemove && component == FComPort) {
        SetComPort(nullptr);
    } else if (operation == opInsert && !FComPort) {
        if (auto* port = dynamic_cast<TApdCustomComPort*>(component))
            SetComPort(port);
    }
}

void TApdDataPacket::Log(uint8_t subtype, const void* bytes, uint32_t length)
{
    if (!FComPort)
        return;
    TApdBaseDispatcher* dispatcher = FComPort->Dispatcher();
    if (!dispatcher || !dispatcher->Logging())
        return;
    if (!bytes) {
        std::string text = "Packet:" + Name();
        dispatcher->AddDispatchEntry(dtPacket, subtype, 0, text.data(), static_cast<uint32_t>(text.size()));
        return;
    }
    dispatcher->AddDispatchEntry(dtPacket, subtype, 0, bytes, length);
}

void TApdDataPacket::ResetMatch()
{
    FSizeLimit = FPacketSize;
    FStartMatch = 1;
    FEndMatch = 1;
    FEndMatchStart = -1;
    FPacketStart = -1;
}

void TApdDataPacket::StartMatching()
{
    if (FLeaving)
        return;
    if (IsLoading()) {
        FEnableDeferred = true;
        return;
    }
    if (FManager && FManager->Active()) {
        if (FManager->InEvent()) {
            FEnableDeferred = true;
            return;
        }
        FEnableDeferred = false;
        Log(dstEnable);
        // Every setting is checked before anything changes: a detector that claimed the
        // collection and then refused to start would hold it for ever, and the port's other
        // detectors would never see a byte again.
        TPacketPattern startPattern;
        TPacketPattern endPattern;
        if (FStartCond == scString) {
            LogText(dstStartStr, FStartString);
            startPattern = TPacketPattern::Compile(FStartString, FIgnoreCase);
            // A start string of a lone "\" compiles to nothing, which would match nothing ever.
            if (startPattern.Length() == 0)
                throw EInvalidProperty(ecStartStringEmpty);
            if (FEndCond.Contains(ecPacketSize) && static_cast<int64_t>(FStartString.size()) > FPacketSize)
                throw EInvalidProperty(ecPacketTooSmall);
        } else if (FEndCond.Empty()) {
            throw EInvalidProperty(ecNoEndCharCount);
        }
        if (FEndCond.Contains(ecString)) {
            endPattern = TPacketPattern::Compile(FEndString, FIgnoreCase);
            if (endPattern.Length() == 0)
                throw EInvalidProperty(ecEmptyEndString);
        }
        if (FEndCond.Contains(ecPacketSize) && FPacketSize == 0)
            throw EInvalidProperty(ecZeroSizePacket);
        // A size the bound on one packet never lets it reach would throw every packet away.
        if (FEndCond.Contains(ecPacketSize) && FPacketSize > kMaxPacketLength)
            throw EInvalidProperty(ecPacketTooLong);
        if (FTimeOut < 0)
            throw EInvalidProperty(ecNegativeTimeOut);

        // The settings that are plain stores hold from here until matching starts again.
        FMatchIgnoreCase = FIgnoreCase;
        FMatchIncludeStrings = FIncludeStrings;
        FMatchStartCond = FStartCond;
        FMatchTimeOut = FTimeOut;
        FStartPattern = std::move(startPattern);
        FEndPattern = std::move(endPattern);
        if (FStartCond == scString) {
            SetPacketState(TPacketMode::Waiting);
        } else if (!FManager->CollectingPacket()) {
            SetPacketState(TPacketMode::Collecting);
        } else {
            FStartDeferred = true;
        }
        if (FEndCond.Contains(ecString))
            LogText(dstEndStr, FEndString);
    }
    ResetMatch();
}

void TApdDataPacket::StopMatching()
{
    if (FMode == TPacketMode::Idle && !FEnableDeferred && !FStartDeferred)
        return;
    FEnableDeferred = false;
    FStartDeferred = false;
    if (FManager) {
        const std::shared_ptr<bool> alive = FAlive;
        SetPacketState(TPacketMode::Idle);
        if (*alive)
            Log(dstDisable);
    }
}

void TApdDataPacket::RestartMatching()
{
    if (!FEnabled || !FComPort)
        return;
    const std::shared_ptr<bool> alive = FAlive;
    StopMatching();
    // Stopping gives the collection back: a delivery from it may have freed this detector, or
    // started it, then disabled it (AutoEnable off) or detached it, which the start must not undo.
    if (*alive && FEnabled && FComPort)
        StartMatching();
}

void TApdDataPacket::SetPacketState(TPacketMode mode)
{
    if (mode == FMode)
        return;
    bool leaving = FMode == TPacketMode::Collecting;
    // The state is stored before the collection is given back: giving it back offers the held
    // bytes to every detector again, this one included, which must no longer collect them.
    FMode = mode;
    if (mode == TPacketMode::Collecting) {
        FManager->ClaimCollection(this, FMatchTimeOut);
    } else if (leaving && FHoldsCollection) {
        // The bytes offered again may be delivered by another detector whose handler frees this one.
        const std::shared_ptr<bool> alive = FAlive;
        FManager->ReleaseCollection(this);
        if (!*alive)
            return;
    }
    static constexpr uint8_t kSubtypes[] = {dstIdle, dstWaiting, dstCollecting};
    Log(kSubtypes[static_cast<int>(mode)]);
}

void TApdDataPacket::ScanData(int32_t start)
{
    int32_t index = start;
    while (FEnabled && FManager && index < FManager->BufferCount()) {
        if (FMode == TPacketMode::Idle) {
            if (!FStartDeferred)
                return;
            FStartDeferred = false;
            SetPacketState(TPacketMode::Collecting);
        }
        const int32_t count = FManager->BufferCount();
        // Bytes that cannot begin a start or end string and end no size are passed over in one
        // step: a long packet, or a line of noise, costs a memchr and not a turn of this loop each.
        if (FMode == TPacketMode::Waiting && FPacketStart == -1) {
            index += FStartPattern.FindFirst(FManager->Buffer() + index, count - index, FMatchIgnoreCase);
            if (index >= count)
                return;
        } else if (FMode == TPacketMode::Collecting && FPacketStart != -1 && FEndMatch == 1) {
            int32_t last = std::min(count, FPacketStart + kMaxPacketLength - 1);
            if (FEndCond.Contains(ecPacketSize))
                last = std::min(last, FPacketStart + FSizeLimit - 1);
            if (FEndCond.Contains(ecString) && index < last)
                index += FEndPattern.FindFirst(FManager->Buffer() + index, last - index, FMatchIgnoreCase);
            else
                index = std::max(index, last);
            if (index >= count)
                return;
        }
        const uint8_t byte = FManager->Buffer()[index];

        if (FMode == TPacketMode::Waiting) {
            if (FStartPattern.Fits(FStartMatch - 1, byte, FMatchIgnoreCase)) {
                if (FPacketStart == -1)
                    FPacketStart = index;
                if (FStartMatch == FStartPattern.Length()) {
                    // A size that the start string already fills ends the packet with it.
                    if (FEndCond.Empty() ||
                        (FEndCond.Contains(ecPacketSize) && index - FPacketStart + 1 >= FSizeLimit)) {
                        // The delivery offers what is left to every detector again, this one
                        // included, from the start of the shortened buffer.
                        DeliverPacket(index, false);
                        return;
                    }
                    SetPacketState(TPacketMode::Collecting);
                } else {
                    ++FStartMatch;
                }
            } else if (FPacketStart != -1) {
                // A start string may begin inside the failed attempt.
                index = FPacketStart + 1;
                FStartMatch = 1;
                FPacketStart = -1;
                continue;
            }
            ++index;
            continue;
        }

        // Collecting.
        if (FPacketStart == -1)
            FPacketStart = index;
        int32_t length = index - FPacketStart + 1;
        if (FEndCond.Contains(ecPacketSize) && length >= FSizeLimit) {
            DeliverPacket(index, false);
            return;
        }
        if (FEndCond.Contains(ecString)) {
            if (FEndPattern.Fits(FEndMatch - 1, byte, FMatchIgnoreCase)) {
                if (FEndMatch == 1)
                    FEndMatchStart = index;
                if (FEndMatch == FEndPattern.Length()) {
                    DeliverPacket(index, true);
                    return;
                }
                ++FEndMatch;
            } else if (FEndMatch > 1) {
                // Look again from the byte after the failed attempt began, so that an end string
                // beginning inside it (at the mismatching byte or before) is still found.
                index = FEndMatchStart + 1;
                FEndMatch = 1;
                FEndMatchStart = -1;
                continue;
            }
        }
        if (length >= kMaxPacketLength) {
            DiscardOverlongPacket(index);
            return;
        }
        ++index;
    }
}

namespace
{

// Leaves the manager's in-event state however the delivery ends.
class TInEventScope
{
public:
    explicit TInEventScope(TApdDataPacketManager* manager) : FManager(manager) { FManager->SetInEvent(true); }
    ~TInEventScope() noexcept(false)
    {
        if (std::uncaught_exceptions() > FUncaught) {
            try {
                FManager->SetInEvent(false);
            } catch (...) {
                // The exception already under way is the one the caller sees.
            }
        } else {
            FManager->SetInEvent(false);
        }
    }
    TInEventScope(const TInEventScope&) = delete;
    TInEventScope& operator=(const TInEventScope&) = delete;

private:
    TApdDataPacketManager* FManager;
    int FUncaught = std::uncaught_exceptions();
};

} // namespace

void TApdDataPacket::DeliverPacket(int32_t end, bool stringEnded)
{
    TApdDataPacketManager* manager = FManager;
    const int32_t packetStart = FPacketStart;
    const int32_t length = end - packetStart + 1;
    TInEventScope inEvent(manager);
    SetEnabled(false);

    const uint8_t* data = manager->Buffer() + packetStart;
    int32_t size = length;
    if (!FMatchIncludeStrings) {
        if (FMatchStartCond == scString) {
            int32_t startLength = std::min(FStartPattern.Length(), size);
            data += startLength;
            size -= startLength;
        }
        if (stringEnded)
            size = std::max(0, size - FEndPattern.Length());
    }
    FDeliveredData = data;
    FDeliveredLength = size;
    Log(dstStringPacket);
    Log(stringEnded ? dstStringPacket : dstSizePacket, data, static_cast<uint32_t>(size));
    const bool alive = FirePacketEvents(data, size);
    // The packet's bytes go whether or not a handler freed this detector.
    manager->ConsumeData(0, packetStart + length);
    if (!alive)
        return;
    FDeliveredData = nullptr;
    FDeliveredLength = 0;
    if (FAutoEnable)
        SetEnabled(true);
}

void TApdDataPacket::RunEvent(const std::function<void()>& call)
{
    auto guarded = [&call] {
        try {
            call();
        } catch (...) {
            Application::HandleException();
        }
    };
    TApdBaseDispatcher* dispatcher = FComPort ? FComPort->Dispatcher() : nullptr;
    if (FDeliverOnMainThread && dispatcher)
        dispatcher->RunOnUserThread(guarded);
    else
        guarded();
}

bool TApdDataPacket::FirePacketEvents(const uint8_t* data, int32_t size)
{
    std::shared_ptr<bool> alive = FAlive;
    // The string is copied first: a raw handler that closes the port frees the buffer.
    std::string text;
    const bool wantsString = static_cast<bool>(FOnStringPacket);
    if (wantsString)
        text.assign(reinterpret_cast<const char*>(data), static_cast<size_t>(size));
    if (FOnPacket) {
        TPacketNotifyEvent handler = FOnPacket;
        RunEvent([&] { handler(this, data, size); });
        if (!*alive)
            return false;
    }
    if (wantsString && FOnStringPacket) {
        TStringPacketNotifyEvent handler = FOnStringPacket;
        RunEvent([&] { handler(this, text); });
    }
    return *alive;
}

void TApdDataPacket::PacketTimedOut()
{
    TApdDataPacketManager* manager = FManager;
    TInEventScope inEvent(manager);
    Log(dstPacketTimeout);
    SetEnabled(false);
    const bool discard = FDiscardOnTimeout;
    if (FOnTimeout) {
        TNotifyEvent handler = FOnTimeout;
        RunEvent([&] { handler(this); });
    }
    if (discard)
        manager->ConsumeData(0, manager->BufferCount());
}

void TApdDataPacket::DiscardOverlongPacket(int32_t end)
{
    TApdDataPacketManager* manager = FManager;
    const int32_t size = end - FPacketStart + 1;
    std::shared_ptr<bool> alive = FAlive;
    TInEventScope inEvent(manager);
    LogText(dstPacketTooLong, MessageForCode(ecPacketTooLong));
    SetEnabled(false);
    manager->ConsumeData(0, end + 1);
    if (FOnPacketTooLong) {
        TPacketTooLongEvent handler = FOnPacketTooLong;
        RunEvent([&] { handler(this, size); });
        if (!*alive)
            return;
    }
    // Matching goes on with the bytes that follow, whatever AutoEnable says: the detector did not
    // deliver anything, it only refused a packet no device sends.
    SetEnabled(true);
}

void TApdDataPacket::DataConsumed(int32_t end)
{
    if (!FEnabled || FPacketStart == -1)
        return;
    if (end > FPacketStart) {
        StartMatching();
        return;
    }
    // The partial match lies wholly behind the consumed bytes: it moves with them.
    FPacketStart -= end;
    if (FEndMatchStart != -1)
        FEndMatchStart -= end;
}

// ---- The manager ---------------------------------------------------------------------------------

namespace
{

constexpr char kManagerWindowClass[] = "TApdDataPacketManagerWindow";

} // namespace

template <typename TCall> void TApdDataPacketManager::ForEachPacket(TCall call)
{
    std::vector<std::pair<TApdDataPacket*, std::shared_ptr<bool>>> packets;
    packets.reserve(FPackets.size());
    for (TApdDataPacket* packet : FPackets)
        packets.emplace_back(packet, packet->FAlive);
    for (const auto& [packet, alive] : packets) {
        // The flag first: a freed detector's address may already belong to a new one.
        if (*alive && std::find(FPackets.begin(), FPackets.end(), packet) != FPackets.end())
            call(packet);
    }
}

TApdDataPacketManager::TApdDataPacketManager(TApdCustomComPort* port) : FPort(port)
{
    port->AddPortUser(TPortUserMethod::Of<&TApdDataPacketManager::PortEvent>(this));
    TApdDataPacketManagerList::Instance().AddManager(this);
    bool open = port->Open();
    if (open && !port->IsLoading() && !port->IsDesigning())
        SetActive(true);
    FActivationDeferred = open && !FActive && !port->IsDesigning();

    static const bool registered = [] {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = &TApdDataPacketManager::WindowProc;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = kManagerWindowClass;
        return RegisterClassA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    if (registered) {
        FWindow = CreateWindowExA(0, kManagerWindowClass, "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
        if (FWindow)
            SetWindowLongPtrA(FWindow, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
}

TApdDataPacketManager::~TApdDataPacketManager()
{
    FDestroying = true;
    TApdDataPacketManagerList::Instance().RemoveManager(this);
    DetachFromPort();
    ReleaseBuffer();
    if (FWindow) {
        SetWindowLongPtrA(FWindow, GWLP_USERDATA, 0);
        DestroyWindow(FWindow);
    }
}

void TApdDataPacketManager::DetachFromPort()
{
    if (!FPort)
        return;
    if (FPort->IsDestroying()) {
        // Its dispatcher and its users go with it.
        FHandlerInstalled = false;
        FHandlerDispatcher = nullptr;
        FTimerHandle = 0;
        FActive = false;
        ReleaseBuffer();
    } else {
        try {
            SetActive(false);
        } catch (...) {
            // A dispatcher that fails to dispose the timer cannot keep the manager attached.
            FActive = false;
        }
        FPort->RemovePortUser(TPortUserMethod::Of<&TApdDataPacketManager::PortEvent>(this));
    }
    FPort = nullptr;
}

TApdBaseDispatcher* TApdDataPacketManager::Dispatcher() const
{
    return FHandlerInstalled && FPort && FPort->Dispatcher() == FHandlerDispatcher ? FHandlerDispatcher
                                                                                   : nullptr;
}

void TApdDataPacketManager::AddPacket(TApdDataPacket* packet)
{
    FPackets.push_back(packet);
    packet->FManager = this;
    FDestroyWhenIdle = false;
}

void TApdDataPacketManager::RemovePacket(TApdDataPacket* packet)
{
    auto it = std::find(FPackets.begin(), FPackets.end(), packet);
    if (it != FPackets.end())
        FPackets.erase(it);
    if (FCollecting == packet) {
        FCollecting = nullptr;
        packet->FHoldsCollection = false;
    }
    packet->FManager = nullptr;
    if (FPackets.empty() && !FDestroying) {
        // The port may go before the message is handled; a detector that joins the port later
        // gets a manager of its own.
        if (!FInEvent)
            DetachFromPort();
        if (FWindow)
            PostMessageA(FWindow, kDestroyMessage, 0, 0);
    }
}

LRESULT TApdDataPacketManager::WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    if (message == WM_QUERYENDSESSION)
        return TRUE;
    if (message != kDestroyMessage)
        return DefWindowProcA(window, message, wParam, lParam);
    auto* manager = reinterpret_cast<TApdDataPacketManager*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    // A detector may have joined again since the message was posted.
    if (!manager || !manager->FPackets.empty())
        return 0;
    if (manager->FInEvent) {
        // Posted again when the event is over: posting it again at once would keep the queue
        // busy for as long as an event handler shows a message box.
        manager->FDestroyWhenIdle = true;
        return 0;
    }
    try {
        delete manager;
    } catch (...) {
    }
    return 0;
}

void TApdDataPacketManager::SetActive(bool value)
{
    if (value == FActive)
        return;
    if (value)
        InstallHandler();
    else
        RemoveHandler();
    FActive = value;
}

void TApdDataPacketManager::InstallHandler()
{
    if (FHandlerInstalled)
        return;
    TApdBaseDispatcher* dispatcher = FPort->ActiveDispatcher();
    if (!dispatcher)
        return;
    // On the user-interface thread, where the port closes and the detectors change: see the
    // header.
    dispatcher->AddMethodHandler(TApdNotifyMethod::Of<&TApdDataPacketManager::TriggerHandler>(this), true);
    FHandlerDispatcher = dispatcher;
    FHandlerInstalled = true;
    int32_t handle = dispatcher->NewTimerTrigger();
    FTimerHandle = handle > 0 ? handle : 0;
    if (handle < 0)
        RaiseOnError(nullptr, handle);
}

void TApdDataPacketManager::RemoveHandler()
{
    if (FHandlerInstalled && FPort && FPort->Dispatcher() == FHandlerDispatcher && FHandlerDispatcher) {
        if (FTimerHandle != 0)
            FHandlerDispatcher->DisposeTrigger(FTimerHandle);
        FTimerHandle = 0;
        FHandlerDispatcher->RemoveMethodHandler(
            TApdNotifyMethod::Of<&TApdDataPacketManager::TriggerHandler>(this));
    }
    FTimerHandle = 0;
    FHandlerInstalled = false;
    FHandlerDispatcher = nullptr;
    ReleaseBuffer();
}

void TApdDataPacketManager::ReleaseBuffer()
{
    std::vector<uint8_t>().swap(FBuffer);
    FHead = 0;
    FCount = 0;
}

void TApdDataPacketManager::PortEvent(TApdCustomComPort*, TPortUserEvent event)
{
    // Settings that cannot start are shown, not thrown through the port's open or close.
    try {
        if (event == pueOpened) {
            SetActive(true);
            // Each on its own: one whose settings cannot start leaves the others working.
            ForEachPacket([](TApdDataPacket* packet) {
                if (!packet->Enabled())
                    return;
                try {
                    packet->StartMatching();
                } catch (...) {
                    Application::HandleException();
                }
            });
        } else {
            // Stopping the collector offers its bytes to the others, which may deliver.
            ForEachPacket([](TApdDataPacket* packet) { packet->StopMatching(); });
            SetActive(false);
        }
    } catch (...) {
        Application::HandleException();
    }
}

void TApdDataPacketManager::TriggerHandler(UINT message, WPARAM wParam, LPARAM)
{
    try {
        HandleTrigger(message, wParam);
    } catch (...) {
        Application::HandleException();
    }
}

void TApdDataPacketManager::HandleTrigger(UINT message, WPARAM wParam)
{
    TApdBaseDispatcher* dispatcher = Dispatcher();
    if (!dispatcher || !FActive)
        return;
    if (message == TApdBaseDispatcher::MsgTriggerAvail) {
        auto count = static_cast<int32_t>(wParam);
        if (count <= 0)
            return;
        int32_t capacity = BufferCapacity();
        if (FHead + FCount + count >= capacity) {
            if (FHead > 0) {
                std::memmove(FBuffer.data(), FBuffer.data() + FHead, static_cast<size_t>(FCount));
                FHead = 0;
            }
            while (FCount + count >= capacity)
                capacity += kBufferStep;
            FBuffer.resize(static_cast<size_t>(capacity));
        }
        int32_t taken = dispatcher->TakeBlock(FBuffer.data() + FHead + FCount, count);
        if (taken <= 0) {
            if (FCount == 0)
                ReleaseBuffer();
            return;
        }
        int32_t from = FCount;
        FCount += taken;
        ProcessBuffer(from);
    } else if (message == TApdBaseDispatcher::MsgTriggerTimer) {
        // The expiry waited for this thread; meanwhile the collection may have been given back
        // and claimed anew, with another time-out or none.
        if (static_cast<int32_t>(wParam) != FTimerHandle || FTimerHandle == 0 || !FCollecting ||
            FClaimTimeout <= 0)
            return;
        // Summed at every expiry, which comes at most the timer's longest reach after the last:
        // each stretch fits the 32-bit clock, the sum also a time-out longer than its wrap.
        const uint32_t now = MillisecondClock();
        FClaimElapsedMs += now - FClaimMarkMs;
        FClaimMarkMs = now;
        const uint64_t allowed = static_cast<uint64_t>(FClaimTimeout) * kTickMs;
        if (FClaimElapsedMs >= allowed) {
            FCollecting->PacketTimedOut();
            return;
        }
        // Further than the dispatcher's timer reaches, or a late expiry of an earlier claim:
        // armed again for what is left.
        const uint64_t left = (allowed - FClaimElapsedMs + kTickMs - 1) / kTickMs;
        int32_t result = dispatcher->ArmTimerTrigger(
            FTimerHandle, static_cast<int32_t>(std::min<uint64_t>(left, INT32_MAX)), true);
        if (result < 0)
            RaiseOnError(nullptr, result);
    }
}

namespace
{

// Marks a pass of ProcessBuffer as running, however it ends.
struct TProcessingScope {
    bool& Flag;
    explicit TProcessingScope(bool& flag) : Flag(flag) { Flag = true; }
    ~TProcessingScope() { Flag = false; }
};

} // namespace

void TApdDataPacketManager::ProcessBuffer(int32_t start)
{
    if (FInEvent) {
        // Bytes before an earlier pending start must not be skipped when the event is over.
        FPendingStart = FDataPending ? std::min(FPendingStart, start) : start;
        FDataPending = true;
        return;
    }
    if (FProcessing) {
        // Asked from inside a pass (a delivery has ended and consumed bytes): the running pass
        // starts over, instead of a nested pass for each packet of the arrival.
        FRescanStart = FRescan ? std::min(FRescanStart, start) : start;
        FRescan = true;
        return;
    }
    {
        TProcessingScope processing(FProcessing);
        for (;;) {
            FRescan = false;
            if (FCount == 0)
                break;
            if (FCollecting) {
                FCollecting->ScanData(start);
            } else {
                bool stop = false;
                ForEachPacket([&](TApdDataPacket* packet) {
                    if (stop)
                        return;
                    packet->ScanData(start);
                    stop = FCollecting || FCount == 0 || FRescan;
                });
            }
            if (!FRescan)
                break;
            start = FRescanStart;
        }
    }
    DropUnclaimed();
}

void TApdDataPacketManager::DropUnclaimed()
{
    if (FCollecting || FCount == 0 || FInEvent)
        return;
    int32_t keep = -1;
    for (TApdDataPacket* packet : FPackets) {
        if (packet->Enabled() && packet->InPartialStart())
            keep = keep == -1 ? packet->PacketStart() : std::min(keep, packet->PacketStart());
    }
    if (keep == -1) {
        // Held bytes that belong to no packet are thrown away.
        ReleaseBuffer();
    } else if (keep > 0) {
        // Only what a partial start match may still need is kept, so a line that keeps repeating
        // the beginning of a start string does not make the buffer grow.
        ConsumeData(0, keep);
    }
}

void TApdDataPacketManager::ConsumeData(int32_t start, int32_t length)
{
    int32_t end = std::clamp(start + length, 0, FCount);
    if (end == 0)
        return;
    FCount -= end;
    if (FCount == 0)
        ReleaseBuffer();
    else
        FHead += end;
    if (FInEvent) {
        // What is left is offered to every detector again from the start once the event is over.
        FPendingStart = 0;
        FDataPending = true;
    }
    ForEachPacket([end](TApdDataPacket* packet) {
        try {
            packet->DataConsumed(end);
        } catch (...) {
            Application::HandleException();
        }
    });
}

void TApdDataPacketManager::ClaimCollection(TApdDataPacket* packet, int32_t timeout)
{
    FCollecting = packet;
    FClaimTimeout = timeout;
    FClaimMarkMs = MillisecondClock();
    FClaimElapsedMs = 0;
    if (timeout != 0 && FTimerHandle != 0) {
        if (TApdBaseDispatcher* dispatcher = Dispatcher())
            dispatcher->ArmTimerTrigger(FTimerHandle, timeout, true);
    }
    packet->FHoldsCollection = true;
    ForEachPacket([packet](TApdDataPacket* other) {
        if (other == packet)
            return;
        // One detector whose settings cannot start must not cut short the scan that claimed.
        try {
            other->RestartMatching();
        } catch (...) {
            Application::HandleException();
        }
    });
}

void TApdDataPacketManager::ReleaseCollection(TApdDataPacket* packet)
{
    // The collection is given back before anything can fail: a manager that still named a
    // collector that has stopped would offer its bytes to nobody.
    FCollecting = nullptr;
    FClaimTimeout = 0;
    packet->FHoldsCollection = false;
    int32_t result = 0;
    if (FTimerHandle != 0) {
        if (TApdBaseDispatcher* dispatcher = Dispatcher())
            result = dispatcher->ArmTimerTrigger(FTimerHandle, 0, false);
    }
    ProcessBuffer(0);
    if (result < 0)
        RaiseOnError(nullptr, result);
}

void TApdDataPacketManager::SetInEvent(bool value)
{
    if (value == FInEvent)
        return;
    FInEvent = value;
    // Each detector is stopped or started on its own: one that cannot start (its settings were
    // changed inside the event) is reported and leaves the others and the pending bytes alone.
    ForEachPacket([value](TApdDataPacket* packet) {
        if (!packet->Enabled())
            return;
        try {
            if (value)
                packet->StopMatching();
            else
                packet->StartMatching();
        } catch (...) {
            Application::HandleException();
        }
    });
    if (value)
        return;
    const bool pending = FDataPending;
    FDataPending = false;
    if (pending && FCount > 0)
        ProcessBuffer(FPendingStart);
    if (FPackets.empty() && !FDestroying) {
        // The last detector left during the event: the port is let go now, the manager itself
        // when its message comes.
        DetachFromPort();
        if (FDestroyWhenIdle && FWindow) {
            FDestroyWhenIdle = false;
            PostMessageA(FWindow, kDestroyMessage, 0, 0);
        }
    }
}

// ---- The list ------------------------------------------------------------------------------------

TApdDataPacketManagerList& TApdDataPacketManagerList::Instance()
{
    static TApdDataPacketManagerList list;
    return list;
}

TApdDataPacketManagerList::~TApdDataPacketManagerList()
{
    // At program end: the ports may be gone already, and so may the window machinery.
    while (!FManagers.empty()) {
        TApdDataPacketManager* manager = FManagers.back();
        manager->FPort = nullptr;
        manager->FHandlerInstalled = false;
        manager->FWindow = nullptr;
        delete manager;
    }
}

void TApdDataPacketManagerList::AddManager(TApdDataPacketManager* manager) { FManagers.push_back(manager); }

void TApdDataPacketManagerList::RemoveManager(TApdDataPacketManager* manager)
{
    auto it = std::find(FManagers.begin(), FManagers.end(), manager);
    if (it != FManagers.end())
        FManagers.erase(it);
}

TApdDataPacketManager* TApdDataPacketManagerList::GetPortManager(TApdCustomComPort* port) const
{
    for (TApdDataPacketManager* manager : FManagers) {
        if (manager->FPort == port)
            return manager;
    }
    return nullptr;
}
