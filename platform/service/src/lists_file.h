// Small file helpers of the service's own settings files (configuration,
// white list, extension list): line files that several processes change at
// once. Writers serialise on an exclusive flock of "<file>.lock" and replace
// the file by a new one (rename), so readers never see a half-written file.
#pragma once

#include <string>
#include <vector>

namespace tavoav_files {

// The real path of an appliance path, or "" when it cannot be resolved.
std::string Resolve(const char* szAppliancePath);

// Creates the folders above szPath as needed. 0 on success.
int MakeParentDirs(const std::string& path);

// Reads the lines of a file without their line ends, skipping empty lines.
// 0 on success (*pblExists false and no lines when the file does not exist),
// -1 on a read error.
int ReadLines(const std::string& path, std::vector<std::string>& lines, bool* pblExists);

// Replaces the file by one holding the lines: a temporary file in the same
// folder, synced, then renamed over it. 0 on success.
int WriteLinesAtomic(const std::string& path, const std::vector<std::string>& lines);

// An exclusive lock on "<path>.lock", held for the life of the object.
class FileLock {
public:
    explicit FileLock(const std::string& path);
    ~FileLock();
    FileLock(const FileLock&) = delete;
    FileLock& operator=(const FileLock&) = delete;
    bool Locked() const { return fd_ >= 0; }

private:
    int fd_ = -1;
};

}  // namespace tavoav_files
