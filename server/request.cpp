#include "request.h"

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace qolven_server {

namespace {

std::string kind(const Json &value) {
    switch (value.type()) {
    case Json::value_t::null: return "null";
    case Json::value_t::boolean: return "true or false";
    case Json::value_t::string: return "a text";
    case Json::value_t::array: return "a list";
    case Json::value_t::object: return "an object";
    case Json::value_t::number_float: {
        double v = value.get<double>();
        return std::isfinite(v) && std::trunc(v) == v ? "a number out of range" : "a fraction";
    }
    default: return "a number";
    }
}

std::string range(long long low, long long high) { return std::to_string(low) + ".." + std::to_string(high); }

// As a person writes it: 1000000, 0.5, 1e+300.
std::string numberText(double value) {
    char text[32];
    std::snprintf(text, sizeof text, "%.15g", value);
    return text;
}

} // namespace

Json parseBody(const std::string &body, const std::set<std::string> &allowed) {
    if (body.empty()) return Json::object();
    Json value = Json::parse(body, nullptr, false);
    if (value.is_discarded()) throw BadRequest("body: not valid JSON");
    if (!value.is_object()) throw BadRequest("body: expected a JSON object, got " + kind(value));
    for (auto it = value.begin(); it != value.end(); ++it)
        if (!allowed.count(it.key())) {
            std::string names;
            for (const std::string &a : allowed) names += (names.empty() ? "" : ", ") + a;
            throw BadRequest("body: unknown field \"" + it.key() + "\" (fields: " + names + ")");
        }
    return value;
}

long long integerField(const Json &body, const std::string &name, long long low, long long high,
                       std::optional<long long> fallback) {
    auto it = body.find(name);
    if (it == body.end()) {
        if (fallback) return *fallback;
        throw BadRequest(name + ": missing");
    }
    long long value;
    if (it->is_number_integer()) {
        value = it->is_number_unsigned() && it->get<unsigned long long>() > (1ULL << 62)
                    ? high + 1  // far out of any range this API takes
                    : it->get<long long>();
    } else if (it->is_number_float() && std::isfinite(it->get<double>()) && std::trunc(it->get<double>()) == it->get<double>() &&
               std::fabs(it->get<double>()) < 1e15) {
        value = static_cast<long long>(it->get<double>());
    } else {
        throw BadRequest(name + ": expected a whole number, got " + kind(*it));
    }
    if (value < low || value > high)
        throw BadRequest(name + ": " + it->dump() + " is outside " + range(low, high));
    return value;
}

bool booleanField(const Json &body, const std::string &name, bool fallback) {
    auto it = body.find(name);
    if (it == body.end()) return fallback;
    if (!it->is_boolean()) throw BadRequest(name + ": expected true or false, got " + kind(*it));
    return it->get<bool>();
}

double numberField(const Json &body, const std::string &name, double low, double high, std::optional<double> fallback) {
    auto it = body.find(name);
    if (it == body.end()) {
        if (fallback) return *fallback;
        throw BadRequest(name + ": missing");
    }
    if (!it->is_number()) throw BadRequest(name + ": expected a number, got " + kind(*it));
    double value = it->get<double>();
    if (!(value >= low && value <= high))
        throw BadRequest(name + ": " + it->dump() + " is outside " + numberText(low) + ".." + numberText(high));
    return value;
}

std::string valueText(const Json &body, const std::string &name) {
    auto it = body.find(name);
    if (it == body.end()) throw BadRequest(name + ": missing");
    if (it->is_string()) {
        std::string text = it->get<std::string>();
        if (text.size() > 64) throw BadRequest(name + ": longer than 64 characters");
        return text;
    }
    if (it->is_number_integer()) return it->dump();
    throw BadRequest(name + ": expected a whole number or a text, got " + kind(*it));
}

bool wholeNumber(const std::string &text, long long &value) {
    if (text.empty()) return false;
    char *end = nullptr;
    errno = 0;
    value = std::strtoll(text.c_str(), &end, 10);
    return *end == 0 && errno == 0;
}

long long integerParameter(const std::string &text, bool present, const std::string &name, long long low,
                           long long high, long long fallback) {
    if (!present) return fallback;
    long long value = 0;
    if (!wholeNumber(text, value)) throw BadRequest(name + ": \"" + text + "\" is not a whole number");
    if (value < low || value > high) throw BadRequest(name + ": " + text + " is outside " + range(low, high));
    return value;
}

} // namespace qolven_server
