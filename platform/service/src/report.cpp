// The report database: the service's event log, which the Log plug-in pages,
// prunes and exports. One SQLite file, TAVOAV_REPORT_DB under the root.
//
// Table report: id INTEGER PRIMARY KEY AUTOINCREMENT (never reused, so an ID
// the front end holds can only ever name the entry it was shown), class
// (category), module, eventText, logTime (local "YYYY-MM-DD HH:MM:SS", which
// sorts in time order). The index on (class, module) serves the category and
// module filter of the plug-in's page and count statements.
#include <sqlite3.h>
#include <string.h>
#include <time.h>

#include <string>

#include "tavo/files.h"
#include "tavo/tavoav_engine.h"
#include "tavo/tavocore.h"
#include "tavo/tavodb.h"

// The categories and modules of the events. Kept here until the engine
// header carries them.
#ifndef TAVOAV_REPORT_CLASS_INFO
#define TAVOAV_REPORT_CLASS_INFO "info"       /* something done as asked */
#define TAVOAV_REPORT_CLASS_WARNING "warning" /* a threat found, a partial result */
#define TAVOAV_REPORT_CLASS_ERROR "error"     /* an operation failed */
#define TAVOAV_REPORT_MODULE_SCAN "scan"
#define TAVOAV_REPORT_MODULE_UPDATE "update"
#define TAVOAV_REPORT_MODULE_QUARANTINE "quarantine"
#define TAVOAV_REPORT_MODULE_CONFIG "config"
#define TAVOAV_REPORT_MODULE_SCHEDULE "schedule"
#endif

namespace {

const char* const rgReportSchema[] = {
    "CREATE TABLE IF NOT EXISTS report (id INTEGER PRIMARY KEY AUTOINCREMENT, class TEXT, "
    "module TEXT, eventText TEXT, logTime TEXT)",
    "CREATE INDEX IF NOT EXISTS report_class_module ON report (class, module)",
};

// How long a writer waits for a busy database.
const int REPORT_BUSY_TIMEOUT_MS = 30000;

const char* const rgReportClasses[] = {
    TAVOAV_REPORT_CLASS_INFO,
    TAVOAV_REPORT_CLASS_WARNING,
    TAVOAV_REPORT_CLASS_ERROR,
};

const char* const rgReportModules[] = {
    TAVOAV_REPORT_MODULE_SCAN,   TAVOAV_REPORT_MODULE_UPDATE,   TAVOAV_REPORT_MODULE_QUARANTINE,
    TAVOAV_REPORT_MODULE_CONFIG, TAVOAV_REPORT_MODULE_SCHEDULE,
};

template <size_t N>
bool IsOneOf(const char* szValue, const char* const (&rgNames)[N]) {
    for (const char* szName : rgNames) {
        if (strcmp(szValue, szName) == 0) return true;
    }
    return false;
}

// The folder of the report database, so the first connection can create it.
int MakeReportDir() {
    char szPath[4096];
    if (TAVOResolvePath(TAVOAV_REPORT_DB, szPath, sizeof szPath) != 0) return -1;
    std::string dir(szPath);
    dir.erase(dir.rfind('/'));
    return tavo::files::MakeFolders(dir);
}

}  // namespace

extern "C" {

int AVReportDBConnect(DBConnect** ppConn) {
    if (!ppConn) return ERR_TAVOAV_PARAMETER_ERROR;
    if (MakeReportDir() != 0) return ERR_TAVOAV_DB_ACCESS_ERROR;
    DBConnect* pConn = TAVODBConnect(nullptr, nullptr, nullptr, TAVOAV_REPORT_DB);
    if (!pConn) return ERR_TAVOAV_DB_ACCESS_ERROR;
    for (const char* szStatement : rgReportSchema) {
        if (TAVODBExecute(pConn, szStatement, nullptr) != 0) {
            TAVODBClose(pConn);
            return ERR_TAVOAV_DB_ACCESS_ERROR;
        }
    }
    *ppConn = pConn;
    return OKAY;
}

int AVReportDBClose(DBConnect* pConn) {
    if (pConn) TAVODBClose(pConn);
    return OKAY;
}

int AVReportWrite(const char* szClass, const char* szModule, const char* szText) {
    if (!szClass || !szModule || !szText) return ERR_TAVOAV_PARAMETER_ERROR;
    if (!IsOneOf(szClass, rgReportClasses) || !IsOneOf(szModule, rgReportModules))
        return ERR_TAVOAV_PARAMETER_ERROR;

    char szLogTime[32] = {0};
    time_t now = time(nullptr);
    struct tm local {};
    if (!localtime_r(&now, &local) ||
        strftime(szLogTime, sizeof szLogTime, "%Y-%m-%d %H:%M:%S", &local) == 0)
        return ERR_TAVOAV_EXE_ERROR;

    char szPath[4096];
    if (TAVOResolvePath(TAVOAV_REPORT_DB, szPath, sizeof szPath) != 0 || MakeReportDir() != 0)
        return ERR_TAVOAV_DB_ACCESS_ERROR;

    // The values are bound, never spliced into the statement text.
    sqlite3* pDb = nullptr;
    sqlite3_stmt* pInsert = nullptr;
    int iResult = ERR_TAVOAV_DB_ACCESS_ERROR;
    do {
        if (sqlite3_open_v2(szPath, &pDb, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr) !=
            SQLITE_OK)
            break;
        sqlite3_busy_timeout(pDb, REPORT_BUSY_TIMEOUT_MS);
        bool blSchemaOk = true;
        for (const char* szStatement : rgReportSchema) {
            if (sqlite3_exec(pDb, szStatement, nullptr, nullptr, nullptr) != SQLITE_OK)
                blSchemaOk = false;
        }
        if (!blSchemaOk) break;
        if (sqlite3_prepare_v2(
                pDb,
                "INSERT INTO report (class, module, eventText, logTime) VALUES (?1, ?2, ?3, ?4)",
                -1, &pInsert, nullptr) != SQLITE_OK)
            break;
        sqlite3_bind_text(pInsert, 1, szClass, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(pInsert, 2, szModule, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(pInsert, 3, szText, -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(pInsert, 4, szLogTime, -1, SQLITE_TRANSIENT);
        if (sqlite3_step(pInsert) != SQLITE_DONE) break;
        iResult = OKAY;
    } while (false);

    sqlite3_finalize(pInsert);
    sqlite3_close(pDb);
    return iResult;
}

}  // extern "C"
