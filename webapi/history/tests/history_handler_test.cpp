// HistoryHandler against the platform fakes: parameter rules and codes, the
// answers' shapes, the calls made, the log lines, and every result freed.
#include <gtest/gtest.h>

#include "fake.h"
#include "fake_history.h"
#include "history_handler.h"

using fake::LogLine;
using TAVO::APIRequest;
using TAVO::APIResponse;
using TAVO::AntiVirus::HistoryHandler;

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
    APIResponse List(Json::Value params) {
        return Call("APIHistoryList_v1", &HistoryHandler::List, params);
    }
    APIResponse Get(Json::Value params) {
        return Call("APIHistoryGet_v1", &HistoryHandler::Get, params);
    }
    APIResponse FailedMoves(Json::Value params) {
        return Call("APIHistoryFailedMoves_v1", &HistoryHandler::FailedMoves, params);
    }
    APIResponse EngineGet() { return Call("APIHistoryEngineGet_v1", &HistoryHandler::EngineGet); }
    APIResponse EngineSet(Json::Value params) {
        return Call("APIHistoryEngineSet_v1", &HistoryHandler::EngineSet, params);
    }
    APIResponse SourceGet() {
        return Call("APIHistoryUpdateSourceGet_v1", &HistoryHandler::UpdateSourceGet);
    }
    APIResponse SourceSet(Json::Value params) {
        return Call("APIHistoryUpdateSourceSet_v1", &HistoryHandler::UpdateSourceSet, params);
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
    for (const Json::Value& params :
         {Json::Value(Json::objectValue), Param("start", 0), Param("limit", 5), Page("0", 5),
          Page(0, 1.5), Page(0, true)}) {
        fake::Reset();
        APIResponse resp = List(params);
        EXPECT_EQ(resp.ErrorCode(), 114) << params.toStyledString();
        ASSERT_FALSE(fake::Messages().empty());
        EXPECT_EQ(fake::Messages().back(), (LogLine{3, "Bad parameters"}));
        EXPECT_FALSE(fake::Called("AVHistoryList"));
    }
}

TEST_F(HistoryHandlerTest, ListRefusesAPageOutsideItsBoundsWith120) {
    for (const Json::Value& params :
         {Page(Json::Int64(1) << 31, 5), Page(0, Json::UInt64(1) << 63)}) {
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
    run.detections = {{"/volume1/a.exe", "Eicar", "quarantined"},
                      {"/volume1/b.exe", "Eicar", "move failed"}};
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
    for (const Json::Value& id :
         {Json::Value(0), Json::Value(-5), Json::Value(Json::UInt64(1) << 63)}) {
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
    fake::HW().failedMoves = {
        {"/volume1/a.exe", "Eicar", "2026-12-01 10:00:00", "Permission denied"},
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
    EXPECT_EQ(fake::Messages(),
              (std::vector<LogLine>{{3, "failed to read the list of failed moves"}}));
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
    for (auto [szName, value] :
         std::vector<std::pair<const char*, Json::Value>>{{"maxFileSizeMB", 0},
                                                          {"maxFileSizeMB", 4097},
                                                          {"maxFileSizeMB", Json::Int64(1) << 40},
                                                          {"scanWorkers", -1},
                                                          {"scanWorkers", 65}}) {
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

TEST_F(HistoryHandlerTest, EngineGetAnswersTheLastUpdates) {
    // No update yet: empty times and result.
    APIResponse fresh = EngineGet();
    ASSERT_TRUE(fresh.IsSuccess());
    EXPECT_EQ(fresh.Data()["lastUpdate"]["time"], "");
    EXPECT_EQ(fresh.Data()["lastUpdate"]["result"], "");
    EXPECT_EQ(fresh.Data()["lastFailedUpdate"]["time"], "");
    EXPECT_EQ(fresh.Data()["lastSuccessfulUpdate"]["time"], "");

    TAVOAV_UPDATE_FACTS& facts = fake::HW().updateFacts;
    facts.lastCheckTime = 1765000000;
    facts.lastSuccessTime = 1764900000;
    facts.lastFailureTime = 1764950000;
    snprintf(facts.szLastResult, sizeof facts.szLastResult, "current");
    snprintf(facts.szLastFailureReason, sizeof facts.szLastFailureReason,
             "bad.ndb: Malformed database");
    APIResponse resp = EngineGet();
    ASSERT_TRUE(resp.IsSuccess());
    const Json::Value& data = resp.Data();
    EXPECT_EQ(data["lastUpdate"]["result"], "current");
    EXPECT_EQ(data["lastUpdate"]["reason"], "") << "the reason belongs to the failed update only";
    EXPECT_EQ(data["lastUpdate"]["time"].asString().size(), 19u);
    EXPECT_EQ(data["lastFailedUpdate"]["reason"], "bad.ndb: Malformed database");
    EXPECT_EQ(data["lastFailedUpdate"]["time"].asString().size(), 19u);
    EXPECT_LT(data["lastSuccessfulUpdate"]["time"].asString(),
              data["lastFailedUpdate"]["time"].asString());
    EXPECT_LT(data["lastFailedUpdate"]["time"].asString(), data["lastUpdate"]["time"].asString());

    snprintf(facts.szLastResult, sizeof facts.szLastResult, "failed");
    facts.lastFailureTime = facts.lastCheckTime;
    resp = EngineGet();
    EXPECT_EQ(resp.Data()["lastUpdate"]["result"], "failed");
    EXPECT_EQ(resp.Data()["lastUpdate"]["reason"], "bad.ndb: Malformed database");
    EXPECT_EQ(resp.Data()["lastUpdate"]["time"], resp.Data()["lastFailedUpdate"]["time"]);
}

TEST_F(HistoryHandlerTest, EngineGetWithoutUpdateFactsAnswers117) {
    fake::FailWith("AVUpdateFactsGet", ERR_TAVOAV_CONFIG_FILE_READ_ERROR);
    EXPECT_EQ(EngineGet().ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "failed to get the update facts"}}));
}

// --- update_source_get / update_source_set -------------------------------------

TEST_F(HistoryHandlerTest, SourceGetAnswersEveryValue) {
    TAVOAV_UPDATE_SOURCE& source = fake::HW().updateSource;
    snprintf(source.szSource, sizeof source.szSource, "freshclam");
    snprintf(source.szUrls, sizeof source.szUrls, "http://m.lan/a.ndb https://m.lan/b.hdb");
    snprintf(source.szPrivateMirror, sizeof source.szPrivateMirror, "m.lan:8080");
    snprintf(source.szProxy, sizeof source.szProxy, "http://proxy.lan:3128");
    source.blOfficialDatabases = 0;
    source.intervalHours = 6;
    source.timeoutSeconds = 300;
    APIResponse resp = SourceGet();
    ASSERT_TRUE(resp.IsSuccess());
    const Json::Value& data = resp.Data();
    EXPECT_EQ(data["source"], "freshclam");
    EXPECT_EQ(data["mirrorDir"], TAVOAV_MIRROR_DIR);
    Json::Value jUrls(Json::arrayValue);
    jUrls.append("http://m.lan/a.ndb");
    jUrls.append("https://m.lan/b.hdb");
    EXPECT_EQ(data["urls"], jUrls);
    EXPECT_EQ(data["databaseMirror"], "");
    EXPECT_EQ(data["privateMirror"], "m.lan:8080");
    EXPECT_EQ(data["officialDatabases"], false);
    EXPECT_EQ(data["proxy"], "http://proxy.lan:3128");
    EXPECT_EQ(data["intervalHours"], 6);
    EXPECT_EQ(data["timeoutSeconds"], 300);
    EXPECT_EQ(data.size(), 9u);
}

TEST_F(HistoryHandlerTest, SourceGetFailingInTheServiceAnswers117) {
    fake::FailWith("AVUpdateSourceGet", ERR_TAVOAV_CONFIG_FILE_READ_ERROR);
    EXPECT_EQ(SourceGet().ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "failed to get the update source"}}));
}

TEST_F(HistoryHandlerTest, SourceSetChangesOnlyWhatIsGiven) {
    Json::Value params = Param("source", "http");
    params["urls"].append("http://m.lan/a.ndb");
    params["urls"].append("http://m.lan/b.hdb");
    params["intervalHours"] = 12;
    APIResponse resp = SourceSet(params);
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_TRUE(resp.Data().isNull());
    ASSERT_EQ(fake::HW().sourceSets.size(), 1u);
    const TAVOAV_UPDATE_SOURCE& set = fake::HW().sourceSets[0];
    EXPECT_STREQ(set.szSource, "http");
    EXPECT_STREQ(set.szUrls, "http://m.lan/a.ndb http://m.lan/b.hdb");
    EXPECT_EQ(set.intervalHours, 12);
    EXPECT_STREQ(set.szMirrorDir, TAVOAV_MIRROR_DIR) << "a value not given keeps the stored one";
    EXPECT_EQ(set.timeoutSeconds, 120);
    EXPECT_EQ(set.blOfficialDatabases, 1);

    Json::Value more = Param("officialDatabases", false);
    more["proxy"] = "";
    more["urls"] = Json::Value(Json::arrayValue);
    more["timeoutSeconds"] = 30;
    more["mirrorDir"] = "/volume1/mirror";
    more["databaseMirror"] = "db.local.lan";
    more["privateMirror"] = "";
    ASSERT_TRUE(SourceSet(more).IsSuccess());
    const TAVOAV_UPDATE_SOURCE& second = fake::HW().sourceSets[1];
    EXPECT_STREQ(second.szSource, "http");
    EXPECT_STREQ(second.szUrls, "");
    EXPECT_EQ(second.blOfficialDatabases, 0);
    EXPECT_EQ(second.timeoutSeconds, 30);
    EXPECT_EQ(second.intervalHours, 12);
    EXPECT_STREQ(second.szMirrorDir, "/volume1/mirror");
    EXPECT_STREQ(second.szDatabaseMirror, "db.local.lan");
}

TEST_F(HistoryHandlerTest, SourceSetRefusesNothingToSetAndWrongTypesWith114) {
    EXPECT_EQ(SourceSet(Json::Value(Json::objectValue)).ErrorCode(), 114);
    EXPECT_EQ(SourceSet(Param("intervalHours", "6")).ErrorCode(), 114);
    EXPECT_EQ(SourceSet(Param("intervalHours", 1.5)).ErrorCode(), 114);
    EXPECT_EQ(SourceSet(Param("officialDatabases", 1)).ErrorCode(), 114);
    EXPECT_EQ(SourceSet(Param("urls", "http://m.lan/a.ndb")).ErrorCode(), 114);
    EXPECT_EQ(SourceSet(Param("source", Json::Value(Json::arrayValue))).ErrorCode(), 114);
    Json::Value urls(Json::arrayValue);
    urls.append("http://m.lan/a.ndb");
    urls.append(7);
    EXPECT_EQ(SourceSet(Param("urls", urls)).ErrorCode(), 114);
    EXPECT_TRUE(fake::HW().sourceSets.empty());
}

TEST_F(HistoryHandlerTest, SourceSetRefusesValuesThatWouldBeCutOrSplitWith120) {
    std::vector<Json::Value> rgBad;
    rgBad.push_back(Param("mirrorDir", std::string(1024, 'a')));
    rgBad.push_back(Param("source", std::string("http\0folder", 11)));
    rgBad.push_back(Param("proxy", std::string(256, 'p')));
    rgBad.push_back(Param("intervalHours", Json::Int64(1) << 32));
    rgBad.push_back(Param("timeoutSeconds", -(Json::Int64(1) << 40)));
    // One URL that would become two, an empty one, one cut at a NUL byte.
    for (const std::string& url : {std::string("http://m.lan/a.ndb http://evil/b.ndb"),
                                   std::string(), std::string("http://m.lan/a\0.ndb", 20)}) {
        Json::Value urls(Json::arrayValue);
        urls.append(url);
        rgBad.push_back(Param("urls", urls));
    }
    Json::Value longUrls(Json::arrayValue);
    for (int i = 0; i < 300; ++i) longUrls.append("http://m.lan/" + std::to_string(i) + ".ndb");
    rgBad.push_back(Param("urls", longUrls));
    for (const Json::Value& params : rgBad)
        EXPECT_EQ(SourceSet(params).ErrorCode(), 120) << params.toStyledString();
    EXPECT_TRUE(fake::HW().sourceSets.empty()) << "nothing reaches the service";
}

TEST_F(HistoryHandlerTest, SourceSetAnswers120WhenTheServiceRefusesAValue) {
    fake::FailWith("AVUpdateSourceSet", ERR_TAVOAV_PARAMETER_ERROR);
    EXPECT_EQ(SourceSet(Param("intervalHours", 5)).ErrorCode(), 120);
    EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "invalid update source"}}));
    EXPECT_EQ(fake::HW().updateSource.intervalHours, 0);
}

TEST_F(HistoryHandlerTest, SourceSetFailingInTheServiceAnswers117) {
    fake::FailWith("AVUpdateSourceSet", ERR_TAVOAV_CONFIG_FILE_WRITE_ERROR);
    EXPECT_EQ(SourceSet(Param("intervalHours", 6)).ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "failed to set the update source"}}));
}

TEST_F(HistoryHandlerTest, SourceSetMendsAStoredSourceTheServiceCannotRead) {
    // The stored values break the rules: the ones given over them may mend them.
    fake::FailWith("AVUpdateSourceGet", ERR_TAVOAV_CONFIG_FILE_READ_ERROR);
    ASSERT_TRUE(SourceSet(Param("proxy", "")).IsSuccess());
    EXPECT_STREQ(fake::HW().sourceSets.at(0).szSource, "folder");
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
