#include "security.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>
#include <random>

namespace qolven_server {

std::string randomToken() {
    std::random_device source;  // the kernel's random source on Linux
    std::string token;
    static const char digits[] = "0123456789abcdef";
    for (int i = 0; i < 16; ++i) {
        unsigned byte = source() & 0xFF;
        token += digits[byte >> 4];
        token += digits[byte & 15];
    }
    return token;
}

std::string tokenProblem(const std::string &token, bool loopback) {
    static const char allowed[] = "-._~";
    for (unsigned char c : token) {
        if (std::isalnum(c) || (c && std::strchr(allowed, c))) continue;
        char shown[16];
        if (c < 0x21 || c > 0x7E) std::snprintf(shown, sizeof shown, "byte 0x%02x", c);
        else std::snprintf(shown, sizeof shown, "\"%c\"", c);
        return std::string("holds ") + shown + "; a token holds letters, digits and - . _ ~ only";
    }
    if (loopback) return "";
    // Other machines may guess: the random token has 32 hexadecimal digits.
    const size_t kShortest = 16, kFewestDifferent = 8;
    if (token.empty()) return "needed: the server's address reaches other machines";
    if (token.size() < kShortest)
        return "is " + std::to_string(token.size()) + " character" + (token.size() == 1 ? "" : "s") +
               " long; on an address other machines reach, a token needs at least " + std::to_string(kShortest);
    std::set<char> different(token.begin(), token.end());
    if (different.size() < kFewestDifferent)
        return "has only " + std::to_string(different.size()) + " different characters; on an address other "
               "machines reach, a token needs at least " + std::to_string(kFewestDifferent);
    return "";
}

namespace {

// 32 hexadecimal digits of HMAC-SHA-256(token, purpose): nothing of the token
// can be learnt from them.
std::string derived(const std::string &token, const char *purpose) {
    unsigned char mac[EVP_MAX_MD_SIZE];
    unsigned int size = 0;
    if (!HMAC(EVP_sha256(), token.data(), static_cast<int>(token.size()),
              reinterpret_cast<const unsigned char *>(purpose), std::strlen(purpose), mac, &size) || size < 16)
        return randomToken();
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (unsigned i = 0; i < 16; ++i) {
        text += digits[mac[i] >> 4];
        text += digits[mac[i] & 15];
    }
    return text;
}

} // namespace

// Derived from the token, so that a server restarted with the same token keeps
// its page's session and an open page goes on.
BrowserSession browserSessionFor(const std::string &token) {
    if (token.empty()) return {"/s/" + randomToken(), randomToken()};
    return {"/s/" + derived(token, "qolven page path"), derived(token, "qolven session cookie")};
}

bool isLoopback(const std::string &address) {
    if (address == "localhost" || address == "::1") return true;
    in_addr v4{};
    return inet_pton(AF_INET, address.c_str(), &v4) == 1 && (ntohl(v4.s_addr) >> 24) == 127;
}

bool isWildcard(const std::string &address) { return address == "0.0.0.0" || address == "::"; }

bool sameSecret(const std::string &given, const std::string &secret) {
    if (secret.empty() || given.size() != secret.size()) return false;
    unsigned char differ = 0;
    for (size_t i = 0; i < secret.size(); ++i) differ |= static_cast<unsigned char>(given[i] ^ secret[i]);
    return differ == 0;
}

AccessPolicy::AccessPolicy(std::set<std::string> hosts, int port, std::string token, BrowserSession session)
    : hosts_(std::move(hosts)), port_(port), token_(std::move(token)), session_(std::move(session)) {}

namespace {

std::string lower(std::string text) {
    for (char &c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// "name:port" or "[v6]:port" into its host (brackets removed) and port; the port
// may be absent (-1).  False for anything else.
bool splitHost(const std::string &text, std::string &host, int &port) {
    port = -1;
    std::string rest;
    if (!text.empty() && text[0] == '[') {
        size_t close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        rest = text.substr(close + 1);
    } else {
        size_t colon = text.find(':');
        host = text.substr(0, colon);
        rest = colon == std::string::npos ? "" : text.substr(colon);
    }
    if (!rest.empty()) {
        if (rest[0] != ':' || rest.size() < 2 || rest.size() > 6) return false;
        for (size_t i = 1; i < rest.size(); ++i)
            if (!std::isdigit(static_cast<unsigned char>(rest[i]))) return false;
        port = std::stoi(rest.substr(1));
    }
    return !host.empty();
}

} // namespace

bool AccessPolicy::hostAllowed(const std::string &header) const {
    std::string host;
    int port;
    if (!splitHost(lower(header), host, port)) return false;
    // Browsers leave out the default port; the server only runs on 80 when told to.
    if (port != port_ && !(port == -1 && port_ == 80)) return false;
    return hosts_.count(host) != 0;
}

bool AccessPolicy::originAllowed(const std::string &origin) const {
    if (origin.empty()) return true;
    const std::string scheme = "http://";
    std::string text = lower(origin);
    if (text.compare(0, scheme.size(), scheme) != 0) return false;
    return hostAllowed(text.substr(scheme.size()));
}

std::string AccessPolicy::sessionCookie() const {
    return "qolven_session=" + session_.secret + "; Path=" + session_.path + "/; HttpOnly; SameSite=Strict";
}

bool AccessPolicy::tokenAllowed(const std::string &authorization, const std::string &cookie,
                                const std::string &query) const {
    if (token_.empty()) return true;
    const std::string bearer = "Bearer ";
    if (authorization.compare(0, bearer.size(), bearer) == 0 && sameSecret(authorization.substr(bearer.size()), token_))
        return true;
    if (!query.empty() && sameSecret(query, token_)) return true;
    // Cookie: "a=b; qolven_session=S; c=d"
    const std::string name = "qolven_session=";
    size_t at = 0;
    while (at < cookie.size()) {
        size_t end = cookie.find(';', at);
        if (end == std::string::npos) end = cookie.size();
        std::string part = cookie.substr(at, end - at);
        part.erase(0, part.find_first_not_of(' '));
        if (part.compare(0, name.size(), name) == 0 && sameSecret(part.substr(name.size()), session_.secret))
            return true;
        at = end + 1;
    }
    return false;
}

std::set<std::string> hostsFor(const std::string &bind) {
    std::set<std::string> hosts = {"localhost", "127.0.0.1", "::1"};
    if (!isWildcard(bind)) {
        hosts.insert(lower(bind));
        return hosts;
    }
    ifaddrs *list = nullptr;
    if (getifaddrs(&list) == 0) {
        for (ifaddrs *i = list; i; i = i->ifa_next) {
            if (!i->ifa_addr) continue;
            char text[INET6_ADDRSTRLEN] = {};
            if (i->ifa_addr->sa_family == AF_INET)
                inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in *>(i->ifa_addr)->sin_addr, text, sizeof text);
            else if (i->ifa_addr->sa_family == AF_INET6)
                inet_ntop(AF_INET6, &reinterpret_cast<sockaddr_in6 *>(i->ifa_addr)->sin6_addr, text, sizeof text);
            if (text[0]) hosts.insert(text);
        }
        freeifaddrs(list);
    }
    char name[256] = {};
    if (gethostname(name, sizeof name - 1) == 0 && name[0]) hosts.insert(lower(name));
    return hosts;
}

} // namespace qolven_server
