#include "log_handler.h"

#include <strings.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "tavo/handler.h"
#include "tavo/log.h"
#include "tavo/param_check.h"
#include "tavo/tavoav.h"
#include "tavo/tavodb.h"
#include "tavo/visible_text.h"

namespace TAVO {
namespace AntiVirus {

namespace {

const char* const SZ_REPORT_DB_PATH = "/var/packages/AntiVirus-Zentrel/target/.report";
const char* const SZ_EXPORT_QUERY = "SELECT * FROM report ORDER BY id DESC";

const char* const rgNoParamMethods[] = {
    "APILogExport_v1",
};

const ParamRule rgLoadParams[] = {
    {"start", JsonType::Integral, true}, {"limit", JsonType::Integral, true},
    {"sort", JsonType::String, false},   {"dir", JsonType::String, false},
    {"modules", JsonType::Array, true},  {"categories", JsonType::Array, true},
};

const ParamRule rgDeleteParams[] = {
    {"data", JsonType::Array, true},
};

const ParamRule rgDeleteAdvancedParams[] = {
    {"modules", JsonType::Array, true},
    {"categories", JsonType::Array, true},
};

const MethodParams rgMethodParams[] = {
    Method("APILogLoad_v1", rgLoadParams),
    Method("APILogDelete_v1", rgDeleteParams),
    Method("APILogDeleteAdvanced_v1", rgDeleteAdvancedParams),
};

// Names SQLite resolves as a column of `report` even between double quotes.
const char* const rgReportColumnNames[] = {"id",      "class", "module", "eventText",
                                           "logTime", "rowid", "oid",    "_rowid_"};

// A category or module goes between double quotes into a statement. It must
// stay a string there: no quote that would end it, no NUL that would cut it,
// and no name the database would take for a column instead of a string.
// Categories and modules are plain words, so the other characters that carry
// meaning in SQL (single quote, statement end, comment markers) and control
// characters are refused too: the statement never rests on the quoting alone.
bool IsSafeQuotedValue(const std::string& value) {
    for (unsigned char c : value) {
        if (c < 0x20 || c == 0x7f || c == '"' || c == '\'' || c == ';') return false;
    }
    if (value.find("--") != std::string::npos || value.find("/*") != std::string::npos)
        return false;
    for (const char* szColumn : rgReportColumnNames) {
        if (strcasecmp(value.c_str(), szColumn) == 0) return false;
    }
    return true;
}

// A record ID goes bare after "ID=": decimal digits only.
bool IsRecordId(const std::string& value) {
    if (value.empty()) return false;
    for (char c : value) {
        if (c < '0' || c > '9') return false;
    }
    return true;
}

enum class ListCheck { Ok, WrongType, UnsafeValue };

// Joins the array's strings as "a","b","c" (empty for an empty array),
// testing each element in array order.
ListCheck BuildQuotedList(const Json::Value& jArray, std::string& list) {
    const Json::ArrayIndex listSize = jArray.size();
    for (Json::ArrayIndex i = 0; i < listSize; ++i) {
        const Json::Value& jElement = jArray[i];
        if (!jElement.isString()) return ListCheck::WrongType;
        const std::string value = jElement.asString();
        if (!IsSafeQuotedValue(value)) return ListCheck::UnsafeValue;
        list += '"';
        list += value;
        list += '"';
        if (i + 1 < listSize) list += ',';
    }
    return ListCheck::Ok;
}

// The category and module filters of load and delete_advanced as quoted
// lists, categories first. A refusal is logged here and answered 120.
int BuildFilterLists(const Json::Value& jParams, bool blDelete, std::string& categoryList,
                     std::string& moduleList) {
    ListCheck listCheck = BuildQuotedList(jParams["categories"], categoryList);
    if (listCheck == ListCheck::Ok) listCheck = BuildQuotedList(jParams["modules"], moduleList);
    if (listCheck == ListCheck::WrongType) {
        TAVO_LOG(
            TAVO_LOG_ERR, "%s",
            blDelete ? "wrong data type for deleting logs" : "wrong data type for loading logs");
        return WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
    }
    if (listCheck == ListCheck::UnsafeValue) {
        TAVO_LOG(TAVO_LOG_ERR, "%s",
                 blDelete ? "invalid category or module for deleting logs"
                          : "invalid category or module for loading logs");
        return WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
    }
    return WEBAPI_ERR_NONE;
}

// snprintf into a statement buffer; false when the statement was cut.
template <size_t N>
bool FormatStatement(char (&szBuffer)[N], const char* szFormat, ...)
    __attribute__((format(printf, 2, 3)));

template <size_t N>
bool FormatStatement(char (&szBuffer)[N], const char* szFormat, ...) {
    va_list ap;
    va_start(ap, szFormat);
    const int iLength = vsnprintf(szBuffer, N, szFormat, ap);
    va_end(ap);
    return iLength >= 0 && static_cast<size_t>(iLength) < N;
}

const char* TextOrEmpty(const char* szText) { return szText ? szText : ""; }

}  // namespace

LogHandler::LogHandler(APIRequest* req, APIResponse* resp, const char* method)
    : _req(req), _resp(resp), _method(method) {}

LogHandler::~LogHandler() {}

void LogHandler::CheckParam(Json::Value& jParams, int& errCode) const {
    TAVO_CHECK_PARAM(*_req, _method, rgNoParamMethods, rgMethodParams, jParams, errCode);
}

void LogHandler::Load() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    Json::Value recordArray(Json::arrayValue);
    DBConnect* dbHandle = nullptr;
    DBResult* pResult = nullptr;
    DBResult* pTotalResult = nullptr;
    DBRow dbRow = 0;
    int start = 0;
    int limit = 0;
    char szQueryString[1024] = {0};
    const char* const rgResultColumnName[] = {"id", "class", "module", "eventText", "logTime"};
    const char* const rgJsonFieldName[] = {"ID", "category", "module", "eventContent", "date"};
    std::string moduleList;
    std::string categoryList;
    std::string sortBy = "ID";
    std::string sortDir = "DESC";
    bool blQueryFits = true;
    const char* szTotal = nullptr;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    if (!FitsInt32(jParams["start"]) || !FitsInt32(jParams["limit"])) {
        TAVO_LOG(TAVO_LOG_ERR, "start or limit out of range for loading logs");
        errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
        goto END;
    }
    start = jParams["start"].asInt();
    limit = jParams["limit"].asInt();

    errCode = BuildFilterLists(jParams, false, categoryList, moduleList);
    if (errCode != WEBAPI_ERR_NONE) goto END;

    // Any "dir" but "ASC", and any "sort" that names no field, keeps the
    // default order instead of being refused.
    if (jParams.isMember("dir") && jParams["dir"].asString() == "ASC") sortDir = "ASC";
    if (jParams.isMember("sort")) {
        const std::string sortName = jParams["sort"].asString();
        for (size_t i = 0; i < sizeof rgJsonFieldName / sizeof rgJsonFieldName[0]; ++i) {
            if (sortName == rgJsonFieldName[i]) {
                sortBy = rgResultColumnName[i];
                break;
            }
        }
    }

    // A statement that does not fit is never sent cut; it fails below
    // like a statement the database refused.
    blQueryFits = FormatStatement(
        szQueryString, "SELECT * FROM report WHERE class IN (%s) AND module IN (%s) ORDER BY %s %s",
        categoryList.c_str(), moduleList.c_str(), sortBy.c_str(), sortDir.c_str());

    dbHandle = TAVODBConnect(nullptr, nullptr, nullptr, SZ_REPORT_DB_PATH);
    if (!dbHandle) {
        TAVO_LOG(TAVO_LOG_ERR, "Failed to connect %s", SZ_REPORT_DB_PATH);
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

    if (!blQueryFits || TAVODBSelectLimit(dbHandle, szQueryString, limit, start, &pResult) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "Failed to query database, SQL=%s", szQueryString);
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

    while (TAVODBFetchRow(pResult, &dbRow) == 0) {
        Json::Value jRecord(Json::objectValue);
        for (size_t i = 0; i < sizeof rgResultColumnName / sizeof rgResultColumnName[0]; ++i) {
            jRecord[rgJsonFieldName[i]] =
                Json::Value(TextOrEmpty(TAVODBFetchField(pResult, dbRow, rgResultColumnName[i])));
        }
        recordArray.append(jRecord);
    }
    // Set before the count: a failing count answers 117 with the page in it.
    jRetObj["reportArray"] = recordArray;

    blQueryFits = FormatStatement(
        szQueryString,
        "SELECT COUNT(*) as TOTAL FROM report WHERE class IN (%s) AND module IN (%s)",
        categoryList.c_str(), moduleList.c_str());
    if (!blQueryFits || TAVODBExecute(dbHandle, szQueryString, &pTotalResult) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "Failed to exec %s", szQueryString);
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    // A count without a row fails without a line of its own.
    if (TAVODBFetchRow(pTotalResult, &dbRow) == -1) {
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    szTotal = TAVODBFetchField(pTotalResult, dbRow, "TOTAL");
    if (!szTotal) {
        TAVO_LOG(TAVO_LOG_ERR, "No TOTAL in the result of %s", szQueryString);
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    jRetObj["reportCount"] = Json::Value(static_cast<Json::Int64>(strtoll(szTotal, nullptr, 10)));

END:
    if (pResult) TAVODBFreeResult(pResult);
    if (pTotalResult) TAVODBFreeResult(pTotalResult);
    if (dbHandle) TAVODBClose(dbHandle);
    Answer(_resp, errCode, jRetObj);
}

void LogHandler::Delete() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    DBConnect* pDBHandle = nullptr;
    char szDeleteStatement[1024] = {0};

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    // Connected before the elements are tested, unlike delete_advanced.
    if (AVReportDBConnect(&pDBHandle) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to connect to database");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

    {
        // One statement per entry, no transaction: entries deleted before a
        // failing element stay deleted.
        const Json::Value& jData = jParams["data"];
        const Json::ArrayIndex listSize = jData.size();
        for (Json::ArrayIndex deleteIndex = 0; deleteIndex < listSize; ++deleteIndex) {
            const Json::Value& jElement = jData[deleteIndex];
            if (!jElement.isString()) {
                TAVO_LOG(TAVO_LOG_ERR, "wrong data type for deleting logs");
                errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
                goto END;
            }
            const std::string recordId = jElement.asString();
            if (!IsRecordId(recordId)) {
                TAVO_LOG(TAVO_LOG_ERR, "invalid record ID for deleting logs");
                errCode = WEBAPI_ERR_REQUEST_PARAMETER_INVALID;
                goto END;
            }
            if (!FormatStatement(szDeleteStatement, "DELETE FROM report WHERE ID=%s;",
                                 recordId.c_str()) ||
                TAVODBExecute(pDBHandle, szDeleteStatement, nullptr) != 0) {
                TAVO_LOG(TAVO_LOG_ERR, "error executing SQL command:%s", szDeleteStatement);
                errCode = WEBAPI_ERR_INTERNAL_ERROR;
                goto END;
            }
        }
    }

END:
    if (pDBHandle) AVReportDBClose(pDBHandle);
    Answer(_resp, errCode, jRetObj);
}

void LogHandler::DeleteAdvanced() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    DBConnect* pDBHandle = nullptr;
    char szDeleteStatement[1024] = {0};
    std::string moduleList;
    std::string categoryList;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    // Every element is tested before the database is opened.
    errCode = BuildFilterLists(jParams, true, categoryList, moduleList);
    if (errCode != WEBAPI_ERR_NONE) goto END;

    if (AVReportDBConnect(&pDBHandle) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to connect to database");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

    if (!FormatStatement(szDeleteStatement,
                         "DELETE FROM report WHERE class IN (%s) AND module IN (%s);",
                         categoryList.c_str(), moduleList.c_str()) ||
        TAVODBExecute(pDBHandle, szDeleteStatement, nullptr) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to exec '%s' to delete record", szDeleteStatement);
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

END:
    if (pDBHandle) AVReportDBClose(pDBHandle);
    Answer(_resp, errCode, jRetObj);
}

void LogHandler::Export() const {
    int errCode = WEBAPI_ERR_NONE;
    Json::Value jRetObj;
    Json::Value jParams;
    char szFilename[1024] = {0};
    time_t timep = 0;
    struct tm localTime {};
    DBConnect* pDBHandle = nullptr;
    DBResult* pResult = nullptr;
    DBRow dbRow = 0;
    int32_t iSerialCounter = 0;
    bool blHeaderWritten = false;

    CheckParam(jParams, errCode);
    if (errCode != WEBAPI_ERR_NONE) {
        TAVO_LOG(TAVO_LOG_ERR, "Bad parameters");
        goto END;
    }

    time(&timep);
    localtime_r(&timep, &localTime);
    snprintf(szFilename, sizeof szFilename, "AVLog_%d-%d-%d-%d:%d:%d", localTime.tm_year + 1900,
             localTime.tm_mon + 1, localTime.tm_mday, localTime.tm_hour, localTime.tm_min,
             localTime.tm_sec);

    // The header lines go out before the database is opened, so a failure
    // below still leaves them ahead of the host's error answer.
    printf("Content-Type:application/octet-stream\n");
    printf("Content-Disposition:attachment; filename=\"%s.txt\"\n", szFilename);
    printf("\n");
    blHeaderWritten = true;

    if (AVReportDBConnect(&pDBHandle) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "failed to connect to database");
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }
    if (TAVODBExecute(pDBHandle, SZ_EXPORT_QUERY, &pResult) != 0) {
        TAVO_LOG(TAVO_LOG_ERR, "Failed to exec %s", SZ_EXPORT_QUERY);
        errCode = WEBAPI_ERR_INTERNAL_ERROR;
        goto END;
    }

    _resp->SetEnableOutput(false);
    printf("%3s %-8s %-8s %-60s %s\r\n", "ID", "Category", "Module", "Event", "Date");
    {
        // Each row goes out as it is fetched: the export holds one row at a time.
        // Control bytes (a file name with a line break in an event) are
        // written as visible escapes, so every event stays on its own line;
        // the columns are padded by the escaped text.
        std::string sLogTime, sEventText, sModule, sClass;
        while (TAVODBFetchRow(pResult, &dbRow) == 0) {
            const char* szLogTime =
                VisibleText(TextOrEmpty(TAVODBFetchField(pResult, dbRow, "logTime")), sLogTime);
            const char* szEventText =
                VisibleText(TextOrEmpty(TAVODBFetchField(pResult, dbRow, "eventText")), sEventText);
            const char* szModule =
                VisibleText(TextOrEmpty(TAVODBFetchField(pResult, dbRow, "module")), sModule);
            const char* szClass =
                VisibleText(TextOrEmpty(TAVODBFetchField(pResult, dbRow, "class")), sClass);
            ++iSerialCounter;
            printf("%3d %-8s %-8s %-60s %s\r\n", iSerialCounter, szClass, szModule, szEventText,
                   szLogTime);
        }
    }

END:
    // Also after a failure: the header lines must precede the host's error answer.
    if (blHeaderWritten) fflush(stdout);

    if (pResult) TAVODBFreeResult(pResult);
    if (pDBHandle) AVReportDBClose(pDBHandle);
    // Answered also after SetEnableOutput(false): with output off a success writes nothing.
    Answer(_resp, errCode, jRetObj);
}

}  // namespace AntiVirus
}  // namespace TAVO
