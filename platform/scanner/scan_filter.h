// Which files a scan looks at: the white list (an entry exempts that file or
// everything below it) and the scan-extensions-only rule.
#pragma once

#include <set>
#include <string>
#include <vector>

namespace tavoscan {

class ScanFilter {
public:
    // whiteList: appliance paths; extensions: with or without the leading
    // dot, matched without regard to case. blExtensionsOnly: only files whose
    // extension is listed are scanned.
    ScanFilter(const std::vector<std::string>& whiteList,
               const std::vector<std::string>& extensions, bool blExtensionsOnly);

    // True when the path (normalised) or one of the folders above it is on
    // the white list.
    bool IsWhiteListed(const std::string& path) const;
    // True when a file of this name is scanned under the extension rule.
    bool ExtensionWanted(const std::string& fileName) const;
    // Both rules for a file.
    bool FileWanted(const std::string& path, const std::string& fileName) const {
        return !IsWhiteListed(path) && ExtensionWanted(fileName);
    }

private:
    std::set<std::string> whiteList_;
    std::set<std::string> extensions_;
    bool blExtensionsOnly_;
};

// The extension of a file name in lower case: the text after the last dot,
// empty when there is none (a leading dot alone does not start an extension).
std::string ExtensionOf(const std::string& fileName);

}  // namespace tavoscan
