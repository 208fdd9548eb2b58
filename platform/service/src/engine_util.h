// Folder helpers of the quarantine, on the file library; the rest of the
// service calls tavo::files directly.
#pragma once

namespace tavoav {

// mkdir -p with mode 0755; 0 when szDir exists as a folder afterwards.
__attribute__((visibility("hidden"))) int MakeDirs(const char* szDir);
// Makes a rename or a new file in szDir durable; failures are ignored.
__attribute__((visibility("hidden"))) void SyncDir(const char* szDir);

}  // namespace tavoav
