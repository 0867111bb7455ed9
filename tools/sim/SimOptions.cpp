// The simulator's command line and its run from start to clean-up.
#include "tools/sim/SimOptions.h"

#include "tools/sim/SimLoop.h"

#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <iostream>
#include <map>
#include <memory>

namespace sim
{

namespace
{

bool ParseInt(const std::string& text, long long low, long long high, long long& value)
{
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    return ec == std::errc() && ptr == end && !text.empty() && value >= low && value <= high;
}

bool ParseReal(const std::string& text, double low, double high, double& value)
{
    if (text.empty())
        return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value) && value >= low && value <= high;
}

enum TScope { osAny, osBus, osDevice };

struct TOption {
    TScope scope;
    bool takesValue;
    // Applies the value; returns an empty string or what is wrong with the value.
    std::function<std::string(TSimOptions&, const std::string&)> apply;
};

std::string Milliseconds(const std::string& value, long long high, std::chrono::milliseconds& target)
{
    long long ms = 0;
    if (!ParseInt(value, 0, high, ms))
        return "expects milliseconds from 0 to " + std::to_string(high);
    target = std::chrono::milliseconds(ms);
    return {};
}

const std::map<std::string, TOption>& Options()
{
    static const std::map<std::string, TOption> options = {
        {"--port",
         {osAny, true,
          [](TSimOptions& o, const std::string& v) -> std::string {
              long long n = 0;
              if (!ParseInt(v, 1, TSimPort::kHighestNumber, n))
                  return "expects a COM number from 1 to " + std::to_string(TSimPort::kHighestNumber);
              o.port.exact = static_cast<int>(n);
              return {};
          }}},
        {"--first",
         {osAny, true,
          [](TSimOptions& o, const std::string& v) -> std::string {
              long long n = 0;
              if (!ParseInt(v, 1, TSimPort::kHighestNumber, n))
                  return "expects a COM number from 1 to " + std::to_string(TSimPort::kHighestNumber);
              o.port.first = static_cast<int>(n);
              return {};
          }}},
        {"--duration",
         {osAny, true,
          [](TSimOptions& o, const std::string& v) -> std::string {
              double s = 0;
              if (!ParseReal(v, 0.001, 1e7, s))
                  return "expects seconds, more than 0";
              o.durationSeconds = s;
              return {};
          }}},
        {"--report",
         {osAny, true,
          [](TSimOptions& o, const std::string& v) -> std::string {
              if (v.empty())
                  return "expects a file name";
              o.reportFile = v;
              return {};
          }}},
        {"--addresses",
         {osBus, true,
          [](TSimOptions& o, const std::string& v) -> std::string {
              return ParseAddressList(v, o.bus.addresses) ? "" : "expects addresses such as 0-9 or 0,3,7";
          }}},
        {"--echo",
         {osBus, false,
          [](TSimOptions& o, const std::string&) -> std::string {
              o.bus.echo = true;
              return {};
          }}},
        {"--noise",
         {osBus, false,
          [](TSimOptions& o, const std::string&) -> std::string {
              o.bus.noise = true;
              return {};
          }}},
        {"--delay",
         {osBus, true,
          [](TSimOptions& o, const std::string& v) { return Milliseconds(v, 60000, o.bus.delay); }}},
        {"--silent",
         {osBus, true,
          [](TSimOptions& o, const std::string& v) -> std::string {
              std::set<char> more;
              if (!ParseAddressList(v, more))
                  return "expects addresses such as 3 or 2,5";
              o.bus.silent.insert(more.begin(), more.end());
              return {};
          }}},
        {"--bad-checksum",
         {osBus, true,
          [](TSimOptions& o, const std::string& v) -> std::string {
              std::set<char> more;
              if (!ParseAddressList(v, more))
                  return "expects addresses such as 3 or 2,5";
              o.bus.badChecksum.insert(more.begin(), more.end());
              return {};
          }}},
        {"--split",
         {osBus, true,
          [](TSimOptions& o, const std::string& v) -> std::string {
              long long n = 0;
              if (!ParseInt(v, 1, 4096, n))
                  return "expects a piece size from 1 to 4096 bytes";
              o.bus.split = static_cast<size_t>(n);
              return {};
          }}},
        {"--split-gap",
         {osBus, true,
          [](TSimOptions& o, const std::string& v) { return Milliseconds(v, 10000, o.bus.splitGap); }}},
        {"--seed",
         {osBus, true,
          [](TSimOptions& o, const std::string& v) -> std::string {
              long long n = 0;
              if (!ParseInt(v, 0, (1LL << 62), n))
                  return "expects a number";
              o.bus.seed = static_cast<uint64_t>(n);
              return {};
          }}},
        {"--rate",
         {osDevice, true,
          [](TSimOptions& o, const std::string& v) -> std::string {
              return ParseReal(v, 0.001, 10000, o.device.rate)
                         ? ""
                         : "expects messages per second, 0.001 to 10000";
          }}},
        {"--count",
         {osDevice, true,
          [](TSimOptions& o, const std::string& v) -> std::string {
              long long n = 0;
              if (!ParseInt(v, 1, (1LL << 62), n))
                  return "expects a number of messages, at least 1";
              o.device.count = static_cast<uint64_t>(n);
              return {};
          }}},
        {"--kinds",
         {osDevice, true,
          [](TSimOptions& o, const std::string& v) -> std::string {
              return ParseKindList(v, o.device.kinds) ? ""
                                                      : "expects a list of stx, A, D, R, T, plain or all";
          }}},
        {"--answer-timeout",
         {osDevice, true,
          [](TSimOptions& o, const std::string& v) -> std::string {
              const std::string error = Milliseconds(v, 600000, o.device.answerTimeout);
              if (error.empty() && o.device.answerTimeout.count() == 0)
                  return "expects at least 1 millisecond";
              return error;
          }}},
        {"--settle",
         {osDevice, true,
          [](TSimOptions& o, const std::string& v) { return Milliseconds(v, 60000, o.device.settle); }}},
        {"--no-wait",
         {osDevice, false,
          [](TSimOptions& o, const std::string&) -> std::string {
              o.device.waitForOpen = false;
              return {};
          }}},
    };
    return options;
}

const char* EndName(TSimLoop::TEnd end)
{
    switch (end) {
    case TSimLoop::TEnd::eStopped:
        return "stopped";
    case TSimLoop::TEnd::eDuration:
        return "duration";
    case TSimLoop::TEnd::eFinished:
        return "finished";
    case TSimLoop::TEnd::eLineFailed:
        return "line-failed";
    }
    return "?";
}

} // namespace

const char* ModeName(TSimMode mode) { return mode == TSimMode::smBus ? "bus" : "device"; }

TParsedOptions ParseSimOptions(const std::vector<std::string>& args)
{
    TParsedOptions result;
    TSimOptions& o = result.options;
    ParseAddressList("0-9", o.bus.addresses);
    std::optional<TSimMode> mode;
    std::vector<std::pair<std::string, TScope>> given;

    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "--help" || arg == "-h") {
            result.help = true;
            result.ok = true;
            return result;
        }
        if (arg.rfind("--", 0) != 0) {
            if (mode) {
                result.error = "unexpected argument '" + arg + "'";
                return result;
            }
            if (arg == "bus")
                mode = TSimMode::smBus;
            else if (arg == "device")
                mode = TSimMode::smDevice;
            else {
                result.error = "unknown mode '" + arg + "' (bus or device)";
                return result;
            }
            continue;
        }
        const size_t equals = arg.find('=');
        const std::string name = arg.substr(0, equals);
        const auto found = Options().find(name);
        if (found == Options().end()) {
            result.error = "unknown option " + name;
            return result;
        }
        const TOption& option = found->second;
        std::string value;
        if (option.takesValue) {
            if (equals != std::string::npos) {
                value = arg.substr(equals + 1);
            } else if (i + 1 < args.size()) {
                value = args[++i];
            } else {
                result.error = name + " needs a value";
                return result;
            }
        } else if (equals != std::string::npos) {
            result.error = name + " takes no value";
            return result;
        }
        if (std::string problem = option.apply(o, value); !problem.empty()) {
            result.error = name + " " + problem + " (got '" + value + "')";
            return result;
        }
        given.emplace_back(name, option.scope);
    }

    if (!mode) {
        result.error = "no mode given (bus or device)";
        return result;
    }
    o.mode = *mode;
    for (const auto& [name, scope] : given) {
        if ((scope == osBus && o.mode != TSimMode::smBus) ||
            (scope == osDevice && o.mode != TSimMode::smDevice)) {
            result.error = name + " belongs to " + (scope == osBus ? "bus" : "device") + " mode";
            return result;
        }
    }
    if (o.port.exact != 0 && o.port.first != 1) {
        result.error = "--port and --first exclude each other";
        return result;
    }
    for (const std::set<char>* faulty : {&o.bus.silent, &o.bus.badChecksum}) {
        for (char address : *faulty) {
            if (o.bus.addresses.count(address) == 0) {
                result.error = std::string(faulty == &o.bus.silent ? "--silent" : "--bad-checksum") + " " +
                               address + " is not one of the bus's addresses";
                return result;
            }
        }
    }
    result.ok = true;
    return result;
}

std::string UsageText()
{
    return R"USAGE(Usage: lintaker-sim bus|device [options]

Plays field devices on a pseudo-terminal that it registers in the COM device map, so that
Lintaker can open it as COMn. Prints "lintaker-sim: COMn -> /dev/pts/X (mode)" when ready,
and its counts when it ends (Ctrl+C, SIGTERM, --duration, or --count in device mode).

With the window: start lintaker-sim, then Lintaker, as the same user (both find the device map
through $LINTAKER_DEVICE_MAP, else $XDG_RUNTIME_DIR/lintaker/devices, else
/tmp/lintaker-<uid>/devices). Choose the printed COMn in the window's port list (it looks for
ports again each time it drops down), "polling (RS485)" for bus or "monitoring (RS232)" for
device, and Connect.

With a real device: lintaker-sim only plays devices on a pseudo-terminal of its own; it never
opens a serial device, and a real device needs no simulator. Lintaker lists real devices by their
kernel names (ttyS<k> as COM<k+1>, ttyUSB<k> as COM<33+k>, ttyACM<k> as COM<65+k>) or by a COMn
link to the device put into the device map. The simulator never takes a number that a real device
or a link holds, so both can be used side by side; opening a real device needs membership of
the dialout group.

Common options:
  --port N            register as COMN, or fail when it is taken
  --first N           register under the first free number from N on (default 1)
  --duration SEC      end by itself after SEC seconds
  --report FILE       write the counts and latency figures as JSON at the end
  --help              this text

bus: an RS485 bus of devices that answer poll requests ">" addr "T" "<" checksum CR LF
  --addresses LIST    the devices on the bus, e.g. 0-9 (default), 0,3,7 or 0-4,A-C
  --echo              give back every received byte first, as a half-duplex adapter does
  --delay MS          wait MS milliseconds before answering (default 0)
  --silent LIST       these addresses never answer
  --bad-checksum LIST these addresses answer with a wrong checksum
  --split N           write answers in pieces of N bytes ...
  --split-gap MS      ... MS milliseconds apart (default 5)
  --noise             random bytes other than ">" after each answer
  --seed N            seed of the noise (default 1)

device: an RS232 device that sends ETX-terminated messages and checks the answers
(first "A" turned into "J", then first "R" into "Y"; everything else unchanged)
  --rate R            messages per second (default 1; fractions allowed)
  --count N           stop after N messages and their answers
  --kinds LIST        message kinds in turn: stx, A, D, R, T, plain, all (default all)
  --answer-timeout MS an answer not begun within MS milliseconds is missing (default 1000)
  --no-wait           start sending at once; by default the first message waits until the
                      program has opened the port (seen as its flush of the line) ...
  --settle MS         ... and MS milliseconds more (default 250)

Options take their value as "--opt VALUE" or "--opt=VALUE".
Exit codes: 0 done, 1 the port or the report could not be made, 2 bad command line.
)USAGE";
}

int RunSimulator(int argc, char** argv)
{
    const TParsedOptions parsed = ParseSimOptions(std::vector<std::string>(argv + 1, argv + argc));
    if (!parsed.ok) {
        std::cerr << "lintaker-sim: " << parsed.error << "\nTry 'lintaker-sim --help'.\n";
        return 2;
    }
    if (parsed.help) {
        std::cout << UsageText();
        return 0;
    }
    const TSimOptions& o = parsed.options;

    std::unique_ptr<TSimDevice> device;
    if (o.mode == TSimMode::smBus)
        device = std::make_unique<TBusDevice>(o.bus);
    else
        device = std::make_unique<TRS232Device>(o.device);

    // Signals first: a stop between registering and running must still remove the link.
    TSimLoop loop(*device);
    loop.StopOnSignals();
    std::string error;
    std::unique_ptr<TSimPort> port = TSimPort::Open(o.port, error);
    if (!port) {
        std::cerr << "lintaker-sim: " << error << "\n";
        return 1;
    }
    const std::string comName = "COM" + std::to_string(port->ComNumber());
    std::cout << "lintaker-sim: " << comName << " -> " << port->PortPath() << " (" << ModeName(o.mode) << ")"
              << std::endl;

    const TTime started = TClock::now();
    std::optional<std::chrono::nanoseconds> duration;
    if (o.durationSeconds)
        duration = std::chrono::nanoseconds(static_cast<int64_t>(*o.durationSeconds * 1e9));
    const TSimLoop::TEnd end = loop.Run(port->DeviceFd(), duration);
    const double elapsed = std::chrono::duration<double>(TClock::now() - started).count();
    port->Unregister();

    int exitCode = 0;
    if (end == TSimLoop::TEnd::eLineFailed) {
        std::cerr << "lintaker-sim: " << loop.FailureText() << "\n";
        exitCode = 1;
    }
    char elapsedText[32];
    std::snprintf(elapsedText, sizeof elapsedText, "%.3f", elapsed);
    std::cout << "lintaker-sim: " << comName << " ended (" << EndName(end) << ") after " << elapsedText
              << " s\n"
              << device->SummaryText() << std::flush;

    if (!o.reportFile.empty()) {
        std::ofstream report(o.reportFile, std::ios::trunc);
        report << "{\"mode\": " << JsonString(ModeName(o.mode)) << ", \"port\": " << JsonString(comName)
               << ", \"device\": " << JsonString(port->PortPath())
               << ", \"end\": " << JsonString(EndName(end)) << ", \"signal\": " << loop.StopSignal()
               << ", \"elapsed_s\": " << elapsedText << ", " << device->ReportJsonMembers() << "}\n";
        report.close();
        if (!report) {
            std::cerr << "lintaker-sim: cannot write the report " << o.reportFile << "\n";
            exitCode = 1;
        }
    }
    return exitCode;
}

} // namespace sim
