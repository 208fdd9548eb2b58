// Plug-in discovery, loading and lookup.
#include "plugins.h"

#include <dirent.h>
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>
#include <syslog.h>

#include <algorithm>
#include <set>

#include "tavo/log.h"

namespace TAVO {
namespace Host {

std::vector<std::string> PluginDirs(const char* envValue, const std::string& defaultDir) {
    std::vector<std::string> dirs;
    if (envValue == nullptr || *envValue == '\0') {
        dirs.push_back(defaultDir);
        return dirs;
    }
    std::string list(envValue);
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(':', start);
        if (end == std::string::npos) end = list.size();
        if (end > start) dirs.push_back(list.substr(start, end - start));
        start = end + 1;
    }
    return dirs;
}

PluginSet::~PluginSet() {
    // The entries point into the libraries: forget them before unloading.
    entries_.clear();
    index_.clear();
    for (void* handle : handles_) dlclose(handle);
}

bool PluginSet::AddTable(const API_TABLE* table, const std::string& file, std::string& error) {
    for (const API_TABLE* row = table; row->szAPI != nullptr; ++row) {
        if (row->szMethod == nullptr || row->api == nullptr) {
            TAVO_LOG(LOG_ERR, "%s: table entry of %s without method or function skipped", file.c_str(),
                     row->szAPI);
            continue;
        }
        auto key = std::make_tuple(std::string(row->szAPI), row->iVersion, std::string(row->szMethod));
        auto found = index_.find(key);
        if (found != index_.end()) {
            error = "duplicate web API entry " + std::get<0>(key) + " version " +
                    std::to_string(row->iVersion) + " method " + std::get<2>(key) + " in " +
                    entries_[found->second].file + " and " + file;
            return false;
        }
        index_.emplace(key, entries_.size());
        entries_.push_back(Entry{std::get<0>(key), row->iVersion, std::get<2>(key), row->api, file});
    }
    return true;
}

bool PluginSet::Load(const std::vector<std::string>& dirs, std::string& error) {
    std::set<std::string> seen;  // real paths, so a folder listed twice loads once
    for (const std::string& dir : dirs) {
        DIR* dp = opendir(dir.c_str());
        if (dp == nullptr) {
            TAVO_LOG(LOG_ERR, "plug-in folder %s cannot be read: %m", dir.c_str());
            continue;
        }
        std::vector<std::string> names;
        while (struct dirent* ent = readdir(dp)) {
            std::string name = ent->d_name;
            if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0) names.push_back(name);
        }
        closedir(dp);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            std::string file = dir + "/" + name;
            char real[PATH_MAX];
            if (realpath(file.c_str(), real) == nullptr) continue;
            if (!seen.insert(real).second) continue;
            void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
            if (handle == nullptr) {
                TAVO_LOG(LOG_ERR, "cannot load plug-in %s: %s", file.c_str(), dlerror());
                continue;
            }
            handles_.push_back(handle);
            using GetTable = API_TABLE* (*)();
            auto getTable = reinterpret_cast<GetTable>(dlsym(handle, "GetAPITable"));
            if (getTable == nullptr) {
                TAVO_LOG(LOG_ERR, "plug-in %s has no GetAPITable", file.c_str());
                continue;
            }
            const API_TABLE* table = getTable();
            if (table == nullptr) {
                TAVO_LOG(LOG_ERR, "plug-in %s returned no API table", file.c_str());
                continue;
            }
            if (!AddTable(table, file, error)) return false;
        }
    }
    return true;
}

const Entry* PluginSet::Find(const std::string& api, int version, const std::string& method, int& code) const {
    auto exact = index_.find(std::make_tuple(api, version, method));
    if (exact != index_.end()) {
        code = 0;
        return &entries_[exact->second];
    }
    bool apiKnown = false, methodKnown = false;
    for (const Entry& entry : entries_) {
        if (entry.api != api) continue;
        apiKnown = true;
        if (entry.method == method) methodKnown = true;
    }
    code = !apiKnown ? WEBAPI_ERR_NO_SUCH_API
                     : (!methodKnown ? WEBAPI_ERR_NO_SUCH_METHOD : WEBAPI_ERR_NOT_SUPPORTED_VERSION);
    return nullptr;
}

}  // namespace Host
}  // namespace TAVO
