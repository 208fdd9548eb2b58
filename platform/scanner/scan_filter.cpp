#include "scan_filter.h"

#include <ctype.h>

#include "scan_paths.h"

namespace tavoscan {

namespace {

std::string Lower(std::string text) {
    for (char& ch : text) ch = static_cast<char>(tolower(static_cast<unsigned char>(ch)));
    return text;
}

}  // namespace

std::string ExtensionOf(const std::string& fileName) {
    size_t dot = fileName.rfind('.');
    if (dot == std::string::npos || dot == 0 || dot + 1 == fileName.size()) return std::string();
    return Lower(fileName.substr(dot + 1));
}

ScanFilter::ScanFilter(const std::vector<std::string>& whiteList,
                       const std::vector<std::string>& extensions, bool blExtensionsOnly)
    : blExtensionsOnly_(blExtensionsOnly) {
    for (const std::string& entry : whiteList) {
        std::string normal = NormalizePath(entry);
        if (!normal.empty()) whiteList_.insert(normal);
    }
    for (std::string extension : extensions) {
        while (!extension.empty() && extension[0] == '.') extension.erase(0, 1);
        if (!extension.empty()) extensions_.insert(Lower(extension));
    }
}

bool ScanFilter::IsWhiteListed(const std::string& path) const {
    if (whiteList_.empty()) return false;
    std::string normal = NormalizePath(path);
    if (normal.empty()) return false;
    if (whiteList_.count("/")) return true;
    // The path itself, then each folder above it.
    for (;;) {
        if (whiteList_.count(normal)) return true;
        size_t slash = normal.rfind('/');
        if (slash == 0 || slash == std::string::npos) return false;
        normal.resize(slash);
    }
}

bool ScanFilter::ExtensionWanted(const std::string& fileName) const {
    if (!blExtensionsOnly_) return true;
    std::string extension = ExtensionOf(fileName);
    return !extension.empty() && extensions_.count(extension) != 0;
}

}  // namespace tavoscan
