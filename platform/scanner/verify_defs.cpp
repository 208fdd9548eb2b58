#include "verify_defs.h"

#include <clamav.h>
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>

#include <algorithm>

#include "clam_engine.h"
#include "tavo/files.h"
#include "tavo/tavoav.h"
#include "tavo/tavocore.h"

namespace tavoscan {

namespace {

// The engine's last error message, for a reason more precise than its code
// ("Malformed database" says nothing about the line).
std::string gLastEngineMessage;

void OnEngineMessage(enum cl_msg severity, const char*, const char* szMessage, void*) {
    if (severity != CL_MSG_ERROR || !szMessage) return;
    std::string message = szMessage;
    while (!message.empty() && (message.back() == '\n' || message.back() == ' '))
        message.pop_back();
    // The first error is the cause; later ones only say that loading stopped.
    if (gLastEngineMessage.empty()) gLastEngineMessage = message;
}

// The engine's message with the folder left out of the file's path.
std::string WithoutFolder(std::string message, const std::string& dir) {
    const std::string prefix = dir + "/";
    for (size_t pos; (pos = message.find(prefix)) != std::string::npos;)
        message.erase(pos, prefix.size());
    return message;
}

// A text for one line: control characters become blanks.
std::string OneLine(std::string text) {
    for (char& c : text)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = ' ';
    return text;
}

std::vector<std::string> ListNames(const std::string& dir, bool* pblOk) {
    std::vector<std::string> names;
    *pblOk = false;
    tavo::files::UniqueFd fd(open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) return names;
    DIR* pDir = fdopendir(fd.Release());
    if (!pDir) return names;
    while (struct dirent* pEntry = readdir(pDir)) {
        if (pEntry->d_name[0] != '.') names.push_back(pEntry->d_name);
    }
    closedir(pDir);
    std::sort(names.begin(), names.end());
    *pblOk = true;
    return names;
}

// Loads one file into an engine of its own: the engine's reason, "" when it loads.
std::string LoadAlone(const std::string& path) {
    struct cl_engine* pEngine = cl_engine_new();
    if (!pEngine) return "cannot create the scan engine";
    gLastEngineMessage.clear();
    unsigned int signatures = 0;
    cl_error_t result = cl_load(path.c_str(), pEngine, &signatures, CL_DB_STDOPT);
    if (result == CL_SUCCESS) result = cl_engine_compile(pEngine);
    cl_engine_free(pEngine);
    if (result == CL_SUCCESS) return std::string();
    std::string reason = cl_strerror(result);
    if (!gLastEngineMessage.empty())
        reason += " (" + WithoutFolder(gLastEngineMessage, tavo::files::ParentOf(path)) + ")";
    return reason;
}

}  // namespace

bool IsDatabaseName(const std::string& name) {
    static const char* const rgExtensions[] = {
        "cvd", "cld",  "cud", "db",   "hdb", "hsb", "hdu",  "hsu", "mdb", "msb",
        "mdu", "msu",  "ndb", "ndu",  "ldb", "ldu", "sdb",  "zmd", "rmd", "idb",
        "fp",  "sfp",  "gdb", "pdb",  "wdb", "cdb", "crb",  "cfg", "ign", "ign2",
        "ftm", "info", "imp", "pwdb", "cat", "yar", "yara", "cbc"};
    size_t dot = name.rfind('.');
    if (dot == std::string::npos || dot == 0) return false;
    std::string extension = name.substr(dot + 1);
    for (const char* szExtension : rgExtensions)
        if (extension == szExtension) return true;
    return false;
}

DefsCheck CheckDefinitions(const std::string& dir, uint64_t maxFileBytes, bool blScanArchives) {
    DefsCheck check;
    cl_set_clcb_msg(OnEngineMessage);
    bool blListed = false;
    std::vector<std::string> names = ListNames(dir, &blListed);
    if (!blListed) {
        check.reason = std::string("cannot open the definitions folder: ") + strerror(errno);
        return check;
    }
    size_t cDatabases = 0;
    for (const std::string& name : names) {
        if (!IsDatabaseName(name)) continue;
        ++cDatabases;
        struct stat st;
        if (lstat((dir + "/" + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) {
            check.file = name;
            check.reason = "not a regular file";
            return check;
        }
        // The engine takes an empty database as one without signatures;
        // a file cut to nothing is a failed download, not a set.
        if (st.st_size == 0) {
            check.file = name;
            check.reason = "empty file";
            return check;
        }
    }
    if (cDatabases == 0) {
        check.reason = "no definition files";
        return check;
    }
    gLastEngineMessage.clear();
    ClamEngine engine;
    std::string error;
    if (engine.Load(dir, maxFileBytes, blScanArchives, &error)) {
        check.blOk = true;
        check.signatures = engine.SignatureCount();
        return check;
    }
    check.reason = error;
    if (!gLastEngineMessage.empty())
        check.reason += " (" + WithoutFolder(gLastEngineMessage, dir) + ")";
    for (const std::string& name : names) {
        if (!IsDatabaseName(name)) continue;
        std::string reason = LoadAlone(dir + "/" + name);
        if (!reason.empty()) {
            check.file = name;
            check.reason = reason;
            break;
        }
    }
    return check;
}

int RunVerifyDefinitions(const char* szApplianceDir) {
    char szDir[4096];
    if (!szApplianceDir || szApplianceDir[0] != '/' ||
        TAVOResolvePath(szApplianceDir, szDir, sizeof(szDir)) != 0) {
        printf("FAIL -\tbad definitions folder\n");
        return 64;
    }
    // The scanner's options: the same limits as a scan would set.
    TAVOAV_CONF conf;
    memset(&conf, 0, sizeof(conf));
    if (AVGetConfig(&conf) != 0) {
        conf.iMaxFileSizeMB = 0;
        conf.blScanArchives = TRUE;
    }
    uint64_t maxFileBytes =
        conf.iMaxFileSizeMB > 0 ? static_cast<uint64_t>(conf.iMaxFileSizeMB) * 1024 * 1024 : 0;
    DefsCheck check = CheckDefinitions(szDir, maxFileBytes, conf.blScanArchives != FALSE);
    if (check.blOk) {
        printf("OK %u\n", check.signatures);
        return 0;
    }
    printf("FAIL %s\t%s\n", check.file.empty() ? "-" : OneLine(check.file).c_str(),
           OneLine(check.reason).c_str());
    return 2;
}

}  // namespace tavoscan
