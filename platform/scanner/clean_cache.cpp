#include "clean_cache.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <tuple>

#include "tavo/files.h"

namespace tavoscan {

namespace {

// "TAVOSCC1", key length (uint32), key, entry count (uint64), the entries
// sorted by (dev, ino), and an FNV-1a hash of everything before it.
constexpr char kMagic[8] = {'T', 'A', 'V', 'O', 'S', 'C', 'C', '1'};
static_assert(sizeof(CleanCache::Entry) == 40, "entries are stored as they are in memory");

uint64_t Fnv1a(const char* pData, size_t cb) {
    uint64_t hash = 1469598103934665603ull;
    for (size_t i = 0; i < cb; ++i) {
        hash ^= static_cast<unsigned char>(pData[i]);
        hash *= 1099511628211ull;
    }
    return hash;
}

int64_t Nanoseconds(const struct timespec& ts) {
    return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

CleanCache::Entry EntryOf(const struct stat& st) {
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
            static_cast<int64_t>(st.st_size), Nanoseconds(st.st_mtim), Nanoseconds(st.st_ctim)};
}

bool IdLess(const CleanCache::Entry& a, const CleanCache::Entry& b) {
    return std::tie(a.dev, a.ino) < std::tie(b.dev, b.ino);
}

bool SameFile(const CleanCache::Entry& a, const CleanCache::Entry& b) {
    return a.dev == b.dev && a.ino == b.ino && a.size == b.size && a.mtimeNs == b.mtimeNs &&
           a.ctimeNs == b.ctimeNs;
}

template <typename T>
bool Take(const std::string& data, size_t* pPos, T* pValue) {
    if (data.size() - *pPos < sizeof(T)) return false;
    memcpy(pValue, data.data() + *pPos, sizeof(T));
    *pPos += sizeof(T);
    return true;
}

template <typename T>
void Append(std::string* pData, const T& value) {
    pData->append(reinterpret_cast<const char*>(&value), sizeof(T));
}

}  // namespace

bool CleanCache::Load(const std::string& path, const std::string& key) {
    key_ = key;
    loaded_.clear();
    seen_.clear();
    added_.clear();
    blWhole_ = false;
    std::string data;
    if (tavo::files::ReadFile(path, &data, size_t(1) << 31) != 0) return errno == ENOENT;
    size_t pos = 0;
    uint32_t cbKey = 0;
    uint64_t count = 0;
    uint64_t hash = 0;
    if (data.size() < sizeof(kMagic) + sizeof(hash) ||
        memcmp(data.data(), kMagic, sizeof(kMagic)) != 0)
        return false;
    pos = sizeof(kMagic);
    if (!Take(data, &pos, &cbKey) || data.size() - pos < cbKey) return false;
    if (data.compare(pos, cbKey, key) != 0 || cbKey != key.size())
        return true;  // another key: void
    pos += cbKey;
    if (!Take(data, &pos, &count) || count > (data.size() - pos) / sizeof(Entry)) return false;
    size_t end = pos + count * sizeof(Entry);
    if (data.size() != end + sizeof(hash)) return false;
    memcpy(&hash, data.data() + end, sizeof(hash));
    if (hash != Fnv1a(data.data(), end)) return false;
    loaded_.resize(count);
    if (count > 0) memcpy(loaded_.data(), data.data() + pos, count * sizeof(Entry));
    if (!std::is_sorted(loaded_.begin(), loaded_.end(), IdLess)) {
        loaded_.clear();
        return false;
    }
    seen_.assign(count, false);
    blWhole_ = true;
    return true;
}

bool CleanCache::Knows(const struct stat& st) {
    Entry wanted = EntryOf(st);
    auto it = std::lower_bound(loaded_.begin(), loaded_.end(), wanted, IdLess);
    if (it == loaded_.end() || !SameFile(*it, wanted)) return false;
    seen_[it - loaded_.begin()] = true;
    return true;
}

void CleanCache::Add(const struct stat& st) { added_.push_back(EntryOf(st)); }

int CleanCache::Save(const std::string& path, size_t maxEntries,
                     const std::set<uint64_t>& dropUnseenOn) const {
    // This run's entries first, newest first: the last verdict on a file
    // wins, and they are the ones kept when the bound cuts.
    std::vector<Entry> entries(added_.rbegin(), added_.rend());
    for (size_t i = 0; i < loaded_.size(); ++i)
        if (seen_[i]) entries.push_back(loaded_[i]);
    std::stable_sort(entries.begin(), entries.end(), IdLess);
    entries.erase(
        std::unique(entries.begin(), entries.end(),
                    [](const Entry& a, const Entry& b) { return !IdLess(a, b) && !IdLess(b, a); }),
        entries.end());
    const size_t fresh = entries.size();
    for (size_t i = 0; i < loaded_.size(); ++i) {
        if (!seen_[i] && dropUnseenOn.count(loaded_[i].dev) == 0 &&
            !std::binary_search(entries.begin(), entries.begin() + fresh, loaded_[i], IdLess))
            entries.push_back(loaded_[i]);
    }
    if (entries.size() > maxEntries) entries.resize(maxEntries);
    std::sort(entries.begin(), entries.end(), IdLess);
    if (blWhole_ && entries.size() == loaded_.size() &&
        (entries.empty() ||
         memcmp(entries.data(), loaded_.data(), entries.size() * sizeof(Entry)) == 0))
        return 0;
    std::string data(kMagic, sizeof(kMagic));
    Append(&data, static_cast<uint32_t>(key_.size()));
    data += key_;
    Append(&data, static_cast<uint64_t>(entries.size()));
    if (!entries.empty())
        data.append(reinterpret_cast<const char*>(entries.data()), entries.size() * sizeof(Entry));
    Append(&data, Fnv1a(data.data(), data.size()));
    if (tavo::files::MakeParentFolders(path) != 0) return -1;
    return tavo::files::WriteFileAtomic(path, data, 0600);
}

bool CacheableFilesystem(long fsType) {
    switch (static_cast<unsigned long>(fsType)) {
    case 0xEF53:      // ext2, ext3, ext4
    case 0x58465342:  // xfs
    case 0x9123683E:  // btrfs
    case 0x01021994:  // tmpfs
    case 0xF2F52010:  // f2fs
    case 0x2FC12FC1:  // zfs
    case 0x3153464A:  // jfs
    case 0x52654973:  // reiserfs
        return true;
    default: return false;
    }
}

std::string DefinitionsKey(const std::string& defsDir) {
    tavo::files::UniqueFd dirFd(open(defsDir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat dirSt;
    if (!dirFd || fstat(dirFd.Get(), &dirSt) != 0) return std::string();
    DIR* pDir = fdopendir(dup(dirFd.Get()));
    if (!pDir) return std::string();
    std::vector<std::string> lines;
    while (struct dirent* pEntry = readdir(pDir)) {
        std::string name = pEntry->d_name;
        if (name == "." || name == "..") continue;
        struct stat st;
        if (fstatat(dirFd.Get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            closedir(pDir);
            return std::string();
        }
        lines.push_back(name + " " + std::to_string(static_cast<long long>(st.st_size)) + " " +
                        std::to_string(static_cast<long long>(Nanoseconds(st.st_mtim))) + " " +
                        std::to_string(static_cast<long long>(Nanoseconds(st.st_ctim))));
    }
    closedir(pDir);
    std::sort(lines.begin(), lines.end());
    std::string key = "definitions " +
                      std::to_string(static_cast<unsigned long long>(dirSt.st_dev)) + ":" +
                      std::to_string(static_cast<unsigned long long>(dirSt.st_ino)) + "\n";
    for (const std::string& line : lines) key += line + "\n";
    return key;
}

}  // namespace tavoscan
