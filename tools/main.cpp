// qolven: command-line tool for the amplifier boards.
#include "backend.h"
#include "cli.h"

#include <qolven_bridge.h>

#include <CLI/CLI.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace qolven_tool {
namespace {

using Kind = OptionSpec::Kind;

// The library judges a serial number when it opens the device; an empty one
// would open the only device attached instead.
std::string serialProblem(const std::string &serial) {
    return serial.empty() ? "empty; give the bridge's serial number (qolven list shows them)" : "";
}

std::string pathProblem(const std::string &path) { return path.empty() ? "empty; give a file name" : ""; }

// ---- the command table: one row per command

const std::vector<OptionSpec> &globalOptions() {
    static const std::vector<OptionSpec> table = {
        {"serial", Kind::Text, "S", "open the device with this serial number (default: the only one attached)", 0, 0,
         false, serialProblem},
        {"channel", Kind::Integer, "N", "channel of a multi-channel board (type 9)", 0, 3},
        {"json", Kind::Flag, "", "JSON output instead of \"name value\" lines"},
        {"trace", Kind::Flag, "", "show every frame sent (tx) and received (rx) in hex on stderr"},
        {"simulate", Kind::Flag, "[DEVICES]",
         "use the virtual boards instead of hardware; DEVICES describes them,\n"
         "e.g. type=9,serial=SIM0009[;type=2,serial=SIM0002] (default: SIM0001, type 2)"},
        {"state", Kind::Text, "FILE", "file that keeps the virtual boards' registers between runs", 0, 0, false,
         pathProblem},
        {"reset-state", Kind::Flag, "", "forget the stored registers of the virtual boards first"},
        {"help", Kind::Flag, "", "this text; `qolven COMMAND --help` explains one command"},
        {"version", Kind::Flag, "", "version of the tool"},
    };
    return table;
}

std::string getSetDetails() {
    return "\nIndexed parameters take a loading-point number N (\"loading-point 3\" or \"loading-point.3\").\n"
           "--calibration-type selects the entry block of loading-point on channel 3 of type-9 boards.\n"
           "Values are decimal (leading zeros too) or 0x-hexadecimal.\n\n" +
           parameterHelp();
}

std::string registersDetails() {
    return "\nEEPROM registers hold 16 bits (VALUE 0..65535), channel (with --channel), memory and TEDS\n"
           "registers one byte; TEDS addresses run 0..65535, the others 0..255.  A page is 129 bytes.\n";
}

std::string streamDetails() {
    return "\nsample is the sample's sequence number: a gap shows samples lost.  time is seconds since the\n"
           "start of the stream.  load (on calibrated boards) has the display's decimal places.  Losses and\n"
           "an unplugged bridge are warnings on stderr; the stream waits for the bridge to return unless\n"
           "--no-reconnect is given.  At the end a summary (received, lost, time-outs, failed requests,\n"
           "reconnects) goes to stderr; --strict ends with exit code 5 when samples were lost.  When stderr\n"
           "is a terminal a progress line shows samples, rate and losses while streaming.\n";
}

std::string serveDetails() {
    return "\nServes a page with live view, settings, calibration wizard and maintenance, and the same\n"
           "operations as a JSON API (http-api.md in the documentation).  --port 0 takes any free port.\n"
           "Every request needs the token printed with the address (a new one each start unless --token\n"
           "is given); --token \"\" turns it off, which only a loopback address allows.  A token holds\n"
           "letters, digits and - . _ ~; off loopback at least 16 characters.  With --serial only that\n"
           "device is served.  Nothing is served unless the address could be printed (exit code 6).\n"
           "Ctrl-C stops the server.\n";
}

const std::vector<OptionSpec> kPages = {
    {"from", Kind::Integer, "PAGE", "page to copy from", 0, 255},
    {"to", Kind::Integer, "PAGE", "page to copy to", 0, 255},
};

const std::vector<Command> &commands() {
    static const std::vector<Command> table = {
        {"list", commandList, false, "", "attached devices: index and serial number", {}, nullptr},
        {"info", commandInfo, true, "", "board type, hardware and firmware version and date, whether it answers", {},
         nullptr},
        {"read", commandRead, true, "[--count N] [--interval SECONDS]",
         "live count, offset and full-scale counts and loads (--count 0: until Ctrl-C)",
         {{"count", Kind::Integer, "N", "live counts to read (0: until interrupted)", 0, 1e9},
          {"interval", Kind::Real, "SECONDS", "pause between two counts", 0, 86400}},
         nullptr},
        {"get", commandGet, true, "NAME [N] | get all", "read a stored parameter, or all the board serves",
         {{"calibration-type", Kind::Integer, "T", "entry block of loading-point on channel 3 of type 9", 0, 1}},
         getSetDetails},
        {"set", commandSet, true, "NAME [N] VALUE", "write a stored parameter",
         {{"calibration-type", Kind::Integer, "T", "entry block of loading-point on channel 3 of type 9", 0, 1}},
         getSetDetails},
        {"stream", commandStream, true, "[--seconds S | --samples N] [--output FILE] [--strict] [--no-reconnect]",
         "fast data as CSV (sample,channel,count,time[,load]); 10 seconds by default",
         {{"seconds", Kind::Real, "S", "how long to stream", 0, 1e9, true},
          {"samples", Kind::Integer, "N", "stop after N samples", 1, 1099511627776.0},
          {"output", Kind::Text, "FILE", "write the CSV to FILE instead of standard output", 0, 0, false, pathProblem},
          {"strict", Kind::Flag, "", "samples lost end the command with exit code 5"},
          {"no-reconnect", Kind::Flag, "", "stop when the bridge is unplugged instead of waiting for it"}},
         streamDetails},
        {"record", commandRecord, false, "[--serial S [S ...] | --all] --output FILE.h5|FILE.csv [--seconds S] ...",
         "record devices into an HDF5 or CSV file: triggers, tare, limits, rotation", recordOptions(), recordDetails},
        {"registers", commandRegisters, true,
         "eeprom|channel|memory|teds ADDRESS[-LAST] [VALUE] | registers page N | registers internal N",
         "read or write raw registers, read a page", {}, registersDetails},
        {"backup", commandBackup, true, "--from PAGE --to PAGE", "copy a setting page into a backup page", kPages,
         nullptr},
        {"restore", commandRestore, true, "--from PAGE --to PAGE", "copy a backup page back", kPages, nullptr},
        {"key", commandKey, true, "NAME", "press a front-panel key of a handheld display", {}, keyDetails},
        {"display", commandDisplay, true, "", "the four lines the display shows", {}, nullptr},
        {"reset", commandReset, true, "", "restart the board and wait until it answers again", {}, nullptr},
        {"serve", commandServe, false, "[--port N] [--bind ADDRESS] [--token TOKEN]",
         "the devices in a web browser: live view, settings, calibration, maintenance, JSON API",
         {{"port", Kind::Integer, "N", "TCP port to listen on (default 8080)", 0, 65535},
          {"bind", Kind::Text, "ADDRESS", "address to listen on (default 127.0.0.1, this machine only)"},
          {"token", Kind::Text, "TOKEN", "the token every request must carry (default: a new random one)"}},
         serveDetails},
        {"publish", commandPublish, false,
         "--broker URL [--serial S [S ...] | --all] [--rate CODE] [--reading-interval MS]",
         "the boards on an MQTT broker: identity, state, readings, fast data, events", publishOptions(),
         publishDetails},
    };
    return table;
}

const Command *findCommand(const std::string &name) {
    for (const Command &c : commands())
        if (name == c.name) return &c;
    return nullptr;
}

// ---- help

std::string stateFile(const Options &o) {
    if (o.has("state")) return o.text("state", "");
    if (const char *own = std::getenv("QOLVEN_SIM_STATE"))
        if (*own) return own;
    const char *xdg = std::getenv("XDG_STATE_HOME");
    const char *home = std::getenv("HOME");
    std::string dir = xdg && *xdg ? std::string(xdg) : std::string(home ? home : ".") + "/.local/state";
    return dir + "/qolven/sim-state";
}

std::string rangeText(const OptionSpec &row) {
    char text[96];
    if (row.aboveLow)
        std::snprintf(text, sizeof text, "the range above %.15g up to %.15g", row.low, row.high);
    else
        std::snprintf(text, sizeof text, "%.15g..%.15g", row.low, row.high);
    return text;
}

std::string optionLines(const std::vector<OptionSpec> &options) {
    std::string text;
    for (const OptionSpec &row : options) {
        std::string head = std::string("  --") + row.name + (row.value[0] ? std::string(" ") + row.value : "");
        std::string help = row.help;
        if (row.kind == Kind::Integer || row.kind == Kind::Real) {
            help += " (" + rangeText(row) + ")";
        }
        for (size_t nl = help.find('\n'); nl != std::string::npos; nl = help.find('\n', nl + 1))
            help.insert(nl + 1, std::string(22, ' '));
        if (head.size() < 21) head.resize(22, ' ');
        else head += "\n" + std::string(22, ' ');
        text += head + help + "\n";
    }
    return text;
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
    text += "\nOptions (anywhere on the line):\n" + optionLines(globalOptions());
    text += "\nState file of --simulate: " + stateFile(o) +
            "\n\nEnvironment: QOLVEN_D2XX_LIBRARY (path of libftd2xx.so), QOLVEN_SIM_LIBRARY (path of the\n"
            "simulated bridge), QOLVEN_SIM_STATE (state file), QOLVEN_SIM_CONFIG (device description file).\n"
            "\nReal hardware needs FTDI's D2XX library (libftd2xx.so, for this program's architecture) on the\n"
            "loader's path or named by QOLVEN_D2XX_LIBRARY, or the open provider libqolven_ftdi1.\n"
            "Documentation (cli.md, real-hardware.md): " + documentation() + "\n"
            "\nExit codes: 0 success, 1 device or library error, 2 usage error, 3 bridge library missing,\n"
            "4 no device attached, the --serial one missing or several without --serial, 5 samples lost\n"
            "(stream --strict), 6 output or state file not written, 128+N ended by signal N (130 Ctrl-C,\n"
            "143 SIGTERM, 129 SIGHUP); a write under way is finished first, and a finished one exits 0.\n";
    return text;
}

std::string commandHelp(const Command &c) {
    std::string text = std::string("usage: qolven [OPTIONS] ") + c.name + (c.arguments[0] ? " " : "") + c.arguments +
                       "\n\n" + c.summary + ".\n";
    if (!c.options.empty()) text += "\nOptions of " + std::string(c.name) + ":\n" + optionLines(c.options);
    if (c.details) text += c.details();
    return text;
}

// ---- parsing

std::string realProblem(const std::string &text, const OptionSpec &row, std::string *normal) {
    char *end = nullptr;
    double value = text.empty() || std::isspace(static_cast<unsigned char>(text[0])) ? 0 : std::strtod(text.c_str(), &end);
    if (!end || *end != 0) return quote(text) + " is not a number";
    if (!(value >= row.low && value <= row.high) || (row.aboveLow && value == row.low))
        return (text.size() <= 24 ? text : text.substr(0, 20) + "...") + " is outside " + rangeText(row);
    char canonical[64];
    std::snprintf(canonical, sizeof canonical, "%.17g", value);
    *normal = canonical;
    return "";
}

// Checks a value as the row describes it; numbers are stored as plain decimal text.
CLI::Validator validatorFor(const OptionSpec &row) {
    return CLI::Validator(
        [row](std::string &text) -> std::string {
            std::string normal = text;
            std::string problem;
            if (row.kind == Kind::Integer) {
                long long value = 0;
                problem = integerProblem(text, static_cast<long long>(row.low), static_cast<long long>(row.high),
                                         &value);
                normal = std::to_string(value);
            } else if (row.kind == Kind::Real) {
                problem = realProblem(text, row, &normal);
            } else if (row.check) {
                problem = row.check(text);
            }
            if (problem.empty()) text = normal;
            return problem;
        },
        "");
}

void addOptions(CLI::App &app, const std::vector<OptionSpec> &rows, Options &o) {
    for (const OptionSpec &row : rows) {
        std::string flag = std::string("--") + row.name;
        std::string name = row.name;
        if (name == "help") flag = "-h,--help";
        if (name == "simulate") {
            // The description is optional: bare --simulate takes no value (see commandLineWords).
            app.add_flag("--simulate{}", o.simulateDevices, row.help)->multi_option_policy(CLI::MultiOptionPolicy::Throw);
        } else if (row.kind == Kind::Flag) {
            app.add_flag_function(flag, [&o, name](int64_t) { o.values[name] = ""; }, row.help);
        } else {
            app.add_option_function<std::string>(flag, [&o, name](const std::string &v) { o.values[name] = v; },
                                                 row.help)
                ->multi_option_policy(CLI::MultiOptionPolicy::Throw)
                ->transform(validatorFor(row));
        }
    }
}

// `--simulate type=9` gives the description as the next word; a command name or an
// option after a bare --simulate does not belong to it.
std::vector<std::string> commandLineWords(int argc, char **argv) {
    std::vector<std::string> words;
    for (int i = 1; i < argc; ++i) {
        std::string word = argv[i];
        if (word == "--") {
            words.insert(words.end(), argv + i, argv + argc);
            break;
        }
        if (word == "--simulate=") throw usageError("--simulate: the description is empty (bare --simulate gives the default device)");
        if (word == "--simulate" && i + 1 < argc && std::strchr(argv[i + 1], '=') && argv[i + 1][0] != '-')
            word += std::string("=") + argv[++i];
        // CLI11 reads "--serial=" as "--serial" taking the next word: keep the empty value.
        if (word.size() > 3 && word.compare(0, 2, "--") == 0 && word.back() == '=' && word.find('=') == word.size() - 1) {
            words.push_back(word.substr(0, word.size() - 1));
            word.clear();
        }
        words.push_back(word);
    }
    return words;
}

// The commands whose rows list the option, e.g. "read, stream".
std::string optionOwners(const std::string &name) {
    std::string owners;
    for (const Command &c : commands())
        for (const OptionSpec &row : c.options)
            if (name == row.name) owners += (owners.empty() ? "" : ", ") + std::string(c.name);
    return owners;
}

// CLI11's words for the usual mistakes, said the way the rest of the tool says them.
std::string parseProblem(const CLI::ParseError &e) {
    std::string text = e.what();
    size_t colon = text.find(':');
    std::string option = colon == std::string::npos ? "" : text.substr(0, colon);
    if (text.find("At Most 1 required") != std::string::npos) return option + " is given more than once";
    if (text.find("required") != std::string::npos && text.find("missing") != std::string::npos)
        return option + " needs a value";
    return text;
}

void checkExtras(const std::vector<std::string> &extras, const Options &o) {
    if (extras.empty()) return;
    const std::string &word = extras.front();
    if (word.size() < 2 || word[0] != '-') {
        if (o.command.empty()) throw usageError("unknown command " + quote(word) + " (qolven --help lists them)");
        throw usageError(o.command + ": unexpected " + quote(word));
    }
    throw usageError("unknown option " + quote(word.substr(0, word.find('='))) + " (qolven --help lists them)");
}

// Every option may stand anywhere on the line, but only its command takes it.
void checkCommandOptions(const Options &o, const Command *command) {
    for (const auto &entry : o.values) {
        bool global = false;
        for (const OptionSpec &row : globalOptions()) global = global || entry.first == row.name;
        if (global) continue;
        bool own = false;
        if (command)
            for (const OptionSpec &row : command->options) own = own || entry.first == row.name;
        if (own) continue;
        std::string owners = optionOwners(entry.first);
        if (!command) throw usageError("--" + entry.first + " belongs to a command (" + owners + ")");
        throw usageError(o.command + " takes no --" + entry.first + " (it belongs to " + owners + ")");
    }
}

Options parseCommandLine(int argc, char **argv) {
    Options o;
    CLI::App app("qolven", "qolven");
    app.set_help_flag();
    app.allow_extras();
    app.require_subcommand(0, 1);
    // One CLI11 option per name, on the program: a command's subcommand hands it on.
    std::vector<OptionSpec> all = globalOptions();
    for (const Command &c : commands())
        for (const OptionSpec &row : c.options)
            if (std::none_of(all.begin(), all.end(), [&](const OptionSpec &known) { return !std::strcmp(known.name, row.name); }))
                all.push_back(row);
    addOptions(app, all, o);
    std::vector<std::pair<CLI::App *, const Command *>> subcommands;
    for (const Command &c : commands()) {
        CLI::App *sub = app.add_subcommand(c.name, c.summary);
        sub->fallthrough();
        sub->add_option("arguments", o.arguments);
        subcommands.emplace_back(sub, &c);
    }
    std::vector<std::string> words = commandLineWords(argc, argv);
    std::reverse(words.begin(), words.end());  // CLI11 takes the arguments last first
    try {
        app.parse(words);
    } catch (const CLI::ParseError &e) {
        throw usageError(parseProblem(e));
    }
    for (const auto &entry : subcommands)
        if (entry.first->parsed()) o.command = entry.second->name;
    // Flags count their repeats instead of refusing them.
    for (const OptionSpec &row : all)
        if (row.kind == Kind::Flag && app.get_option(std::string("--") + row.name)->count() > 1)
            throw usageError(std::string("--") + row.name + " is given more than once");
    o.simulate = app.get_option("--simulate")->count() > 0;
    o.json = o.has("json");
    o.trace = o.has("trace");
    o.resetState = o.has("reset-state");
    if (!o.has("help")) {
        checkExtras(app.remaining(), o);
        checkCommandOptions(o, o.command.empty() ? nullptr : findCommand(o.command));
    }
    return o;
}

// ---- the state file of the virtual boards

// What names the state file, for messages.
std::string stateSource(const Options &o) {
    if (o.has("state")) return "--state";
    const char *own = std::getenv("QOLVEN_SIM_STATE");
    return own && *own ? "QOLVEN_SIM_STATE" : "the state file";
}

// The default place is created when missing; a folder the user named must
// exist, so that a mistyped path does not start a new set of boards unnoticed.
bool defaultStatePlace(const Options &o) { return stateSource(o) == "the state file"; }

std::string folderOf(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

void checkStateFile(const Options &o, const std::string &path) {
    if (path.empty()) throw usageError(stateSource(o) + ": empty; give a file name");
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw usageError(stateSource(o) + ": " + printable(path) + " is a directory; name a file");
    if (!o.simulate || defaultStatePlace(o)) return;
    std::string folder = folderOf(path);
    if (stat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode))
        throw usageError(stateSource(o) + ": the folder " + printable(folder) + " does not exist; create it first");
}

void resetState(const std::string &path) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0) {
        if (errno == ENOENT) return;  // nothing stored yet
        throw Failure(kExitWrite, "--reset-state: " + printable(path) + ": " + std::strerror(errno));
    }
    if (!S_ISREG(st.st_mode))
        throw usageError("--reset-state: " + printable(path) + " is not a regular file; nothing was removed");
    if (unlink(path.c_str()) != 0)
        throw Failure(kExitWrite, "--reset-state: cannot remove " + printable(path) + ": " + std::strerror(errno));
}

void makeParentDirectories(const std::string &file) {
    for (size_t slash = file.find('/', 1); slash != std::string::npos; slash = file.find('/', slash + 1))
        mkdir(file.substr(0, slash).c_str(), 0755);  // existing directories are fine
}

// Where a path leads: symbolic links followed, and for a file not there yet
// its folder's real path and its name.
std::string realTarget(const std::string &path) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path p = fs::absolute(path, ec);
    for (int hops = 0; hops < 40 && fs::is_symlink(fs::symlink_status(p, ec)); ++hops) {
        fs::path to = fs::read_symlink(p, ec);
        if (ec) break;
        p = to.is_absolute() ? to : p.parent_path() / to;
    }
    return fs::weakly_canonical(p, ec).string();
}

bool sameFile(const std::string &a, const std::string &b) {
    struct stat x, y;
    bool hasA = stat(a.c_str(), &x) == 0, hasB = stat(b.c_str(), &y) == 0;
    if (hasA && hasB) return x.st_dev == y.st_dev && x.st_ino == y.st_ino;
    return !hasA && !hasB && realTarget(a) == realTarget(b);
}

// The CSV must not land on the file that keeps the virtual boards' registers,
// whether that file exists yet or not.
void checkOutputFile(const Options &o, const std::string &state) {
    std::string path = o.text("output", "");
    struct stat st;
    if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode))
        throw usageError("--output: " + printable(path) + " is a directory; name a file");
    if (o.simulate && sameFile(path, state))
        throw usageError("--output: " + printable(path) + " is the virtual boards' state file (" + printable(state) +
                         "); name another file");
}

// ---- the bridge and the device

// The description file of QOLVEN_SIM_CONFIG; the simulator checks what it says.
std::string readDescriptionFile(const std::string &path) {
    // Far more than any bench of virtual boards needs; a larger file is a mistake.
    const long long kLargest = 1 << 20;
    struct stat st;
    if (stat(path.c_str(), &st) != 0)
        throw usageError("QOLVEN_SIM_CONFIG " + printable(path) + ": " + std::strerror(errno));
    if (S_ISDIR(st.st_mode)) throw usageError("QOLVEN_SIM_CONFIG " + printable(path) + " is a directory; name a file");
    if (!S_ISREG(st.st_mode)) throw usageError("QOLVEN_SIM_CONFIG " + printable(path) + " is not a regular file");
    if (st.st_size > kLargest)
        throw usageError("QOLVEN_SIM_CONFIG " + printable(path) + " has " + std::to_string(st.st_size) +
                         " bytes; a description file has at most " + std::to_string(kLargest));
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    if (!in && !in.eof()) throw usageError("QOLVEN_SIM_CONFIG " + printable(path) + ": cannot be read");
    if (text.str().empty()) throw usageError("QOLVEN_SIM_CONFIG " + printable(path) + " is empty");
    // The simulator takes the description as a C text: a NUL would quietly end it.
    const std::string content = text.str();
    if (size_t at = content.find('\0'); at != std::string::npos) {
        size_t lineStart = content.rfind('\n', at);
        lineStart = lineStart == std::string::npos ? 0 : lineStart + 1;
        auto line = 1 + std::count(content.begin(), content.begin() + static_cast<long>(at), '\n');
        throw usageError("QOLVEN_SIM_CONFIG " + printable(path) + ": line " + std::to_string(line) + ", byte " +
                         std::to_string(at - lineStart + 1) + ": a NUL byte (a description is text)");
    }
    return content;
}

void loadBridge(const Options &o, const std::string &state) {
    if (o.trace) setTrace(stderr);
    if (!o.simulate) {
        BackendResult r = loadBackend(QOLVEN_BRIDGE_AUTO);
        if (!r.ok)
            throw Failure(kExitBackend,
                          "no bridge library can be loaded: " + r.message +
                              "\nInstall the open provider (libqolven_ftdi1, package libqolven-usb1) or FTDI's D2XX "
                              "library (QOLVEN_D2XX_LIBRARY names it; real-hardware.md in " + documentation() +
                              "), or run with --simulate to use the virtual board.");
        return;
    }
    if (defaultStatePlace(o)) makeParentDirectories(state);
    // The tool hands both to the simulator itself: the library reads no variables then.
    unsetenv("QOLVEN_SIM_STATE");
    std::string description = o.simulateDevices;
    const char *config = std::getenv("QOLVEN_SIM_CONFIG");
    std::string configFile = config ? config : "";
    unsetenv("QOLVEN_SIM_CONFIG");
    if (description.empty() && !configFile.empty()) description = readDescriptionFile(configFile);
    BackendResult r = loadBackend(QOLVEN_BRIDGE_SIMULATED);
    if (!r.ok) throw Failure(kExitBackend, r.message);
    if (!simulatorHasControl())
        throw Failure(kExitBackend, r.path + " lacks the simulator's control functions (qolven_sim_configure)");
    std::string error;
    if (!description.empty() && !simulatorConfigure(description, &error))
        throw usageError((o.simulateDevices.empty() ? "QOLVEN_SIM_CONFIG " + printable(configFile) : std::string("--simulate")) +
                         ": " + error);
    if (!simulatorUseStateFile(state, &error)) throw Failure(kExitDevice, "state of the virtual boards: " + error);
}

void openDevice(Session &s) {
    std::string serial = s.options->text("serial", "");
    qolven_device *d = s.dev();
    int status = qolven_open(d, serial.empty() ? nullptr : serial.c_str());
    if (status == QOLVEN_OK) return;
    std::string text = safeText(qolven_error_text(d));
    if (status == QOLVEN_NO_DEVICE) {
        int count = 0;
        if (serial.empty() && qolven_device_count(d, &count) == QOLVEN_OK && count > 1) text += " with --serial";
        throw Failure(kExitNoDevice, text);
    }
    std::string what = "open" + (serial.empty() ? std::string() : " " + printable(serial));
    // A bridge opens for one process at a time; the simulated one alike.
    if (status == QOLVEN_DEVICE_BUSY)
        throw Failure(kExitDevice, what + ": " + text +
                                       " (another program has it open, or on real hardware the kernel's ftdi_sio "
                                       "driver holds it)");
    // Without --serial nothing the user typed was refused: the bridge's own serial number was.
    if (status == QOLVEN_INVALID_ARGUMENT && serial.empty()) throw Failure(kExitDevice, what + ": " + text);
    s.fail(status, what);
}

void report(const std::string &message) {
    std::fflush(stdout);
    // One message stays a few lines, whatever a library text carried.
    const size_t kLongestLine = 600;
    std::string shown;
    for (size_t at = 0; at < message.size();) {
        size_t end = message.find('\n', at);
        std::string line = message.substr(at, end == std::string::npos ? std::string::npos : end - at);
        if (line.size() > kLongestLine) line = line.substr(0, kLongestLine) + "... (cut)";
        shown += (at ? "\n" : "") + line;
        at = end == std::string::npos ? message.size() : end + 1;
    }
    std::fprintf(stderr, "qolven: %s\n", safeText(shown).c_str());
}

// Runs the command on its device; failures are reported here so that the
// device is closed and the simulator's state checked whatever happened.
int runCommand(const Command &command, Session &s, Output &out) {
    int code = kExitOk;
    std::string failure;
    try {
        if (command.needsDevice) openDevice(s);
        code = command.run(s, out);
    } catch (const Failure &f) {
        code = f.code;
        failure = f.what();
    }
    bool signalTold = false;
    if (interrupted() && code < kExitSignal) {
        if (!failure.empty() && transfersCut()) {
            // The bridge refuses every call once a signal cut the transfers: that failure is the signal's.
            failure = interruptionText();
            code = kExitSignal + interruptingSignal();
        } else if (failure.empty() && !s.written.empty()) {
            report(signalName() + " came during the write of " + s.written +
                   "; the write was finished first and is stored");
            signalTold = true;
        } else if (failure.empty()) {
            failure = interruptionText();
            code = kExitSignal + interruptingSignal();
        }
    }
    if (failure.empty()) {
        out.finish();
    } else {
        out.abandon(failure);
        report(failure);
        signalTold = signalTold || interrupted();
    }
    qolven_close(s.dev());
    if (s.options->simulate) {
        std::string saveError = simulatorTakeError();
        if (!saveError.empty()) {
            report("the virtual boards' state was not saved: " + saveError);
            if (code == kExitOk || code == kExitDevice) code = kExitWrite;
        }
    }
    try {
        if (code != kExitWrite) flushOutput();
    } catch (const Failure &f) {
        report(f.what());
        if (code == kExitOk) code = f.code;
    }
    // A signal after the command was done.
    if (interrupted() && !signalTold && s.written.empty() && code < kExitSignal) {
        report(interruptionText());
        code = kExitSignal + interruptingSignal();
    }
    return code;
}

int run(int argc, char **argv) {
    Options o = parseCommandLine(argc, argv);
    if (o.has("version")) {
        std::printf("qolven %s\n", qolven_version());
        return kExitOk;
    }
    const Command *command = o.command.empty() ? nullptr : findCommand(o.command);
    if (o.has("help")) {
        std::fputs(command ? commandHelp(*command).c_str() : programHelp(o).c_str(), stdout);
        return kExitOk;
    }
    std::string state = stateFile(o);
    if (o.simulate || o.resetState) checkStateFile(o, state);
    if (o.has("output")) checkOutputFile(o, state);
    if (o.resetState) {
        resetState(state);
        if (!command) return kExitOk;  // nothing else asked for
    }
    if (!command) throw usageError("name a command (qolven --help lists them)");

    Session s;
    s.options = &o;
    s.channel = static_cast<int>(o.integer("channel", 0));
    s.calibrationType = static_cast<int>(o.integer("calibration-type", 0));
    if (o.simulate) s.stateFile = state;
    installInterruptHandler();
    loadBridge(o, state);
    s.device.reset(qolven_create());
    if (!s.dev()) throw Failure(kExitDevice, "out of memory");
    interruptDevice(s.dev());
    s.require(qolven_set_channel(s.dev(), s.channel), "--channel");
    Output out(o.json);
    return runCommand(*command, s, out);
}

// A closed standard descriptor would be handed to the next file opened (the
// simulator's lock file, a CSV) and what was meant for it would land there.
// Each closed one is held on a descriptor open for reading only, to which
// writing fails as it would on a closed one.
void holdClosedStandardDescriptors() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
        // open() and pipe() take the lowest free descriptor: this one.
        if (open("/dev/null", O_RDONLY) == fd) continue;
        int ends[2];
        if (pipe(ends) != 0 || ends[0] != fd) _exit(kExitWrite);  // nothing can be said or done safely
        close(ends[1]);
    }
}

} // namespace
} // namespace qolven_tool

int main(int argc, char **argv) {
    qolven_tool::holdClosedStandardDescriptors();
    try {
        int code = qolven_tool::run(argc, argv);
        if (code == qolven_tool::kExitOk) qolven_tool::flushOutput();  // help and version
        return code;
    } catch (const qolven_tool::Failure &f) {
        qolven_tool::report(f.what());
        return f.code;
    } catch (const std::exception &e) {
        qolven_tool::report(e.what());
        return qolven_tool::kExitDevice;
    }
}
