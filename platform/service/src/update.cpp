// Engine information and the definition update.
//
// An update fills a staging folder beside TAVOAV_DEFS_DIR from its source
// (the mirror folder, HTTP URLs through libcurl in the module
// libtavoav_http.so, or Debian's freshclam; see update_source.cpp), has the
// scanner program load and compile the staged set in a process of its own
// (`tavoavscan --verify-defs`), and only then swaps the staging folder with
// the installed one in one rename. A set the engine refuses, an empty file, a
// failed or cut download: the installed set stays as it was and the update
// ends failed with the reason. A set equal to the installed one changes
// nothing. A killed update leaves the old set or the new one, never a mix;
// its staging folder is dropped by the next update.
#include <dirent.h>
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "audit.h"
#include "lists_file.h"
#include "tavo/files.h"
#include "tavo/tavoav_engine.h"
#include "tavo/tavocore.h"
#include "update_internal.h"

namespace {

// Written last into a finished definition folder: "installTime=<seconds>",
// "signatures=<count the check loaded>".
const char* const SZ_INSTALL_MARK = ".installed";
const char* const SZ_ENGINE_VERSION = "tavoav-standin 1.0";
const char* const SZ_UPDATE_LOCK = TAVOAV_PKG_DIR "/.update.lock";
// freshclam's own state (its id, mirror cool-downs), kept between runs.
const char* const SZ_FRESHCLAM_DAT = TAVOAV_PKG_DIR "/.freshclam.dat";
const char* const SZ_FRESHCLAM_PROGRAM = "/usr/bin/freshclam";
const size_t CB_COPY_CHUNK = 64 * 1024;
const size_t CB_MAX_OUTPUT = 64 * 1024;
// Progress is stored at most this often (each store syncs the state file).
const long I_PROGRESS_INTERVAL_MS = 200;

struct SourceFile {
    std::string name;
    int64_t size;
};

int64_t NowMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// A reason or a name for one line of the log, cut short where it is long.
std::string OneLine(const std::string& text) {
    std::string line = tavo::service::OneLine(text);
    return line.size() > 400 ? line.substr(0, 400) + "..." : line;
}

// The regular, non-hidden files of a folder, sorted by name.
int ListFiles(const std::string& dir, std::vector<SourceFile>& files) {
    files.clear();
    DIR* pDir = opendir(dir.c_str());
    if (!pDir) return -1;
    while (struct dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] == '.') continue;
        struct stat st;
        std::string path = dir + "/" + pEntry->d_name;
        if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        files.push_back({pEntry->d_name, static_cast<int64_t>(st.st_size)});
    }
    closedir(pDir);
    std::sort(files.begin(), files.end(),
              [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
    return 0;
}

// Speed limit of the copy in KiB per second (0: none), from the
// "updateRateKBps" line of the configuration file: lets a slow download be
// played on the stand-in.
int64_t RateLimitKBps() {
    std::string path = tavo::service::Resolve(TAVOAV_CONF_FILE);
    std::vector<std::string> lines;
    if (path.empty() || tavo::service::ReadLines(path, lines, nullptr) != 0) return 0;
    for (const std::string& line : lines) {
        if (line.compare(0, 15, "updateRateKBps=") == 0) {
            long long value = atoll(line.c_str() + 15);
            return value > 0 ? value : 0;
        }
    }
    return 0;
}

// The download sizes in the engine state, and the stop request.
class Progress final : public tavo::service::FetchProgress {
public:
    explicit Progress(pid_t pid) : pid_(pid) {}
    void SetTotal(int64_t total) override { total_ = total; }
    void Add(int64_t cb) override { done_ += cb; }
    void Set(int64_t done) { done_ = done; }
    int64_t Done() const override { return done_; }
    bool Report(bool blForce) override {
        int64_t now = NowMs();
        if (!blForce && now - lastReport_ < I_PROGRESS_INTERVAL_MS) return !stop_;
        lastReport_ = now;
        BOOL blStop = FALSE;
        if (AVEngUpdateProgress(pid_, total_, done_, &blStop) != 0)
            return !stop_;  // progress is best effort
        if (blStop) stop_ = true;
        return !stop_;
    }

private:
    pid_t pid_;
    int64_t total_ = 0;
    int64_t done_ = 0;
    int64_t lastReport_ = 0;
    bool stop_ = false;
};

// Copies one file of the mirror folder; "" or the reason it failed.
std::string CopyFile(const std::string& from, const std::string& to, Progress& progress,
                     int64_t rate, int64_t start) {
    tavo::files::UniqueFd in(open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return std::string("cannot read: ") + strerror(errno);
    tavo::files::UniqueFd out(open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644));
    if (!out) return std::string("cannot write: ") + strerror(errno);
    std::vector<char> buffer(CB_COPY_CHUNK);
    for (;;) {
        ssize_t n = read(in.Get(), buffer.data(), buffer.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::string("cannot read: ") + strerror(errno);
        if (n == 0) break;
        if (tavo::files::WriteAll(out.Get(), buffer.data(), static_cast<size_t>(n)) != 0)
            return std::string("cannot write: ") + strerror(errno);
        progress.Add(n);
        if (rate > 0) {
            int64_t dueMs = progress.Done() * 1000 / rate;
            int64_t elapsed = NowMs() - start;
            if (dueMs > elapsed) usleep(static_cast<useconds_t>((dueMs - elapsed) * 1000));
        }
        if (!progress.Report(false)) return "stopped";
    }
    if (fsync(out.Get()) != 0 || close(out.Release()) != 0)
        return std::string("cannot write: ") + strerror(errno);
    return std::string();
}

void RemoveTree(const std::string& path) {
    std::error_code ec;
    std::filesystem::remove_all(path, ec);
}

// Drops the staging folders ("<defs>.new.<pid>") of updates whose process is
// gone, e.g. killed midway.
void RemoveDeadStagings(const std::string& defs) {
    const std::filesystem::path defsPath(defs);
    const std::string prefix = defsPath.filename().string() + ".new.";
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(defsPath.parent_path(), ec)) {
        const std::string name = entry.path().filename().string();
        if (name.compare(0, prefix.size(), prefix) != 0) continue;
        const long iPid = atol(name.c_str() + prefix.size());
        if (iPid > 0 && kill(static_cast<pid_t>(iPid), 0) != 0 && errno == ESRCH)
            RemoveTree(entry.path().string());
    }
}

// Runs a program with its standard output and error in a pipe, calling
// whileRunning a few times a second (false from it ends the program).
// Exit status (>= 0), -(128+n) for signal n, -1 when it could not be run.
int RunProgram(const std::vector<std::string>& args, std::string* pOutput,
               const std::function<bool()>& whileRunning) {
    int rgPipe[2];
    if (pipe2(rgPipe, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&actions, rgPipe[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, rgPipe[1], STDERR_FILENO);
    std::vector<char*> argv;
    for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    int spawnError = posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(rgPipe[1]);
    if (spawnError != 0) {
        close(rgPipe[0]);
        return -1;
    }
    bool blKilled = false;
    char buffer[4096];
    for (;;) {
        struct pollfd pfd = {rgPipe[0], POLLIN, 0};
        int ready = poll(&pfd, 1, 200);
        if (ready > 0) {
            ssize_t n = read(rgPipe[0], buffer, sizeof(buffer));
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            pOutput->append(buffer, static_cast<size_t>(n));
            // Keep the end, where the reasons are.
            if (pOutput->size() > CB_MAX_OUTPUT) pOutput->erase(0, pOutput->size() - CB_MAX_OUTPUT);
        }
        if (!blKilled && whileRunning && !whileRunning()) {
            kill(pid, SIGTERM);
            blKilled = true;
        }
    }
    close(rgPipe[0]);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return -1;
    }
    if (WIFSIGNALED(status)) return -(128 + WTERMSIG(status));
    return WEXITSTATUS(status);
}

// The definitions check in its own process on a folder (appliance path).
// "" when the set loads (*pSignatures: the signatures loaded), else
// "<file>: <engine's reason>".
std::string VerifySet(const std::string& applianceDir, unsigned long long* pSignatures) {
    const std::string program = tavo::service::Resolve(TAVOAV_SCANNER_PATH);
    if (program.empty() || access(program.c_str(), X_OK) != 0)
        return "cannot check the definitions: " TAVOAV_SCANNER_PATH " is missing";
    std::string output;
    int status = RunProgram({program, "--verify-defs", applianceDir}, &output, nullptr);
    if (status < -1)
        return "the definitions check crashed (signal " + std::to_string(-status - 128) + ")";
    if (status < 0) return "cannot run the definitions check";
    std::string line = output.substr(0, output.find('\n'));
    if (status == 0) {
        *pSignatures = line.compare(0, 3, "OK ") == 0 ? strtoull(line.c_str() + 3, nullptr, 10) : 0;
        return std::string();
    }
    if (line.compare(0, 5, "FAIL ") == 0) {
        std::string rest = line.substr(5);
        size_t tab = rest.find('\t');
        std::string file = rest.substr(0, tab);
        std::string reason = tab == std::string::npos ? "refused" : rest.substr(tab + 1);
        return file == "-" ? reason : file + ": " + reason;
    }
    return "the definitions check failed (status " + std::to_string(status) + ")";
}

// Whether two files hold the same bytes.
bool SameContent(const std::string& a, const std::string& b) {
    tavo::files::UniqueFd fdA(open(a.c_str(), O_RDONLY | O_CLOEXEC));
    tavo::files::UniqueFd fdB(open(b.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fdA || !fdB) return false;
    std::vector<char> bufA(CB_COPY_CHUNK), bufB(CB_COPY_CHUNK);
    for (;;) {
        ssize_t nA = read(fdA.Get(), bufA.data(), bufA.size());
        if (nA < 0) return false;
        if (nA == 0) return read(fdB.Get(), bufB.data(), 1) == 0;
        if (tavo::files::ReadExactly(fdB.Get(), bufB.data(), static_cast<size_t>(nA)) != 0)
            return false;
        if (memcmp(bufA.data(), bufB.data(), static_cast<size_t>(nA)) != 0) return false;
    }
}

// Whether the staged files are exactly the installed ones.
bool SameSet(const std::string& staging, const std::string& defs) {
    std::vector<SourceFile> staged, installed;
    bool blInstalled = false;
    std::vector<std::string> mark;
    if (tavo::service::ReadLines(defs + "/" + SZ_INSTALL_MARK, mark, &blInstalled) != 0 ||
        !blInstalled)
        return false;
    if (ListFiles(staging, staged) != 0 || ListFiles(defs, installed) != 0 ||
        staged.size() != installed.size())
        return false;
    for (size_t i = 0; i < staged.size(); ++i) {
        if (staged[i].name != installed[i].name || staged[i].size != installed[i].size)
            return false;
        if (!SameContent(staging + "/" + staged[i].name, defs + "/" + installed[i].name))
            return false;
    }
    return true;
}

// --- the sources -----------------------------------------------------------

std::string FetchFolder(const TAVOAV_UPDATE_SOURCE& source, const std::string& staging,
                        Progress& progress) {
    const std::string mirror = tavo::service::Resolve(source.szMirrorDir);
    std::vector<SourceFile> files;
    if (mirror.empty() || ListFiles(mirror, files) != 0)
        return std::string("cannot read the mirror folder ") + source.szMirrorDir;
    if (files.empty())
        return std::string("the mirror folder ") + source.szMirrorDir + " holds no definitions";
    int64_t total = 0;
    for (const SourceFile& f : files) total += f.size;
    progress.SetTotal(total);
    progress.Report(true);
    const int64_t rate = RateLimitKBps() * 1024;
    const int64_t start = NowMs();
    for (const SourceFile& f : files) {
        std::string reason =
            CopyFile(mirror + "/" + f.name, staging + "/" + f.name, progress, rate, start);
        if (!reason.empty()) return reason == "stopped" ? reason : f.name + ": " + reason;
    }
    return std::string();
}

// The HTTP fetcher's entry, loaded once from libtavoav_http.so in the folder
// this library was loaded from (never from a path the environment names);
// nullptr and *pError when it cannot be loaded.
decltype(&TavoavHttpFetch) LoadHttpFetcher(std::string* pError) {
    static std::mutex mutex;
    static decltype(&TavoavHttpFetch) pFetch = nullptr;
    std::lock_guard<std::mutex> lock(mutex);
    if (pFetch) return pFetch;
    // The loader records the folder as an absolute path when it loads the
    // library, even one opened by a relative path from another folder.
    Dl_info info;
    char szFolder[PATH_MAX] = {0};
    void* pSelf = dladdr(reinterpret_cast<void*>(&LoadHttpFetcher), &info) != 0 && info.dli_fname
                      ? dlopen(info.dli_fname, RTLD_LAZY | RTLD_NOLOAD)
                      : nullptr;
    const bool blFound = pSelf && dlinfo(pSelf, RTLD_DI_ORIGIN, szFolder) == 0;
    if (pSelf) dlclose(pSelf);
    if (!blFound || szFolder[0] != '/') {
        *pError = "cannot find the folder of the service library";
        return nullptr;
    }
    const std::string path = std::string(szFolder) + "/" TAVOAV_HTTP_MODULE;
    void* pModule = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    void* pEntry = pModule ? dlsym(pModule, "TavoavHttpFetch") : nullptr;
    if (!pEntry) {
        const char* szError = dlerror();
        *pError = szError ? szError : path + ": no entry";
        if (pModule) dlclose(pModule);
        return nullptr;
    }
    pFetch = reinterpret_cast<decltype(&TavoavHttpFetch)>(pEntry);
    return pFetch;
}

std::string FetchHttp(const TAVOAV_UPDATE_SOURCE& source, const std::string& staging,
                      Progress& progress) {
    const std::vector<std::string> urls = tavo::service::SplitUrls(source.szUrls);
    if (urls.empty()) return "no definition URLs configured";
    std::vector<tavo::service::HttpFile> files;
    for (const std::string& url : urls) {
        const std::string name = tavo::service::UrlFileName(url);
        if (name.empty()) return OneLine(url) + ": not a definitions URL";
        files.push_back({url, name});
    }
    std::string error;
    const auto pFetch = LoadHttpFetcher(&error);
    if (!pFetch) return "cannot load the HTTP fetcher: " + error;
    std::string reason;
    pFetch(source, files, staging, progress, &reason);
    return reason;
}

// Bytes in the folders freshclam downloads into (its tmp.* folders inside
// the database folder) and in files new since start: what it fetched so far.
int64_t FreshclamFetched(const std::string& staging, const std::vector<SourceFile>& seeded) {
    int64_t cb = 0;
    std::error_code ec;
    for (auto it = std::filesystem::recursive_directory_iterator(staging, ec);
         !ec && it != std::filesystem::recursive_directory_iterator(); it.increment(ec)) {
        std::error_code ecStat;
        if (!it->is_regular_file(ecStat)) continue;
        const std::string name = it->path().filename().string();
        const bool blTop = it->path().parent_path() == std::filesystem::path(staging);
        if (blTop) {
            auto seen = std::find_if(seeded.begin(), seeded.end(),
                                     [&](const SourceFile& f) { return f.name == name; });
            uintmax_t size = it->file_size(ecStat);
            if (seen != seeded.end() && static_cast<int64_t>(size) == seen->size) continue;
            if (name == "freshclam.dat") continue;
            cb += static_cast<int64_t>(size);
        } else {
            cb += static_cast<int64_t>(it->file_size(ecStat));
        }
    }
    return cb;
}

std::string FetchFreshclam(const TAVOAV_UPDATE_SOURCE& source, const std::string& staging,
                           const std::string& defs, Progress& progress) {
    if (access(SZ_FRESHCLAM_PROGRAM, X_OK) != 0)
        return std::string("freshclam is not installed (") + SZ_FRESHCLAM_PROGRAM + ")";
    // Start from the installed set, so that freshclam fetches only what changed.
    std::vector<SourceFile> installed;
    if (ListFiles(defs, installed) == 0) {
        for (const SourceFile& f : installed) {
            std::string content;
            if (tavo::files::ReadFile(defs + "/" + f.name, &content, 1u << 31) != 0 ||
                tavo::files::WriteFileAtomic(staging + "/" + f.name, content) != 0)
                return f.name + ": cannot copy the installed file";
        }
    }
    const std::string datFile = tavo::service::Resolve(SZ_FRESHCLAM_DAT);
    std::string dat;
    if (!datFile.empty() && tavo::files::ReadFile(datFile, &dat) == 0)
        tavo::files::WriteFileAtomic(staging + "/freshclam.dat", dat);
    const std::string confFile = staging + "/.freshclam.conf";
    if (tavo::files::WriteFileAtomic(confFile, tavo::service::FreshclamConfig(source, staging),
                                     0600) != 0)
        return "cannot write the freshclam configuration";

    progress.Report(true);
    std::string output;
    int status =
        RunProgram({SZ_FRESHCLAM_PROGRAM, "--config-file=" + confFile, "--stdout", "--no-warnings"},
                   &output, [&]() {
                       progress.Set(FreshclamFetched(staging, installed));
                       return progress.Report(false);
                   });
    unlink(confFile.c_str());
    if (tavo::files::ReadFile(staging + "/freshclam.dat", &dat) == 0 && !datFile.empty())
        tavo::files::WriteFileAtomic(datFile, dat);
    unlink((staging + "/freshclam.dat").c_str());
    progress.SetTotal(progress.Done());
    if (status != 0) {
        // Its last error line says why.
        std::string reason;
        size_t pos = 0;
        while (pos < output.size()) {
            size_t end = output.find('\n', pos);
            std::string line =
                output.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
            if (line.compare(0, 6, "ERROR:") == 0) reason = line.substr(6);
            if (end == std::string::npos) break;
            pos = end + 1;
        }
        while (!reason.empty() && reason[0] == ' ') reason.erase(0, 1);
        if (status < -1) return "freshclam ended by signal " + std::to_string(-status - 128);
        return "freshclam failed (status " + std::to_string(status) + ")" +
               (reason.empty() ? "" : ": " + reason);
    }
    // Only the databases: no folders, no files of sources no longer configured.
    std::vector<std::string> keep = {"main.cvd",  "main.cld",     "daily.cvd",
                                     "daily.cld", "bytecode.cvd", "bytecode.cld"};
    for (const std::string& url : tavo::service::SplitUrls(source.szUrls))
        keep.push_back(tavo::service::UrlFileName(url));
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(staging, ec)) {
        const std::string name = entry.path().filename().string();
        if (std::find(keep.begin(), keep.end(), name) == keep.end() || !entry.is_regular_file())
            RemoveTree(entry.path().string());
    }
    return std::string();
}

// --- facts -----------------------------------------------------------------

void SetFact(const char* szKey, const std::string& value) {
    QLIBCFileSetKeyValue(TAVOAV_UPDATE_STATUS_FILE, szKey, value.c_str(), nullptr);
}

std::string GetFact(const char* szKey) {
    char szValue[1024] = {0};
    if (QLIBCFileGetKeyValue(TAVOAV_UPDATE_STATUS_FILE, szKey, szValue, sizeof(szValue)) != 0)
        return std::string();
    return szValue;
}

std::string Now() { return std::to_string(static_cast<long long>(time(nullptr))); }

// The stamp of a definition folder (real path); "" when it holds no set.
std::string StampOf(const std::string& dir) {
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator(dir, ec))
        names.push_back(entry.path().filename().string());
    if (ec || std::find(names.begin(), names.end(), SZ_INSTALL_MARK) == names.end())
        return std::string();
    std::sort(names.begin(), names.end());
    // FNV-1a over "name size mtime inode device" of every entry.
    uint64_t hash = 1469598103934665603ull;
    auto mix = [&hash](const std::string& text) {
        for (unsigned char c : text) {
            hash ^= c;
            hash *= 1099511628211ull;
        }
    };
    for (const std::string& name : names) {
        struct stat st;
        if (lstat((dir + "/" + name).c_str(), &st) != 0) return std::string();
        char szEntry[256];
        snprintf(szEntry, sizeof(szEntry), " %lld %lld.%09ld %llu %llu\n",
                 static_cast<long long>(st.st_size), static_cast<long long>(st.st_mtim.tv_sec),
                 st.st_mtim.tv_nsec, static_cast<unsigned long long>(st.st_ino),
                 static_cast<unsigned long long>(st.st_dev));
        mix(name);
        mix(szEntry);
    }
    char szStamp[32];
    snprintf(szStamp, sizeof(szStamp), "%016llx", static_cast<unsigned long long>(hash));
    return szStamp;
}

// --- the update ------------------------------------------------------------

enum class Outcome { kInstalled, kCurrent, kFailed };

Outcome Update(pid_t pid, std::string* pReason) {
    TAVOAV_UPDATE_SOURCE source;
    if (AVUpdateSourceGet(&source) != OKAY) {
        *pReason = "the update configuration " TAVOAV_UPDATE_CONF_FILE " is not valid";
        return Outcome::kFailed;
    }
    const std::string defs = tavo::service::Resolve(TAVOAV_DEFS_DIR);
    if (defs.empty()) {
        *pReason = "bad definitions folder";
        return Outcome::kFailed;
    }
    RemoveDeadStagings(defs);
    const std::string stagingAppliance = TAVOAV_DEFS_DIR ".new." + std::to_string(pid);
    const std::string staging = defs + ".new." + std::to_string(pid);
    RemoveTree(staging);
    if (tavo::files::MakeParentFolders(staging) != 0 || mkdir(staging.c_str(), 0755) != 0) {
        *pReason = std::string("cannot make the staging folder: ") + strerror(errno);
        return Outcome::kFailed;
    }
    struct Cleanup {
        std::string path;
        ~Cleanup() { RemoveTree(path); }
    } cleanup{staging};

    Progress progress(pid);
    if (strcmp(source.szSource, AVUPD_SOURCE_HTTP) == 0) {
        *pReason = FetchHttp(source, staging, progress);
    } else if (strcmp(source.szSource, AVUPD_SOURCE_FRESHCLAM) == 0) {
        *pReason = FetchFreshclam(source, staging, defs, progress);
    } else {
        *pReason = FetchFolder(source, staging, progress);
    }
    progress.Report(true);
    if (!pReason->empty()) return Outcome::kFailed;

    if (SameSet(staging, defs)) return Outcome::kCurrent;

    unsigned long long signatures = 0;
    *pReason = VerifySet(stagingAppliance, &signatures);
    if (!pReason->empty()) return Outcome::kFailed;

    std::vector<std::string> mark = {"installTime=" + Now()};
    if (signatures > 0) mark.push_back("signatures=" + std::to_string(signatures));
    if (tavo::service::WriteLinesAtomic(staging + "/" + SZ_INSTALL_MARK, mark) != 0) {
        *pReason = "cannot write the install mark";
        return Outcome::kFailed;
    }
    tavo::files::SyncFolder(staging);

    struct stat st;
    if (stat(defs.c_str(), &st) == 0) {
        // Swap the two folders in one step; the old set goes with the staging folder.
        if (renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, defs.c_str(), RENAME_EXCHANGE) != 0) {
            *pReason = std::string("cannot install the new set: ") + strerror(errno);
            return Outcome::kFailed;
        }
    } else if (rename(staging.c_str(), defs.c_str()) != 0) {
        *pReason = std::string("cannot install the new set: ") + strerror(errno);
        return Outcome::kFailed;
    }
    tavo::files::SyncFolder(tavo::files::ParentOf(defs));
    // The scanner need not check this set again.
    SetFact("verifiedStamp", StampOf(defs));
    return Outcome::kInstalled;
}

}  // namespace

extern "C" {

ERR_T AVGetEngInfo(TAVOAV_INFO* pInfo) {
    if (!pInfo) return ERR_TAVOAV_PARAMETER_ERROR;
    memset(pInfo, 0, sizeof(*pInfo));
    snprintf(pInfo->szEngineVersion, sizeof(pInfo->szEngineVersion), "%s", SZ_ENGINE_VERSION);
    const std::string defs = tavo::service::Resolve(TAVOAV_DEFS_DIR);
    if (defs.empty()) return ERR_TAVOAV_DB_ACCESS_ERROR;

    std::vector<std::string> mark;
    bool blInstalled = false;
    if (tavo::service::ReadLines(defs + "/" + SZ_INSTALL_MARK, mark, &blInstalled) != 0 ||
        !blInstalled)
        return ERR_TAVOAV_DB_ACCESS_ERROR;
    std::vector<SourceFile> files;
    if (ListFiles(defs, files) != 0 || files.empty()) return ERR_TAVOAV_DB_ACCESS_ERROR;

    long long iLoaded = -1;
    for (const std::string& line : mark) {
        if (line.compare(0, 12, "installTime=") == 0)
            pInfo->lastUpdateDate = static_cast<time_t>(atoll(line.c_str() + 12));
        if (line.compare(0, 11, "signatures=") == 0) iLoaded = atoll(line.c_str() + 11);
    }
    long iNewest = -1;
    long long iHeaderSignatures = 0;
    for (const SourceFile& f : files) {
        long iVersion = 0;
        long long iSignatures = 0;
        // "ClamAV-VDB:<date>:<version>:<signatures>:..." at the start of a .cvd/.cld.
        std::string header;
        tavo::files::UniqueFd fd(open((defs + "/" + f.name).c_str(), O_RDONLY | O_CLOEXEC));
        char szHeader[513] = {0};
        ssize_t n = fd ? read(fd.Get(), szHeader, 512) : -1;
        if (n <= 0 || strncmp(szHeader, "ClamAV-VDB:", 11) != 0) continue;
        std::vector<std::string> fields;
        std::string field;
        for (ssize_t i = 0; i < n && szHeader[i] != '\0'; ++i) {
            if (szHeader[i] == ':') {
                fields.push_back(field);
                field.clear();
            } else {
                field += szHeader[i];
            }
        }
        if (fields.size() < 4) continue;
        iVersion = atol(fields[2].c_str());
        iSignatures = atoll(fields[3].c_str());
        if (iVersion > iNewest) iNewest = iVersion;
        iHeaderSignatures += iSignatures;
    }
    // What the check loaded counts custom databases too; the headers are
    // what a set installed before the check was recorded tells.
    pInfo->defSignatureCount = iLoaded >= 0 ? iLoaded : iHeaderSignatures;
    if (iNewest >= 0) {
        snprintf(pInfo->szDefVersion, sizeof(pInfo->szDefVersion), "%ld", iNewest);
    } else {
        snprintf(pInfo->szDefVersion, sizeof(pInfo->szDefVersion), "%lld",
                 static_cast<long long>(pInfo->lastUpdateDate));
    }
    return OKAY;
}

int AVUpdate_m(void) {
    const pid_t pid = getpid();
    int iBegin = AVEngUpdateBegin(pid);
    if (iBegin != 0) {
        // 1: another update is running and keeps going.
        return iBegin == 1 ? ERR_TAVOAV_ENGINE_NOT_AVAILABLE : ERR_TAVOAV_EXE_ERROR;
    }
    tavo::service::Audit("info", "update",
                         "Definition update started by " + tavo::service::Requester());
    std::string reason;
    Outcome outcome = Outcome::kFailed;
    {
        // The engine state admits one updater; the lock also keeps out an
        // update whose record was lost (a damaged state file), so that two
        // never work on the folders at once.
        const std::string lockPath = tavo::service::Resolve(SZ_UPDATE_LOCK);
        tavo::files::FileLock lock(lockPath);
        if (lockPath.empty() || !lock.Locked()) {
            reason = "cannot take the update lock";
        } else {
            outcome = Update(pid, &reason);
        }
    }
    reason = OneLine(reason);
    const std::string now = Now();
    SetFact("lastCheck", now);
    AVEngUpdateEnd(pid, outcome == Outcome::kFailed ? TRUE : FALSE);
    switch (outcome) {
    case Outcome::kInstalled:
        SetFact("lastResult", "updated");
        SetFact("lastSuccess", now);
        AVReportWrite("info", "update", "Virus definitions updated");
        return OKAY;
    case Outcome::kCurrent:
        SetFact("lastResult", "current");
        AVReportWrite("info", "update",
                      "Virus definitions updated: nothing new, the installed set is current");
        return OKAY;
    case Outcome::kFailed: break;
    }
    SetFact("lastResult", "failed");
    SetFact("lastFailure", now);
    SetFact("lastFailureReason", reason);
    AVReportWrite("error", "update", ("Virus definition update failed: " + reason).c_str());
    return ERR_TAVOAV_ENGINE_UPDATE_ERROR;
}

int AVUpdateFactsGet(TAVOAV_UPDATE_FACTS* pFacts) {
    if (!pFacts) return ERR_TAVOAV_PARAMETER_ERROR;
    memset(pFacts, 0, sizeof(*pFacts));
    pFacts->lastCheckTime = atoll(GetFact("lastCheck").c_str());
    pFacts->lastSuccessTime = atoll(GetFact("lastSuccess").c_str());
    pFacts->lastFailureTime = atoll(GetFact("lastFailure").c_str());
    snprintf(pFacts->szLastResult, sizeof(pFacts->szLastResult), "%s",
             GetFact("lastResult").c_str());
    snprintf(pFacts->szLastFailureReason, sizeof(pFacts->szLastFailureReason), "%s",
             GetFact("lastFailureReason").c_str());
    return OKAY;
}

int AVDefsStamp(char* szStamp, size_t cbStamp) {
    if (!szStamp || cbStamp == 0) return ERR_TAVOAV_PARAMETER_ERROR;
    szStamp[0] = '\0';
    const std::string defs = tavo::service::Resolve(TAVOAV_DEFS_DIR);
    const std::string stamp = defs.empty() ? std::string() : StampOf(defs);
    if (stamp.empty() || stamp.size() >= cbStamp) return -1;
    snprintf(szStamp, cbStamp, "%s", stamp.c_str());
    return 0;
}

int AVDefsCheckInstalled(char* szReason, size_t cbReason) {
    if (szReason && cbReason) szReason[0] = '\0';
    const std::string defs = tavo::service::Resolve(TAVOAV_DEFS_DIR);
    const std::string before = defs.empty() ? std::string() : StampOf(defs);
    if (before.empty()) return 0;  // nothing installed: the scan says so itself
    if (GetFact("verifiedStamp") == before) return 0;
    unsigned long long signatures = 0;
    const std::string reason = OneLine(VerifySet(TAVOAV_DEFS_DIR, &signatures));
    if (!reason.empty()) {
        if (szReason && cbReason) snprintf(szReason, cbReason, "%s", reason.c_str());
        return -1;
    }
    // Recorded only when no update swapped the set meanwhile.
    if (StampOf(defs) == before) SetFact("verifiedStamp", before);
    return 0;
}

}  // extern "C"
