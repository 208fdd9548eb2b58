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

}  // namespace Host
}  // namespace TAVO
