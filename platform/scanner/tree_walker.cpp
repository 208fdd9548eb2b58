#include "tree_walker.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>

#include "scan_paths.h"
#include "tavo/files.h"
#include "tavo/tavoav_engine.h"

namespace tavoscan {

namespace {

// Deeper trees are reported, not followed, so the open folders stay bounded.
constexpr int kMaxDepth = 128;

int OpenDirAt(int parentFd, const std::string& name) {
    return openat(parentFd, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
}

std::string Join(const std::string& dir, const std::string& name) {
    return dir == "/" ? "/" + name : dir + "/" + name;
}

}  // namespace

bool IsQuarantineFolderName(const std::string& name) { return name == TAVOAV_QUARANTINE_DIR_NAME; }

TreeWalker::TreeWalker(int rootFd, Callbacks callbacks)
    : rootFd_(rootFd), cb_(std::move(callbacks)) {}

bool TreeWalker::Walk(const std::vector<std::string>& targets) {
    for (const std::string& target : targets) {
        if (cb_.shouldStop && cb_.shouldStop()) return false;
        if (!WalkTarget(target)) return false;
    }
    return true;
}

bool TreeWalker::WalkTarget(const std::string& target) {
    std::vector<std::string> parts = SplitPath(target);
    if (std::find_if(parts.begin(), parts.end(), IsQuarantineFolderName) != parts.end())
        return true;
    if (parts.empty()) {
        if (cb_.wantDir && !cb_.wantDir("/")) return true;
        int fd = OpenDirAt(rootFd_, ".");
        if (fd < 0) {
            if (cb_.onError) cb_.onError("/", strerror(errno));
            return true;
        }
        return WalkDir(fd, "/", 0);
    }
    // The folders above the target, reached without following a link.
    std::string parent;
    for (size_t i = 0; i + 1 < parts.size(); ++i) parent += "/" + parts[i];
    tavo::files::UniqueFd parentFd =
        tavo::files::OpenBeneath(rootFd_, parent, O_RDONLY | O_DIRECTORY);
    if (!parentFd) {
        int err = errno;
        if (cb_.onError)
            cb_.onError(target,
                        err == ELOOP || err == ENOTDIR ? "not a folder path" : strerror(err));
        return true;
    }
    const std::string& last = parts.back();
    struct stat st;
    if (fstatat(parentFd.Get(), last.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
        if (cb_.onError) cb_.onError(target, strerror(errno));
        return true;
    }
    bool blGoOn = true;
    if (S_ISDIR(st.st_mode)) {
        if (!cb_.wantDir || cb_.wantDir(target)) {
            int fd = OpenDirAt(parentFd.Get(), last);
            if (fd < 0) {
                if (cb_.onError) cb_.onError(target, strerror(errno));
            } else {
                blGoOn = WalkDir(fd, target, 0);
            }
        }
    } else if (S_ISREG(st.st_mode)) {
        blGoOn = cb_.onFile(parentFd.Get(), last, target, st);
    }
    return blGoOn;
}

// Takes ownership of dirFd.
bool TreeWalker::WalkDir(int dirFd, const std::string& path, int depth) {
    DIR* pDir = fdopendir(dirFd);
    if (!pDir) {
        if (cb_.onError) cb_.onError(path, strerror(errno));
        close(dirFd);
        return true;
    }
    std::vector<std::string> names;
    errno = 0;
    while (struct dirent* pEntry = readdir(pDir)) {
        if (strcmp(pEntry->d_name, ".") == 0 || strcmp(pEntry->d_name, "..") == 0) continue;
        names.emplace_back(pEntry->d_name);
    }
    std::sort(names.begin(), names.end());
    int fd = dirfd(pDir);
    bool blGoOn = true;
    for (const std::string& name : names) {
        if (cb_.shouldStop && cb_.shouldStop()) {
            blGoOn = false;
            break;
        }
        std::string childPath = Join(path, name);
        struct stat st;
        if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT && cb_.onError) cb_.onError(childPath, strerror(errno));
            continue;
        }
        if (S_ISDIR(st.st_mode)) {
            if (IsQuarantineFolderName(name)) continue;
            if (cb_.wantDir && !cb_.wantDir(childPath)) continue;
            if (depth + 1 >= kMaxDepth) {
                if (cb_.onError) cb_.onError(childPath, "folders nested too deep");
                continue;
            }
            int childFd = OpenDirAt(fd, name);
            if (childFd < 0) {
                if (errno != ENOENT && cb_.onError) cb_.onError(childPath, strerror(errno));
                continue;
            }
            if (!WalkDir(childFd, childPath, depth + 1)) {
                blGoOn = false;
                break;
            }
        } else if (S_ISREG(st.st_mode)) {
            if (!cb_.onFile(fd, name, childPath, st)) {
                blGoOn = false;
                break;
            }
        }
        // Links, sockets, pipes and devices hold no file content to judge.
    }
    closedir(pDir);
    return blGoOn;
}

std::vector<std::string> TreeWalker::ListVolumes(int rootFd) {
    std::vector<std::pair<long, std::string>> volumes;
    int fd = OpenDirAt(rootFd, ".");
    if (fd < 0) return {};
    DIR* pDir = fdopendir(fd);
    if (!pDir) {
        close(fd);
        return {};
    }
    while (struct dirent* pEntry = readdir(pDir)) {
        std::string name = pEntry->d_name;
        if (!IsVolumeName(name)) continue;
        struct stat st;
        if (fstatat(dirfd(pDir), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISDIR(st.st_mode))
            continue;
        volumes.emplace_back(strtol(name.c_str() + 6, nullptr, 10), "/" + name);
    }
    closedir(pDir);
    std::sort(volumes.begin(), volumes.end());
    std::vector<std::string> result;
    for (auto& volume : volumes) result.push_back(volume.second);
    return result;
}

}  // namespace tavoscan
