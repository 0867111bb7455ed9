// The port component's life: opening and closing the line, the hidden window through which the
// dispatcher's notifications and a deferred close reach the user-interface thread, and the port
// users told of every open and close.
#include "serial/port/ApdComPort.h"

#include "runtime/Application.h"
#include "runtime/Thread.h"
#include "serial/device/ApdWin32Dispatcher.h"
#include "serial/dispatch/DeviceRegistry.h"
#include "serial/port/AdSelCom.h"
#include "serial/port/ApdExceptions.h"

#include <algorithm>
#include <exception>

namespace
{

constexpr int32_t ecFileNotFound = -2;
constexpr int32_t ecPathNotFound = -3;
constexpr int32_t ecAccessDenied = -5;
constexpr int32_t ecBadId = -2001;
constexpr int32_t ecAlreadyOpen = -2008;
constexpr int32_t ecNoPortSelected = -2011;
constexpr int32_t ecInternal = -1006;
constexpr int32_t ecNullApi = -3001;

// While a closing port waits for its dispatcher's threads, its window looks again at most this
// often; the wait ends early when other input comes, so nothing else is held up by it.
constexpr DWORD kClosingRecheckMs = 10;

// Registered once per process, on first use.
bool RegisterComWindowClass(WNDPROC procedure)
{
    static const bool registered = [procedure] {
        WNDCLASSA windowClass{};
        windowClass.lpfnWndProc = procedure;
        windowClass.cbWndExtra = 4;
        windowClass.hInstance = GetModuleHandleA(nullptr);
        windowClass.lpszClassName = TApdCustomComPort::kComWindowClass;
        return RegisterClassA(&windowClass) != 0 || GetLastError() == ERROR_CLASS_ALREADY_EXISTS;
    }();
    return registered;
}

// Runs one message of the calling thread's queue; a quit request stays for the caller's loop.
void ProcessOneMessage()
{
    MSG message;
    if (!PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE))
        return;
    if (message.message == WM_QUIT) {
        PostQuitMessage(static_cast<int>(message.wParam));
        return;
    }
    TranslateMessage(&message);
    DispatchMessageA(&message);
}

LPARAM ClosingParam(int32_t dispatcherHandle)
{
    return static_cast<LPARAM>(static_cast<uint32_t>(dispatcherHandle & 0xFFFF) << 16);
}

} // namespace

TApdCustomComPort::~TApdCustomComPort()
{
    Destroying();
    try {
        if (FPortPhase == ppOpen)
            ClosePort();
    } catch (...) {
        Application::HandleException();
    }
    if (FPortPhase != ppClosed) {
        // A close still waiting for the dispatcher's threads: the window goes first, so that
        // nothing reaches this port while the dispatcher's release waits for them.
        ManageNotifyWindow(false);
        std::unique_ptr<TApdBaseDispatcher> dispatcher = std::move(FDispatcher);
        dispatcher.reset();
        FPortPhase = ppClosed;
        FOpen = false;
    }
    while (!FPortUsers.empty())
        FPortUsers.pop_back();
    TApdBaseDispatcher::FreeSnapshot(FSavedTriggers);
}

// ---- Open ------------------------------------------------------------------------------------------

void TApdCustomComPort::SetOpen(bool value)
{
    if (value == FOpen)
        return;
    if (IsLoading() || IsDesigning()) {
        FOpen = value;
        if (value)
            FOpenAfterLoad = true;
        return;
    }
    if (!value)
        ClosePort();
    else if (FPortPhase == ppClosed)
        PerformOpen();
    else
        FOpenAfterClose = true; // carried out once the close has been finished
}

void TApdCustomComPort::Loaded()
{
    TApdBaseComponent::Loaded();
    if (IsDesigning())
        return;
    if (FOpenAfterLoad)
        FOpen = true;
    if (!FOpen)
        return;
    FOpenAfterLoad = false;
    try {
        PerformOpen();
    } catch (...) {
        // Loading goes on: a port that cannot open is reported, not a reason to fail the window.
        FOpen = false;
        Application::HandleException();
    }
}

void TApdCustomComPort::EnsureComNumber()
{
    if (FComNumber != 0)
        return;
    uint16_t chosen = 0;
    if (!FPromptForPort || !SelectPortInteractively(chosen) || chosen == 0)
        throw ENoPortSelected(ecNoPortSelected);
    FComNumber = chosen;
}

bool TApdCustomComPort::SelectPortInteractively(uint16_t& comNumber)
{
    return ExecuteComSelectForm(comNumber);
}

std::unique_ptr<TApdBaseDispatcher> TApdCustomComPort::CreateDispatcher()
{
    // Neither sockets nor a telephony line have a device layer here.
    if (FDeviceLayer != dlWin32 || FTapiMode == tmOn)
        throw ENullApi(ecNullApi);
    return std::make_unique<TApdWin32Dispatcher>(this);
}

int32_t TApdCustomComPort::OpenLine()
{
    uint8_t options = 0;
    if (FDTR)
        options |= TApdBaseDispatcher::kOptionDtrOn;
    if (FRTS)
        options |= TApdBaseDispatcher::kOptionRtsOn;
    if (FHWFlowOptions.Contains(hwfUseDTR))
        options |= TApdBaseDispatcher::kOptionDtrAuto;
    if (FHWFlowOptions.Contains(hwfUseRTS))
        options |= TApdBaseDispatcher::kOptionRtsAuto;
    return FDispatcher->OpenDispatcher(
        "\\\\.\\COM" + std::to_string(FComNumber), static_cast<uint32_t>(FBaud),
        static_cast<uint8_t>(FParity), static_cast<uint8_t>(std::min<int>(FDataBits, 255)),
        static_cast<uint8_t>(std::min<int>(FStopBits, 255)), FInSize, FOutSize, options);
}

void TApdCustomComPort::PerformOpen()
{
    if (FTapiMode != tmOn)
        EnsureComNumber();
    FDispatcher = CreateDispatcher();
    FDispatcher->SetDeviceName("COM" + std::to_string(FComNumber));
    try {
        int32_t result = OpenLine();
        // The device's own answers say which port is meant: held by another program, or absent.
        if (result == ecAccessDenied)
            result = ecAlreadyOpen;
        else if (result == ecFileNotFound || result == ecPathNotFound)
            result = ecBadId;
        if (result != 0)
            CheckResult(result);

        FPortPhase = ppOpen;
        RefreshTriggerInterest();
        ApplySettings();
        FOpen = true;
        ManageNotifyWindow(true);
        if (FHasSavedTriggers) {
            FHasSavedTriggers = false;
            FDispatcher->RestoreTriggers(FSavedTriggers);
        }
        NotifyPortOpened();
    } catch (...) {
        // A failed open leaves the port as it was before: closed, with no dispatcher and no window.
        if (FNotifyWindow)
            ManageNotifyWindow(false);
        FOpen = false;
        FPortPhase = ppClosed;
        std::unique_ptr<TApdBaseDispatcher> dispatcher = std::move(FDispatcher);
        dispatcher.reset();
        throw;
    }
}

// ---- The notification window -----------------------------------------------------------------------

void TApdCustomComPort::ManageNotifyWindow(bool create)
{
    if (create) {
        if (!RegisterComWindowClass(&NotifyWindowProc))
            throw EInternal(ecInternal);
        HWND window = CreateWindowExA(0, kComWindowClass, "", 0, 0, 0, 0, 0, nullptr, nullptr,
                                      GetModuleHandleA(nullptr), nullptr);
        if (!window)
            throw EInternal(ecInternal);
        FNotifyWindow = window;
        FDispatcher->AddWindowHandler(window);
        // A device lost during the open is told now, to this window.
        FDispatcher->SetDeviceGoneWindow(window);
        return;
    }
    if (!FNotifyWindow)
        return;
    if (FDispatcher) {
        FDispatcher->SetDeviceGoneWindow(nullptr);
        FDispatcher->RemoveWindowHandler(FNotifyWindow);
    }
    DestroyWindow(FNotifyWindow);
    FNotifyWindow = nullptr;
}

LRESULT TApdCustomComPort::NotifyWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    bool trigger =
        message >= TApdBaseDispatcher::MsgTriggerAvail && message <= TApdBaseDispatcher::MsgTriggerStatus;
    if (!trigger && message != MsgPortClosing && message != TApdBaseDispatcher::MsgDeviceGone)
        return DefWindowProcA(window, message, wParam, lParam);

    bool repost = false;
    try {
        TApdCustomComPort* gone = nullptr;
        {
            // The registry lock keeps the dispatcher found here registered while it is used.
            TRegistryLock lock;
            int32_t handle = static_cast<int32_t>((static_cast<uint64_t>(lParam) >> 16) & 0xFFFF);
            if (handle >= DeviceRegistry::Count())
                return 0;
            TApdBaseDispatcher* dispatcher = DeviceRegistry::At(handle);
            TApdCustomComPort* port = dispatcher ? dispatcher->Owner() : nullptr;
            // A message left over from a dispatcher the port no longer has must not act on its new one.
            if (!port || port->FDispatcher.get() != dispatcher || port->FNotifyWindow != window)
                return 0;
            if (message == MsgPortClosing) {
                if (port->FPortPhase != ppClosing)
                    return 0;
                if (dispatcher->AreThreadsRunning())
                    repost = true;
                else
                    port->CompleteDeferredClose();
            } else if (message == TApdBaseDispatcher::MsgDeviceGone) {
                // Only for the open port whose very dispatcher lost its device.
                if (port->FPortPhase == ppOpen && dispatcher->IsDeviceGone())
                    gone = port;
            } else {
                port->HandleTriggerMessage(message, wParam, lParam);
            }
        }
        // Raised without the registry lock: its handler may close the port and wait, pumping,
        // for the dispatcher's threads; a process-wide lock is not held through that.
        if (gone)
            gone->NotifyPortGone();
    } catch (...) {
        if (IsMainThread())
            Application::HandleException();
    }
    if (repost) {
        // The threads leave within a few dispatch cycles; looking again at once would only spin.
        MsgWaitForMultipleObjects(0, nullptr, FALSE, kClosingRecheckMs, QS_ALLINPUT);
        PostMessageA(window, MsgPortClosing, 0, lParam);
    }
    return 0;
}

// ---- Close -----------------------------------------------------------------------------------------

void TApdCustomComPort::ClosePort()
{
    if (FPortPhase != ppOpen)
        return;

    // The close goes through to the end whatever a file or a user raises on the way: a port left
    // half-closed could be neither closed nor opened again. The first failure is raised at the end.
    std::exception_ptr failure;
    auto keep = [&failure] {
        if (!failure)
            failure = std::current_exception();
    };
    try {
        SetTracing(tlDump);
    } catch (...) {
        keep();
        FTracing = tlOff; // the trace goes with the dispatcher
    }
    try {
        SetLogging(tlDump);
    } catch (...) {
        keep();
        FLogging = tlOff;
    }

    FPortPhase = ppClosing;
    try {
        NotifyPortClosing();
    } catch (...) {
        keep();
    }

    FDispatcher->SaveTriggers(FSavedTriggers);
    FHasSavedTriggers = true;
    FDispatcher->CloseDispatcher();

    if (FDispatcher->IsNotifying()) {
        // Asked from inside a notification the dispatcher is delivering: it cannot be freed under
        // its own dispatch thread. The window finishes the close once the threads have gone.
        PostMessageA(FNotifyWindow, MsgPortClosing, 0, ClosingParam(FDispatcher->Handle()));
        ProcessOneMessage();
    } else {
        FinishClose();
    }

    try {
        NotifyPortClosed();
    } catch (...) {
        keep();
    }
    if (failure)
        std::rethrow_exception(failure);
}

void TApdCustomComPort::FinishClose()
{
    ManageNotifyWindow(false);
    // Dropped before it is freed: whatever runs while its release waits for the threads finds
    // the port without a dispatcher.
    std::unique_ptr<TApdBaseDispatcher> dispatcher = std::move(FDispatcher);
    dispatcher.reset();
    FPortPhase = ppClosed;
    FOpen = false;
}

void TApdCustomComPort::CompleteDeferredClose()
{
    FinishClose();
    if (FOpenAfterClose) {
        FOpenAfterClose = false;
        PerformOpen();
    }
}

// ---- Port users ------------------------------------------------------------------------------------

void TApdCustomComPort::AddUser(TPortUser user)
{
    user.Id = FNextUserId++;
    FPortUsers.push_back(user);
}

void TApdCustomComPort::AddPortUser(TPortUserMethod handler)
{
    TPortUser user;
    user.Extended = handler;
    user.IsExtended = true;
    AddUser(user);
}

void TApdCustomComPort::RemovePortUser(TPortUserMethod handler)
{
    if (IsDestroying())
        return;
    for (size_t i = FPortUsers.size(); i-- > 0;) {
        const TPortUser& user = FPortUsers[i];
        if (!user.Window && user.IsExtended && user.Extended.SameRoutine(handler))
            FPortUsers.erase(FPortUsers.begin() + static_cast<ptrdiff_t>(i));
    }
}

void TApdCustomComPort::AddPortUserWindow(HWND window, bool extended)
{
    TPortUser user;
    user.Window = window;
    user.IsExtended = extended;
    AddUser(user);
}

void TApdCustomComPort::RemovePortUserWindow(HWND window)
{
    if (IsDestroying())
        return;
    std::erase_if(FPortUsers, [window](const TPortUser& user) { return user.Window == window; });
}

void TApdCustomComPort::AddPortUserCallback(TPortCallback handler)
{
    TPortUser user;
    user.Callback = handler;
    AddUser(user);
}

void TApdCustomComPort::RemovePortUserCallback(TPortCallback handler)
{
    if (IsDestroying())
        return;
    std::erase_if(FPortUsers, [&handler](const TPortUser& user) {
        return !user.Window && !user.IsExtended && user.Callback.SameRoutine(handler);
    });
}

void TApdCustomComPort::NotifyUsers(TUserNotice notice)
{
    // A user may add or remove users while it is told; the walk goes over the list as it was and
    // skips whoever has left since.
    std::vector<TPortUser> users = FPortUsers;
    for (auto it = users.rbegin(); it != users.rend(); ++it) {
        const TPortUser& user = *it;
        bool present = std::any_of(FPortUsers.begin(), FPortUsers.end(),
                                   [&user](const TPortUser& u) { return u.Id == user.Id; });
        if (!present)
            continue;
        if (notice == unClosing && !user.IsExtended)
            continue;
        if (user.Window) {
            UINT message = notice == unOpened    ? MsgPortOpened
                           : notice == unClosing ? MsgPortClosing
                                                 : MsgPortClosed;
            SendMessageA(user.Window, message, 0, 0);
        } else if (user.IsExtended) {
            if (user.Extended)
                user.Extended(this, notice == unOpened    ? pueOpened
                                    : notice == unClosing ? pueClosing
                                                          : pueClosed);
        } else if (user.Callback) {
            user.Callback(this, notice == unOpened);
        }
    }
}

void TApdCustomComPort::NotifyPortOpened()
{
    NotifyUsers(unOpened);
    if (FOnPortOpen)
        FOnPortOpen(this);
}

void TApdCustomComPort::NotifyPortClosing() { NotifyUsers(unClosing); }

void TApdCustomComPort::NotifyPortGone()
{
    if (FOnPortGone)
        FOnPortGone(this);
}

void TApdCustomComPort::NotifyPortClosed()
{
    NotifyUsers(unClosed);
    if (FOnPortClose)
        FOnPortClose(this);
}

// ---- Changing the port of an open line, copying a port ---------------------------------------------

void TApdCustomComPort::SetComNumber(uint16_t value)
{
    if (value == FComNumber)
        return;
    bool wasOpen = FPortPhase == ppOpen;
    TTraceLogState tracing = FTracing;
    TTraceLogState logging = FLogging;
    if (wasOpen) {
        FDispatcher->SaveTriggers(FSavedTriggers);
        try {
            SetOpen(false);
        } catch (...) {
            FComNumber = value; // the line is closed all the same
            throw;
        }
    }
    FComNumber = value;
    if (!wasOpen)
        return;
    SetTracing(tracing);
    SetLogging(logging);
    if (FPortPhase == ppClosing) {
        // The close waits for the dispatcher's threads; the line reopens on the new number then.
        FOpenAfterClose = true;
        return;
    }
    // The reopen restores the triggers saved by the close. They are not restored a second time
    // afterwards: that would throw away the triggers the users made when told of the open.
    SetOpen(true);
}

void TApdCustomComPort::Assign(const TApdCustomComPort& source)
{
    if (&source == this)
        return;
    // Settings are copied as plain values, which only a closed port can take.
    if (FPortPhase == ppOpen)
        ClosePort();

    FPortUsers.clear();
    for (const TPortUser& user : source.FPortUsers)
        AddUser(user);
    if (source.FPortPhase == ppOpen && source.FDispatcher) {
        source.FDispatcher->SaveTriggers(FSavedTriggers);
        FHasSavedTriggers = true;
    }
    FDeviceLayer = source.FDeviceLayer;
    FComNumber = source.FComNumber;
    FBaud = source.FBaud;
    FParity = source.FParity;
    FDataBits = source.FDataBits;
    FStopBits = source.FStopBits;
    FInSize = source.FInSize;
    FOutSize = source.FOutSize;
    FAutoOpen = source.FAutoOpen;
    FPromptForPort = source.FPromptForPort;
    FRS485Mode = source.FRS485Mode;
    FThreadPriorityBoost = source.FThreadPriorityBoost;
    FDTR = source.FDTR;
    FRTS = source.FRTS;
    FBufferFull = source.FBufferFull;
    FBufferResume = source.FBufferResume;
    FHWFlowOptions = source.FHWFlowOptions;
    FSWFlowOptions = source.FSWFlowOptions;
    FXOnChar = source.FXOnChar;
    FXOffChar = source.FXOffChar;
    // A closed port keeps no trace or log state other than "on at the next open".
    FTracing = source.FTracing == tlOn ? tlOn : tlOff;
    FTraceSize = source.FTraceSize;
    FTraceName = source.FTraceName;
    FTraceHex = source.FTraceHex;
    FTraceAllHex = source.FTraceAllHex;
    FLogging = source.FLogging == tlOn ? tlOn : tlOff;
    FLogSize = source.FLogSize;
    FLogName = source.FLogName;
    FLogHex = source.FLogHex;
    FLogAllHex = source.FLogAllHex;
    FAvailTriggerLength = source.FAvailTriggerLength;
    FForceApply = source.FForceApply;
    FTapiMode = source.FTapiMode;
    SetOnTrigger(source.FOnTrigger);
    SetOnTriggerAvail(source.FOnTriggerAvail);
    SetOnTriggerData(source.FOnTriggerData);
    SetOnTriggerStatus(source.FOnTriggerStatus);
    SetOnTriggerTimer(source.FOnTriggerTimer);
    FOnPortOpen = source.FOnPortOpen;
    FOnPortClose = source.FOnPortClose;
    FOnPortGone = source.FOnPortGone;
    if (FPortPhase == ppClosed)
        FOpen = false;
}
