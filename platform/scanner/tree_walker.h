// Walks scan targets below the root directory without following any
// symbolic link: every component is opened relative to its parent with
// O_NOFOLLOW, so nothing outside the root or the scanned tree is reached.
#pragma once

#include <sys/stat.h>

#include <functional>
#include <string>
#include <vector>

namespace tavoscan {

class TreeWalker {
public:
    struct Callbacks {
        // A folder is entered only when this answers true (white list,
        // quarantine folders).
        std::function<bool(const std::string& path)> wantDir;
        // A regular file: the open folder that holds it, its name, its
        // appliance path and what fstatat (no link followed) found there.
        // Answer false to end the walk.
        std::function<bool(int dirFd, const std::string& name, const std::string& path,
                           const struct stat& st)>
            onFile;
        // A target or entry that could not be read (reason is a short text).
        std::function<void(const std::string& path, const std::string& reason)> onError;
        // Asked before each entry; true ends the walk.
        std::function<bool()> shouldStop;
    };

    // rootFd: the open root directory; it stays owned by the caller.
    TreeWalker(int rootFd, Callbacks callbacks);

    // Walks each target (normalised appliance path) in order. A target that
    // is a symbolic link or a special file is passed over. False when the
    // walk was ended early (onFile or shouldStop).
    bool Walk(const std::vector<std::string>& targets);

    // The volume folders ("/volume<N>", real folders only) under the root,
    // in number order.
    static std::vector<std::string> ListVolumes(int rootFd);

private:
    bool WalkTarget(const std::string& target);
    bool WalkDir(int dirFd, const std::string& path, int depth);

    int rootFd_;
    Callbacks cb_;
};

// The name of the quarantine folder on every volume; it is never scanned.
bool IsQuarantineFolderName(const std::string& name);

}  // namespace tavoscan
