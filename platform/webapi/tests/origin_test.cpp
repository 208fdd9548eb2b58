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
    EXPECT_FALSE(IsSameOrigin("http://127.0.0.1:8080.evil.example", nullptr, "127.0.0.1:8080", false));
    // The Origin decides over a matching Referer.
    EXPECT_FALSE(IsSameOrigin("http://evil.example", "http://127.0.0.1:8080/", "127.0.0.1:8080", false));
    // Without a Host header nothing can match.
    EXPECT_FALSE(IsSameOrigin("http://127.0.0.1:8080", nullptr, nullptr, false));
}
