#include "origin.h"

#include <algorithm>
#include <cctype>

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
        authority.compare(authority.size() - defaultPort.size(), defaultPort.size(), defaultPort) == 0)
        return authority.substr(0, authority.size() - defaultPort.size());
    return authority;
}

}  // namespace

std::string UrlAuthority(const std::string& url, std::string* scheme) {
    const size_t sep = url.find("://");
    if (sep == std::string::npos || sep == 0) return "";
    std::string urlScheme = Lower(url.substr(0, sep));
    size_t start = sep + 3;
    size_t end = url.find_first_of("/?#", start);
    std::string authority = url.substr(start, end == std::string::npos ? std::string::npos : end - start);
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

}  // namespace Host
}  // namespace TAVO
