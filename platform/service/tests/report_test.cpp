// The report database: schema, both ways of opening it, event writing with
// bound values, and the index behind the Log plug-in's filter.
#include <sqlite3.h>

#include <regex>
#include <thread>

#include "tavo/tavoav_engine.h"
#include "temp_root.h"

namespace {

class ReportTest : public TempRootTest {
protected:
    std::string DbPath() const { return Real(TAVOAV_REPORT_DB); }

    // Rows of a statement run through libtavodb, each as "col|col|...".
    static std::vector<std::string> Query(DBConnect* pConn, const char* szSQL,
                                          std::initializer_list<const char*> columns) {
        std::vector<std::string> rows;
        DBResult* pResult = nullptr;
        EXPECT_EQ(TAVODBExecute(pConn, szSQL, &pResult), 0) << szSQL;
        if (!pResult) return rows;
        DBRow row = 0;
        while (TAVODBFetchRow(pResult, &row) == 0) {
            std::string line;
            for (const char* column : columns) {
                const char* szValue = TAVODBFetchField(pResult, row, column);
                if (!line.empty()) line += '|';
                line += szValue ? szValue : "<null>";
            }
            rows.push_back(line);
        }
        TAVODBFreeResult(pResult);
        return rows;
    }
};

TEST_F(ReportTest, ConnectCreatesTheTableOnAFreshRoot) {
    DBConnect* pConn = nullptr;
    ASSERT_EQ(AVReportDBConnect(&pConn), 0);
    ASSERT_NE(pConn, nullptr);
    EXPECT_EQ(Query(pConn, "SELECT name FROM pragma_table_info('report') ORDER BY cid", {"name"}),
              (std::vector<std::string>{"id", "class", "module", "eventText", "logTime"}));
    EXPECT_EQ(Query(pConn, "SELECT COUNT(*) AS n FROM report", {"n"}),
              std::vector<std::string>{"0"});
    AVReportDBClose(pConn);

    // A second connection finds the table in place.
    ASSERT_EQ(AVReportDBConnect(&pConn), 0);
    AVReportDBClose(pConn);
    EXPECT_TRUE(std::filesystem::is_regular_file(DbPath()));
}

TEST_F(ReportTest, WrittenEventsReachBothConnectionsVerbatim) {
    const char* const szOdd = "a \"quoted\" 'text'); DROP TABLE report; --";
    ASSERT_EQ(AVReportWrite("info", "scan", "Scan started"), 0);
    ASSERT_EQ(AVReportWrite("warning", "quarantine", szOdd), 0);
    ASSERT_EQ(AVReportWrite("error", "schedule", ""), 0);

    DBConnect* pDirect = TAVODBConnect(nullptr, nullptr, nullptr, TAVOAV_REPORT_DB);
    ASSERT_NE(pDirect, nullptr);
    // Column names as the plug-in writes them: ID as well as id.
    std::vector<std::string> rows =
        Query(pDirect, "SELECT * FROM report ORDER BY ID", {"ID", "class", "module", "eventText"});
    EXPECT_EQ(rows, (std::vector<std::string>{"1|info|scan|Scan started",
                                              std::string("2|warning|quarantine|") + szOdd,
                                              "3|error|schedule|"}));
    std::vector<std::string> times = Query(pDirect, "SELECT logTime FROM report", {"logTime"});
    ASSERT_EQ(times.size(), 3u);
    for (const auto& t : times)
        EXPECT_TRUE(std::regex_match(t, std::regex(R"(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d)"))) << t;
    TAVODBClose(pDirect);

    DBConnect* pService = nullptr;
    ASSERT_EQ(AVReportDBConnect(&pService), 0);
    EXPECT_EQ(Query(pService, "SELECT COUNT(*) AS TOTAL FROM report", {"total"}),
              std::vector<std::string>{"3"});
    AVReportDBClose(pService);
}

TEST_F(ReportTest, UnknownCategoriesAndModulesAreRefused) {
    EXPECT_NE(AVReportWrite("debug", "scan", "x"), 0);
    EXPECT_NE(AVReportWrite("info", "engine", "x"), 0);
    EXPECT_NE(AVReportWrite("INFO", "scan", "x"), 0);
    EXPECT_NE(AVReportWrite(nullptr, "scan", "x"), 0);
    EXPECT_NE(AVReportWrite("info", "scan", nullptr), 0);
    for (const char* szClass : {"info", "warning", "error"})
        for (const char* szModule : {"scan", "update", "quarantine", "config", "schedule"})
            EXPECT_EQ(AVReportWrite(szClass, szModule, "ok"), 0) << szClass << " " << szModule;

    DBConnect* pConn = nullptr;
    ASSERT_EQ(AVReportDBConnect(&pConn), 0);
    EXPECT_EQ(Query(pConn, "SELECT COUNT(*) AS n FROM report", {"n"}),
              std::vector<std::string>{"15"});
    AVReportDBClose(pConn);
}

TEST_F(ReportTest, IdsAreNeverReused) {
    ASSERT_EQ(AVReportWrite("info", "scan", "one"), 0);
    ASSERT_EQ(AVReportWrite("info", "scan", "two"), 0);
    DBConnect* pConn = nullptr;
    ASSERT_EQ(AVReportDBConnect(&pConn), 0);
    ASSERT_EQ(TAVODBExecute(pConn, "DELETE FROM report WHERE ID=2;", nullptr), 0);
    ASSERT_EQ(AVReportWrite("info", "scan", "three"), 0);
    EXPECT_EQ(Query(pConn, "SELECT id, eventText FROM report ORDER BY id", {"id", "eventText"}),
              (std::vector<std::string>{"1|one", "3|three"}));
    AVReportDBClose(pConn);
}

TEST_F(ReportTest, DoubleQuotedValuesAreStringsAndTheFilterUsesTheIndex) {
    ASSERT_EQ(AVReportWrite("info", "scan", "a"), 0);
    ASSERT_EQ(AVReportWrite("error", "update", "b"), 0);
    DBConnect* pConn = nullptr;
    ASSERT_EQ(AVReportDBConnect(&pConn), 0);

    // The plug-in's statements put their values between double quotes.
    EXPECT_EQ(Query(pConn,
                    "SELECT COUNT(*) as TOTAL FROM report WHERE class IN (\"info\",\"error\") AND "
                    "module IN "
                    "(\"scan\")",
                    {"TOTAL"}),
              std::vector<std::string>{"1"});
    EXPECT_EQ(
        Query(pConn, "SELECT COUNT(*) as TOTAL FROM report WHERE class IN () AND module IN ()",
              {"TOTAL"}),
        std::vector<std::string>{"0"});

    auto plan = [&](const char* szSQL) {
        std::string text;
        for (const auto& line : Query(pConn, szSQL, {"detail"})) text += line + "\n";
        return text;
    };
    EXPECT_NE(plan("EXPLAIN QUERY PLAN SELECT COUNT(*) as TOTAL FROM report WHERE class IN "
                   "(\"info\",\"error\") "
                   "AND module IN (\"scan\")")
                  .find("report_class_module"),
              std::string::npos);
    EXPECT_NE(plan("EXPLAIN QUERY PLAN SELECT * FROM report WHERE class IN (\"info\") AND module "
                   "IN (\"scan\") "
                   "ORDER BY id DESC")
                  .find("report_class_module"),
              std::string::npos);
    AVReportDBClose(pConn);
}

TEST_F(ReportTest, WriteWaitsForABusyDatabase) {
    DBConnect* pConn = nullptr;
    ASSERT_EQ(AVReportDBConnect(&pConn), 0);
    AVReportDBClose(pConn);

    sqlite3* pHolder = nullptr;
    ASSERT_EQ(sqlite3_open(DbPath().c_str(), &pHolder), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(pHolder, "BEGIN EXCLUSIVE", nullptr, nullptr, nullptr), SQLITE_OK);
    int iResult = -99;
    std::thread writer([&] { iResult = AVReportWrite("info", "config", "while locked"); });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(sqlite3_exec(pHolder, "COMMIT", nullptr, nullptr, nullptr), SQLITE_OK);
    writer.join();
    sqlite3_close(pHolder);
    EXPECT_EQ(iResult, 0);
}

TEST_F(ReportTest, ConnectFailsWhenThePackageFolderIsAFile) {
    WriteFile(Real("/var/packages/AntiVirus-Zentrel"), "not a folder");
    DBConnect* pConn = nullptr;
    EXPECT_NE(AVReportDBConnect(&pConn), 0);
    EXPECT_EQ(pConn, nullptr);
    EXPECT_NE(AVReportWrite("info", "scan", "x"), 0);
}

}  // namespace
