#include <limits.h>
#include <unistd.h>

#include "tavo/tavocore.h"
#include "temp_root.h"

namespace {

class RootTest : public ::testing::Test {
protected:
    void TearDown() override { unsetenv("TAVO_ROOT"); }
};

TEST_F(RootTest, UnsetOrEmptyMeansSlash) {
    unsetenv("TAVO_ROOT");
    EXPECT_STREQ(TAVORootDir(), "/");
    setenv("TAVO_ROOT", "", 1);
    EXPECT_STREQ(TAVORootDir(), "/");
    setenv("TAVO_ROOT", "///", 1);
    EXPECT_STREQ(TAVORootDir(), "/");
}

TEST_F(RootTest, AbsoluteFormWithoutTrailingSlashes) {
    setenv("TAVO_ROOT", "/tmp/a//b/./c///", 1);
    EXPECT_STREQ(TAVORootDir(), "/tmp/a/b/c");
    char szCwd[PATH_MAX];
    ASSERT_NE(getcwd(szCwd, sizeof(szCwd)), nullptr);
    setenv("TAVO_ROOT", "rel/dir/", 1);
    EXPECT_EQ(std::string(TAVORootDir()), std::string(szCwd) + "/rel/dir");
}

TEST_F(RootTest, RereadsTheEnvironmentAndKeepsEarlierPointersValid) {
    setenv("TAVO_ROOT", "/first", 1);
    const char* szFirst = TAVORootDir();
    setenv("TAVO_ROOT", "/second", 1);
    EXPECT_STREQ(TAVORootDir(), "/second");
    EXPECT_STREQ(szFirst, "/first");
}

TEST_F(RootTest, ResolvePath) {
    char szOut[64];
    unsetenv("TAVO_ROOT");
    ASSERT_EQ(TAVOResolvePath("/var/x", szOut, sizeof(szOut)), 0);
    EXPECT_STREQ(szOut, "/var/x");

    setenv("TAVO_ROOT", "/tmp/root/", 1);
    ASSERT_EQ(TAVOResolvePath("/var/x", szOut, sizeof(szOut)), 0);
    EXPECT_STREQ(szOut, "/tmp/root/var/x");
    ASSERT_EQ(TAVOResolvePath("/", szOut, sizeof(szOut)), 0);
    EXPECT_STREQ(szOut, "/tmp/root/");

    EXPECT_EQ(TAVOResolvePath("var/x", szOut, sizeof(szOut)), -1);
    EXPECT_EQ(TAVOResolvePath("", szOut, sizeof(szOut)), -1);
    EXPECT_EQ(TAVOResolvePath(nullptr, szOut, sizeof(szOut)), -1);
    EXPECT_EQ(TAVOResolvePath("/var/x", nullptr, 10), -1);
    // "/tmp/root/var/x" is 15 characters: 16 bytes fit exactly, 15 do not.
    EXPECT_EQ(TAVOResolvePath("/var/x", szOut, 16), 0);
    EXPECT_EQ(TAVOResolvePath("/var/x", szOut, 15), -1);
}

}  // namespace
