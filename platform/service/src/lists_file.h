// Line files of the service's own settings (configuration, white list,
// extension list) that several processes change at once. Writers serialise
// on a tavo::files::FileLock of "<file>.lock" and replace the file whole, so
// readers never see a half-written file.
#pragma once

#include <string>
#include <vector>

namespace tavo::service {

// The real path of an appliance path, or "" when it cannot be resolved.
__attribute__((visibility("hidden"))) std::string Resolve(const char* szAppliancePath);

// Reads the lines of a file without their line ends, skipping empty lines.
// 0 on success (*pblExists false and no lines when the file does not exist),
// -1 on a read error.
__attribute__((visibility("hidden"))) int ReadLines(const std::string& path,
                                                    std::vector<std::string>& lines,
                                                    bool* pblExists);

// Replaces the file (mode 0644, its folders created) by one holding the
// lines, each ended by a newline. 0 on success.
__attribute__((visibility("hidden"))) int WriteLinesAtomic(const std::string& path,
                                                           const std::vector<std::string>& lines);

}  // namespace tavo::service
