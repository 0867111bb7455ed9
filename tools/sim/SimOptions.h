// The simulator's command line: its mode, port choice, run control and the device options.
#pragma once

#include "tools/sim/BusDevice.h"
#include "tools/sim/RS232Device.h"
#include "tools/sim/SimPort.h"

#include <optional>
#include <string>
#include <vector>

namespace sim
{

enum class TSimMode { smBus, smDevice };

const char* ModeName(TSimMode mode);

struct TSimOptions {
    TSimMode mode = TSimMode::smBus;
    TPortChoice port;
    std::optional<double> durationSeconds;
    std::string reportFile;
    TBusOptions bus;
    TRS232Options device;
};

struct TParsedOptions {
    bool ok = false;
    bool help = false;
    std::string error; ///< one line saying what is wrong, when not ok
    TSimOptions options;
};

/// Parses the arguments after the program name. Values go as "--opt VALUE" or "--opt=VALUE".
TParsedOptions ParseSimOptions(const std::vector<std::string>& args);

std::string UsageText();

/// The whole program: parses, opens and registers the port, runs, reports, cleans up.
/// @return the exit code: 0 done, 1 the port or the report failed, 2 bad command line.
int RunSimulator(int argc, char** argv);

} // namespace sim
