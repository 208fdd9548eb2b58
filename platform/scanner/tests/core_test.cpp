// Walking, filtering and detection, without the service.
#include <clamav.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <condition_variable>
#include <map>
#include <mutex>

#include "clam_engine.h"
#include "clean_cache.h"
#include "scan_filter.h"
#include "scan_paths.h"
#include "scan_pool.h"
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
    void Walk(const std::vector<std::string>& targets,
              std::function<bool(const std::string&)> wantDir = nullptr) {
        int rootFd = open(root_.c_str(), O_RDONLY | O_DIRECTORY);
        ASSERT_GE(rootFd, 0);
        TreeWalker::Callbacks cb;
        cb.wantDir = wantDir;
        cb.onFile = [this](int dirFd, const std::string& name, const std::string& path,
                           const struct stat&) {
            struct stat st;
            EXPECT_EQ(fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW), 0);
            files_.push_back(path);
            return true;
        };
        cb.onError = [this](const std::string& path, const std::string& reason) {
            errors_[path] = reason;
        };
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
    ASSERT_EQ(symlink((root_ + "/outside/secret.txt").c_str(), Real("/volume1/filelink").c_str()),
              0);
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
    EXPECT_EQ(TreeWalker::ListVolumes(rootFd),
              (std::vector<std::string>{"/volume1", "/volume2", "/volume10"}));
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

// The worker pool: results in submission order, pause, dropping.
namespace {

std::unique_ptr<ScanItem> NamedItem(const std::string& name) {
    auto item = std::make_unique<ScanItem>();
    item->name = name;
    return item;
}

std::unique_ptr<ScanItem> TakeWaiting(ScanPool& pool) {
    for (int i = 0; i < 600; ++i) {
        if (auto item = pool.TakeReady()) return item;
        pool.WaitReady(100);
    }
    return nullptr;
}

}  // namespace

TEST(ScanPool, ResultsComeBackInTheOrderTheyWereSubmitted) {
    // The first item is held until the last one is judged: later items
    // finish first, yet come back after it.
    std::mutex mutex;
    std::condition_variable cv;
    bool blLastDone = false;
    ScanPool pool(3, 16, [&](ScanItem& item) {
        std::unique_lock<std::mutex> lock(mutex);
        if (item.name == "0") cv.wait(lock, [&] { return blLastDone; });
        item.result.threat = "judged " + item.name;
        if (item.name == "9") {
            blLastDone = true;
            cv.notify_all();
        }
    });
    for (int i = 0; i < 10; ++i) {
        auto item = NamedItem(std::to_string(i));
        bool blJudged = i == 5;  // e.g. a cache hit
        if (blJudged) item->result.threat = "known";
        pool.Submit(std::move(item), blJudged);
    }
    EXPECT_FALSE(pool.Full());
    for (int i = 0; i < 10; ++i) {
        std::unique_ptr<ScanItem> item = TakeWaiting(pool);
        ASSERT_TRUE(item);
        EXPECT_EQ(item->name, std::to_string(i));
        EXPECT_EQ(item->result.threat, i == 5 ? "known" : "judged " + std::to_string(i));
    }
    EXPECT_TRUE(pool.Empty());
}

TEST(ScanPool, PausedWorkersStartNothingAndDroppedItemsAreNeverStarted) {
    std::mutex mutex;
    std::vector<std::string> started;
    ScanPool pool(2, 4, [&](ScanItem& item) {
        std::lock_guard<std::mutex> lock(mutex);
        started.push_back(item.name);
    });
    pool.SetPaused(true);
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    for (int i = 0; i < 4; ++i) {
        auto item = NamedItem(std::to_string(i));
        if (i == 3) item->fd.Reset(fds[0]);  // closed when dropped
        pool.Submit(std::move(item), false);
    }
    EXPECT_TRUE(pool.Full());
    EXPECT_FALSE(pool.WaitReady(300));
    {
        std::lock_guard<std::mutex> lock(mutex);
        EXPECT_TRUE(started.empty());
    }
    EXPECT_EQ(pool.DropPending(), 4u);
    EXPECT_TRUE(pool.Empty());
    EXPECT_EQ(fcntl(fds[0], F_GETFD), -1);  // the dropped item's descriptor is closed
    close(fds[1]);
    pool.SetPaused(false);
    pool.Submit(NamedItem("after"), false);
    std::unique_ptr<ScanItem> item = TakeWaiting(pool);
    ASSERT_TRUE(item);
    EXPECT_EQ(item->name, "after");
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(started, (std::vector<std::string>{"after"}));
}

// The clean-file cache file: what is kept, what voids it.
class CleanCacheTest : public TempRootTest {
protected:
    struct stat Stat(const std::string& path) {
        struct stat st;
        EXPECT_EQ(stat(Real(path).c_str(), &st), 0);
        return st;
    }
    std::string CachePath() const { return Real("/pkg/.scan_cache"); }
};

TEST_F(CleanCacheTest, RemembersCleanFilesUnderItsKeyOnly) {
    Put("/v/a", "a");
    Put("/v/b", "b");
    CleanCache cache;
    ASSERT_TRUE(cache.Load(CachePath(), "key 1"));  // no file yet
    EXPECT_FALSE(cache.Knows(Stat("/v/a")));
    cache.Add(Stat("/v/a"));
    ASSERT_EQ(cache.Save(CachePath(), 100, {}), 0);

    CleanCache again;
    ASSERT_TRUE(again.Load(CachePath(), "key 1"));
    EXPECT_TRUE(again.Knows(Stat("/v/a")));
    EXPECT_FALSE(again.Knows(Stat("/v/b")));
    CleanCache otherKey;
    EXPECT_TRUE(otherKey.Load(CachePath(), "key 2"));
    EXPECT_FALSE(otherKey.Knows(Stat("/v/a")));

    // Any change of size, modification or change time voids the entry.
    struct stat changed = Stat("/v/a");
    changed.st_ctim.tv_nsec ^= 1;
    EXPECT_FALSE(again.Knows(changed));
    changed = Stat("/v/a");
    changed.st_size += 1;
    EXPECT_FALSE(again.Knows(changed));
}

TEST_F(CleanCacheTest, ACutOrDamagedFileIsNeverTrusted) {
    std::vector<struct stat> files;
    CleanCache cache;
    ASSERT_TRUE(cache.Load(CachePath(), "k"));
    for (int i = 0; i < 8; ++i) {
        Put("/v/f" + std::to_string(i), std::to_string(i));
        files.push_back(Stat("/v/f" + std::to_string(i)));
        cache.Add(files.back());
    }
    ASSERT_EQ(cache.Save(CachePath(), 100, {}), 0);
    const std::string whole = scantest::ReadFile(CachePath());
    for (size_t cut = 0; cut < whole.size(); ++cut) {
        scantest::WriteFile(CachePath(), whole.substr(0, cut));
        CleanCache damaged;
        EXPECT_FALSE(damaged.Load(CachePath(), "k")) << cut;
        for (const struct stat& st : files) EXPECT_FALSE(damaged.Knows(st)) << cut;
    }
    for (size_t at = 0; at < whole.size(); at += 7) {
        std::string flipped = whole;
        flipped[at] ^= 0x04;
        scantest::WriteFile(CachePath(), flipped);
        CleanCache damaged;
        damaged.Load(CachePath(), "k");
        size_t known = 0;
        for (const struct stat& st : files) known += damaged.Knows(st);
        EXPECT_EQ(known, 0u) << at;
    }
}

TEST_F(CleanCacheTest, TheBoundKeepsThisRunsEntriesAndAFinishedWalkDropsTheFilesItDidNotMeet) {
    CleanCache first;
    ASSERT_TRUE(first.Load(CachePath(), "k"));
    std::vector<struct stat> files;
    for (int i = 0; i < 6; ++i) {
        Put("/v/f" + std::to_string(i), std::to_string(i));
        files.push_back(Stat("/v/f" + std::to_string(i)));
    }
    for (int i = 0; i < 4; ++i) first.Add(files[i]);
    struct stat elsewhere = files[3];
    elsewhere.st_dev += 1;  // a file on another device
    first.Add(elsewhere);
    ASSERT_EQ(first.Save(CachePath(), 100, {}), 0);

    // The next run meets files 0 and 1 and judges 4 and 5; with room for 4,
    // those are kept.
    CleanCache second;
    ASSERT_TRUE(second.Load(CachePath(), "k"));
    EXPECT_EQ(second.Size(), 5u);
    EXPECT_TRUE(second.Knows(files[0]));
    EXPECT_TRUE(second.Knows(files[1]));
    second.Add(files[4]);
    second.Add(files[5]);
    ASSERT_EQ(second.Save(CachePath(), 4, {}), 0);
    CleanCache third;
    ASSERT_TRUE(third.Load(CachePath(), "k"));
    EXPECT_EQ(third.Size(), 4u);
    for (int i : {0, 1, 4, 5}) EXPECT_TRUE(third.Knows(files[i])) << i;

    // A completed walk of the first device met only file 0: the others on
    // it go, the file on the other device stays.
    CleanCache fourth;
    ASSERT_TRUE(fourth.Load(CachePath(), "k"));
    fourth.Add(elsewhere);
    ASSERT_EQ(fourth.Save(CachePath(), 100, {}), 0);
    CleanCache walked;
    ASSERT_TRUE(walked.Load(CachePath(), "k"));
    EXPECT_TRUE(walked.Knows(files[0]));
    ASSERT_EQ(walked.Save(CachePath(), 100, {static_cast<uint64_t>(files[0].st_dev)}), 0);
    CleanCache after;
    ASSERT_TRUE(after.Load(CachePath(), "k"));
    EXPECT_EQ(after.Size(), 2u);
    EXPECT_TRUE(after.Knows(files[0]));
    EXPECT_TRUE(after.Knows(elsewhere));
    EXPECT_FALSE(after.Knows(files[1]));
}

TEST(CleanCacheFilesystems, NetworkAndFuseFilesystemsAreNeverCached) {
    EXPECT_TRUE(CacheableFilesystem(0xEF53));      // ext4
    EXPECT_TRUE(CacheableFilesystem(0x58465342));  // xfs
    EXPECT_TRUE(CacheableFilesystem(0x9123683E));  // btrfs
    EXPECT_TRUE(CacheableFilesystem(0x01021994));  // tmpfs
    for (long type :
         {0x6969L, 0x65735546L, 0xFF534D42L, 0xFE534D42L, 0x517BL, 0x794C7630L, 0x00C36400L})
        EXPECT_FALSE(CacheableFilesystem(type))
            << std::hex << type;  // nfs, fuse, cifs, smb2, smb, overlay, ceph
}

TEST_F(CleanCacheTest, TheDefinitionsKeyChangesWithAnyFileOfTheFolder) {
    Put("/defs/a.ndb", "one");
    const std::string key = DefinitionsKey(Real("/defs"));
    ASSERT_FALSE(key.empty());
    EXPECT_EQ(DefinitionsKey(Real("/defs")), key);
    Put("/defs/.installed", "installTime=1");
    const std::string withMark = DefinitionsKey(Real("/defs"));
    EXPECT_NE(withMark, key);
    Put("/defs/a.ndb", "two");  // same size, rewritten
    EXPECT_NE(DefinitionsKey(Real("/defs")), withMark);
    EXPECT_EQ(DefinitionsKey(Real("/missing")), "");
}
