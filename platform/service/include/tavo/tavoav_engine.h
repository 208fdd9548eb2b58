/* The engine side of the antivirus service: what the scanner, the updater
 * and the service's own operations use. The plug-ins never call these. */
#pragma once

#include <stdint.h>
#include <sys/stat.h>
#include <sys/types.h>

#include "tavo/tavoav.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Appliance paths of the package (resolved under the root with TAVOResolvePath). */
#define TAVOAV_PKG_DIR "/var/packages/AntiVirus-Zentrel/target"
#define TAVOAV_SCANNER_PATH TAVOAV_PKG_DIR "/bin/tavoavscan"
#define TAVOAV_STATE_FILE TAVOAV_PKG_DIR "/.engine_state"
#define TAVOAV_CONF_FILE TAVOAV_PKG_DIR "/etc/tavoav.conf"
#define TAVOAV_WHITELIST_FILE TAVOAV_PKG_DIR "/etc/whitelist"
#define TAVOAV_EXTLIST_FILE TAVOAV_PKG_DIR "/etc/extensions"
#define TAVOAV_REPORT_DB TAVOAV_PKG_DIR "/.report"
#define TAVOAV_SCHEDULE_DB TAVOAV_PKG_DIR "/.schedule"
#define TAVOAV_FAILED_DB TAVOAV_PKG_DIR "/.failed_moves"
#define TAVOAV_DEFS_DIR TAVOAV_PKG_DIR "/defs"
#define TAVOAV_MIRROR_DIR TAVOAV_PKG_DIR "/mirror"
#define TAVOAV_FILELIST_DIR TAVOAV_PKG_DIR "/tmp"
#define TAVOAV_KV_FILE TAVOAV_PKG_DIR "/.tavoavtmp"
#define TAVOAV_UPDATE_CONF_FILE TAVOAV_PKG_DIR "/etc/update.conf"
#define TAVOAV_UPDATE_STATUS_FILE TAVOAV_PKG_DIR "/.update_status"
/* A volume is /volume<N>; its quarantine lives in this folder on it. */
#define TAVOAV_QUARANTINE_DIR_NAME "@tavoav_quarantine"

/* Everything the service shares between processes about the engine and the
 * UI. Stored in TAVOAV_STATE_FILE; every change is a read-modify-write under
 * an exclusive lock, written to a new file that replaces the old one. */
typedef struct {
    TAVOAV_STAT stat;
    BUTTON_STATUS buttons;
    UI_BUTTON_STATE uiState;
    int32_t gadgetQuarantineCount; /* last count handed to executeGadgeUpdate */
    int32_t scannerPid;            /* the running scanner, 0 when none */
    int32_t updaterPid;            /* the running update, 0 when none */
    BOOL pauseRequested;           /* the scanner holds while set */
    BOOL stopRequested;            /* the scanner / updater ends when set */
    int64_t scanStartTime;
    /* Start time of the recorded scanner / updater in clock ticks since boot
     * (field 22 of /proc/<pid>/stat), 0 when unknown: tells a live process
     * from a new one that reuses the id of a dead one. */
    int64_t scannerStartTicks;
    int64_t updaterStartTicks;
    int64_t scanEndTime;    /* when the last scan ended, 0 when none did */
    int32_t lastScanResult; /* AVENG_SCAN_* of the last scan that ended */
    int32_t reprocessPid;   /* the running re-processing of failed moves, 0 when none */
    int64_t reprocessStartTicks;
    int64_t reserved[3];
} TAVOAV_ENGINE_STATE;

/* How a scan ended (AVEngScanEnd, lastScanResult). */
#define AVENG_SCAN_COMPLETED 0
#define AVENG_SCAN_STOPPED 1
#define AVENG_SCAN_FAILED 2

/* Reads the whole state (a fresh default when the file does not exist yet).
 * Processes recorded as running that are gone are cleared from the copy
 * returned. 0 on success. */
int AVEngStateRead(TAVOAV_ENGINE_STATE* pState);
/* Runs modify on the current state under the lock and stores the result,
 * unless modify returns non-zero (then nothing is written and that value is
 * returned). A result equal to the stored state is not written again.
 * 0 on success, -1 when the state could not be read or written (a damaged or
 * foreign state file included: it is left as it is). */
int AVEngStateModify(int (*modify)(TAVOAV_ENGINE_STATE* pState, void* ctx), void* ctx);

/* Scanner side. A scanner records itself with AVEngScanBegin, reports with
 * AVEngScanProgress (which hands back the pause and stop requests; a paused
 * scanner polls AVEngStateRead at least once a second, and a stop request
 * ends a paused scan too) and ends with AVEngScanEnd. A scanner that dies
 * without AVEngScanEnd is noticed by the next read, which clears its flags.
 * Each call writes the state file with fsync, so a scanner reports progress
 * a few times a second at most. */

/* Records pid as the running scanner of a new scan with total files to visit
 * (0 when unknown): isScanning set, counters and last file reset (mvFailedCnt
 * kept), pause and stop requests cleared (a stop is kept while an update
 * runs), UI state scanning with stop and pause enabled, not paused,
 * acknowledge disabled, the result notice of the previous scan ended.
 * 0 on success; 1 when another live scanner is recorded (nothing changed:
 * the caller ends without disturbing it); -1 on failure. */
int AVEngScanBegin(pid_t pid, int64_t total);
/* Stores the counters and the last scanned file (NULL keeps it) of the scan
 * that pid runs, and returns the pending requests in *pblPause and *pblStop
 * (either may be NULL). 0 on success; -1 when pid is not the recorded scanner
 * or the state cannot be written. */
int AVEngScanProgress(pid_t pid, const char* szLastFile, int64_t scanned, int64_t infected,
                      int64_t processFailed, int64_t errFiles, BOOL* pblPause, BOOL* pblStop);
/* Ends the scan that pid runs with iResult (AVENG_SCAN_*): scanner and flags
 * cleared, the result notice raised (isStayInNotify, UI state wait-notify),
 * acknowledge enabled, stop and pause disabled and not paused, clear and
 * re-process enabled exactly when mvFailedCnt is non-zero. 0 on success; -1
 * when pid is not the recorded scanner or the state cannot be written. */
int AVEngScanEnd(pid_t pid, int iResult);

/* Updater side, the same pattern: AVEngUpdateBegin records pid as the running
 * update (isUpdating set, isUpdFailed and the download sizes reset, UI state
 * updating unless a scan or its notice holds the UI, stop enabled); 1 when
 * another live updater is recorded, -1 on failure. AVEngUpdateProgress stores
 * the download sizes and returns the stop request. AVEngUpdateEnd clears the
 * update, stores blFailed in isUpdFailed and puts an updating UI back to
 * secure or danger (per mvFailedCnt). 0 on success. */
int AVEngUpdateBegin(pid_t pid);
int AVEngUpdateProgress(pid_t pid, int64_t downloadSizeTotal, int64_t downloadSizeNow,
                        BOOL* pblStop);
int AVEngUpdateEnd(pid_t pid, BOOL blFailed);

/* Start time of a live process in clock ticks since boot (field 22 of
 * /proc/<pid>/stat), 0 when unknown. Recorded beside a pid, it tells the
 * process from a later one that reuses the id. */
int64_t AVEngProcessStartTicks(pid_t pid);
/* 1 when the process pid recorded with startTicks (0: not known) has ended:
 * no such process, a zombie, or the id now belongs to a later process;
 * 0 while it runs. */
int AVEngProcessGone(pid_t pid, int64_t startTicks);

/* File lists (AVTransSZListToFileList writes them into TAVOAV_FILELIST_DIR).
 * Format: the header line "TAVOFILELIST 1 <count>\n" (count in decimal), then
 * each path as its bytes followed by one NUL byte, nothing after the last.
 * Reads the file-list file szFileListPath (an appliance path) and appends its
 * paths, byte for byte and in order, to *ppList (a list is allocated when
 * *ppList is NULL). A file without the header, with a count that does not
 * match or with an unterminated last path is refused. 0 on success, -1 on
 * failure (a list allocated here is freed and *ppList set back to NULL; a
 * list passed in may hold some of the paths). The scanner removes the file
 * once it has read it; nothing else does. */
int AVFileListRead(const char* szFileListPath, PQLIBSZLIST* ppList);

/* Report: appends one event (local time as "YYYY-MM-DD HH:MM:SS").
 * Categories: "info", "warning", "error". Modules: "scan", "update",
 * "quarantine", "config", "schedule". 0 on success. */
int AVReportWrite(const char* szClass, const char* szModule, const char* szText);

/* Quarantine (engine side): moves szPath (an appliance path on a volume) into
 * that volume's quarantine. On failure the item joins the failed list and
 * mvFailedCnt grows. AVQ_ERR_OK on success. */
QUARANTINE_ERROR AVQuarantinePutFile(const char* szPath, const char* szThreat);

/* The same for a file the caller has judged through a handle: szName is the
 * entry of the open folder dirFd that the caller found at szPath, and pFile
 * its fstat. The file moves only while that entry still is the same file
 * (device and inode); the folder is never looked up by path again, so a
 * folder swapped for a link meanwhile changes nothing. The failed list
 * records the file's device and inode, and a retry moves only that file. */
QUARANTINE_ERROR AVQuarantinePutFileAt(int dirFd, const char* szName, const char* szPath,
                                       const struct stat* pFile, const char* szThreat);

/* Definition updates.
 *
 * Where an update takes the definitions from (TAVOAV_UPDATE_CONF_FILE,
 * "key=value" lines; AVUpdateSourceGet fills in the factory value of a
 * missing key):
 *   source         "folder": the files of the folder mirrorDir (default);
 *                  "http": the files named by urls, fetched with libcurl;
 *                  "freshclam": Debian's freshclam, official databases from
 *                  databaseMirror (or privateMirror) plus urls as custom
 *                  databases.
 *   mirrorDir      appliance path of the folder (default TAVOAV_MIRROR_DIR)
 *   urls           http(s) URLs separated by blanks; each names a database
 *                  file (last path part: letters, digits, '.', '_', '-', a
 *                  ClamAV database extension)
 *   databaseMirror / privateMirror  host[:port] for freshclam
 *   officialDatabases  1: freshclam fetches main, daily and bytecode (default)
 *   proxy          http://host:port or empty
 *   intervalHours  0 (no automatic update) or 1, 2, 3, 4, 6, 8, 12, 24
 *   timeoutSeconds a fetch that stalls this long fails (default 120) */
#define AVUPD_SOURCE_FOLDER "folder"
#define AVUPD_SOURCE_HTTP "http"
#define AVUPD_SOURCE_FRESHCLAM "freshclam"
typedef struct {
    char szSource[16];
    char szMirrorDir[1024];
    char szUrls[4096];
    char szDatabaseMirror[256];
    char szPrivateMirror[256];
    char szProxy[256];
    int32_t blOfficialDatabases;
    int32_t intervalHours;
    int32_t timeoutSeconds;
} TAVOAV_UPDATE_SOURCE;

/* 0 on success (factory values for what the file does not hold). */
int AVUpdateSourceGet(TAVOAV_UPDATE_SOURCE* pSource);
/* Checks every value (ERR_TAVOAV_PARAMETER_ERROR and nothing changed when one
 * is bad), stores them, and rewrites the package's crontab block so that it
 * holds the automatic-update line of the interval beside the scheduled scans.
 * 0 on success. */
int AVUpdateSourceSet(const TAVOAV_UPDATE_SOURCE* pSource);

/* What the last updates did (TAVOAV_UPDATE_STATUS_FILE). Times are seconds
 * since the epoch, 0 for never. szLastResult: "updated" (a new set was
 * installed), "current" (nothing new: the installed set was kept), "failed",
 * or "" before the first update. */
typedef struct {
    int64_t lastCheckTime;
    int64_t lastSuccessTime; /* the last update that installed a set */
    int64_t lastFailureTime;
    char szLastResult[16];
    char szLastFailureReason[512];
} TAVOAV_UPDATE_FACTS;
int AVUpdateFactsGet(TAVOAV_UPDATE_FACTS* pFacts);

/* A stamp of the installed definition set: changes whenever a file of it is
 * added, removed or replaced (names, sizes, modification times, inodes and
 * the install mark). Equal stamps mean the same set, e.g. for a cache of
 * files found clean. 0 on success; -1 when no set is installed. */
int AVDefsStamp(char* szStamp, size_t cbStamp);

/* Makes sure the installed set loads in the scan engine before a scan uses
 * it: a set not checked before (by the update that installed it or by an
 * earlier call) is loaded and compiled by the definitions check in its own
 * process. 0 when it loads or no set is installed; -1 with the file and the
 * engine's reason in szReason when it does not. */
int AVDefsCheckInstalled(char* szReason, size_t cbReason);

#ifdef __cplusplus
}
#endif
