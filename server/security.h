// Who may talk to the server: the token, and the Host and Origin a request may carry.
#ifndef QOLVEN_SERVER_SECURITY_H
#define QOLVEN_SERVER_SECURITY_H

#include <set>
#include <string>

namespace qolven_server {

// 32 hexadecimal digits from the system's random source.
std::string randomToken();

// 127.0.0.0/8, ::1 and "localhost".
bool isLoopback(const std::string &address);
// 0.0.0.0 and :: (every interface).
bool isWildcard(const std::string &address);

// Comparison whose time does not depend on where the texts differ.
bool sameSecret(const std::string &a, const std::string &b);

class AccessPolicy {
public:
    // `hosts`: the host names and addresses the server answers to, without port.
    AccessPolicy(std::set<std::string> hosts, int port, std::string token);

    // Host header ("127.0.0.1:8080", "[::1]:8080", "localhost:8080").
    bool hostAllowed(const std::string &host) const;
    // Origin header; an absent Origin (same-origin GET, scripts) is fine.
    bool originAllowed(const std::string &origin) const;
    // The token from the Authorization header ("Bearer T"), the cookie or the query.
    bool tokenAllowed(const std::string &authorization, const std::string &cookie, const std::string &query) const;

    const std::string &token() const { return token_; }
    std::string cookieName() const;

private:
    std::set<std::string> hosts_;
    int port_;
    std::string token_;
};

// Host names and addresses a server bound to `bind` answers to: the loopback names
// always; for a wildcard bind also this machine's addresses and host name.
std::set<std::string> hostsFor(const std::string &bind);

} // namespace qolven_server

#endif
