// Shared pieces of the qolven command-line tool: the command rows, options,
// exit codes, the open device and the output writer.
#ifndef QOLVEN_TOOL_CLI_H
#define QOLVEN_TOOL_CLI_H

#include <qolven.h>

#include <nlohmann/json.hpp>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qolven_tool {

using Json = nlohmann::ordered_json;

// Exit codes (documented in docs/cli.md).
enum ExitCode {
    kExitOk = 0,
    kExitDevice = 1,     // the library or the board reported a failure
    kExitUsage = 2,      // bad command line or bad --simulate description
    kExitBackend = 3,    // no bridge library (D2XX or simulator) could be loaded
    kExitNoDevice = 4,   // no device attached, the --serial one missing, or several and no --serial
    kExitShortfall = 5,  // stream --strict: samples were lost
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

// Exit code of a library status: refused input is the user's to correct (2),
// a missing device has its own code (4), the rest is the device's failure (1).
int exitCodeOf(int status);

struct DeviceDeleter {
    void operator()(qolven_device *device) const { qolven_destroy(device); }
};

// The device opened for one command.
struct Session {
    std::unique_ptr<qolven_device, DeviceDeleter> device;
    int channel = 0;
    int calibrationType = 0;
    const Options *options = nullptr;
    std::string stateFile;  // --simulate only: where the virtual boards keep their registers
    // What a write command stored, for the report when a signal came during the write.
    std::string written;

    Session() = default;
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;
    ~Session();  // no signal reaches the device once it is gone

    qolven_device *dev() const { return device.get(); }
    // QOLVEN_OK passes; anything else ends the command with the exit code of
    // its class and the library's text.
    void require(int status, const std::string &what) const;
    [[noreturn]] void fail(int status, const std::string &what) const;
    // Runs a library method by name with its arguments as texts; its result text.
    // `status` (when given) receives a failure instead of ending the command.
    std::string call(const char *method, const std::vector<std::string> &arguments, const std::string &what,
                     int *status = nullptr) const;
    // A write is about to start: a signal that came before ends the command
    // with nothing written.
    void beginWrite(const std::string &what);
};

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
    // Prints the JSON document; once.
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

// Signals that end the command: SIGINT, SIGTERM, SIGHUP.  The first one stops
// the loops at their next turn and ends the waits of the open device
// (qolven_interrupt).  Transfers are cut short only inside a CutTransfers
// scope: a write of one value is always finished.
int interruptingSignal();  // 0 while none arrived
inline bool interrupted() { return interruptingSignal() != 0; }
void installInterruptHandler();
std::string signalName();        // "SIGINT"
std::string interruptionText();  // "interrupted by SIGINT"
// The device whose waits a signal ends (null: none).
void interruptDevice(qolven_device *device);
// True once a signal cut the transfers: every bridge call fails from then on.
bool transfersCut();

// While one lives, a signal also cuts the transfer under way (qolven_bridge_cancel):
// for commands that only read, and waits that write nothing (reset).
class CutTransfers {
public:
    CutTransfers();
    ~CutTransfers();
    CutTransfers(const CutTransfers &) = delete;
    CutTransfers &operator=(const CutTransfers &) = delete;
};

// Flushes standard output; a failure ends the command (full disk, closed file).
void flushOutput();
[[noreturn]] void writeFailure(const std::string &what, int error);

// Serial numbers of the attached bridges, whole.
std::vector<std::string> attachedSerials(Session &s);
// What to check when FTDI's library reaches no USB device (its status 18); "" otherwise.
std::string transportHint(const Session &s);
// The folder of the tool's documentation that exists here (installed, or
// the source tree's), or where to find it.
std::string documentation();
// "simulated (/usr/lib/.../libqolven_d2xx_sim.so.1)"
std::string bridgeInUse();
// The library's texts may carry what a user typed or a board sent: control
// characters escaped, so that a message cannot drive the terminal.
std::string safeText(const std::string &text);

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
int commandRecord(Session &s, Output &out);
const std::vector<OptionSpec> &recordOptions();
std::string recordDetails();
int commandPublish(Session &s, Output &out);
// The options and further help of publish (tools/publish.cpp).
std::vector<OptionSpec> publishOptions();
std::string publishDetails();

// Help text of the parameter names (for `get --help`, `set --help`).
std::string parameterHelp();
// Help text of the key names (for `key --help`).
std::string keyDetails();

} // namespace qolven_tool

#endif
