#include "history_handler.h"

#include <cstdint>
#include <cstring>
#include <ctime>

#include "tavo/handler.h"
#include "tavo/log.h"
#include "tavo/param_check.h"
#include "tavo/tavoav.h"
#include "tavo/tavoav_history.h"

namespace TAVO {
namespace AntiVirus {

namespace {

// A page holds at most this many runs or items.
const int I_MAX_PAGE = 1000;
const int I_MAX_FILE_SIZE_MB = 4096;
const int I_MAX_SCAN_WORKERS = 64;

const char* const rgNoParamMethods[] = {
    "APIHistoryEngineGet_v1",
};

const ParamRule rgPageParams[] = {
    {"start", JsonType::Integral, true},
    {"limit", JsonType::Integral, true},
};

const ParamRule rgGetParams[] = {
    {"id", JsonType::Integral, true},
};

const ParamRule rgEngineSetParams[] = {
    {"scanArchives", JsonType::Bool, false},
    {"maxFileSizeMB", JsonType::Integral, false},
    {"scanWorkers", JsonType::Integral, false},
};

const MethodParams rgMethodParams[] = {
    Method("APIHistoryList_v1", rgPageParams),
    Method("APIHistoryGet_v1", rgGetParams),
    Method("APIHistoryFailedMoves_v1", rgPageParams),
    Method("APIHistoryEngineSet_v1", rgEngineSetParams),
};

Json::Value RunObject(const AVHIST_RUN& run) {
    Json::Value jRun(Json::objectValue);
    jRun["id"] = static_cast<Json::Int64>(run.id);
    jRun["kind"] = run.szKind;
    Json::Value jTargets(Json::arrayValue);
    for (int i = 0; i < run.nTargets; ++i) jTargets.append(run.rgszTargets[i]);
    jRun["targets"] = jTargets;
    jRun["startedBy"] = run.szStartedBy;
    jRun["startTime"] = run.szStartTime;
    jRun["endTime"] = run.szEndTime;
    jRun["outcome"] = run.szOutcome;
    jRun["stoppedBy"] = run.szStoppedBy;
    jRun["reason"] = run.szReason;
    jRun["total"] = static_cast<Json::Int64>(run.counters.total);
    jRun["scanned"] = static_cast<Json::Int64>(run.counters.scanned);
    jRun["infected"] = static_cast<Json::Int64>(run.counters.infected);
    jRun["quarantined"] = static_cast<Json::Int64>(run.counters.quarantined);
    jRun["failedMoves"] = static_cast<Json::Int64>(run.counters.failedMoves);
    jRun["unreadable"] = static_cast<Json::Int64>(run.counters.unreadable);
    jRun["cached"] = static_cast<Json::Int64>(run.counters.cached);
    jRun["definitionsVersion"] = run.szDefinitionsVersion;
    return jRun;
}

// The install time of the definitions as local "YYYY-MM-DD HH:MM:SS", "" when none.
std::string DateText(time_t when) {
    char szDate[32] = "";
    struct tm local {};
    if (when == 0 || !localtime_r(&when, &local) || strftime(szDate, sizeof szDate, "%Y-%m-%d %H:%M:%S", &local) == 0)
        return "";
    return szDate;
}

}  // namespace

HistoryHandler::HistoryHandler(APIRequest* req, APIResponse* resp, const char* method)
    : _req(req), _resp(resp), _method(method) {}

HistoryHandler::~HistoryHandler() {}

void HistoryHandler::CheckParam(Json::Value& jParams, int& errCode) const {
    TAVO_CHECK_PARAM(*_req, _method, rgNoParamMethods, rgMethodParams, jParams, errCode);
}

int HistoryHandler::PageBounds(const Json::Value& jParams, int& start, int& limit) const {
    if (!FitsInt32(jParams["start"]) || !FitsInt32(jParams["limit"])) {
        TAVO_LOG(TAVO_LOG_ERR, "start or limit out of range");
        return WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
    }
    // As in the other plug-ins' pages: a negative start counts from 0, a
    // limit of 0 or less gives an empty page.
    start = jParams["start"].asInt();
    limit = jParams["limit"].asInt();
    if (limit > I_MAX_PAGE) {
        TAVO_LOG(TAVO_LOG_ERR, "limit over %d", I_MAX_PAGE);
        return WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
    }
    if (start < 0) start = 0;
    if (limit < 0) limit = 0;
    return WEBAPI_ERR_NONE;
}

void HistoryHandler::List() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    Json::Value jRuns(Json::arrayValue);
    AVHIST_RUN* rgRuns = nullptr;
    int nRuns = 0;
    int64_t total = 0;
    int start = 0;
    int limit = 0;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }
    errCode = PageBounds(jParams, start, limit);
    if (errCode != WEBAPI_ERR_NONE) goto END;

    if (AVHistoryList(start, limit, &rgRuns, &nRuns, &total) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to read the scan history");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    for (int i = 0; i < nRuns; ++i) jRuns.append(RunObject(rgRuns[i]));
    jRetObj["total"] = static_cast<Json::Int64>(total);
    jRetObj["runs"] = jRuns;

END:
    AVHistoryRunsFree(rgRuns, nRuns);
    Answer(_resp, errCode, jRetObj);
}

void HistoryHandler::Get() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    Json::Value jDetections(Json::arrayValue);
    AVHIST_RUN* pRun = nullptr;
    AVHIST_DETECTION* rgDetections = nullptr;
    int nDetections = 0;
    int iResult = 0;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }
    if (!jParams["id"].isInt64() || jParams["id"].asInt64() <= 0) {
        TAVO_LOG(TAVO_LOG_ERR, "invalid run id");
        errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
        goto END;
    }

    iResult = AVHistoryGet(jParams["id"].asInt64(), &pRun, &rgDetections, &nDetections);
    if (iResult == 1) {
        TAVO_LOG(TAVO_LOG_ERR, "no such run: %lld", static_cast<long long>(jParams["id"].asInt64()));
        errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
        goto END;
    }
    if (iResult != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to read the scan history");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    for (int i = 0; i < nDetections; ++i) {
        Json::Value jDetection(Json::objectValue);
        jDetection["path"] = rgDetections[i].szPath;
        jDetection["threat"] = rgDetections[i].szThreat;
        jDetection["action"] = rgDetections[i].szAction;
        jDetections.append(jDetection);
    }
    jRetObj["run"] = RunObject(*pRun);
    jRetObj["detections"] = jDetections;

END:
    if (pRun) AVHistoryRunsFree(pRun, 1);
    AVHistoryDetectionsFree(rgDetections, nDetections);
    Answer(_resp, errCode, jRetObj);
}

void HistoryHandler::FailedMoves() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    Json::Value jItems(Json::arrayValue);
    AVHIST_FAILED_MOVE* rgItems = nullptr;
    int nItems = 0;
    int64_t total = 0;
    int start = 0;
    int limit = 0;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }
    errCode = PageBounds(jParams, start, limit);
    if (errCode != WEBAPI_ERR_NONE) goto END;

    if (AVFailedMoveList(start, limit, &rgItems, &nItems, &total) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to read the list of failed moves");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    for (int i = 0; i < nItems; ++i) {
        Json::Value jItem(Json::objectValue);
        jItem["path"] = rgItems[i].szPath;
        jItem["threat"] = rgItems[i].szThreat;
        jItem["time"] = rgItems[i].szTime;
        jItem["reason"] = rgItems[i].szReason;
        jItems.append(jItem);
    }
    jRetObj["total"] = static_cast<Json::Int64>(total);
    jRetObj["items"] = jItems;

END:
    AVFailedMovesFree(rgItems, nItems);
    Answer(_resp, errCode, jRetObj);
}

void HistoryHandler::EngineGet() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    TAVOAV_INFO engineInfo;
    TAVOAV_CONF config;
    int iInfoResult = 0;
    int iWorkers = 0;
    memset(&engineInfo, 0, sizeof(engineInfo));
    memset(&config, 0, sizeof(config));

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    // No installed definitions is an answer too: the engine version, no definitions.
    iInfoResult = AVGetEngInfo(&engineInfo);
    if (iInfoResult != OKAY && iInfoResult != ERR_TAVOAV_DB_ACCESS_ERROR) {
        TAVO_LOG(TAVO_LOG_ERR, "get engine information failed");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    if (AVGetConfig(&config) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to get configuration");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    if (AVGetScanWorkers(&iWorkers) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to get the scan workers");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    engineInfo.szEngineVersion[sizeof(engineInfo.szEngineVersion) - 1] = '\0';
    engineInfo.szDefVersion[sizeof(engineInfo.szDefVersion) - 1] = '\0';
    jRetObj["engineVersion"] = engineInfo.szEngineVersion;
    jRetObj["definitionsVersion"] = iInfoResult == OKAY ? engineInfo.szDefVersion : "";
    jRetObj["signatureCount"] = static_cast<Json::Int64>(iInfoResult == OKAY ? engineInfo.defSignatureCount : 0);
    jRetObj["definitionsDate"] = iInfoResult == OKAY ? DateText(engineInfo.lastUpdateDate) : "";
    jRetObj["scanArchives"] = config.blScanArchives != FALSE;
    jRetObj["maxFileSizeMB"] = config.iMaxFileSizeMB;
    jRetObj["scanWorkers"] = iWorkers;

END:
    Answer(_resp, errCode, jRetObj);
}

void HistoryHandler::EngineSet() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    bool blArchives = false;
    bool blMaxSize = false;
    bool blWorkers = false;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }
    blArchives = jParams.isMember("scanArchives");
    blMaxSize = jParams.isMember("maxFileSizeMB");
    blWorkers = jParams.isMember("scanWorkers");
    if (!blArchives && !blMaxSize && !blWorkers) {
        TAVO_LOG(TAVO_LOG_ERR, "The required parameter [%s] is not found or its type is incorrect.",
                 "scanArchives, maxFileSizeMB or scanWorkers");
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        errCode = WEBAPI_ERR_NO_REQUIRED_PARAM;
        goto END;
    }
    // Every value is checked before anything is changed.
    if (blMaxSize && (!FitsInt32(jParams["maxFileSizeMB"]) || jParams["maxFileSizeMB"].asInt() < 1 ||
                      jParams["maxFileSizeMB"].asInt() > I_MAX_FILE_SIZE_MB)) {
        TAVO_LOG(TAVO_LOG_ERR, "maxFileSizeMB out of range");
        errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
        goto END;
    }
    if (blWorkers && (!FitsInt32(jParams["scanWorkers"]) || jParams["scanWorkers"].asInt() < 0 ||
                      jParams["scanWorkers"].asInt() > I_MAX_SCAN_WORKERS)) {
        TAVO_LOG(TAVO_LOG_ERR, "scanWorkers out of range");
        errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
        goto END;
    }

    if (blArchives && AVSetScanArchives(jParams["scanArchives"].asBool() ? TRUE : FALSE) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to set configuration");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    if (blMaxSize && AVSetMaxFileSizeMB(jParams["maxFileSizeMB"].asInt()) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to set configuration");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    if (blWorkers && AVSetScanWorkers(jParams["scanWorkers"].asInt()) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to set the scan workers");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

END:
    Answer(_resp, errCode, jRetObj);
}

}  // namespace AntiVirus
}  // namespace TAVO
