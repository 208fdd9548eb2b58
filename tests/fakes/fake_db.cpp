// Database fakes: statements are recorded; result sets are handed out from
// fake::W().results in order (an empty set when none is left).
#include <strings.h>

#include <cstdlib>

#include "fake.h"

struct _tag_DBConnect {
    std::string name;
};

struct _tag_DBResult {
    fake::FakeRows rows;
    size_t next = 0;  // index of the row the next fetch returns
    bool fetched = false;
};

namespace {

DBConnect* NewConnection(const std::string& name) {
    ++fake::W().liveDBConns;
    return new DBConnect{name};
}

void CloseConnection(DBConnect* conn) {
    if (!conn) return;
    --fake::W().liveDBConns;
    delete conn;
}

DBResult* NextResult() {
    auto* result = new DBResult();
    auto& queue = fake::W().results;
    if (!queue.empty()) {
        result->rows = queue.front();
        queue.erase(queue.begin());
    }
    ++fake::W().liveDBResults;
    return result;
}

}  // namespace

extern "C" {

DBConnect* TAVODBConnect(const char*, const char*, const char*, const char* szDatabase) {
    fake::RecordArg("TAVODBConnect", szDatabase ? szDatabase : "(null)");
    if (fake::Call("TAVODBConnect", 0) != 0) return nullptr;
    return NewConnection(szDatabase ? szDatabase : "");
}

int TAVODBExecute(DBConnect*, const char* szSQL, DBResult** ppResult) {
    fake::W().sql.push_back(szSQL);
    int result = fake::Call("TAVODBExecute", 0);
    if (result != 0) return result;
    if (ppResult) *ppResult = NextResult();
    return 0;
}

int TAVODBSelectLimit(DBConnect*, const char* szSQL, int iLimit, int iOffset, DBResult** ppResult) {
    fake::W().sql.push_back(szSQL);
    fake::W().selectLimits.emplace_back(iLimit, iOffset);
    int result = fake::Call("TAVODBSelectLimit", 0);
    if (result != 0) return result;
    *ppResult = NextResult();
    return 0;
}

int TAVODBFetchRow(DBResult* pResult, DBRow* pRow) {
    int forced = fake::Call("TAVODBFetchRow", 0);
    if (forced != 0) return forced;
    if (pResult->fetched) ++pResult->next;
    pResult->fetched = true;
    if (pResult->next >= pResult->rows.rows.size()) return -1;
    *pRow = static_cast<DBRow>(pResult->next);
    return 0;
}

const char* TAVODBFetchField(DBResult* pResult, DBRow row, const char* szColumn) {
    fake::RecordArg("TAVODBFetchField", szColumn);
    const auto& cols = pResult->rows.columns;
    if (row >= pResult->rows.rows.size()) return nullptr;
    for (size_t i = 0; i < cols.size(); ++i) {
        if (strcasecmp(cols[i].c_str(), szColumn) == 0) return pResult->rows.rows[row][i].c_str();
    }
    return nullptr;
}

int TAVODBFreeResult(DBResult* pResult) {
    fake::Call("TAVODBFreeResult", 0);
    if (pResult) --fake::W().liveDBResults;
    delete pResult;
    return 0;
}

int TAVODBClose(DBConnect* pConn) {
    fake::Call("TAVODBClose", 0);
    CloseConnection(pConn);
    return 0;
}

int AVScheduleDBConnect(DBConnect** ppConn) {
    int result = fake::Call("AVScheduleDBConnect", 0);
    if (result == 0) *ppConn = NewConnection("schedule");
    return result;
}

int AVScheduleClear(DBConnect*) {
    int result = fake::Call("AVScheduleClear", 0);
    if (result == 0) fake::W().scheduleInserts.clear();
    return result;
}

int AVScheduleInsert(DBConnect*, int iActivated, const char* szTriggerTime, const char* szScanType,
                     const char* szScanTarget) {
    int result = fake::Call("AVScheduleInsert", 0);
    if (result == 0)
        fake::W().scheduleInserts.push_back(
            {std::to_string(iActivated), szTriggerTime, szScanType, szScanTarget});
    return result;
}

int AVScheduleDump2Crontab(DBConnect*) { return fake::Call("AVScheduleDump2Crontab", 0); }

int AVScheduleDBClose(DBConnect* pConn) {
    fake::Call("AVScheduleDBClose", 0);
    CloseConnection(pConn);
    return 0;
}

int AVReportDBConnect(DBConnect** ppConn) {
    int result = fake::Call("AVReportDBConnect", 0);
    if (result == 0) *ppConn = NewConnection("report");
    return result;
}

int AVReportDBClose(DBConnect* pConn) {
    fake::Call("AVReportDBClose", 0);
    CloseConnection(pConn);
    return 0;
}

}  // extern "C"
