// Engine information and the definition update. The appliance's mirror
// folder (TAVOAV_MIRROR_DIR) holds the newest definition files (ClamAV
// databases such as main.cvd, daily.cld, *.hdb, *.ndb); an update copies all
// of them into a new folder beside TAVOAV_DEFS_DIR and swaps it in, so the
// scanner sees either the old set or the new one, never a mix.
#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "lists_file.h"
#include "tavo/files.h"
#include "tavo/tavoav_engine.h"

namespace {

// Written last into a finished definition folder: "installTime=<seconds>".
const char* const SZ_INSTALL_MARK = ".installed";
const char* const SZ_ENGINE_VERSION = "tavoav-standin 1.0";
const size_t CB_COPY_CHUNK = 64 * 1024;
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
    std::sort(files.begin(), files.end(), [](const SourceFile& a, const SourceFile& b) { return a.name < b.name; });
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

class Copier {
public:
    Copier(pid_t pid, int64_t total) : pid_(pid), total_(total), rate_(RateLimitKBps() * 1024), start_(NowMs()) {}

    // Copies one file; false on failure or when a stop was requested.
    bool Copy(const std::string& from, const std::string& to) {
        int fdIn = open(from.c_str(), O_RDONLY | O_CLOEXEC);
        if (fdIn < 0) return false;
        int fdOut = open(to.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fdOut < 0) {
            close(fdIn);
            return false;
        }
        std::vector<char> buffer(CB_COPY_CHUNK);
        bool blOk = true;
        for (;;) {
            ssize_t n = read(fdIn, buffer.data(), buffer.size());
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) blOk = false;
            if (n <= 0) break;
            if (tavo::files::WriteAll(fdOut, buffer.data(), static_cast<size_t>(n)) != 0) {
                blOk = false;
                break;
            }
            done_ += n;
            Throttle();
            if (!Report(false)) {
                blOk = false;
                break;
            }
        }
        if (fsync(fdOut) != 0) blOk = false;
        if (close(fdOut) != 0) blOk = false;
        close(fdIn);
        return blOk;
    }

    // Stores the progress (always when blForce); false when a stop was requested.
    bool Report(bool blForce) {
        int64_t now = NowMs();
        if (!blForce && now - lastReport_ < I_PROGRESS_INTERVAL_MS) return true;
        lastReport_ = now;
        BOOL blStop = FALSE;
        if (AVEngUpdateProgress(pid_, total_, done_, &blStop) != 0) return true;  // progress is best effort
        return !blStop;
    }

private:
    void Throttle() {
        if (rate_ <= 0) return;
        int64_t dueMs = done_ * 1000 / rate_;
        int64_t elapsed = NowMs() - start_;
        if (dueMs > elapsed) usleep(static_cast<useconds_t>((dueMs - elapsed) * 1000));
    }

    pid_t pid_;
    int64_t total_;
    int64_t done_ = 0;
    int64_t rate_;
    int64_t start_;
    int64_t lastReport_ = 0;
};

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
        if (iPid > 0 && kill(static_cast<pid_t>(iPid), 0) != 0 && errno == ESRCH) RemoveTree(entry.path().string());
    }
}

// Copies the mirror into a new folder and swaps it in. 0 on success.
int InstallFromMirror(pid_t pid) {
    const std::string mirror = tavo::service::Resolve(TAVOAV_MIRROR_DIR);
    const std::string defs = tavo::service::Resolve(TAVOAV_DEFS_DIR);
    if (mirror.empty() || defs.empty()) return -1;
    std::vector<SourceFile> files;
    if (ListFiles(mirror, files) != 0 || files.empty()) return -1;  // nothing to install
    int64_t total = 0;
    for (const SourceFile& f : files) total += f.size;

    RemoveDeadStagings(defs);
    const std::string staging = defs + ".new." + std::to_string(pid);
    RemoveTree(staging);
    if (tavo::files::MakeParentFolders(staging) != 0 || mkdir(staging.c_str(), 0755) != 0) return -1;

    Copier copier(pid, total);
    copier.Report(true);
    for (const SourceFile& f : files) {
        if (!copier.Copy(mirror + "/" + f.name, staging + "/" + f.name)) {
            RemoveTree(staging);
            return -1;
        }
    }
    if (tavo::service::WriteLinesAtomic(
            staging + "/" + SZ_INSTALL_MARK,
            {"installTime=" + std::to_string(static_cast<long long>(time(nullptr)))}) != 0) {
        RemoveTree(staging);
        return -1;
    }

    struct stat st;
    if (stat(defs.c_str(), &st) == 0) {
        // Swap the two folders in one step, then drop the old set.
        if (renameat2(AT_FDCWD, staging.c_str(), AT_FDCWD, defs.c_str(), RENAME_EXCHANGE) != 0) {
            RemoveTree(staging);
            return -1;
        }
        RemoveTree(staging);
    } else if (rename(staging.c_str(), defs.c_str()) != 0) {
        RemoveTree(staging);
        return -1;
    }
    copier.Report(true);
    return 0;
}

// "ClamAV-VDB:<date>:<version>:<signatures>:..." at the start of a .cvd/.cld.
bool ReadDatabaseHeader(const std::string& path, long* piVersion, long long* piSignatures) {
    char szHeader[513] = {0};
    FILE* fp = fopen(path.c_str(), "re");
    if (!fp) return false;
    size_t n = fread(szHeader, 1, 512, fp);
    fclose(fp);
    szHeader[n] = '\0';
    if (strncmp(szHeader, "ClamAV-VDB:", 11) != 0) return false;
    std::vector<std::string> fields;
    std::string field;
    for (size_t i = 0; i < n && szHeader[i] != '\0'; ++i) {
        if (szHeader[i] == ':') {
            fields.push_back(field);
            field.clear();
        } else {
            field += szHeader[i];
        }
    }
    if (fields.size() < 4) return false;
    *piVersion = atol(fields[2].c_str());
    *piSignatures = atoll(fields[3].c_str());
    return true;
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

    for (const std::string& line : mark) {
        if (line.compare(0, 12, "installTime=") == 0) pInfo->lastUpdateDate = static_cast<time_t>(atoll(line.c_str() + 12));
    }
    long iNewest = -1;
    for (const SourceFile& f : files) {
        long iVersion = 0;
        long long iSignatures = 0;
        if (ReadDatabaseHeader(defs + "/" + f.name, &iVersion, &iSignatures)) {
            if (iVersion > iNewest) iNewest = iVersion;
            pInfo->defSignatureCount += iSignatures;
        }
    }
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
        return iBegin == 1 ? ERR_TAVOAV_ENGINE_UPDATE_ERROR : ERR_TAVOAV_EXE_ERROR;
    }
    int result = InstallFromMirror(pid);
    AVEngUpdateEnd(pid, result == 0 ? FALSE : TRUE);
    if (result == 0) {
        AVReportWrite("info", "update", "Virus definitions updated");
        return OKAY;
    }
    AVReportWrite("error", "update", "Virus definition update failed");
    return ERR_TAVOAV_ENGINE_UPDATE_ERROR;
}

}  // extern "C"
