/* Database library (libtavodb), on SQLite. C linkage. */
#pragma once

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct _tag_DBConnect DBConnect; /* opaque */
typedef struct _tag_DBResult DBResult;   /* opaque */
typedef uint32_t DBRow;                  /* row cursor */

/* Opens the database file szDatabase (an appliance path, resolved under the
 * root); the first three arguments (host, user, password) are unused and may
 * be NULL. NULL on failure. Statements wait for a busy database. */
DBConnect* TAVODBConnect(const char* szHost, const char* szUser, const char* szPassword,
                         const char* szDatabase);
/* Runs one SQL statement. With ppResult non-NULL the rows are handed over as
 * a result to fetch from (NULL when the statement yields no rows is not an
 * error: an empty result is handed over). 0 on success. */
int TAVODBExecute(DBConnect* pConn, const char* szSQL, DBResult** ppResult);
/* Runs the statement and keeps at most iLimit of its rows, from row iOffset
 * on. A negative limit yields no row; a negative offset counts as 0. */
int TAVODBSelectLimit(DBConnect* pConn, const char* szSQL, int iLimit, int iOffset,
                      DBResult** ppResult);
/* Steps to the next row: 0 and the row cursor when there is one, -1 when
 * none is left (or on error). */
int TAVODBFetchRow(DBResult* pResult, DBRow* pRow);
/* Text of the named column (matched without regard to case) in the current
 * row; "" for a column without a value; NULL for an unknown column. Valid
 * until the next fetch or the release of the result. */
const char* TAVODBFetchField(DBResult* pResult, DBRow row, const char* szColumn);
int TAVODBFreeResult(DBResult* pResult);
int TAVODBClose(DBConnect* pConn);

#ifdef __cplusplus
}
#endif
