// Key-value files: "key=value" lines. Writers take an exclusive flock on
// "<file>.lock" and replace the file by renaming a fully written, synced
// temporary file over it, so readers see either the old or the new file.
#include <errno.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>

#include <string>
#include <vector>

#include "tavo/files.h"
#include "tavo/tavocore.h"

namespace {

bool HasLineBreak(const char* sz) { return strpbrk(sz, "\r\n") != nullptr; }

// Reads the whole file; a missing file reads as empty.
bool ReadWholeFile(const std::string& path, std::string* pContent) {
    return tavo::files::ReadFile(path, pContent) == 0 || errno == ENOENT;
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

// Replaces path by a file holding content, keeping the mode of the file
// being replaced; a new file gets 0644.
bool ReplaceFile(const std::string& path, const std::string& content) {
    struct stat st;
    mode_t mode = stat(path.c_str(), &st) == 0 ? (st.st_mode & 07777) : 0644;
    return tavo::files::WriteFileAtomic(path, content, mode) == 0;
}

}  // namespace

extern "C" {

int QLIBCFileSetKeyValue(const char* szFile, const char* szKey, const char* szValue,
                         const char* /*szReserved*/) {
    if (szFile == nullptr || szKey == nullptr || szValue == nullptr) return -1;
    if (szKey[0] == '\0' || strchr(szKey, '=') != nullptr || HasLineBreak(szKey) ||
        HasLineBreak(szValue))
        return -1;
    char szPath[PATH_MAX];
    if (TAVOResolvePath(szFile, szPath, sizeof(szPath)) != 0) return -1;
    std::string path = szPath;
    if (path.back() == '/') return -1;
    if (tavo::files::MakeParentFolders(path) != 0) return -1;

    tavo::files::FileLock lock(path + ".lock");
    if (!lock.Locked()) return -1;

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
