// One simulated serial port: a pseudo-terminal whose port side the program opens through a COMn
// link in the device map, while the simulator plays the device on the other side.
#pragma once

#include <memory>
#include <string>

namespace sim
{

/// Which COM number to register under.
struct TPortChoice {
    int exact = 0; ///< this number or fail (0: the first free one from `first` on)
    int first = 1;
};

/// The pty pair and its device-map link. The simulator keeps its own descriptor of the port side
/// open for its whole life: when the program closes the port, the device side then sees no
/// hang-up and the line stays usable for the program's next open.
/// Thread: the one that runs the simulator.
class TSimPort
{
public:
    static constexpr int kHighestNumber = 4096;

    /// Opens the pty, puts the port side in raw mode, turns on packet mode on the device side
    /// (so flushes by the program are seen) and links COMn to the port side.
    /// @return nullptr with `error` set when any step fails.
    static std::unique_ptr<TSimPort> Open(const TPortChoice& choice, std::string& error);

    TSimPort(const TSimPort&) = delete;
    TSimPort& operator=(const TSimPort&) = delete;
    /// Removes the link and closes both sides.
    ~TSimPort();

    int DeviceFd() const { return master_; }
    int ComNumber() const { return number_; }
    const std::string& PortPath() const { return slavePath_; }
    const std::string& LinkPath() const { return linkPath_; }

    /// Removes the COMn link, but only while it still leads to this port: a link somebody has
    /// since pointed elsewhere is left alone.
    void Unregister();

private:
    TSimPort() = default;
    bool Register(const TPortChoice& choice, std::string& error);

    int master_ = -1;
    int slave_ = -1;
    int number_ = 0;
    std::string slavePath_;
    std::string linkPath_;
};

} // namespace sim
