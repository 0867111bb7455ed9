// The simulator's event loop: waits on the device side of the pty, the device's timers and a stop
// pipe, feeds received bytes to the device and writes what it queued when it is due.
#pragma once

#include "tools/sim/SimDevice.h"

#include <chrono>
#include <optional>
#include <string>

namespace sim
{

class TSimLoop
{
public:
    enum class TEnd {
        eStopped,    ///< Stop() or a stop signal
        eDuration,   ///< the duration ran out (and the device settled)
        eFinished,   ///< the device did all it was asked
        eLineFailed, ///< the pty failed; see FailureText()
    };

    /// The device is not owned.
    explicit TSimLoop(TSimDevice& device);
    ~TSimLoop();
    TSimLoop(const TSimLoop&) = delete;
    TSimLoop& operator=(const TSimLoop&) = delete;

    /// Runs on the calling thread until one of the ends above. `deviceFd`: the pty's device side,
    /// non-blocking, in packet mode; not owned. A stop that came before Run ends it at once.
    TEnd Run(int deviceFd, std::optional<std::chrono::nanoseconds> duration = std::nullopt);

    /// Ends Run soon. Thread: any; async-signal-safe (it only writes a byte to a pipe).
    void Stop() noexcept;

    /// Makes SIGINT, SIGTERM and SIGHUP stop this loop instead of killing the process, so that it
    /// can remove its device-map link. The former handlers come back when the loop is destroyed.
    /// Only one loop in the process may do this at a time.
    void StopOnSignals();
    /// The signal that stopped the loop, or 0.
    int StopSignal() const;

    const std::string& FailureText() const { return failure_; }

private:
    bool WriteDue(bool& wantWrite);
    bool ReadAll();

    int device_ = -1;
    TSimDevice& sim_;
    int wake_[2] = {-1, -1};
    bool signalsInstalled_ = false;
    std::string failure_;
};

} // namespace sim
