// QuarantineHandler against the platform fakes.
#include <gtest/gtest.h>

#include <climits>
#include <string>
#include <vector>

#include "fake.h"
#include "quarantine_handler.h"

using TAVO::APIRequest;
using TAVO::APIResponse;
using TAVO::AntiVirus::QuarantineHandler;

extern "C" TAVO::API_TABLE* GetAPITable(void);
extern "C" const TAVO::API_TABLE gTable[];

namespace {

// Reaches the protected task bodies.
class TestHandler : public QuarantineHandler {
public:
    using QuarantineHandler::doDeleteAll;
    using QuarantineHandler::doRestoreAll;
    using QuarantineHandler::QuarantineHandler;
};

class QuarantineTest : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
    void TearDown() override {
        EXPECT_EQ(fake::W().liveSzLists, 0);
        EXPECT_EQ(fake::W().liveQConns, 0);
        EXPECT_EQ(fake::W().liveFailLists, 0);
        EXPECT_TRUE(fake::AllLogsFrom("quarantine_handler.cpp"));
    }

    APIResponse Run(const char* method, void (QuarantineHandler::*member)() const,
                    const Json::Value& params = Json::Value(Json::objectValue)) {
        APIRequest req(params);
        APIResponse resp;
        TestHandler handler(&req, &resp, method);
        (handler.*member)();
        EXPECT_LE(resp.AnswerCount(), 1);
        return resp;
    }

    APIResponse Load(Json::Value start, Json::Value limit) {
        Json::Value params(Json::objectValue);
        params["start"] = start;
        params["limit"] = limit;
        return Run("APIQuarantineLoad_v1", &QuarantineHandler::Load, params);
    }

    // A volume named "volN" at "/volumeN" with n items "volN-i".
    static fake::FakeVolume& AddVolume(int number, int n) {
        fake::FakeVolume v;
        v.name = "vol" + std::to_string(number);
        v.volumePath = "/volume" + std::to_string(number);
        v.shareName = "volume" + std::to_string(number) + "/@tavoav_quarantine";
        for (int i = 1; i <= n; ++i) {
            std::string id = v.name + "-" + std::to_string(i);
            v.items.push_back(fake::MakeItem("/dir/" + id + ".exe", id));
        }
        fake::W().volumes.push_back(v);
        return fake::W().volumes.back();
    }

    static std::vector<std::string> Names(const APIResponse& resp) {
        std::vector<std::string> names;
        for (const auto& item : resp.Data()["quarantineArray"])
            names.push_back(item["renamedName"].asString());
        return names;
    }

    static std::vector<fake::LogLine> Errors(std::initializer_list<const char*> texts) {
        std::vector<fake::LogLine> lines;
        for (const char* t : texts) lines.push_back({3, t});
        return lines;
    }
};

using Strings = std::vector<std::string>;

// ---- API table and frame ----

TEST_F(QuarantineTest, TableListsTheMethodsInOrderAndEndsWithZeroEntry) {
    const TAVO::API_TABLE* table = GetAPITable();
    EXPECT_EQ(table, GetAPITable());
    EXPECT_EQ(table, gTable);
    const char* methods[] = {"load",        "delete_list",     "restore_list",
                             "retry",       "task_delete_all", "task_restore_all",
                             "task_status", "task_stop"};
    for (int i = 0; i < 8; ++i) {
        EXPECT_STREQ(table[i].szAPI, "TAVO.AntiVirus.Quarantine");
        EXPECT_EQ(table[i].iVersion, 1);
        EXPECT_STREQ(table[i].szMethod, methods[i]);
        EXPECT_NE(table[i].api, nullptr);
    }
    EXPECT_EQ(table[8].szAPI, nullptr);
    EXPECT_EQ(table[8].iVersion, 0);
    EXPECT_EQ(table[8].szMethod, nullptr);
    EXPECT_EQ(table[8].api, nullptr);

    // The entry function of "load" builds a handler that answers the listing.
    APIRequest req(Json::Value(Json::objectValue));
    req.SetParam("start", 0);
    req.SetParam("limit", 10);
    APIResponse resp;
    table[0].api(&req, &resp);
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["quarantineCount"].asInt(), 0);
}

TEST_F(QuarantineTest, UnknownMethodAnswers103AfterTwoLines) {
    APIResponse resp = Run("APIQuarantineNothing_v1", &QuarantineHandler::Load);
    EXPECT_EQ(resp.ErrorCode(), 103);
    EXPECT_EQ(fake::Messages(),
              Errors({"Unknown method: APIQuarantineNothing_v1", "Bad parameters"}));
    EXPECT_FALSE(fake::Called("QLIBCSzListAlloc"));
}

// ---- load ----

TEST_F(QuarantineTest, LoadWithoutVolumesAnswersEmptyArray) {
    APIResponse resp = Load(0, 10);
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_TRUE(resp.Data()["quarantineArray"].isArray());
    EXPECT_EQ(resp.Data()["quarantineArray"].size(), 0u);
    EXPECT_EQ(resp.Data()["quarantineCount"].asInt(), 0);
}

TEST_F(QuarantineTest, LoadNumbersItemsAcrossVolumes) {
    AddVolume(1, 3);
    AddVolume(2, 4);
    APIResponse resp = Load(2, 3);
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(Names(resp), (Strings{"vol1-3", "vol2-1", "vol2-2"}));
    EXPECT_EQ(resp.Data()["quarantineCount"].asInt(), 7);
    const Json::Value& item = resp.Data()["quarantineArray"][1];
    EXPECT_EQ(item["originalPath"].asString(), "/volume2/dir/vol2-1.exe");
    EXPECT_EQ(item["volumePath"].asString(), "/volume2");
    EXPECT_EQ(item["threat"].asString(), "Eicar-Test-Signature");
    EXPECT_EQ(item["quarantineTime"].asString(), "2026-12-01 10:00:00");
    EXPECT_EQ(item["sharePath"].asString(), "volume2/@tavoav_quarantine");
    EXPECT_EQ(item.size(), 6u);
    // One share lookup per listed item, none for the others.
    EXPECT_EQ(fake::CallCount("AVQuarantineGetExtShareNameByMountPath"), 3);
    EXPECT_TRUE(fake::Logs().empty());
}

TEST_F(QuarantineTest, LoadEmptyPagesKeepTheFullCount) {
    AddVolume(1, 3);
    AddVolume(2, 4);
    const int pages[][2] = {{0, 0}, {0, -1}, {7, 5}, {100, 5}, {3, -4}};
    for (const auto& page : pages) {
        APIResponse resp = Load(page[0], page[1]);
        ASSERT_TRUE(resp.IsSuccess());
        EXPECT_TRUE(Names(resp).empty()) << page[0] << "," << page[1];
        EXPECT_EQ(resp.Data()["quarantineCount"].asInt(), 7);
    }
}

TEST_F(QuarantineTest, LoadNegativeStartCountsFromZero) {
    AddVolume(1, 3);
    AddVolume(2, 4);
    APIResponse resp = Load(-2, 5);
    EXPECT_EQ(Names(resp), (Strings{"vol1-1", "vol1-2", "vol1-3"}));
}

TEST_F(QuarantineTest, LoadSkipsVolumesThatCannotBeRead) {
    AddVolume(1, 2);
    AddVolume(2, 3).readFails = true;
    AddVolume(3, 2).getFails = true;
    AddVolume(4, 2);
    APIResponse resp = Load(1, 2);
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(Names(resp), (Strings{"vol1-2", "vol4-1"}));
    EXPECT_EQ(resp.Data()["quarantineCount"].asInt(), 4);
    EXPECT_EQ(fake::Messages(),
              Errors({"failed to read quarantine", "get quarantine path failed:vol3"}));
}

TEST_F(QuarantineTest, LoadShareFailureEndsThatVolumeButKeepsItCounted) {
    AddVolume(1, 2);
    AddVolume(2, 5).shareFails = true;
    AddVolume(3, 3);
    APIResponse resp = Load(0, 5);
    ASSERT_TRUE(resp.IsSuccess());
    // The failed item took position 2; the next volume goes on at 3.
    EXPECT_EQ(Names(resp), (Strings{"vol1-1", "vol1-2", "vol3-1", "vol3-2"}));
    EXPECT_EQ(resp.Data()["quarantineCount"].asInt(), 10);
    EXPECT_EQ(fake::Args("AVQuarantineGetExtShareNameByMountPath"),
              (Strings{"/volume1", "/volume1", "/volume2", "/volume3", "/volume3"}));
    EXPECT_EQ(fake::Messages(), Errors({"error while get sharefolder path"}));
}

TEST_F(QuarantineTest, LoadCutsLongFullPathTo1023Characters) {
    fake::FakeVolume& v = AddVolume(1, 0);
    v.items.push_back(fake::MakeItem("/" + std::string(1020, 'a'), "long"));
    APIResponse resp = Load(0, 1);
    std::string path = resp.Data()["quarantineArray"][0]["originalPath"].asString();
    EXPECT_EQ(path.size(), 1023u);
    EXPECT_EQ(path.substr(0, 9), "/volume1/");
}

TEST_F(QuarantineTest, LoadRefusesMissingOrMistypedPaging) {
    Json::Value params(Json::objectValue);
    params["start"] = "0";
    params["limit"] = 5;
    APIResponse resp = Run("APIQuarantineLoad_v1", &QuarantineHandler::Load, params);
    EXPECT_EQ(resp.ErrorCode(), 114);
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(fake::Messages(),
              Errors({"The required parameter [start] is not found or its type is incorrect.",
                      "Bad parameters"}));

    fake::Reset();
    params = Json::Value(Json::objectValue);
    params["start"] = 0;
    resp = Run("APIQuarantineLoad_v1", &QuarantineHandler::Load, params);
    EXPECT_EQ(resp.ErrorCode(), 114);
    EXPECT_EQ(fake::Messages()[0].text,
              "The required parameter [limit] is not found or its type is incorrect.");
    EXPECT_FALSE(fake::Called("QLIBCSzListAlloc"));
}

TEST_F(QuarantineTest, LoadRefusesPagingBeyond32Bits) {
    AddVolume(1, 3);
    APIResponse resp = Load(Json::Int64(INT_MAX) + 1, 5);
    EXPECT_EQ(resp.ErrorCode(), 120);
    EXPECT_EQ(fake::Messages(), Errors({"wrong value of the parameter [start]"}));

    resp = Load(0, Json::Int64(INT_MIN) - 1);
    EXPECT_EQ(resp.ErrorCode(), 120);
    EXPECT_EQ(fake::Messages().back(), (fake::LogLine{3, "wrong value of the parameter [limit]"}));

    resp = Load(0, Json::UInt64(ULLONG_MAX));
    EXPECT_EQ(resp.ErrorCode(), 120);
    EXPECT_FALSE(fake::Called("QLIBCSzListAlloc"));
}

TEST_F(QuarantineTest, LoadPagingSumDoesNotOverflow) {
    AddVolume(1, 3);
    // 1 + INT_MAX would wrap in 32 bits and end the page at once.
    APIResponse resp = Load(1, INT_MAX);
    EXPECT_EQ(Names(resp), (Strings{"vol1-2", "vol1-3"}));
    resp = Load(INT_MAX, INT_MAX);
    EXPECT_TRUE(Names(resp).empty());
    EXPECT_EQ(resp.Data()["quarantineCount"].asInt(), 3);
    resp = Load(INT_MIN, INT_MIN);
    EXPECT_TRUE(Names(resp).empty());
}

TEST_F(QuarantineTest, LoadFailsWhenListOrEnumerationFails) {
    fake::FailWith("QLIBCSzListAlloc", -1);
    APIResponse resp = Load(0, 5);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), Errors({"Failed to alloc memory for QLIBCSzListAlloc"}));

    fake::Reset();
    AddVolume(1, 3);
    fake::FailWith("AVQuarantineAllBaseEnum", -1);
    resp = Load(0, 5);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(fake::Messages(), Errors({"AVQuarantineAllBaseEnum failed"}));
    EXPECT_EQ(fake::CallCount("QLIBCSzListFree"), 1);
}

// ---- delete_list / restore_list ----

class ListTest : public QuarantineTest {
protected:
    APIResponse Delete(const Json::Value& volumes, const Json::Value& names) {
        Json::Value params(Json::objectValue);
        params["volumes"] = volumes;
        params["deleteNames"] = names;
        return Run("APIQuarantineDeleteList_v1", &QuarantineHandler::DeleteList, params);
    }
    APIResponse Restore(const Json::Value& volumes, const Json::Value& names) {
        Json::Value params(Json::objectValue);
        params["volumes"] = volumes;
        params["restoreNames"] = names;
        return Run("APIQuarantineRestoreList_v1", &QuarantineHandler::RestoreList, params);
    }
    static Json::Value Array(std::initializer_list<Json::Value> values) {
        Json::Value array(Json::arrayValue);
        for (const auto& v : values) array.append(v);
        return array;
    }
    static std::vector<std::string> Left(int volume) {
        std::vector<std::string> names;
        for (const auto& item : fake::W().volumes[volume].items)
            names.push_back(item.szRenamedName);
        return names;
    }
};

TEST_F(ListTest, EmptyArraysCallNothing) {
    APIResponse resp = Delete(Array({}), Array({}));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["failArray"], Json::Value(Json::arrayValue));
    EXPECT_EQ(resp.Data()["failCount"].asInt(), 0);
    EXPECT_FALSE(fake::Called("AVQuarantineGet"));
}

TEST_F(ListTest, SizeMismatchIsLoggedAndShorterLengthUsed) {
    AddVolume(1, 3);
    APIResponse resp = Delete(Array({"vol1", "vol1"}), Array({"vol1-1", "vol1-2", "vol1-3"}));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(fake::Messages(), Errors({"the size of the webapi parameters are mismatched: 3, 2"}));
    EXPECT_EQ(Left(0), (Strings{"vol1-3"}));
    EXPECT_EQ(fake::CallCount("AVQuarantineConnect"), 2);
    EXPECT_EQ(fake::CallCount("AVQuarantineClose"), 2);
}

TEST_F(ListTest, WrongTypedPairEndsAtOnceKeepingEarlierWork) {
    AddVolume(1, 3);
    APIResponse resp = Delete(Array({"vol1", 5, "vol1"}), Array({"vol1-1", "vol1-2", "vol1-3"}));
    EXPECT_EQ(resp.ErrorCode(), 120);
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(Left(0), (Strings{"vol1-2", "vol1-3"}));
    EXPECT_EQ(fake::CallCount("AVQuarantineGet"), 1);
    EXPECT_EQ(fake::Messages(), Errors({"wrong data type for deleting files in the quarantine"}));

    // A name of the wrong type in restore_list gives the same text.
    fake::Reset();
    AddVolume(1, 1);
    resp = Restore(Array({"vol1"}), Array({Json::Value(true)}));
    EXPECT_EQ(resp.ErrorCode(), 120);
    EXPECT_EQ(fake::Messages(), Errors({"wrong data type for deleting files in the quarantine"}));
}

TEST_F(ListTest, LookupFailuresSkipThePairWithoutRecord) {
    AddVolume(1, 2);
    AddVolume(2, 1).connectFails = true;
    AddVolume(3, 1).shareFails = true;
    APIResponse resp = Delete(Array({"nowhere", "vol2", "vol1", "vol3", "vol1"}),
                              Array({"x", "vol2-1", "missing", "vol3-1", "vol1-2"}));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["failCount"].asInt(), 0);
    EXPECT_EQ(resp.Data()["failArray"].size(), 0u);
    EXPECT_EQ(fake::Messages(),
              Errors({"get quarantine path failed:nowhere",
                      "failed to connect quarantine database: /volume2/@quarantine/quarantine.db",
                      "failed to get DB entry for renamedName='missing' from "
                      "DB:/volume1/@quarantine/quarantine.db",
                      "error while get sharefolder path"}));
    // The item behind the failed share lookup stays; only vol1-2 went.
    EXPECT_EQ(fake::Args("AVQuarantineDeleteFile"), (Strings{"vol1-2"}));
    EXPECT_EQ(Left(2), (Strings{"vol3-1"}));
    EXPECT_EQ(Left(0), (Strings{"vol1-1"}));
}

TEST_F(ListTest, RestoreRefusalBecomesFailureRecord) {
    fake::FakeVolume& v = AddVolume(1, 0);
    v.items.push_back(fake::MakeItem("/docs/a.doc", "r-a", "Trojan.A", "2026-11-30 08:00:00"));
    v.items.push_back(fake::MakeItem("/docs/b.doc", "r-b", "Trojan.B", "2026-11-30 09:00:00"));
    v.refusals["r-b"] = AVQ_ERR_DEST_EXIST;
    APIResponse resp = Restore(Array({"vol1", "vol1"}), Array({"r-a", "r-b"}));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["failCount"].asInt(), 1);
    Json::Value expected(Json::objectValue);
    expected["originalPath"] = "/volume1/docs/b.doc";
    expected["volumePath"] = "/volume1";
    expected["renamedName"] = "r-b";
    expected["threat"] = "Trojan.B";
    expected["time"] = "2026-11-30 09:00:00";
    expected["reason"] = 7;
    expected["sharePath"] = "volume1/@tavoav_quarantine";
    Json::Value expectedArray(Json::arrayValue);
    expectedArray.append(expected);
    EXPECT_EQ(resp.Data()["failArray"], expectedArray);
    EXPECT_EQ(fake::Args("AVQuarantineRestoreFile"), (Strings{"r-a", "r-b"}));
    EXPECT_FALSE(fake::Called("AVQuarantineDeleteFile"));
    EXPECT_EQ(
        fake::Messages(),
        (std::vector<fake::LogLine>{{7, "error restore file[r-b] from quarantine[vol1] type:7"}}));
}

TEST_F(ListTest, DeleteRefusalLogsAtDebugPriority) {
    fake::FakeVolume& v = AddVolume(1, 1);
    v.refusals["vol1-1"] = AVQ_ERR_REMOVE_FAIL;
    APIResponse resp = Delete(Array({"vol1"}), Array({"vol1-1"}));
    EXPECT_EQ(resp.Data()["failArray"][0]["reason"].asInt(), 5);
    EXPECT_EQ(fake::Messages(),
              (std::vector<fake::LogLine>{
                  {7, "error delete file[vol1-1] from quarantine[vol1] type:5"}}));
}

TEST_F(ListTest, RestoreWantsRestoreNames) {
    Json::Value params(Json::objectValue);
    params["volumes"] = Array({"vol1"});
    params["deleteNames"] = Array({"a"});
    APIResponse resp = Run("APIQuarantineRestoreList_v1", &QuarantineHandler::RestoreList, params);
    EXPECT_EQ(resp.ErrorCode(), 114);
    EXPECT_EQ(
        fake::Messages(),
        Errors({"The required parameter [restoreNames] is not found or its type is incorrect.",
                "Bad parameters"}));

    fake::Reset();
    params = Json::Value(Json::objectValue);
    params["volumes"] = "vol1";
    params["deleteNames"] = Array({"a"});
    resp = Run("APIQuarantineDeleteList_v1", &QuarantineHandler::DeleteList, params);
    EXPECT_EQ(resp.ErrorCode(), 114);
    EXPECT_EQ(fake::Messages()[0].text,
              "The required parameter [volumes] is not found or its type is incorrect.");
}

// ---- tasks ----

TEST_F(QuarantineTest, TaskStartersSetAttributesInOrderAndLeaveTheAnswerToTheHost) {
    Json::Value params(Json::objectValue);
    params["extra"] = 1;
    APIResponse resp =
        Run("APIQuarantineTaskDeleteAll_v1", &QuarantineHandler::TaskDeleteAll, params);
    EXPECT_EQ(fake::Polling().attrs, (Strings{"request", "group=admin", "remove=0",
                                              "prefix=TAVO_AntiVirus_Quarantine_Task"}));
    EXPECT_EQ(fake::Polling().startedTask, &TestHandler::doDeleteAll);
    EXPECT_EQ(resp.AnswerCount(), 1);
    EXPECT_EQ(resp.Data()["task_id"].asString(), "TAVO_AntiVirus_Quarantine_Task1");
    EXPECT_EQ(fake::CallCount("APIPolling::~APIPolling"), 1);

    fake::Reset();
    resp = Run("APIQuarantineTaskRestoreAll_v1", &QuarantineHandler::TaskRestoreAll);
    EXPECT_EQ(fake::Polling().startedTask, &TestHandler::doRestoreAll);
    EXPECT_EQ(fake::Polling().attrs.size(), 4u);
    EXPECT_EQ(resp.AnswerCount(), 1);
    EXPECT_FALSE(fake::Called("AVQuarantineRestoreAllFiles"));
}

class TaskBodyTest : public QuarantineTest {
protected:
    // Records every answer the task body gives.
    struct Task {
        APIRequest req;
        APIResponse resp;
        std::vector<Json::Value> answers;  // {"code": N, "data": V}
        Task() {
            resp.SetAnswerObserver([this](const APIResponse& r) {
                Json::Value a(Json::objectValue);
                a["code"] = r.ErrorCode();
                a["data"] = r.Data();
                answers.push_back(a);
            });
        }
    };

    static FAILED_QITEM_LIST Node(const char* volume, const char* original, const char* name,
                                  QUARANTINE_ERROR error) {
        FAILED_QITEM_LIST node{};
        node.itemInfo = fake::MakeItem(original, name, "Worm.X", "2026-12-02 12:00:00");
        node.errorType = error;
        snprintf(node.szVolumePath, sizeof node.szVolumePath, "%s", volume);
        return node;
    }
};

TEST_F(TaskBodyTest, DeleteAllWithoutFailuresAnswersEmptyListAfterEarlySuccess) {
    Task task;
    TestHandler::doDeleteAll(&task.req, &task.resp, nullptr);
    ASSERT_EQ(task.answers.size(), 2u);
    EXPECT_EQ(task.answers[0]["code"].asInt(), 0);
    EXPECT_TRUE(task.answers[0]["data"].isNull());
    Json::Value expected(Json::objectValue);
    expected["failArray"] = Json::Value(Json::arrayValue);
    expected["failCount"] = 0;
    EXPECT_EQ(task.answers[1]["code"].asInt(), 0);
    EXPECT_EQ(task.answers[1]["data"], expected);
    EXPECT_FALSE(fake::Called("AVQuarantineFailListFree"));
}

TEST_F(TaskBodyTest, RestoreAllSkipsNodesWithoutShareAndWalksToTheEnd) {
    AddVolume(1, 0).shareFails = true;
    AddVolume(2, 0);
    fake::W().failList = {Node("/volume1", "/a", "n1", AVQ_ERR_DEST_EXIST),
                          Node("/volume1", "/b", "n2", AVQ_ERR_MOVE_FAIL),
                          Node("/volume2", "/c/d.txt", "n3", AVQ_ERR_SOURCE_MISSING)};
    Task task;
    task.req.SetParam("addToWhiteList", true);
    TestHandler::doRestoreAll(&task.req, &task.resp, nullptr);
    EXPECT_EQ(fake::W().restoreAllAddWhitelist, TRUE);
    ASSERT_EQ(task.answers.size(), 2u);
    const Json::Value& result = task.answers[1]["data"];
    EXPECT_EQ(result["failCount"].asInt(), 1);
    ASSERT_EQ(result["failArray"].size(), 1u);
    const Json::Value& record = result["failArray"][0];
    EXPECT_EQ(record["originalPath"].asString(), "/volume2/c/d.txt");
    EXPECT_EQ(record["volumePath"].asString(), "/volume2");
    EXPECT_EQ(record["renamedName"].asString(), "n3");
    EXPECT_EQ(record["threat"].asString(), "Worm.X");
    EXPECT_EQ(record["time"].asString(), "2026-12-02 12:00:00");
    EXPECT_EQ(record["reason"].asInt(), 3);
    EXPECT_EQ(record["sharePath"].asString(), "volume2/@tavoav_quarantine");
    EXPECT_EQ(fake::Messages(),
              Errors({"error while get sharefolder path", "error while get sharefolder path"}));
    EXPECT_EQ(fake::CallCount("AVQuarantineFailListFree"), 1);
}

TEST_F(TaskBodyTest, ServiceFailureAnswers117AndFreesTheList) {
    AddVolume(1, 0);
    fake::W().failList = {Node("/volume1", "/a", "n1", AVQ_ERR_REMOVE_FAIL)};
    fake::W().failListOnError = true;
    fake::FailWith("AVQuarantineDeleteAllFiles", -1);
    Task task;
    TestHandler::doDeleteAll(&task.req, &task.resp, nullptr);
    ASSERT_EQ(task.answers.size(), 2u);
    EXPECT_EQ(task.answers[1]["code"].asInt(), 117);
    EXPECT_TRUE(task.answers[1]["data"].isNull());
    EXPECT_EQ(fake::Messages(), Errors({"failed to delete all quarantine files"}));

    fake::Reset();
    fake::FailWith("AVQuarantineRestoreAllFiles", -1);
    Task restore;
    restore.req.SetParam("addToWhiteList", false);
    TestHandler::doRestoreAll(&restore.req, &restore.resp, nullptr);
    EXPECT_EQ(fake::W().restoreAllAddWhitelist, FALSE);
    EXPECT_EQ(restore.resp.ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), Errors({"failed to restore all quarantine files"}));
}

TEST_F(TaskBodyTest, MissingRequestOrResponse) {
    Task task;
    TestHandler::doDeleteAll(nullptr, &task.resp, nullptr);
    EXPECT_EQ(task.resp.ErrorCode(), 117);
    EXPECT_EQ(task.answers.size(), 1u);
    TestHandler::doRestoreAll(&task.req, nullptr, nullptr);
    TestHandler::doDeleteAll(&task.req, nullptr, nullptr);
    EXPECT_EQ(task.answers.size(), 1u);
    EXPECT_EQ(fake::Messages(),
              Errors({"NULL API parameters", "NULL API parameters", "NULL API parameters"}));
    EXPECT_FALSE(fake::Called("AVQuarantineDeleteAllFiles"));
    EXPECT_FALSE(fake::Called("AVQuarantineRestoreAllFiles"));
}

TEST_F(TaskBodyTest, RestoreAllWithoutBooleanFlagEndsWith114AndNoEarlySuccess) {
    for (const Json::Value& flag : {Json::Value(), Json::Value("true")}) {
        fake::Reset();
        Task task;
        if (!flag.isNull()) task.req.SetParam("addToWhiteList", flag);
        TestHandler::doRestoreAll(&task.req, &task.resp, nullptr);
        ASSERT_EQ(task.answers.size(), 1u);
        EXPECT_EQ(task.answers[0]["code"].asInt(), 114);
        EXPECT_EQ(fake::Messages(), Errors({"The required parameter [addToWhiteList] is not found "
                                            "or its type is incorrect."}));
        EXPECT_FALSE(fake::Called("AVQuarantineRestoreAllFiles"));
    }
}

TEST_F(QuarantineTest, TaskStatusAndStopCodes) {
    auto withId = [](const Json::Value& id) {
        Json::Value params(Json::objectValue);
        params["task_id"] = id;
        return params;
    };
    fake::Polling().statusValue["finished"] = true;
    APIResponse resp =
        Run("APIQuarantineTaskStatus_v1", &QuarantineHandler::TaskStatus, withId("T1"));
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_TRUE(resp.Data()["finished"].asBool());
    EXPECT_EQ(fake::Polling().statusIds, (Strings{"T1"}));

    fake::Polling().statusResult = false;
    resp = Run("APIQuarantineTaskStatus_v1", &QuarantineHandler::TaskStatus, withId("T2"));
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(resp.Data()["finished"].asBool());  // what Status left behind
    EXPECT_EQ(fake::Messages(), Errors({"failed to get task status"}));

    fake::Reset();
    resp = Run("APIQuarantineTaskStatus_v1", &QuarantineHandler::TaskStatus, withId(""));
    EXPECT_EQ(resp.ErrorCode(), 120);
    EXPECT_EQ(fake::Messages(), Errors({"task_id is emtpy"}));
    EXPECT_FALSE(fake::Called("APIPolling::Status"));

    fake::Reset();
    resp = Run("APIQuarantineTaskStatus_v1", &QuarantineHandler::TaskStatus, withId(7));
    EXPECT_EQ(resp.ErrorCode(), 114);
    EXPECT_EQ(fake::Messages(),
              Errors({"The required parameter [task_id] is not found or its type is incorrect.",
                      "Bad parameters"}));
    EXPECT_EQ(fake::CallCount("APIPolling::~APIPolling"), 1);

    fake::Reset();
    resp = Run("APIQuarantineTaskStop_v1", &QuarantineHandler::TaskStop, withId("T3"));
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_TRUE(resp.Data().isNull());
    ASSERT_EQ(fake::Polling().stops.size(), 1u);
    EXPECT_EQ(fake::Polling().stops[0], std::make_pair(std::string("T3"), true));

    fake::Polling().stopResult = false;
    resp = Run("APIQuarantineTaskStop_v1", &QuarantineHandler::TaskStop, withId("T4"));
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), Errors({"failed to stop task"}));

    fake::Reset();
    resp = Run("APIQuarantineTaskStop_v1", &QuarantineHandler::TaskStop, withId(""));
    EXPECT_EQ(resp.ErrorCode(), 120);
    EXPECT_TRUE(fake::Polling().stops.empty());
}

// ---- retry ----

class RetryTest : public QuarantineTest {
protected:
    APIResponse Retry() {
        Json::Value params(Json::objectValue);
        params["ignored"] = "x";
        return Run("APIQuarantineRetry_v1", &QuarantineHandler::Retry, params);
    }
    static void ExpectButtonsDisabled() {
        EXPECT_EQ(fake::W().buttonStatus.isReProcessDisabled, TRUE);
        EXPECT_EQ(fake::W().buttonStatus.isClearDisabled, TRUE);
    }
};

TEST_F(RetryTest, NothingToDoIsSuccessWithDebugLine) {
    APIResponse resp = Retry();
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_TRUE(resp.Data().isNull());
    ExpectButtonsDisabled();
    EXPECT_EQ(fake::Messages(),
              (std::vector<fake::LogLine>{{7, "unexpected state: no mvFailed item"}}));
    EXPECT_FALSE(fake::Called("QLIBCProcForkChildNoWait"));
}

TEST_F(RetryTest, EngineStatusFailureAnswers117WithButtonsDisabled) {
    fake::FailWith("AVGetEngStat", -1);
    APIResponse resp = Retry();
    EXPECT_EQ(resp.ErrorCode(), 117);
    ExpectButtonsDisabled();
    EXPECT_EQ(fake::Messages(), Errors({"get engine status failed"}));
    EXPECT_FALSE(fake::Called("QLIBCProcForkChildNoWait"));
}

TEST_F(RetryTest, ParentAnswersSuccessEvenWhenButtonsFail) {
    fake::W().engineStatus.mvFailedCnt = 3;
    fake::FailWith("AVButtonSetReProcDisable", -1);
    fake::FailWith("AVButtonSetClearDisable", -1);
    APIResponse resp = Retry();
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_EQ(fake::Messages(), Errors({"failed to disable re-process button",
                                        "failed to disable clear warning button"}));
    EXPECT_FALSE(fake::Called("AVTryProcessAgain"));
    EXPECT_EQ(fake::Calls(), (Strings{"AVButtonSetReProcDisable", "AVButtonSetClearDisable",
                                      "AVGetEngStat", "QLIBCProcForkChildNoWait"}));
}

TEST_F(RetryTest, ForkFailureAnswers117) {
    fake::W().engineStatus.mvFailedCnt = 1;
    fake::W().forkNoWaitResult = -1;
    APIResponse resp = Retry();
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), Errors({"failed to fork process"}));
    EXPECT_FALSE(fake::Called("AVTryProcessAgain"));
}

TEST_F(RetryTest, ChildReprocessesAndExitsWithStatus1) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    fake::W().engineStatus.mvFailedCnt = 2;
    fake::W().forkNoWaitResult = 0;
    EXPECT_EXIT(Retry(), ::testing::ExitedWithCode(1), "");

    fake::FailWith("AVTryProcessAgain", -1);
    EXPECT_EXIT(Retry(), ::testing::ExitedWithCode(1),
                "syslog<3> quarantine_handler.cpp:[0-9]+ failed to re-process");
}

TEST_F(RetryTest, ChildWithSuccessfulAttemptWritesNoFailure) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    fake::W().engineStatus.mvFailedCnt = 2;
    fake::W().forkNoWaitResult = 0;
    // A child that wrote a failure line would not match the empty stderr.
    EXPECT_EXIT(
        {
            Retry();
            fprintf(stderr, "answered\n");
        },
        ::testing::ExitedWithCode(1), "^$");
}

}  // namespace
