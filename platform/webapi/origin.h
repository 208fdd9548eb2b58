// Same-origin check of browser requests: a page of another site must not be
// able to drive the API through an administrator's browser.
#pragma once

#include <string>

namespace TAVO {
namespace Host {

// The authority ("host[:port]", lower case, default port dropped) of an
// origin or URL such as "http://Example.com:80/page", or "" when it has none.
std::string UrlAuthority(const std::string& url, std::string* scheme = nullptr);

// Whether a request with these headers (each may be null) comes from the
// site that serves it. The Origin header decides when present ("null"
// included); else the Referer; a request with neither (curl, scripts) passes.
// `https` tells the scheme the request was served with.
bool IsSameOrigin(const char* origin, const char* referer, const char* host, bool https);

// Whether a Sec-Fetch-Site header allows the request: absent, "same-origin"
// or "none" (typed in the address bar, a bookmark). "same-site" is refused
// too: a page on another port of the same host is another origin.
bool IsSameOriginFetch(const char* secFetchSite);

// The host part of a Host header, lower case, without port and brackets
// ("[::1]:8080" gives "::1"), an IPv6 address in its canonical form; "" when
// the header is malformed.
std::string HostOfHeader(const std::string& hostHeader);

// Whether a host part names this machine itself: "localhost", an IPv4
// address in 127.0.0.0/8 written as four decimal numbers, or ::1.
bool IsLoopbackHost(const std::string& host);

// Whether a Host header names a server this host answers for: a loopback
// name or address, or one of the comma-separated names and addresses in
// allowedHosts (host parts, IPv6 without brackets, any case). A request
// without a Host header (HTTP/1.0, the command line) passes. Under DNS
// rebinding the attacker's name arrives here and is refused.
bool IsAllowedHost(const char* hostHeader, const char* allowedHosts);

// The variable that lists the names and addresses (besides loopback) this
// server answers to; scripts/serve sets it from --listen and --allow-host.
constexpr const char kAllowedHostsVariable[] = "TAVO_WEBAPI_ALLOWED_HOSTS";

// The headers that decide whether a request may be served.
struct RequestSite {
    const char* origin = nullptr;
    const char* referer = nullptr;
    const char* host = nullptr;
    const char* secFetchSite = nullptr;
    const char* allowedHosts = nullptr;  // the allowed-hosts list
    bool https = false;
};

// "" when the request may be served, else why it is refused (for the log):
// a Host this server does not answer to, a browser's cross-site fetch, or
// another site's Origin or Referer.
std::string CrossSiteRefusal(const RequestSite& site);

}  // namespace Host
}  // namespace TAVO
