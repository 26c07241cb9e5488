// qolven: command-line tool for the amplifier boards.
#include "backend.h"
#include "cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

namespace qolven_tool {
namespace {

struct Command {
    const char *name;
    int (*run)(Session &, Output &);
    bool needsDevice;
    const char *usage;
    const char *summary;
    std::set<std::string> options;  // command options besides the global ones
};

const std::vector<Command> &commands() {
    static const std::vector<Command> table = {
        {"list", commandList, false, "list", "attached devices: index and serial number", {}},
        {"info", commandInfo, true, "info", "board type, hardware and firmware version and date, whether it answers", {}},
        {"read", commandRead, true, "read [--count N] [--interval SECONDS]",
         "live count, offset and full-scale counts and loads (--count 0: until Ctrl-C)", {"count", "interval"}},
        {"get", commandGet, true, "get NAME [N] | get all", "read a stored parameter, or all the board serves",
         {"calibration-type"}},
        {"set", commandSet, true, "set NAME [N] VALUE", "write a stored parameter", {"calibration-type"}},
        {"stream", commandStream, true, "stream [--seconds S | --samples N] [--output FILE]",
         "fast data as CSV (sample,channel,count,time); 10 seconds by default", {"seconds", "samples", "output"}},
        {"registers", commandRegisters, true,
         "registers eeprom|channel|memory|teds ADDRESS[-LAST] [VALUE] | registers page N | registers internal N",
         "read or write raw registers, read a page", {}},
        {"backup", commandBackup, true, "backup --from PAGE --to PAGE", "copy a setting page into a backup page",
         {"from", "to"}},
        {"restore", commandRestore, true, "restore --from PAGE --to PAGE", "copy a backup page back", {"from", "to"}},
        {"key", commandKey, true, "key enter|tare|display|reset|menu|unit|shunt|hold",
         "press a front-panel key (board types 5 and 10)", {}},
        {"display", commandDisplay, true, "display", "the four lines the display shows", {}},
        {"reset", commandReset, true, "reset", "restart the board and wait until it answers again", {}},
        {"serve", commandServe, false, "serve [--port N] [--bind ADDRESS] [--token TOKEN]",
         "browser page and JSON API for the attached devices, until Ctrl-C", {"port", "bind", "token"}},
    };
    return table;
}

// Options every command takes.
const std::set<std::string> kGlobalValueOptions = {"serial", "channel", "state"};
const std::set<std::string> kValueOptions = {"serial", "channel", "state",  "count", "interval",
                                             "seconds", "samples", "output", "from",  "to",
                                             "calibration-type", "port", "bind", "token"};

std::string stateFile(const Options &o) {
    if (o.has("state")) return o.text("state", "");
    if (const char *own = std::getenv("QOLVEN_SIM_STATE"))
        if (*own) return own;
    const char *xdg = std::getenv("XDG_STATE_HOME");
    const char *home = std::getenv("HOME");
    std::string dir = xdg && *xdg ? std::string(xdg) : std::string(home ? home : ".") + "/.local/state";
    return dir + "/qolven/sim-state";
}

void makeParentDirectories(const std::string &file) {
    for (size_t slash = file.find('/', 1); slash != std::string::npos; slash = file.find('/', slash + 1))
        mkdir(file.substr(0, slash).c_str(), 0755);  // existing directories are fine
}

std::string programHelp(const Options &o) {
    std::string text =
        "usage: qolven [OPTIONS] COMMAND [ARGUMENTS]\n\n"
        "Drives strain-gauge amplifier boards behind an FTDI USB bridge.\n\nCommands:\n";
    char line[256];
    for (const Command &c : commands()) {
        std::snprintf(line, sizeof line, "  %-10s %s\n", c.name, c.summary);
        text += line;
    }
    text +=
        "\nOptions:\n"
        "  --serial S        open the device with this serial number (default: the only one attached)\n"
        "  --channel N       channel of a multi-channel board (type 9), 0..3 (default 0)\n"
        "  --json            JSON output instead of \"name value\" lines\n"
        "  --trace           show every frame sent (tx) and received (rx) in hex on stderr\n"
        "  --simulate [DEVICES] use the virtual board instead of hardware; DEVICES describes the devices,\n"
        "                    e.g. type=9,serial=SIM0009[;type=2,serial=SIM0002] (default: SIM0001, type 2)\n"
        "  --state FILE      file that keeps the virtual boards' registers between runs\n"
        "  --reset-state     forget the stored registers of the virtual boards first\n"
        "  --help            this text; `qolven COMMAND --help` explains one command\n"
        "  --version         version of the tool\n"
        "\nState file of --simulate: " +
        stateFile(o) +
        "\n\nEnvironment: QOLVEN_D2XX_LIBRARY (path of libftd2xx.so), QOLVEN_SIM_LIBRARY (path of the\n"
        "simulated bridge), QOLVEN_SIM_STATE (state file), QOLVEN_SIM_CONFIG (device description file).\n"
        "\nExit codes: 0 success, 1 device or library error, 2 usage error, 3 bridge library missing,\n"
        "4 no device attached or several without --serial, 130 interrupted.\n";
    return text;
}

std::string commandHelp(const Command &c) {
    std::string text = std::string("usage: qolven [OPTIONS] ") + c.usage + "\n\n" + c.summary + ".\n";
    std::string name = c.name;
    if (name == "get" || name == "set")
        text += "\nIndexed parameters take a loading-point number N (\"loading-point 3\" or \"loading-point.3\").\n"
                "--calibration-type 0|1 selects the entry block of loading-point on channel 3 of type-9 boards.\n"
                "Values are decimal or 0x-hexadecimal; the library checks their range.\n\n" +
                parameterHelp();
    if (name == "registers")
        text += "\nEEPROM registers hold 16 bits (VALUE 0..65535), channel (with --channel), memory and TEDS\n"
                "registers one byte; TEDS addresses run 0..65535.  A page is 129 bytes.\n";
    if (name == "serve")
        text += "\nServes a page with live view, settings, calibration wizard and maintenance, and the same\n"
                "operations as a JSON API (docs/http-api.md).  --port 8080 by default (0: any free port);\n"
                "--bind 127.0.0.1 by default.  Every request needs the token printed with the address (a new\n"
                "one each start unless --token is given); --token \"\" turns it off, which only a loopback\n"
                "address allows.  With --serial only that device is served.\n";
    if (name == "stream")
        text += "\ntime is seconds since the start of the stream at the packet's arrival.  When stderr is a\n"
                "terminal a progress line shows samples, rate and samples lost (the shortfall against the\n"
                "board's nominal rate beyond one packet).\n";
    return text;
}

Options parseCommandLine(int argc, char **argv) {
    Options o;
    bool positionalOnly = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool option = !positionalOnly && arg.size() > 1 && arg[0] == '-' && (arg[1] == '-' || arg == "-h");
        if (!option) {
            if (o.command.empty())
                o.command = arg;
            else
                o.arguments.push_back(arg);
            continue;
        }
        if (arg == "--") {
            positionalOnly = true;
            continue;
        }
        std::string name = arg == "-h" ? "help" : arg.substr(2), value;
        size_t eq = name.find('=');
        bool inlineValue = eq != std::string::npos;
        if (inlineValue) {
            value = name.substr(eq + 1);
            name = name.substr(0, eq);
        }
        if (name == "simulate") {
            o.simulate = true;
            // The description is optional: the next word is one when it has key=value pairs.
            if (inlineValue)
                o.simulateDevices = value;
            else if (i + 1 < argc && std::strchr(argv[i + 1], '=') && argv[i + 1][0] != '-')
                o.simulateDevices = argv[++i];
            continue;
        }
        bool flag = name == "json" || name == "trace" || name == "help" || name == "reset-state" || name == "version";
        if (flag) {
            if (inlineValue) throw usageError("--" + name + " takes no value");
            if (name == "json") o.json = true;
            if (name == "trace") o.trace = true;
            if (name == "help") o.help = true;
            if (name == "reset-state") o.resetState = true;
            if (name == "version") o.values["version"] = "";
            continue;
        }
        if (!kValueOptions.count(name)) throw usageError("unknown option --" + name);
        if (!inlineValue) {
            if (i + 1 >= argc) throw usageError("--" + name + " needs a value");
            value = argv[++i];
        }
        o.values[name] = value;
    }
    return o;
}

const Command *findCommand(const std::string &name) {
    for (const Command &c : commands())
        if (name == c.name) return &c;
    return nullptr;
}

void checkOptions(const Options &o, const Command &c) {
    for (const auto &entry : o.values)
        if (!kGlobalValueOptions.count(entry.first) && !c.options.count(entry.first))
            throw usageError(std::string(c.name) + " takes no --" + entry.first);
}

// Chooses and loads the bridge library; for --simulate also writes the device description.
void loadBridge(const Options &o, std::string *descriptionFile) {
    if (o.trace) setTrace(stderr);
    if (!o.simulate) {
        BackendResult r = loadBackend(d2xxCandidates());
        if (!r.ok)
            throw Failure(kExitBackend,
                          "FTDI's D2XX library (libftd2xx.so) cannot be loaded: " + r.message +
                              "\nInstall it (see docs/cli.md) or point QOLVEN_D2XX_LIBRARY at it, or run with "
                              "--simulate to use the virtual board.");
        return;
    }
    std::string state = stateFile(o);
    makeParentDirectories(state);
    setenv("QOLVEN_SIM_STATE", state.c_str(), 1);
    if (!o.simulateDevices.empty()) {
        std::string lines, error;
        if (!simulatorDescription(o.simulateDevices, &lines, &error)) throw usageError("--simulate: " + error);
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qolven-devices-XXXXXX";
        std::vector<char> name(pattern.begin(), pattern.end());
        name.push_back(0);
        int fd = mkstemp(name.data());
        if (fd < 0 || write(fd, lines.data(), lines.size()) != static_cast<ssize_t>(lines.size()))
            throw Failure(kExitDevice, std::string("cannot write the device description: ") + std::strerror(errno));
        close(fd);
        *descriptionFile = name.data();
        setenv("QOLVEN_SIM_CONFIG", descriptionFile->c_str(), 1);
    }
    BackendResult r = loadBackend(simulatorCandidates());
    if (!r.ok)
        throw Failure(kExitBackend, "the simulated bridge (libqolven_d2xx_sim.so) cannot be loaded: " + r.message +
                                        "\nSet QOLVEN_SIM_LIBRARY to its path.");
}

void openDevice(Session &s) {
    Device &d = *s.dev;
    std::string serial = s.options->text("serial", "");
    if (serial.empty()) {
        int count = std::atoi(s.check(d.Get_Device_Count(), "count devices").c_str());
        if (count == 0) throw Failure(kExitNoDevice, "no device attached");
        if (count > 1) {
            std::string serials;
            for (int i = 0; i < count; ++i)
                serials += (i ? ", " : "") + d.Get_Device_Serial_Number(reinterpret_cast<void *>(intptr_t(i)));
            throw Failure(kExitNoDevice, std::to_string(count) + " devices attached (" + serials +
                                             "); choose one with --serial");
        }
        serial = s.check(d.Get_Device_Serial_Number(nullptr), "serial number of device 0");
    }
    std::vector<char> text(serial.begin(), serial.end());
    text.push_back(0);
    d.Open_Device_Connection(text.data());
    if (!d.DeviceHandle) s.fail("open " + serial);
    s.handle = d.DeviceHandle;
    s.serial = serial;
}

int run(int argc, char **argv) {
    Options o = parseCommandLine(argc, argv);
    if (o.has("version")) {
        std::printf("qolven %d.%d.%d\n", QOLVEN_USB_VERSION_MAJOR, QOLVEN_USB_VERSION_MINOR, QOLVEN_USB_VERSION_PATCH);
        return kExitOk;
    }
    const Command *command = o.command.empty() ? nullptr : findCommand(o.command);
    if (o.help) {
        std::fputs(command ? commandHelp(*command).c_str() : programHelp(o).c_str(), stdout);
        return kExitOk;
    }
    if (o.resetState) {
        std::string state = stateFile(o);
        if (std::remove(state.c_str()) != 0 && errno != ENOENT)
            throw Failure(kExitDevice, "cannot remove the state file " + state + ": " + std::strerror(errno));
        if (o.command.empty()) return kExitOk;  // nothing else asked for
    }
    if (!command) {
        if (o.command.empty()) throw usageError("name a command (qolven --help lists them)");
        throw usageError("unknown command \"" + o.command + "\" (qolven --help lists them)");
    }
    checkOptions(o, *command);

    Session s;
    s.options = &o;
    s.channel = static_cast<unsigned char>(o.integer("channel", 0, 0, 255));
    s.calibrationType = static_cast<int>(o.integer("calibration-type", 0, INT32_MIN, INT32_MAX));
    std::string descriptionFile;
    struct Cleanup {
        std::string &file;
        ~Cleanup() {
            if (!file.empty()) std::remove(file.c_str());
        }
    } cleanup{descriptionFile};
    loadBridge(o, &descriptionFile);
    s.dev.reset(new Device());
    installInterruptHandler();
    Output out(o.json);
    struct Closer {
        Session &s;
        ~Closer() {
            if (s.handle) s.dev->Close_Device_Connection(s.handle);
        }
    } closer{s};
    if (command->needsDevice) openDevice(s);
    return command->run(s, out);
}

} // namespace
} // namespace qolven_tool

int main(int argc, char **argv) {
    try {
        return qolven_tool::run(argc, argv);
    } catch (const qolven_tool::Failure &f) {
        std::fflush(stdout);
        std::fprintf(stderr, "qolven: %s\n", f.what());
        return f.code;
    } catch (const std::exception &e) {
        std::fflush(stdout);
        std::fprintf(stderr, "qolven: %s\n", e.what());
        return qolven_tool::kExitDevice;
    }
}
