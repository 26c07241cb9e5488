// Shared pieces of the qolven command-line tool: the command rows, options,
// exit codes, the open device and the output writer.
#ifndef QOLVEN_TOOL_CLI_H
#define QOLVEN_TOOL_CLI_H

#include <QOLVEN_USB_DLL.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qolven_tool {

using Device = _QOLVEN_USB_DLL::QOLVEN_USB_DLL;
using Json = nlohmann::ordered_json;

// Exit codes (documented in docs/cli.md).
enum ExitCode {
    kExitOk = 0,
    kExitDevice = 1,     // the library or the board reported a failure
    kExitUsage = 2,      // bad command line or bad --simulate description
    kExitBackend = 3,    // no bridge library (D2XX or simulator) could be loaded
    kExitNoDevice = 4,   // no device attached, the --serial one missing, or several and no --serial
    kExitShortfall = 5,  // stream --strict: fewer samples than the board's nominal rate promised
    kExitWrite = 6,      // standard output, the --output file or the state file could not be written
    kExitSignal = 128,   // plus the number of the signal that ended the command (130 for Ctrl-C)
};

// A failure that ends the command with its exit code and message.
struct Failure : std::runtime_error {
    int code;
    Failure(int exitCode, const std::string &message) : std::runtime_error(message), code(exitCode) {}
};
inline Failure usageError(const std::string &message) { return Failure(kExitUsage, message); }

// One option of the command line.  Numbers are checked against [low, high]
// while parsing, so that a bad value stops the tool before anything is sent.
struct OptionSpec {
    enum Kind { Flag, Text, Integer, Real };
    const char *name;   // without the leading dashes
    Kind kind;
    const char *value;  // placeholder in the help ("N"); unused for flags
    const char *help;
    double low = 0, high = 0;
    bool aboveLow = false;                                // Real: low itself is refused
    std::string (*check)(const std::string &) = nullptr;  // Text: "" or what is wrong
};

struct Options {
    std::string command;
    std::vector<std::string> arguments;         // positional arguments after the command
    std::map<std::string, std::string> values;  // options given; numbers already checked
    bool json = false;
    bool trace = false;
    bool simulate = false;
    std::string simulateDevices;
    bool resetState = false;

    bool has(const std::string &name) const { return values.count(name) != 0; }
    std::string text(const std::string &name, const std::string &fallback) const;
    long long integer(const std::string &name, long long fallback) const;
    double real(const std::string &name, double fallback) const;
};

// Quotes text from outside (command line, files, boards) for a message: control
// characters and bytes outside ASCII escaped, long texts cut.
std::string quote(const std::string &text);
// The text itself when it is short printable ASCII, else quote(text).
std::string printable(const std::string &text);

// Numbers on the command line: decimal (leading zeros too), or hexadecimal with 0x.
// integerProblem says what is wrong with the text ("" when it is a number in range).
std::string integerProblem(const std::string &text, long long low, long long high, long long *value);
long long parseInteger(const std::string &text, const std::string &what, long long low, long long high);
int parseInt(const std::string &text, const std::string &what);  // any 32-bit value
unsigned char parseByte(const std::string &text, const std::string &what);

// The device opened for one command.
struct Session {
    std::unique_ptr<Device> dev;  // large: the fast-data tables are tens of kilobytes
    void *handle = nullptr;
    std::string serial;
    unsigned char channel = 0;
    int calibrationType = 0;
    const Options *options = nullptr;
    std::string stateFile;  // --simulate only: where the virtual boards keep their registers

    // "Error" becomes a Failure carrying the library's text.
    std::string check(const std::string &result, const std::string &what) const;
    [[noreturn]] void fail(const std::string &what) const;
    bool refusedBoardType() const;
    // One identification exchange; leaves boardType and the identity texts set.
    void identify();
};

// The library keeps each identity number as the one character with that code.
inline std::string identityCode(const std::string &text) {
    return std::to_string(text.empty() ? 0 : static_cast<unsigned char>(text[0]));
}

// Plain "name value" lines printed as they come, or one JSON document printed
// whole at the end; a command that fails half-way still prints what it had,
// with the reason under "error".
class Output {
public:
    explicit Output(bool json) : json_(json) {}
    bool json() const { return json_; }
    void field(const std::string &name, const std::string &value);
    void put(const std::string &name, Json value);  // JSON only
    Json &list(const std::string &name);            // JSON only: an array member to fill
    void startArray();                              // JSON only: the document is an array
    void element(Json value);
    // Prints the JSON document (with "error" when a signal ended the command); once.
    void finish();
    // Prints what was gathered with the reason under "error".
    void abandon(const std::string &reason);
    // Integers in plain decimal become numbers, anything else a string.
    static Json value(const std::string &text);
    // Display characters are one byte each, shown as the Latin-1 character of that code.
    static std::string latin1(const std::string &bytes);

private:
    bool json_;
    bool done_ = false;
    Json doc_;
};

// Signals that end the command: SIGINT, SIGTERM, SIGHUP.  The first one stops the
// loops at their next turn and cuts short any wait for the board.
int interruptingSignal();  // 0 while none arrived
inline bool interrupted() { return interruptingSignal() != 0; }
void installInterruptHandler();
std::string interruptionText();  // "interrupted by SIGINT"

// Flushes standard output; a failure ends the command (full disk, closed file).
void flushOutput();
[[noreturn]] void writeFailure(const std::string &what, int error);

// Serial numbers of the attached bridges; explains FTDI's status 18 on failure.
std::vector<std::string> attachedSerials(Session &s);
std::string transportHint(const Session &s);

// A command of the tool: one row of the command table (main.cpp).
struct Command {
    const char *name;
    int (*run)(Session &, Output &);
    bool needsDevice;
    const char *arguments;  // what follows the name in the usage line
    const char *summary;
    std::vector<OptionSpec> options;  // besides the global ones
    std::string (*details)();         // further help, or nullptr
};

// Commands.  Each returns the exit code.
int commandList(Session &s, Output &out);
int commandInfo(Session &s, Output &out);
int commandRead(Session &s, Output &out);
int commandGet(Session &s, Output &out);
int commandSet(Session &s, Output &out);
int commandStream(Session &s, Output &out);
int commandRegisters(Session &s, Output &out);
int commandBackup(Session &s, Output &out);
int commandRestore(Session &s, Output &out);
int commandKey(Session &s, Output &out);
int commandDisplay(Session &s, Output &out);
int commandReset(Session &s, Output &out);
int commandServe(Session &s, Output &out);
int commandPublish(Session &s, Output &out);
// The options and further help of publish (tools/publish.cpp).
std::vector<OptionSpec> publishOptions();
std::string publishDetails();

// Help text of the parameter names (for `get --help`, `set --help`).
std::string parameterHelp();

} // namespace qolven_tool

#endif
