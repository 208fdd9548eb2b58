#include "quarantine_handler.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "tavo/handler.h"
#include "tavo/log.h"
#include "tavo/param_check.h"
#include "tavo/tavoav.h"
#include "tavo/tavocore.h"

namespace TAVO {
namespace AntiVirus {

namespace {

const char* const rgNoParamMethods[] = {
    "APIQuarantineRetry_v1",
    "APIQuarantineTaskDeleteAll_v1",
};

const ParamRule rgLoadParams[] = {
    {"start", JsonType::Integral, true},
    {"limit", JsonType::Integral, true},
};
const ParamRule rgDeleteListParams[] = {
    {"volumes", JsonType::Array, true},
    {"deleteNames", JsonType::Array, true},
};
const ParamRule rgRestoreListParams[] = {
    {"volumes", JsonType::Array, true},
    {"restoreNames", JsonType::Array, true},
};
const ParamRule rgTaskIdParams[] = {
    {"task_id", JsonType::String, true},
};

const MethodParams rgMethodParams[] = {
    Method("APIQuarantineLoad_v1", rgLoadParams),
    Method("APIQuarantineDeleteList_v1", rgDeleteListParams),
    Method("APIQuarantineRestoreList_v1", rgRestoreListParams),
    Method("APIQuarantineTaskStatus_v1", rgTaskIdParams),
    Method("APIQuarantineTaskStop_v1", rgTaskIdParams),
};

const char* const SZ_TASK_GROUP = "admin";
const char* const SZ_TASK_PREFIX = "TAVO_AntiVirus_Quarantine_Task";
const size_t I_PATH_BUFFER_SIZE = 1024;

// Full path of an item: volume mount path and the path relative to it, cut to
// the buffer when longer (on purpose: the answers carry the cut path).
// GCC warns of the possible cut; clang has no such warning.
#pragma GCC diagnostic push
#if !defined(__clang__)
#pragma GCC diagnostic ignored "-Wformat-truncation"
#endif
void FormFullPath(char (&szFullPath)[I_PATH_BUFFER_SIZE], const char* szVolumePath,
                  const char* szOriginalPath) {
    snprintf(szFullPath, sizeof szFullPath, "%s%s", szVolumePath, szOriginalPath);
}
#pragma GCC diagnostic pop

// Failure record of one item the service refused, as every answer of this
// plug-in sends it.
Json::Value FailRecord(const char* szFullPath, const char* szVolumePath,
                       const QUARANTINE_FILE& item, int reason, const char* szSharePath) {
    Json::Value jRecord(Json::objectValue);
    jRecord["originalPath"] = szFullPath;
    jRecord["volumePath"] = szVolumePath;
    jRecord["renamedName"] = item.szRenamedName;
    jRecord["threat"] = item.szThreat;
    jRecord["time"] = item.szTime;
    jRecord["reason"] = reason;
    jRecord["sharePath"] = szSharePath;
    return jRecord;
}

// Turns the failure list of a delete-all or restore-all into "failArray" and
// "failCount"; a node whose share path cannot be found gets no record.
void FillFailArray(const FAILED_QITEM_LIST* failListHead, Json::Value& jRetObj) {
    char szSharePath[I_PATH_BUFFER_SIZE];
    char szFullPath[I_PATH_BUFFER_SIZE];
    memset(szSharePath, 0, sizeof szSharePath);
    memset(szFullPath, 0, sizeof szFullPath);
    Json::Value recordArray(Json::arrayValue);
    int iFailCounter = 0;

    for (const FAILED_QITEM_LIST* currFailList = failListHead; currFailList;
         currFailList = currFailList->next) {
        memset(szSharePath, 0, sizeof szSharePath);
        if (AVQuarantineGetExtShareNameByMountPath(currFailList->szVolumePath, szSharePath,
                                                   sizeof szSharePath) != 0) {
            TAVO_LOG(TAVO_LOG_ERR, "error while get sharefolder path");
            continue;
        }
        FormFullPath(szFullPath, currFailList->szVolumePath, currFailList->itemInfo.szOriginalPath);
        recordArray.append(FailRecord(szFullPath, currFailList->szVolumePath,
                                      currFailList->itemInfo, currFailList->errorType,
                                      szSharePath));
        ++iFailCounter;
    }
    jRetObj["failArray"] = recordArray;
    jRetObj["failCount"] = iFailCounter;
}

}  // namespace

QuarantineHandler::QuarantineHandler(APIRequest* req, APIResponse* resp, const char* method)
    : _req(req), _resp(resp), _method(method) {}

QuarantineHandler::~QuarantineHandler() {}

void QuarantineHandler::CheckParam(Json::Value& jParams, int& errCode) const {
    TAVO_CHECK_PARAM(*_req, _method, rgNoParamMethods, rgMethodParams, jParams, errCode);
}

void QuarantineHandler::Load() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    PQLIBSZLIST pslQuarantineBaseList = nullptr;
    QUARANTINE_PATH quarantine;
    QUARANTINE_FILE* rgQuarantineFile = nullptr;
    int itemCount = 0;
    char szFullPath[I_PATH_BUFFER_SIZE];
    char szSharePath[I_PATH_BUFFER_SIZE];
    memset(szFullPath, 0, sizeof szFullPath);
    memset(szSharePath, 0, sizeof szSharePath);
    Json::Value recordArray(Json::arrayValue);
    // Positions and counts in 64 bits: start + limit and p + 1 never overflow.
    int64_t start = 0;
    int64_t limit = 0;
    int64_t totalCounter = 0;
    int64_t offsetCounter = 0;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    // Integral values beyond 32 bits would make asInt throw.
    if (!FitsInt32(jParams["start"])) {
        TAVO_LOG(TAVO_LOG_ERR, "wrong value of the parameter [%s]", "start");
        errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
        goto END;
    }
    if (!FitsInt32(jParams["limit"])) {
        TAVO_LOG(TAVO_LOG_ERR, "wrong value of the parameter [%s]", "limit");
        errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
        goto END;
    }
    start = jParams["start"].asInt();
    limit = jParams["limit"].asInt();

    pslQuarantineBaseList = QLIBCSzListAlloc(1024);
    if (!pslQuarantineBaseList) {
        TAVO_LOG(TAVO_LOG_ERR, "Failed to alloc memory for QLIBCSzListAlloc");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    if (AVQuarantineAllBaseEnum(&pslQuarantineBaseList) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "AVQuarantineAllBaseEnum failed");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

    for (int i = 0; i < pslQuarantineBaseList->nItem; ++i) {
        const char* szVolume = QLIBCSzListGet(pslQuarantineBaseList, i);
        itemCount = 0;
        if (!szVolume || AVQuarantineGet(szVolume, &quarantine) != 0) {
            // No blank after the colon here, unlike the Settings line: both texts stay as they are.
            TAVO_LOG(TAVO_LOG_ERR, "get quarantine path failed:%s", szVolume ? szVolume : "");
            goto NEXT_VOLUME;
        }
        if (AVQuarantineDBReadFrom(&quarantine, &rgQuarantineFile, &itemCount) != 0) {
            TAVO_LOG(TAVO_LOG_ERR, "failed to read quarantine");
            goto NEXT_VOLUME;
        }
        totalCounter += itemCount;
        if (itemCount <= 0) goto NEXT_VOLUME;

        for (int j = 0; j < itemCount; ++j) {
            const int64_t p = offsetCounter++;
            if (p < start) continue;
            if (p + 1 > start + limit) break;  // page complete

            memset(szSharePath, 0, sizeof szSharePath);
            if (AVQuarantineGetExtShareNameByMountPath(quarantine.szVolumePath, szSharePath,
                                                       sizeof szSharePath) != 0) {
                // Ends this volume's part of the page: its later items get no
                // record and take no positions, yet stay in the count.
                TAVO_LOG(TAVO_LOG_ERR, "error while get sharefolder path");
                break;
            }
            const QUARANTINE_FILE& item = rgQuarantineFile[j];
            FormFullPath(szFullPath, quarantine.szVolumePath, item.szOriginalPath);
            Json::Value jItem(Json::objectValue);
            jItem["originalPath"] = szFullPath;
            jItem["volumePath"] = quarantine.szVolumePath;
            jItem["renamedName"] = item.szRenamedName;
            jItem["threat"] = item.szThreat;
            jItem["quarantineTime"] = item.szTime;
            jItem["sharePath"] = szSharePath;
            recordArray.append(jItem);
        }
    NEXT_VOLUME:
        if (rgQuarantineFile) {
            free(rgQuarantineFile);
            rgQuarantineFile = nullptr;
        }
    }

    jRetObj["quarantineArray"] = recordArray;
    jRetObj["quarantineCount"] = static_cast<Json::Int64>(totalCounter);

END:
    if (pslQuarantineBaseList) QLIBCSzListFree(pslQuarantineBaseList);
    Answer(_resp, errCode, jRetObj);
}

void QuarantineHandler::WorkThroughPairs(bool blRestore) const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    Json::Value recordArray(Json::arrayValue);
    QUARANTINE_PATH quarantine;
    QUARANTINE_CONN* quarantineConn = nullptr;
    QUARANTINE_FILE quarantineFile;
    QUARANTINE_ERROR errType = AVQ_ERR_OK;
    char szFullPath[I_PATH_BUFFER_SIZE];
    char szSharePath[I_PATH_BUFFER_SIZE];
    memset(szFullPath, 0, sizeof szFullPath);
    memset(szSharePath, 0, sizeof szSharePath);
    const char* szNamesKey = blRestore ? "restoreNames" : "deleteNames";
    uint32_t listSize = 0;
    int iFailCounter = 0;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    {
        const Json::Value& jVolumes = jParams["volumes"];
        const Json::Value& jNames = jParams[szNamesKey];
        listSize = jNames.size();
        // Not refused: the shorter length is used.
        if (jVolumes.size() != listSize) {
            TAVO_LOG(TAVO_LOG_ERR, "the size of the webapi parameters are mismatched: %d, %d",
                     static_cast<int>(jNames.size()), static_cast<int>(jVolumes.size()));
            if (jVolumes.size() < listSize) listSize = jVolumes.size();
        }

        for (uint32_t i = 0; i < listSize; ++i) {
            const Json::Value& jVolume = jVolumes[i];
            const Json::Value& jName = jNames[i];
            if (!jVolume.isString() || !jName.isString()) {
                // "deleting" also for a restore: one text for both. Pairs
                // before this one stay done.
                TAVO_LOG(TAVO_LOG_ERR, "wrong data type for deleting files in the quarantine");
                errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
                goto END;
            }
            const char* szVolume = jVolume.asCString();
            const char* szName = jName.asCString();

            // A pair that cannot be looked up is skipped without a failure record.
            if (AVQuarantineGet(szVolume, &quarantine) != 0) {
                TAVO_LOG(TAVO_LOG_ERR, "get quarantine path failed:%s", szVolume);
                continue;
            }
            if (AVQuarantineConnect(&quarantine, &quarantineConn) != 0) {
                TAVO_LOG(TAVO_LOG_ERR, "failed to connect quarantine database: %s",
                         quarantine.szDBPath);
                goto NEXT_ITEM;
            }
            if (AVQuarantineDBEntryGet(quarantineConn, szName, strlen(szName), &quarantineFile) !=
                0) {
                TAVO_LOG(TAVO_LOG_ERR, "failed to get DB entry for renamedName='%s' from DB:%s",
                         szName, quarantineConn->path.szDBPath);
                goto NEXT_ITEM;
            }
            memset(szSharePath, 0, sizeof szSharePath);
            if (AVQuarantineGetExtShareNameByMountPath(quarantine.szVolumePath, szSharePath,
                                                       sizeof szSharePath) != 0) {
                TAVO_LOG(TAVO_LOG_ERR, "error while get sharefolder path");
                goto NEXT_ITEM;
            }
            if (blRestore) {
                errType = AVQuarantineRestoreFile(quarantineConn, szName, strlen(szName));
            } else {
                errType = AVQuarantineDeleteFile(quarantineConn, szName, strlen(szName));
            }
            if (errType == AVQ_ERR_OK) goto NEXT_ITEM;

            // Reported item by item in the answer, so only a debug line here.
            if (blRestore) {
                TAVO_LOG(TAVO_LOG_DEBUG, "error restore file[%s] from quarantine[%s] type:%d",
                         szName, szVolume, static_cast<int>(errType));
            } else {
                TAVO_LOG(TAVO_LOG_DEBUG, "error delete file[%s] from quarantine[%s] type:%d",
                         szName, szVolume, static_cast<int>(errType));
            }
            FormFullPath(szFullPath, quarantine.szVolumePath, quarantineFile.szOriginalPath);
            recordArray.append(FailRecord(szFullPath, quarantine.szVolumePath, quarantineFile,
                                          static_cast<int>(errType), szSharePath));
            ++iFailCounter;

        NEXT_ITEM:
            if (quarantineConn) {
                AVQuarantineClose(&quarantineConn);
                quarantineConn = nullptr;
            }
        }
    }

    jRetObj["failArray"] = recordArray;
    jRetObj["failCount"] = iFailCounter;

END:
    if (quarantineConn) {
        AVQuarantineClose(&quarantineConn);
        quarantineConn = nullptr;
    }
    Answer(_resp, errCode, jRetObj);
}

void QuarantineHandler::DeleteList() const { WorkThroughPairs(false); }

void QuarantineHandler::RestoreList() const { WorkThroughPairs(true); }

void QuarantineHandler::Retry() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    TAVOAV_STAT engineStatus;
    int iFuncRet = 0;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    // The buttons stay disabled until the service has finished the attempt,
    // also when the engine status below cannot be read.
    if (AVButtonSetReProcDisable() != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to disable re-process button");
    }
    if (AVButtonSetClearDisable() != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to disable clear warning button");
    }
    memset(&engineStatus, 0, sizeof engineStatus);
    if (AVGetEngStat(&engineStatus) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "get engine status failed");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    if (engineStatus.mvFailedCnt == 0) {
        TAVO_LOG(TAVO_LOG_DEBUG, "unexpected state: no mvFailed item");
        goto END;
    }

    iFuncRet = QLIBCProcForkChildNoWait();
    if (iFuncRet == -1) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to fork process");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    if (iFuncRet != 1) {
        // The detached child never answers the request, and ends with status 1
        // also when the attempt succeeded: nobody waits for it.
        if (AVTryProcessAgain() < 0) {
            TAVO_LOG(TAVO_LOG_ERR, "failed to re-process");
        }
        exit(1);
    }

END:
    Answer(_resp, errCode, jRetObj);
}

// No CheckParam and no answer of their own: the host answers with the task id.
void QuarantineHandler::StartAllTask(APITaskFunc task) const {
    APIPolling poll(_req);
    poll.SetRequest(_req);
    poll.SetGroupAttr(SZ_TASK_GROUP);
    poll.SetRemoveAttr(false);
    poll.SetPrefixAttr(SZ_TASK_PREFIX);
    poll.Start(_resp, task, nullptr);
}

void QuarantineHandler::TaskDeleteAll() const { StartAllTask(doDeleteAll); }

// Also without a valid "addToWhiteList" a task starts; it then ends with 114.
void QuarantineHandler::TaskRestoreAll() const { StartAllTask(doRestoreAll); }

void QuarantineHandler::doDeleteAll(APIRequest* req, APIResponse* resp, void* data) {
    (void)data;
    RunAllTask(req, resp, false);
}

void QuarantineHandler::doRestoreAll(APIRequest* req, APIResponse* resp, void* data) {
    (void)data;
    RunAllTask(req, resp, true);
}

void QuarantineHandler::RunAllTask(APIRequest* req, APIResponse* resp, bool blRestore) {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    FAILED_QITEM_LIST* failListHead = nullptr;
    BOOL blAddWhitelist = FALSE;

    // A task answers up to twice (an early success, then its result), so its
    // refusals before the early success answer and return at once.
    if (!req || !resp) {
        TAVO_LOG(TAVO_LOG_ERR, "NULL API parameters");
        if (resp) resp->SetError(WEBAPI_ERR_INTERNAL_ERROR, jRetObj);
        return;
    }
    if (blRestore) {
        // The starter ran no CheckParam: the task reads its request itself.
        if (!req->HasParam("addToWhiteList") ||
            !req->GetParam("addToWhiteList", Json::Value()).isBool()) {
            TAVO_LOG(TAVO_LOG_ERR,
                     "The required parameter [%s] is not found or its type is incorrect.",
                     "addToWhiteList");
            resp->SetError(WEBAPI_ERR_NO_REQUIRED_PARAM, jRetObj);
            return;
        }
        jParams["addToWhiteList"] = req->GetParam("addToWhiteList", Json::Value());
    }
    // The front end sees the task running until the final answer replaces this.
    resp->SetSuccess(jRetObj);

    if (blRestore) {
        blAddWhitelist = jParams["addToWhiteList"].asBool() ? TRUE : FALSE;
        if (AVQuarantineRestoreAllFiles(blAddWhitelist, &failListHead) != 0) {
            TAVO_LOG(TAVO_LOG_ERR, "failed to restore all quarantine files");
            errCode = WEBAPI_ERR_INTERNAL_ERROR;
        }
    } else if (AVQuarantineDeleteAllFiles(&failListHead) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to delete all quarantine files");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
    }
    // A failed call answers 117 without "failArray", even when it left a list.
    if (errCode == WEBAPI_ERR_NONE) FillFailArray(failListHead, jRetObj);
    if (failListHead) AVQuarantineFailListFree(failListHead);
    Answer(resp, errCode, jRetObj);
}

void QuarantineHandler::ReachTask(bool blStop) const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    std::string strTaskId;
    APIPolling poll(_req);

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }
    strTaskId = jParams["task_id"].asString();
    if (strTaskId.empty()) {
        // "emtpy" as the log has always spelt it.
        TAVO_LOG(TAVO_LOG_ERR, "task_id is emtpy");
        errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
        goto END;
    }
    if (blStop) {
        // Always with kill set: the host ends the task at once.
        if (!poll.Stop(strTaskId, true)) {
            errCode = WEBAPI_ERR_INTERNAL_ERROR;
            TAVO_LOG(TAVO_LOG_ERR, "failed to stop task");
        }
    } else if (!poll.Status(strTaskId, jRetObj)) {
        // The failure answer carries whatever Status left in jRetObj.
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        TAVO_LOG(TAVO_LOG_ERR, "failed to get task status");
    }

END:
    Answer(_resp, errCode, jRetObj);
}

void QuarantineHandler::TaskStatus() const { ReachTask(false); }

void QuarantineHandler::TaskStop() const { ReachTask(true); }

}  // namespace AntiVirus
}  // namespace TAVO
