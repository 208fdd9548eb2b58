// Plug-in discovery, loading and lookup.
#include "plugins.h"

#include <dirent.h>
#include <dlfcn.h>
#include <json/json.h>
#include <limits.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <syslog.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <fstream>
#include <set>

#include "tavo/files.h"
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

PluginSet::~PluginSet() { Unload(); }

void PluginSet::Unload() {
    // The entries point into the libraries: forget them before unloading.
    entries_.clear();
    index_.clear();
    known_.clear();
    for (void* handle : handles_) dlclose(handle);
    handles_.clear();
    skipped_ = false;
    fromIndex_ = false;
}

bool PluginSet::AddTable(const API_TABLE* table, const std::string& file, std::string& error) {
    for (const API_TABLE* row = table; row->szAPI != nullptr; ++row) {
        if (row->szMethod == nullptr || row->api == nullptr) {
            TAVO_LOG(LOG_ERR, "%s: table entry of %s without method or function skipped",
                     file.c_str(), row->szAPI);
            continue;
        }
        Key key =
            std::make_tuple(std::string(row->szAPI), row->iVersion, std::string(row->szMethod));
        auto found = index_.find(key);
        if (found != index_.end()) {
            error = "duplicate web API entry " + std::get<0>(key) + " version " +
                    std::to_string(row->iVersion) + " method " + std::get<2>(key) + " in " +
                    entries_[found->second].file + " and " + file;
            return false;
        }
        index_.emplace(key, entries_.size());
        known_.push_back(key);
        entries_.push_back(
            Entry{std::get<0>(key), row->iVersion, std::get<2>(key), row->api, file});
    }
    return true;
}

bool ListPluginFiles(const std::vector<std::string>& dirs, std::vector<PluginSet::File>& files) {
    bool complete = true;
    std::set<std::string> seen;  // real paths, so a folder listed twice loads once
    for (const std::string& dir : dirs) {
        DIR* dp = opendir(dir.c_str());
        if (dp == nullptr) {
            TAVO_LOG(LOG_ERR, "plug-in folder %s cannot be read: %m", dir.c_str());
            complete = false;
            continue;
        }
        std::vector<std::string> names;
        while (struct dirent* ent = readdir(dp)) {
            std::string name = ent->d_name;
            if (name.size() > 3 && name.compare(name.size() - 3, 3, ".so") == 0)
                names.push_back(name);
        }
        closedir(dp);
        std::sort(names.begin(), names.end());
        for (const std::string& name : names) {
            std::string file = dir + "/" + name;
            char real[PATH_MAX];
            struct stat st;
            if (realpath(file.c_str(), real) == nullptr || stat(real, &st) != 0) continue;
            if (!seen.insert(real).second) continue;
            // Any replacement of the file (or of a link to it) changes one of these.
            char numbers[160];
            snprintf(numbers, sizeof numbers, " %llu %llu %lld %lld.%09ld %lld.%09ld",
                     static_cast<unsigned long long>(st.st_dev),
                     static_cast<unsigned long long>(st.st_ino), static_cast<long long>(st.st_size),
                     static_cast<long long>(st.st_mtim.tv_sec), st.st_mtim.tv_nsec,
                     static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec);
            files.push_back(PluginSet::File{file, real + std::string(numbers)});
        }
    }
    return complete;
}

bool PluginSet::LoadFile(const std::string& file, std::string& error) {
    void* handle = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (handle == nullptr) {
        TAVO_LOG(LOG_ERR, "cannot load plug-in %s: %s", file.c_str(), dlerror());
        skipped_ = true;
        return true;
    }
    handles_.push_back(handle);
    using GetTable = API_TABLE* (*)();
    auto getTable = reinterpret_cast<GetTable>(dlsym(handle, "GetAPITable"));
    if (getTable == nullptr) {
        TAVO_LOG(LOG_ERR, "plug-in %s has no GetAPITable", file.c_str());
        skipped_ = true;
        return true;
    }
    const API_TABLE* table = getTable();
    if (table == nullptr) {
        TAVO_LOG(LOG_ERR, "plug-in %s returned no API table", file.c_str());
        skipped_ = true;
        return true;
    }
    return AddTable(table, file, error);
}

bool PluginSet::LoadFiles(const std::vector<File>& files, std::string& error) {
    for (const File& file : files) {
        if (!LoadFile(file.path, error)) return false;
    }
    return true;
}

bool PluginSet::Load(const std::vector<std::string>& dirs, std::string& error) {
    std::vector<File> files;
    if (!ListPluginFiles(dirs, files)) skipped_ = true;
    return LoadFiles(files, error);
}

bool PluginSet::LoadFor(const std::vector<std::string>& dirs, const std::string& indexPath,
                        const std::string& api, int version, const std::string& method,
                        std::string& error) {
    std::vector<File> files;
    bool complete = ListPluginFiles(dirs, files);
    if (!indexPath.empty() && complete &&
        FromIndexFile(files, indexPath, std::make_tuple(api, version, method), error)) {
        fromIndex_ = true;
        return true;
    }
    // No usable index: load everything, which also checks for duplicates.
    if (!complete) skipped_ = true;
    if (!LoadFiles(files, error)) return false;
    if (!indexPath.empty() && !skipped_) WriteIndex(files, indexPath);
    return true;
}

// The index: the plug-in files with their stamps, and every entry with the
// position of its file.
bool PluginSet::FromIndexFile(const std::vector<File>& files, const std::string& indexPath,
                              const Key& key, std::string& error) {
    std::ifstream in(indexPath, std::ios::binary);
    if (!in) return false;
    Json::Value doc;
    Json::CharReaderBuilder reader;
    std::string parseError;
    if (!Json::parseFromStream(reader, in, &doc, &parseError) || !doc.isObject()) return false;
    const Json::Value& stamps = doc["files"];
    const Json::Value& entries = doc["entries"];
    if (doc["format"] != 1 || !stamps.isArray() || !entries.isArray() ||
        stamps.size() != files.size())
        return false;
    for (Json::ArrayIndex i = 0; i < stamps.size(); ++i) {
        if (stamps[i]["path"] != files[i].path || stamps[i]["stamp"] != files[i].stamp)
            return false;
    }
    std::vector<Key> known;
    int fileOfKey = -1;
    for (const Json::Value& entry : entries) {
        if (!entry["api"].isString() || !entry["version"].isInt() || !entry["method"].isString() ||
            !entry["file"].isUInt() || entry["file"].asUInt() >= files.size()) {
            return false;
        }
        known.emplace_back(entry["api"].asString(), entry["version"].asInt(),
                           entry["method"].asString());
        if (known.back() == key) fileOfKey = static_cast<int>(entry["file"].asUInt());
    }
    if (fileOfKey >= 0) {
        // The index is only trusted as far as the plug-in's own table agrees.
        if (!LoadFile(files[fileOfKey].path, error) || skipped_ || index_.count(key) == 0) {
            Unload();
            error.clear();
            return false;
        }
    }
    known_ = std::move(known);
    return true;
}

void PluginSet::WriteIndex(const std::vector<File>& files, const std::string& indexPath) const {
    Json::Value doc(Json::objectValue);
    doc["format"] = 1;
    Json::Value& stamps = doc["files"] = Json::Value(Json::arrayValue);
    std::map<std::string, Json::UInt> position;
    for (const File& file : files) {
        Json::Value stamp(Json::objectValue);
        stamp["path"] = file.path;
        stamp["stamp"] = file.stamp;
        position[file.path] = stamps.size();
        stamps.append(stamp);
    }
    Json::Value& entries = doc["entries"] = Json::Value(Json::arrayValue);
    for (const Entry& entry : entries_) {
        Json::Value row(Json::objectValue);
        row["api"] = entry.api;
        row["version"] = entry.version;
        row["method"] = entry.method;
        row["file"] = position[entry.file];
        entries.append(row);
    }
    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    std::string text = Json::writeString(writer, doc) + "\n";

    // Other requests may write it at the same time: each writes its own
    // file and renames it over the index.
    tavo::files::MakeParentFolders(indexPath);
    if (tavo::files::WriteFileAtomic(indexPath, text, 0644) != 0)
        TAVO_LOG(LOG_DEBUG, "plug-in index %s not written: %m", indexPath.c_str());
}

const Entry* PluginSet::Find(const std::string& api, int version, const std::string& method,
                             int& code) const {
    auto exact = index_.find(std::make_tuple(api, version, method));
    if (exact != index_.end()) {
        code = 0;
        return &entries_[exact->second];
    }
    bool apiKnown = false, methodKnown = false;
    for (const Key& known : known_) {
        if (std::get<0>(known) != api) continue;
        apiKnown = true;
        if (std::get<2>(known) == method) methodKnown = true;
    }
    code = !apiKnown
               ? WEBAPI_ERR_NO_SUCH_API
               : (!methodKnown ? WEBAPI_ERR_NO_SUCH_METHOD : WEBAPI_ERR_NOT_SUPPORTED_VERSION);
    return nullptr;
}

}  // namespace Host
}  // namespace TAVO
