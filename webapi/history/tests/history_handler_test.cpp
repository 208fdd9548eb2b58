// HistoryHandler against the platform fakes: parameter rules and codes, the
// answers' shapes, the calls made, the log lines, and every result freed.
#include <gtest/gtest.h>

#include "fake.h"
#include "fake_history.h"
#include "history_handler.h"

using TAVO::APIRequest;
using TAVO::APIResponse;
using TAVO::AntiVirus::HistoryHandler;
using fake::LogLine;

void APIHistoryList_v1(APIRequest*, APIResponse*);

namespace {

Json::Value Page(Json::Value start, Json::Value limit) {
    Json::Value params(Json::objectValue);
    params["start"] = start;
    params["limit"] = limit;
    return params;
}

Json::Value Param(const char* szName, Json::Value value) {
    Json::Value params(Json::objectValue);
    params[szName] = value;
    return params;
}

fake::FakeRun MakeRun(int64_t id, const std::string& outcome) {
    fake::FakeRun run;
    run.id = id;
    run.outcome = outcome;
    return run;
}

class HistoryHandlerTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        fake::ResetHistory();
    }
    void TearDown() override {
        EXPECT_EQ(fake::HW().liveRuns, 0) << "runs were not freed";
        EXPECT_EQ(fake::HW().liveDetections, 0) << "detections were not freed";
        EXPECT_EQ(fake::HW().liveFailedMoves, 0) << "failed moves were not freed";
        EXPECT_TRUE(fake::AllLogsFrom("history_handler.cpp"));
    }

    APIResponse Call(const char* szMethod, void (HistoryHandler::*member)() const,
                     Json::Value params = Json::Value(Json::objectValue)) {
        APIRequest req(params);
        APIResponse resp;
        HistoryHandler handler(&req, &resp, szMethod);
        (handler.*member)();
        EXPECT_EQ(resp.AnswerCount(), 1) << "every request answers exactly once";
        return resp;
    }
    APIResponse List(Json::Value params) { return Call("APIHistoryList_v1", &HistoryHandler::List, params); }
    APIResponse Get(Json::Value params) { return Call("APIHistoryGet_v1", &HistoryHandler::Get, params); }
    APIResponse FailedMoves(Json::Value params) {
        return Call("APIHistoryFailedMoves_v1", &HistoryHandler::FailedMoves, params);
    }
    APIResponse EngineGet() { return Call("APIHistoryEngineGet_v1", &HistoryHandler::EngineGet); }
    APIResponse EngineSet(Json::Value params) {
        return Call("APIHistoryEngineSet_v1", &HistoryHandler::EngineSet, params);
    }
};

// --- list ------------------------------------------------------------------

TEST_F(HistoryHandlerTest, ListAnswersThePageOfRunsWithEveryField) {
    fake::FakeRun stopped = MakeRun(7, "stopped");
    stopped.kind = "custom";
    stopped.targets = {"/volume1/a", "/volume2/b"};
    stopped.startedBy = "user admin";
    stopped.stoppedBy = "address 192.168.1.20";
    stopped.counters = AVHIST_COUNTERS{12000, 11100, 3, 2, 1, 4, 9000};
    fake::HW().runs = {stopped, MakeRun(6, "completed"), MakeRun(5, "failed")};

    APIResponse resp = List(Page(0, 2));
    ASSERT_TRUE(resp.IsSuccess());
    const Json::Value& data = resp.Data();
    EXPECT_EQ(data["total"], 3);
    ASSERT_EQ(data["runs"].size(), 2u);
    const Json::Value& run = data["runs"][0];
    EXPECT_EQ(run["id"], 7);
    EXPECT_EQ(run["kind"], "custom");
    EXPECT_EQ(run["targets"].size(), 2u);
    EXPECT_EQ(run["targets"][1], "/volume2/b");
    EXPECT_EQ(run["startedBy"], "user admin");
    EXPECT_EQ(run["startTime"], "2026-12-01 10:00:00");
    EXPECT_EQ(run["endTime"], "2026-12-01 10:05:00");
    EXPECT_EQ(run["outcome"], "stopped");
    EXPECT_EQ(run["stoppedBy"], "address 192.168.1.20");
    EXPECT_EQ(run["reason"], "");
    EXPECT_EQ(run["total"], 12000);
    EXPECT_EQ(run["scanned"], 11100);
    EXPECT_EQ(run["infected"], 3);
    EXPECT_EQ(run["quarantined"], 2);
    EXPECT_EQ(run["failedMoves"], 1);
    EXPECT_EQ(run["unreadable"], 4);
    EXPECT_EQ(run["cached"], 9000);
    EXPECT_EQ(run["definitionsVersion"], "27000");
    EXPECT_TRUE(run["total"].isIntegral());
    EXPECT_EQ(data["runs"][1]["targets"], Json::Value(Json::arrayValue));
    EXPECT_EQ(fake::HW().pages, (std::vector<std::pair<int, int>>{{0, 2}}));
    EXPECT_TRUE(fake::Logs().empty());
}

TEST_F(HistoryHandlerTest, ListOfAnEmptyHistoryIsAnEmptyArray) {
    APIResponse resp = List(Page(0, 50));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["total"], 0);
    EXPECT_EQ(resp.Data()["runs"], Json::Value(Json::arrayValue));
}

TEST_F(HistoryHandlerTest, ListRefusesAMissingOrMistypedPageWith114) {
    for (const Json::Value& params : {Json::Value(Json::objectValue), Param("start", 0), Param("limit", 5),
                                      Page("0", 5), Page(0, 1.5), Page(0, true)}) {
        fake::Reset();
        APIResponse resp = List(params);
        EXPECT_EQ(resp.ErrorCode(), 114) << params.toStyledString();
        ASSERT_FALSE(fake::Messages().empty());
        EXPECT_EQ(fake::Messages().back(), (LogLine{3, "Bad parameters"}));
        EXPECT_FALSE(fake::Called("AVHistoryList"));
    }
}

TEST_F(HistoryHandlerTest, ListRefusesAPageOutsideItsBoundsWith120) {
    for (const Json::Value& params : {Page(Json::Int64(1) << 31, 5), Page(0, Json::UInt64(1) << 63)}) {
        fake::Reset();
        APIResponse resp = List(params);
        EXPECT_EQ(resp.ErrorCode(), 120) << params.toStyledString();
        EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "start or limit out of range"}}));
        EXPECT_FALSE(fake::Called("AVHistoryList"));
    }
    fake::Reset();
    EXPECT_EQ(List(Page(0, 1001)).ErrorCode(), 120);
    EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "limit over 1000"}}));
    EXPECT_FALSE(fake::Called("AVHistoryList"));
}

TEST_F(HistoryHandlerTest, ListTakesNegativeBoundsAsTheOtherPagesDo) {
    fake::HW().runs = {MakeRun(2, "completed"), MakeRun(1, "completed")};
    APIResponse resp = List(Page(-5, 1));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["runs"][0]["id"], 2);
    resp = List(Page(0, -1));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["runs"], Json::Value(Json::arrayValue));
    EXPECT_EQ(resp.Data()["total"], 2);
    EXPECT_TRUE(List(Page(0, 1000)).IsSuccess());
    EXPECT_EQ(fake::HW().pages, (std::vector<std::pair<int, int>>{{0, 1}, {0, 0}, {0, 1000}}));
}

TEST_F(HistoryHandlerTest, ListFailingInTheServiceAnswers117) {
    fake::FailWith("AVHistoryList", -1);
    APIResponse resp = List(Page(0, 10));
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "failed to read the scan history"}}));
}

// --- get -------------------------------------------------------------------

TEST_F(HistoryHandlerTest, GetAnswersTheRunAndItsDetections) {
    fake::FakeRun run = MakeRun(3, "completed");
    run.detections = {{"/volume1/a.exe", "Eicar", "quarantined"}, {"/volume1/b.exe", "Eicar", "move failed"}};
    fake::HW().runs = {MakeRun(4, "running"), run};

    APIResponse resp = Get(Param("id", 3));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["run"]["id"], 3);
    EXPECT_EQ(resp.Data()["run"]["outcome"], "completed");
    const Json::Value& detections = resp.Data()["detections"];
    ASSERT_EQ(detections.size(), 2u);
    EXPECT_EQ(detections[1]["path"], "/volume1/b.exe");
    EXPECT_EQ(detections[1]["threat"], "Eicar");
    EXPECT_EQ(detections[1]["action"], "move failed");
    EXPECT_EQ(fake::HW().gets, std::vector<int64_t>{3});

    resp = Get(Param("id", 4));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["detections"], Json::Value(Json::arrayValue));
}

TEST_F(HistoryHandlerTest, GetOfARunThatDoesNotExistAnswers120) {
    fake::HW().runs = {MakeRun(3, "completed")};
    APIResponse resp = Get(Param("id", 99));
    EXPECT_EQ(resp.ErrorCode(), 120);
    EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "no such run: 99"}}));
}

TEST_F(HistoryHandlerTest, GetRefusesABadIdBeforeTheServiceIsAsked) {
    EXPECT_EQ(Get(Json::Value(Json::objectValue)).ErrorCode(), 114);
    EXPECT_EQ(Get(Param("id", "3")).ErrorCode(), 114);
    for (const Json::Value& id : {Json::Value(0), Json::Value(-5), Json::Value(Json::UInt64(1) << 63)}) {
        fake::Reset();
        EXPECT_EQ(Get(Param("id", id)).ErrorCode(), 120) << id.toStyledString();
        EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "invalid run id"}}));
    }
    EXPECT_TRUE(fake::HW().gets.empty());
}

TEST_F(HistoryHandlerTest, GetFailingInTheServiceAnswers117) {
    fake::FailWith("AVHistoryGet", -1);
    EXPECT_EQ(Get(Param("id", 1)).ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "failed to read the scan history"}}));
}

// --- failed_moves ----------------------------------------------------------

TEST_F(HistoryHandlerTest, FailedMovesAnswersThePageWithReasons) {
    fake::HW().failedMoves = {{"/volume1/a.exe", "Eicar", "2026-12-01 10:00:00", "Permission denied"},
                              {"/volume2/b.exe", "Eicar", "2026-12-01 10:01:00", "not a regular file"}};
    APIResponse resp = FailedMoves(Page(1, 10));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["total"], 2);
    ASSERT_EQ(resp.Data()["items"].size(), 1u);
    const Json::Value& item = resp.Data()["items"][0];
    EXPECT_EQ(item["path"], "/volume2/b.exe");
    EXPECT_EQ(item["threat"], "Eicar");
    EXPECT_EQ(item["time"], "2026-12-01 10:01:00");
    EXPECT_EQ(item["reason"], "not a regular file");
}

TEST_F(HistoryHandlerTest, FailedMovesKeepsThePageRules) {
    EXPECT_EQ(FailedMoves(Param("start", 0)).ErrorCode(), 114);
    EXPECT_EQ(FailedMoves(Page(0, 1001)).ErrorCode(), 120);
    fake::Reset();
    fake::FailWith("AVFailedMoveList", -1);
    EXPECT_EQ(FailedMoves(Page(0, 10)).ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "failed to read the list of failed moves"}}));
}

// --- engine_get / engine_set -------------------------------------------------

TEST_F(HistoryHandlerTest, EngineGetAnswersTheEngineFactsAndSettings) {
    TAVOAV_INFO& info = fake::W().engineInfo;
    snprintf(info.szEngineVersion, sizeof info.szEngineVersion, "ClamAV 1.0.7");
    snprintf(info.szDefVersion, sizeof info.szDefVersion, "27000");
    info.defSignatureCount = 3600000;
    info.lastUpdateDate = 0;
    fake::W().config.blScanArchives = TRUE;
    fake::W().config.iMaxFileSizeMB = 250;
    fake::HW().scanWorkers = 4;

    APIResponse resp = EngineGet();
    ASSERT_TRUE(resp.IsSuccess());
    const Json::Value& data = resp.Data();
    EXPECT_EQ(data["engineVersion"], "ClamAV 1.0.7");
    EXPECT_EQ(data["definitionsVersion"], "27000");
    EXPECT_EQ(data["signatureCount"], 3600000);
    EXPECT_EQ(data["definitionsDate"], "");
    EXPECT_EQ(data["scanArchives"], true);
    EXPECT_EQ(data["maxFileSizeMB"], 250);
    EXPECT_EQ(data["scanWorkers"], 4);
}

TEST_F(HistoryHandlerTest, EngineGetWithoutDefinitionsAnswersTheEngineAlone) {
    snprintf(fake::W().engineInfo.szEngineVersion, 64, "ClamAV 1.0.7");
    snprintf(fake::W().engineInfo.szDefVersion, 64, "stale");
    fake::W().engineInfoResult = ERR_TAVOAV_DB_ACCESS_ERROR;
    APIResponse resp = EngineGet();
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["engineVersion"], "ClamAV 1.0.7");
    EXPECT_EQ(resp.Data()["definitionsVersion"], "");
    EXPECT_EQ(resp.Data()["signatureCount"], 0);
}

TEST_F(HistoryHandlerTest, EngineGetFailingInTheServiceAnswers117) {
    fake::W().engineInfoResult = ERR_TAVOAV_EXE_ERROR;
    EXPECT_EQ(EngineGet().ErrorCode(), 117);
    fake::Reset();
    fake::FailWith("AVGetConfig", -1);
    EXPECT_EQ(EngineGet().ErrorCode(), 117);
    fake::Reset();
    fake::FailWith("AVGetScanWorkers", -1);
    EXPECT_EQ(EngineGet().ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "failed to get the scan workers"}}));
}

TEST_F(HistoryHandlerTest, EngineSetChangesWhatIsGiven) {
    Json::Value params(Json::objectValue);
    params["scanArchives"] = false;
    params["maxFileSizeMB"] = 4096;
    params["scanWorkers"] = 0;
    APIResponse resp = EngineSet(params);
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(fake::HW().sets,
              (std::vector<std::string>{"scanArchives=0", "maxFileSizeMB=4096", "scanWorkers=0"}));

    fake::ResetHistory();
    ASSERT_TRUE(EngineSet(Param("scanWorkers", 64)).IsSuccess());
    EXPECT_EQ(fake::HW().sets, std::vector<std::string>{"scanWorkers=64"});
}

TEST_F(HistoryHandlerTest, EngineSetRefusesNothingToSetAndWrongTypesWith114) {
    EXPECT_EQ(EngineSet(Json::Value(Json::objectValue)).ErrorCode(), 114);
    EXPECT_EQ(EngineSet(Param("scanArchives", 1)).ErrorCode(), 114);
    EXPECT_EQ(EngineSet(Param("maxFileSizeMB", "100")).ErrorCode(), 114);
    EXPECT_EQ(EngineSet(Param("scanWorkers", 2.5)).ErrorCode(), 114);
    EXPECT_TRUE(fake::HW().sets.empty());
}

TEST_F(HistoryHandlerTest, EngineSetChecksEveryValueBeforeChangingAny) {
    for (auto [szName, value] : std::vector<std::pair<const char*, Json::Value>>{
             {"maxFileSizeMB", 0}, {"maxFileSizeMB", 4097}, {"maxFileSizeMB", Json::Int64(1) << 40},
             {"scanWorkers", -1}, {"scanWorkers", 65}}) {
        Json::Value params = Param(szName, value);
        params["scanArchives"] = true;
        EXPECT_EQ(EngineSet(params).ErrorCode(), 120) << szName << " " << value.toStyledString();
    }
    EXPECT_TRUE(fake::HW().sets.empty());
    EXPECT_FALSE(fake::Called("AVSetScanArchives"));
}

TEST_F(HistoryHandlerTest, EngineSetFailingInTheServiceAnswers117AndStops) {
    fake::FailWith("AVSetMaxFileSizeMB", ERR_TAVOAV_CONFIG_FILE_WRITE_ERROR);
    Json::Value params = Param("maxFileSizeMB", 10);
    params["scanWorkers"] = 2;
    EXPECT_EQ(EngineSet(params).ErrorCode(), 117);
    EXPECT_FALSE(fake::Called("AVSetScanWorkers"));
    EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "failed to set configuration"}}));
}

// --- the table -------------------------------------------------------------

TEST_F(HistoryHandlerTest, TheEntryFunctionRunsItsMember) {
    fake::HW().runs = {MakeRun(1, "completed")};
    APIRequest req(Page(0, 5));
    APIResponse resp;
    APIHistoryList_v1(&req, &resp);
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["runs"][0]["id"], 1);
}

}  // namespace
