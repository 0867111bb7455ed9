// Waits of the user-interface thread that keep its platform queue flowing, so that a thread which
// is waiting for the user-interface thread (a sent message, Synchronize) can always finish.
#pragma once

#include "platform/win32.h"

#include <functional>

/// Dispatches what the calling thread's platform queue holds now: sent calls from other threads,
/// then posted messages, at most maxMessages posted messages in one go (so that a thread posting
/// without end cannot hold the caller here). A quit message taken out of the queue is posted again
/// and ends this pass, so the caller's own loop still sees it.
/// @return true when the queue was left empty, false when the pass stopped early.
/// Thread: any (each thread has its own queue); normally the user-interface thread.
bool ProcessPlatformMessages(int maxMessages = 256);

/// Waits until handle is signalled or timeoutMs (INFINITE: no limit) has passed.
/// On the user-interface thread, sent calls and posted messages that arrive meanwhile are
/// dispatched as they come (MsgWaitForMultipleObjects, no polling); a quit message seen meanwhile
/// is posted again before returning. On any other thread this is WaitForSingleObject.
/// @return WAIT_OBJECT_0, WAIT_TIMEOUT or WAIT_FAILED, as WaitForSingleObject.
DWORD WaitForObjectPumping(HANDLE handle, DWORD timeoutMs);

/// Waits until done() is true or timeoutMs (INFINITE: no limit) has passed, pumping on the
/// user-interface thread as WaitForObjectPumping does. done() is asked first, then again each time
/// wakeEvent is signalled or (on the user-interface thread) after messages have been dispatched.
/// Whoever changes what done() reads must set wakeEvent afterwards (auto- or manual-reset; this
/// call never resets it). With wakeEvent null only queue input wakes the wait, so use that only
/// when the change always comes with a message.
/// @return true when done() was true, false on time-out or a wait that failed.
/// Thread: any; done() runs on the calling thread.
bool WaitUntilPumping(const std::function<bool()>& done, HANDLE wakeEvent, DWORD timeoutMs);
