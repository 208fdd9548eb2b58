// Walking, filtering and detection, without the service.
#include <clamav.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>

#include "clam_engine.h"
#include "scan_filter.h"
#include "scan_paths.h"
#include "scan_test_util.h"
#include "tree_walker.h"

using namespace tavoscan;
using scantest::TempRootTest;

TEST(ScanPaths, NormalizeKeepsTheResultUnderTheRoot) {
    EXPECT_EQ(NormalizePath("/volume1//a/./b/"), "/volume1/a/b");
    EXPECT_EQ(NormalizePath("/volume1/../../etc/passwd"), "/etc/passwd");
    EXPECT_EQ(NormalizePath("/.."), "/");
    EXPECT_EQ(NormalizePath("volume1/a"), "");
    EXPECT_EQ(NormalizePath(""), "");
    EXPECT_TRUE(IsVolumeName("volume12"));
    EXPECT_FALSE(IsVolumeName("volume"));
    EXPECT_FALSE(IsVolumeName("volumeX"));
    EXPECT_FALSE(IsVolumeName("volume1a"));
}

TEST(ScanFilter, WhiteListExemptsTheFileAndEverythingBelowAFolder) {
    ScanFilter filter({"/volume1/keep.exe", "/volume1/safe/", "/volume2/x/../trusted"}, {}, false);
    EXPECT_TRUE(filter.IsWhiteListed("/volume1/keep.exe"));
    EXPECT_FALSE(filter.IsWhiteListed("/volume1/keep.exe.bak"));
    EXPECT_FALSE(filter.IsWhiteListed("/volume1/keep"));
    EXPECT_TRUE(filter.IsWhiteListed("/volume1/safe"));
    EXPECT_TRUE(filter.IsWhiteListed("/volume1/safe/deep/er/file"));
    EXPECT_FALSE(filter.IsWhiteListed("/volume1/safer/file"));
    EXPECT_TRUE(filter.IsWhiteListed("/volume2/trusted/a"));
    EXPECT_FALSE(filter.IsWhiteListed("/volume1"));
}

TEST(ScanFilter, ExtensionRuleMatchesTheLastExtensionWithoutCase) {
    ScanFilter all({}, {"exe"}, false);
    EXPECT_TRUE(all.ExtensionWanted("notes"));
    ScanFilter only({}, {"exe", ".ZIP", ""}, true);
    EXPECT_TRUE(only.ExtensionWanted("setup.EXE"));
    EXPECT_TRUE(only.ExtensionWanted("a.tar.zip"));
    EXPECT_FALSE(only.ExtensionWanted("a.zip.txt"));
    EXPECT_FALSE(only.ExtensionWanted("exe"));
    EXPECT_FALSE(only.ExtensionWanted(".exe"));
    EXPECT_FALSE(only.ExtensionWanted("trailing."));
}

TEST(ClassifyScan, LimitsAndEncryptedContentAreErrorsNotCleanNorDetections) {
    EXPECT_EQ(ClassifyScan(CL_CLEAN, nullptr, "").verdict, Verdict::kClean);
    ScanResult found = ClassifyScan(CL_VIRUS, "Eicar-Test-Signature", "");
    EXPECT_EQ(found.verdict, Verdict::kInfected);
    EXPECT_EQ(found.threat, "Eicar-Test-Signature");
    EXPECT_EQ(ClassifyScan(CL_VIRUS, "Win.Test.UNOFFICIAL", "").threat, "Win.Test");
    EXPECT_EQ(ClassifyScan(CL_VIRUS, "Heuristics.Encrypted.Zip", "").verdict, Verdict::kError);
    EXPECT_EQ(ClassifyScan(CL_VIRUS, nullptr, "").verdict, Verdict::kError);
    EXPECT_EQ(ClassifyScan(CL_VIRUS, "", "").verdict, Verdict::kError);
    EXPECT_EQ(ClassifyScan(CL_VIRUS, "Heuristics.Limits.Exceeded.MaxFileSize", "").verdict,
              Verdict::kError);
    EXPECT_EQ(ClassifyScan(CL_VIRUS, "Heuristics.Phishing.Email", "").verdict, Verdict::kInfected);
    for (int code : {CL_EMAXSIZE, CL_EMAXFILES, CL_EMAXREC, CL_ETIMEOUT, CL_EREAD, CL_EFORMAT}) {
        ScanResult result = ClassifyScan(code, nullptr, "engine text");
        EXPECT_EQ(result.verdict, Verdict::kError) << code;
        EXPECT_FALSE(result.reason.empty());
    }
}

class WalkerTest : public TempRootTest {
protected:
    // Walks the targets and answers the files visited (in order) and the
    // errors by path.
    void Walk(const std::vector<std::string>& targets, std::function<bool(const std::string&)> wantDir = nullptr) {
        int rootFd = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(rootFd, 0);
        TreeWalker::Callbacks cb;
        cb.wantDir = wantDir;
        cb.onFile = [this](int dirFd, const std::string& name, const std::string& path, const struct stat&) {
            struct stat st;
            EXPECT_EQ(fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW), 0);
            files_.push_back(path);
            return true;
        };
        cb.onError = [this](const std::string& path, const std::string& reason) { errors_[path] = reason; };
        walkedAll_ = TreeWalker(rootFd, cb).Walk(targets);
        close(rootFd);
    }
    std::vector<std::string> files_;
    std::map<std::string, std::string> errors_;
    bool walkedAll_ = false;
};

TEST_F(WalkerTest, VisitsRegularFilesOnlyAndNeverFollowsLinksOutOfTheTree) {
    Put("/volume1/a/one.txt", "1");
    Put("/volume1/a/b/two.txt", "2");
    Put("/volume1/@tavoav_quarantine/stored", "q");
    Put("/outside/secret.txt", "s");
    ASSERT_EQ(symlink((root_ + "/outside").c_str(), Real("/volume1/dirlink").c_str()), 0);
    ASSERT_EQ(symlink((root_ + "/outside/secret.txt").c_str(), Real("/volume1/filelink").c_str()), 0);
    ASSERT_EQ(mkfifo(Real("/volume1/pipe").c_str(), 0600), 0);
    Walk({"/volume1"});
    EXPECT_TRUE(walkedAll_);
    EXPECT_EQ(files_, (std::vector<std::string>{"/volume1/a/b/two.txt", "/volume1/a/one.txt"}));
    EXPECT_TRUE(errors_.empty());
}

TEST_F(WalkerTest, TargetsThroughLinksOrMissingAreNotFollowed) {
    Put("/outside/secret.txt", "s");
    Put("/volume1/file.txt", "f");
    ASSERT_EQ(symlink((root_ + "/outside").c_str(), Real("/volume1/link").c_str()), 0);
    Walk({"/volume1/link/secret.txt", "/volume1/link", "/volume1/missing", "/volume1/file.txt",
          "/volume1/@tavoav_quarantine/x"});
    EXPECT_EQ(files_, (std::vector<std::string>{"/volume1/file.txt"}));
    EXPECT_EQ(errors_.count("/volume1/link/secret.txt"), 1u);
    EXPECT_EQ(errors_.count("/volume1/missing"), 1u);
    EXPECT_EQ(errors_.count("/volume1/link"), 0u);  // a link target is passed over
}

TEST_F(WalkerTest, FoldersRefusedByTheCallerAreNotEntered) {
    Put("/volume1/keep/a.txt", "a");
    Put("/volume1/skip/b.txt", "b");
    Walk({"/volume1"}, [](const std::string& path) { return path != "/volume1/skip"; });
    EXPECT_EQ(files_, (std::vector<std::string>{"/volume1/keep/a.txt"}));
}

TEST_F(WalkerTest, ListsRealVolumeFoldersInNumberOrder) {
    for (const char* dir : {"/volume10", "/volume2", "/volume1", "/volumes", "/volumeX"})
        std::filesystem::create_directories(Real(dir));
    Put("/volume3", "a file, not a folder");
    ASSERT_EQ(symlink(Real("/volume1").c_str(), Real("/volume4").c_str()), 0);
    int rootFd = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
    EXPECT_EQ(TreeWalker::ListVolumes(rootFd), (std::vector<std::string>{"/volume1", "/volume2", "/volume10"}));
    // A second listing over the same descriptor sees the same folders.
    EXPECT_EQ(TreeWalker::ListVolumes(rootFd).size(), 3u);
    close(rootFd);
}

class ClamEngineTest : public TempRootTest {
protected:
    ScanResult ScanFile(const ClamEngine& engine, const std::string& path) {
        int fd = open(Real(path).c_str(), O_RDONLY);
        EXPECT_GE(fd, 0);
        ScanResult result = engine.ScanFd(fd, path);
        close(fd);
        return result;
    }
};

TEST_F(ClamEngineTest, DetectsTheTestStringAndReportsWhatItCannotJudge) {
    Put("/defs/test.ndb", scantest::EicarNdb());
    ClamEngine engine;
    std::string error;
    ASSERT_TRUE(engine.Load(Real("/defs"), 1024 * 1024, true, &error)) << error;
    EXPECT_EQ(engine.SignatureCount(), 1u);

    Put("/v/eicar.com", scantest::Eicar());
    Put("/v/embedded.txt", "some text before " + scantest::Eicar() + " and after");
    Put("/v/clean.txt", "hello world");
    Put("/v/locked.zip", scantest::EncryptedZip("inner.txt", "hidden content"));
    Put("/v/big.bin", std::string(2 * 1024 * 1024, 'a'));

    ScanResult eicar = ScanFile(engine, "/v/eicar.com");
    EXPECT_EQ(eicar.verdict, Verdict::kInfected);
    EXPECT_EQ(eicar.threat, "Eicar-Test-Signature");
    EXPECT_EQ(ScanFile(engine, "/v/embedded.txt").verdict, Verdict::kInfected);
    EXPECT_EQ(ScanFile(engine, "/v/clean.txt").verdict, Verdict::kClean);
    EXPECT_EQ(ScanFile(engine, "/v/locked.zip").verdict, Verdict::kError);
    ScanResult big = ScanFile(engine, "/v/big.bin");
    EXPECT_EQ(big.verdict, Verdict::kError) << big.threat;
    EXPECT_EQ(big.reason, "exceeds the scan limits");
}

TEST_F(ClamEngineTest, RefusesAFolderWithoutDefinitions) {
    std::filesystem::create_directories(Real("/empty"));
    ClamEngine engine;
    std::string error;
    EXPECT_FALSE(engine.Load(Real("/empty"), 0, true, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_FALSE(engine.Load(Real("/missing"), 0, true, &error));
}
