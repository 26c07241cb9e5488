// The parameter table through the C interface.
#include <cstdlib>
#include <cstring>

#include "acquisition/device.h"
#include "acquisition/named_parameters.h"

using namespace qolven_acquisition;

namespace {

const Parameter *row(int index) {
    const auto &table = parameterTable();
    if (index < 0 || static_cast<size_t>(index) >= table.size()) return nullptr;
    return table[static_cast<size_t>(index)];
}

namespace bt = _QOLVEN_USB_DLL::detail;

bool serves(uint32_t families, int boardType) {
    return boardType >= 0 && boardType <= bt::kLastBoardType && bt::serves(boardType, families);
}

// The row by name, or a refusal naming it.
const Parameter *named(qolven_device *d, const char *name) {
    const Parameter *p = findParameter(name);
    if (!p) refuse(d, QOLVEN_UNKNOWN_NAME, "unknown parameter \"" + std::string(name ? name : "") + "\"");
    return p;
}

// What depends on the board type -- the point numbers of its loading-point
// table, the highest value it takes -- is checked after an identification
// (a read), so that nothing is written that the board cannot take.
int checkForBoard(qolven_device *d, const Parameter &p, int point, const Value *value) {
    std::string type = d->object->Get_Type_of_Board(d->handle());
    if (type == "Error") return libraryFailure(d);
    int boardType = std::atoi(type.c_str()), first = 0, last = -1;
    if (!loadingPoints(boardType, first, last))
        return refuse(d, QOLVEN_ERROR, std::string(p.name) + ": board type " + type + " is not known");
    if (p.indexed && (point < first || point > last))
        return refuse(d, QOLVEN_INVALID_ARGUMENT, std::string(p.name) + ": point " + std::to_string(point) +
                                                      " is outside " + std::to_string(first) + ".." +
                                                      std::to_string(last) + " of board type " + type);
    if (value && value->given && p.typeHigh && value->integer > p.typeHigh(boardType))
        return refuse(d, QOLVEN_INVALID_ARGUMENT, std::string(p.name) + ": value " + std::to_string(value->integer) +
                                                      " is outside " + std::to_string(lowestValue(p)) + ".." +
                                                      std::to_string(p.typeHigh(boardType)) + " of board type " + type);
    return QOLVEN_OK;
}

Target target(qolven_device *d, int point) {
    return {*d->object, d->handle(), d->channel, point, d->calibrationType};
}

} // namespace

extern "C" {

int qolven_parameter_count(void) { return static_cast<int>(parameterTable().size()); }

int qolven_parameter_find(const char *name) {
    const auto &table = parameterTable();
    for (size_t i = 0; name && i < table.size(); ++i)
        if (std::strcmp(table[i]->name, name) == 0) return static_cast<int>(i);
    return -1;
}

const char *qolven_parameter_name(int index) {
    const Parameter *p = row(index);
    return p ? p->name : nullptr;
}

const char *qolven_parameter_meaning(int index) {
    const Parameter *p = row(index);
    return p ? p->meaning : nullptr;
}

const char *qolven_parameter_syntax(int index) {
    // Built once per row: the texts live as long as the library.
    static const std::vector<std::string> syntaxes = [] {
        std::vector<std::string> texts;
        for (const Parameter *p : parameterTable()) texts.push_back(valueSyntax(*p));
        return texts;
    }();
    return row(index) ? syntaxes[static_cast<size_t>(index)].c_str() : nullptr;
}

const char *qolven_parameter_getter(int index) {
    const Parameter *p = row(index);
    return p ? (p->reader.method.name ? p->reader.method.name : "") : nullptr;
}

const char *qolven_parameter_setter(int index) {
    const Parameter *p = row(index);
    return p ? (p->writer.method.name ? p->writer.method.name : "") : nullptr;
}

int qolven_parameter_flags(int index) {
    const Parameter *p = row(index);
    if (!p) return 0;
    return (readable(*p) ? QOLVEN_PARAMETER_READABLE : 0) | (writable(*p) ? QOLVEN_PARAMETER_WRITABLE : 0) |
           (p->indexed ? QOLVEN_PARAMETER_INDEXED : 0) | (p->optionalValue ? QOLVEN_PARAMETER_VALUE_OPTIONAL : 0);
}

int qolven_parameter_kind(int index) {
    const Parameter *p = row(index);
    return p ? static_cast<int>(p->kind) : -1;
}

int qolven_parameter_range(int index, int64_t *low, int64_t *high) {
    const Parameter *p = row(index);
    if (!p || !low || !high) return QOLVEN_INVALID_ARGUMENT;
    *low = lowestValue(*p);
    *high = highestValue(*p);
    return QOLVEN_OK;
}

int qolven_parameter_serves(int index, int boardType, int access) {
    const Parameter *p = row(index);
    if (!p) return 0;
    if (access == QOLVEN_PARAMETER_READABLE) return readable(*p) && serves(p->readFamilies(), boardType) ? 1 : 0;
    if (access == QOLVEN_PARAMETER_WRITABLE) return writable(*p) && serves(p->writeFamilies(), boardType) ? 1 : 0;
    return 0;
}

int qolven_parameter_points(int index, int boardType, int *first, int *last) {
    const Parameter *p = row(index);
    if (!p || !p->indexed || !first || !last) return QOLVEN_INVALID_ARGUMENT;
    return loadingPoints(boardType, *first, *last) ? QOLVEN_OK : QOLVEN_INVALID_ARGUMENT;
}

int qolven_get_parameter(qolven_device *d, const char *name, int point, char *value, size_t size) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    if (value && size) value[0] = 0;
    return guarded(d, [&]() -> int {
        begin(d);
        const Parameter *p = named(d, name);
        if (!p) return QOLVEN_UNKNOWN_NAME;
        if (!readable(*p)) return refuse(d, QOLVEN_NOT_SUPPORTED, std::string(p->name) + " cannot be read (write only)");
        if (!requireOpen(d)) return QOLVEN_NOT_OPEN;
        if (p->indexed) {
            int checked = checkForBoard(d, *p, point, nullptr);
            if (checked != QOLVEN_OK) return checked;
        }
        std::string text = p->reader.call(target(d, point));
        if (text == "Error") return libraryFailure(d);
        return give(d, text, value, size, nullptr);
    });
}

int qolven_set_parameter(qolven_device *d, const char *name, int point, const char *value) {
    if (!d) return QOLVEN_INVALID_ARGUMENT;
    return guarded(d, [&]() -> int {
        begin(d);
        const Parameter *p = named(d, name);
        if (!p) return QOLVEN_UNKNOWN_NAME;
        if (!writable(*p)) return refuse(d, QOLVEN_NOT_SUPPORTED, std::string(p->name) + " cannot be written (read only)");
        Value checked;
        std::string why;
        bool outside = false;
        if (!parseValue(*p, value, checked, why, &outside)) {
            std::string reason = std::string(p->name) + ": " + why;
            if (outside && p->range.text != _QOLVEN_USB_DLL::detail::ErrorText::None)
                reason = std::string(_QOLVEN_USB_DLL::detail::errorText(p->range.text)) + " (" + reason + ")";
            return refuse(d, QOLVEN_INVALID_ARGUMENT, reason);
        }
        if (!requireOpen(d)) return QOLVEN_NOT_OPEN;
        if (p->indexed || p->typeHigh) {
            int forBoard = checkForBoard(d, *p, point, &checked);
            if (forBoard != QOLVEN_OK) return forBoard;
        }
        boardChanged(d);
        if (p->writer.call(target(d, point), checked) == "Error") return libraryFailure(d);
        d->result = "0";
        return QOLVEN_OK;
    });
}

} // extern "C"
