// Bounded waits for tests: a condition that another thread makes true, checked until a deadline.
#pragma once

#include <chrono>
#include <functional>

namespace testsupport
{

/// Checks `condition` about every millisecond until it holds or `timeout` has passed.
/// @return whether it held; the condition is checked once more at the deadline.
bool WaitUntil(const std::function<bool()>& condition,
               std::chrono::milliseconds timeout = std::chrono::milliseconds(5000));

} // namespace testsupport
