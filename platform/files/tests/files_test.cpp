#include "tavo/files.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>

#include "temp_root.h"

namespace fs = std::filesystem;
using tavo::files::UniqueFd;

namespace {

// Every test runs once with openat2 and once with the walk that stands in
// for it on older kernels.
class BeneathTest : public TempRootTest, public ::testing::WithParamInterface<bool> {
protected:
    void SetUp() override {
        TempRootTest::SetUp();
        tavo::files::UseOpenat2ForTesting(GetParam());
        fs::create_directories(Real("/volume1/share/dl"));
        fs::create_directories(Real("/elsewhere"));
        WriteFile(Real("/elsewhere/secret"), "secret");
        WriteFile(Real("/volume1/share/dl/file"), "file");
        volume_.Reset(open(Real("/volume1").c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
        ASSERT_TRUE(volume_.Valid());
    }
    void TearDown() override {
        tavo::files::UseOpenat2ForTesting(true);
        TempRootTest::TearDown();
    }
    UniqueFd volume_;
};

TEST(SplitBeneathTest, RefusesEscapesAndEmptyNames) {
    std::vector<std::string> names;
    EXPECT_TRUE(tavo::files::SplitBeneath("/a/b", &names));
    EXPECT_EQ(names, (std::vector<std::string>{"a", "b"}));
    EXPECT_TRUE(tavo::files::SplitBeneath("", &names));
    EXPECT_TRUE(names.empty());
    for (const char* szBad : {"a//b", "a/../b", "..", "./a", "a/", "/a/."})
        EXPECT_FALSE(tavo::files::SplitBeneath(szBad, &names)) << szBad;
    EXPECT_FALSE(tavo::files::SplitBeneath(std::string_view("a\0b", 3), &names));
}

TEST_P(BeneathTest, OpensPlainPaths) {
    UniqueFd fd = tavo::files::OpenBeneath(volume_.Get(), "/share/dl/file", O_RDONLY);
    ASSERT_TRUE(fd.Valid()) << strerror(errno);
    char buffer[8] = {};
    EXPECT_EQ(read(fd.Get(), buffer, sizeof buffer), 4);
    EXPECT_STREQ(buffer, "file");
    EXPECT_TRUE(tavo::files::OpenBeneath(volume_.Get(), "", O_RDONLY | O_DIRECTORY).Valid());
}

TEST_P(BeneathTest, RefusesALinkInAnyPosition) {
    // A folder on the way, the last name, and a link that stays inside.
    fs::create_directory_symlink("../../elsewhere", Real("/volume1/share/up"));
    fs::create_symlink(Real("/elsewhere/secret"), Real("/volume1/share/dl/last"));
    fs::create_directory_symlink("dl", Real("/volume1/share/inside"));
    for (const char* szPath : {"share/up/secret", "share/dl/last", "share/inside/file"}) {
        errno = 0;
        UniqueFd fd = tavo::files::OpenBeneath(volume_.Get(), szPath, O_RDONLY);
        EXPECT_FALSE(fd.Valid()) << szPath;
        EXPECT_TRUE(errno == ELOOP || errno == ENOTDIR) << szPath << ": " << strerror(errno);
    }
    EXPECT_FALSE(
        tavo::files::OpenBeneath(volume_.Get(), "share/../../elsewhere/secret", O_RDONLY).Valid());
    EXPECT_EQ(errno, EINVAL);
}

TEST_P(BeneathTest, CreatesThroughNoLink) {
    fs::create_directory_symlink(Real("/elsewhere"), Real("/volume1/share/up"));
    std::vector<std::string> created;
    UniqueFd fd =
        tavo::files::MakeFoldersBeneath(volume_.Get(), "share/up/new/deeper", 0755, &created);
    EXPECT_FALSE(fd.Valid());
    EXPECT_TRUE(created.empty());
    EXPECT_EQ(ListDir(Real("/elsewhere")), std::vector<std::string>{"secret"});

    // Made below a real folder: reported top first, and undone.
    fd = tavo::files::MakeFoldersBeneath(volume_.Get(), "share/a/b", 0755, &created);
    ASSERT_TRUE(fd.Valid()) << strerror(errno);
    EXPECT_EQ(created, (std::vector<std::string>{"share/a", "share/a/b"}));
    tavo::files::RemoveFoldersBeneath(volume_.Get(), created);
    EXPECT_FALSE(fs::exists(Real("/volume1/share/a")));
}

TEST_P(BeneathTest, UndoesItsFoldersWhenALinkStopsIt) {
    // "share/n" is made, then "share/n/x" exists as a link: nothing stays.
    fs::create_directories(Real("/volume1/share/n"));
    fs::create_directory_symlink(Real("/elsewhere"), Real("/volume1/share/n/x"));
    std::vector<std::string> created;
    UniqueFd fd = tavo::files::MakeFoldersBeneath(volume_.Get(), "share/m/y", 0755, &created);
    ASSERT_TRUE(fd.Valid());
    fd = tavo::files::MakeFoldersBeneath(volume_.Get(), "share/n/x/z", 0755, &created);
    EXPECT_FALSE(fd.Valid());
    EXPECT_FALSE(fs::exists(Real("/elsewhere/z")));
    EXPECT_EQ(created, (std::vector<std::string>{"share/m", "share/m/y"}));
}

INSTANTIATE_TEST_SUITE_P(Resolution, BeneathTest, ::testing::Values(true, false),
                         [](const auto& testInfo) { return testInfo.param ? "openat2" : "walk"; });

class FilesTest : public TempRootTest {};

TEST_F(FilesTest, WriteFileAtomicReplacesWholeAndLeavesNoTemporary) {
    std::string path = Real("/pkg/state");
    ASSERT_EQ(tavo::files::MakeParentFolders(path), 0);
    ASSERT_EQ(tavo::files::WriteFileAtomic(path, "old", 0600), 0);
    ASSERT_EQ(tavo::files::WriteFileAtomic(path, "new content", 0600), 0);
    EXPECT_EQ(ReadFile(path), "new content");
    EXPECT_EQ(ListDir(Real("/pkg")), std::vector<std::string>{"state"});
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    std::string content;
    ASSERT_EQ(tavo::files::ReadFile(path, &content), 0);
    EXPECT_EQ(content, "new content");
    EXPECT_EQ(tavo::files::ReadFile(Real("/pkg/none"), &content), -1);
    EXPECT_EQ(errno, ENOENT);
}

TEST_F(FilesTest, WriteFileAtomicFailsWithoutItsFolder) {
    EXPECT_EQ(tavo::files::WriteFileAtomic(Real("/missing/state"), "x"), -1);
    EXPECT_FALSE(fs::exists(Real("/missing")));
}

TEST_F(FilesTest, MakeFoldersRefusesAFileOnTheWay) {
    WriteFile(Real("/pkg/file"), "x");
    EXPECT_EQ(tavo::files::MakeFolders(Real("/pkg/a/b")), 0);
    EXPECT_TRUE(fs::is_directory(Real("/pkg/a/b")));
    EXPECT_EQ(tavo::files::MakeFolders(Real("/pkg/file/c")), -1);
    EXPECT_EQ(tavo::files::ParentOf("/a/b"), "/a");
    EXPECT_EQ(tavo::files::ParentOf("/a"), "/");
}

TEST_F(FilesTest, FileLockExcludesAnotherProcess) {
    std::string lockPath = Real("/pkg/locks/state.lock");
    tavo::files::FileLock lock(lockPath);
    ASSERT_TRUE(lock.Locked());
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        int fd = open(lockPath.c_str(), O_RDWR | O_CLOEXEC);
        _exit(fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    tavo::files::FileLock bad(Real("/pkg/locks/state.lock/under-a-file"));
    EXPECT_FALSE(bad.Locked());
    EXPECT_NE(bad.Error(), 0);
}

}  // namespace
