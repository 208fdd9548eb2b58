// Service library fakes: engine, buttons, configuration, lists, quarantine
// and schedule, all working on fake::W().
#include <cstdlib>
#include <cstring>

#include "fake.h"

namespace fake {

QUARANTINE_FILE MakeItem(const std::string& originalPath, const std::string& renamedName,
                         const std::string& threat, const std::string& time) {
    QUARANTINE_FILE item{};
    snprintf(item.szOriginalPath, sizeof item.szOriginalPath, "%s", originalPath.c_str());
    snprintf(item.szRenamedName, sizeof item.szRenamedName, "%s", renamedName.c_str());
    snprintf(item.szThreat, sizeof item.szThreat, "%s", threat.c_str());
    snprintf(item.szTime, sizeof item.szTime, "%s", time.c_str());
    return item;
}

}  // namespace fake

namespace {

fake::FakeVolume* FindVolume(const char* name) {
    for (auto& v : fake::W().volumes)
        if (v.name == name || v.volumePath == name) return &v;
    return nullptr;
}

fake::FakeVolume* VolumeOfPath(const QUARANTINE_PATH* path) {
    for (auto& v : fake::W().volumes)
        if (v.volumePath == path->szVolumePath) return &v;
    return nullptr;
}

int FillList(const char* name, PQLIBSZLIST* ppList, const std::vector<std::string>& entries) {
    int result = fake::Call(name, 0);
    if (result != 0) return result;
    for (const auto& e : entries) QLIBCSzListPush(ppList, e.c_str());
    return 0;
}

int RemoveEntry(std::vector<std::string>& list, const char* entry) {
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (*it == entry) {
            list.erase(it);
            return 0;
        }
    }
    return -1;
}

FAILED_QITEM_LIST* HandOverFailList() {
    auto& nodes = fake::W().failList;
    FAILED_QITEM_LIST* head = nullptr;
    for (auto it = nodes.rbegin(); it != nodes.rend(); ++it) {
        auto* node = static_cast<FAILED_QITEM_LIST*>(malloc(sizeof(FAILED_QITEM_LIST)));
        *node = *it;
        node->next = head;
        head = node;
    }
    if (head) ++fake::W().liveFailLists;
    return head;
}

}  // namespace

extern "C" {

int AVGetEngStat(TAVOAV_STAT* pStat) {
    int result = fake::Call("AVGetEngStat", 0);
    if (result == 0) *pStat = fake::W().engineStatus;
    return result;
}

ERR_T AVGetEngInfo(TAVOAV_INFO* pInfo) {
    fake::Call("AVGetEngInfo", 0);
    *pInfo = fake::W().engineInfo;
    return static_cast<ERR_T>(fake::W().engineInfoResult);
}

int AVButtonStatusGet(BUTTON_STATUS* pStatus) {
    int result = fake::Call("AVButtonStatusGet", 0);
    if (result == 0) *pStatus = fake::W().buttonStatus;
    return result;
}

#define FAKE_BUTTON(fn, field, value)                          \
    int fn(void) {                                             \
        int result = fake::Call(#fn, 0);                       \
        if (result == 0) fake::W().buttonStatus.field = value; \
        return result;                                         \
    }
FAKE_BUTTON(AVButtonSetPausePressed, isPaused, TRUE)
FAKE_BUTTON(AVButtonResetPausePressed, isPaused, FALSE)
FAKE_BUTTON(AVButtonSetPauseDisable, isPauseDisabled, TRUE)
FAKE_BUTTON(AVButtonSetStopEnable, isStopDisabled, FALSE)
FAKE_BUTTON(AVButtonSetStopDisable, isStopDisabled, TRUE)
FAKE_BUTTON(AVButtonSetAckDisable, isAcknowledgeDisabled, TRUE)
FAKE_BUTTON(AVButtonSetClearDisable, isClearDisabled, TRUE)
FAKE_BUTTON(AVButtonSetReProcDisable, isReProcessDisabled, TRUE)
#undef FAKE_BUTTON

int AVButtonSetStatus(UI_BUTTON_STATE state) {
    fake::W().uiState = state;
    return fake::Call("AVButtonSetStatus", 0);
}

int AVButtonUIStatusEnterIntoScanning(int iReason) {
    fake::W().enterScanningArg = iReason;
    return fake::Call("AVButtonUIStatusEnterIntoScanning", 0);
}

int AVClearStayInNotify(void) {
    fake::W().engineStatus.isStayInNotify = FALSE;
    return fake::Call("AVClearStayInNotify", 0);
}

int AVScanPause(void) { return fake::Call("AVScanPause", 0); }
int AVScanResume(void) { return fake::Call("AVScanResume", 0); }
int AVStop(void) { return fake::Call("AVStop", 0); }

int AVTransSZListToFileList(char* szFileListPath, size_t cbPath, PQLIBSZLIST pList) {
    int result = fake::Call("AVTransSZListToFileList", 0);
    if (result < 0) return result;
    fake::W().fileListPaths.clear();
    for (int i = 0; i < pList->nItem; ++i) fake::W().fileListPaths.push_back(pList->pszItem[i]);
    snprintf(szFileListPath, cbPath, "%s", fake::W().fileListPath.c_str());
    return result;
}

int AVUpdate_m(void) { return fake::Call("AVUpdate_m", 0); }

int executeGadgeUpdate(int iQuarantineCount) {
    fake::W().gadgetCount = iQuarantineCount;
    return fake::Call("executeGadgeUpdate", 0);
}

int AVGetConfig(TAVOAV_CONF* pConf) {
    int result = fake::Call("AVGetConfig", 0);
    if (result == 0) *pConf = fake::W().config;
    return result;
}

int AVSetDefaultOp(TAVOAV_DFOP op) {
    int result = fake::Call("AVSetDefaultOp", 0);
    if (result == 0) fake::W().config.defaultOp = op;
    return result;
}

int AVSetScanFilterRule(TAVOAV_FILTER_RULE rule) {
    int result = fake::Call("AVSetScanFilterRule", 0);
    if (result == 0) fake::W().config.filenameFilterRule = rule;
    return result;
}

int AVSetAutoUpdate(BOOL blAutoUpdate) {
    int result = fake::Call("AVSetAutoUpdate", 0);
    if (result >= 0) fake::W().config.blAutoUpdate = blAutoUpdate;
    return result;
}

int AVResetConf(void) { return fake::Call("AVResetConf", 0); }

int AVExtensionListGet(PQLIBSZLIST* ppList) {
    return FillList("AVExtensionListGet", ppList, fake::W().extensionList);
}

int AVExtensionListAdd(const char* szExtension) {
    fake::RecordArg("AVExtensionListAdd", szExtension);
    int result = fake::Call("AVExtensionListAdd", fake::W().extensionAddResult);
    if (result > 0) fake::W().extensionList.push_back(szExtension);
    return result;
}

int AVExtensionListRemove(const char* szExtension) {
    fake::RecordArg("AVExtensionListRemove", szExtension);
    int result = fake::Call("AVExtensionListRemove", 0);
    if (result == 0) RemoveEntry(fake::W().extensionList, szExtension);
    return result;
}

int AVWhiteListGet(PQLIBSZLIST* ppList) {
    return FillList("AVWhiteListGet", ppList, fake::W().whiteList);
}

int AVWhiteListAdd(const char* szEntry) {
    fake::RecordArg("AVWhiteListAdd", szEntry);
    int result = fake::Call("AVWhiteListAdd", 0);
    if (result == 0) fake::W().whiteList.push_back(szEntry);
    return result;
}

int AVWhiteListRemove(const char* szEntry) {
    fake::RecordArg("AVWhiteListRemove", szEntry);
    int result = fake::Call("AVWhiteListRemove", 0);
    if (result == 0) RemoveEntry(fake::W().whiteList, szEntry);
    return result;
}

int AVQuarantineItemCountGet(int* piCount) {
    int result = fake::Call("AVQuarantineItemCountGet", 0);
    if (result == 0) *piCount = fake::W().quarantineCount;
    return result;
}

int AVQuarantineAllBaseEnum(PQLIBSZLIST* ppList) {
    std::vector<std::string> names;
    for (const auto& v : fake::W().volumes) names.push_back(v.name);
    return FillList("AVQuarantineAllBaseEnum", ppList, names);
}

int AVQuarantineGet(const char* szVolume, QUARANTINE_PATH* pPath) {
    fake::RecordArg("AVQuarantineGet", szVolume);
    int result = fake::Call("AVQuarantineGet", 0);
    fake::FakeVolume* v = FindVolume(szVolume);
    if (result != 0 || !v || v->getFails) return result != 0 ? result : -1;
    memset(pPath, 0, sizeof *pPath);
    snprintf(pPath->szVolumePath, sizeof pPath->szVolumePath, "%s", v->volumePath.c_str());
    snprintf(pPath->szDBPath, sizeof pPath->szDBPath, "%s/@quarantine/quarantine.db",
             v->volumePath.c_str());
    snprintf(pPath->szDirPath, sizeof pPath->szDirPath, "%s/@quarantine", v->volumePath.c_str());
    return 0;
}

int AVQuarantineConnect(const QUARANTINE_PATH* pPath, QUARANTINE_CONN** ppConn) {
    int result = fake::Call("AVQuarantineConnect", 0);
    fake::FakeVolume* v = VolumeOfPath(pPath);
    if (result != 0 || !v || v->connectFails) return result != 0 ? result : -1;
    auto* conn = static_cast<QUARANTINE_CONN*>(calloc(1, sizeof(QUARANTINE_CONN)));
    conn->path = *pPath;
    *ppConn = conn;
    ++fake::W().liveQConns;
    return 0;
}

int AVQuarantineDBEntryGet(QUARANTINE_CONN* pConn, const char* szRenamedName, size_t cbName,
                           QUARANTINE_FILE* pFile) {
    int result = fake::Call("AVQuarantineDBEntryGet", 0);
    if (result != 0) return result;
    fake::FakeVolume* v = VolumeOfPath(&pConn->path);
    if (!v) return -1;
    std::string name(szRenamedName, cbName);
    for (const auto& item : v->items) {
        if (name == item.szRenamedName) {
            *pFile = item;
            return 0;
        }
    }
    return -1;
}

int AVQuarantineDBReadFrom(const QUARANTINE_PATH* pPath, QUARANTINE_FILE** ppFiles, int* piCount) {
    int result = fake::Call("AVQuarantineDBReadFrom", 0);
    fake::FakeVolume* v = VolumeOfPath(pPath);
    if (result != 0 || !v || v->readFails) return result != 0 ? result : -1;
    *piCount = static_cast<int>(v->items.size());
    *ppFiles = nullptr;
    if (!v->items.empty()) {
        *ppFiles = static_cast<QUARANTINE_FILE*>(malloc(v->items.size() * sizeof(QUARANTINE_FILE)));
        memcpy(*ppFiles, v->items.data(), v->items.size() * sizeof(QUARANTINE_FILE));
    }
    return 0;
}

static QUARANTINE_ERROR RemoveItem(const char* fn, QUARANTINE_CONN* pConn, const char* szName,
                                   size_t cbName) {
    std::string name(szName, cbName);
    fake::RecordArg(fn, name);
    fake::Call(fn, 0);
    fake::FakeVolume* v = VolumeOfPath(&pConn->path);
    if (!v) return AVQ_ERR_UNKNOWN;
    auto refusal = v->refusals.find(name);
    if (refusal != v->refusals.end()) return refusal->second;
    for (auto it = v->items.begin(); it != v->items.end(); ++it) {
        if (name == it->szRenamedName) {
            v->items.erase(it);
            return AVQ_ERR_OK;
        }
    }
    return AVQ_ERR_DBOP_FAIL;
}

QUARANTINE_ERROR AVQuarantineDeleteFile(QUARANTINE_CONN* pConn, const char* szRenamedName,
                                        size_t cbName) {
    return RemoveItem("AVQuarantineDeleteFile", pConn, szRenamedName, cbName);
}

QUARANTINE_ERROR AVQuarantineRestoreFile(QUARANTINE_CONN* pConn, const char* szRenamedName,
                                         size_t cbName) {
    return RemoveItem("AVQuarantineRestoreFile", pConn, szRenamedName, cbName);
}

int AVQuarantineDeleteAllFiles(FAILED_QITEM_LIST** ppFailList) {
    int result = fake::Call("AVQuarantineDeleteAllFiles", 0);
    *ppFailList = (result == 0 || fake::W().failListOnError) ? HandOverFailList() : nullptr;
    return result;
}

int AVQuarantineRestoreAllFiles(BOOL blAddWhitelist, FAILED_QITEM_LIST** ppFailList) {
    fake::W().restoreAllAddWhitelist = blAddWhitelist;
    int result = fake::Call("AVQuarantineRestoreAllFiles", 0);
    *ppFailList = (result == 0 || fake::W().failListOnError) ? HandOverFailList() : nullptr;
    return result;
}

int AVQuarantineGetExtShareNameByMountPath(const char* szVolumePath, char* szShare,
                                           size_t cbShare) {
    fake::RecordArg("AVQuarantineGetExtShareNameByMountPath", szVolumePath);
    int result = fake::Call("AVQuarantineGetExtShareNameByMountPath", 0);
    fake::FakeVolume* v = FindVolume(szVolumePath);
    if (result != 0 || !v || v->shareFails) return result != 0 ? result : -1;
    snprintf(szShare, cbShare, "%s", v->shareName.c_str());
    return 0;
}

int AVQuarantineFailClear(void) { return fake::Call("AVQuarantineFailClear", 0); }
int AVTryProcessAgain(void) { return fake::Call("AVTryProcessAgain", 0); }

int AVQuarantineClose(QUARANTINE_CONN** ppConn) {
    fake::Call("AVQuarantineClose", 0);
    if (ppConn && *ppConn) {
        free(*ppConn);
        *ppConn = nullptr;
        --fake::W().liveQConns;
    }
    return 0;
}

int AVQuarantineFailListFree(FAILED_QITEM_LIST* pList) {
    fake::Call("AVQuarantineFailListFree", 0);
    if (pList) --fake::W().liveFailLists;
    while (pList) {
        FAILED_QITEM_LIST* next = pList->next;
        free(pList);
        pList = next;
    }
    return 0;
}

}  // extern "C"
