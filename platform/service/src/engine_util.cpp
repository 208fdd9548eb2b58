#include "engine_util.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

namespace tavoav {

int MakeDirs(const char* szDir) {
    char szPath[PATH_MAX];
    size_t cch = strlen(szDir);
    if (cch == 0 || cch >= sizeof(szPath)) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(szPath, szDir, cch + 1);
    // Create each missing component from the top down.
    for (char* p = szPath + 1; ; ++p) {
        if (*p != '/' && *p != '\0') continue;
        char chSaved = *p;
        *p = '\0';
        if (mkdir(szPath, 0755) != 0 && errno != EEXIST) return -1;
        *p = chSaved;
        if (chSaved == '\0') break;
    }
    struct stat st;
    if (stat(szDir, &st) != 0) return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

int ReadFull(int fd, void* pData, size_t cb) {
    char* p = static_cast<char*>(pData);
    while (cb > 0) {
        ssize_t n = read(fd, p, cb);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        p += n;
        cb -= static_cast<size_t>(n);
    }
    return 0;
}

int WriteFull(int fd, const void* pData, size_t cb) {
    const char* p = static_cast<const char*>(pData);
    while (cb > 0) {
        ssize_t n = write(fd, p, cb);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        p += n;
        cb -= static_cast<size_t>(n);
    }
    return 0;
}

void SyncDir(const char* szDir) {
    int fd = open(szDir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    fsync(fd);
    close(fd);
}

}  // namespace tavoav
