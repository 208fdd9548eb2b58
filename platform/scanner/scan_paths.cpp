#include "scan_paths.h"

#include <ctype.h>

namespace tavoscan {

std::string NormalizePath(const std::string& path) {
    if (path.empty() || path[0] != '/') return std::string();
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        std::string part = path.substr(pos, next - pos);
        if (part == "..") {
            if (!parts.empty()) parts.pop_back();
        } else if (!part.empty() && part != ".") {
            parts.push_back(part);
        }
        pos = next + 1;
    }
    std::string result;
    for (const std::string& part : parts) result += "/" + part;
    return result.empty() ? "/" : result;
}

std::vector<std::string> SplitPath(const std::string& path) {
    std::vector<std::string> parts;
    size_t pos = 0;
    while (pos < path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        if (next > pos) parts.push_back(path.substr(pos, next - pos));
        pos = next + 1;
    }
    return parts;
}

const std::vector<std::string>& SystemFolders() {
    // Where programs and their start-up configuration live: what malware
    // replaces or plants to run again.
    static const std::vector<std::string> folders = {
        "/bin", "/sbin", "/etc", "/usr/bin", "/usr/sbin", "/usr/local/bin", "/usr/local/sbin",
    };
    return folders;
}

bool IsVolumeName(const std::string& name) {
    const std::string prefix = "volume";
    if (name.size() <= prefix.size() || name.compare(0, prefix.size(), prefix) != 0) return false;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (!isdigit(static_cast<unsigned char>(name[i]))) return false;
    }
    return true;
}

}  // namespace tavoscan
