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
        Answer(_resp, errCode, jRetObj);
        return;
    }

    iFuncRet = QLIBCProcForkChildNoWait();
    if (iFuncRet == -1) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to fork process");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
    } else if (iFuncRet != 1) {
        // The detached child only runs the scanner; it never answers.
        if (QLIBCExec(SZ_SCANNER_PATH, szArgument, nullptr, nullptr, nullptr) < 0) {
            TAVO_LOG(TAVO_LOG_ERR, "Cannot excute %s %s", SZ_SCANNER_PATH, szArgument);
        }
        exit(1);
    } else {
        AVButtonUIStatusEnterIntoScanning(4);
    }
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
        Answer(_resp, errCode, jRetObj);
        return;
    }

    pScanList = QLIBCSzListAlloc(1024);
    if (!pScanList) {
        TAVO_LOG(TAVO_LOG_ERR, "Failed to alloc memory");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

    {
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
            TAVO_LOG(TAVO_LOG_ERR, "Cannot excute %s %s %s", SZ_SCANNER_PATH, "-f", szFileListFileName);
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

void ScanHandler::Pause() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    TAVOAV_STAT engineStatus;
    memset(&engineStatus, 0, sizeof(engineStatus));

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        Answer(_resp, errCode, jRetObj);
        return;
    }

    if (AVGetEngStat(&engineStatus) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "get engine status failed");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    if (engineStatus.isScanning || engineStatus.isInitializing) {
        if (AVScanPause() != 0) {
            TAVO_LOG(TAVO_LOG_ERR, "error while pause");
            errCode = WEBAPI_ERR_INTERNAL_ERROR;
            goto END;
        }
    } else {
        TAVO_LOG(TAVO_LOG_DEBUG, "illegal operation on current status");
    }
    if (AVButtonSetPausePressed() != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "set pause button pressed fail");
    }

END:
    Answer(_resp, errCode, jRetObj);
}

void ScanHandler::Resume() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    TAVOAV_STAT engineStatus;
    memset(&engineStatus, 0, sizeof(engineStatus));

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        Answer(_resp, errCode, jRetObj);
        return;
    }

    if (AVGetEngStat(&engineStatus) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "get engine status failed");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    if (engineStatus.isScanning || engineStatus.isInitializing) {
        if (AVScanResume() != 0) {
            TAVO_LOG(TAVO_LOG_ERR, "error while resume");
            errCode = WEBAPI_ERR_INTERNAL_ERROR;
            goto END;
        }
    } else {
        TAVO_LOG(TAVO_LOG_DEBUG, "illegal operation on current status");
    }
    if (AVButtonResetPausePressed() != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "reset pause button pressed fail");
    }
    if (AVButtonSetStopEnable() != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "reset stop button disable fail");
    }

END:
    Answer(_resp, errCode, jRetObj);
}

void ScanHandler::Stop() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    TAVOAV_STAT engineStatus;
    memset(&engineStatus, 0, sizeof(engineStatus));

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        Answer(_resp, errCode, jRetObj);
        return;
    }

    if (AVGetEngStat(&engineStatus) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "get engine status failed");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    if (engineStatus.isScanning || engineStatus.isUpdating || engineStatus.isInitializing) {
        if (AVStop() != 0) {
            TAVO_LOG(TAVO_LOG_ERR, "error while stop current task");
            errCode = WEBAPI_ERR_INTERNAL_ERROR;
            goto END;
        }
    } else {
        TAVO_LOG(TAVO_LOG_DEBUG, "illegal operation on current status");
    }
    if (AVButtonSetStopDisable() != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "set stop button pressed disable fail");
    }
    if (AVButtonSetPauseDisable() != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "set pause button disable fail");
    }

END:
    Answer(_resp, errCode, jRetObj);
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
        Answer(_resp, errCode, jRetObj);
        return;
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
    AVClearStayInNotify();
    if (AVButtonSetAckDisable() != 0) {
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
