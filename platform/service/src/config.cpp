// The antivirus configuration: "key=value" lines in TAVOAV_CONF_FILE. A
// missing file or key means the factory value. Every change is a
// read-modify-write under the file's lock, written to a new file that
// replaces the old one.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "audit.h"
#include "lists_file.h"
#include "tavo/files.h"
#include "tavo/tavoav_engine.h"
#include "tavo/tavoav_history.h"

namespace {

struct ConfValues {
    int autoUpdate = TRUE;
    int defaultOp = MV_INFECTED_FILES;
    int filterRule = TAVOAV_SCAN_ALL;
    int scanArchives = TRUE;
    int maxFileSizeMB = 100;
    int updateRateKBps = 0;  // speed of the stand-in's definition copy, 0: unlimited
};

struct ConfKey {
    const char* szName;
    int ConfValues::*pField;
    int iMin;
    int iMax;
    const char* szLabel;                 // in audit events
    std::string (*describe)(int value);  // the value in words
};

std::string OnOff(int value) { return value ? "on" : "off"; }
std::string Action(int value) {
    return value == DO_NOTHING_TO_INFECTED_FILES ? "do nothing"
           : value == MV_INFECTED_FILES          ? "quarantine"
                                                 : "delete";
}
std::string Filter(int value) {
    return value == TAVOAV_SCAN_EXTENSIONS ? "listed extensions only" : "all files";
}
std::string Megabytes(int value) { return std::to_string(value) + " MB"; }
std::string Rate(int value) { return value ? std::to_string(value) + " KiB/s" : "unlimited"; }

const ConfKey rgKeys[] = {
    {"autoUpdate", &ConfValues::autoUpdate, FALSE, TRUE, "update before scan", OnOff},
    {"defaultOp", &ConfValues::defaultOp, DO_NOTHING_TO_INFECTED_FILES, RM_INFECTED_FILES,
     "action on infected files", Action},
    {"filterRule", &ConfValues::filterRule, TAVOAV_SCAN_ALL, TAVOAV_SCAN_EXTENSIONS,
     "files to scan", Filter},
    {"scanArchives", &ConfValues::scanArchives, FALSE, TRUE, "scan archives", OnOff},
    {"maxFileSizeMB", &ConfValues::maxFileSizeMB, 1, 1 << 20, "maximum file size", Megabytes},
    {"updateRateKBps", &ConfValues::updateRateKBps, 0, 1 << 30, "update speed", Rate},
};

// "label from A to B" for every value that differs, joined by "; ".
std::string Changes(const ConfValues& before, const ConfValues& after) {
    std::string text;
    for (const ConfKey& k : rgKeys) {
        if (before.*k.pField == after.*k.pField) continue;
        if (!text.empty()) text += "; ";
        text += std::string(k.szLabel) + " from " + k.describe(before.*k.pField) + " to " +
                k.describe(after.*k.pField);
    }
    return text;
}

// A value that is not a whole number within its range keeps the factory value.
void ParseLine(const std::string& line, ConfValues& values) {
    size_t eq = line.find('=');
    if (eq == std::string::npos) return;
    std::string key = line.substr(0, eq);
    std::string text = line.substr(eq + 1);
    for (const ConfKey& k : rgKeys) {
        if (key != k.szName) continue;
        char* pEnd = nullptr;
        errno = 0;
        long value = strtol(text.c_str(), &pEnd, 10);
        if (errno == 0 && pEnd != text.c_str() && *pEnd == '\0' && value >= k.iMin &&
            value <= k.iMax)
            values.*k.pField = static_cast<int>(value);
    }
}

int ReadConf(const std::string& path, ConfValues& values) {
    std::vector<std::string> lines;
    values = ConfValues();
    if (tavo::service::ReadLines(path, lines, nullptr) != 0) return -1;
    for (const std::string& line : lines) ParseLine(line, values);
    return 0;
}

int WriteConf(const std::string& path, const ConfValues& values) {
    std::vector<std::string> lines;
    for (const ConfKey& k : rgKeys)
        lines.push_back(std::string(k.szName) + "=" + std::to_string(values.*k.pField));
    return tavo::service::WriteLinesAtomic(path, lines);
}

// Changes the configuration and writes the audit event of the change (a
// reset is told even when it changed nothing).
int ChangeConf(const std::function<void(ConfValues&)>& change, bool blReset = false) {
    std::string path = tavo::service::Resolve(TAVOAV_CONF_FILE);
    if (path.empty()) return ERR_TAVOAV_CONFIG_FILE_WRITE_ERROR;
    std::string changes;
    {
        tavo::files::FileLock lock(path + ".lock");
        if (!lock.Locked()) return ERR_TAVOAV_CONFIG_FILE_WRITE_ERROR;
        ConfValues values;
        if (ReadConf(path, values) != 0) return ERR_TAVOAV_CONFIG_FILE_READ_ERROR;
        const ConfValues before = values;
        change(values);
        if (WriteConf(path, values) != 0) return ERR_TAVOAV_CONFIG_FILE_WRITE_ERROR;
        changes = Changes(before, values);
    }
    if (blReset) {
        tavo::service::Audit("info", "config",
                             "Configuration reset to the factory values by " +
                                 tavo::service::Requester() +
                                 (changes.empty() ? ": nothing changed" : ": " + changes));
    } else if (!changes.empty()) {
        tavo::service::Audit(
            "info", "config",
            "Configuration changed by " + tavo::service::Requester() + ": " + changes);
    }
    return OKAY;
}

// The worker threads in the scanner settings' content, 0 when not set (one per CPU).
int ScanWorkersIn(const std::string& content) {
    const std::string key = std::string(TAVOAV_SCAN_WORKERS_KEY) + "=";
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        if (content.compare(pos, key.size(), key) == 0) {
            const std::string text = content.substr(pos + key.size(), end - pos - key.size());
            char* pEnd = nullptr;
            long value = strtol(text.c_str(), &pEnd, 10);
            return pEnd != text.c_str() && *pEnd == '\0' && value >= 1 && value <= 64
                       ? static_cast<int>(value)
                       : 0;
        }
        pos = end + 1;
    }
    return 0;
}

// Sets (or with 0 removes) the worker threads in the scanner settings,
// keeping every other line, under the lock the key-value writers take.
int WriteScanWorkers(const std::string& path, int iWorkers, int* piBefore) {
    if (tavo::files::MakeParentFolders(path) != 0) return -1;
    tavo::files::FileLock lock(path + ".lock");
    if (!lock.Locked()) return -1;
    std::string content;
    if (tavo::files::ReadFile(path, &content) != 0 && errno != ENOENT) return -1;
    *piBefore = ScanWorkersIn(content);
    const std::string key = std::string(TAVOAV_SCAN_WORKERS_KEY) + "=";
    std::string kept;
    size_t pos = 0;
    while (pos < content.size()) {
        size_t end = content.find('\n', pos);
        if (end == std::string::npos) end = content.size();
        if (content.compare(pos, key.size(), key) != 0)
            kept += content.substr(pos, end - pos) + "\n";
        pos = end + 1;
    }
    if (iWorkers > 0) kept += key + std::to_string(iWorkers) + "\n";
    return tavo::files::WriteFileAtomic(path, kept, 0644);
}

std::string Workers(int value) { return value > 0 ? std::to_string(value) : "one per CPU"; }

void SetText(char* szField, size_t cbField, const char* szText) {
    snprintf(szField, cbField, "%s", szText);
}

}  // namespace

extern "C" {

int AVGetConfig(TAVOAV_CONF* pConf) {
    if (!pConf) return ERR_TAVOAV_PARAMETER_ERROR;
    std::string path = tavo::service::Resolve(TAVOAV_CONF_FILE);
    ConfValues values;
    if (path.empty() || ReadConf(path, values) != 0) return ERR_TAVOAV_CONFIG_FILE_READ_ERROR;
    memset(pConf, 0, sizeof(*pConf));
    pConf->blAutoUpdate = values.autoUpdate ? TRUE : FALSE;
    pConf->defaultOp = static_cast<TAVOAV_DFOP>(values.defaultOp);
    pConf->filenameFilterRule = static_cast<TAVOAV_FILTER_RULE>(values.filterRule);
    pConf->blScanArchives = values.scanArchives ? TRUE : FALSE;
    pConf->iMaxFileSizeMB = values.maxFileSizeMB;
    SetText(pConf->szTrackFile, sizeof(pConf->szTrackFile), TAVOAV_REPORT_DB);
    SetText(pConf->szDBDir, sizeof(pConf->szDBDir), TAVOAV_DEFS_DIR);
    SetText(pConf->szWhiteListFile, sizeof(pConf->szWhiteListFile), TAVOAV_WHITELIST_FILE);
    SetText(pConf->szFileExtendList, sizeof(pConf->szFileExtendList), TAVOAV_EXTLIST_FILE);
    return OKAY;
}

int AVSetDefaultOp(TAVOAV_DFOP op) {
    const int iOp = static_cast<int>(op);
    if (iOp < DO_NOTHING_TO_INFECTED_FILES || iOp > RM_INFECTED_FILES)
        return ERR_TAVOAV_PARAMETER_ERROR;
    return ChangeConf([iOp](ConfValues& values) { values.defaultOp = iOp; });
}

int AVSetScanFilterRule(TAVOAV_FILTER_RULE rule) {
    const int iRule = static_cast<int>(rule);
    if (iRule != TAVOAV_SCAN_ALL && iRule != TAVOAV_SCAN_EXTENSIONS)
        return ERR_TAVOAV_PARAMETER_ERROR;
    return ChangeConf([iRule](ConfValues& values) { values.filterRule = iRule; });
}

int AVSetAutoUpdate(BOOL blAutoUpdate) {
    const int iValue = static_cast<int>(blAutoUpdate);
    if (iValue != FALSE && iValue != TRUE) return ERR_TAVOAV_PARAMETER_ERROR;
    return ChangeConf([iValue](ConfValues& values) { values.autoUpdate = iValue; });
}

int AVResetConf(void) {
    return ChangeConf([](ConfValues& values) { values = ConfValues(); }, true);
}

int AVSetScanArchives(BOOL blScanArchives) {
    const int iValue = static_cast<int>(blScanArchives);
    if (iValue != FALSE && iValue != TRUE) return ERR_TAVOAV_PARAMETER_ERROR;
    return ChangeConf([iValue](ConfValues& values) { values.scanArchives = iValue; });
}

int AVSetMaxFileSizeMB(int iMaxFileSizeMB) {
    if (iMaxFileSizeMB < 1 || iMaxFileSizeMB > 4096) return ERR_TAVOAV_PARAMETER_ERROR;
    return ChangeConf(
        [iMaxFileSizeMB](ConfValues& values) { values.maxFileSizeMB = iMaxFileSizeMB; });
}

int AVGetScanWorkers(int* piWorkers) {
    if (!piWorkers) return -1;
    const std::string path = tavo::service::Resolve(TAVOAV_SCANNER_CONF_FILE);
    if (path.empty()) return -1;
    std::string content;
    if (tavo::files::ReadFile(path, &content) != 0 && errno != ENOENT) return -1;
    *piWorkers = ScanWorkersIn(content);
    return 0;
}

int AVSetScanWorkers(int iWorkers) {
    if (iWorkers < 0 || iWorkers > 64) return -1;
    const std::string path = tavo::service::Resolve(TAVOAV_SCANNER_CONF_FILE);
    int iBefore = 0;
    if (path.empty() || WriteScanWorkers(path, iWorkers, &iBefore) != 0) return -1;
    if (iBefore != iWorkers)
        tavo::service::Audit("info", "config",
                             "Configuration changed by " + tavo::service::Requester() +
                                 ": scan workers from " + Workers(iBefore) + " to " +
                                 Workers(iWorkers));
    return 0;
}

}  // extern "C"
