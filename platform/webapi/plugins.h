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

    // The entry for the call, or null with code 102, 103 or 104.
    const Entry* Find(const std::string& api, int version, const std::string& method, int& code) const;
    const std::vector<Entry>& Entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
    std::map<std::tuple<std::string, int, std::string>, size_t> index_;
    std::vector<void*> handles_;
};

}  // namespace Host
}  // namespace TAVO
