// The white list and the file extension list: one entry per line in their
// files under the package folder. Every change is a read-modify-write under
// the file's lock, written to a new file that replaces the old one, so
// changes made by several processes at once are all kept.
#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "lists_file.h"
#include "tavo/tavoav_engine.h"
#include "tavo/tavocore.h"

namespace tavoav_files {

std::string Resolve(const char* szAppliancePath) {
    char szReal[4096];
    if (TAVOResolvePath(szAppliancePath, szReal, sizeof(szReal)) != 0) return std::string();
    return szReal;
}

int MakeParentDirs(const std::string& path) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        std::string dir = path.substr(0, pos);
        if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) return -1;
    }
    return 0;
}

int ReadLines(const std::string& path, std::vector<std::string>& lines, bool* pblExists) {
    lines.clear();
    if (pblExists) *pblExists = false;
    FILE* fp = fopen(path.c_str(), "re");
    if (!fp) return errno == ENOENT ? 0 : -1;
    if (pblExists) *pblExists = true;
    std::string line;
    int ch;
    while ((ch = fgetc(fp)) != EOF) {
        if (ch == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty()) lines.push_back(line);
            line.clear();
        } else {
            line += static_cast<char>(ch);
        }
    }
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!line.empty()) lines.push_back(line);
    int result = ferror(fp) ? -1 : 0;
    fclose(fp);
    return result;
}

int WriteLinesAtomic(const std::string& path, const std::vector<std::string>& lines) {
    if (MakeParentDirs(path) != 0) return -1;
    std::string tmp = path + ".XXXXXX";
    std::vector<char> name(tmp.begin(), tmp.end());
    name.push_back('\0');
    int fd = mkostemp(name.data(), O_CLOEXEC);
    if (fd < 0) return -1;
    fchmod(fd, 0644);
    std::string content;
    for (const std::string& line : lines) {
        content += line;
        content += '\n';
    }
    size_t done = 0;
    while (done < content.size()) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    bool blOk = done == content.size() && fsync(fd) == 0;
    if (close(fd) != 0) blOk = false;
    if (!blOk || rename(name.data(), path.c_str()) != 0) {
        unlink(name.data());
        return -1;
    }
    return 0;
}

FileLock::FileLock(const std::string& path) {
    std::string lockPath = path + ".lock";
    if (MakeParentDirs(lockPath) != 0) return;
    fd_ = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd_ < 0) return;
    int result;
    do {
        result = flock(fd_, LOCK_EX);
    } while (result != 0 && errno == EINTR);
    if (result != 0) {
        close(fd_);
        fd_ = -1;
    }
}

FileLock::~FileLock() {
    if (fd_ >= 0) close(fd_);  // closing releases the lock
}

}  // namespace tavoav_files

namespace {

using tavoav_files::FileLock;

// The extension list a fresh package starts with: executables, scripts,
// documents that carry macros or scripts, and archives.
const char* const rgDefaultExtensions[] = {
    "exe", "dll", "com", "scr", "pif", "cpl", "sys", "msi", "bin", "elf", "so",  "apk",
    "bat", "cmd", "vbs", "vbe", "js",  "jse", "wsf", "hta", "ps1", "sh",  "py",  "pl",
    "php", "jar", "html", "htm", "doc", "docx", "docm", "dot", "xls", "xlsx", "xlsm", "ppt",
    "pptx", "pptm", "rtf", "pdf", "zip", "rar", "7z",  "gz",  "tgz", "bz2", "xz",  "tar",
    "cab", "iso", "arj", "lzh",
};

// An entry must be a non-empty single line.
bool ValidEntry(const char* szEntry) {
    return szEntry && szEntry[0] != '\0' && !strpbrk(szEntry, "\n\r");
}

int ReadList(const char* szAppliancePath, bool blExtensions, std::vector<std::string>& entries) {
    std::string path = tavoav_files::Resolve(szAppliancePath);
    if (path.empty()) return -1;
    bool blExists = false;
    if (tavoav_files::ReadLines(path, entries, &blExists) != 0) return -1;
    if (!blExists && blExtensions) {
        entries.assign(std::begin(rgDefaultExtensions), std::end(rgDefaultExtensions));
    }
    return 0;
}

// Runs change on the current entries under the list's lock and stores the
// result when change answers >= 0 and reports a change. Answers change's result.
int ChangeList(const char* szAppliancePath, bool blExtensions,
               const std::function<int(std::vector<std::string>&, bool&)>& change) {
    std::string path = tavoav_files::Resolve(szAppliancePath);
    if (path.empty()) return -1;
    FileLock lock(path);
    if (!lock.Locked()) return -1;
    std::vector<std::string> entries;
    if (ReadList(szAppliancePath, blExtensions, entries) != 0) return -1;
    bool blChanged = false;
    int result = change(entries, blChanged);
    if (result < 0 || !blChanged) return result;
    if (tavoav_files::WriteLinesAtomic(path, entries) != 0) return -1;
    return result;
}

int FillList(const char* szAppliancePath, bool blExtensions, PQLIBSZLIST* ppList) {
    if (!ppList || !*ppList) return ERR_TAVOAV_PARAMETER_ERROR;
    std::vector<std::string> entries;
    if (ReadList(szAppliancePath, blExtensions, entries) != 0) return ERR_TAVOAV_CONFIG_FILE_READ_ERROR;
    for (const std::string& entry : entries) {
        if (QLIBCSzListPush(ppList, entry.c_str()) != 0) return ERR_TAVOAV_EXE_ERROR;
    }
    return OKAY;
}

// Adds the entry unless it is listed already: 1 when added, 0 when listed.
int AddEntry(const char* szAppliancePath, bool blExtensions, const char* szEntry) {
    if (!ValidEntry(szEntry)) return ERR_TAVOAV_PARAMETER_ERROR;
    return ChangeList(szAppliancePath, blExtensions,
                      [szEntry](std::vector<std::string>& entries, bool& blChanged) {
                          if (std::find(entries.begin(), entries.end(), szEntry) != entries.end())
                              return 0;
                          entries.push_back(szEntry);
                          blChanged = true;
                          return 1;
                      });
}

// Removes every line equal to the entry; fails when there is none.
int RemoveEntry(const char* szAppliancePath, bool blExtensions, const char* szEntry) {
    if (!ValidEntry(szEntry)) return ERR_TAVOAV_PARAMETER_ERROR;
    return ChangeList(szAppliancePath, blExtensions,
                      [szEntry](std::vector<std::string>& entries, bool& blChanged) {
                          auto end = std::remove(entries.begin(), entries.end(), szEntry);
                          if (end == entries.end()) return -1;
                          entries.erase(end, entries.end());
                          blChanged = true;
                          return 0;
                      });
}

}  // namespace

extern "C" {

int AVExtensionListGet(PQLIBSZLIST* ppList) { return FillList(TAVOAV_EXTLIST_FILE, true, ppList); }

int AVExtensionListAdd(const char* szExtension) {
    return AddEntry(TAVOAV_EXTLIST_FILE, true, szExtension);
}

int AVExtensionListRemove(const char* szExtension) {
    return RemoveEntry(TAVOAV_EXTLIST_FILE, true, szExtension) == 0 ? 0 : -1;
}

int AVWhiteListGet(PQLIBSZLIST* ppList) { return FillList(TAVOAV_WHITELIST_FILE, false, ppList); }

int AVWhiteListAdd(const char* szEntry) {
    return AddEntry(TAVOAV_WHITELIST_FILE, false, szEntry) >= 0 ? 0 : -1;
}

int AVWhiteListRemove(const char* szEntry) {
    return RemoveEntry(TAVOAV_WHITELIST_FILE, false, szEntry) == 0 ? 0 : -1;
}

}  // extern "C"
