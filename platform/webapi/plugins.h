// The plug-ins of the host: found in folders, loaded with dlopen, and
// looked up by (API name, version, method name).
#pragma once

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "tavo/webapi.h"

namespace TAVO {
namespace Host {

// The plug-in folders: TAVO_WEBAPI_PLUGINS split at ':' (empty pieces
// skipped), or defaultDir when the variable is unset or empty.
std::vector<std::string> PluginDirs(const char* envValue, const std::string& defaultDir);

struct Entry {
    std::string api;
    int version = 0;
    std::string method;
    APIFunc func = nullptr;
    std::string file;  // the plug-in that serves it
};

class PluginSet {
public:
    PluginSet() = default;
    ~PluginSet();
    PluginSet(const PluginSet&) = delete;
    PluginSet& operator=(const PluginSet&) = delete;

    // Loads every "*.so" of the folders (in name order per folder). A file
    // that cannot be loaded or has no GetAPITable is skipped with a log line
    // (a missing folder too). Two entries with the same (api, version,
    // method) make the load fail; error then names both files.
    bool Load(const std::vector<std::string>& dirs, std::string& error);
    // Adds the entries of one table (ends at the entry with a null API
    // name); the same duplicate rule.
    bool AddTable(const API_TABLE* table, const std::string& file, std::string& error);

    // What one call needs, with the same result as Load. The index at
    // indexPath remembers which plug-in serves which entry; while every
    // plug-in file is still the one it describes, only the plug-in serving
    // (api, version, method) is loaded (none when no plug-in serves it).
    // Otherwise every plug-in is loaded and, when all of them loaded
    // cleanly, the index is written anew. An empty indexPath means Load.
    bool LoadFor(const std::vector<std::string>& dirs, const std::string& indexPath,
                 const std::string& api, int version, const std::string& method,
                 std::string& error);
    // Whether the last LoadFor answered from the index.
    bool FromIndex() const { return fromIndex_; }

    // The entry for the call, or null with code 102, 103 or 104.
    const Entry* Find(const std::string& api, int version, const std::string& method,
                      int& code) const;
    const std::vector<Entry>& Entries() const { return entries_; }

    // A plug-in file as listed, with what tells a replaced file apart.
    struct File {
        std::string path;
        std::string stamp;
    };

private:
    using Key = std::tuple<std::string, int, std::string>;

    bool LoadFiles(const std::vector<File>& files, std::string& error);
    bool LoadFile(const std::string& file, std::string& error);
    void Unload();
    bool FromIndexFile(const std::vector<File>& files, const std::string& indexPath, const Key& key,
                       std::string& error);
    void WriteIndex(const std::vector<File>& files, const std::string& indexPath) const;

    std::vector<Entry> entries_;
    std::map<Key, size_t> index_;
    std::vector<void*> handles_;
    // Every entry known to exist, loaded or not: Find's codes come from it.
    std::vector<Key> known_;
    bool skipped_ = false;  // a folder or file was passed over
    bool fromIndex_ = false;
};

// The plug-in files of the folders in load order (name order per folder, a
// file reached twice listed once); false when a folder cannot be read.
bool ListPluginFiles(const std::vector<std::string>& dirs, std::vector<PluginSet::File>& files);

}  // namespace Host
}  // namespace TAVO
