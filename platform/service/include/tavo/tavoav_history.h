/* The scan history, the failed-move list and the engine settings as the
 * History plug-in and the scanner see them.
 *
 * The history is the SQLite file TAVOAV_HISTORY_DB: one record per scan run
 * (full, system, custom, re-processing of failed moves) with its targets and
 * detections. Every change is one IMMEDIATE transaction, so a process killed
 * at any moment leaves the history as it was before or after the change. It
 * keeps the newest AVHIST_MAX_RUNS finished runs (older ones go with their
 * detections when a run begins) and at most AVHIST_MAX_DETECTIONS detections
 * a run (the counters keep the true numbers).
 *
 * A run still "running" whose process is gone (killed, crashed) is recorded
 * as "interrupted" by the next reader or the next run that begins. */
#pragma once

#include <stddef.h>
#include <stdint.h>
#include <sys/types.h>

#include "tavo/tavoav_engine.h"

#ifdef __cplusplus
extern "C" {
#endif

#define TAVOAV_HISTORY_DB TAVOAV_PKG_DIR "/.scan_history"
/* The scanner's own settings ("key=value" lines; scanThreads: worker
 * threads 1-64, absent: one per CPU). */
#define TAVOAV_SCANNER_CONF_FILE TAVOAV_PKG_DIR "/etc/scanner.conf"
#define TAVOAV_SCAN_WORKERS_KEY "scanThreads"

#define AVHIST_MAX_RUNS 500
#define AVHIST_MAX_DETECTIONS 10000

/* Kinds of run. */
#define AVHIST_KIND_FULL "full"
#define AVHIST_KIND_SYSTEM "system"
#define AVHIST_KIND_CUSTOM "custom"
#define AVHIST_KIND_REPROCESS "reprocess"

/* Outcomes. */
#define AVHIST_RUNNING "running"
#define AVHIST_COMPLETED "completed"
#define AVHIST_STOPPED "stopped"
#define AVHIST_FAILED "failed"
#define AVHIST_INTERRUPTED "interrupted"

/* Actions taken on a detection. */
#define AVHIST_QUARANTINED "quarantined"
#define AVHIST_MOVE_FAILED "move failed"
#define AVHIST_LEFT_IN_PLACE "left in place"
#define AVHIST_GONE "gone" /* re-processing: the file no longer exists */

typedef struct {
    int64_t total; /* files to scan, 0 when not counted yet */
    int64_t scanned;
    int64_t infected;
    int64_t quarantined;
    int64_t failedMoves;
    int64_t unreadable; /* files that could not be read or judged */
    int64_t cached;     /* clean verdicts taken from the scanner's cache */
} AVHIST_COUNTERS;

/* Every text is a heap string (never NULL); freed by AVHistoryRunsFree. */
typedef struct {
    int64_t id;
    char* szKind;
    char** rgszTargets;
    int nTargets;
    char* szStartedBy; /* "schedule", "user NAME", "address ADDR", "local" */
    char* szStartTime; /* local "YYYY-MM-DD HH:MM:SS" */
    char* szEndTime;   /* "" while running */
    char* szOutcome;
    char* szStoppedBy; /* "" unless stopped by someone */
    char* szReason;    /* why it failed, or why nothing was scanned; "" otherwise */
    AVHIST_COUNTERS counters;
    char* szDefinitionsVersion;
} AVHIST_RUN;

typedef struct {
    char* szPath;
    char* szThreat;
    char* szAction;
} AVHIST_DETECTION;

typedef struct {
    char* szPath;
    char* szThreat;
    char* szTime;
    char* szReason; /* why the last attempt failed, "" when not known */
} AVHIST_FAILED_MOVE;

/* Writer side (the scanner, the re-processing). */

/* Begins a run of szKind by process pid, started by the requester of this
 * process (see the audit events). Runs whose process is gone are recorded as
 * interrupted first, and the oldest finished runs beyond the bound dropped.
 * The run id (> 0), or -1 on failure. */
int64_t AVHistoryBegin(const char* szKind, pid_t pid);
/* Adds the targets of a run, in order, as given (custom scans). 0 on success. */
int AVHistoryAddTargets(int64_t runId, const char* const* rgszTargets, size_t nTargets);
/* Records a detection of the run and the action taken on it. 0 on success
 * (also when the run holds AVHIST_MAX_DETECTIONS already: not stored). */
int AVHistoryAddDetection(int64_t runId, const char* szPath, const char* szThreat,
                          const char* szAction);
/* Ends a run with szOutcome (completed, stopped, failed), the reason of a
 * failure (NULL or "" otherwise) and its counters. A completed run that
 * scanned nothing gets the reason in words (a target that does not exist,
 * is not absolute, or is on the white list). A stopped run names whoever
 * asked for the stop (AVStop). 0 on success. */
int AVHistoryEnd(int64_t runId, const char* szOutcome, const char* szReason,
                 const AVHIST_COUNTERS* pCounters);
/* Records a run of szKind that failed before it began (another scan runs,
 * the engine state cannot be written): begun and ended at once. The run id,
 * or -1. */
int64_t AVHistoryRecordFailed(const char* szKind, const char* szReason);

/* Reader side (the History plug-in). */

/* A page of runs, newest first: start and limit as in the plug-ins' pages
 * (a negative limit gives none). *pTotal is the number of runs. 0 on success,
 * -1 on failure. A history that does not exist yet is empty. */
int AVHistoryList(int start, int limit, AVHIST_RUN** prgRuns, int* pnRuns, int64_t* pTotal);
/* One run with its detections in the order found. 0 on success, 1 when
 * there is no such run, -1 on failure. */
int AVHistoryGet(int64_t runId, AVHIST_RUN** ppRun, AVHIST_DETECTION** prgDetections,
                 int* pnDetections);
void AVHistoryRunsFree(AVHIST_RUN* rgRuns, int nRuns);
void AVHistoryDetectionsFree(AVHIST_DETECTION* rgDetections, int nDetections);

/* A page of the failed-move list, oldest first, with the reason of the last
 * attempt. 0 on success, -1 on failure. */
int AVFailedMoveList(int start, int limit, AVHIST_FAILED_MOVE** prgItems, int* pnItems,
                     int64_t* pTotal);
void AVFailedMovesFree(AVHIST_FAILED_MOVE* rgItems, int nItems);

/* Engine settings beside the specified configuration calls; each change is
 * written as an audit event with the old and the new value. */
int AVSetScanArchives(BOOL blScanArchives); /* OKAY or ERR_* */
int AVSetMaxFileSizeMB(int iMaxFileSizeMB); /* 1..4096; OKAY or ERR_* */
/* Worker threads of the scanner: 0 means one per CPU (the key is removed). */
int AVGetScanWorkers(int* piWorkers); /* 0 on success */
int AVSetScanWorkers(int iWorkers);   /* 0..64; 0 on success */

#ifdef __cplusplus
}
#endif
