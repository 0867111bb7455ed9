// What the runtime's own files share: the hidden window of the user-interface thread, the calls it
// runs for other threads, and the queue of error texts waiting for the display.
#pragma once

#include "platform/win32.h"

#include <exception>
#include <functional>
#include <string>

namespace runtime
{

/// Runs the method of a Synchronize call; the sender waits for this message's result.
constexpr UINT kMsgSynchronize = WM_APP + 0x101;
/// Error texts are waiting for the display (lParam unused; the texts are in the queue).
constexpr UINT kMsgShowErrors = WM_APP + 0x102;
/// What the window answers to kMsgSynchronize once the call has run; SendMessageA gives 0 when
/// the window was gone before it could run it.
constexpr LRESULT kSyncDone = 1;

/// A call handed to the user-interface thread; lives on the sender's stack while it waits.
struct TSyncCall {
    std::function<void()> Method;
    std::exception_ptr Error;
};

/// The runtime window on the user-interface thread, or null when there is none.
/// Thread: any.
HWND RuntimeWindow();

/// Shows the queued error texts one after another; returns at once when a display is already
/// showing (that one carries on with the queue). Thread: the user-interface thread.
void ShowPendingErrors();
/// Writes the queued error texts to stderr (nobody is left to show them). Thread: any.
void FlushPendingErrors();

/// Takes one message out of the calling thread's queue and dispatches it; a quit message is not
/// dispatched but reported in quit/exitCode. An exception out of a window procedure is shown and
/// goes no further. @return false when the queue had nothing.
bool DispatchOneMessage(bool& quit, int& exitCode);

} // namespace runtime
