// The root every fixed appliance path is resolved under ($TAVO_ROOT).
#include <limits.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <set>
#include <string>

#include "tavo/tavocore.h"

namespace {

// Makes szValue absolute against the working folder, drops "." parts,
// repeated and trailing slashes. ".." is kept: it is the kernel's to resolve.
std::string MakeRoot(const char* szValue) {
    std::string raw;
    if (szValue[0] != '/') {
        char szCwd[PATH_MAX];
        if (getcwd(szCwd, sizeof(szCwd)) == nullptr) return std::string();
        raw = szCwd;
        raw += '/';
    }
    raw += szValue;

    std::string root;
    size_t pos = 0;
    while (pos < raw.size()) {
        size_t next = raw.find('/', pos);
        if (next == std::string::npos) next = raw.size();
        std::string part = raw.substr(pos, next - pos);
        if (!part.empty() && part != ".") {
            root += '/';
            root += part;
        }
        pos = next + 1;
    }
    return root.empty() ? std::string("/") : root;
}

pthread_mutex_t gRootsMutex = PTHREAD_MUTEX_INITIALIZER;
pthread_once_t gAtForkOnce = PTHREAD_ONCE_INIT;

// A fork while another thread holds the mutex would leave it locked for good
// in the child, which may well resolve paths (a scan child does).
void LockRoots() { pthread_mutex_lock(&gRootsMutex); }
void UnlockRoots() { pthread_mutex_unlock(&gRootsMutex); }
void RegisterAtFork() { pthread_atfork(LockRoots, UnlockRoots, UnlockRoots); }

}  // namespace

extern "C" {

// $TAVO_ROOT is read on every call so a process (or a test) can switch roots.
// Each distinct root is kept for the life of the process, so a returned
// pointer never dangles.
const char* TAVORootDir(void) {
    static std::set<std::string>* pRoots = new std::set<std::string>();
    pthread_once(&gAtForkOnce, RegisterAtFork);

    const char* szValue = getenv("TAVO_ROOT");
    if (szValue == nullptr || szValue[0] == '\0') return "/";
    std::string root = MakeRoot(szValue);
    if (root.empty()) return "/";
    LockRoots();
    const char* szRoot = pRoots->insert(root).first->c_str();
    UnlockRoots();
    return szRoot;
}

int TAVOResolvePath(const char* szPath, char* szOut, size_t cbOut) {
    if (szPath == nullptr || szOut == nullptr || cbOut == 0 || szPath[0] != '/') return -1;
    const char* szRoot = TAVORootDir();
    size_t cchPath = strlen(szPath);
    size_t cchRoot = strcmp(szRoot, "/") == 0 ? 0 : strlen(szRoot);
    if (cchRoot + cchPath + 1 > cbOut) return -1;
    memcpy(szOut, szRoot, cchRoot);
    memcpy(szOut + cchRoot, szPath, cchPath + 1);
    return 0;
}

}  // extern "C"
