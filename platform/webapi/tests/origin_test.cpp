// Cross-site requests are refused; the serving site's own pages and
// header-less clients pass.
#include <gtest/gtest.h>

#include "origin.h"

using TAVO::Host::IsSameOrigin;
using TAVO::Host::UrlAuthority;

TEST(OriginTest, AuthorityOfOriginsAndUrls) {
    EXPECT_EQ(UrlAuthority("http://127.0.0.1:8080"), "127.0.0.1:8080");
    EXPECT_EQ(UrlAuthority("HTTP://NAS.Example:80/path?q#f"), "nas.example");
    EXPECT_EQ(UrlAuthority("https://nas.example:443/"), "nas.example");
    EXPECT_EQ(UrlAuthority("http://user:pw@nas.example:5000/x"), "nas.example:5000");
    EXPECT_EQ(UrlAuthority("null"), "");
    EXPECT_EQ(UrlAuthority("http:///path"), "");
    EXPECT_EQ(UrlAuthority("//nas.example/"), "");
}

TEST(OriginTest, OwnSitePasses) {
    EXPECT_TRUE(IsSameOrigin("http://127.0.0.1:8080", nullptr, "127.0.0.1:8080", false));
    EXPECT_TRUE(IsSameOrigin(nullptr, "http://127.0.0.1:8080/index.html", "127.0.0.1:8080", false));
    EXPECT_TRUE(IsSameOrigin("http://nas.example", nullptr, "NAS.example:80", false));
    EXPECT_TRUE(IsSameOrigin("https://nas.example:443", nullptr, "nas.example", true));
}

TEST(OriginTest, RequestsWithoutEitherHeaderPass) {
    EXPECT_TRUE(IsSameOrigin(nullptr, nullptr, "127.0.0.1:8080", false));
    EXPECT_TRUE(IsSameOrigin(nullptr, nullptr, nullptr, false));
}

TEST(OriginTest, ForeignSitesAreRefused) {
    EXPECT_FALSE(IsSameOrigin("http://evil.example", nullptr, "127.0.0.1:8080", false));
    EXPECT_FALSE(IsSameOrigin("http://127.0.0.1:9999", nullptr, "127.0.0.1:8080", false));
    EXPECT_FALSE(IsSameOrigin("https://127.0.0.1:8080", nullptr, "127.0.0.1:8080", false));
    EXPECT_FALSE(IsSameOrigin("null", nullptr, "127.0.0.1:8080", false));
    EXPECT_FALSE(IsSameOrigin(nullptr, "http://evil.example/form.html", "127.0.0.1:8080", false));
    // A host name that merely starts with the served one is another site.
    EXPECT_FALSE(
        IsSameOrigin("http://127.0.0.1:8080.evil.example", nullptr, "127.0.0.1:8080", false));
    // The Origin decides over a matching Referer.
    EXPECT_FALSE(
        IsSameOrigin("http://evil.example", "http://127.0.0.1:8080/", "127.0.0.1:8080", false));
    // Without a Host header nothing can match.
    EXPECT_FALSE(IsSameOrigin("http://127.0.0.1:8080", nullptr, nullptr, false));
}

using TAVO::Host::CrossSiteRefusal;
using TAVO::Host::HostOfHeader;
using TAVO::Host::IsAllowedHost;
using TAVO::Host::IsLoopbackHost;
using TAVO::Host::IsSameOriginFetch;
using TAVO::Host::RequestSite;

TEST(OriginTest, SecFetchSiteAllowsOnlyTheSameOriginOrTheUser) {
    EXPECT_TRUE(IsSameOriginFetch(nullptr));
    EXPECT_TRUE(IsSameOriginFetch("same-origin"));
    EXPECT_TRUE(IsSameOriginFetch("none"));
    EXPECT_TRUE(IsSameOriginFetch(" same-origin "));
    // Another port of the same host is "same-site" and another origin.
    for (const char* value :
         {"same-site", "cross-site", "", "Same-Origin", "same-origin, cross-site", "nonesuch"})
        EXPECT_FALSE(IsSameOriginFetch(value)) << value;
}

TEST(OriginTest, HostPartOfTheHostHeader) {
    EXPECT_EQ("127.0.0.1", HostOfHeader("127.0.0.1:8080"));
    EXPECT_EQ("nas.example", HostOfHeader("NAS.Example"));
    EXPECT_EQ("::1", HostOfHeader("[::1]:8080"));
    EXPECT_EQ("::1", HostOfHeader("[0:0:0:0:0:0:0:1]"));
    EXPECT_EQ("::1", HostOfHeader("::1"));
    EXPECT_EQ("fe80::1", HostOfHeader("[FE80::1]:5000"));
    EXPECT_EQ("localhost", HostOfHeader(" localhost:80 "));
    // Malformed: nothing can match.
    for (const char* header :
         {"", ":8080", "127.0.0.1:80x", "127.0.0.1:123456", "[::1", "[::1]x", "[evil]:80",
          "user@127.0.0.1", "127.0.0.1/x", "a b", "127.0.0.1:8080:1", "[127.0.0.1]"})
        EXPECT_EQ("", HostOfHeader(header)) << header;
}

TEST(OriginTest, LoopbackNamesAndAddresses) {
    for (const char* host : {"localhost", "127.0.0.1", "127.1.2.3", "127.255.255.255", "::1"})
        EXPECT_TRUE(IsLoopbackHost(host)) << host;
    for (const char* host :
         {"127.attacker.invalid", "localhost.evil", "evil.localhost", "127.0.0.1.evil.example",
          "128.0.0.1", "0.0.0.0", "127.1", "127.0.0.01", "0177.0.0.1", "0x7f.0.0.1", "2130706433",
          "::", "::ffff:8.8.8.8", "127.0.0.1 ", ""})
        EXPECT_FALSE(IsLoopbackHost(host)) << host;
}

TEST(OriginTest, AllowedHostsAreLoopbackAndTheListedNames) {
    EXPECT_TRUE(IsAllowedHost(nullptr, nullptr));  // no Host header: HTTP/1.0, the command line
    EXPECT_TRUE(IsAllowedHost("127.0.0.1:8080", nullptr));
    EXPECT_TRUE(IsAllowedHost("LOCALHOST:8080", nullptr));
    EXPECT_TRUE(IsAllowedHost("[::1]:8080", nullptr));
    EXPECT_FALSE(IsAllowedHost("evil.example:8080", nullptr));
    EXPECT_FALSE(IsAllowedHost("127.attacker.invalid:8080", nullptr));
    EXPECT_FALSE(IsAllowedHost("localhost.evil:8080", nullptr));
    EXPECT_FALSE(IsAllowedHost("", nullptr));

    const char* list = " nas.example ,192.168.1.20,, FE80::0:1 ,[fd00::2]";
    EXPECT_TRUE(IsAllowedHost("nas.example", list));
    EXPECT_TRUE(IsAllowedHost("Nas.Example:5000", list));
    EXPECT_TRUE(IsAllowedHost("192.168.1.20:8080", list));
    EXPECT_TRUE(IsAllowedHost("[fe80::1]:8080", list));
    EXPECT_TRUE(IsAllowedHost("[fd00::2]", list));
    EXPECT_TRUE(IsAllowedHost("127.0.0.1", list));
    for (const char* host : {"nas.example.evil", "evil.nas.example", "nas", "192.168.1.2",
                             "192.168.1.200", "[fe80::2]", "example"})
        EXPECT_FALSE(IsAllowedHost(host, list)) << host;
    EXPECT_FALSE(IsAllowedHost("nas.example", ""));
    // A port in the list never matches a host part.
    EXPECT_FALSE(IsAllowedHost("nas.example:5000", "nas.example:5000"));
}

TEST(OriginTest, RefusalNamesTheRule) {
    RequestSite own;
    own.host = "127.0.0.1:8080";
    EXPECT_EQ("", CrossSiteRefusal(own));
    own.origin = "http://127.0.0.1:8080";
    own.secFetchSite = "same-origin";
    EXPECT_EQ("", CrossSiteRefusal(own));

    RequestSite rebound;
    rebound.host = "evil.example:8080";
    rebound.origin = "http://evil.example:8080";
    rebound.secFetchSite = "same-origin";
    EXPECT_EQ("not a host this server answers to", CrossSiteRefusal(rebound));
    rebound.allowedHosts = "evil.example";
    EXPECT_EQ("", CrossSiteRefusal(rebound));

    RequestSite image;  // <img> on a page of another port, no Referer
    image.host = "127.0.0.1:8080";
    image.secFetchSite = "same-site";
    EXPECT_EQ("cross-site fetch", CrossSiteRefusal(image));

    RequestSite form;
    form.host = "127.0.0.1:8080";
    form.origin = "http://127.0.0.1:9999";
    EXPECT_EQ("another site's Origin or Referer", CrossSiteRefusal(form));
}
