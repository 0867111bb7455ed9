// Per-thread message queues and hidden windows. (Queue input for waits; the window calls follow.)
#include "platform/posix/waitable.h"
#include "platform/win32.h"

namespace platform
{

bool CurrentQueueHasInputLocked(DWORD) { return false; }

void AttachQueueWaiterLocked(WaitBlock*) {}

} // namespace platform
