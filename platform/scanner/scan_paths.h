// Appliance paths as the scanner handles them: normalised text, and the scan
// targets of each mode.
#pragma once

#include <string>
#include <vector>

namespace tavoscan {

// The lexical normal form of an absolute appliance path: repeated and
// trailing slashes dropped, "." removed, ".." taking away the component
// before it (never above "/"). Empty when szPath is not absolute.
std::string NormalizePath(const std::string& path);

// Splits a normalised path into its components ("/a/b" -> {"a", "b"}).
std::vector<std::string> SplitPath(const std::string& path);

// The folders of the appliance's own system that "--system" scans.
const std::vector<std::string>& SystemFolders();

// True for a volume mount folder name: "volume" followed by digits.
bool IsVolumeName(const std::string& name);

}  // namespace tavoscan
