#include "scan_handler.h"

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

const char* const SZ_SCANNER_PATH = "/var/packages/AntiVirus-Zentrel/target/bin/tavoavscan";

const char* const rgNoParamMethods[] = {
    "APIScanStartFull_v1", "APIScanStartSystem_v1", "APIScanPause_v1",
    "APIScanResume_v1",    "APIScanStop_v1",        "APIScanAckResult_v1",
};

const ParamRule rgStartCustomParams[] = {
    {"scanTarget", JsonType::Array, true},
};

const MethodParams rgMethodParams[] = {
    Method("APIScanStartCustom_v1", rgStartCustomParams),
};

}  // namespace

ScanHandler::ScanHandler(APIRequest* req, APIResponse* resp, const char* method)
    : _req(req), _resp(resp), _method(method) {}

ScanHandler::~ScanHandler() {}

void ScanHandler::CheckParam(Json::Value& jParams, int& errCode) const {
    TAVO_CHECK_PARAM(*_req, _method, rgNoParamMethods, rgMethodParams, jParams, errCode);
}

void ScanHandler::StartWithArgument(const char* szArgument) const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    int iFuncRet = 0;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    // No look at the engine first: a start while a scan runs launches another
    // scanner, and the service sorts that out.
    iFuncRet = QLIBCProcForkChildNoWait();
    if (iFuncRet == -1) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to fork process");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    if (iFuncRet != 1) {
        // The detached child only runs the scanner; it never answers. It ends
        // with status 1 whatever happened: nobody waits for it.
        if (QLIBCExec(SZ_SCANNER_PATH, szArgument, nullptr, nullptr, nullptr) < 0) {
            // "excute" as the log watchers have always matched it.
            TAVO_LOG(TAVO_LOG_ERR, "Cannot excute %s %s", SZ_SCANNER_PATH, szArgument);
        }
        exit(1);
    }
    AVButtonUIStatusEnterIntoScanning(4);

END:
    Answer(_resp, errCode, jRetObj);
}

void ScanHandler::StartFull() const { StartWithArgument("--all"); }

void ScanHandler::StartSystem() const { StartWithArgument("--system"); }

void ScanHandler::StartCustom() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    PQLIBSZLIST pScanList = nullptr;
    char szFileListFileName[4096] = {0};
    int iFuncRet = 0;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    pScanList = QLIBCSzListAlloc(1024);
    if (!pScanList) {
        TAVO_LOG(TAVO_LOG_ERR, "Failed to alloc memory");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

    {
        // Paths go to the scanner as sent: not checked, not normalised, duplicates kept.
        const Json::Value& jTargets = jParams["scanTarget"];
        for (Json::Value::const_iterator it = jTargets.begin(); it != jTargets.end(); ++it) {
            if (!it->isString()) {
                TAVO_LOG(TAVO_LOG_ERR, "Wrong data type of the parameter [%s]", "scanTarget");
                errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
                goto END;
            }
            QLIBCSzListPush(&pScanList, it->asCString());
        }
    }

    // An empty target list is not refused: the scanner gets an empty file-list.
    if (AVTransSZListToFileList(szFileListFileName, sizeof(szFileListFileName), pScanList) < 0) {
        TAVO_LOG(TAVO_LOG_ERR, "Cannot generate filelist file for custom scan");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    // The paths now live only in the file-list, which stays for the scanner.
    QLIBCSzListFree(pScanList);
    pScanList = nullptr;

    iFuncRet = QLIBCProcForkChildNoWait();
    if (iFuncRet == -1) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to fork process");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    if (iFuncRet != 1) {
        if (QLIBCExec(SZ_SCANNER_PATH, "-f", szFileListFileName, nullptr, nullptr) < 0) {
            TAVO_LOG(TAVO_LOG_ERR, "Cannot excute %s %s %s", SZ_SCANNER_PATH, "-f",
                     szFileListFileName);
        }
        exit(1);
    }
    AVButtonUIStatusEnterIntoScanning(4);

END:
    if (pScanList) {
        QLIBCSzListFree(pScanList);
    }
    Answer(_resp, errCode, jRetObj);
}

void ScanHandler::ControlTask(
    bool blActsOnUpdate, int (*pfnAction)(), const char* szActionFailed,
    std::initializer_list<std::pair<int (*)(), const char*>> rgButtonUpdates) const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    TAVOAV_STAT engineStatus;
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
    if (engineStatus.isScanning || (blActsOnUpdate && engineStatus.isUpdating) ||
        engineStatus.isInitializing) {
        if (pfnAction() != 0) {
            TAVO_LOG(TAVO_LOG_ERR, "%s", szActionFailed);
            errCode = WEBAPI_ERR_INTERNAL_ERROR;
            goto END;
        }
    } else {
        // Nothing to act on, yet the buttons below still follow the user's click.
        TAVO_LOG(TAVO_LOG_DEBUG, "illegal operation on current status");
    }
    // Best effort: a button that cannot be set is logged, the answer stays success.
    for (const std::pair<int (*)(), const char*>& buttonUpdate : rgButtonUpdates) {
        if (buttonUpdate.first() != 0) {
            TAVO_LOG(TAVO_LOG_ERR, "%s", buttonUpdate.second);
        }
    }

END:
    Answer(_resp, errCode, jRetObj);
}

void ScanHandler::Pause() const {
    ControlTask(false, AVScanPause, "error while pause",
                {{AVButtonSetPausePressed, "set pause button pressed fail"}});
}

void ScanHandler::Resume() const {
    // "disable" in the second line is the wording the log has always had.
    ControlTask(false, AVScanResume, "error while resume",
                {{AVButtonResetPausePressed, "reset pause button pressed fail"},
                 {AVButtonSetStopEnable, "reset stop button disable fail"}});
}

void ScanHandler::Stop() const {
    // Stop, unlike pause and resume, also ends a running update.
    ControlTask(true, AVStop, "error while stop current task",
                {{AVButtonSetStopDisable, "set stop button pressed disable fail"},
                 {AVButtonSetPauseDisable, "set pause button disable fail"}});
}

void ScanHandler::AckResult() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    TAVOAV_STAT engineStatus;
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
    if (!engineStatus.isStayInNotify) {
        TAVO_LOG(TAVO_LOG_DEBUG, "illegal operation on current status");
        goto END;
    }
    // Its result is ignored: the button and UI state below are set regardless.
    AVClearStayInNotify();
    if (AVButtonSetAckDisable() != 0) {
        // Fails the answer, but the UI state is still set below.
        TAVO_LOG(TAVO_LOG_ERR, "set ack button pressed fail");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
    }
    // Infected files that could not be moved keep the UI in danger.
    AVButtonSetStatus(engineStatus.mvFailedCnt != 0 ? UI_STATE_DANGER : UI_STATE_SECURE);

END:
    Answer(_resp, errCode, jRetObj);
}

}  // namespace AntiVirus
}  // namespace TAVO
