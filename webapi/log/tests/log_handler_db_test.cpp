// LogHandler against the real database and service libraries on a temporary
// root: what the statements select and delete in SQLite, and what the
// export writes.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <stdarg.h>
#include <syslog.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "capture_stdout.h"
#include "log_handler.h"
#include "tavo/tavoav.h"
#include "tavo/tavoav_engine.h"
#include "temp_root.h"

using TAVO::APIRequest;
using TAVO::APIResponse;
using TAVO::AntiVirus::LogHandler;

// syslog capture of the handler's lines (the libraries log their own).
static std::vector<std::pair<int, std::string>> g_logs;
static void Capture(int priority, const char* format, va_list ap) {
    char buffer[8192];
    vsnprintf(buffer, sizeof buffer, format, ap);
    std::string text = buffer;
    if (text.rfind("log_handler.cpp:", 0) != 0) return;
    size_t blank = text.find(' ');
    if (blank != std::string::npos) text = text.substr(blank + 1);
    g_logs.emplace_back(priority & LOG_PRIMASK, text);
}
extern "C" void syslog(int priority, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    Capture(priority, format, ap);
    va_end(ap);
}
extern "C" void __syslog_chk(int priority, int, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    Capture(priority, format, ap);
    va_end(ap);
}
extern "C" void vsyslog(int priority, const char* format, va_list ap) {
    Capture(priority, format, ap);
}

namespace {

const char* const kReportDb = "/var/packages/AntiVirus-Zentrel/target/.report";

Json::Value Array(std::initializer_list<Json::Value> values) {
    Json::Value array(Json::arrayValue);
    for (const auto& v : values) array.append(v);
    return array;
}

class LogHandlerDbTest : public TempRootTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TempRootTest::SetUp());
        g_logs.clear();
    }

    // Creates the table through the service and fills it with the rows.
    struct Row {
        int id;
        const char* cls;
        const char* module;
        std::string text;
        const char* time;
    };
    void Seed(const std::vector<Row>& rows) {
        DBConnect* pConn = nullptr;
        ASSERT_EQ(AVReportDBConnect(&pConn), 0);
        AVReportDBClose(pConn);
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open((root_ + kReportDb).c_str(), &db), SQLITE_OK);
        for (const Row& r : rows) {
            sqlite3_stmt* stmt = nullptr;
            ASSERT_EQ(sqlite3_prepare_v2(db, "INSERT INTO report VALUES (?, ?, ?, ?, ?)", -1, &stmt,
                                         nullptr),
                      SQLITE_OK);
            sqlite3_bind_int(stmt, 1, r.id);
            sqlite3_bind_text(stmt, 2, r.cls, -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(stmt, 3, r.module, -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(stmt, 4, r.text.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(stmt, 5, r.time, -1, SQLITE_TRANSIENT);
            EXPECT_EQ(sqlite3_step(stmt), SQLITE_DONE);
            sqlite3_finalize(stmt);
        }
        sqlite3_close(db);
    }
    void SeedStandard() {
        Seed({{1, "info", "scan", "scan started", "2026-12-01 08:00:00"},
              {2, "warning", "scan", "threat found", "2026-12-01 08:05:00"},
              {3, "error", "update", "update failed", "2026-12-01 07:00:00"},
              {4, "info", "quarantine", "moved", "2026-12-01 09:00:00"},
              {5, "info", "scan", "scan finished", "2026-12-01 08:30:00"}});
    }
    // IDs left in the table, ascending.
    std::vector<int> Ids() {
        std::vector<int> ids;
        sqlite3* db = nullptr;
        sqlite3_open((root_ + kReportDb).c_str(), &db);
        sqlite3_stmt* stmt = nullptr;
        if (sqlite3_prepare_v2(db, "SELECT id FROM report ORDER BY id", -1, &stmt, nullptr) ==
            SQLITE_OK) {
            while (sqlite3_step(stmt) == SQLITE_ROW) ids.push_back(sqlite3_column_int(stmt, 0));
        }
        sqlite3_finalize(stmt);
        sqlite3_close(db);
        return ids;
    }

    APIResponse Run(const char* method, void (LogHandler::*member)() const,
                    const Json::Value& params) {
        APIRequest req(params);
        APIResponse resp;
        LogHandler handler(&req, &resp, method);
        (handler.*member)();
        EXPECT_EQ(resp.AnswerCount(), 1);
        return resp;
    }
    APIResponse Load(Json::Value categories, Json::Value modules, int start = 0, int limit = 100,
                     const char* sort = nullptr, const char* dir = nullptr) {
        Json::Value params(Json::objectValue);
        params["start"] = start;
        params["limit"] = limit;
        params["categories"] = std::move(categories);
        params["modules"] = std::move(modules);
        if (sort) params["sort"] = sort;
        if (dir) params["dir"] = dir;
        return Run("APILogLoad_v1", &LogHandler::Load, params);
    }
    APIResponse Delete(Json::Value data) {
        Json::Value params(Json::objectValue);
        params["data"] = std::move(data);
        return Run("APILogDelete_v1", &LogHandler::Delete, params);
    }
    APIResponse DeleteAdvanced(Json::Value categories, Json::Value modules) {
        Json::Value params(Json::objectValue);
        params["categories"] = std::move(categories);
        params["modules"] = std::move(modules);
        return Run("APILogDeleteAdvanced_v1", &LogHandler::DeleteAdvanced, params);
    }
    std::string Export(APIResponse& resp) {
        return CaptureStdout([&] {
            APIRequest req{Json::Value(Json::objectValue)};
            LogHandler handler(&req, &resp, "APILogExport_v1");
            handler.Export();
        });
    }

    static std::vector<std::string> PageIds(const APIResponse& resp) {
        std::vector<std::string> ids;
        for (const auto& record : resp.Data()["reportArray"])
            ids.push_back(record["ID"].asString());
        return ids;
    }
};

using Strings = std::vector<std::string>;
const Json::Value kAllCategories = Array({"info", "warning", "error"});
const Json::Value kAllModules = Array({"scan", "update", "quarantine", "config", "schedule"});

const char* const kHeading =
    " ID Category Module   Event                                                        Date\r\n";

std::string Body(const std::string& out) {
    size_t end = out.find("\n\n");
    return end == std::string::npos ? std::string("<no headers>") : out.substr(end + 2);
}

TEST_F(LogHandlerDbTest, LoadFiltersSortsAndPages) {
    SeedStandard();
    APIResponse resp = Load(Array({"info", "warning"}), Array({"scan"}));
    ASSERT_TRUE(resp.IsSuccess()) << resp.ToJson().toStyledString();
    EXPECT_EQ(PageIds(resp), (Strings{"5", "2", "1"}));
    EXPECT_EQ(resp.Data()["reportCount"], Json::Value(3));
    const Json::Value& first = resp.Data()["reportArray"][0];
    EXPECT_EQ(first["category"], Json::Value("info"));
    EXPECT_EQ(first["module"], Json::Value("scan"));
    EXPECT_EQ(first["eventContent"], Json::Value("scan finished"));
    EXPECT_EQ(first["date"], Json::Value("2026-12-01 08:30:00"));

    EXPECT_EQ(PageIds(Load(kAllCategories, kAllModules, 0, 100, nullptr, "asc")),
              (Strings{"5", "4", "3", "2", "1"}));
    EXPECT_EQ(PageIds(Load(kAllCategories, kAllModules, 0, 100, nullptr, "ASC")),
              (Strings{"1", "2", "3", "4", "5"}));
    EXPECT_EQ(PageIds(Load(kAllCategories, kAllModules, 0, 100, "date", "ASC")),
              (Strings{"3", "1", "2", "5", "4"}));
    EXPECT_EQ(PageIds(Load(kAllCategories, kAllModules, 0, 100, "logTime", "ASC")),
              (Strings{"1", "2", "3", "4", "5"}));
    EXPECT_EQ(PageIds(Load(kAllCategories, kAllModules, 0, 100, "eventContent", "ASC")),
              (Strings{"4", "5", "1", "2", "3"}));

    // Paging: rows 2 and 3 of the sorted set; the count is the whole set.
    resp = Load(kAllCategories, kAllModules, 1, 2);
    EXPECT_EQ(PageIds(resp), (Strings{"4", "3"}));
    EXPECT_EQ(resp.Data()["reportCount"], Json::Value(5));
    resp = Load(kAllCategories, kAllModules, 20, 10);
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["reportArray"], Json::Value(Json::arrayValue));
    EXPECT_EQ(resp.Data()["reportCount"], Json::Value(5));
    // A negative limit selects nothing; a negative start begins at the first row.
    resp = Load(kAllCategories, kAllModules, 0, -1);
    EXPECT_EQ(resp.Data()["reportArray"], Json::Value(Json::arrayValue));
    EXPECT_EQ(PageIds(Load(kAllCategories, kAllModules, -3, 2)), (Strings{"5", "4"}));

    // Empty lists are sent to the database, which matches nothing.
    resp = Load(Array({}), kAllModules);
    ASSERT_TRUE(resp.IsSuccess()) << resp.ToJson().toStyledString();
    EXPECT_EQ(resp.Data()["reportArray"], Json::Value(Json::arrayValue));
    EXPECT_EQ(resp.Data()["reportCount"], Json::Value(0));
    EXPECT_TRUE(g_logs.empty());
}

TEST_F(LogHandlerDbTest, ColumnsWithoutValueAreEmptyStrings) {
    Seed({});
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open((root_ + kReportDb).c_str(), &db), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(db, "INSERT INTO report (id, class, module) VALUES (3, 'info', 'scan')",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(db);

    APIResponse resp = Load(Array({"info"}), Array({"scan"}));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["reportArray"][0]["eventContent"], Json::Value(""));
    EXPECT_EQ(resp.Data()["reportArray"][0]["date"], Json::Value(""));

    APIResponse exported;
    std::string out = Export(exported);
    EXPECT_EQ(Body(out),
              std::string(kHeading) + "  1 info     scan     " + std::string(60, ' ') + " \r\n");
}

TEST_F(LogHandlerDbTest, LoadWithoutTableFailsTheQuery) {
    std::filesystem::create_directories(root_ + "/var/packages/AntiVirus-Zentrel/target");
    APIResponse resp = Load(kAllCategories, kAllModules);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(resp.Data().isNull());
    ASSERT_EQ(g_logs.size(), 1u);
    EXPECT_EQ(g_logs[0].first, 3);
    EXPECT_EQ(g_logs[0].second.rfind("Failed to", 0), 0u) << g_logs[0].second;
}

TEST_F(LogHandlerDbTest, DeleteByIdStopsAtElementK) {
    SeedStandard();
    EXPECT_TRUE(Delete(Array({"2", "4", "99"})).IsSuccess());
    EXPECT_EQ(Ids(), (std::vector<int>{1, 3, 5}));

    APIResponse resp = Delete(Array({"1", 3, "5"}));
    EXPECT_EQ(resp.ErrorCode(), 120);
    EXPECT_EQ(Ids(), (std::vector<int>{3, 5}));
}

TEST_F(LogHandlerDbTest, DeleteAdvancedByCategoryAndModule) {
    SeedStandard();
    EXPECT_TRUE(DeleteAdvanced(Array({"info", "error"}), Array({"scan"})).IsSuccess());
    EXPECT_EQ(Ids(), (std::vector<int>{2, 3, 4}));
    EXPECT_TRUE(DeleteAdvanced(Array({"info"}), Array({})).IsSuccess());
    EXPECT_EQ(Ids(), (std::vector<int>{2, 3, 4}));

    // A wrong module element: nothing deleted even though the categories match.
    APIResponse resp = DeleteAdvanced(Array({"warning", "error", "info"}), Array({"update", 5}));
    EXPECT_EQ(resp.ErrorCode(), 120);
    EXPECT_EQ(Ids(), (std::vector<int>{2, 3, 4}));
}

TEST_F(LogHandlerDbTest, NoValueChangesAStatement) {
    SeedStandard();
    const std::vector<int> all = {1, 2, 3, 4, 5};
    for (const char* value : {"\"", "info\" OR 1=1 OR \"", "'", ") OR 1=1 --", "class", "Module",
                              "ROWID", "oid", "_rowid_", "ID"}) {
        EXPECT_EQ(DeleteAdvanced(Array({value}), kAllModules).ErrorCode(), 120) << value;
        EXPECT_EQ(DeleteAdvanced(kAllCategories, Array({value})).ErrorCode(), 120) << value;
        EXPECT_EQ(Load(Array({value}), kAllModules).ErrorCode(), 120) << value;
    }
    for (const char* value :
         {"\"", "'", ") OR 1=1 --", "1 OR 1=1", "class", "ROWID", "5;", " 5", "0x5"}) {
        EXPECT_EQ(Delete(Array({value})).ErrorCode(), 120) << value;
    }
    EXPECT_EQ(Ids(), all);

    // A parenthesis alone is only text between double quotes: it matches
    // exactly the entry that carries that text.
    Seed({{6, "odd (x)", "scan", "odd", "2026-12-02 00:00:00"}});
    APIResponse resp = Load(Array({"odd (x)"}), kAllModules);
    EXPECT_EQ(PageIds(resp), Strings{"6"});
    EXPECT_TRUE(DeleteAdvanced(Array({"odd (x)"}), kAllModules).IsSuccess());
    EXPECT_EQ(Ids(), all);
}

TEST_F(LogHandlerDbTest, ExportNewestFirstWithSerialNumbers) {
    const std::string longText(64, 'L');
    Seed({{5, "info", "scan", "five", "2026-12-01 05:00:00"},
          {9, "warning", "quarantine", longText, "2026-12-01 09:00:00"},
          {7, "error", "update", "seven", "2026-12-01 07:00:00"}});
    APIResponse resp;
    const std::string out = Export(resp);
    EXPECT_EQ(out.rfind("Content-Type:application/octet-stream\nContent-Disposition:attachment; "
                        "filename=\"AVLog_",
                        0),
              0u);
    EXPECT_EQ(
        Body(out),
        std::string(kHeading) + "  1 warning  quarantine " + longText +
            " 2026-12-01 09:00:00\r\n"
            "  2 error    update   seven                                                        "
            "2026-12-01 07:00:00\r\n"
            "  3 info     scan     five                                                         "
            "2026-12-01 05:00:00\r\n");
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_FALSE(resp.OutputEnabled());
}

// A share user names a file so that its event would carry a second,
// made-up entry; the service stores the name as it is, and the export keeps
// it inside its own line.
TEST_F(LogHandlerDbTest, ExportKeepsAForgedFileNameOnItsOwnLine) {
    Seed({});
    const std::string name =
        "/volume1/a\r\n  1 info     config   Virus definitions updated                             "
        "       "
        "2026-12-01 10:00:00";
    ASSERT_EQ(AVReportWrite("warning", "scan", ("Virus found: " + name + " (Eicar)").c_str()), 0);
    ASSERT_EQ(AVReportWrite("info", "scan", "Scan finished"), 0);
    APIResponse resp;
    const std::string body = Body(Export(resp));
    ASSERT_TRUE(resp.IsSuccess());
    std::vector<std::string> lines;
    for (size_t start = 0, end; (end = body.find("\r\n", start)) != std::string::npos;
         start = end + 2)
        lines.push_back(body.substr(start, end - start));
    ASSERT_EQ(lines.size(), 3u) << body;
    EXPECT_EQ(lines[0] + "\r\n", kHeading);
    EXPECT_EQ(lines[1].rfind("  1 info     scan     Scan finished ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind(
                  "  2 warning  scan     Virus found: /volume1/a\\r\\n  1 info     config   Virus "
                  "definitions updated",
                  0),
              0u)
        << lines[2];
    EXPECT_EQ(body.find('\n'), body.find("\r\n") + 1);
    for (const std::string& line : lines)
        EXPECT_EQ(line.find_first_of("\r\n"), std::string::npos) << line;
    // The stored event is unchanged.
    APIResponse page = Load(kAllCategories, kAllModules);
    EXPECT_EQ(page.Data()["reportArray"][1]["eventContent"].asString(),
              "Virus found: " + name + " (Eicar)");
}

TEST_F(LogHandlerDbTest, ExportEmptyTableAndFailedConnection) {
    Seed({});
    APIResponse resp;
    EXPECT_EQ(Body(Export(resp)), kHeading);
    EXPECT_TRUE(resp.IsSuccess());

    // The package folder is a file: the database cannot be opened.
    std::filesystem::remove_all(root_ + "/var/packages/AntiVirus-Zentrel");
    std::ofstream(root_ + "/var/packages/AntiVirus-Zentrel") << "not a folder";
    APIResponse failed;
    const std::string out = Export(failed);
    EXPECT_EQ(Body(out), "");
    EXPECT_EQ(out.rfind("Content-Type:application/octet-stream\n", 0), 0u);
    EXPECT_EQ(failed.ErrorCode(), 117);
    EXPECT_TRUE(failed.OutputEnabled());
    ASSERT_EQ(g_logs.size(), 1u);
    EXPECT_EQ(g_logs[0], (std::pair<int, std::string>{3, "failed to connect to database"}));
}

}  // namespace
