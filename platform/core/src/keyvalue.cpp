// Key-value files: "key=value" lines. Writers take an exclusive flock on
// "<file>.lock" and replace the file by renaming a fully written, synced
// temporary file over it, so readers see either the old or the new file.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tavo/tavocore.h"

namespace {

bool HasLineBreak(const char* sz) {
    return strpbrk(sz, "\r\n") != nullptr;
}

// Creates every missing folder on the way to szPath's parent.
bool MakeParentFolders(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash == 0) return true;
    std::string parent = path.substr(0, slash);
    struct stat st;
    if (stat(parent.c_str(), &st) == 0) return S_ISDIR(st.st_mode);
    for (size_t pos = 1; pos <= parent.size(); ++pos) {
        if (pos != parent.size() && parent[pos] != '/') continue;
        std::string prefix = parent.substr(0, pos);
        if (mkdir(prefix.c_str(), 0755) != 0 && errno != EEXIST) return false;
    }
    return stat(parent.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// Reads the whole file; a missing file reads as empty.
bool ReadWholeFile(const std::string& path, std::string* pContent) {
    pContent->clear();
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return errno == ENOENT;
    char buffer[8192];
    for (;;) {
        ssize_t cb = read(fd, buffer, sizeof(buffer));
        if (cb < 0 && errno == EINTR) continue;
        if (cb < 0) {
            close(fd);
            return false;
        }
        if (cb == 0) break;
        pContent->append(buffer, static_cast<size_t>(cb));
    }
    close(fd);
    return true;
}

std::vector<std::string> SplitLines(const std::string& content) {
    std::vector<std::string> lines;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        lines.push_back(content.substr(pos, end - pos));
        pos = end + 1;
    }
    return lines;
}

// The key of a "key=value" line, or false when the line holds no '='.
bool LineKey(const std::string& line, std::string* pKey) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) return false;
    *pKey = line.substr(0, eq);
    return true;
}

bool WriteAll(int fd, const std::string& content) {
    size_t done = 0;
    while (done < content.size()) {
        ssize_t cb = write(fd, content.data() + done, content.size() - done);
        if (cb < 0 && errno == EINTR) continue;
        if (cb <= 0) return false;
        done += static_cast<size_t>(cb);
    }
    return true;
}

void SyncFolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string folder = slash == 0 ? "/" : path.substr(0, slash);
    int fd = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

// Writes content to a temporary file beside path and renames it over path.
bool ReplaceFile(const std::string& path, const std::string& content) {
    size_t slash = path.rfind('/');
    std::string tmpl = path.substr(0, slash + 1) + "." + path.substr(slash + 1) + ".tmpXXXXXX";
    std::vector<char> szTemp(tmpl.begin(), tmpl.end());
    szTemp.push_back('\0');
    int fd = mkostemp(szTemp.data(), O_CLOEXEC);
    if (fd < 0) return false;

    // Keep the mode of the file being replaced; a new file gets 0644.
    struct stat st;
    mode_t mode = stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    bool blOk = fchmod(fd, mode) == 0 && WriteAll(fd, content) && fsync(fd) == 0;
    if (close(fd) != 0) blOk = false;
    if (blOk && rename(szTemp.data(), path.c_str()) != 0) blOk = false;
    if (!blOk) {
        unlink(szTemp.data());
        return false;
    }
    SyncFolderOf(path);
    return true;
}

}  // namespace

extern "C" {

int QLIBCFileSetKeyValue(const char* szFile, const char* szKey, const char* szValue,
                         const char* /*szReserved*/) {
    if (szFile == nullptr || szKey == nullptr || szValue == nullptr) return -1;
    if (szKey[0] == '\0' || strchr(szKey, '=') != nullptr || HasLineBreak(szKey) || HasLineBreak(szValue))
        return -1;
    char szPath[PATH_MAX];
    if (TAVOResolvePath(szFile, szPath, sizeof(szPath)) != 0) return -1;
    std::string path = szPath;
    if (path.back() == '/') return -1;
    if (!MakeParentFolders(path)) return -1;

    std::string lockPath = path + ".lock";
    int fdLock = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fdLock < 0) return -1;
    int iLock;
    do {
        iLock = flock(fdLock, LOCK_EX);
    } while (iLock != 0 && errno == EINTR);
    if (iLock != 0) {
        close(fdLock);
        return -1;
    }

    int result = -1;
    std::string content;
    if (ReadWholeFile(path, &content)) {
        // The first line of the key is replaced in place, later duplicates dropped.
        std::string newContent;
        std::string lineKey;
        bool blSet = false;
        for (const std::string& line : SplitLines(content)) {
            if (LineKey(line, &lineKey) && lineKey == szKey) {
                if (blSet) continue;
                newContent += std::string(szKey) + "=" + szValue + "\n";
                blSet = true;
            } else {
                newContent += line + "\n";
            }
        }
        if (!blSet) newContent += std::string(szKey) + "=" + szValue + "\n";
        if (ReplaceFile(path, newContent)) result = 0;
    }
    flock(fdLock, LOCK_UN);
    close(fdLock);
    return result;
}

int QLIBCFileGetKeyValue(const char* szFile, const char* szKey, char* szValue, size_t cbValue) {
    if (szFile == nullptr || szKey == nullptr || szValue == nullptr || cbValue == 0) return -1;
    char szPath[PATH_MAX];
    if (TAVOResolvePath(szFile, szPath, sizeof(szPath)) != 0) return -1;
    std::string content;
    if (!ReadWholeFile(szPath, &content)) return -1;
    std::string lineKey;
    for (const std::string& line : SplitLines(content)) {
        if (!LineKey(line, &lineKey) || lineKey != szKey) continue;
        std::string value = line.substr(lineKey.size() + 1);
        if (!value.empty() && value.back() == '\r') value.pop_back();
        if (value.size() + 1 > cbValue) return -1;
        memcpy(szValue, value.c_str(), value.size() + 1);
        return 0;
    }
    return -1;
}

}  // extern "C"
