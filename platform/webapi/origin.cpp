#include "origin.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <algorithm>
#include <cctype>
#include <cstring>
#include <sstream>

namespace TAVO {
namespace Host {

namespace {

std::string Lower(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return text;
}

// "host:80" over http and "host:443" over https are "host".
std::string WithoutDefaultPort(const std::string& authority, const std::string& scheme) {
    const std::string defaultPort = scheme == "https" ? ":443" : ":80";
    if (authority.size() > defaultPort.size() &&
        authority.compare(authority.size() - defaultPort.size(), defaultPort.size(), defaultPort) ==
            0)
        return authority.substr(0, authority.size() - defaultPort.size());
    return authority;
}

std::string Trimmed(const std::string& text) {
    const size_t begin = text.find_first_not_of(" \t");
    if (begin == std::string::npos) return "";
    return text.substr(begin, text.find_last_not_of(" \t") - begin + 1);
}

bool IsIPv6(const std::string& text) {
    struct in6_addr address;
    return inet_pton(AF_INET6, text.c_str(), &address) == 1;
}

// A DNS name or IPv4 address: letters, digits, '-' and '.', nothing else.
bool IsHostName(const std::string& text) {
    if (text.empty() || text.size() > 253) return false;
    return std::all_of(text.begin(), text.end(),
                       [](unsigned char c) { return std::isalnum(c) || c == '-' || c == '.'; });
}

// Lower case; an IPv6 address in inet_ntop's form, so "[0:0::1]" is "::1".
std::string CanonicalHost(const std::string& host) {
    struct in6_addr address;
    if (inet_pton(AF_INET6, host.c_str(), &address) == 1) {
        char text[INET6_ADDRSTRLEN];
        if (inet_ntop(AF_INET6, &address, text, sizeof text) != nullptr) return text;
    }
    return Lower(host);
}

}  // namespace

std::string UrlAuthority(const std::string& url, std::string* scheme) {
    const size_t sep = url.find("://");
    if (sep == std::string::npos || sep == 0) return "";
    std::string urlScheme = Lower(url.substr(0, sep));
    size_t start = sep + 3;
    size_t end = url.find_first_of("/?#", start);
    std::string authority =
        url.substr(start, end == std::string::npos ? std::string::npos : end - start);
    // Credentials before '@' are not part of the site.
    size_t at = authority.rfind('@');
    if (at != std::string::npos) authority = authority.substr(at + 1);
    if (authority.empty()) return "";
    if (scheme) *scheme = urlScheme;
    return WithoutDefaultPort(Lower(authority), urlScheme);
}

bool IsSameOrigin(const char* origin, const char* referer, const char* host, bool https) {
    const char* source = origin ? origin : referer;
    if (!source) return true;
    if (!host || !*host) return false;
    const std::string servedScheme = https ? "https" : "http";
    std::string scheme;
    std::string authority = UrlAuthority(source, &scheme);
    if (authority.empty() || scheme != servedScheme) return false;
    return authority == WithoutDefaultPort(Lower(host), servedScheme);
}

bool IsSameOriginFetch(const char* secFetchSite) {
    if (secFetchSite == nullptr) return true;
    const std::string value = Trimmed(secFetchSite);
    return value == "same-origin" || value == "none";
}

std::string HostOfHeader(const std::string& hostHeader) {
    const std::string header = Trimmed(hostHeader);
    std::string host;
    std::string port;
    if (!header.empty() && header[0] == '[') {
        const size_t close = header.find(']');
        if (close == std::string::npos) return "";
        host = header.substr(1, close - 1);
        const std::string rest = header.substr(close + 1);
        if (!rest.empty()) {
            if (rest[0] != ':') return "";
            port = rest.substr(1);
        }
        if (!IsIPv6(host)) return "";
    } else if (std::count(header.begin(), header.end(), ':') > 1) {
        host = header;  // a bare IPv6 address
        if (!IsIPv6(host)) return "";
    } else {
        const size_t colon = header.find(':');
        host = header.substr(0, colon);
        if (colon != std::string::npos) port = header.substr(colon + 1);
        if (!IsHostName(host)) return "";
    }
    if (!port.empty() &&
        (port.size() > 5 || port.find_first_not_of("0123456789") != std::string::npos))
        return "";
    return CanonicalHost(host);
}

bool IsLoopbackHost(const std::string& host) {
    if (host == "localhost") return true;
    unsigned char address[sizeof(struct in6_addr)];
    // inet_pton takes exactly four decimal numbers: no "127.1", no octal,
    // no "127.attacker.invalid".
    if (inet_pton(AF_INET, host.c_str(), address) == 1) return address[0] == 127;
    if (inet_pton(AF_INET6, host.c_str(), address) == 1)
        return memcmp(address, &in6addr_loopback, sizeof in6addr_loopback) == 0;
    return false;
}

bool IsAllowedHost(const char* hostHeader, const char* allowedHosts) {
    if (hostHeader == nullptr) return true;
    const std::string host = HostOfHeader(hostHeader);
    if (host.empty()) return false;
    if (IsLoopbackHost(host)) return true;
    if (allowedHosts == nullptr) return false;
    std::stringstream list(allowedHosts);
    std::string entry;
    while (std::getline(list, entry, ',')) {
        entry = Trimmed(entry);
        if (entry.size() > 2 && entry.front() == '[' && entry.back() == ']')
            entry = entry.substr(1, entry.size() - 2);
        if (!entry.empty() && CanonicalHost(entry) == host) return true;
    }
    return false;
}

std::string CrossSiteRefusal(const RequestSite& site) {
    if (!IsAllowedHost(site.host, site.allowedHosts)) return "not a host this server answers to";
    if (!IsSameOriginFetch(site.secFetchSite)) return "cross-site fetch";
    if (!IsSameOrigin(site.origin, site.referer, site.host, site.https))
        return "another site's Origin or Referer";
    return "";
}

}  // namespace Host
}  // namespace TAVO
