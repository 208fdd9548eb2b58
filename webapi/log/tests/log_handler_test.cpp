// LogHandler against the platform fakes: statements sent, codes, log lines,
// result objects, releases, and the export's bytes on standard output.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "capture_stdout.h"
#include "fake.h"
#include "log_handler.h"
#include "tavo/visible_text.h"

using fake::LogLine;
using TAVO::APIRequest;
using TAVO::APIResponse;
using TAVO::AntiVirus::LogHandler;

void APILogLoad_v1(APIRequest*, APIResponse*);
void APILogDelete_v1(APIRequest*, APIResponse*);
void APILogDeleteAdvanced_v1(APIRequest*, APIResponse*);
void APILogExport_v1(APIRequest*, APIResponse*);

// A fixed clock for the export's file name; the real one while unset.
static time_t g_fixedNow = 0;
extern "C" time_t time(time_t* pOut) {
    time_t now = g_fixedNow;
    if (now == 0) {
        struct timespec ts {};
        clock_gettime(CLOCK_REALTIME, &ts);
        now = ts.tv_sec;
    }
    if (pOut) *pOut = now;
    return now;
}

namespace {

const char* const kReportDb = "/var/packages/AntiVirus-Zentrel/target/.report";
const std::vector<std::string> kColumns = {"id", "class", "module", "eventText", "logTime"};

Json::Value Array(std::initializer_list<Json::Value> values) {
    Json::Value array(Json::arrayValue);
    for (const auto& v : values) array.append(v);
    return array;
}

Json::Value LoadParams(Json::Value categories = Array({"info"}),
                       Json::Value modules = Array({"scan"})) {
    Json::Value params(Json::objectValue);
    params["start"] = 0;
    params["limit"] = 50;
    params["modules"] = modules;
    params["categories"] = categories;
    return params;
}

fake::FakeRows Rows(std::vector<std::vector<std::string>> rows) {
    return fake::FakeRows{kColumns, rows};
}
fake::FakeRows Total(const std::string& total) { return fake::FakeRows{{"TOTAL"}, {{total}}}; }

class LogHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        g_fixedNow = 0;
    }
    void TearDown() override {
        EXPECT_EQ(fake::W().liveDBConns, 0) << "a connection was not closed";
        EXPECT_EQ(fake::W().liveDBResults, 0) << "a result set was not freed";
        EXPECT_TRUE(fake::AllLogsFrom("log_handler.cpp"));
    }

    APIResponse Run(const char* method, void (LogHandler::*member)() const,
                    Json::Value params = Json::Value(Json::objectValue)) {
        APIRequest req(params);
        APIResponse resp;
        LogHandler handler(&req, &resp, method);
        (handler.*member)();
        EXPECT_EQ(resp.AnswerCount(), 1) << "every request answers exactly once";
        return resp;
    }
    APIResponse Load(Json::Value params) { return Run("APILogLoad_v1", &LogHandler::Load, params); }
    APIResponse Delete(Json::Value data) {
        Json::Value params(Json::objectValue);
        params["data"] = data;
        return Run("APILogDelete_v1", &LogHandler::Delete, params);
    }
    APIResponse DeleteAdvanced(Json::Value categories, Json::Value modules) {
        Json::Value params(Json::objectValue);
        params["categories"] = categories;
        params["modules"] = modules;
        return Run("APILogDeleteAdvanced_v1", &LogHandler::DeleteAdvanced, params);
    }
    std::string Export(APIResponse& resp, const char* method = "APILogExport_v1") {
        return CaptureStdout([&] {
            APIRequest req(Json::Value(Json::objectValue));
            LogHandler handler(&req, &resp, method);
            handler.Export();
        });
    }
};

std::vector<LogLine> Errors(std::initializer_list<const char*> texts) {
    std::vector<LogLine> out;
    for (const char* t : texts) out.push_back({3, t});
    return out;
}

// --- load ------------------------------------------------------------------

TEST_F(LogHandlerTest, LoadSendsPageAndCountAndAnswersStringRecords) {
    fake::W().results = {Rows({{"9", "error", "scan", "found a virus", "2026-12-01 10:00:00"},
                               {"7", "info", "scan", "", "2026-12-01 09:00:00"}}),
                         Total("  +42x")};
    Json::Value params = LoadParams(Array({"info", "error"}), Array({"scan"}));
    params["start"] = 20;
    params["limit"] = 10;
    APIResponse resp = Load(params);

    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(fake::Args("TAVODBConnect"), std::vector<std::string>{kReportDb});
    EXPECT_EQ(
        fake::W().sql,
        (std::vector<std::string>{
            "SELECT * FROM report WHERE class IN (\"info\",\"error\") AND module IN (\"scan\") "
            "ORDER BY ID DESC",
            "SELECT COUNT(*) as TOTAL FROM report WHERE class IN (\"info\",\"error\") AND "
            "module IN (\"scan\")"}));
    EXPECT_EQ(fake::W().selectLimits, (std::vector<std::pair<int, int>>{{10, 20}}));

    const Json::Value& data = resp.Data();
    EXPECT_EQ(data["reportCount"], Json::Value(42));
    ASSERT_EQ(data["reportArray"].size(), 2u);
    const Json::Value& first = data["reportArray"][0];
    EXPECT_EQ(first["ID"], Json::Value("9"));
    EXPECT_EQ(first["category"], Json::Value("error"));
    EXPECT_EQ(first["module"], Json::Value("scan"));
    EXPECT_EQ(first["eventContent"], Json::Value("found a virus"));
    EXPECT_EQ(first["date"], Json::Value("2026-12-01 10:00:00"));
    EXPECT_EQ(first.size(), 5u);
    EXPECT_EQ(data["reportArray"][1]["eventContent"], Json::Value(""));
    EXPECT_TRUE(fake::Logs().empty());
    // Results freed page first, then the count, then the connection closed.
    const auto& calls = fake::Calls();
    std::vector<std::string> tail(calls.end() - 3, calls.end());
    EXPECT_EQ(tail,
              (std::vector<std::string>{"TAVODBFreeResult", "TAVODBFreeResult", "TAVODBClose"}));
}

TEST_F(LogHandlerTest, LoadSortAndDirectionRules) {
    struct Case {
        const char* sort;
        const char* dir;
        const char* orderBy;
    } cases[] = {
        {nullptr, nullptr, "ID DESC"},      {nullptr, "asc", "ID DESC"},
        {nullptr, "ASC", "ID ASC"},         {nullptr, "DESC", "ID DESC"},
        {"date", nullptr, "logTime DESC"},  {"logTime", "ASC", "ID ASC"},
        {"ID", nullptr, "id DESC"},         {"category", "ASC", "class ASC"},
        {"module", nullptr, "module DESC"}, {"eventContent", nullptr, "eventText DESC"},
        {"Date", nullptr, "ID DESC"},       {"id; DROP TABLE report", nullptr, "ID DESC"},
    };
    for (const Case& c : cases) {
        fake::Reset();
        Json::Value params = LoadParams();
        if (c.sort) params["sort"] = c.sort;
        if (c.dir) params["dir"] = c.dir;
        fake::W().results = {Rows({}), Total("0")};
        APIResponse resp = Load(params);
        EXPECT_TRUE(resp.IsSuccess());
        ASSERT_FALSE(fake::W().sql.empty());
        EXPECT_EQ(fake::W().sql[0], std::string("SELECT * FROM report WHERE class IN (\"info\") "
                                                "AND module IN (\"scan\") ORDER BY ") +
                                        c.orderBy)
            << (c.sort ? c.sort : "-") << " " << (c.dir ? c.dir : "-");
    }
}

TEST_F(LogHandlerTest, LoadEmptyListsAreSentAndPagePastEndKeepsCount) {
    fake::W().results = {Rows({}), Total("17")};
    APIResponse resp = Load(LoadParams(Array({}), Array({})));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(fake::W().sql[0],
              "SELECT * FROM report WHERE class IN () AND module IN () ORDER BY ID DESC");
    EXPECT_EQ(fake::W().sql[1],
              "SELECT COUNT(*) as TOTAL FROM report WHERE class IN () AND module IN ()");
    EXPECT_EQ(resp.Data()["reportArray"], Json::Value(Json::arrayValue));
    EXPECT_EQ(resp.Data()["reportCount"], Json::Value(17));
}

TEST_F(LogHandlerTest, LoadParameterRefusals) {
    struct Case {
        const char* drop;   // parameter removed
        const char* name;   // parameter replaced...
        Json::Value value;  // ...by this
        std::vector<LogLine> logs;
    } cases[] = {
        {"start",
         nullptr,
         {},
         Errors({"The required parameter [start] is not found or its type is incorrect.",
                 "Bad parameters"})},
        {nullptr, "limit", "10",
         Errors({"The required parameter [limit] is not found or its type is incorrect.",
                 "Bad parameters"})},
        {"modules",
         nullptr,
         {},
         Errors({"The required parameter [modules] is not found or its type is incorrect.",
                 "Bad parameters"})},
        {nullptr, "categories", "info",
         Errors({"The required parameter [categories] is not found or its type is incorrect.",
                 "Bad parameters"})},
        {nullptr, "sort", 1,
         Errors({"The type of the paramter [sort] is incorrect.", "Bad parameters"})},
        {nullptr, "dir", Array({"ASC"}),
         Errors({"The type of the paramter [dir] is incorrect.", "Bad parameters"})},
    };
    for (const Case& c : cases) {
        fake::Reset();
        Json::Value params = LoadParams();
        if (c.drop) params.removeMember(c.drop);
        if (c.name) params[c.name] = c.value;
        APIResponse resp = Load(params);
        EXPECT_EQ(resp.ErrorCode(), 114);
        EXPECT_TRUE(resp.Data().isNull());
        EXPECT_EQ(fake::Messages(), c.logs);
        EXPECT_TRUE(fake::Calls().empty()) << "nothing is called before the parameters pass";
    }
}

TEST_F(LogHandlerTest, LoadRefusesContentBeforeOpeningTheDatabase) {
    struct Case {
        Json::Value params;
        const char* message;
    };
    auto withStart = [](Json::Value v) {
        Json::Value p = LoadParams();
        p["start"] = v;
        return p;
    };
    auto withLimit = [](Json::Value v) {
        Json::Value p = LoadParams();
        p["limit"] = v;
        return p;
    };
    const Case cases[] = {
        {LoadParams(Array({"info", 3})), "wrong data type for loading logs"},
        {LoadParams(Array({"info"}), Array({"scan", Json::Value(Json::nullValue)})),
         "wrong data type for loading logs"},
        {withStart(Json::Value(Json::Int64(2147483648LL))),
         "start or limit out of range for loading logs"},
        {withLimit(Json::Value(Json::Int64(-2147483649LL))),
         "start or limit out of range for loading logs"},
        {withLimit(Json::Value(Json::UInt64(18446744073709551615ULL))),
         "start or limit out of range for loading logs"},
        {LoadParams(Array({"a\"b"})), "invalid category or module for loading logs"},
        {LoadParams(Array({"info\") OR 1=1 --"})), "invalid category or module for loading logs"},
        {LoadParams(Array({"class"})), "invalid category or module for loading logs"},
        {LoadParams(Array({"info"}), Array({"Module"})),
         "invalid category or module for loading logs"},
        {LoadParams(Array({"info"}), Array({"ROWID"})),
         "invalid category or module for loading logs"},
        {LoadParams(Array({"EVENTTEXT"})), "invalid category or module for loading logs"},
        {LoadParams(Array({"oid"})), "invalid category or module for loading logs"},
        {LoadParams(Array({"_RowId_"})), "invalid category or module for loading logs"},
        {LoadParams(Array({"Id"})), "invalid category or module for loading logs"},
        {LoadParams(Array({std::string("info\0x", 6)})),
         "invalid category or module for loading logs"},
    };
    for (const Case& c : cases) {
        fake::Reset();
        APIResponse resp = Load(c.params);
        EXPECT_EQ(resp.ErrorCode(), 120) << c.params.toStyledString();
        EXPECT_TRUE(resp.Data().isNull());
        EXPECT_EQ(fake::Messages(), Errors({c.message})) << c.params.toStyledString();
        EXPECT_FALSE(fake::Called("TAVODBConnect"));
    }
}

TEST_F(LogHandlerTest, LoadAcceptsTheInt32Limits) {
    Json::Value params = LoadParams();
    params["start"] = Json::Value(Json::Int64(2147483647LL));
    params["limit"] = Json::Value(Json::Int64(-2147483648LL));
    fake::W().results = {Rows({}), Total("0")};
    EXPECT_TRUE(Load(params).IsSuccess());
    EXPECT_EQ(fake::W().selectLimits,
              (std::vector<std::pair<int, int>>{{-2147483648, 2147483647}}));
}

TEST_F(LogHandlerTest, LoadRefusesSqlPunctuationButKeepsPlainWords) {
    for (const char* value : {"'", ") OR 1=1 --", "info;", "a/*b", "tab\there"}) {
        fake::Reset();
        EXPECT_EQ(Load(LoadParams(Array({value}), Array({"scan"}))).ErrorCode(), 120) << value;
        EXPECT_FALSE(fake::Called("TAVODBConnect")) << value;
    }
    fake::Reset();
    fake::W().results = {Rows({}), Total("0")};
    APIResponse resp = Load(LoadParams(Array({"Virus found (heuristic)", "a-b"}), Array({"scan"})));
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_EQ(fake::W().sql[0],
              "SELECT * FROM report WHERE class IN (\"Virus found (heuristic)\",\"a-b\") AND "
              "module IN (\"scan\") "
              "ORDER BY ID DESC");
}

TEST_F(LogHandlerTest, LoadFailureRowsCarryTheirResultObject) {
    const std::string page =
        "SELECT * FROM report WHERE class IN (\"info\") AND module IN (\"scan\") ORDER BY ID DESC";
    const std::string count =
        "SELECT COUNT(*) as TOTAL FROM report WHERE class IN (\"info\") AND module IN (\"scan\")";
    const Json::Value oneRow = [] {
        Json::Value array(Json::arrayValue);
        Json::Value record(Json::objectValue);
        record["ID"] = "3";
        record["category"] = "info";
        record["module"] = "scan";
        record["eventContent"] = "done";
        record["date"] = "2026-12-01";
        array.append(record);
        return array;
    }();

    // Connection refused.
    fake::FailWith("TAVODBConnect", -1);
    APIResponse resp = Load(LoadParams());
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(fake::Messages(),
              Errors({"Failed to connect /var/packages/AntiVirus-Zentrel/target/.report"}));

    // Page statement fails.
    fake::Reset();
    fake::FailWith("TAVODBSelectLimit", -1);
    resp = Load(LoadParams());
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(fake::Messages(), Errors({("Failed to query database, SQL=" + page).c_str()}));
    EXPECT_EQ(fake::CallCount("TAVODBClose"), 1);

    // Count statement fails: the page is already in the result.
    fake::Reset();
    fake::W().results = {Rows({{"3", "info", "scan", "done", "2026-12-01"}})};
    fake::FailWith("TAVODBExecute", -1);
    resp = Load(LoadParams());
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_EQ(resp.Data()["reportArray"], oneRow);
    EXPECT_FALSE(resp.Data().isMember("reportCount"));
    EXPECT_EQ(fake::Messages(), Errors({("Failed to exec " + count).c_str()}));

    // Count row missing: no log line.
    fake::Reset();
    fake::W().results = {Rows({{"3", "info", "scan", "done", "2026-12-01"}}),
                         fake::FakeRows{{"TOTAL"}, {}}};
    resp = Load(LoadParams());
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_EQ(resp.Data()["reportArray"], oneRow);
    EXPECT_FALSE(resp.Data().isMember("reportCount"));
    EXPECT_TRUE(fake::Logs().empty());
    EXPECT_EQ(fake::CallCount("TAVODBFreeResult"), 2);
}

TEST_F(LogHandlerTest, LoadNeverSendsACutStatement) {
    Json::Value categories(Json::arrayValue);
    for (int i = 0; i < 60; ++i) categories.append("category-name-" + std::to_string(i));
    APIResponse resp = Load(LoadParams(categories));
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(fake::W().sql.empty()) << "a cut statement reached the database";
    ASSERT_EQ(fake::Messages().size(), 1u);
    const std::string text = fake::Messages()[0].text;
    const std::string prefix = "Failed to query database, SQL=";
    ASSERT_EQ(text.compare(0, prefix.size(), prefix), 0);
    EXPECT_EQ(text.size(), prefix.size() + 1023);
    EXPECT_EQ(fake::CallCount("TAVODBClose"), 1);
}

TEST_F(LogHandlerTest, UnknownMethodAnswers103) {
    APIResponse resp = Run("APILogLoad_v2", &LogHandler::Load, LoadParams());
    EXPECT_EQ(resp.ErrorCode(), 103);
    EXPECT_EQ(fake::Messages(), Errors({"Unknown method: APILogLoad_v2", "Bad parameters"}));
    EXPECT_TRUE(fake::Calls().empty());
}

// --- delete ----------------------------------------------------------------

TEST_F(LogHandlerTest, DeleteRunsOneStatementPerIdInOrder) {
    APIResponse resp = Delete(Array({"12", "15"}));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(fake::W().sql, (std::vector<std::string>{"DELETE FROM report WHERE ID=12;",
                                                       "DELETE FROM report WHERE ID=15;"}));
    EXPECT_EQ(fake::Calls(), (std::vector<std::string>{"AVReportDBConnect", "TAVODBExecute",
                                                       "TAVODBExecute", "AVReportDBClose"}));
}

TEST_F(LogHandlerTest, DeleteEmptyListOpensAndCloses) {
    EXPECT_TRUE(Delete(Array({})).IsSuccess());
    EXPECT_EQ(fake::Calls(), (std::vector<std::string>{"AVReportDBConnect", "AVReportDBClose"}));
}

TEST_F(LogHandlerTest, DeleteStopsAtElementK) {
    struct Case {
        Json::Value data;
        int code;
        const char* message;
        size_t statements;
    } cases[] = {
        {Array({"12", 15, "16"}), 120, "wrong data type for deleting logs", 1},
        {Array({"12", "1 OR 1=1", "16"}), 120, "invalid record ID for deleting logs", 1},
        {Array({"12", "13", "'"}), 120, "invalid record ID for deleting logs", 2},
        {Array({") OR 1=1 --"}), 120, "invalid record ID for deleting logs", 0},
        {Array({"\""}), 120, "invalid record ID for deleting logs", 0},
        {Array({"12", ""}), 120, "invalid record ID for deleting logs", 1},
        {Array({"-1"}), 120, "invalid record ID for deleting logs", 0},
        {Array({"ID"}), 120, "invalid record ID for deleting logs", 0},
    };
    for (const Case& c : cases) {
        fake::Reset();
        APIResponse resp = Delete(c.data);
        EXPECT_EQ(resp.ErrorCode(), c.code) << c.data.toStyledString();
        EXPECT_TRUE(resp.Data().isNull());
        EXPECT_EQ(fake::Messages(), Errors({c.message})) << c.data.toStyledString();
        EXPECT_EQ(fake::W().sql.size(), c.statements) << c.data.toStyledString();
        EXPECT_EQ(fake::CallCount("AVReportDBClose"), 1);
    }

    // A failed statement stops the loop; later IDs are not tried.
    fake::Reset();
    fake::FailNth("TAVODBExecute", 2, -1);
    APIResponse resp = Delete(Array({"12", "15", "16"}));
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_EQ(fake::W().sql, (std::vector<std::string>{"DELETE FROM report WHERE ID=12;",
                                                       "DELETE FROM report WHERE ID=15;"}));
    EXPECT_EQ(fake::Messages(),
              Errors({"error executing SQL command:DELETE FROM report WHERE ID=15;"}));
    EXPECT_EQ(fake::CallCount("AVReportDBClose"), 1);
}

TEST_F(LogHandlerTest, DeleteRefusalsBeforeAndAtConnect) {
    APIResponse resp = Run("APILogDelete_v1", &LogHandler::Delete, Json::Value(Json::objectValue));
    EXPECT_EQ(resp.ErrorCode(), 114);
    EXPECT_EQ(fake::Messages(),
              Errors({"The required parameter [data] is not found or its type is incorrect.",
                      "Bad parameters"}));
    EXPECT_TRUE(fake::Calls().empty());

    fake::Reset();
    fake::FailWith("AVReportDBConnect", -1);
    resp = Delete(Array({"12"}));
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(fake::Messages(), Errors({"failed to connect to database"}));
    EXPECT_TRUE(fake::W().sql.empty());
    EXPECT_FALSE(fake::Called("AVReportDBClose"));
}

TEST_F(LogHandlerTest, DeleteNeverSendsACutStatement) {
    const std::string longId(1100, '7');
    APIResponse resp = Delete(Array({"12", longId.c_str()}));
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_EQ(fake::W().sql, std::vector<std::string>{"DELETE FROM report WHERE ID=12;"});
    const std::string cut = ("DELETE FROM report WHERE ID=" + longId).substr(0, 1023);
    EXPECT_EQ(fake::Messages(), Errors({("error executing SQL command:" + cut).c_str()}));
}

// --- delete_advanced ---------------------------------------------------------

TEST_F(LogHandlerTest, DeleteAdvancedRunsOneStatement) {
    APIResponse resp = DeleteAdvanced(Array({"info", "error"}), Array({"scan"}));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(
        fake::W().sql,
        std::vector<std::string>{
            "DELETE FROM report WHERE class IN (\"info\",\"error\") AND module IN (\"scan\");"});
    EXPECT_EQ(fake::Calls(),
              (std::vector<std::string>{"AVReportDBConnect", "TAVODBExecute", "AVReportDBClose"}));

    fake::Reset();
    EXPECT_TRUE(DeleteAdvanced(Array({"info"}), Array({})).IsSuccess());
    EXPECT_EQ(fake::W().sql, std::vector<std::string>{
                                 "DELETE FROM report WHERE class IN (\"info\") AND module IN ();"});
}

TEST_F(LogHandlerTest, DeleteAdvancedTestsEveryElementBeforeOpening) {
    struct Case {
        Json::Value categories;
        Json::Value modules;
        const char* message;
    } cases[] = {
        {Array({"info"}), Array({"scan", 2}), "wrong data type for deleting logs"},
        {Array({true}), Array({"scan"}), "wrong data type for deleting logs"},
        // Categories are tested first: their refusal wins over the modules' one.
        {Array({"info", "class"}), Array({7}), "invalid category or module for deleting logs"},
        {Array({"info", 7}), Array({"ROWID"}), "wrong data type for deleting logs"},
        {Array({"\""}), Array({"scan"}), "invalid category or module for deleting logs"},
        {Array({"info"}), Array({"Module"}), "invalid category or module for deleting logs"},
        {Array({"info"}), Array({"scan\") OR 1=1 --"}),
         "invalid category or module for deleting logs"},
    };
    for (const Case& c : cases) {
        fake::Reset();
        APIResponse resp = DeleteAdvanced(c.categories, c.modules);
        EXPECT_EQ(resp.ErrorCode(), 120);
        EXPECT_TRUE(resp.Data().isNull());
        EXPECT_EQ(fake::Messages(), Errors({c.message}));
        EXPECT_TRUE(fake::Calls().empty()) << "the database was opened";
    }
}

TEST_F(LogHandlerTest, DeleteAdvancedFailures) {
    APIResponse resp =
        Run("APILogDeleteAdvanced_v1", &LogHandler::DeleteAdvanced, Json::Value(Json::objectValue));
    EXPECT_EQ(resp.ErrorCode(), 114);
    EXPECT_EQ(fake::Messages(),
              Errors({"The required parameter [modules] is not found or its type is incorrect.",
                      "Bad parameters"}));

    fake::Reset();
    fake::FailWith("AVReportDBConnect", -1);
    resp = DeleteAdvanced(Array({"info"}), Array({"scan"}));
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), Errors({"failed to connect to database"}));
    EXPECT_FALSE(fake::Called("AVReportDBClose"));

    fake::Reset();
    fake::FailWith("TAVODBExecute", -1);
    resp = DeleteAdvanced(Array({"info"}), Array({"scan"}));
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(fake::Messages(), Errors({"failed to exec 'DELETE FROM report WHERE class IN "
                                        "(\"info\") AND module IN (\"scan\");' "
                                        "to delete record"}));
    EXPECT_EQ(fake::CallCount("AVReportDBClose"), 1);

    // Too long for the buffer: not sent, failed like the statement.
    fake::Reset();
    Json::Value categories(Json::arrayValue);
    for (int i = 0; i < 60; ++i) categories.append("category-name-" + std::to_string(i));
    resp = DeleteAdvanced(categories, Array({"scan"}));
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(fake::W().sql.empty());
    ASSERT_EQ(fake::Messages().size(), 1u);
    const std::string text = fake::Messages()[0].text;
    EXPECT_EQ(text.size(), std::string("failed to exec '' to delete record").size() + 1023);
    EXPECT_EQ(fake::CallCount("AVReportDBClose"), 1);
}

// --- export ----------------------------------------------------------------

const char* const kHeading =
    " ID Category Module   Event                                                        Date\r\n";

TEST_F(LogHandlerTest, ExportWritesHeadersHeadingAndNumberedRows) {
    setenv("TZ", "UTC", 1);
    tzset();
    struct tm when {};
    when.tm_year = 2026 - 1900;
    when.tm_mon = 2;
    when.tm_mday = 3;
    when.tm_hour = 9;
    when.tm_min = 5;
    when.tm_sec = 7;
    g_fixedNow = timegm(&when);
    fake::W().results = {Rows({{"9", "error", "scan", "virus found", "2026-03-03 09:00:09"},
                               {"7", "info", "update", "updated", "2026-03-03 09:00:07"},
                               {"5", "warning", "quarantine", "kept", "2026-03-03 09:00:05"}})};
    APIResponse resp;
    const std::string out = Export(resp);

    const std::string expected =
        "Content-Type:application/octet-stream\n"
        "Content-Disposition:attachment; filename=\"AVLog_2026-3-3-9:5:7.txt\"\n"
        "\n" +
        std::string(kHeading) +
        "  1 error    scan     virus found                                                  "
        "2026-03-03 09:00:09\r\n"
        "  2 info     update   updated                                                      "
        "2026-03-03 09:00:07\r\n"
        "  3 warning  quarantine kept                                                         "
        "2026-03-03 09:00:05\r\n";
    EXPECT_EQ(out, expected);
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.AnswerCount(), 1);
    EXPECT_FALSE(resp.OutputEnabled());
    EXPECT_EQ(fake::W().sql, std::vector<std::string>{"SELECT * FROM report ORDER BY id DESC"});
    EXPECT_EQ(
        fake::Args("TAVODBFetchField"),
        (std::vector<std::string>{"logTime", "eventText", "module", "class", "logTime", "eventText",
                                  "module", "class", "logTime", "eventText", "module", "class"}));
    const auto& calls = fake::Calls();
    std::vector<std::string> tail(calls.end() - 2, calls.end());
    EXPECT_EQ(tail, (std::vector<std::string>{"TAVODBFreeResult", "AVReportDBClose"}));
    unsetenv("TZ");
    tzset();
}

TEST_F(LogHandlerTest, ExportEmptyTableAndLongText) {
    APIResponse resp;
    std::string out = Export(resp);
    size_t body = out.find("\n\n");
    ASSERT_NE(body, std::string::npos);
    EXPECT_EQ(out.substr(body + 2), kHeading);
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_FALSE(resp.OutputEnabled());

    fake::Reset();
    const std::string longText(75, 'x');
    fake::W().results = {Rows({{"1", "info", "scan", longText, "2026-12-01 10:00:00"}})};
    APIResponse resp2;
    out = Export(resp2);
    EXPECT_EQ(out.substr(out.find("\n\n") + 2), std::string(kHeading) + "  1 info     scan     " +
                                                    longText + " 2026-12-01 10:00:00\r\n");
}

TEST_F(LogHandlerTest, ExportFailuresLeaveOnlyTheHeaderLines) {
    fake::FailWith("AVReportDBConnect", -1);
    APIResponse resp;
    std::string out = Export(resp);
    EXPECT_EQ(out.substr(0, out.find("\n") + 1), "Content-Type:application/octet-stream\n");
    EXPECT_EQ(out.size(), out.find("\n\n") + 2) << "only the header lines and the empty line";
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_TRUE(resp.OutputEnabled());
    EXPECT_EQ(fake::Messages(), Errors({"failed to connect to database"}));
    EXPECT_FALSE(fake::Called("AVReportDBClose"));

    fake::Reset();
    fake::FailWith("TAVODBExecute", -1);
    APIResponse resp2;
    out = Export(resp2);
    EXPECT_EQ(out.size(), out.find("\n\n") + 2);
    EXPECT_EQ(resp2.ErrorCode(), 117);
    EXPECT_TRUE(resp2.OutputEnabled());
    EXPECT_EQ(fake::Messages(), Errors({"Failed to exec SELECT * FROM report ORDER BY id DESC"}));
    EXPECT_EQ(fake::CallCount("AVReportDBClose"), 1);

    // Refused by CheckParam: nothing written at all.
    fake::Reset();
    APIResponse resp3;
    out = Export(resp3, "APILogExport_v2");
    EXPECT_EQ(out, "");
    EXPECT_EQ(resp3.ErrorCode(), 103);
    EXPECT_TRUE(fake::Calls().empty());
}

// A file named with a line break and a well-formed entry after it: the
// export must show it inside its own event, never as an entry of its own.
TEST_F(LogHandlerTest, ExportWritesControlBytesAsVisibleEscapes) {
    const std::string forged =
        "Virus found: /volume1/a\r\n  2 info     config   White list cleared                       "
        "                    "
        "2026-12-01 10:00:00 (Eicar)";
    fake::W().results = {Rows({{"3", "warning", "scan", forged, "2026-12-01 10:00:01"},
                               {"2", "info\t",
                                "s\x1b"
                                "an",
                                "tab\there\x7f, bell\a, back\\slash", "2026\n"},
                               {"1", "info", "scan", "plain", "2026-12-01 09:00:00"}})};
    APIResponse resp;
    const std::string out = Export(resp);
    const std::string body = out.substr(out.find("\n\n") + 2);
    EXPECT_EQ(
        body,
        std::string(kHeading) +
            "  1 warning  scan     Virus found: /volume1/a\\r\\n  2 info     config   White list "
            "cleared"
            "                                           2026-12-01 10:00:00 (Eicar) 2026-12-01 "
            "10:00:01\r\n"
            // Padded by the escaped text: "info\\t" is six characters wide, "s\\x1ban"
            // seven, the event 35.
            "  2 info\\t   s\\x1ban  tab\\there\\x7f, bell\\x07, back\\slash" +
            std::string(25, ' ') +
            " 2026\\n\r\n"
            "  3 info     scan     plain                                                        "
            "2026-12-01 09:00:00\r\n");
    // One line per event: the only line ends are the export's own.
    size_t lines = 0;
    for (size_t at = body.find("\r\n"); at != std::string::npos; at = body.find("\r\n", at + 2))
        ++lines;
    EXPECT_EQ(lines, 4u);
    EXPECT_EQ(std::count(body.begin(), body.end(), '\n'), 4);
    EXPECT_EQ(std::count(body.begin(), body.end(), '\r'), 4);
    EXPECT_TRUE(resp.IsSuccess());
}

TEST(VisibleText, EscapesOnlyControlBytes) {
    std::string buffer;
    const char* szPlain = "/volume1/\xc3\xa4 \"x\" \\n";
    EXPECT_EQ(TAVO::VisibleText(szPlain, buffer), szPlain) << "nothing to escape: the text itself";
    EXPECT_STREQ(TAVO::VisibleText("", buffer), "");
    EXPECT_STREQ(TAVO::VisibleText("a\rb\nc\td", buffer), "a\\rb\\nc\\td");
    EXPECT_STREQ(TAVO::VisibleText("\x01\x1f\x7f\x80\xff", buffer), "\\x01\\x1f\\x7f\x80\xff");
    EXPECT_STREQ(TAVO::VisibleText("\x1b[31mred", buffer), "\\x1b[31mred");
    EXPECT_STREQ(TAVO::VisibleText("\n", buffer), "\\n");
}

TEST(LogApiTable, EntriesInOrderAndTerminated) {
    const TAVO::API_TABLE* table = GetAPITable();
    ASSERT_EQ(table, GetAPITable());
    const char* const methods[] = {"load", "delete", "delete_advanced", "export"};
    const TAVO::APIFunc entries[] = {APILogLoad_v1, APILogDelete_v1, APILogDeleteAdvanced_v1,
                                     APILogExport_v1};
    for (int i = 0; i < 4; ++i) {
        EXPECT_STREQ(table[i].szAPI, "TAVO.AntiVirus.Log");
        EXPECT_EQ(table[i].iVersion, 1);
        EXPECT_STREQ(table[i].szMethod, methods[i]);
        EXPECT_EQ(table[i].api, entries[i]);
    }
    EXPECT_EQ(table[4].szAPI, nullptr);
    EXPECT_EQ(table[4].iVersion, 0);
    EXPECT_EQ(table[4].szMethod, nullptr);
    EXPECT_EQ(table[4].api, nullptr);
}

}  // namespace
