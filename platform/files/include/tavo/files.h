// Safe file operations for the stores, the scanner and the host.
//
// Root works on volumes that share users write, so any folder on the way to
// a file may be swapped for a symbolic link at any moment. Everything here
// that takes a path below a folder handle resolves it beneath that handle
// and follows no symbolic link, in any component, the last one included: a
// link met on the way fails with ELOOP (ENOTDIR where the fallback walk
// meets one), and nothing is created or moved through it.
//
// The other helpers (MakeFolders, WriteFileAtomic, FileLock) are for the
// package's own folders, which only root writes.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <string>
#include <string_view>
#include <vector>

namespace tavo::files {

// An owned file descriptor, closed when the object goes.
class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : fd_(fd) {}
    ~UniqueFd() { Reset(); }
    UniqueFd(UniqueFd&& other) noexcept : fd_(other.Release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept {
        if (this != &other) Reset(other.Release());
        return *this;
    }
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;

    int Get() const { return fd_; }
    bool Valid() const { return fd_ >= 0; }
    explicit operator bool() const { return fd_ >= 0; }
    int Release() {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor held (keeping errno) and takes fd.
    void Reset(int fd = -1);

private:
    int fd_ = -1;
};

// Splits a path below a folder ("a/b/c", a leading "/" allowed) into its
// names. False when a name is empty, "." or "..", or the path is too long.
bool SplitBeneath(std::string_view path, std::vector<std::string>* pNames);

// Opens `path` beneath the folder dirFd without following any symbolic
// link: openat2 with RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS where the kernel
// has it, else one name at a time with O_NOFOLLOW. `flags` and `mode` are
// openat's (O_CLOEXEC and O_NOFOLLOW are added). An empty path opens the
// folder itself again. Invalid with errno set on failure (EINVAL for a path
// SplitBeneath refuses).
UniqueFd OpenBeneath(int dirFd, std::string_view path, int flags, mode_t mode = 0);

// Opens the folder `path` beneath dirFd (O_RDONLY | O_DIRECTORY), creating
// the missing folders with mode, relative to the folder made before, never
// through a link. The paths of the folders made (relative to dirFd) are added
// to *pCreated, top first, when it is given, so that a caller can undo them
// with RemoveFoldersBeneath. On failure the folders made are removed again.
UniqueFd MakeFoldersBeneath(int dirFd, std::string_view path, mode_t mode,
                            std::vector<std::string>* pCreated = nullptr);

// Removes the folders MakeFoldersBeneath made, deepest first, where they are
// still empty and still reachable without a link.
void RemoveFoldersBeneath(int dirFd, const std::vector<std::string>& created);

// mkdir -p of an absolute path (the package's own folders). 0 when `path`
// is a folder afterwards; -1 with errno.
int MakeFolders(const std::string& path, mode_t mode = 0755);

// Creates the folders above `path`. 0 on success.
int MakeParentFolders(const std::string& path, mode_t mode = 0755);

// Replaces `path` by a file holding `content` with `mode`: a temporary file
// in the same folder, written and synced, renamed over it, then the folder
// synced. Readers see the old file or the new one, never a part. 0 on
// success; -1 with errno, leaving `path` as it was and no temporary file.
int WriteFileAtomic(const std::string& path, std::string_view content, mode_t mode = 0644);

// Reads the whole file (at most cbLimit bytes more is an error). 0 on
// success; -1 with errno (ENOENT when it does not exist).
int ReadFile(const std::string& path, std::string* pContent, size_t cbLimit = 64u << 20);

// Writes all of cb bytes, retrying short writes and EINTR. 0 on success.
int WriteAll(int fd, const void* pData, size_t cb);
// Reads exactly cb bytes (a short file is an error). 0 on success.
int ReadExactly(int fd, void* pData, size_t cb);

// Makes a rename or a new entry in the folder durable; failures are ignored
// (the change itself has been made).
void SyncFolder(const std::string& path);
void SyncFolder(int dirFd);

// The folder part of a path ("/a/b" -> "/a", "/a" -> "/").
std::string ParentOf(const std::string& path);

// An exclusive flock on the file `lockPath` (created 0644 when missing,
// with its folders), held for the life of the object.
class FileLock {
public:
    explicit FileLock(const std::string& lockPath);
    FileLock(FileLock&&) = default;
    FileLock& operator=(FileLock&&) = default;
    // Errno of the failure, 0 when locked.
    int Error() const { return error_; }
    bool Locked() const { return fd_.Valid(); }

private:
    UniqueFd fd_;
    int error_ = 0;
};

// Test hook: whether OpenBeneath may use openat2 (true by default), so both
// ways are tested on a kernel that has it.
void UseOpenat2ForTesting(bool blUse);

}  // namespace tavo::files
