// File helpers shared by the engine state and the file lists.
#pragma once

#include <stddef.h>

namespace tavoav {

// mkdir -p with mode 0755; 0 when szDir exists as a folder afterwards.
__attribute__((visibility("hidden"))) int MakeDirs(const char* szDir);
// Reads exactly cb bytes (short file: -1). 0 on success.
__attribute__((visibility("hidden"))) int ReadFull(int fd, void* pData, size_t cb);
// Writes all cb bytes. 0 on success.
__attribute__((visibility("hidden"))) int WriteFull(int fd, const void* pData, size_t cb);
// Makes a rename or a new file in szDir durable; failures are ignored.
__attribute__((visibility("hidden"))) void SyncDir(const char* szDir);

}  // namespace tavoav
