// Shared pieces of the qolven command-line tool: options, exit codes, the open
// device and the output writer.
#ifndef QOLVEN_TOOL_CLI_H
#define QOLVEN_TOOL_CLI_H

#include <QOLVEN_USB_DLL.h>

#include <cstdint>
#include <map>
#include <memory>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qolven_tool {

using Device = _QOLVEN_USB_DLL::QOLVEN_USB_DLL;

// Exit codes (documented in docs/cli.md).
enum ExitCode {
    kExitOk = 0,
    kExitDevice = 1,     // the library or the board reported a failure
    kExitUsage = 2,      // bad command line
    kExitBackend = 3,    // no bridge library (D2XX or simulator) could be loaded
    kExitNoDevice = 4,   // no device attached, or several and no --serial
    kExitInterrupted = 130,
};

// A failure that ends the command with its exit code and message.
struct Failure : std::runtime_error {
    int code;
    Failure(int exitCode, const std::string &message) : std::runtime_error(message), code(exitCode) {}
};
inline Failure usageError(const std::string &message) { return Failure(kExitUsage, message); }

struct Options {
    std::string command;
    std::vector<std::string> arguments;  // positional arguments after the command
    std::map<std::string, std::string> values;  // --name value / --name=value
    bool json = false;
    bool trace = false;
    bool help = false;
    bool simulate = false;
    std::string simulateDevices;
    bool resetState = false;

    bool has(const std::string &name) const { return values.count(name) != 0; }
    std::string text(const std::string &name, const std::string &fallback) const;
    long long integer(const std::string &name, long long fallback, long long low, long long high) const;
    double real(const std::string &name, double fallback, double low, double high) const;
};

// Numbers on the command line: decimal, or hexadecimal with 0x.
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

// Plain "name value" lines, or one JSON object with --json.
class Output {
public:
    explicit Output(bool json) : json_(json) {}
    void field(const std::string &name, const std::string &value);
    void rawField(const std::string &name, const std::string &json);  // JSON only: value already JSON
    void finish();  // closes the JSON object
    static std::string jsonValue(const std::string &value);
    static std::string jsonString(const std::string &value);

private:
    bool json_;
    bool open_ = false;
};

// Set by SIGINT; loops stop at their next turn.
bool interrupted();
void installInterruptHandler();

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

// Help text of the parameter names (for `get --help`, `set --help`).
std::string parameterHelp();

} // namespace qolven_tool

#endif
