#include "engine_util.h"

#include "tavo/files.h"

namespace tavoav {

int MakeDirs(const char* szDir) { return tavo::files::MakeFolders(szDir, 0755); }

void SyncDir(const char* szDir) { tavo::files::SyncFolder(szDir); }

}  // namespace tavoav
