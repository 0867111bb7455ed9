// The user-interface thread and its hidden runtime window: other threads hand it calls and error
// texts through this window, and it runs them whenever it dispatches its platform queue.
#include "runtime/Exception.h"
#include "runtime/Runtime_p.h"
#include "runtime/Thread.h"

#include <atomic>
#include <mutex>
#include <string>

namespace
{

constexpr const char* kWindowClass = "LintakerRuntimeWindow";

// Until InitMainThread runs, the thread that ran the static initialisers (the process's first
// thread) counts as the user-interface thread, so that IsMainThread is right from the start.
const DWORD kFirstThreadId = GetCurrentThreadId();

std::atomic<DWORD> gMainThreadId{0};
// Read by any thread that hands a call over; written only under gInitLock by the user-interface
// thread. Cleared before the window is destroyed, so late senders fail instead of waiting.
std::atomic<HWND> gWindow{nullptr};
// Taken with no lock of the stack held; under it only the platform's window calls (and their
// queue lock).
std::mutex gInitLock;

LRESULT RuntimeWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case runtime::kMsgSynchronize: {
        auto* call = reinterpret_cast<runtime::TSyncCall*>(lParam);
        // Nothing may escape into the platform's dispatch: the sender gets the exception instead.
        try {
            call->Method();
        } catch (...) {
            call->Error = std::current_exception();
        }
        return runtime::kSyncDone;
    }
    case runtime::kMsgShowErrors:
        runtime::ShowPendingErrors();
        return 0;
    default:
        return DefWindowProcA(window, message, wParam, lParam);
    }
}

} // namespace

HWND runtime::RuntimeWindow() { return gWindow.load(std::memory_order_acquire); }

void InitMainThread()
{
    std::lock_guard lock(gInitLock);
    const DWORD self = GetCurrentThreadId();
    if (gWindow.load()) {
        if (gMainThreadId.load() == self)
            return;
        throw Exception("Another thread is already the user-interface thread");
    }
    WNDCLASSA windowClass{};
    windowClass.lpfnWndProc = RuntimeWindowProc;
    windowClass.hInstance = GetModuleHandleA(nullptr);
    windowClass.lpszClassName = kWindowClass;
    if (!RegisterClassA(&windowClass) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS)
        throw EInOutError("The runtime window class cannot be registered", static_cast<int>(GetLastError()));
    HWND window = CreateWindowExA(0, kWindowClass, "", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                  GetModuleHandleA(nullptr), nullptr);
    if (!window)
        throw EInOutError("The runtime window cannot be created", static_cast<int>(GetLastError()));
    gMainThreadId.store(self);
    gWindow.store(window, std::memory_order_release);
}

void ShutdownMainThread()
{
    HWND window = nullptr;
    {
        std::lock_guard lock(gInitLock);
        if (gMainThreadId.load() != GetCurrentThreadId())
            return;
        window = gWindow.exchange(nullptr, std::memory_order_acq_rel);
    }
    if (!window)
        return;
    // Calls already sent still run (their senders are waiting for them), and texts already posted
    // are still shown; only the runtime window's own messages are taken here. The lock is not held:
    // those calls are the program's code and may ask for the user-interface thread themselves.
    MSG msg;
    while (PeekMessageA(&msg, window, 0, 0, PM_REMOVE))
        DispatchMessageA(&msg);
    DestroyWindow(window);
    runtime::FlushPendingErrors();
}

bool IsMainThread() { return GetCurrentThreadId() == MainThreadId(); }

DWORD MainThreadId()
{
    const DWORD id = gMainThreadId.load(std::memory_order_acquire);
    return id ? id : kFirstThreadId;
}

void TThread::Synchronize(TThread*, std::function<void()> method)
{
    if (!method)
        return;
    if (IsMainThread()) {
        method();
        return;
    }
    HWND window = runtime::RuntimeWindow();
    if (!window)
        throw Exception("There is no user-interface thread to run the call");
    runtime::TSyncCall call{std::move(method), nullptr};
    // No time-out: the call has to run for the caller to go on, and every wait of the
    // user-interface thread for another thread dispatches its queue, so it does run.
    if (SendMessageA(window, runtime::kMsgSynchronize, 0, reinterpret_cast<LPARAM>(&call)) !=
        runtime::kSyncDone)
        throw Exception("The user-interface thread ended before it ran the call");
    if (call.Error)
        std::rethrow_exception(call.Error);
}
