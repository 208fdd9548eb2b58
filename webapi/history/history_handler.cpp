#include "history_handler.h"

#include <cstdint>
#include <cstring>
#include <ctime>

#include "tavo/handler.h"
#include "tavo/log.h"
#include "tavo/param_check.h"
#include "tavo/tavoav.h"
#include "tavo/tavoav_engine.h"
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
    "APIHistoryUpdateSourceGet_v1",
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

const ParamRule rgUpdateSourceSetParams[] = {
    {"source", JsonType::String, false},
    {"mirrorDir", JsonType::String, false},
    {"urls", JsonType::Array, false},
    {"databaseMirror", JsonType::String, false},
    {"privateMirror", JsonType::String, false},
    {"officialDatabases", JsonType::Bool, false},
    {"proxy", JsonType::String, false},
    {"intervalHours", JsonType::Integral, false},
    {"timeoutSeconds", JsonType::Integral, false},
};

const MethodParams rgMethodParams[] = {
    Method("APIHistoryList_v1", rgPageParams),
    Method("APIHistoryGet_v1", rgGetParams),
    Method("APIHistoryFailedMoves_v1", rgPageParams),
    Method("APIHistoryEngineSet_v1", rgEngineSetParams),
    Method("APIHistoryUpdateSourceSet_v1", rgUpdateSourceSetParams),
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

// A time as local "YYYY-MM-DD HH:MM:SS", "" for none (0).
std::string DateText(time_t when) {
    char szDate[32] = "";
    struct tm local {};
    if (when == 0 || !localtime_r(&when, &local) ||
        strftime(szDate, sizeof szDate, "%Y-%m-%d %H:%M:%S", &local) == 0)
        return "";
    return szDate;
}

// Copies a text parameter into its field. False when it does not fit whole
// or holds a NUL byte: a value is refused rather than cut.
bool CopyText(const Json::Value& jValue, char* szField, size_t cbField) {
    const std::string text = jValue.asString();
    if (text.size() >= cbField || text.find('\0') != std::string::npos) return false;
    memcpy(szField, text.c_str(), text.size() + 1);
    return true;
}

// The URLs as the service keeps them: separated by blanks. False when one is
// not a string (blWrongType set), or is empty or holds a blank or a NUL
// byte, which would split or cut it.
bool JoinUrls(const Json::Value& jUrls, std::string& urls, bool& blWrongType) {
    blWrongType = false;
    urls.clear();
    for (const Json::Value& jUrl : jUrls) {
        if (!jUrl.isString()) {
            blWrongType = true;
            return false;
        }
        const std::string url = jUrl.asString();
        if (url.empty() || url.find_first_of(std::string(" \0", 2)) != std::string::npos)
            return false;
        if (!urls.empty()) urls += ' ';
        urls += url;
    }
    return true;
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
        TAVO_LOG(TAVO_LOG_ERR, "no such run: %lld",
                 static_cast<long long>(jParams["id"].asInt64()));
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
    TAVOAV_UPDATE_FACTS facts;
    Json::Value jLastUpdate(Json::objectValue);
    Json::Value jLastFailed(Json::objectValue);
    Json::Value jLastSuccess(Json::objectValue);
    int iInfoResult = 0;
    int iWorkers = 0;
    memset(&engineInfo, 0, sizeof(engineInfo));
    memset(&config, 0, sizeof(config));
    memset(&facts, 0, sizeof(facts));

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
    if (AVUpdateFactsGet(&facts) != OKAY) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to get the update facts");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    facts.szLastResult[sizeof(facts.szLastResult) - 1] = '\0';
    facts.szLastFailureReason[sizeof(facts.szLastFailureReason) - 1] = '\0';
    engineInfo.szEngineVersion[sizeof(engineInfo.szEngineVersion) - 1] = '\0';
    engineInfo.szDefVersion[sizeof(engineInfo.szDefVersion) - 1] = '\0';
    jRetObj["engineVersion"] = engineInfo.szEngineVersion;
    jRetObj["definitionsVersion"] = iInfoResult == OKAY ? engineInfo.szDefVersion : "";
    jRetObj["signatureCount"] =
        static_cast<Json::Int64>(iInfoResult == OKAY ? engineInfo.defSignatureCount : 0);
    jRetObj["definitionsDate"] = iInfoResult == OKAY ? DateText(engineInfo.lastUpdateDate) : "";
    jRetObj["scanArchives"] = config.blScanArchives != FALSE;
    jRetObj["maxFileSizeMB"] = config.iMaxFileSizeMB;
    jRetObj["scanWorkers"] = iWorkers;
    // The last update whatever it did ("" before the first), the last one that
    // installed a new set, and the last one that failed with its reason.
    jLastUpdate["time"] = DateText(static_cast<time_t>(facts.lastCheckTime));
    jLastUpdate["result"] = facts.szLastResult;
    jLastUpdate["reason"] =
        strcmp(facts.szLastResult, "failed") == 0 ? facts.szLastFailureReason : "";
    jRetObj["lastUpdate"] = jLastUpdate;
    jLastSuccess["time"] = DateText(static_cast<time_t>(facts.lastSuccessTime));
    jRetObj["lastSuccessfulUpdate"] = jLastSuccess;
    jLastFailed["time"] = DateText(static_cast<time_t>(facts.lastFailureTime));
    jLastFailed["reason"] = facts.lastFailureTime != 0 ? facts.szLastFailureReason : "";
    jRetObj["lastFailedUpdate"] = jLastFailed;

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
    if (blMaxSize &&
        (!FitsInt32(jParams["maxFileSizeMB"]) || jParams["maxFileSizeMB"].asInt() < 1 ||
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

void HistoryHandler::UpdateSourceGet() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    Json::Value jUrls(Json::arrayValue);
    TAVOAV_UPDATE_SOURCE source;
    memset(&source, 0, sizeof(source));

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }
    // The service refuses a stored source that breaks its rules (a proxy with
    // credentials included), so what is answered holds no password.
    if (AVUpdateSourceGet(&source) != OKAY) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to get the update source");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    source.szSource[sizeof(source.szSource) - 1] = '\0';
    source.szMirrorDir[sizeof(source.szMirrorDir) - 1] = '\0';
    source.szUrls[sizeof(source.szUrls) - 1] = '\0';
    source.szDatabaseMirror[sizeof(source.szDatabaseMirror) - 1] = '\0';
    source.szPrivateMirror[sizeof(source.szPrivateMirror) - 1] = '\0';
    source.szProxy[sizeof(source.szProxy) - 1] = '\0';
    for (const char* p = source.szUrls; *p;) {
        const char* pEnd = strchr(p, ' ');
        if (!pEnd) pEnd = p + strlen(p);
        if (pEnd > p) jUrls.append(std::string(p, pEnd));
        p = *pEnd ? pEnd + 1 : pEnd;
    }
    jRetObj["source"] = source.szSource;
    jRetObj["mirrorDir"] = source.szMirrorDir;
    jRetObj["urls"] = jUrls;
    jRetObj["databaseMirror"] = source.szDatabaseMirror;
    jRetObj["privateMirror"] = source.szPrivateMirror;
    jRetObj["officialDatabases"] = source.blOfficialDatabases != 0;
    jRetObj["proxy"] = source.szProxy;
    jRetObj["intervalHours"] = source.intervalHours;
    jRetObj["timeoutSeconds"] = source.timeoutSeconds;

END:
    Answer(_resp, errCode, jRetObj);
}

void HistoryHandler::UpdateSourceSet() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    TAVOAV_UPDATE_SOURCE source;
    std::string urls;
    bool blWrongType = false;
    bool blAny = false;
    int iResult = 0;
    memset(&source, 0, sizeof(source));

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }
    for (const ParamRule& rule : rgUpdateSourceSetParams)
        blAny = blAny || jParams.isMember(rule.szName);
    if (!blAny) {
        TAVO_LOG(TAVO_LOG_ERR, "The required parameter [%s] is not found or its type is incorrect.",
                 "source, mirrorDir, urls, databaseMirror, privateMirror, officialDatabases, "
                 "proxy, intervalHours "
                 "or timeoutSeconds");
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        errCode = WEBAPI_ERR_NO_REQUIRED_PARAM;
        goto END;
    }
    if (jParams.isMember("urls") && !JoinUrls(jParams["urls"], urls, blWrongType) && blWrongType) {
        TAVO_LOG(TAVO_LOG_ERR, "The required parameter [%s] is not found or its type is incorrect.",
                 "urls");
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        errCode = WEBAPI_ERR_NO_REQUIRED_PARAM;
        goto END;
    }

    // The values given over the stored ones (the factory values where the
    // stored ones cannot be read: the values given may be what mends them).
    AVUpdateSourceGet(&source);
    if ((jParams.isMember("source") &&
         !CopyText(jParams["source"], source.szSource, sizeof(source.szSource))) ||
        (jParams.isMember("mirrorDir") &&
         !CopyText(jParams["mirrorDir"], source.szMirrorDir, sizeof(source.szMirrorDir))) ||
        (jParams.isMember("urls") && !JoinUrls(jParams["urls"], urls, blWrongType)) ||
        (jParams.isMember("urls") && !CopyText(urls, source.szUrls, sizeof(source.szUrls))) ||
        (jParams.isMember("databaseMirror") &&
         !CopyText(jParams["databaseMirror"], source.szDatabaseMirror,
                   sizeof(source.szDatabaseMirror))) ||
        (jParams.isMember("privateMirror") &&
         !CopyText(jParams["privateMirror"], source.szPrivateMirror,
                   sizeof(source.szPrivateMirror))) ||
        (jParams.isMember("proxy") &&
         !CopyText(jParams["proxy"], source.szProxy, sizeof(source.szProxy))) ||
        (jParams.isMember("intervalHours") && !FitsInt32(jParams["intervalHours"])) ||
        (jParams.isMember("timeoutSeconds") && !FitsInt32(jParams["timeoutSeconds"]))) {
        TAVO_LOG(TAVO_LOG_ERR, "invalid update source");
        errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
        goto END;
    }
    if (jParams.isMember("officialDatabases"))
        source.blOfficialDatabases = jParams["officialDatabases"].asBool() ? 1 : 0;
    if (jParams.isMember("intervalHours")) source.intervalHours = jParams["intervalHours"].asInt();
    if (jParams.isMember("timeoutSeconds"))
        source.timeoutSeconds = jParams["timeoutSeconds"].asInt();

    // The service checks every value before it stores any.
    iResult = AVUpdateSourceSet(&source);
    if (iResult == ERR_TAVOAV_PARAMETER_ERROR) {
        TAVO_LOG(TAVO_LOG_ERR, "invalid update source");
        errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
        goto END;
    }
    if (iResult != OKAY) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to set the update source");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

END:
    Answer(_resp, errCode, jRetObj);
}

}  // namespace AntiVirus
}  // namespace TAVO
