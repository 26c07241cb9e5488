// Who may talk to the server: the token, and the Host and Origin a request may carry.
#ifndef QOLVEN_SERVER_SECURITY_H
#define QOLVEN_SERVER_SECURITY_H

#include <set>
#include <string>

namespace qolven_server {

// 32 hexadecimal digits from the system's random source.
std::string randomToken();

// What is wrong with `token` as the server's token, "" when nothing.  It goes
// into the address printed, so it holds letters, digits and "-._~" only; on an
// address other machines reach it must also be hard to guess.
std::string tokenProblem(const std::string &token, bool loopback);

// What the page of a browser keeps instead of the token: a cookie of its own
// secret, scoped to a path of its own.  Browsers do not keep cookies apart by
// port, so a cookie for "/" would go to every other server on this host.
struct BrowserSession {
    std::string path;    // "/s/" and 32 hexadecimal digits; the page lives below it
    std::string secret;  // the cookie's value
};
BrowserSession browserSessionFor(const std::string &token);

// 127.0.0.0/8, ::1 and "localhost".
bool isLoopback(const std::string &address);
// 0.0.0.0 and :: (every interface).
bool isWildcard(const std::string &address);

// Comparison whose time does not depend on where the texts differ.
bool sameSecret(const std::string &a, const std::string &b);

class AccessPolicy {
public:
    // `hosts`: the host names and addresses the server answers to, without port.
    AccessPolicy(std::set<std::string> hosts, int port, std::string token, BrowserSession session = {});

    // Host header ("127.0.0.1:8080", "[::1]:8080", "localhost:8080").
    bool hostAllowed(const std::string &host) const;
    // Origin header; an absent Origin (same-origin GET, scripts) is fine.
    bool originAllowed(const std::string &origin) const;
    // The token in the Authorization header ("Bearer T") or the query, or the
    // session's cookie.
    bool tokenAllowed(const std::string &authorization, const std::string &cookie, const std::string &query) const;

    const std::string &token() const { return token_; }
    const BrowserSession &session() const { return session_; }
    // The Set-Cookie header's value that hands the session to a page.
    std::string sessionCookie() const;

private:
    std::set<std::string> hosts_;
    int port_;
    std::string token_;
    BrowserSession session_;
};

// Host names and addresses a server bound to `bind` answers to: the loopback names
// always; for a wildcard bind also this machine's addresses and host name.
std::set<std::string> hostsFor(const std::string &bind);

} // namespace qolven_server

#endif
