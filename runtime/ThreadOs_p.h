// The two things about a thread that only the operating system can do: its name and its priority.
#pragma once

#include <string>
#include <thread>

namespace runtime
{

/// Best effort, never fails; the name is cut to what the system keeps (15 characters).
void SetNativeThreadName(std::thread::native_handle_type thread, const std::string& name);
/// Best effort, never fails; level on the scale of TThreadPriority.
void SetNativeThreadPriority(std::thread::native_handle_type thread, int level);

} // namespace runtime
