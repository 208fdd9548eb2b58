// Database library on SQLite. Results stream: a result holds the prepared
// statement and steps it one row per fetch, so a large export never holds
// more than the current row.
#include <limits.h>
#include <sqlite3.h>
#include <string.h>
#include <strings.h>

#include <new>
#include <string>

#include "tavo/files.h"
#include "tavo/log.h"
#include "tavo/tavocore.h"
#include "tavo/tavodb.h"

struct _tag_DBConnect {
    sqlite3* db;
};

struct _tag_DBResult {
    sqlite3_stmt* stmt;
    DBRow row;       // number of the current row, counted from 0
    bool blPending;  // a row was stepped to but not handed out yet
    bool blCurrent;  // a row is current (fields may be read)
    bool blDone;     // no row is left
};

namespace {

// How long a statement waits for a database another connection has locked.
constexpr int kBusyTimeoutMs = 30000;

bool OnlySeparatorsLeft(const char* szTail) {
    for (; szTail != nullptr && *szTail != '\0'; ++szTail) {
        if (strchr(" \t\r\n\f\v;", *szTail) == nullptr) return false;
    }
    return true;
}

// Prepares exactly one statement: anything after it but blanks and
// semicolons is refused, so no value can smuggle in a second statement.
sqlite3_stmt* PrepareOne(DBConnect* pConn, const std::string& sql) {
    sqlite3_stmt* stmt = nullptr;
    const char* szTail = nullptr;
    int rc = sqlite3_prepare_v2(pConn->db, sql.c_str(), static_cast<int>(sql.size()) + 1, &stmt,
                                &szTail);
    if (rc != SQLITE_OK) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to prepare [%s]: %s", sql.c_str(),
                 sqlite3_errmsg(pConn->db));
        sqlite3_finalize(stmt);
        return nullptr;
    }
    if (stmt == nullptr) {
        TAVO_LOG(TAVO_LOG_ERR, "no statement in [%s]", sql.c_str());
        return nullptr;
    }
    if (!OnlySeparatorsLeft(szTail)) {
        TAVO_LOG(TAVO_LOG_ERR, "refused more than one statement in [%s]", sql.c_str());
        sqlite3_finalize(stmt);
        return nullptr;
    }
    return stmt;
}

// Takes the first step at once: a statement that changes data is done when
// the call returns even if no row is ever fetched, and errors surface here.
int Run(DBConnect* pConn, sqlite3_stmt* stmt, DBResult** ppResult) {
    int rc = sqlite3_step(stmt);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to run [%s]: %s", sqlite3_sql(stmt),
                 sqlite3_errmsg(pConn->db));
        sqlite3_finalize(stmt);
        return -1;
    }
    if (ppResult == nullptr) {
        while (rc == SQLITE_ROW) rc = sqlite3_step(stmt);
        if (rc != SQLITE_DONE)
            TAVO_LOG(TAVO_LOG_ERR, "failed to run [%s]: %s", sqlite3_sql(stmt),
                     sqlite3_errmsg(pConn->db));
        sqlite3_finalize(stmt);
        return rc == SQLITE_DONE ? 0 : -1;
    }
    auto* pResult =
        new (std::nothrow) DBResult{stmt, 0, rc == SQLITE_ROW, false, rc == SQLITE_DONE};
    if (pResult == nullptr) {
        sqlite3_finalize(stmt);
        return -1;
    }
    if (pResult->blDone) sqlite3_reset(stmt);  // releases the read lock early
    *ppResult = pResult;
    return 0;
}

}  // namespace

extern "C" {

DBConnect* TAVODBConnect(const char* /*szHost*/, const char* /*szUser*/, const char* /*szPassword*/,
                         const char* szDatabase) {
    if (szDatabase == nullptr) return nullptr;
    char szPath[PATH_MAX];
    if (TAVOResolvePath(szDatabase, szPath, sizeof(szPath)) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "bad database path [%s]", szDatabase);
        return nullptr;
    }
    if (tavo::files::MakeParentFolders(szPath) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "cannot create the folder of [%s]", szPath);
        return nullptr;
    }

    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(szPath, &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    if (rc != SQLITE_OK) {
        TAVO_LOG(TAVO_LOG_ERR, "cannot open [%s]: %s", szPath,
                 db ? sqlite3_errmsg(db) : sqlite3_errstr(rc));
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_extended_result_codes(db, 1);
    // Double-quoted values in statements are taken as strings.
    sqlite3_db_config(db, SQLITE_DBCONFIG_DQS_DML, 1, nullptr);

    // Write-ahead logging lets readers (a long export) and writers (the
    // scanner adding reports) run side by side. Switching needs the database
    // to itself, so it is tried briefly and skipped when another connection
    // is busy; it sticks to the file once done.
    sqlite3_busy_timeout(db, 1000);
    char* szError = nullptr;
    rc = sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, &szError);
    if (rc != SQLITE_OK && (rc & 0xff) != SQLITE_BUSY && (rc & 0xff) != SQLITE_LOCKED) {
        // Not a database file, or not readable.
        TAVO_LOG(TAVO_LOG_ERR, "cannot use [%s]: %s", szPath,
                 szError ? szError : sqlite3_errstr(rc));
        sqlite3_free(szError);
        sqlite3_close_v2(db);
        return nullptr;
    }
    sqlite3_free(szError);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);

    auto* pConn = new (std::nothrow) DBConnect{db};
    if (pConn == nullptr) sqlite3_close_v2(db);
    return pConn;
}

int TAVODBExecute(DBConnect* pConn, const char* szSQL, DBResult** ppResult) {
    if (ppResult != nullptr) *ppResult = nullptr;
    if (pConn == nullptr || szSQL == nullptr) return -1;
    sqlite3_stmt* stmt = PrepareOne(pConn, szSQL);
    if (stmt == nullptr) return -1;
    return Run(pConn, stmt, ppResult);
}

// The statement is run as "<statement> LIMIT ? OFFSET ?" with bound values,
// so SQLite can use its indexes; it must therefore not carry a LIMIT itself.
int TAVODBSelectLimit(DBConnect* pConn, const char* szSQL, int iLimit, int iOffset,
                      DBResult** ppResult) {
    if (ppResult != nullptr) *ppResult = nullptr;
    if (pConn == nullptr || szSQL == nullptr || ppResult == nullptr) return -1;
    std::string sql = szSQL;
    while (!sql.empty() && strchr(" \t\r\n\f\v;", sql.back()) != nullptr) sql.pop_back();
    // On a new line so that a trailing "--" comment cannot swallow it.
    sql += "\n LIMIT :tavo_limit OFFSET :tavo_offset";

    sqlite3_stmt* stmt = PrepareOne(pConn, sql);
    if (stmt == nullptr) return -1;
    int iLimitIndex = sqlite3_bind_parameter_index(stmt, ":tavo_limit");
    int iOffsetIndex = sqlite3_bind_parameter_index(stmt, ":tavo_offset");
    if (iLimitIndex == 0 || iOffsetIndex == 0) {
        // The clause was swallowed (an open comment): the rows would not be limited.
        TAVO_LOG(TAVO_LOG_ERR, "cannot limit [%s]", szSQL);
        sqlite3_finalize(stmt);
        return -1;
    }
    // A negative limit means no row at all, never the whole table.
    sqlite3_bind_int(stmt, iLimitIndex, iLimit < 0 ? 0 : iLimit);
    sqlite3_bind_int(stmt, iOffsetIndex, iOffset < 0 ? 0 : iOffset);
    return Run(pConn, stmt, ppResult);
}

int TAVODBFetchRow(DBResult* pResult, DBRow* pRow) {
    if (pResult == nullptr || pResult->blDone) return -1;
    if (pResult->blPending) {
        pResult->blPending = false;
    } else {
        int rc = sqlite3_step(pResult->stmt);
        if (rc != SQLITE_ROW) {
            if (rc != SQLITE_DONE)
                TAVO_LOG(TAVO_LOG_ERR, "failed to fetch from [%s]: %s", sqlite3_sql(pResult->stmt),
                         sqlite3_errmsg(sqlite3_db_handle(pResult->stmt)));
            // Reset rather than step again: stepping a finished statement would run it anew.
            pResult->blDone = true;
            pResult->blCurrent = false;
            sqlite3_reset(pResult->stmt);
            return -1;
        }
        if (pResult->blCurrent) ++pResult->row;
    }
    pResult->blCurrent = true;
    if (pRow != nullptr) *pRow = pResult->row;
    return 0;
}

// Only the current row can be read: a cursor of another row gets NULL.
const char* TAVODBFetchField(DBResult* pResult, DBRow row, const char* szColumn) {
    if (pResult == nullptr || szColumn == nullptr || !pResult->blCurrent || row != pResult->row)
        return nullptr;
    int nColumns = sqlite3_column_count(pResult->stmt);
    for (int i = 0; i < nColumns; ++i) {
        const char* szName = sqlite3_column_name(pResult->stmt, i);
        if (szName == nullptr || strcasecmp(szName, szColumn) != 0) continue;
        if (sqlite3_column_type(pResult->stmt, i) == SQLITE_NULL) return "";
        const char* szText = reinterpret_cast<const char*>(sqlite3_column_text(pResult->stmt, i));
        if (szText == nullptr) {
            // Out of memory converting the value; callers expect text.
            TAVO_LOG(TAVO_LOG_ERR, "cannot read column %s of [%s]", szColumn,
                     sqlite3_sql(pResult->stmt));
            return "";
        }
        return szText;
    }
    return nullptr;
}

int TAVODBFreeResult(DBResult* pResult) {
    if (pResult == nullptr) return 0;
    sqlite3_finalize(pResult->stmt);
    delete pResult;
    return 0;
}

// A result still open keeps the connection alive until it is freed.
int TAVODBClose(DBConnect* pConn) {
    if (pConn == nullptr) return 0;
    sqlite3_close_v2(pConn->db);
    delete pConn;
    return 0;
}

}  // extern "C"
