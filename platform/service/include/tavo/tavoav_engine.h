/* The engine side of the antivirus service: what the scanner, the updater
 * and the service's own operations use. The plug-ins never call these. */
#pragma once

#include <stdint.h>
#include <sys/types.h>

#include "tavo/tavoav.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Appliance paths of the package (resolved under the root with TAVOResolvePath). */
#define TAVOAV_PKG_DIR          "/var/packages/AntiVirus-Zentrel/target"
#define TAVOAV_SCANNER_PATH     TAVOAV_PKG_DIR "/bin/tavoavscan"
#define TAVOAV_STATE_FILE       TAVOAV_PKG_DIR "/.engine_state"
#define TAVOAV_CONF_FILE        TAVOAV_PKG_DIR "/etc/tavoav.conf"
#define TAVOAV_WHITELIST_FILE   TAVOAV_PKG_DIR "/etc/whitelist"
#define TAVOAV_EXTLIST_FILE     TAVOAV_PKG_DIR "/etc/extensions"
#define TAVOAV_REPORT_DB        TAVOAV_PKG_DIR "/.report"
#define TAVOAV_SCHEDULE_DB      TAVOAV_PKG_DIR "/.schedule"
#define TAVOAV_FAILED_DB        TAVOAV_PKG_DIR "/.failed_moves"
#define TAVOAV_DEFS_DIR         TAVOAV_PKG_DIR "/defs"
#define TAVOAV_MIRROR_DIR       TAVOAV_PKG_DIR "/mirror"
#define TAVOAV_FILELIST_DIR     TAVOAV_PKG_DIR "/tmp"
#define TAVOAV_KV_FILE          TAVOAV_PKG_DIR "/.tavoavtmp"
/* A volume is /volume<N>; its quarantine lives in this folder on it. */
#define TAVOAV_QUARANTINE_DIR_NAME "@tavoav_quarantine"

/* Everything the service shares between processes about the engine and the
 * UI. Stored in TAVOAV_STATE_FILE; every change is a read-modify-write under
 * an exclusive lock, written to a new file that replaces the old one. */
typedef struct {
    TAVOAV_STAT stat;
    BUTTON_STATUS buttons;
    UI_BUTTON_STATE uiState;
    int32_t gadgetQuarantineCount;  /* last count handed to executeGadgeUpdate */
    int32_t scannerPid;             /* the running scanner, 0 when none */
    int32_t updaterPid;             /* the running update, 0 when none */
    BOOL pauseRequested;            /* the scanner holds while set */
    BOOL stopRequested;             /* the scanner / updater ends when set */
    int64_t scanStartTime;
    int64_t reserved[8];
} TAVOAV_ENGINE_STATE;

/* Reads the whole state (a fresh default when the file does not exist yet).
 * Processes recorded as running that are gone are cleared from the copy
 * returned. 0 on success. */
int AVEngStateRead(TAVOAV_ENGINE_STATE* pState);
/* Runs modify on the current state under the lock and stores the result,
 * unless modify returns non-zero (then nothing is written and that value is
 * returned). 0 on success, -1 when the state could not be read or written. */
int AVEngStateModify(int (*modify)(TAVOAV_ENGINE_STATE* pState, void* ctx), void* ctx);

/* Report: appends one event (local time as "YYYY-MM-DD HH:MM:SS").
 * Categories: "info", "warning", "error". Modules: "scan", "update",
 * "quarantine", "config". 0 on success. */
int AVReportWrite(const char* szClass, const char* szModule, const char* szText);

/* Quarantine (engine side): moves szPath (an appliance path on a volume) into
 * that volume's quarantine. On failure the item joins the failed list and
 * mvFailedCnt grows. AVQ_ERR_OK on success. */
QUARANTINE_ERROR AVQuarantinePutFile(const char* szPath, const char* szThreat);

#ifdef __cplusplus
}
#endif
