// The clean-file cache: which files were judged clean, by (device, inode),
// with the size and the modification and change times (nanoseconds) they had
// then. A file that still matches is not judged again.
//
// The change time is what makes this sound: nobody can set it, every write,
// truncation, rename over or attribute change moves it to the current time.
// That holds only where the kernel keeps it (local filesystems); a network or
// FUSE filesystem takes it from elsewhere, so CacheableFilesystem refuses them.
// The whole cache belongs to one key (definitions, engine, scan options): a
// cache written under another key is void.
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/stat.h>

#include <set>
#include <string>
#include <vector>

namespace tavoscan {

class CleanCache {
public:
    // Reads the cache file at path (a real path). It is used only when it was
    // written under the same key and is whole; otherwise the cache starts
    // empty. False when a file was there and could not be used.
    bool Load(const std::string& path, const std::string& key);
    // True when the file (fstat before judging) was found clean as it is now.
    // Marks the entry as seen by this run.
    bool Knows(const struct stat& st);
    // Remembers a file found clean (fstat before judging it, unchanged after).
    void Add(const struct stat& st);
    // Writes the cache atomically (a crash leaves the old file or the new
    // one): the entries seen or added by this run, then the others except
    // those on the devices dropUnseenOn (a completed walk of them did not meet
    // these files), at most maxEntries in all. Nothing is written when that
    // is what the file already holds. 0 on success, -1 with errno.
    int Save(const std::string& path, size_t maxEntries,
             const std::set<uint64_t>& dropUnseenOn) const;
    size_t Size() const { return loaded_.size() + added_.size(); }

    struct Entry {
        uint64_t dev;
        uint64_t ino;
        int64_t size;
        int64_t mtimeNs;
        int64_t ctimeNs;
    };

private:
    std::string key_;
    std::vector<Entry> loaded_;  // sorted by (dev, ino)
    std::vector<bool> seen_;     // per loaded entry
    std::vector<Entry> added_;
    bool blWhole_ = false;  // the file holds loaded_ under key_
};

// True for the filesystems (statfs f_type) whose change times the kernel
// keeps itself: ext2/3/4, xfs, btrfs, tmpfs, f2fs, zfs, jfs, reiserfs.
bool CacheableFilesystem(long fsType);

// The text that ties a cache to the definitions in the folder defsDir (a real
// path): the folder's identity and every file's name, size and modification
// time, so any update (which installs a new folder) voids the cache. Empty
// when the folder cannot be read.
std::string DefinitionsKey(const std::string& defsDir);

}  // namespace tavoscan
