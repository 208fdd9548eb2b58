/* Antivirus service library (libtavoav): engine status and control, UI
 * button state, configuration, white and extension lists, per-volume
 * quarantine stores, schedule and report databases. C linkage.
 *
 * Result conventions as the plug-ins read them:
 *   Z  0 is success, anything else failure
 *   N  only a negative result is failure
 *   I  the result is ignored */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <time.h>

#include "tavocore.h"
#include "tavodb.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef enum { FALSE = 0, TRUE = 1 } BOOL;

typedef enum {
    OKAY = 0,
    ERR_TAVOAV_EXE_ERROR = -1,
    ERR_TAVOAV_ENG_RET = -2,
    ERR_TAVOAV_DB_ACCESS_ERROR = -3,
    ERR_TAVOAV_PARAMETER_ERROR = -4,
    ERR_TAVOAV_CONFIG_FILE_READ_ERROR = -5,
    ERR_TAVOAV_CONFIG_FILE_WRITE_ERROR = -6,
    ERR_TAVOAV_ENGINE_NOT_AVAILABLE = -7,
    ERR_TAVOAV_ENGINE_UPDATE_ERROR = -8,
} ERR_T;

/* Engine status. */
typedef struct {
    BOOL isUpdating;
    BOOL isInitializing;
    BOOL isScanning;
    BOOL isUpdFailed;
    BOOL isStayInNotify;
    BOOL isReprocessing;
    char szLastScannedFile[4096];
    int64_t scannedFileCnt;
    int64_t infectedFileCnt;
    int64_t processFailedCnt;
    int64_t errFileCnt;
    int64_t mvFailedCnt;
    int64_t downloadSizeTotal;
    int64_t downloadSizeNow;
    int64_t scanFileCountTotal;
} TAVOAV_STAT;

typedef struct {
    BOOL isStopDisabled;
    BOOL isPaused;
    BOOL isPauseDisabled;
    BOOL isClearDisabled;
    BOOL isReProcessDisabled;
    BOOL isAcknowledgeDisabled;
} BUTTON_STATUS;

typedef enum {
    UI_STATE_SECURE = 0,
    UI_STATE_INITIALIZING = 1,
    UI_STATE_UPDATING = 2,
    UI_STATE_SCANNING = 3,
    UI_STATE_DANGER = 4,
    UI_STATE_WAIT_NOTIFY = 5,
    UI_STATE_REPROCESSING = 6,
} UI_BUTTON_STATE;

/* Engine information. */
typedef struct {
    time_t lastUpdateDate; /* install time of the definitions; 0 when none */
    char szEngineVersion[64];
    char szDefVersion[64];     /* version text of the installed definitions */
    int64_t defSignatureCount; /* signatures in the installed definitions */
} TAVOAV_INFO;

typedef enum {
    DO_NOTHING_TO_INFECTED_FILES = 0,
    MV_INFECTED_FILES = 1,
    RM_INFECTED_FILES = 2,
} TAVOAV_DFOP;

typedef enum {
    TAVOAV_SCAN_ALL = 0,
    TAVOAV_SCAN_EXTENSIONS = 1,
} TAVOAV_FILTER_RULE;

/* Configuration. The path fields are appliance paths. */
typedef struct {
    BOOL blAutoUpdate;                     /* update definitions before a scan */
    TAVOAV_DFOP defaultOp;                 /* action on infected files */
    TAVOAV_FILTER_RULE filenameFilterRule; /* which files are scanned */
    char szTrackFile[4096];                /* the service's event track (report database) */
    char szDBDir[4096];                    /* folder of the installed definitions */
    char szWhiteListFile[4096];
    char szFileExtendList[4096];
    BOOL blScanArchives; /* look inside archives */
    int iMaxFileSizeMB;  /* larger files are reported, not judged */
} TAVOAV_CONF;

typedef enum {
    AVQ_ERR_OK = 0,
    AVQ_ERR_UNKNOWN = 1,
    AVQ_ERR_DIR_NOT_FOUND = 2,
    AVQ_ERR_SOURCE_MISSING = 3,
    AVQ_ERR_MOVE_FAIL = 4,
    AVQ_ERR_REMOVE_FAIL = 5,
    AVQ_ERR_DBOP_FAIL = 6,
    AVQ_ERR_DEST_EXIST = 7,
} QUARANTINE_ERROR;

typedef struct {
    char szDBPath[1024];     /* the volume's quarantine database */
    char szDirPath[1024];    /* the directory holding the stored files */
    char szVolumePath[1024]; /* the volume's mount path */
} QUARANTINE_PATH;

struct sqlite3;
typedef struct {
    QUARANTINE_PATH path;
    struct sqlite3* dbHandle;
} QUARANTINE_CONN;

typedef struct {
    char szOriginalPath[1024]; /* relative to the volume */
    char szRenamedName[1024];  /* the stored name; the key of an item */
    char szThreat[1024];
    char szTime[1024];
} QUARANTINE_FILE;

typedef struct _tag_FAILED_QITEM_LIST {
    QUARANTINE_FILE itemInfo;
    QUARANTINE_ERROR errorType;
    char szVolumePath[1024];
    struct _tag_FAILED_QITEM_LIST* next;
} FAILED_QITEM_LIST;

/* Engine and UI. */
int AVGetEngStat(TAVOAV_STAT* pStat); /* Z */
ERR_T AVGetEngInfo(TAVOAV_INFO* pInfo);
int AVButtonStatusGet(BUTTON_STATUS* pStatus);      /* Z */
int AVButtonSetPausePressed(void);                  /* Z */
int AVButtonResetPausePressed(void);                /* Z */
int AVButtonSetPauseDisable(void);                  /* Z */
int AVButtonSetStopEnable(void);                    /* Z */
int AVButtonSetStopDisable(void);                   /* Z */
int AVButtonSetAckDisable(void);                    /* Z */
int AVButtonSetClearDisable(void);                  /* Z */
int AVButtonSetReProcDisable(void);                 /* Z */
int AVButtonSetStatus(UI_BUTTON_STATE state);       /* I */
int AVButtonUIStatusEnterIntoScanning(int iReason); /* I */
int AVClearStayInNotify(void);                      /* I */

/* Scan. */
int AVScanPause(void);                                                               /* Z */
int AVScanResume(void);                                                              /* Z */
int AVStop(void);                                                                    /* Z */
int AVTransSZListToFileList(char* szFileListPath, size_t cbPath, PQLIBSZLIST pList); /* N */

/* Update. */
int AVUpdate_m(void);                         /* Z */
int executeGadgeUpdate(int iQuarantineCount); /* I */

/* Configuration. */
int AVGetConfig(TAVOAV_CONF* pConf);              /* Z */
int AVSetDefaultOp(TAVOAV_DFOP op);               /* Z */
int AVSetScanFilterRule(TAVOAV_FILTER_RULE rule); /* Z */
int AVSetAutoUpdate(BOOL blAutoUpdate);           /* N */
int AVResetConf(void);                            /* Z */

/* Lists. The Get operations fill a list made with QLIBCSzListAlloc and may
 * replace the handle. */
int AVExtensionListGet(PQLIBSZLIST* ppList);        /* Z */
int AVExtensionListAdd(const char* szExtension);    /* N: entries added */
int AVExtensionListRemove(const char* szExtension); /* Z */
int AVWhiteListGet(PQLIBSZLIST* ppList);            /* Z */
int AVWhiteListAdd(const char* szEntry);            /* Z */
int AVWhiteListRemove(const char* szEntry);         /* Z */

/* Quarantine. */
int AVQuarantineItemCountGet(int* piCount);                                      /* Z */
int AVQuarantineAllBaseEnum(PQLIBSZLIST* ppList);                                /* Z */
int AVQuarantineGet(const char* szVolume, QUARANTINE_PATH* pPath);               /* Z */
int AVQuarantineConnect(const QUARANTINE_PATH* pPath, QUARANTINE_CONN** ppConn); /* Z */
int AVQuarantineDBEntryGet(QUARANTINE_CONN* pConn, const char* szRenamedName, size_t cbName,
                           QUARANTINE_FILE* pFile); /* Z */
int AVQuarantineDBReadFrom(const QUARANTINE_PATH* pPath, QUARANTINE_FILE** ppFiles,
                           int* piCount); /* Z; free() the array */
QUARANTINE_ERROR AVQuarantineDeleteFile(QUARANTINE_CONN* pConn, const char* szRenamedName,
                                        size_t cbName);
QUARANTINE_ERROR AVQuarantineRestoreFile(QUARANTINE_CONN* pConn, const char* szRenamedName,
                                         size_t cbName);
int AVQuarantineDeleteAllFiles(FAILED_QITEM_LIST** ppFailList);                       /* Z */
int AVQuarantineRestoreAllFiles(BOOL blAddWhitelist, FAILED_QITEM_LIST** ppFailList); /* Z */
int AVQuarantineGetExtShareNameByMountPath(const char* szVolumePath, char* szShare,
                                           size_t cbShare); /* Z */
int AVQuarantineFailClear(void);                            /* Z */
int AVTryProcessAgain(void);                                /* N */
int AVQuarantineClose(QUARANTINE_CONN** ppConn);            /* I */
int AVQuarantineFailListFree(FAILED_QITEM_LIST* pList);     /* I */

/* Databases. */
int AVScheduleDBConnect(DBConnect** ppConn); /* Z */
int AVScheduleClear(DBConnect* pConn);       /* Z */
int AVScheduleInsert(DBConnect* pConn, int iActivated, const char* szTriggerTime,
                     const char* szScanType, const char* szScanTarget); /* Z */
int AVScheduleDump2Crontab(DBConnect* pConn);                           /* Z */
int AVScheduleDBClose(DBConnect* pConn);                                /* I */
int AVReportDBConnect(DBConnect** ppConn);                              /* Z */
int AVReportDBClose(DBConnect* pConn);                                  /* I */

#ifdef __cplusplus
}

static_assert(sizeof(BOOL) == 4, "BOOL is 32 bits");
static_assert(sizeof(TAVOAV_CONF) == 16404, "TAVOAV_CONF is 16404 bytes");
static_assert(sizeof(QUARANTINE_FILE) == 4096, "QUARANTINE_FILE is 4096 bytes");
static_assert(sizeof(QUARANTINE_PATH) == 3072, "QUARANTINE_PATH is 3072 bytes");
static_assert(offsetof(TAVOAV_STAT, szLastScannedFile) == 24, "six BOOL flags first");
static_assert(offsetof(TAVOAV_STAT, scannedFileCnt) == 4120, "counters after the path");
static_assert(sizeof(TAVOAV_STAT) == 4184, "TAVOAV_STAT layout");
static_assert(sizeof(BUTTON_STATUS) == 24, "six BOOL flags");
static_assert(offsetof(TAVOAV_CONF, szTrackFile) == 12, "three settings, then the paths");
static_assert(offsetof(FAILED_QITEM_LIST, next) == 4096 + 4 + 1024 + 4, "FAILED_QITEM_LIST layout");
#endif
