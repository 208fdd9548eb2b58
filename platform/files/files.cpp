#include "tavo/files.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/openat2.h>
#include <stdlib.h>
#include <string.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>

namespace tavo::files {

namespace {

std::atomic<bool> gUseOpenat2{true};

// openat2 exists from Linux 5.6; older kernels and some seccomp filters
// answer ENOSYS (or EPERM), and then the walk below does the same job.
int Openat2(int dirFd, const char* szPath, int flags, mode_t mode) {
#ifdef SYS_openat2
    struct open_how how;
    memset(&how, 0, sizeof how);
    how.flags = static_cast<unsigned long long>(flags);
    how.mode = (flags & (O_CREAT | O_TMPFILE)) ? mode : 0;
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS;
    for (int attempt = 0; attempt < 8; ++attempt) {
        long fd = syscall(SYS_openat2, dirFd, szPath, &how, sizeof how);
        // EAGAIN: a rename raced with the lookup; the kernel asks for a retry.
        if (fd >= 0 || errno != EAGAIN) return static_cast<int>(fd);
    }
    return -1;
#else
    (void)dirFd, (void)szPath, (void)flags, (void)mode;
    errno = ENOSYS;
    return -1;
#endif
}

int OpenFolderAt(int dirFd, const std::string& name) {
    return openat(dirFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

// The same resolution without openat2: every name relative to the folder
// opened before, none of them a link.
UniqueFd WalkBeneath(int dirFd, const std::vector<std::string>& names, int flags, mode_t mode) {
    UniqueFd current(OpenFolderAt(dirFd, "."));
    if (!current) return current;
    for (size_t i = 0; i + 1 < names.size(); ++i) {
        UniqueFd next(OpenFolderAt(current.Get(), names[i]));
        if (!next) return next;
        current = std::move(next);
    }
    return UniqueFd(openat(current.Get(), names.back().c_str(), flags, mode));
}

}  // namespace

void UniqueFd::Reset(int fd) {
    if (fd_ >= 0 && fd_ != fd) {
        int saved = errno;
        close(fd_);
        errno = saved;
    }
    fd_ = fd;
}

bool SplitBeneath(std::string_view path, std::vector<std::string>* pNames) {
    pNames->clear();
    if (path.size() >= PATH_MAX) return false;
    if (!path.empty() && path.front() == '/') path.remove_prefix(1);
    if (path.empty()) return true;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t slash = path.find('/', pos);
        if (slash == std::string_view::npos) slash = path.size();
        std::string_view name = path.substr(pos, slash - pos);
        if (name.empty() || name == "." || name == ".." ||
            name.find('\0') != std::string_view::npos)
            return false;
        pNames->emplace_back(name);
        pos = slash + 1;
    }
    return true;
}

UniqueFd OpenBeneath(int dirFd, std::string_view path, int flags, mode_t mode) {
    std::vector<std::string> names;
    if (!SplitBeneath(path, &names)) {
        errno = EINVAL;
        return UniqueFd();
    }
    flags |= O_CLOEXEC | O_NOFOLLOW;
    if (names.empty()) return UniqueFd(OpenFolderAt(dirFd, "."));
    if (gUseOpenat2.load(std::memory_order_relaxed)) {
        std::string joined = names[0];
        for (size_t i = 1; i < names.size(); ++i) joined += "/" + names[i];
        int fd = Openat2(dirFd, joined.c_str(), flags, mode);
        if (fd >= 0) return UniqueFd(fd);
        if (errno != ENOSYS && errno != EPERM) return UniqueFd();
    }
    return WalkBeneath(dirFd, names, flags, mode);
}

UniqueFd MakeFoldersBeneath(int dirFd, std::string_view path, mode_t mode,
                            std::vector<std::string>* pCreated) {
    std::vector<std::string> names;
    if (!SplitBeneath(path, &names)) {
        errno = EINVAL;
        return UniqueFd();
    }
    std::vector<std::string> made;
    UniqueFd current(OpenFolderAt(dirFd, "."));
    std::string relative;
    for (const std::string& name : names) {
        if (!current) break;
        relative += relative.empty() ? name : "/" + name;
        UniqueFd next(OpenFolderAt(current.Get(), name));
        if (!next && errno == ENOENT) {
            if (mkdirat(current.Get(), name.c_str(), mode) == 0) {
                made.push_back(relative);
            } else if (errno != EEXIST) {
                current.Reset();
                break;
            }
            // Opened again with O_NOFOLLOW: whatever was put there meanwhile
            // must be a real folder too.
            next.Reset(OpenFolderAt(current.Get(), name));
        }
        current = std::move(next);
    }
    if (!current) {
        int saved = errno;
        RemoveFoldersBeneath(dirFd, made);
        errno = saved;
        return current;
    }
    if (pCreated) pCreated->insert(pCreated->end(), made.begin(), made.end());
    return current;
}

void RemoveFoldersBeneath(int dirFd, const std::vector<std::string>& created) {
    int saved = errno;
    for (auto it = created.rbegin(); it != created.rend(); ++it) {
        size_t slash = it->rfind('/');
        std::string parent = slash == std::string::npos ? "" : it->substr(0, slash);
        std::string name = slash == std::string::npos ? *it : it->substr(slash + 1);
        UniqueFd parentFd = OpenBeneath(dirFd, parent, O_RDONLY | O_DIRECTORY);
        if (parentFd) unlinkat(parentFd.Get(), name.c_str(), AT_REMOVEDIR);
    }
    errno = saved;
}

int MakeFolders(const std::string& path, mode_t mode) {
    if (path.empty() || path.size() >= PATH_MAX) {
        errno = ENAMETOOLONG;
        return -1;
    }
    // Each missing folder from the top down.
    for (size_t pos = path.find('/', 1);; pos = path.find('/', pos + 1)) {
        std::string prefix = path.substr(0, pos);
        if (!prefix.empty() && mkdir(prefix.c_str(), mode) != 0 && errno != EEXIST) return -1;
        if (pos == std::string::npos) break;
    }
    struct stat st;
    if (stat(path.c_str(), &st) != 0) return -1;
    if (!S_ISDIR(st.st_mode)) {
        errno = ENOTDIR;
        return -1;
    }
    return 0;
}

std::string ParentOf(const std::string& path) {
    size_t slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

int MakeParentFolders(const std::string& path, mode_t mode) {
    std::string parent = ParentOf(path);
    return parent == "." || parent == "/" ? 0 : MakeFolders(parent, mode);
}

// read() or write() until all of cb bytes went through; a zero-byte
// transfer (end of file) is an error.
template <typename Transfer, typename Byte>
int TransferAll(Transfer transfer, int fd, Byte* p, size_t cb) {
    while (cb > 0) {
        ssize_t n = transfer(fd, p, cb);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n == 0) errno = EIO;
            return -1;
        }
        p += n;
        cb -= static_cast<size_t>(n);
    }
    return 0;
}

int WriteAll(int fd, const void* pData, size_t cb) {
    return TransferAll(write, fd, static_cast<const char*>(pData), cb);
}

int ReadExactly(int fd, void* pData, size_t cb) {
    return TransferAll(read, fd, static_cast<char*>(pData), cb);
}

int ReadFile(const std::string& path, std::string* pContent, size_t cbLimit) {
    pContent->clear();
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return -1;
    char buffer[8192];
    for (;;) {
        ssize_t n = read(fd.Get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return -1;
        if (n == 0) return 0;
        if (pContent->size() + static_cast<size_t>(n) > cbLimit) {
            errno = EFBIG;
            return -1;
        }
        pContent->append(buffer, static_cast<size_t>(n));
    }
}

int WriteFileAtomic(const std::string& path, std::string_view content, mode_t mode) {
    std::string temp = path + ".XXXXXX";
    UniqueFd fd(mkostemp(temp.data(), O_CLOEXEC));
    if (!fd) return -1;
    bool blOk = fchmod(fd.Get(), mode) == 0 &&
                WriteAll(fd.Get(), content.data(), content.size()) == 0 && fsync(fd.Get()) == 0;
    int saved = errno;
    fd.Reset();
    if (blOk && rename(temp.c_str(), path.c_str()) != 0) {
        blOk = false;
        saved = errno;
    }
    if (!blOk) {
        unlink(temp.c_str());
        errno = saved;
        return -1;
    }
    SyncFolder(ParentOf(path));
    return 0;
}

void SyncFolder(int dirFd) {
    int saved = errno;
    fsync(dirFd);
    errno = saved;
}

void SyncFolder(const std::string& path) {
    UniqueFd fd(open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (fd) SyncFolder(fd.Get());
}

FileLock::FileLock(const std::string& lockPath) {
    if (MakeParentFolders(lockPath) != 0) {
        error_ = errno;
        return;
    }
    fd_.Reset(open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644));
    // A lock file root made and another user only reads still locks.
    if (!fd_) fd_.Reset(open(lockPath.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd_) {
        error_ = errno;
        return;
    }
    int rc;
    while ((rc = flock(fd_.Get(), LOCK_EX)) != 0 && errno == EINTR) {
    }
    if (rc != 0) {
        error_ = errno;
        fd_.Reset();
    }
}

void UseOpenat2ForTesting(bool blUse) { gUseOpenat2.store(blUse, std::memory_order_relaxed); }

}  // namespace tavo::files
