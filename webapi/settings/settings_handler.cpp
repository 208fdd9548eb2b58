#include "settings_handler.h"

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tavo/handler.h"
#include "tavo/log.h"
#include "tavo/param_check.h"
#include "tavo/tavoav.h"
#include "tavo/tavocore.h"
#include "tavo/tavodb.h"

namespace TAVO {
namespace AntiVirus {

namespace {

const char* const SZ_KEY_VALUE_FILE = "/var/packages/AntiVirus-Zentrel/target/.tavoavtmp";
// Definitions installed at most this many seconds ago count as "latest".
const int64_t I_DEFS_MAX_AGE = 1209600;  // 14 days
const int I_LIST_CAPACITY = 1024;

const char* const rgNoParamMethods[] = {
    "APIGeneralGetSysInfo_v1", "APIGeneralUpdate_v1",        "APIGeneralClearWarning_v1",
    "APIConfigGet_v1",         "APIConfigRestoreDefault_v1", "APIScheduleLoad_v1",
};

const ParamRule rgConfigSetParams[] = {{"config", JsonType::Object, true}};
const ParamRule rgPageParams[] = {{"start", JsonType::Integral, true},
                                  {"limit", JsonType::Integral, true}};
const ParamRule rgFileExtAddParams[] = {{"extension", JsonType::String, true}};
const ParamRule rgFileExtDeleteParams[] = {{"extensionToBeDelete", JsonType::Array, true}};
const ParamRule rgWhiteListAddParams[] = {{"listToBeAdd", JsonType::Array, true}};
const ParamRule rgWhiteListAddQuarantinedParams[] = {
    {"volumes", JsonType::Array, true},
    {"whiteList", JsonType::Array, true},
};
const ParamRule rgWhiteListDeleteParams[] = {{"listToBeDelete", JsonType::Array, true}};
const ParamRule rgScheduleSaveParams[] = {{"scanJobArray", JsonType::Array, true}};

const MethodParams rgMethodParams[] = {
    Method("APIConfigSet_v1", rgConfigSetParams),
    Method("APIFileExtLoad_v1", rgPageParams),
    Method("APIFileExtAdd_v1", rgFileExtAddParams),
    Method("APIFileExtDelete_v1", rgFileExtDeleteParams),
    Method("APIWhiteListLoad_v1", rgPageParams),
    Method("APIWhiteListAdd_v1", rgWhiteListAddParams),
    Method("APIWhiteListAddQuarantined_v1", rgWhiteListAddQuarantinedParams),
    Method("APIWhiteListDelete_v1", rgWhiteListDeleteParams),
    Method("APIScheduleSave_v1", rgScheduleSaveParams),
};

Json::Value LongLongText(int64_t value) {
    char szBuf[128];
    snprintf(szBuf, 128, "%lld", static_cast<long long>(value));
    return Json::Value(szBuf);
}

// Fields of service records read as plain integers: a service may store any
// value there, also one outside the enumeration.
int RawInt(const void* pField) {
    int value = 0;
    memcpy(&value, pField, sizeof(value));
    return value;
}

// The page [start, start + limit) of a list, in 64 bits so that no sum
// overflows. Positions below 0 hold no entry.
Json::Value PageOf(PQLIBSZLIST pList, int64_t start, int64_t limit, const char* szMember) {
    Json::Value jPage(Json::arrayValue);
    const int64_t iItemCount = pList->nItem;
    const int64_t iEnd = start + limit;
    if (start < iItemCount && start < iEnd) {
        for (int64_t i = start < 0 ? 0 : start; i < iItemCount && i < iEnd; ++i) {
            const char* szEntry = QLIBCSzListGet(pList, static_cast<int>(i));
            if (!szEntry) continue;
            Json::Value jRecord(Json::objectValue);
            jRecord["ID"] = static_cast<Json::Int>(i);
            jRecord[szMember] = szEntry;
            jPage.append(jRecord);
        }
    }
    return jPage;
}

}  // namespace

SettingsHandler::SettingsHandler(APIRequest* req, APIResponse* resp, const char* method)
    : _req(req), _resp(resp), _method(method) {}

SettingsHandler::~SettingsHandler() {}

void SettingsHandler::CheckParam(Json::Value& jParams, int& errCode) const {
    TAVO_CHECK_PARAM(*_req, _method, rgNoParamMethods, rgMethodParams, jParams, errCode);
}

void SettingsHandler::GeneralGetSysInfo() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    TAVOAV_STAT engineStatus;
    TAVOAV_INFO engineInfo;
    Json::Value scan;
    Json::Value button;
    BUTTON_STATUS buttonStatus;
    int iQuarantineCount = 0;
    int iGetInfoRet = 0;
    time_t timeNow = 0;
    char szDateBuf[1024];
    memset(&engineStatus, 0, sizeof(engineStatus));
    memset(&engineInfo, 0, sizeof(engineInfo));
    memset(&buttonStatus, 0, sizeof(buttonStatus));
    memset(szDateBuf, 0, sizeof(szDateBuf));

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    if (AVGetEngStat(&engineStatus) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "get engine status failed");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    iGetInfoRet = AVGetEngInfo(&engineInfo);

    // First match wins: with the result notice up the word is "infected" or
    // "completed", never "danger", even when moves failed. It is set before
    // the engine information is judged, so that failure's answer carries it.
    if (engineStatus.isInitializing) {
        jRetObj["sysStatus"] = "preparing";
    } else if (engineStatus.isScanning) {
        jRetObj["sysStatus"] = "scanning";
    } else if (engineStatus.isUpdating) {
        jRetObj["sysStatus"] = "updating";
    } else if (engineStatus.isStayInNotify) {
        jRetObj["sysStatus"] = engineStatus.infectedFileCnt != 0 ? "infected" : "completed";
    } else if (engineStatus.isReprocessing) {
        jRetObj["sysStatus"] = "reprocessing";
    } else if (engineStatus.mvFailedCnt != 0) {
        jRetObj["sysStatus"] = "danger";
    } else if (iGetInfoRet == ERR_TAVOAV_DB_ACCESS_ERROR) {
        jRetObj["sysStatus"] = "installvirusdef";
    } else {
        jRetObj["sysStatus"] = "secure";
    }
    // The low 32 bits, as the front end has always received them.
    jRetObj["procFailCount"] = static_cast<Json::Int>(
        static_cast<int32_t>(static_cast<uint32_t>(engineStatus.mvFailedCnt)));
    scan["scanned"] = LongLongText(engineStatus.scannedFileCnt);
    // Wrapping difference: the counters come from outside and may be extreme.
    scan["processed"] =
        LongLongText(static_cast<int64_t>(static_cast<uint64_t>(engineStatus.infectedFileCnt) -
                                          static_cast<uint64_t>(engineStatus.processFailedCnt)));
    scan["failed"] = LongLongText(engineStatus.processFailedCnt);
    jRetObj["scan"] = scan;
    jRetObj["downloadSizeTotal"] = LongLongText(engineStatus.downloadSizeTotal);
    jRetObj["downloadSizeNow"] = LongLongText(engineStatus.downloadSizeNow);
    jRetObj["scanFileCountTotal"] = LongLongText(engineStatus.scanFileCountTotal);

    if (AVButtonStatusGet(&buttonStatus) != 0) {
        // Not a failure of the request: every button reads as false.
        TAVO_LOG(TAVO_LOG_ERR, "failed to get button status");
        memset(&buttonStatus, 0, sizeof(buttonStatus));
    }
    button["isPaused"] = buttonStatus.isPaused != 0;
    button["isPauseDisabled"] = buttonStatus.isPauseDisabled != 0;
    button["isStopDisabled"] = buttonStatus.isStopDisabled != 0;
    button["isClearDisabled"] = buttonStatus.isClearDisabled != 0;
    button["isReProcessDisabled"] = buttonStatus.isReProcessDisabled != 0;
    button["isAckDisabled"] = buttonStatus.isAcknowledgeDisabled != 0;
    jRetObj["button"] = button;

    if (iGetInfoRet != OKAY && iGetInfoRet != ERR_TAVOAV_DB_ACCESS_ERROR) {
        TAVO_LOG(TAVO_LOG_ERR, "get engine information failed");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

    {
        const struct tm* pTm =
            engineInfo.lastUpdateDate != 0 ? localtime(&engineInfo.lastUpdateDate) : nullptr;
        if (pTm && strftime(szDateBuf, 1024, "%Y-%m-%d %H:%M", pTm) > 0) {
            jRetObj["lastUpdate"] = szDateBuf;
        } else {
            // No definitions, or a date the local-time conversion cannot take.
            jRetObj["lastUpdate"] = "Unknown";
        }
    }

    time(&timeNow);
    {
        int64_t iAge = 0;
        bool blLatest;
        if (__builtin_sub_overflow(static_cast<int64_t>(timeNow),
                                   static_cast<int64_t>(engineInfo.lastUpdateDate), &iAge)) {
            blLatest = engineInfo.lastUpdateDate > 0;  // far future: latest; far past: obsolete
        } else {
            blLatest = iAge <= I_DEFS_MAX_AGE;
        }
        jRetObj["updaterStatus"] = blLatest ? "latest" : "obsolete";
    }

    if (AVQuarantineItemCountGet(&iQuarantineCount) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to get quarantine item count");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    jRetObj["quarantineCount"] = iQuarantineCount;
    executeGadgeUpdate(iQuarantineCount);

END:
    Answer(_resp, errCode, jRetObj);
}

void SettingsHandler::GeneralUpdate() {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    TAVOAV_STAT engineStatus;
    pid_t pid = 0;
    memset(&engineStatus, 0, sizeof(engineStatus));

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    if (AVGetEngStat(&engineStatus) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "get engine status failed");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    {
        const std::string language = _req->GetUILanguage();
        // The updater reads the language for its notices; a failed write does not stop the update.
        QLIBCFileSetKeyValue(SZ_KEY_VALUE_FILE, "browserLanguage", language.c_str(), nullptr);
    }

    pid = QLIBCProcFork();
    if (pid < 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to fork process");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    if (pid == 0) {
        // The child runs the update (unless the engine is busy) and never
        // returns into the host's request handling.
        if (!engineStatus.isScanning && !engineStatus.isUpdating && !engineStatus.isInitializing) {
            if (AVUpdate_m() != 0) {
                TAVO_LOG(TAVO_LOG_ERR, "error while update antivirus engine");
            }
        }
        exit(1);
    }
    // Success after the pause whether or not the child found the engine idle.
    sleep(3);

END:
    Answer(_resp, errCode, jRetObj);
}

void SettingsHandler::GeneralClearWarning() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    // A failed button does not keep the failed list from being cleared.
    if (AVButtonSetClearDisable() != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "set clear button pressed fail");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
    }
    if (AVQuarantineFailClear() != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to remove failed list file");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
    }

END:
    Answer(_resp, errCode, jRetObj);
}

void SettingsHandler::ConfigGet() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    TAVOAV_CONF* pConfig = nullptr;
    int iDefaultOp = 0;
    int iFilterRule = 0;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    pConfig = static_cast<TAVOAV_CONF*>(malloc(sizeof(TAVOAV_CONF)));
    if (!pConfig) {
        TAVO_LOG(TAVO_LOG_ERR, "Failed to allocate %d bytes of memory.",
                 static_cast<int>(sizeof(TAVOAV_CONF)));
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    memset(pConfig, 0, sizeof(TAVOAV_CONF));

    if (AVGetConfig(pConfig) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to get configuration");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

    iDefaultOp = RawInt(&pConfig->defaultOp);
    if (iDefaultOp == DO_NOTHING_TO_INFECTED_FILES) {
        jRetObj["virusAction"] = "do_nothing";
    } else if (iDefaultOp == MV_INFECTED_FILES || iDefaultOp == RM_INFECTED_FILES) {
        jRetObj["virusAction"] = "quarantine_it";
    } else {
        TAVO_LOG(TAVO_LOG_ERR, "unexpected config output");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

    // An unknown filter rule fails the request with "virusAction" already set.
    iFilterRule = RawInt(&pConfig->filenameFilterRule);
    if (iFilterRule == TAVOAV_SCAN_ALL) {
        jRetObj["scanExtensionOnly"] = false;
    } else if (iFilterRule == TAVOAV_SCAN_EXTENSIONS) {
        jRetObj["scanExtensionOnly"] = true;
    } else {
        TAVO_LOG(TAVO_LOG_ERR, "unexpected config output");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

    jRetObj["updateBeforeScan"] = RawInt(&pConfig->blAutoUpdate) == TRUE;

END:
    if (pConfig) {
        free(pConfig);
    }
    Answer(_resp, errCode, jRetObj);
}

void SettingsHandler::ConfigSet() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    TAVOAV_DFOP virusAction = MV_INFECTED_FILES;
    TAVOAV_FILTER_RULE filenameRule = TAVOAV_SCAN_ALL;
    Json::Value config;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    config = jParams["config"];
    {
        const Json::Value& jConfig = config;
        if (!jConfig["virusAction"].isString() || !jConfig["scanExtensionOnly"].isBool() ||
            !jConfig["updateBeforeScan"].isBool()) {
            TAVO_LOG(TAVO_LOG_ERR, "wrong data type for setting config");
            errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
            goto END;
        }
        // Deleting infected files is never set from here: every other choice quarantines.
        virusAction = jConfig["virusAction"].asString() == "do_nothing"
                          ? DO_NOTHING_TO_INFECTED_FILES
                          : MV_INFECTED_FILES;
        filenameRule =
            jConfig["scanExtensionOnly"].asBool() ? TAVOAV_SCAN_EXTENSIONS : TAVOAV_SCAN_ALL;

        // No transaction: a failing setter leaves the earlier ones written.
        if (AVSetScanFilterRule(filenameRule) != 0) {
            TAVO_LOG(TAVO_LOG_ERR, "failed to set configuration");
            errCode = WEBAPI_ERR_INTERNAL_ERROR;
            goto END;
        }
        if (AVSetDefaultOp(virusAction) != 0) {
            TAVO_LOG(TAVO_LOG_ERR, "failed to set configuration");
            errCode = WEBAPI_ERR_INTERNAL_ERROR;
            goto END;
        }
        if (AVSetAutoUpdate(jConfig["updateBeforeScan"].asBool() ? TRUE : FALSE) < 0) {
            TAVO_LOG(TAVO_LOG_ERR, "failed to set configuration");
            errCode = WEBAPI_ERR_INTERNAL_ERROR;
            goto END;
        }
    }

END:
    Answer(_resp, errCode, jRetObj);
}

void SettingsHandler::ConfigRestoreDefault() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    // Only a note, yet at priority 3 like the failures: every reset leaves it in the log.
    TAVO_LOG(TAVO_LOG_ERR, "restore default config");
    if (AVResetConf() != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "error while restoring factory defaults");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
    }

END:
    Answer(_resp, errCode, jRetObj);
}

void SettingsHandler::LoadListPage(bool blWhiteList) const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    Json::Value jItemArray(Json::arrayValue);
    PQLIBSZLIST pList = nullptr;
    int64_t start = 0;
    int64_t limit = 0;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    if (!FitsInt32(jParams["start"]) || !FitsInt32(jParams["limit"])) {
        TAVO_LOG(TAVO_LOG_ERR, "start or limit out of range");
        errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
        goto END;
    }
    start = jParams["start"].asInt64();
    limit = jParams["limit"].asInt64();

    pList = QLIBCSzListAlloc(I_LIST_CAPACITY);
    if (!pList) {
        TAVO_LOG(TAVO_LOG_ERR, "Failed to alloc memory");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    // Answered 117 without a line of its own, unlike every other failure here.
    if ((blWhiteList ? AVWhiteListGet(&pList) : AVExtensionListGet(&pList)) != 0) {
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

    jItemArray = PageOf(pList, start, limit, blWhiteList ? "filepath" : "extension");
    jRetObj[blWhiteList ? "whiteList" : "extensionList"] = jItemArray;
    jRetObj["itemCount"] = pList->nItem;

END:
    // Freed also when never allocated: the list library takes a null list.
    QLIBCSzListFree(pList);
    Answer(_resp, errCode, jRetObj);
}

void SettingsHandler::FileExtLoad() const { LoadListPage(false); }

void SettingsHandler::FileExtAdd() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    int retv = 0;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    // Only a negative result fails; any other is the count answered back.
    retv = AVExtensionListAdd(jParams["extension"].asCString());
    if (retv < 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to add line to extension list");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    jRetObj["recordEffected"] = retv;

END:
    Answer(_resp, errCode, jRetObj);
}

void SettingsHandler::RemoveListEntries(bool blWhiteList) const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    {
        const Json::Value& jList = jParams[blWhiteList ? "listToBeDelete" : "extensionToBeDelete"];
        const Json::ArrayIndex listSize = jList.size();
        for (Json::ArrayIndex i = 0; i < listSize; ++i) {
            // A wrong element ends the request with 120 even after a failed
            // removal; entries removed before it stay removed.
            if (!jList[i].isString()) {
                TAVO_LOG(TAVO_LOG_ERR, "%s",
                         blWhiteList ? "wrong data type for deleting files in the white list"
                                     : "wrong data type for deleting file extension");
                errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
                goto END;
            }
            // A refused entry fails the answer, but the rest are still removed.
            if ((blWhiteList ? AVWhiteListRemove : AVExtensionListRemove)(jList[i].asCString()) !=
                0) {
                TAVO_LOG(TAVO_LOG_ERR, "%s",
                         blWhiteList ? "failed to remove line from white list"
                                     : "failed to remove line from extension list");
                errCode = WEBAPI_ERR_INTERNAL_ERROR;
            }
        }
    }

END:
    Answer(_resp, errCode, jRetObj);
}

void SettingsHandler::FileExtDelete() const { RemoveListEntries(false); }

void SettingsHandler::WhiteListLoad() const { LoadListPage(true); }

void SettingsHandler::WhiteListAdd() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    {
        const Json::Value& jList = jParams["listToBeAdd"];
        const Json::ArrayIndex listSize = jList.size();
        for (Json::ArrayIndex i = 0; i < listSize; ++i) {
            // As in delete: 120 at once, entries added before it stay added.
            if (!jList[i].isString()) {
                TAVO_LOG(TAVO_LOG_ERR, "wrong data type for adding files to the white list");
                errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
                goto END;
            }
            if (AVWhiteListAdd(jList[i].asCString()) != 0) {
                TAVO_LOG(TAVO_LOG_ERR, "failed to add [%s] to the white list",
                         jList[i].asCString());
                errCode = WEBAPI_ERR_INTERNAL_ERROR;
            }
        }
    }

END:
    Answer(_resp, errCode, jRetObj);
}

void SettingsHandler::WhiteListAddQuarantined() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    char szWhiteListFilename[1024];
    QUARANTINE_PATH quarantine;
    QUARANTINE_CONN* quarantineConn = nullptr;
    QUARANTINE_FILE quarantineFile;
    Json::Value arrVolumeList;
    Json::Value arrRenamedNameList;
    Json::ArrayIndex listSize = 0;
    Json::ArrayIndex iPairCount = 0;
    memset(szWhiteListFilename, 0, sizeof(szWhiteListFilename));
    memset(&quarantine, 0, sizeof(quarantine));

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    arrVolumeList = jParams["volumes"];
    arrRenamedNameList = jParams["whiteList"];
    listSize = arrRenamedNameList.size();
    iPairCount = listSize;
    if (listSize != arrVolumeList.size()) {
        TAVO_LOG(TAVO_LOG_ERR, "the size of the webapi parameters are mismatched: %d, %d",
                 static_cast<int>(listSize), static_cast<int>(arrVolumeList.size()));
        if (arrVolumeList.size() < iPairCount) iPairCount = arrVolumeList.size();
    }

    for (Json::ArrayIndex i = 0; i < iPairCount; ++i) {
        const Json::Value& jVolume = arrVolumeList[i];
        const Json::Value& jName = arrRenamedNameList[i];
        if (!jVolume.isString() || !jName.isString()) {
            TAVO_LOG(TAVO_LOG_ERR, "wrong data type for adding files to the white list");
            errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
            goto END;
        }
        const char* szVolume = jVolume.asCString();
        const char* szName = jName.asCString();
        memset(&quarantineFile, 0, sizeof(quarantineFile));

        // Failures of a single pair are logged only: the answer stays success.
        if (AVQuarantineGet(szVolume, &quarantine) != 0) {
            TAVO_LOG(TAVO_LOG_ERR, "get quarantine path failed: %s", szVolume);
        } else if (AVQuarantineConnect(&quarantine, &quarantineConn) != 0) {
            TAVO_LOG(TAVO_LOG_ERR, "failed to connect quarantine database: %s",
                     quarantine.szDBPath);
        } else if (AVQuarantineDBEntryGet(quarantineConn, szName, strlen(szName),
                                          &quarantineFile) != 0) {
            // Not in this volume's quarantine: nothing to add.
        } else if (snprintf(szWhiteListFilename, sizeof(szWhiteListFilename), "%s%s", szVolume,
                            quarantineFile.szOriginalPath) >=
                   static_cast<int>(sizeof(szWhiteListFilename))) {
            // A cut path would white-list some other file.
            TAVO_LOG(TAVO_LOG_ERR, "white list entry too long, skipped: %s%s", szVolume,
                     quarantineFile.szOriginalPath);
        } else if (AVWhiteListAdd(szWhiteListFilename) != 0) {
            TAVO_LOG(TAVO_LOG_ERR, "failed to add line to white list: %s", szWhiteListFilename);
        }

        if (quarantineConn) {
            AVQuarantineClose(&quarantineConn);
            quarantineConn = nullptr;
        }
    }

END:
    if (quarantineConn) {
        AVQuarantineClose(&quarantineConn);
        quarantineConn = nullptr;
    }
    Answer(_resp, errCode, jRetObj);
}

void SettingsHandler::WhiteListDelete() const { RemoveListEntries(true); }

void SettingsHandler::ScheduleLoad() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    Json::Value recordArray(Json::arrayValue);
    DBConnect* pDBHandle = nullptr;
    DBResult* pResult = nullptr;
    DBRow Row = 0;
    int iRecordCount = 0;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    if (AVScheduleDBConnect(&pDBHandle) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to connect to schedule database");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    if (TAVODBExecute(pDBHandle, "SELECT * FROM schedule;", &pResult) != 0) {
        // "databse" as the log has always spelt it.
        TAVO_LOG(TAVO_LOG_ERR, "failed to query schedule databse");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

    while (TAVODBFetchRow(pResult, &Row) != -1) {
        Json::Value jJob(Json::objectValue);
        // A column the result does not carry reads as an empty text.
        const char* szActivated = TAVODBFetchField(pResult, Row, "activated");
        jJob["activated"] = atoi(szActivated ? szActivated : "") != 0;
        const char* szTriggerTime = TAVODBFetchField(pResult, Row, "triggerTime");
        jJob["triggerTime"] = szTriggerTime ? szTriggerTime : "";
        const char* szScanType = TAVODBFetchField(pResult, Row, "scanType");
        jJob["scanType"] = szScanType ? szScanType : "";
        const char* szScanTarget = TAVODBFetchField(pResult, Row, "scanTarget");
        jJob["scanTarget"] = szScanTarget ? szScanTarget : "";
        recordArray.append(jJob);
        ++iRecordCount;
    }
    jRetObj["scheduleScanJobs"] = recordArray;
    jRetObj["jobCount"] = iRecordCount;

END:
    if (pResult) {
        TAVODBFreeResult(pResult);
        pResult = nullptr;
    }
    if (pDBHandle) {
        AVScheduleDBClose(pDBHandle);
        pDBHandle = nullptr;
    }
    Answer(_resp, errCode, jRetObj);
}

void SettingsHandler::ScheduleSave() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    DBConnect* pDBHandle = nullptr;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    if (AVScheduleDBConnect(&pDBHandle) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to connect to schedule database");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    // No transaction: a failure midway leaves the jobs inserted so far, and the
    // crontab keeps the old schedule until the next successful save.
    if (AVScheduleClear(pDBHandle) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to clear schedule");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

    {
        const Json::Value& jJobs = jParams["scanJobArray"];
        const Json::ArrayIndex listSize = jJobs.size();
        for (Json::ArrayIndex i = 0; i < listSize; ++i) {
            const Json::Value& jJob = jJobs[i];
            // An "activated" beyond 32 bits cannot be passed on: refused like a wrong type.
            if (!jJob.isObject() || !jJob.isMember("activated") ||
                !jJob["activated"].isIntegral() || !FitsInt32(jJob["activated"]) ||
                !jJob.isMember("triggerTime") || !jJob["triggerTime"].isString() ||
                !jJob.isMember("scanType") || !jJob["scanType"].isString() ||
                !jJob.isMember("scanTarget") || !jJob["scanTarget"].isString()) {
                TAVO_LOG(TAVO_LOG_ERR, "wrong data type for setting schedule");
                errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
                goto END;
            }
            if (AVScheduleInsert(pDBHandle, jJob["activated"].asInt(),
                                 jJob["triggerTime"].asCString(), jJob["scanType"].asCString(),
                                 jJob["scanTarget"].asCString()) != 0) {
                TAVO_LOG(TAVO_LOG_ERR, "failed to insert schedule, target: %s",
                         jJob["scanTarget"].asCString());
                errCode = WEBAPI_ERR_INTERNAL_ERROR;
                goto END;
            }
        }
    }

    if (AVScheduleDump2Crontab(pDBHandle) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to dump schedule to crontab");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
    }

END:
    if (pDBHandle) {
        AVScheduleDBClose(pDBHandle);
        pDBHandle = nullptr;
    }
    Answer(_resp, errCode, jRetObj);
}

}  // namespace AntiVirus
}  // namespace TAVO
