// Thread names and priorities on POSIX threads.
#include "runtime/Thread.h"
#include "runtime/ThreadOs_p.h"

#include <pthread.h>
#include <sched.h>

void runtime::SetNativeThreadName(std::thread::native_handle_type thread, const std::string& name)
{
    // The kernel keeps 15 characters and refuses longer names altogether.
    pthread_setname_np(thread, name.substr(0, 15).c_str());
}

void runtime::SetNativeThreadPriority(std::thread::native_handle_type thread, int level)
{
    // Only the policies that need no privileges: real-time ones would need them and could starve
    // the desktop, and a nice value once raised cannot be lowered again by an ordinary user.
    // So idle runs only when nothing else wants the processor, the two low levels are scheduled as
    // batch work, and normal and above are ordinary threads.
    int policy = SCHED_OTHER;
    if (level <= tpIdle)
        policy = SCHED_IDLE;
    else if (level < tpNormal)
        policy = SCHED_BATCH;
    sched_param param{};
    param.sched_priority = 0;
    pthread_setschedparam(thread, policy, &param);
}
