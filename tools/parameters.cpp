// `qolven get` and `qolven set`: every stored parameter by a readable name,
// through the library's parameter table (its C interface), which also checks
// every value and point number before anything is written.
#include "cli.h"

#include <qolven.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

namespace qolven_tool {
namespace {

// The open device's parameters by name.
struct Parameters {
    Session &s;

    explicit Parameters(Session &session) : s(session) {
        s.require(qolven_set_calibration_type(s.dev(), s.calibrationType), "--calibration-type");
    }
    qolven_device *get() const { return s.dev(); }

    // A refused name, value or point is the user's to correct (exit 2, the
    // library's text alone); the rest comes from the library or the board.
    void require(int status, const std::string &what) const {
        if (exitCodeOf(status) == kExitUsage) s.fail(status, "");
        s.require(status, what);
    }

    // The value text, or the failure's text and status when `failed` is given.
    std::string read(const char *name, int point, const std::string &what, int *failed = nullptr) const {
        char value[256];
        int status = qolven_get_parameter(get(), name, point, value, sizeof value);
        if (status != QOLVEN_OK && failed) {
            *failed = status;
            return safeText(qolven_error_text(get()));
        }
        require(status, what);
        return value;
    }
};

// "loading-point 3" and "loading-point.3" both name point 3.
struct Target {
    int index = -1;
    std::string name;
    int point = 0;
    size_t used = 1;  // positional arguments taken by the name
    bool indexed() const { return qolven_parameter_flags(index) & QOLVEN_PARAMETER_INDEXED; }
    std::string label() const { return indexed() ? name + "." + std::to_string(point) : name; }
};

Target target(const std::vector<std::string> &args) {
    if (args.empty()) throw usageError("name a parameter (see qolven get --help)");
    Target t;
    t.name = args[0];
    std::string point;
    size_t dot = t.name.find('.');
    if (dot != std::string::npos) {
        point = t.name.substr(dot + 1);
        t.name.resize(dot);
    }
    t.index = qolven_parameter_find(t.name.c_str());
    if (t.index < 0) throw usageError("unknown parameter " + quote(t.name) + " (see qolven get --help)");
    if (!t.indexed()) {
        if (dot != std::string::npos) throw usageError(t.name + " takes no point number");
        return t;
    }
    if (dot == std::string::npos) {
        if (args.size() < 2) throw usageError(t.name + " needs a point number, e.g. " + t.name + " 0");
        point = args[1];
        t.used = 2;
    }
    t.point = static_cast<int>(parseInteger(point, t.name + ": point", INT32_MIN, INT32_MAX));
    return t;
}

int getAll(const Parameters &p, Output &out) {
    qolven_board_identity identity{};
    p.require(qolven_identify(p.get(), &identity), "board type");
    int type = identity.board_type;
    if (!qolven_board_type_known(type))
        throw Failure(kExitDevice, "board type " + std::to_string(type) + " is not known");
    std::vector<std::string> failures;
    int lastFailure = QOLVEN_OK;
    for (int i = 0; i < qolven_parameter_count() && !interrupted(); ++i) {
        if (!qolven_parameter_serves(i, type, QOLVEN_PARAMETER_READABLE)) continue;
        Target t;
        t.index = i;
        t.name = qolven_parameter_name(i);
        int points = 1;
        if (t.indexed()) {
            // The points in use, as far as the board's table reaches.
            int failed = QOLVEN_OK;
            std::string inUse = p.read("number-of-loading-points", 0, "", &failed);
            int first = 0, last = -1;
            qolven_parameter_points(i, type, &first, &last);
            points = failed ? 0 : std::min(std::atoi(inUse.c_str()), last + 1);
        }
        for (int point = 0; point < points; ++point) {
            t.point = point;
            int failed = QOLVEN_OK;
            std::string value = p.read(t.name.c_str(), point, "", &failed);
            if (failed) {
                if (interrupted() && transfersCut()) break;  // the bridge refuses every call after a signal
                lastFailure = failed;
                failures.push_back(t.label() + ": " + value);
                std::fprintf(stderr, "qolven: %s\n", failures.back().c_str());
                continue;
            }
            out.field(t.label(), value);
        }
    }
    if (failures.empty()) return kExitOk;
    std::string first = failures.front();
    throw Failure(exitCodeOf(lastFailure) == kExitUsage ? kExitDevice : exitCodeOf(lastFailure),
                  std::to_string(failures.size()) + " parameter" + (failures.size() == 1 ? "" : "s") +
                      " could not be read (the first: " + first + ")");
}

// Most parameters serve nearly every type: name the few left out instead.
std::string typeList(int index) {
    std::vector<int> served, left;
    for (int type = 0; qolven_board_type_known(type); ++type) {
        bool any = qolven_parameter_serves(index, type, QOLVEN_PARAMETER_READABLE) ||
                   qolven_parameter_serves(index, type, QOLVEN_PARAMETER_WRITABLE);
        (any ? served : left).push_back(type);
    }
    if (left.empty()) return "all";
    bool most = served.size() > 8;
    std::string text;
    for (int type : most ? left : served) text += (text.empty() ? "" : ",") + std::to_string(type);
    return most ? "all but " + text : text;
}

} // namespace

std::string parameterHelp() {
    std::string text = "Parameters (name, access, board types, value):\n";
    char line[512];
    for (int i = 0; i < qolven_parameter_count(); ++i) {
        int flags = qolven_parameter_flags(i);
        bool readable = flags & QOLVEN_PARAMETER_READABLE, writable = flags & QOLVEN_PARAMETER_WRITABLE;
        std::string name = std::string(qolven_parameter_name(i)) + (flags & QOLVEN_PARAMETER_INDEXED ? " N" : "");
        std::string access = std::string(readable ? "get" : "") + (readable && writable ? "/" : "") +
                             (writable ? "set" : "");
        std::snprintf(line, sizeof line, "  %-26s %-8s %-24s %s\n      %s\n", name.c_str(), access.c_str(),
                      typeList(i).c_str(), qolven_parameter_syntax(i), qolven_parameter_meaning(i));
        text += line;
    }
    return text;
}

int commandGet(Session &s, Output &out) {
    const auto &args = s.options->arguments;
    CutTransfers cut;
    Parameters p(s);
    if (args.size() == 1 && args[0] == "all") return getAll(p, out);
    Target t = target(args);
    if (args.size() != t.used) throw usageError("get takes one parameter name");
    std::string value = p.read(t.name.c_str(), t.point, "get " + t.label());
    out.field(t.label(), value);
    return kExitOk;
}

int commandSet(Session &s, Output &out) {
    const auto &args = s.options->arguments;
    Parameters p(s);
    Target t = target(args);
    int flags = qolven_parameter_flags(t.index);
    bool optional = flags & QOLVEN_PARAMETER_VALUE_OPTIONAL;
    if (args.size() != t.used + 1 && !(optional && args.size() == t.used))
        throw usageError("usage: qolven set " + t.name + (t.indexed() ? " N " : " ") +
                         qolven_parameter_syntax(t.index));
    std::string value = args.size() > t.used ? args[t.used] : "";
    s.beginWrite(t.label());
    p.require(qolven_set_parameter(p.get(), t.name.c_str(), t.point, value.c_str()), "set " + t.label());
    (void)out;
    return kExitOk;
}

} // namespace qolven_tool
