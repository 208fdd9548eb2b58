// The scan history: one SQLite file, TAVOAV_HISTORY_DB under the root.
//
//   runs        one row per run: kind, who started it, times, outcome, who
//               stopped it, reason, counters, definitions version, and the
//               process that runs it (pid and start ticks, to notice it died)
//   targets     the targets of a run in order (run, pos, path)
//   detections  the detections of a run in order (run, path, threat, action)
//
// Every change is one IMMEDIATE transaction, waiting for other writers
// through the busy timeout; write-ahead logging lets the readers go on while
// a scanner writes.
#include <errno.h>
#include <limits.h>
#include <sqlite3.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <fcntl.h>

#include <set>
#include <string>
#include <vector>

#include "audit.h"
#include "sqlite_statement.h"
#include "tavo/files.h"
#include "tavo/log.h"
#include "tavo/tavoav_history.h"

namespace {

using tavo::service::Exec;
using tavo::service::Rollback;
using tavo::service::Statement;

constexpr int kBusyTimeoutMs = 30000;

const char* const rgHistorySchema[] = {
    "CREATE TABLE IF NOT EXISTS runs ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " kind TEXT NOT NULL,"
    " started_by TEXT NOT NULL,"
    " start_time TEXT NOT NULL,"
    " end_time TEXT NOT NULL DEFAULT '',"
    " outcome TEXT NOT NULL,"
    " stopped_by TEXT NOT NULL DEFAULT '',"
    " reason TEXT NOT NULL DEFAULT '',"
    " total INTEGER NOT NULL DEFAULT 0,"
    " scanned INTEGER NOT NULL DEFAULT 0,"
    " infected INTEGER NOT NULL DEFAULT 0,"
    " quarantined INTEGER NOT NULL DEFAULT 0,"
    " failed_moves INTEGER NOT NULL DEFAULT 0,"
    " unreadable INTEGER NOT NULL DEFAULT 0,"
    " cached INTEGER NOT NULL DEFAULT 0,"
    " defs_version TEXT NOT NULL DEFAULT '',"
    " pid INTEGER NOT NULL DEFAULT 0,"
    " start_ticks INTEGER NOT NULL DEFAULT 0,"
    " engine_start INTEGER NOT NULL DEFAULT 0)",  // the engine state's scanStartTime of the run
    "CREATE INDEX IF NOT EXISTS runs_outcome ON runs (outcome)",
    "CREATE TABLE IF NOT EXISTS targets (run INTEGER NOT NULL, pos INTEGER NOT NULL, path TEXT NOT "
    "NULL)",
    "CREATE INDEX IF NOT EXISTS targets_run ON targets (run, pos)",
    "CREATE TABLE IF NOT EXISTS detections (id INTEGER PRIMARY KEY AUTOINCREMENT, run INTEGER NOT "
    "NULL,"
    " path TEXT NOT NULL, threat TEXT NOT NULL, action TEXT NOT NULL)",
    "CREATE INDEX IF NOT EXISTS detections_run ON detections (run, id)",
};

const char kRunColumns[] =
    "id, kind, started_by, start_time, end_time, outcome, stopped_by, reason, total, scanned, "
    "infected,"
    " quarantined, failed_moves, unreadable, cached, defs_version";

const char* const rgKinds[] = {AVHIST_KIND_FULL, AVHIST_KIND_SYSTEM, AVHIST_KIND_CUSTOM,
                               AVHIST_KIND_REPROCESS};
const char* const rgEndOutcomes[] = {AVHIST_COMPLETED, AVHIST_STOPPED, AVHIST_FAILED};
const char* const rgActions[] = {AVHIST_QUARANTINED, AVHIST_MOVE_FAILED, AVHIST_LEFT_IN_PLACE,
                                 AVHIST_GONE};

template <size_t N>
bool IsOneOf(const char* sz, const char* const (&rg)[N]) {
    if (!sz) return false;
    for (const char* szName : rg)
        if (strcmp(sz, szName) == 0) return true;
    return false;
}

std::string Real(const char* szAppliancePath) {
    char szOut[PATH_MAX];
    if (TAVOResolvePath(szAppliancePath, szOut, sizeof szOut) != 0) return "";
    return szOut;
}

// Finished runs kept; tests lower it to try the bound with a few runs.
int64_t MaxRuns() {
    const char* szMax = getenv("TAVOAV_TEST_HISTORY_MAX_RUNS");
    if (szMax) {
        long value = strtol(szMax, nullptr, 10);
        if (value > 0 && value <= AVHIST_MAX_RUNS) return value;
    }
    return AVHIST_MAX_RUNS;
}

// The history database; nullptr when it cannot be opened, or (without
// blCreate) does not exist yet (errno ENOENT).
sqlite3* OpenHistory(bool blCreate) {
    const std::string real = Real(TAVOAV_HISTORY_DB);
    if (real.empty()) return nullptr;
    if (!blCreate && access(real.c_str(), F_OK) != 0) return nullptr;
    if (blCreate && tavo::files::MakeParentFolders(real) != 0) return nullptr;
    sqlite3* db = nullptr;
    int flags = SQLITE_OPEN_READWRITE | (blCreate ? SQLITE_OPEN_CREATE : 0);
    if (sqlite3_open_v2(real.c_str(), &db, flags, nullptr) != SQLITE_OK) {
        TAVO_LOG(LOG_ERR, "cannot open the scan history %s", real.c_str());
        sqlite3_close(db);
        return nullptr;
    }
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    bool blOk = Exec(db, "PRAGMA journal_mode=WAL") == 0;
    for (const char* szStatement : rgHistorySchema)
        if (blOk && Exec(db, szStatement) != 0) blOk = false;
    if (!blOk) {
        TAVO_LOG(LOG_ERR, "cannot prepare the scan history %s: %s", real.c_str(),
                 sqlite3_errmsg(db));
        sqlite3_close(db);
        return nullptr;
    }
    return db;
}

// Closes the database when the scope ends.
struct HistoryDb {
    explicit HistoryDb(bool blCreate) : db(OpenHistory(blCreate)) {}
    ~HistoryDb() { sqlite3_close(db); }
    HistoryDb(const HistoryDb&) = delete;
    HistoryDb& operator=(const HistoryDb&) = delete;
    sqlite3* db;
};

bool ProcessGone(int64_t pid, int64_t startTicks) {
    return pid <= 0 || pid > INT_MAX || AVEngProcessGone(static_cast<pid_t>(pid), startTicks) != 0;
}

// Runs recorded as running whose process is gone end as interrupted. When
// the engine state still holds the counters of that scan (its scanner gone,
// the same scan start), they are taken over.
int SweepInterrupted(sqlite3* db) {
    struct Running {
        int64_t id, pid, ticks, engineStart;
        std::string kind;
    };
    std::vector<Running> gone;
    {
        Statement select(
            db,
            "SELECT id, pid, start_ticks, engine_start, kind FROM runs WHERE outcome = 'running'");
        if (!select.Ok()) return -1;
        int rc;
        while ((rc = select.Step()) == SQLITE_ROW) {
            Running run{select.Int(0), select.Int(1), select.Int(2), select.Int(3), select.Text(4)};
            if (ProcessGone(run.pid, run.ticks)) gone.push_back(run);
        }
        if (rc != SQLITE_DONE) return -1;
    }
    if (gone.empty()) return 0;
    TAVOAV_ENGINE_STATE state;
    const bool blState = AVEngStateRead(&state) == 0;
    const std::string now = tavo::service::LocalTimeText();
    if (Exec(db, "BEGIN IMMEDIATE") != 0) return -1;
    for (const Running& run : gone) {
        const bool blCounters = blState && run.engineStart != 0 &&
                                state.scanStartTime == run.engineStart &&
                                state.scannerPid != run.pid;
        Statement update(
            db, blCounters
                    ? "UPDATE runs SET outcome = 'interrupted', end_time = ?2, reason = ?3,"
                      " total = ?4, scanned = ?5, infected = MAX(infected, ?6), unreadable = ?7"
                      " WHERE id = ?1 AND outcome = 'running'"
                    : "UPDATE runs SET outcome = 'interrupted', end_time = ?2, reason = ?3"
                      " WHERE id = ?1 AND outcome = 'running'");
        update.BindInt(1, run.id).Bind(2, now);
        update.Bind(3, run.kind == AVHIST_KIND_REPROCESS
                           ? "the re-processing ended before it was done"
                           : "the scanner ended before the scan was done");
        if (blCounters) {
            update.BindInt(4, state.stat.scanFileCountTotal).BindInt(5, state.stat.scannedFileCnt);
            update.BindInt(6, state.stat.infectedFileCnt).BindInt(7, state.stat.errFileCnt);
        }
        if (update.Step() != SQLITE_DONE) {
            Rollback(db);
            return -1;
        }
    }
    if (Exec(db, "COMMIT") != 0) {
        Rollback(db);
        return -1;
    }
    return 0;
}

// Drops the oldest finished runs beyond the newest keep ones, with their
// targets and detections. Runs still going are never dropped. Inside the
// caller's transaction.
int Prune(sqlite3* db, int64_t keep) {
    std::vector<int64_t> drop;
    {
        Statement select(
            db,
            "SELECT id FROM runs WHERE outcome <> 'running' ORDER BY id DESC LIMIT -1 OFFSET ?1");
        select.BindInt(1, keep);
        int rc;
        while ((rc = select.Step()) == SQLITE_ROW) drop.push_back(select.Int(0));
        if (rc != SQLITE_DONE) return -1;
    }
    for (int64_t id : drop) {
        for (const char* szSql :
             {"DELETE FROM detections WHERE run = ?1", "DELETE FROM targets WHERE run = ?1",
              "DELETE FROM runs WHERE id = ?1"}) {
            Statement remove(db, szSql);
            remove.BindInt(1, id);
            if (remove.Step() != SQLITE_DONE) return -1;
        }
    }
    return 0;
}

std::string DefinitionsVersion() {
    TAVOAV_INFO info;
    if (AVGetEngInfo(&info) != OKAY) return "";
    return info.szDefVersion;
}

// Inserts a run and prunes; the new id or -1.
int64_t InsertRun(sqlite3* db, const char* szKind, const char* szOutcome, const std::string& reason,
                  int64_t pid, int64_t ticks, int64_t engineStart) {
    const std::string now = tavo::service::LocalTimeText();
    if (Exec(db, "BEGIN IMMEDIATE") != 0) return -1;
    Statement insert(
        db,
        "INSERT INTO runs (kind, started_by, start_time, end_time, outcome, reason, defs_version,"
        " pid, start_ticks, engine_start) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10)");
    insert.Bind(1, szKind).Bind(2, tavo::service::Requester()).Bind(3, now);
    insert.Bind(4, strcmp(szOutcome, AVHIST_RUNNING) == 0 ? "" : now)
        .Bind(5, szOutcome)
        .Bind(6, reason);
    insert.Bind(7, DefinitionsVersion()).BindInt(8, pid).BindInt(9, ticks).BindInt(10, engineStart);
    if (insert.Step() != SQLITE_DONE) {
        Rollback(db);
        return -1;
    }
    const int64_t id = sqlite3_last_insert_rowid(db);
    // A run that begins will be one of the finished runs: room is made for it.
    const bool blRunning = strcmp(szOutcome, AVHIST_RUNNING) == 0;
    if (Prune(db, blRunning ? MaxRuns() - 1 : MaxRuns()) != 0 || Exec(db, "COMMIT") != 0) {
        Rollback(db);
        return -1;
    }
    return id;
}

// One change of a run in its own transaction; false when it failed.
template <typename F>
bool InTransaction(sqlite3* db, F change) {
    if (!db || Exec(db, "BEGIN IMMEDIATE") != 0) return false;
    if (!change() || Exec(db, "COMMIT") != 0) {
        Rollback(db);
        return false;
    }
    return true;
}

std::string NormalPath(const std::string& path) {
    std::vector<std::string> names;
    size_t pos = 1;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        std::string name = path.substr(pos, next - pos);
        if (name == "..") {
            if (!names.empty()) names.pop_back();
        } else if (!name.empty() && name != ".") {
            names.push_back(name);
        }
        pos = next + 1;
    }
    std::string normal;
    for (const std::string& name : names) normal += "/" + name;
    return normal.empty() ? "/" : normal;
}

// Whether the white list exempts path: the entry names it or a folder above it.
bool WhiteListed(const std::string& normal, const std::set<std::string>& whiteList) {
    std::string path = normal;
    for (;;) {
        if (whiteList.count(path)) return true;
        if (path == "/") return false;
        size_t slash = path.rfind('/');
        path = slash == 0 ? "/" : path.substr(0, slash);
    }
}

// Why a custom scan of these targets found no file to scan, in words.
std::string NothingScannedReason(const std::vector<std::string>& targets) {
    if (targets.empty()) return "no path was given";
    std::set<std::string> whiteList;
    PQLIBSZLIST pList = QLIBCSzListAlloc(1024);
    if (pList && AVWhiteListGet(&pList) == 0) {
        for (int i = 0; i < pList->nItem; ++i) {
            const char* szEntry = QLIBCSzListGet(pList, i);
            if (szEntry && szEntry[0] == '/') whiteList.insert(NormalPath(szEntry));
        }
    }
    QLIBCSzListFree(pList);
    tavo::files::UniqueFd rootFd(open(TAVORootDir(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    std::string reasons;
    for (const std::string& target : targets) {
        std::string reason;
        if (target.empty() || target[0] != '/') {
            reason = target + " is not an absolute path";
        } else {
            const std::string normal = NormalPath(target);
            // Looked at beneath the root without following a link, as the scanner walks.
            tavo::files::UniqueFd fd = rootFd
                                           ? tavo::files::OpenBeneath(rootFd.Get(), normal, O_PATH)
                                           : tavo::files::UniqueFd();
            if (!fd && errno == ENOENT) {
                reason = target + " does not exist";
            } else if (!fd) {
                reason = target + " cannot be reached: " +
                         (errno == ELOOP ? "a symbolic link on its path" : strerror(errno));
            } else if (WhiteListed(normal, whiteList)) {
                reason = target + " is on the white list";
            } else {
                reason = target + " holds no file to scan";
            }
        }
        if (!reasons.empty()) reasons += "; ";
        reasons += reason;
    }
    return reasons;
}

void FreeDetectionTexts(AVHIST_DETECTION* rgDetections, int nDetections) {
    for (int i = 0; i < nDetections; ++i) {
        free(rgDetections[i].szPath);
        free(rgDetections[i].szThreat);
        free(rgDetections[i].szAction);
    }
}

char* Dup(const std::string& text) {
    char* sz = static_cast<char*>(malloc(text.size() + 1));
    if (sz) memcpy(sz, text.c_str(), text.size() + 1);
    return sz;
}

void FreeRun(AVHIST_RUN* pRun) {
    for (char** ppsz :
         {&pRun->szKind, &pRun->szStartedBy, &pRun->szStartTime, &pRun->szEndTime, &pRun->szOutcome,
          &pRun->szStoppedBy, &pRun->szReason, &pRun->szDefinitionsVersion}) {
        free(*ppsz);
        *ppsz = nullptr;
    }
    for (int i = 0; i < pRun->nTargets; ++i) free(pRun->rgszTargets[i]);
    free(pRun->rgszTargets);
    pRun->rgszTargets = nullptr;
    pRun->nTargets = 0;
}

// Fills a run from a row of kRunColumns and its targets. False when out of memory.
bool ReadRun(sqlite3* db, const Statement& row, AVHIST_RUN* pRun) {
    memset(pRun, 0, sizeof *pRun);
    pRun->id = row.Int(0);
    pRun->szKind = Dup(row.Text(1));
    pRun->szStartedBy = Dup(row.Text(2));
    pRun->szStartTime = Dup(row.Text(3));
    pRun->szEndTime = Dup(row.Text(4));
    pRun->szOutcome = Dup(row.Text(5));
    pRun->szStoppedBy = Dup(row.Text(6));
    pRun->szReason = Dup(row.Text(7));
    pRun->counters.total = row.Int(8);
    pRun->counters.scanned = row.Int(9);
    pRun->counters.infected = row.Int(10);
    pRun->counters.quarantined = row.Int(11);
    pRun->counters.failedMoves = row.Int(12);
    pRun->counters.unreadable = row.Int(13);
    pRun->counters.cached = row.Int(14);
    pRun->szDefinitionsVersion = Dup(row.Text(15));
    bool blOk = pRun->szKind && pRun->szStartedBy && pRun->szStartTime && pRun->szEndTime &&
                pRun->szOutcome && pRun->szStoppedBy && pRun->szReason &&
                pRun->szDefinitionsVersion;
    std::vector<std::string> targets;
    Statement select(db, "SELECT path FROM targets WHERE run = ?1 ORDER BY pos");
    select.BindInt(1, pRun->id);
    int rc;
    while ((rc = select.Step()) == SQLITE_ROW) targets.push_back(select.Text(0));
    if (rc != SQLITE_DONE) blOk = false;
    if (blOk && !targets.empty()) {
        pRun->rgszTargets = static_cast<char**>(calloc(targets.size(), sizeof(char*)));
        if (!pRun->rgszTargets) blOk = false;
        for (size_t i = 0; blOk && i < targets.size(); ++i) {
            pRun->rgszTargets[i] = Dup(targets[i]);
            pRun->nTargets = static_cast<int>(i + 1);
            if (!pRun->rgszTargets[i]) blOk = false;
        }
    }
    if (!blOk) FreeRun(pRun);
    return blOk;
}

}  // namespace

namespace tavo::service {

void HistoryNoteStop(const std::string& stoppedBy) {
    HistoryDb history(false);
    if (!history.db) return;
    bool blOk = InTransaction(history.db, [&] {
        Statement update(
            history.db, "UPDATE runs SET stopped_by = ?1 WHERE outcome = 'running' AND kind <> ?2");
        update.Bind(1, stoppedBy).Bind(2, AVHIST_KIND_REPROCESS);
        return update.Step() == SQLITE_DONE;
    });
    if (!blOk) TAVO_LOG(LOG_ERR, "cannot record who stopped the scan");
}

}  // namespace tavo::service

extern "C" {

int64_t AVHistoryBegin(const char* szKind, pid_t pid) {
    if (!IsOneOf(szKind, rgKinds) || pid <= 0) return -1;
    HistoryDb history(true);
    if (!history.db) return -1;
    if (SweepInterrupted(history.db) != 0) TAVO_LOG(LOG_ERR, "cannot record the interrupted runs");
    TAVOAV_ENGINE_STATE state;
    int64_t engineStart = 0;
    if (AVEngStateRead(&state) == 0 && state.scannerPid == pid) engineStart = state.scanStartTime;
    int64_t id = InsertRun(history.db, szKind, AVHIST_RUNNING, "", pid, AVEngProcessStartTicks(pid),
                           engineStart);
    if (id < 0) TAVO_LOG(LOG_ERR, "cannot record the %s run in the scan history", szKind);
    return id;
}

int64_t AVHistoryRecordFailed(const char* szKind, const char* szReason) {
    if (!IsOneOf(szKind, rgKinds)) return -1;
    HistoryDb history(true);
    if (!history.db) return -1;
    int64_t id = InsertRun(history.db, szKind, AVHIST_FAILED, szReason ? szReason : "", 0, 0, 0);
    if (id < 0) TAVO_LOG(LOG_ERR, "cannot record the failed %s run in the scan history", szKind);
    return id;
}

int AVHistoryAddTargets(int64_t runId, const char* const* rgszTargets, size_t nTargets) {
    if (runId <= 0 || (nTargets > 0 && !rgszTargets)) return -1;
    HistoryDb history(false);
    bool blOk = InTransaction(history.db, [&] {
        Statement count(history.db, "SELECT COUNT(*) FROM targets WHERE run = ?1");
        count.BindInt(1, runId);
        if (count.Step() != SQLITE_ROW) return false;
        const int64_t first = count.Int(0);
        for (size_t i = 0; i < nTargets; ++i) {
            Statement insert(history.db,
                             "INSERT INTO targets (run, pos, path) VALUES (?1, ?2, ?3)");
            insert.BindInt(1, runId)
                .BindInt(2, first + static_cast<int64_t>(i))
                .Bind(3, rgszTargets[i] ? rgszTargets[i] : "");
            if (insert.Step() != SQLITE_DONE) return false;
        }
        return true;
    });
    return blOk ? 0 : -1;
}

int AVHistoryAddDetection(int64_t runId, const char* szPath, const char* szThreat,
                          const char* szAction) {
    if (runId <= 0 || !szPath || !szThreat || !IsOneOf(szAction, rgActions)) return -1;
    HistoryDb history(false);
    bool blOk = InTransaction(history.db, [&] {
        // The counters follow each detection, so an interrupted run still tells them.
        Statement update(history.db,
                         "UPDATE runs SET infected = infected + 1, quarantined = quarantined + ?2,"
                         " failed_moves = failed_moves + ?3 WHERE id = ?1");
        update.BindInt(1, runId).BindInt(2, strcmp(szAction, AVHIST_QUARANTINED) == 0);
        update.BindInt(3, strcmp(szAction, AVHIST_MOVE_FAILED) == 0);
        if (update.Step() != SQLITE_DONE || sqlite3_changes(history.db) != 1) return false;
        Statement count(history.db, "SELECT COUNT(*) FROM detections WHERE run = ?1");
        count.BindInt(1, runId);
        if (count.Step() != SQLITE_ROW) return false;
        if (count.Int(0) >= AVHIST_MAX_DETECTIONS) return true;
        Statement insert(
            history.db,
            "INSERT INTO detections (run, path, threat, action) VALUES (?1, ?2, ?3, ?4)");
        insert.BindInt(1, runId).Bind(2, szPath).Bind(3, szThreat).Bind(4, szAction);
        return insert.Step() == SQLITE_DONE;
    });
    return blOk ? 0 : -1;
}

int AVHistoryEnd(int64_t runId, const char* szOutcome, const char* szReason,
                 const AVHIST_COUNTERS* pCounters) {
    if (runId <= 0 || !IsOneOf(szOutcome, rgEndOutcomes) || !pCounters) return -1;
    HistoryDb history(false);
    if (!history.db) return -1;
    std::string kind;
    std::vector<std::string> targets;
    {
        Statement select(history.db, "SELECT kind FROM runs WHERE id = ?1");
        select.BindInt(1, runId);
        if (select.Step() != SQLITE_ROW) return -1;
        kind = select.Text(0);
        Statement selectTargets(history.db, "SELECT path FROM targets WHERE run = ?1 ORDER BY pos");
        selectTargets.BindInt(1, runId);
        while (selectTargets.Step() == SQLITE_ROW) targets.push_back(selectTargets.Text(0));
    }
    std::string reason = szReason ? szReason : "";
    if (reason.empty() && strcmp(szOutcome, AVHIST_COMPLETED) == 0 && pCounters->scanned == 0) {
        if (kind == AVHIST_KIND_CUSTOM)
            reason = NothingScannedReason(targets);
        else if (kind == AVHIST_KIND_FULL)
            reason = "no file to scan was found on the volumes";
        else if (kind == AVHIST_KIND_SYSTEM)
            reason = "no file to scan was found in the system folders";
    }
    const std::string definitions = DefinitionsVersion();
    bool blOk = InTransaction(history.db, [&] {
        Statement update(
            history.db,
            "UPDATE runs SET outcome = ?2, end_time = ?3, reason = ?4,"
            " stopped_by = CASE WHEN ?2 = 'stopped' THEN stopped_by ELSE '' END,"
            " total = ?5, scanned = ?6, infected = ?7, quarantined = ?8, failed_moves = ?9,"
            " unreadable = ?10, cached = ?11,"
            " defs_version = CASE WHEN ?12 = '' THEN defs_version ELSE ?12 END WHERE id = ?1");
        update.BindInt(1, runId)
            .Bind(2, szOutcome)
            .Bind(3, tavo::service::LocalTimeText())
            .Bind(4, reason);
        update.BindInt(5, pCounters->total)
            .BindInt(6, pCounters->scanned)
            .BindInt(7, pCounters->infected);
        update.BindInt(8, pCounters->quarantined).BindInt(9, pCounters->failedMoves);
        update.BindInt(10, pCounters->unreadable)
            .BindInt(11, pCounters->cached)
            .Bind(12, definitions);
        return update.Step() == SQLITE_DONE && sqlite3_changes(history.db) == 1;
    });
    if (!blOk)
        TAVO_LOG(LOG_ERR, "cannot record the end of run %lld in the scan history",
                 static_cast<long long>(runId));
    return blOk ? 0 : -1;
}

int AVHistoryList(int start, int limit, AVHIST_RUN** prgRuns, int* pnRuns, int64_t* pTotal) {
    if (!prgRuns || !pnRuns || !pTotal) return -1;
    *prgRuns = nullptr;
    *pnRuns = 0;
    *pTotal = 0;
    HistoryDb history(false);
    if (!history.db) return errno == ENOENT ? 0 : -1;
    if (SweepInterrupted(history.db) != 0) TAVO_LOG(LOG_ERR, "cannot record the interrupted runs");
    // One read transaction: the page and the total agree.
    if (Exec(history.db, "BEGIN") != 0) return -1;
    std::vector<AVHIST_RUN> runs;
    bool blOk = true;
    {
        Statement total(history.db, "SELECT COUNT(*) FROM runs");
        if (total.Step() == SQLITE_ROW)
            *pTotal = total.Int(0);
        else
            blOk = false;
        const std::string sql =
            std::string("SELECT ") + kRunColumns + " FROM runs ORDER BY id DESC LIMIT ?1 OFFSET ?2";
        Statement select(history.db, sql.c_str());
        select.BindInt(1, limit < 0 ? 0 : limit).BindInt(2, start < 0 ? 0 : start);
        int rc = SQLITE_DONE;
        while (blOk && (rc = select.Step()) == SQLITE_ROW) {
            AVHIST_RUN run;
            if (!ReadRun(history.db, select, &run)) {
                blOk = false;
                break;
            }
            runs.push_back(run);
        }
        if (rc != SQLITE_DONE) blOk = false;
    }
    Rollback(history.db);
    if (blOk && !runs.empty()) {
        *prgRuns = static_cast<AVHIST_RUN*>(malloc(runs.size() * sizeof(AVHIST_RUN)));
        if (*prgRuns) {
            memcpy(*prgRuns, runs.data(), runs.size() * sizeof(AVHIST_RUN));
            *pnRuns = static_cast<int>(runs.size());
            return 0;
        }
        blOk = false;
    }
    if (!blOk) {
        for (AVHIST_RUN& run : runs) FreeRun(&run);
        *pTotal = 0;
        return -1;
    }
    return 0;
}

int AVHistoryGet(int64_t runId, AVHIST_RUN** ppRun, AVHIST_DETECTION** prgDetections,
                 int* pnDetections) {
    if (!ppRun || !prgDetections || !pnDetections) return -1;
    *ppRun = nullptr;
    *prgDetections = nullptr;
    *pnDetections = 0;
    HistoryDb history(false);
    if (!history.db) return errno == ENOENT ? 1 : -1;
    if (SweepInterrupted(history.db) != 0) TAVO_LOG(LOG_ERR, "cannot record the interrupted runs");
    if (Exec(history.db, "BEGIN") != 0) return -1;
    int result = -1;
    AVHIST_RUN* pRun = static_cast<AVHIST_RUN*>(calloc(1, sizeof(AVHIST_RUN)));
    std::vector<AVHIST_DETECTION> detections;
    do {
        if (!pRun) break;
        const std::string sql = std::string("SELECT ") + kRunColumns + " FROM runs WHERE id = ?1";
        Statement select(history.db, sql.c_str());
        select.BindInt(1, runId);
        int rc = select.Step();
        if (rc == SQLITE_DONE) result = 1;
        if (rc != SQLITE_ROW || !ReadRun(history.db, select, pRun)) break;
        Statement selectDetections(
            history.db, "SELECT path, threat, action FROM detections WHERE run = ?1 ORDER BY id");
        selectDetections.BindInt(1, runId);
        bool blOk = true;
        while (blOk && (rc = selectDetections.Step()) == SQLITE_ROW) {
            AVHIST_DETECTION detection{Dup(selectDetections.Text(0)), Dup(selectDetections.Text(1)),
                                       Dup(selectDetections.Text(2))};
            detections.push_back(detection);
            blOk = detection.szPath && detection.szThreat && detection.szAction;
        }
        if (!blOk || rc != SQLITE_DONE) {
            FreeRun(pRun);
            break;
        }
        result = 0;
    } while (false);
    Rollback(history.db);
    if (result == 0 && !detections.empty()) {
        *prgDetections =
            static_cast<AVHIST_DETECTION*>(malloc(detections.size() * sizeof(AVHIST_DETECTION)));
        if (*prgDetections) {
            memcpy(*prgDetections, detections.data(), detections.size() * sizeof(AVHIST_DETECTION));
            *pnDetections = static_cast<int>(detections.size());
            detections.clear();
        } else {
            FreeRun(pRun);
            result = -1;
        }
    }
    FreeDetectionTexts(detections.data(), static_cast<int>(detections.size()));
    if (result != 0) {
        free(pRun);
        return result;
    }
    *ppRun = pRun;
    return 0;
}

void AVHistoryRunsFree(AVHIST_RUN* rgRuns, int nRuns) {
    if (!rgRuns) return;
    for (int i = 0; i < nRuns; ++i) FreeRun(&rgRuns[i]);
    free(rgRuns);
}

void AVHistoryDetectionsFree(AVHIST_DETECTION* rgDetections, int nDetections) {
    if (!rgDetections) return;
    FreeDetectionTexts(rgDetections, nDetections);
    free(rgDetections);
}

}  // extern "C"
