// File lists: the paths of a custom scan, handed from the web API to the
// scanner in a file. A path may hold any byte but NUL, newlines included, so
// each path ends with a NUL byte; a header line names the format and the count.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "tavo/files.h"
#include "tavo/log.h"
#include "tavo/tavoav_engine.h"

namespace {

constexpr char kHeaderPrefix[] = "TAVOFILELIST 1 ";
constexpr char kFileNameTemplate[] = "/filelist.XXXXXX";

// The header line and the NUL-terminated paths, or false when the list holds
// no string at some index.
bool BuildContent(PQLIBSZLIST pList, std::string* pContent) {
    char szHeader[64];
    snprintf(szHeader, sizeof(szHeader), "%s%d\n", kHeaderPrefix, pList->nItem);
    pContent->assign(szHeader);
    for (int i = 0; i < pList->nItem; ++i) {
        const char* szItem = QLIBCSzListGet(pList, i);
        if (szItem == nullptr) return false;
        pContent->append(szItem, strlen(szItem) + 1);
    }
    return true;
}

// Splits the file's content into its paths; false when it is not a file list
// of this format or does not hold exactly the count the header names.
bool ParseContent(const std::string& content, std::vector<std::string>* pPaths) {
    const size_t cchPrefix = sizeof(kHeaderPrefix) - 1;
    if (content.compare(0, cchPrefix, kHeaderPrefix) != 0) return false;
    size_t pos = cchPrefix;
    long long count = 0;
    size_t digits = 0;
    while (pos < content.size() && content[pos] >= '0' && content[pos] <= '9' && digits < 10) {
        count = count * 10 + (content[pos] - '0');
        ++pos;
        ++digits;
    }
    if (digits == 0 || count > INT_MAX || pos >= content.size() || content[pos] != '\n')
        return false;
    ++pos;
    pPaths->clear();
    while (pos < content.size()) {
        size_t end = content.find('\0', pos);
        if (end == std::string::npos) return false;  // last path cut short
        if (static_cast<long long>(pPaths->size()) >= count) return false;
        pPaths->emplace_back(content, pos, end - pos);
        pos = end + 1;
    }
    return static_cast<long long>(pPaths->size()) == count;
}

int ReadWholeFile(const char* szPath, std::string* pContent) {
    int fd = open(szPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    int result = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        pContent->resize(static_cast<size_t>(st.st_size));
        if (tavo::files::ReadExactly(fd, &(*pContent)[0], pContent->size()) == 0) {
            // A file that grew since fstat is not one we wrote.
            char ch;
            if (read(fd, &ch, 1) == 0) result = 0;
        }
    }
    close(fd);
    return result;
}

}  // namespace

extern "C" {

int AVTransSZListToFileList(char* szFileListPath, size_t cbPath, PQLIBSZLIST pList) {
    if (szFileListPath == nullptr || cbPath == 0) return -1;
    szFileListPath[0] = '\0';
    if (pList == nullptr || pList->nItem < 0) return -1;

    // The name handed back is the appliance path, which the scanner resolves
    // itself; its length is known before anything is created.
    char szAppliancePath[PATH_MAX];
    snprintf(szAppliancePath, sizeof(szAppliancePath), "%s%s", TAVOAV_FILELIST_DIR,
             kFileNameTemplate);
    if (strlen(szAppliancePath) >= cbPath) {
        TAVO_LOG(LOG_ERR, "the file-list path does not fit %zu bytes", cbPath);
        return -1;
    }

    std::string content;
    if (!BuildContent(pList, &content)) {
        TAVO_LOG(LOG_ERR, "the list to write holds no string at some index");
        return -1;
    }

    char szDir[PATH_MAX];
    if (TAVOResolvePath(TAVOAV_FILELIST_DIR, szDir, sizeof(szDir)) != 0) return -1;
    if (tavo::files::MakeFolders(szDir) != 0) {
        TAVO_LOG(LOG_ERR, "cannot create the folder %s: %s", szDir, strerror(errno));
        return -1;
    }
    char szFile[PATH_MAX];
    int n = snprintf(szFile, sizeof(szFile), "%s%s", szDir, kFileNameTemplate);
    if (n < 0 || static_cast<size_t>(n) >= sizeof(szFile)) return -1;
    int fd = mkostemp(szFile, O_CLOEXEC);
    if (fd < 0) {
        TAVO_LOG(LOG_ERR, "cannot create a file list in %s: %s", szDir, strerror(errno));
        return -1;
    }
    bool blOk = tavo::files::WriteAll(fd, content.data(), content.size()) == 0 && fsync(fd) == 0;
    if (close(fd) != 0) blOk = false;
    if (!blOk) {
        TAVO_LOG(LOG_ERR, "cannot write the file list %s: %s", szFile, strerror(errno));
        unlink(szFile);
        return -1;
    }
    tavo::files::SyncFolder(szDir);

    // mkostemp filled in the same number of characters in both names.
    const char* szName = strrchr(szFile, '/') + 1;
    snprintf(szFileListPath, cbPath, "%s/%s", TAVOAV_FILELIST_DIR, szName);
    return 0;
}

int AVFileListRead(const char* szFileListPath, PQLIBSZLIST* ppList) {
    if (szFileListPath == nullptr || ppList == nullptr) return -1;
    char szFile[PATH_MAX];
    if (TAVOResolvePath(szFileListPath, szFile, sizeof(szFile)) != 0) return -1;
    std::string content;
    if (ReadWholeFile(szFile, &content) != 0) {
        TAVO_LOG(LOG_ERR, "cannot read the file list %s", szFile);
        return -1;
    }
    std::vector<std::string> paths;
    if (!ParseContent(content, &paths)) {
        TAVO_LOG(LOG_ERR, "%s is not a file list", szFile);
        return -1;
    }
    bool blAllocated = false;
    if (*ppList == nullptr) {
        *ppList = QLIBCSzListAlloc(paths.empty() ? 1 : static_cast<int>(paths.size()));
        if (*ppList == nullptr) return -1;
        blAllocated = true;
    }
    for (const std::string& path : paths) {
        if (QLIBCSzListPush(ppList, path.c_str()) != 0) {
            if (blAllocated) {
                QLIBCSzListFree(*ppList);
                *ppList = nullptr;
            }
            return -1;
        }
    }
    return 0;
}

}  // extern "C"
