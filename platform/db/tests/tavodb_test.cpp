#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "tavo/tavodb.h"
#include "temp_root.h"

namespace {

constexpr const char* kReport = "/var/packages/AntiVirus-Zentrel/target/.report";

class DBTest : public TempRootTest {
protected:
    void SetUp() override {
        ASSERT_NO_FATAL_FAILURE(TempRootTest::SetUp());
        conn_ = TAVODBConnect(nullptr, nullptr, nullptr, kReport);
        ASSERT_NE(conn_, nullptr);
        ASSERT_EQ(Exec("CREATE TABLE report (id INTEGER PRIMARY KEY, class TEXT, module TEXT, "
                       "eventText TEXT, logTime TEXT)"),
                  0);
    }
    void TearDown() override {
        TAVODBClose(conn_);
        TempRootTest::TearDown();
    }
    int Exec(const std::string& sql) { return TAVODBExecute(conn_, sql.c_str(), nullptr); }
    void AddRows(int count) {
        ASSERT_EQ(Exec("BEGIN"), 0);
        for (int i = 0; i < count; ++i)
            ASSERT_EQ(Exec("INSERT INTO report (class, module, eventText, logTime) VALUES "
                           "('virus', 'scan', 'e" +
                           std::to_string(i) + "', '2024')"),
                      0);
        ASSERT_EQ(Exec("COMMIT"), 0);
    }
    // The "id" column of every row of a result, which is freed.
    static std::vector<std::string> Ids(DBResult* pResult) {
        std::vector<std::string> ids;
        DBRow row = 0;
        while (TAVODBFetchRow(pResult, &row) == 0) {
            const char* szId = TAVODBFetchField(pResult, row, "id");
            ids.push_back(szId ? szId : "(null)");
        }
        TAVODBFreeResult(pResult);
        return ids;
    }
    std::vector<std::string> Select(const std::string& sql, int iLimit, int iOffset,
                                    int* piResult = nullptr) {
        DBResult* pResult = nullptr;
        int iResult = TAVODBSelectLimit(conn_, sql.c_str(), iLimit, iOffset, &pResult);
        if (piResult) *piResult = iResult;
        if (iResult != 0) {
            EXPECT_EQ(pResult, nullptr);
            return {"(failed)"};
        }
        return Ids(pResult);
    }
    int Count() {
        DBResult* pResult = nullptr;
        EXPECT_EQ(TAVODBExecute(conn_, "SELECT COUNT(*) as TOTAL FROM report", &pResult), 0);
        DBRow row;
        EXPECT_EQ(TAVODBFetchRow(pResult, &row), 0);
        const char* szTotal = TAVODBFetchField(pResult, row, "TOTAL");
        int iCount = szTotal ? atoi(szTotal) : -1;
        TAVODBFreeResult(pResult);
        return iCount;
    }

    DBConnect* conn_ = nullptr;
};

TEST_F(DBTest, ConnectOpensUnderTheRootAndRefusesWhatIsNoDatabase) {
    EXPECT_TRUE(std::filesystem::exists(root_ + kReport));
    EXPECT_EQ(TAVODBConnect(nullptr, nullptr, nullptr, nullptr), nullptr);
    EXPECT_EQ(TAVODBConnect(nullptr, nullptr, nullptr, "relative.db"), nullptr);
    std::ofstream(root_ + "/garbage") << std::string(4096, 'x');
    EXPECT_EQ(TAVODBConnect(nullptr, nullptr, nullptr, "/garbage"), nullptr);
    std::filesystem::create_directories(root_ + "/folder");
    EXPECT_EQ(TAVODBConnect(nullptr, nullptr, nullptr, "/folder"), nullptr);

    // A second connection reaches the same database.
    ASSERT_EQ(Exec("INSERT INTO report (class) VALUES ('x')"), 0);
    DBConnect* pOther = TAVODBConnect(nullptr, nullptr, nullptr, kReport);
    ASSERT_NE(pOther, nullptr);
    DBResult* pResult = nullptr;
    ASSERT_EQ(TAVODBExecute(pOther, "SELECT class FROM report", &pResult), 0);
    DBRow row;
    ASSERT_EQ(TAVODBFetchRow(pResult, &row), 0);
    EXPECT_STREQ(TAVODBFetchField(pResult, row, "class"), "x");
    TAVODBFreeResult(pResult);
    EXPECT_EQ(TAVODBClose(pOther), 0);
}

TEST_F(DBTest, FieldsByNameWithoutRegardToCase) {
    ASSERT_EQ(Exec("INSERT INTO report (class, module, eventText, logTime) VALUES ('virus', NULL, "
                   "'found', '')"),
              0);
    DBResult* pResult = nullptr;
    ASSERT_EQ(TAVODBExecute(conn_, "SELECT * FROM report;", &pResult), 0);
    DBRow row = 99;
    EXPECT_EQ(TAVODBFetchField(pResult, 0, "class"), nullptr);  // no row fetched yet
    ASSERT_EQ(TAVODBFetchRow(pResult, &row), 0);
    EXPECT_EQ(row, 0u);
    EXPECT_STREQ(TAVODBFetchField(pResult, row, "ID"), "1");
    EXPECT_STREQ(TAVODBFetchField(pResult, row, "CLASS"), "virus");
    EXPECT_STREQ(TAVODBFetchField(pResult, row, "eventtext"), "found");
    EXPECT_STREQ(TAVODBFetchField(pResult, row, "module"), "");   // SQL NULL
    EXPECT_STREQ(TAVODBFetchField(pResult, row, "logTime"), "");  // empty text
    EXPECT_EQ(TAVODBFetchField(pResult, row, "nosuch"), nullptr);
    EXPECT_EQ(TAVODBFetchField(pResult, row, nullptr), nullptr);
    EXPECT_EQ(TAVODBFetchField(pResult, row + 1, "class"), nullptr);  // not the current row
    EXPECT_EQ(TAVODBFetchRow(pResult, &row), -1);
    EXPECT_EQ(TAVODBFetchField(pResult, 0, "class"), nullptr);  // none left
    EXPECT_EQ(TAVODBFetchRow(pResult, &row), -1);               // and it stays so
    EXPECT_EQ(TAVODBFreeResult(pResult), 0);

    EXPECT_EQ(Count(), 1);
    ASSERT_EQ(TAVODBExecute(conn_, "SELECT COUNT(*) as TOTAL FROM report", &pResult), 0);
    ASSERT_EQ(TAVODBFetchRow(pResult, &row), 0);
    EXPECT_STREQ(TAVODBFetchField(pResult, row, "total"), "1");
    TAVODBFreeResult(pResult);
}

TEST_F(DBTest, DoubleQuotedValuesAndEmptyListsAreAccepted) {
    AddRows(3);
    EXPECT_EQ(
        Select("SELECT * FROM report WHERE class IN (\"virus\",\"other\") AND module IN (\"scan\") "
               "ORDER BY id DESC",
               10, 0),
        (std::vector<std::string>{"3", "2", "1"}));
    EXPECT_EQ(
        Select("SELECT * FROM report WHERE class IN () AND module IN () ORDER BY id DESC", 10, 0),
        std::vector<std::string>{});
}

TEST_F(DBTest, OnlyOneStatementIsRun) {
    AddRows(3);
    DBResult* pResult = reinterpret_cast<DBResult*>(0x1);
    EXPECT_NE(TAVODBExecute(conn_, "SELECT * FROM report; DROP TABLE report", &pResult), 0);
    EXPECT_EQ(pResult, nullptr);
    EXPECT_NE(Exec("DELETE FROM report WHERE id=1; DELETE FROM report"), 0);
    EXPECT_NE(Exec("DELETE FROM report WHERE id=1;;  -- comment"), 0);
    EXPECT_EQ(Count(), 3);  // not even the first statement ran
    EXPECT_EQ(Exec("DELETE FROM report WHERE id=1; ;\n\t"), 0);
    EXPECT_EQ(Count(), 2);

    int iResult = 0;
    Select("SELECT * FROM report; DELETE FROM report", 10, 0, &iResult);
    EXPECT_NE(iResult, 0);
    EXPECT_EQ(Count(), 2);

    EXPECT_NE(Exec(""), 0);
    EXPECT_NE(Exec(" ; "), 0);
    EXPECT_NE(Exec("SELEC 1"), 0);
    EXPECT_NE(TAVODBExecute(nullptr, "SELECT 1", nullptr), 0);
    EXPECT_NE(TAVODBExecute(conn_, nullptr, nullptr), 0);
}

TEST_F(DBTest, ChangesTakeEffectWithoutFetching) {
    AddRows(3);
    DBResult* pResult = nullptr;
    ASSERT_EQ(TAVODBExecute(conn_, "DELETE FROM report WHERE id=2", &pResult), 0);
    ASSERT_NE(pResult, nullptr);
    DBRow row;
    EXPECT_EQ(TAVODBFetchRow(pResult, &row), -1);
    TAVODBFreeResult(pResult);
    ASSERT_EQ(TAVODBExecute(conn_, "DELETE FROM report WHERE id=3", &pResult), 0);
    TAVODBFreeResult(pResult);  // never fetched
    EXPECT_EQ(Count(), 1);
}

TEST_F(DBTest, SelectLimitPages) {
    AddRows(10);
    const std::string sql = "SELECT * FROM report WHERE class IN (\"virus\") ORDER BY id DESC";
    EXPECT_EQ(Select(sql, 3, 2), (std::vector<std::string>{"8", "7", "6"}));
    EXPECT_EQ(Select(sql + " ;\n", 2, 0), (std::vector<std::string>{"10", "9"}));
    EXPECT_EQ(Select(sql, 5, 8), (std::vector<std::string>{"2", "1"}));
    EXPECT_EQ(Select(sql, 5, 10), std::vector<std::string>{});
    EXPECT_EQ(Select(sql, 0, 0), std::vector<std::string>{});
    EXPECT_EQ(Select(sql, -1, 0), std::vector<std::string>{});  // never the whole table
    EXPECT_EQ(Select(sql, 2, -5), (std::vector<std::string>{"10", "9"}));
    EXPECT_EQ(Select(sql + " -- sorted", 1, 0), (std::vector<std::string>{"10"}));

    int iResult = 0;
    Select(sql + " LIMIT 1", 2, 0, &iResult);  // a LIMIT of its own is refused
    EXPECT_NE(iResult, 0);
    Select(sql + " /* open", 2, 0, &iResult);
    EXPECT_NE(iResult, 0);
    Select("SELECT * FROM nosuch", 2, 0, &iResult);
    EXPECT_NE(iResult, 0);
}

TEST_F(DBTest, RowsAreStreamed) {
    // An endless statement: only a result that steps on each fetch can serve it.
    const char* szEndless =
        "WITH RECURSIVE n(x) AS (SELECT 1 UNION ALL SELECT x + 1 FROM n) SELECT x AS id FROM n";
    DBResult* pResult = nullptr;
    ASSERT_EQ(TAVODBExecute(conn_, szEndless, &pResult), 0);
    DBRow row = 0;
    for (uint32_t i = 0; i < 100000; ++i) {
        ASSERT_EQ(TAVODBFetchRow(pResult, &row), 0);
        ASSERT_EQ(row, i);
        ASSERT_EQ(std::to_string(i + 1), TAVODBFetchField(pResult, row, "id"));
    }
    TAVODBFreeResult(pResult);

    EXPECT_EQ(Select(szEndless, 3, 1000000),
              (std::vector<std::string>{"1000001", "1000002", "1000003"}));
}

TEST_F(DBTest, ManyRowsAreAllFetched) {
    AddRows(20000);
    DBResult* pResult = nullptr;
    ASSERT_EQ(TAVODBExecute(conn_, "SELECT * FROM report ORDER BY id DESC", &pResult), 0);
    std::vector<std::string> ids = Ids(pResult);
    ASSERT_EQ(ids.size(), 20000u);
    EXPECT_EQ(ids.front(), "20000");
    EXPECT_EQ(ids.back(), "1");
}

TEST_F(DBTest, BusyDatabaseIsWaitedFor) {
    std::promise<void> locked;
    std::promise<void> tried;
    std::thread holder([&] {
        DBConnect* pConn = TAVODBConnect(nullptr, nullptr, nullptr, kReport);
        ASSERT_NE(pConn, nullptr);
        EXPECT_EQ(TAVODBExecute(pConn, "BEGIN IMMEDIATE", nullptr), 0);
        EXPECT_EQ(TAVODBExecute(pConn, "INSERT INTO report (class) VALUES ('holder')", nullptr), 0);
        locked.set_value();
        // Keep the write lock a little while after the other writer started.
        tried.get_future().wait();
        usleep(300000);
        EXPECT_EQ(TAVODBExecute(pConn, "COMMIT", nullptr), 0);
        TAVODBClose(pConn);
    });
    locked.get_future().wait();
    std::thread signaller([&] {
        usleep(50000);
        tried.set_value();
    });
    EXPECT_EQ(Exec("INSERT INTO report (class) VALUES ('waiter')"), 0);
    holder.join();
    signaller.join();
    EXPECT_EQ(Count(), 2);
}

TEST_F(DBTest, ReleasesAcceptNullAndResultsOutliveTheirConnection) {
    EXPECT_EQ(TAVODBFreeResult(nullptr), 0);
    EXPECT_EQ(TAVODBClose(nullptr), 0);
    DBRow row;
    EXPECT_EQ(TAVODBFetchRow(nullptr, &row), -1);
    EXPECT_EQ(TAVODBFetchField(nullptr, 0, "id"), nullptr);
    EXPECT_NE(TAVODBSelectLimit(conn_, "SELECT 1", 1, 0, nullptr), 0);

    AddRows(2);
    DBConnect* pConn = TAVODBConnect(nullptr, nullptr, nullptr, kReport);
    ASSERT_NE(pConn, nullptr);
    DBResult* pResult = nullptr;
    ASSERT_EQ(TAVODBExecute(pConn, "SELECT * FROM report", &pResult), 0);
    EXPECT_EQ(TAVODBClose(pConn), 0);
    EXPECT_EQ(Ids(pResult), (std::vector<std::string>{"1", "2"}));
}

}  // namespace
