// Checks on what a request carries: JSON bodies, their fields, query parameters.
// Every failure names the field and what was wrong, and is thrown before any
// work reaches a device.
#ifndef QOLVEN_SERVER_REQUEST_H
#define QOLVEN_SERVER_REQUEST_H

#include <nlohmann/json.hpp>

#include <map>
#include <optional>
#include <set>
#include <stdexcept>
#include <string>

namespace qolven_server {

using Json = nlohmann::json;

// A request that cannot be carried out as sent (400).
struct BadRequest : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// A Content-Type header: the media type in lower case ("application/json") and
// its parameters (names in lower case, quoted values without their quotes).
struct MediaType {
    std::string type;
    std::map<std::string, std::string> parameters;
};
// Throws BadRequest naming what is wrong when the header is not a media type.
MediaType parseMediaType(const std::string &header);
// Throws BadRequest unless the header says JSON (in UTF-8, the only charset JSON has).
void requireJsonMediaType(const std::string &header);

// The body as a JSON object whose keys all belong to `allowed`.
Json parseBody(const std::string &body, const std::set<std::string> &allowed);

// An integer field within low..high; `fallback` when the field is absent.
long long integerField(const Json &body, const std::string &name, long long low, long long high,
                       std::optional<long long> fallback = std::nullopt);
bool booleanField(const Json &body, const std::string &name, bool fallback);
double numberField(const Json &body, const std::string &name, double low, double high, std::optional<double> fallback);

// A setting's value: a JSON string as it is, or an integer as decimal text.
std::string valueText(const Json &body, const std::string &name);

// A decimal integer and nothing else, as the library writes its results.
bool wholeNumber(const std::string &text, long long &value);

// A query parameter as an integer within low..high; `fallback` when absent.
long long integerParameter(const std::string &text, bool present, const std::string &name, long long low,
                           long long high, long long fallback);

} // namespace qolven_server

#endif
