// Window messages and hidden windows on POSIX: per-thread message queues, window classes whose
// procedures run the messages of their windows, sent calls between threads, and the hook through
// which a queue wakes the event loop of the thread that owns it.
#pragma once

#include "platform/posix/win32_base.h"
#include "platform/posix/win32_sync.h"

#include <functional>

struct HICON__;
using HICON = HICON__*;
using HCURSOR = HICON;
struct HBRUSH__;
using HBRUSH = HBRUSH__*;
struct HMENU__;
using HMENU = HMENU__*;
using ATOM = WORD;
using PDWORD_PTR = DWORD_PTR*;

using WNDPROC = LRESULT (*)(HWND, UINT, WPARAM, LPARAM);

struct POINT {
    LONG x;
    LONG y;
};

struct MSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time; // GetTickCount when posted
    POINT pt;   // always 0, 0: there is no pointer on hidden windows
};
using LPMSG = MSG*;

struct WNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra; // bytes reachable with GetWindowLongA(window, 0 .. cbWndExtra - 4)
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
};

/// What WM_CREATE carries in lParam.
struct CREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
};

#define HWND_MESSAGE (reinterpret_cast<HWND>(static_cast<intptr_t>(-3)))

constexpr UINT WM_NULL = 0x0000;
constexpr UINT WM_CREATE = 0x0001;
constexpr UINT WM_DESTROY = 0x0002;
constexpr UINT WM_CLOSE = 0x0010;
constexpr UINT WM_QUERYENDSESSION = 0x0011;
constexpr UINT WM_QUIT = 0x0012;
constexpr UINT WM_TIMER = 0x0113;
constexpr UINT WM_USER = 0x0400;
constexpr UINT WM_APP = 0x8000;

constexpr UINT PM_NOREMOVE = 0x0000;
constexpr UINT PM_REMOVE = 0x0001;
constexpr UINT PM_NOYIELD = 0x0002;

constexpr UINT SMTO_NORMAL = 0x0000;
/// The sender runs no calls sent to it while it waits (as on Windows); without it, it does.
constexpr UINT SMTO_BLOCK = 0x0001;
/// Fails at once (ERROR_TIMEOUT) when the receiving thread has not looked at its queue for 5 s.
constexpr UINT SMTO_ABORTIFHUNG = 0x0002;

constexpr int GWL_WNDPROC = -4;
constexpr int GWL_USERDATA = -21;
constexpr int GWLP_WNDPROC = -4;
constexpr int GWLP_USERDATA = -21;

// Error numbers of the window calls.
constexpr DWORD ERROR_CLASS_DOES_NOT_EXIST = 1411;
constexpr DWORD ERROR_CLASS_HAS_WINDOWS = 1412;
constexpr DWORD ERROR_INVALID_INDEX = 1413;
constexpr DWORD ERROR_INVALID_THREAD_ID = 1444;
constexpr DWORD ERROR_NOT_ENOUGH_QUOTA = 1816;
constexpr DWORD ERROR_MOD_NOT_FOUND = 126;

/// nullptr: a stand-in for the program's instance handle (window classes are kept per process);
/// any other name fails with ERROR_MOD_NOT_FOUND.
HINSTANCE GetModuleHandleA(LPCSTR moduleName);

/// @return the class atom, or 0: ERROR_CLASS_ALREADY_EXISTS, ERROR_INVALID_PARAMETER (no name or
/// procedure, negative or over 1024 extra bytes). Class names compare without regard to case.
ATOM RegisterClassA(const WNDCLASSA* windowClass);
/// Fails with ERROR_CLASS_DOES_NOT_EXIST, or ERROR_CLASS_HAS_WINDOWS while windows of it exist.
BOOL UnregisterClassA(LPCSTR className, HINSTANCE instance);

/// Creates a hidden window of the class, owned by the calling thread: its messages run on this
/// thread, in the class's procedure, which receives WM_CREATE before this returns (-1 from it
/// fails the creation). Position, size, parent and menu are kept by nobody.
/// @return the window, or nullptr (ERROR_CANNOT_FIND_WND_CLASS).
HWND CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y, int width,
                     int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID parameter);
/// Sends WM_DESTROY, then removes the window; its posted messages are dropped and calls sent to
/// it that have not run fail. Thread: the owning thread only (ERROR_ACCESS_DENIED otherwise).
/// Windows still there when their thread ends are removed the same way, without WM_DESTROY: the
/// objects their procedures would reach may be gone by then.
BOOL DestroyWindow(HWND window);
BOOL IsWindow(HWND window);

/// index GWL_USERDATA, or a byte offset into the class's window extra bytes.
/// Failure: 0 with ERROR_INVALID_WINDOW_HANDLE or ERROR_INVALID_INDEX.
LONG GetWindowLongA(HWND window, int index);
/// @return the previous value.
LONG SetWindowLongA(HWND window, int index, LONG value);
/// Pointer-sized: also GWLP_WNDPROC (replaces the window's procedure).
LONG_PTR GetWindowLongPtrA(HWND window, int index);
LONG_PTR SetWindowLongPtrA(HWND window, int index, LONG_PTR value);

/// Queues a message for the window's thread (window nullptr: the calling thread's queue, as a
/// thread message). Fails with ERROR_INVALID_WINDOW_HANDLE, or ERROR_NOT_ENOUGH_QUOTA when the
/// queue already holds 10000 posted messages (a thread that stopped pumping cannot make
/// its posters use up memory).
BOOL PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
/// ERROR_INVALID_THREAD_ID when the thread has no queue (has used none of the message calls).
BOOL PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);

/// Runs the window's procedure with the message and returns its result: directly when the window
/// belongs to the calling thread, otherwise on the owning thread the next time that thread looks
/// at its queue, the caller waiting without limit and running calls sent to it meanwhile (so two
/// threads that send to each other do not deadlock). 0 with ERROR_INVALID_WINDOW_HANDLE when the
/// window is not (or no longer) there, also when its thread ends before running the call.
LRESULT SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
/// As SendMessageA, waiting at most timeoutMs. @return nonzero with the procedure's result in
/// *result (when result is not nullptr), or 0: ERROR_TIMEOUT, ERROR_INVALID_WINDOW_HANDLE.
/// A call that has not started running when the time is up is withdrawn and never runs; one that
/// is running finishes on the owning thread, and its result is dropped.
LRESULT SendMessageTimeoutA(HWND window, UINT message, WPARAM wParam, LPARAM lParam, UINT flags,
                            UINT timeoutMs, PDWORD_PTR result);

/// First runs every call that other threads have sent to the calling thread, then looks for a
/// posted message: of the window (nullptr: any, also thread messages; (HWND)-1: thread messages
/// only) within [filterMin, filterMax] (0, 0: any). WM_QUIT from PostQuitMessage comes once no
/// other posted message matches.
/// @return TRUE with the message in *msg (removed with PM_REMOVE), FALSE when there is none.
BOOL PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeFlags);
/// As PeekMessageA with PM_REMOVE, but waits (running sent calls) until a message matches.
/// @return FALSE for WM_QUIT, -1 for a window filter that is not a window, TRUE otherwise.
BOOL GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);
/// Nothing to translate: there are no keys on hidden windows.
BOOL TranslateMessage(const MSG* msg);
/// Runs the message in its window's procedure; messages of windows that have gone, and thread
/// messages, are dropped (result 0).
LRESULT DispatchMessageA(const MSG* msg);
/// The default answers: TRUE for WM_QUERYENDSESSION, WM_CLOSE destroys the window, 0 for the rest.
LRESULT DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
/// Asks the calling thread's message loop to end: GetMessageA returns FALSE with the exit code in
/// wParam.
void PostQuitMessage(int exitCode);

namespace platform
{

/// Installs, for the calling thread's queue, a function that is called whenever a posted message
/// or a sent call is added to that queue; an empty function removes it. The event loop of the
/// thread (Qt's, on the user-interface thread) answers it by scheduling a run of PeekMessageA.
/// The hook is called on the thread that posts or sends, after the input is in the queue and
/// with no platform lock held, once per message: it must be cheap, thread-safe and never block,
/// and must not call the message functions itself (queue a pump on its own thread instead).
/// It may still be called briefly after it has been replaced, by a poster that took it before.
void SetQueueWakeHook(std::function<void()> hook);

/// Whether the calling thread's queue holds a posted message, a quit request or a call sent by
/// another thread: whether a run of PeekMessageA would find anything to do.
bool HasQueuedMessages();

} // namespace platform
