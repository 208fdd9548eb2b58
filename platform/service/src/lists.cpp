// The white list and the file extension list: one entry per line in their
// files under the package folder. Every change is a read-modify-write under
// the file's lock, written to a new file that replaces the old one, so
// changes made by several processes at once are all kept.
#include <errno.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "audit.h"
#include "lists_file.h"
#include "tavo/files.h"
#include "tavo/tavoav_engine.h"
#include "tavo/tavocore.h"

namespace tavo::service {

std::string Resolve(const char* szAppliancePath) {
    char szReal[4096];
    if (TAVOResolvePath(szAppliancePath, szReal, sizeof(szReal)) != 0) return std::string();
    return szReal;
}

int ReadLines(const std::string& path, std::vector<std::string>& lines, bool* pblExists) {
    lines.clear();
    if (pblExists) *pblExists = false;
    std::string content;
    if (tavo::files::ReadFile(path, &content) != 0) return errno == ENOENT ? 0 : -1;
    if (pblExists) *pblExists = true;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        std::string line = content.substr(pos, end - pos);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        if (!line.empty()) lines.push_back(line);
        pos = end + 1;
    }
    return 0;
}

int WriteLinesAtomic(const std::string& path, const std::vector<std::string>& lines) {
    if (tavo::files::MakeParentFolders(path) != 0) return -1;
    std::string content;
    for (const std::string& line : lines) {
        content += line;
        content += '\n';
    }
    return tavo::files::WriteFileAtomic(path, content, 0644);
}

}  // namespace tavo::service

namespace {

// The extension list a fresh package starts with: executables, scripts,
// documents that carry macros or scripts, and archives.
const char* const rgDefaultExtensions[] = {
    "exe",  "dll",  "com", "scr",  "pif",  "cpl", "sys", "msi",  "bin",  "elf", "so",
    "apk",  "bat",  "cmd", "vbs",  "vbe",  "js",  "jse", "wsf",  "hta",  "ps1", "sh",
    "py",   "pl",   "php", "jar",  "html", "htm", "doc", "docx", "docm", "dot", "xls",
    "xlsx", "xlsm", "ppt", "pptx", "pptm", "rtf", "pdf", "zip",  "rar",  "7z",  "gz",
    "tgz",  "bz2",  "xz",  "tar",  "cab",  "iso", "arj", "lzh",
};

// An entry must be a non-empty single line.
bool ValidEntry(const char* szEntry) {
    return szEntry && szEntry[0] != '\0' && !strpbrk(szEntry, "\n\r");
}

int ReadList(const char* szAppliancePath, bool blExtensions, std::vector<std::string>& entries) {
    std::string path = tavo::service::Resolve(szAppliancePath);
    if (path.empty()) return -1;
    bool blExists = false;
    if (tavo::service::ReadLines(path, entries, &blExists) != 0) return -1;
    if (!blExists && blExtensions) {
        entries.assign(std::begin(rgDefaultExtensions), std::end(rgDefaultExtensions));
    }
    return 0;
}

// Runs change on the current entries under the list's lock and stores the
// result when change answers >= 0 and reports a change. Answers change's result.
int ChangeList(const char* szAppliancePath, bool blExtensions,
               const std::function<int(std::vector<std::string>&, bool&)>& change) {
    std::string path = tavo::service::Resolve(szAppliancePath);
    if (path.empty()) return -1;
    tavo::files::FileLock lock(path + ".lock");
    if (!lock.Locked()) return -1;
    std::vector<std::string> entries;
    if (ReadList(szAppliancePath, blExtensions, entries) != 0) return -1;
    bool blChanged = false;
    int result = change(entries, blChanged);
    if (result < 0 || !blChanged) return result;
    if (tavo::service::WriteLinesAtomic(path, entries) != 0) return -1;
    return result;
}

int FillList(const char* szAppliancePath, bool blExtensions, PQLIBSZLIST* ppList) {
    if (!ppList || !*ppList) return ERR_TAVOAV_PARAMETER_ERROR;
    std::vector<std::string> entries;
    if (ReadList(szAppliancePath, blExtensions, entries) != 0)
        return ERR_TAVOAV_CONFIG_FILE_READ_ERROR;
    for (const std::string& entry : entries) {
        if (QLIBCSzListPush(ppList, entry.c_str()) != 0) return ERR_TAVOAV_EXE_ERROR;
    }
    return OKAY;
}

// Adds the entry unless it is listed already: 1 when added, 0 when listed.
int AddEntry(const char* szAppliancePath, bool blExtensions, const char* szEntry) {
    if (!ValidEntry(szEntry)) return ERR_TAVOAV_PARAMETER_ERROR;
    return ChangeList(szAppliancePath, blExtensions,
                      [szEntry](std::vector<std::string>& entries, bool& blChanged) {
                          if (std::find(entries.begin(), entries.end(), szEntry) != entries.end())
                              return 0;
                          entries.push_back(szEntry);
                          blChanged = true;
                          return 1;
                      });
}

// Removes every line equal to the entry; fails when there is none.
int RemoveEntry(const char* szAppliancePath, bool blExtensions, const char* szEntry) {
    if (!ValidEntry(szEntry)) return ERR_TAVOAV_PARAMETER_ERROR;
    return ChangeList(szAppliancePath, blExtensions,
                      [szEntry](std::vector<std::string>& entries, bool& blChanged) {
                          auto end = std::remove(entries.begin(), entries.end(), szEntry);
                          if (end == entries.end()) return -1;
                          entries.erase(end, entries.end());
                          blChanged = true;
                          return 0;
                      });
}

// The audit event of a list change: what, by whom, and the entry.
void AuditListChange(const char* szWhat, const char* szEntry) {
    tavo::service::Audit(
        "info", "config",
        std::string(szWhat) + " by " + tavo::service::Requester() + ": " + szEntry);
}

}  // namespace

extern "C" {

int AVExtensionListGet(PQLIBSZLIST* ppList) { return FillList(TAVOAV_EXTLIST_FILE, true, ppList); }

int AVExtensionListAdd(const char* szExtension) {
    int result = AddEntry(TAVOAV_EXTLIST_FILE, true, szExtension);
    if (result == 1) AuditListChange("Extension added to the scan list", szExtension);
    return result;
}

int AVExtensionListRemove(const char* szExtension) {
    if (RemoveEntry(TAVOAV_EXTLIST_FILE, true, szExtension) != 0) return -1;
    AuditListChange("Extension removed from the scan list", szExtension);
    return 0;
}

int AVWhiteListGet(PQLIBSZLIST* ppList) { return FillList(TAVOAV_WHITELIST_FILE, false, ppList); }

int AVWhiteListAdd(const char* szEntry) {
    int result = AddEntry(TAVOAV_WHITELIST_FILE, false, szEntry);
    if (result == 1) AuditListChange("Added to the white list", szEntry);
    return result >= 0 ? 0 : -1;
}

int AVWhiteListRemove(const char* szEntry) {
    if (RemoveEntry(TAVOAV_WHITELIST_FILE, false, szEntry) != 0) return -1;
    AuditListChange("Removed from the white list", szEntry);
    return 0;
}

}  // extern "C"
