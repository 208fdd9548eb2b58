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

#include "lists_file.h"
#include "tavo/files.h"
#include "tavo/tavoav_engine.h"

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
};

const ConfKey rgKeys[] = {
    {"autoUpdate", &ConfValues::autoUpdate, FALSE, TRUE},
    {"defaultOp", &ConfValues::defaultOp, DO_NOTHING_TO_INFECTED_FILES, RM_INFECTED_FILES},
    {"filterRule", &ConfValues::filterRule, TAVOAV_SCAN_ALL, TAVOAV_SCAN_EXTENSIONS},
    {"scanArchives", &ConfValues::scanArchives, FALSE, TRUE},
    {"maxFileSizeMB", &ConfValues::maxFileSizeMB, 1, 1 << 20},
    {"updateRateKBps", &ConfValues::updateRateKBps, 0, 1 << 30},
};

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
        if (errno == 0 && pEnd != text.c_str() && *pEnd == '\0' && value >= k.iMin && value <= k.iMax)
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
    for (const ConfKey& k : rgKeys) lines.push_back(std::string(k.szName) + "=" + std::to_string(values.*k.pField));
    return tavo::service::WriteLinesAtomic(path, lines);
}

int ChangeConf(const std::function<void(ConfValues&)>& change) {
    std::string path = tavo::service::Resolve(TAVOAV_CONF_FILE);
    if (path.empty()) return ERR_TAVOAV_CONFIG_FILE_WRITE_ERROR;
    tavo::files::FileLock lock(path + ".lock");
    if (!lock.Locked()) return ERR_TAVOAV_CONFIG_FILE_WRITE_ERROR;
    ConfValues values;
    if (ReadConf(path, values) != 0) return ERR_TAVOAV_CONFIG_FILE_READ_ERROR;
    change(values);
    return WriteConf(path, values) == 0 ? OKAY : ERR_TAVOAV_CONFIG_FILE_WRITE_ERROR;
}

void SetText(char* szField, size_t cbField, const char* szText) { snprintf(szField, cbField, "%s", szText); }

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
    if (iOp < DO_NOTHING_TO_INFECTED_FILES || iOp > RM_INFECTED_FILES) return ERR_TAVOAV_PARAMETER_ERROR;
    return ChangeConf([iOp](ConfValues& values) { values.defaultOp = iOp; });
}

int AVSetScanFilterRule(TAVOAV_FILTER_RULE rule) {
    const int iRule = static_cast<int>(rule);
    if (iRule != TAVOAV_SCAN_ALL && iRule != TAVOAV_SCAN_EXTENSIONS) return ERR_TAVOAV_PARAMETER_ERROR;
    return ChangeConf([iRule](ConfValues& values) { values.filterRule = iRule; });
}

int AVSetAutoUpdate(BOOL blAutoUpdate) {
    const int iValue = static_cast<int>(blAutoUpdate);
    if (iValue != FALSE && iValue != TRUE) return ERR_TAVOAV_PARAMETER_ERROR;
    return ChangeConf([iValue](ConfValues& values) { values.autoUpdate = iValue; });
}

int AVResetConf(void) {
    return ChangeConf([](ConfValues& values) { values = ConfValues(); });
}

}  // extern "C"
