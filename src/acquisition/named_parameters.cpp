#include "acquisition/named_parameters.h"

#include <cstring>

#include "acquisition/value_text.h"

namespace qolven_acquisition {

namespace bt = _QOLVEN_USB_DLL::detail;

const std::vector<const Parameter *> &parameterTable() {
    static const std::vector<const Parameter *> named = [] {
        std::vector<const Parameter *> rows;
        for (size_t i = 0; i < bt::table::kRowCount; ++i)
            if (bt::table::kRows[i]->name) rows.push_back(bt::table::kRows[i]);
        return rows;
    }();
    return named;
}

const Parameter *findParameter(const char *name) {
    if (!name) return nullptr;
    for (const Parameter *p : parameterTable())
        if (std::strcmp(p->name, name) == 0) return p;
    return nullptr;
}

bool loadingPoints(int boardType, int &first, int &last) {
    if (boardType < 0 || boardType > bt::kLastBoardType) return false;
    first = 0;
    last = bt::boardTypeRow(boardType).lastLoadingPoint;
    return true;
}

std::string valueSyntax(const Parameter &p) {
    switch (p.kind) {
    case Kind::Integer: return rangeText(lowestValue(p), highestValue(p));
    case Kind::Count: return std::string(p.optionalValue ? "[" : "") + "count " +
                             rangeText(lowestValue(p), highestValue(p)) + (p.optionalValue ? "]" : "");
    case Kind::Mac: return "xx:xx:xx:xx:xx:xx";
    case Kind::Ip: return "a.b.c.d";
    case Kind::Bytes: {
        std::string text;
        for (long long i = 0; i < highestValue(p); ++i) text += (i ? "," : "") + std::string(1, char('A' + i));
        return text;
    }
    }
    return "";
}

bool parseValue(const Parameter &p, const char *text, Value &value, std::string &why, bool *outside) {
    value = Value();
    if (!text || !*text) {
        if (p.optionalValue) return true;
        why = "needs a value (" + valueSyntax(p) + ")";
        return false;
    }
    value.given = true;
    bool ok = false;
    switch (p.kind) {
    case Kind::Integer:
    case Kind::Count: ok = parseInteger(text, lowestValue(p), highestValue(p), value.integer, why, outside); break;
    case Kind::Mac: ok = parseBytes(text, ':', 6, 16, value.bytes, why); break;
    case Kind::Ip: ok = parseBytes(text, '.', 4, 10, value.bytes, why); break;
    case Kind::Bytes: ok = parseBytes(text, ',', static_cast<size_t>(highestValue(p)), 10, value.bytes, why); break;
    }
    if (!ok) why = "value " + why;
    return ok;
}

} // namespace qolven_acquisition
