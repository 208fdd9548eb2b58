// SettingsHandler against the platform fakes, reached through the entry functions.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <ctime>

#include "fake.h"
#include "settings_handler.h"

using fake::LogLine;
using fake::W;
using TAVO::APIRequest;
using TAVO::APIResponse;

void APIGeneralGetSysInfo_v1(APIRequest*, APIResponse*);
void APIGeneralUpdate_v1(APIRequest*, APIResponse*);
void APIGeneralClearWarning_v1(APIRequest*, APIResponse*);
void APIConfigGet_v1(APIRequest*, APIResponse*);
void APIConfigSet_v1(APIRequest*, APIResponse*);
void APIConfigRestoreDefault_v1(APIRequest*, APIResponse*);
void APIFileExtLoad_v1(APIRequest*, APIResponse*);
void APIFileExtAdd_v1(APIRequest*, APIResponse*);
void APIFileExtDelete_v1(APIRequest*, APIResponse*);
void APIWhiteListLoad_v1(APIRequest*, APIResponse*);
void APIWhiteListAdd_v1(APIRequest*, APIResponse*);
void APIWhiteListAddQuarantined_v1(APIRequest*, APIResponse*);
void APIWhiteListDelete_v1(APIRequest*, APIResponse*);
void APIScheduleLoad_v1(APIRequest*, APIResponse*);
void APIScheduleSave_v1(APIRequest*, APIResponse*);
extern "C" const TAVO::API_TABLE gTable[];

// A clock the tests can stop; the handler's time() resolves here.
static time_t g_fakeNow = 0;
extern "C" time_t time(time_t* pOut) noexcept {
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t now = g_fakeNow != 0 ? g_fakeNow : ts.tv_sec;
    if (pOut) *pOut = now;
    return now;
}

namespace {

const int kErr = 3;

class SettingsTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        g_fakeNow = 0;
    }
    void TearDown() override {
        EXPECT_EQ(W().liveSzLists, 0);
        EXPECT_EQ(W().liveQConns, 0);
        EXPECT_EQ(W().liveDBConns, 0);
        EXPECT_EQ(W().liveDBResults, 0);
        EXPECT_TRUE(fake::AllLogsFrom("settings_handler.cpp"));
    }

    APIResponse Run(void (*entry)(APIRequest*, APIResponse*),
                    Json::Value params = Json::Value(Json::objectValue)) {
        APIRequest req(params, "ger");
        APIResponse resp;
        entry(&req, &resp);
        EXPECT_EQ(resp.AnswerCount(), 1);
        return resp;
    }
    static Json::Value Arr(std::initializer_list<Json::Value> items) {
        Json::Value a(Json::arrayValue);
        for (const auto& v : items) a.append(v);
        return a;
    }
    static Json::Value Page(int start, int limit) {
        Json::Value p;
        p["start"] = start;
        p["limit"] = limit;
        return p;
    }
    static std::vector<LogLine> Errs(std::initializer_list<const char*> texts) {
        std::vector<LogLine> out;
        for (const char* t : texts) out.push_back({kErr, t});
        return out;
    }
};

// ---------------------------------------------------------------- frame, table

TEST_F(SettingsTest, TableListsTheFifteenMethodsInOrderAndEndsWithZeros) {
    const char* rgExpected[][2] = {
        {"TAVO.AntiVirus.General", "get_sys_info"},
        {"TAVO.AntiVirus.General", "update"},
        {"TAVO.AntiVirus.General", "clear_warning"},
        {"TAVO.AntiVirus.Config", "get"},
        {"TAVO.AntiVirus.Config", "set"},
        {"TAVO.AntiVirus.Config", "restore_default"},
        {"TAVO.AntiVirus.FileExt", "load"},
        {"TAVO.AntiVirus.FileExt", "add"},
        {"TAVO.AntiVirus.FileExt", "delete"},
        {"TAVO.AntiVirus.WhiteList", "load"},
        {"TAVO.AntiVirus.WhiteList", "add"},
        {"TAVO.AntiVirus.WhiteList", "add_quarantined"},
        {"TAVO.AntiVirus.WhiteList", "delete"},
        {"TAVO.AntiVirus.Schedule", "load"},
        {"TAVO.AntiVirus.Schedule", "save"},
    };
    TAVO::API_TABLE* table = GetAPITable();
    EXPECT_EQ(table, GetAPITable());
    EXPECT_EQ(table, gTable);
    for (int i = 0; i < 15; ++i) {
        EXPECT_STREQ(table[i].szAPI, rgExpected[i][0]) << i;
        EXPECT_STREQ(table[i].szMethod, rgExpected[i][1]) << i;
        EXPECT_EQ(table[i].iVersion, 1);
    }
    EXPECT_EQ(table[0].api, &APIGeneralGetSysInfo_v1);
    EXPECT_EQ(table[11].api, &APIWhiteListAddQuarantined_v1);
    EXPECT_EQ(table[14].api, &APIScheduleSave_v1);
    EXPECT_EQ(table[15].szAPI, nullptr);
    EXPECT_EQ(table[15].iVersion, 0);
    EXPECT_EQ(table[15].szMethod, nullptr);
    EXPECT_EQ(table[15].api, nullptr);
}

TEST_F(SettingsTest, UnknownMethodAnswers103AfterTwoLines) {
    APIRequest req;
    APIResponse resp;
    TAVO::AntiVirus::SettingsHandler handler(&req, &resp, "APIConfigGet_v2");
    handler.ConfigGet();
    EXPECT_EQ(resp.ErrorCode(), 103);
    EXPECT_EQ(fake::Messages(), Errs({"Unknown method: APIConfigGet_v2", "Bad parameters"}));
    EXPECT_FALSE(fake::Called("AVGetConfig"));
}

TEST_F(SettingsTest, MissingOrMistypedParametersAnswer114NamingTheFirstAndTouchNothing) {
    struct Case {
        void (*entry)(APIRequest*, APIResponse*);
        Json::Value params;
        const char* szName;
    };
    Json::Value startString = Page(0, 1);
    startString["start"] = "0";
    Json::Value noLimit;
    noLimit["start"] = 0;
    Json::Value onlyWhiteList;
    onlyWhiteList["whiteList"] = Arr({"a"});
    Json::Value configString;
    configString["config"] = "x";
    Json::Value extArray;
    extArray["extension"] = Arr({"exe"});
    Json::Value none(Json::objectValue);
    const Case cases[] = {
        {APIConfigSet_v1, configString, "config"},
        {APIFileExtLoad_v1, startString, "start"},
        {APIWhiteListLoad_v1, noLimit, "limit"},
        {APIWhiteListLoad_v1, none, "start"},
        {APIFileExtAdd_v1, extArray, "extension"},
        {APIFileExtDelete_v1, none, "extensionToBeDelete"},
        {APIWhiteListAdd_v1, none, "listToBeAdd"},
        {APIWhiteListAddQuarantined_v1, onlyWhiteList, "volumes"},
        {APIWhiteListAddQuarantined_v1, none, "volumes"},
        {APIWhiteListDelete_v1, none, "listToBeDelete"},
        {APIScheduleSave_v1, none, "scanJobArray"},
    };
    for (const Case& c : cases) {
        fake::Reset();
        APIResponse resp = Run(c.entry, c.params);
        EXPECT_EQ(resp.ErrorCode(), 114) << c.szName;
        EXPECT_TRUE(resp.Data().isNull());
        std::string first = std::string("The required parameter [") + c.szName +
                            "] is not found or its type is incorrect.";
        EXPECT_EQ(fake::Messages(), Errs({first.c_str(), "Bad parameters"})) << c.szName;
        for (const std::string& call : fake::Calls())
            EXPECT_TRUE(call == "QLIBCSzListFree") << c.szName << " called " << call;
    }
}

// ---------------------------------------------------------------- get_sys_info

TEST_F(SettingsTest, SysStatusDecisionTableFirstRowThatHoldsDecides) {
    struct Case {
        const char* szName;
        std::function<void(TAVOAV_STAT&)> set;
        int iInfoRet;
        const char* szExpected;
    };
    const Case cases[] = {
        {"init+scan",
         [](TAVOAV_STAT& s) {
             s.isInitializing = TRUE;
             s.isScanning = TRUE;
             s.isUpdating = TRUE;
         },
         OKAY, "preparing"},
        {"scan+update",
         [](TAVOAV_STAT& s) {
             s.isScanning = TRUE;
             s.isUpdating = TRUE;
             s.isStayInNotify = TRUE;
         },
         OKAY, "scanning"},
        {"update+notify",
         [](TAVOAV_STAT& s) {
             s.isUpdating = TRUE;
             s.isStayInNotify = TRUE;
         },
         ERR_TAVOAV_DB_ACCESS_ERROR, "updating"},
        {"notify infected",
         [](TAVOAV_STAT& s) {
             s.isStayInNotify = TRUE;
             s.infectedFileCnt = 1;
             s.isReprocessing = TRUE;
         },
         OKAY, "infected"},
        {"notify clean, move failed",
         [](TAVOAV_STAT& s) {
             s.isStayInNotify = TRUE;
             s.mvFailedCnt = 3;
         },
         OKAY, "completed"},
        {"reprocessing",
         [](TAVOAV_STAT& s) {
             s.isReprocessing = TRUE;
             s.mvFailedCnt = 2;
         },
         ERR_TAVOAV_DB_ACCESS_ERROR, "reprocessing"},
        {"danger above 32 bits", [](TAVOAV_STAT& s) { s.mvFailedCnt = int64_t(1) << 32; },
         ERR_TAVOAV_DB_ACCESS_ERROR, "danger"},
        {"no definitions", [](TAVOAV_STAT&) {}, ERR_TAVOAV_DB_ACCESS_ERROR, "installvirusdef"},
        {"secure",
         [](TAVOAV_STAT& s) {
             s.isUpdFailed = TRUE;
             s.errFileCnt = 9;
         },
         OKAY, "secure"},
    };
    for (const Case& c : cases) {
        fake::Reset();
        c.set(W().engineStatus);
        W().engineInfoResult = c.iInfoRet;
        W().engineInfo.lastUpdateDate = time(nullptr);
        APIResponse resp = Run(APIGeneralGetSysInfo_v1);
        EXPECT_TRUE(resp.IsSuccess()) << c.szName;
        EXPECT_EQ(resp.Data()["sysStatus"].asString(), c.szExpected) << c.szName;
    }
}

TEST_F(SettingsTest, SysInfoAnswersEveryMemberInOrderWithCountersAsText) {
    TAVOAV_STAT& s = W().engineStatus;
    s.isStayInNotify = TRUE;
    s.mvFailedCnt = (int64_t(1) << 32) + 5;
    s.scannedFileCnt = 123456789012345LL;
    s.infectedFileCnt = 2;
    s.processFailedCnt = 3;
    s.downloadSizeTotal = 5000000000LL;
    s.downloadSizeNow = -1;
    s.scanFileCountTotal = 7;
    W().buttonStatus = BUTTON_STATUS{TRUE, FALSE, TRUE, FALSE, TRUE, FALSE};
    W().quarantineCount = 12;
    W().engineInfo.lastUpdateDate = time(nullptr);

    APIResponse resp = Run(APIGeneralGetSysInfo_v1, Page(1, 2));  // parameters ignored
    ASSERT_TRUE(resp.IsSuccess());
    const Json::Value& d = resp.Data();
    EXPECT_EQ(d.getMemberNames().size(), 10u);
    EXPECT_EQ(d["sysStatus"], "infected");
    EXPECT_TRUE(d["procFailCount"].isInt());
    EXPECT_EQ(d["procFailCount"].asInt(), 5);
    EXPECT_EQ(d["scan"]["scanned"], "123456789012345");
    EXPECT_EQ(d["scan"]["processed"], "-1");
    EXPECT_EQ(d["scan"]["failed"], "3");
    EXPECT_EQ(d["downloadSizeTotal"], "5000000000");
    EXPECT_EQ(d["downloadSizeNow"], "-1");
    EXPECT_EQ(d["scanFileCountTotal"], "7");
    EXPECT_EQ(d["button"]["isStopDisabled"], true);
    EXPECT_EQ(d["button"]["isPaused"], false);
    EXPECT_EQ(d["button"]["isPauseDisabled"], true);
    EXPECT_EQ(d["button"]["isClearDisabled"], false);
    EXPECT_EQ(d["button"]["isReProcessDisabled"], true);
    EXPECT_EQ(d["button"]["isAckDisabled"], false);
    EXPECT_EQ(d["updaterStatus"], "latest");
    EXPECT_EQ(d["quarantineCount"], 12);
    EXPECT_EQ(W().gadgetCount, 12);
    char szExpected[64];
    strftime(szExpected, sizeof szExpected, "%Y-%m-%d %H:%M",
             localtime(&W().engineInfo.lastUpdateDate));
    EXPECT_EQ(d["lastUpdate"], szExpected);
    EXPECT_EQ(fake::Calls(),
              (std::vector<std::string>{"AVGetEngStat", "AVGetEngInfo", "AVButtonStatusGet",
                                        "AVQuarantineItemCountGet", "executeGadgeUpdate"}));
    EXPECT_TRUE(fake::Logs().empty());
}

TEST_F(SettingsTest, SysInfoWithoutDefinitionsIsUnknownAndObsolete) {
    W().engineInfoResult = ERR_TAVOAV_DB_ACCESS_ERROR;
    APIResponse resp = Run(APIGeneralGetSysInfo_v1);
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["lastUpdate"], "Unknown");
    EXPECT_EQ(resp.Data()["updaterStatus"], "obsolete");
}

TEST_F(SettingsTest, DefinitionAgeBoundaryIsFourteenDaysInclusive) {
    struct Case {
        int64_t age;
        const char* szExpected;
    };
    const Case cases[] = {
        {1209600, "latest"}, {1209601, "obsolete"}, {0, "latest"}, {-86400, "latest"}};
    g_fakeNow = 1800000000;
    for (const Case& c : cases) {
        fake::Reset();
        W().engineInfo.lastUpdateDate = g_fakeNow - c.age;
        APIResponse resp = Run(APIGeneralGetSysInfo_v1);
        EXPECT_EQ(resp.Data()["updaterStatus"], c.szExpected) << c.age;
    }
}

TEST_F(SettingsTest, DatesTheConversionCannotTakeAreUnknownAndNeverOverflow) {
    W().engineInfo.lastUpdateDate = LLONG_MIN;
    APIResponse resp = Run(APIGeneralGetSysInfo_v1);
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["lastUpdate"], "Unknown");
    EXPECT_EQ(resp.Data()["updaterStatus"], "obsolete");

    fake::Reset();
    W().engineInfo.lastUpdateDate = LLONG_MAX;
    resp = Run(APIGeneralGetSysInfo_v1);
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["lastUpdate"], "Unknown");
    EXPECT_EQ(resp.Data()["updaterStatus"], "latest");
}

TEST_F(SettingsTest, SysInfoFailureRowsCarryTheirPartialObjects) {
    // Engine status fails: empty answer, nothing else asked.
    fake::FailWith("AVGetEngStat", -1);
    APIResponse resp = Run(APIGeneralGetSysInfo_v1);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(fake::Calls(), std::vector<std::string>{"AVGetEngStat"});
    EXPECT_EQ(fake::Messages(), Errs({"get engine status failed"}));

    // Engine information fails: state word and counters, no date.
    fake::Reset();
    W().engineInfoResult = ERR_TAVOAV_ENGINE_NOT_AVAILABLE;
    W().engineStatus.scannedFileCnt = 4;
    resp = Run(APIGeneralGetSysInfo_v1);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_EQ(resp.Data()["sysStatus"], "secure");
    EXPECT_EQ(resp.Data()["scan"]["scanned"], "4");
    EXPECT_TRUE(resp.Data().isMember("button"));
    EXPECT_FALSE(resp.Data().isMember("lastUpdate"));
    EXPECT_FALSE(fake::Called("AVQuarantineItemCountGet"));
    EXPECT_FALSE(fake::Called("executeGadgeUpdate"));
    EXPECT_EQ(fake::Messages(), Errs({"get engine information failed"}));

    // Quarantine count fails: everything but the count.
    fake::Reset();
    fake::FailWith("AVQuarantineItemCountGet", -1);
    resp = Run(APIGeneralGetSysInfo_v1);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(resp.Data().isMember("updaterStatus"));
    EXPECT_TRUE(resp.Data().isMember("lastUpdate"));
    EXPECT_FALSE(resp.Data().isMember("quarantineCount"));
    EXPECT_FALSE(fake::Called("executeGadgeUpdate"));
    EXPECT_EQ(fake::Messages(), Errs({"failed to get quarantine item count"}));

    // Button status fails: logged only, all flags false.
    fake::Reset();
    W().buttonStatus = BUTTON_STATUS{TRUE, TRUE, TRUE, TRUE, TRUE, TRUE};
    fake::FailWith("AVButtonStatusGet", -1);
    resp = Run(APIGeneralGetSysInfo_v1);
    EXPECT_TRUE(resp.IsSuccess());
    for (const std::string& name : resp.Data()["button"].getMemberNames())
        EXPECT_EQ(resp.Data()["button"][name], false) << name;
    EXPECT_EQ(resp.Data()["button"].size(), 6u);
    EXPECT_EQ(fake::Messages(), Errs({"failed to get button status"}));
}

// ---------------------------------------------------------------- update, clear_warning

TEST_F(SettingsTest, UpdateParentWritesLanguageForksPausesAndSucceeds) {
    W().engineStatus.isScanning = TRUE;
    time_t before = time(nullptr);
    APIResponse resp = Run(APIGeneralUpdate_v1);
    EXPECT_GE(time(nullptr) - before, 2);  // loose: the parent pauses about three seconds
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(W().keyValues["/var/packages/AntiVirus-Zentrel/target/.tavoavtmp"]["browserLanguage"],
              "ger");
    EXPECT_EQ(fake::Args("QLIBCFileSetKeyValue.reserved"), std::vector<std::string>{"(null)"});
    EXPECT_EQ(fake::Calls(),
              (std::vector<std::string>{"AVGetEngStat", "QLIBCFileSetKeyValue", "QLIBCProcFork"}));
    EXPECT_FALSE(fake::Called("AVUpdate_m"));
}

TEST_F(SettingsTest, UpdateFailuresBeforeAndAtTheFork) {
    fake::FailWith("AVGetEngStat", -1);
    APIResponse resp = Run(APIGeneralUpdate_v1);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(W().keyValues.empty());
    EXPECT_FALSE(fake::Called("QLIBCProcFork"));
    EXPECT_EQ(fake::Messages(), Errs({"get engine status failed"}));

    fake::Reset();
    fake::FailWith("QLIBCProcFork", -1);
    fake::FailWith("QLIBCFileSetKeyValue", -1);  // ignored: the fork is still tried
    resp = Run(APIGeneralUpdate_v1);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(fake::Called("QLIBCProcFork"));
    EXPECT_EQ(fake::Messages(), Errs({"failed to fork process"}));

    fake::Reset();
    fake::FailWith("QLIBCProcFork", -1);
    resp = Run(APIGeneralUpdate_v1);
    EXPECT_EQ(W().keyValues["/var/packages/AntiVirus-Zentrel/target/.tavoavtmp"]["browserLanguage"],
              "ger");
}

TEST_F(SettingsTest, UpdateChildRunsTheUpdateOnlyWhenIdleAndExitsWithOne) {
    auto child = [](bool blBusyField, int iUpdateResult) {
        fake::Reset();
        W().forkResult = 0;
        if (blBusyField) W().engineStatus.isInitializing = TRUE;
        if (iUpdateResult != 0) fake::FailWith("AVUpdate_m", iUpdateResult);
        APIRequest req;
        APIResponse resp;
        APIGeneralUpdate_v1(&req, &resp);
        fprintf(stderr, "child returned\n");
    };
    // The child's syslog lines are echoed on stderr by the fakes: a failing
    // update shows that it was called, silence that it was not (or succeeded).
    EXPECT_EXIT(child(false, 0), ::testing::ExitedWithCode(1), "^$");
    EXPECT_EXIT(child(false, -8), ::testing::ExitedWithCode(1),
                "syslog<3> settings_handler.cpp:[0-9]+ error while update antivirus engine");
    EXPECT_EXIT(child(true, -8), ::testing::ExitedWithCode(1), "^$");
    fake::Reset();
}

TEST_F(SettingsTest, ClearWarningTriesBothCallsAndAnswersOnce) {
    APIResponse resp = Run(APIGeneralClearWarning_v1);
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_EQ(fake::Calls(),
              (std::vector<std::string>{"AVButtonSetClearDisable", "AVQuarantineFailClear"}));

    fake::Reset();
    fake::FailWith("AVButtonSetClearDisable", -1);
    resp = Run(APIGeneralClearWarning_v1);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(fake::Called("AVQuarantineFailClear"));
    EXPECT_EQ(fake::Messages(), Errs({"set clear button pressed fail"}));

    fake::Reset();
    fake::FailWith("AVButtonSetClearDisable", -1);
    fake::FailWith("AVQuarantineFailClear", -1);
    resp = Run(APIGeneralClearWarning_v1);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(),
              Errs({"set clear button pressed fail", "failed to remove failed list file"}));
}

// ---------------------------------------------------------------- config

TEST_F(SettingsTest, ConfigGetMapsEveryServiceValue) {
    struct Case {
        int op, rule, autoUpdate;
        const char* szAction;
        bool blExtOnly, blUpdate;
    };
    const Case cases[] = {
        {0, 0, 1, "do_nothing", false, true},
        {1, 1, 0, "quarantine_it", true, false},
        {2, 0, 2, "quarantine_it", false, false},
    };
    for (const Case& c : cases) {
        fake::Reset();
        int rgFields[3] = {c.autoUpdate, c.op, c.rule};
        memcpy(&W().config, rgFields, sizeof rgFields);
        APIResponse resp = Run(APIConfigGet_v1);
        ASSERT_TRUE(resp.IsSuccess());
        EXPECT_EQ(resp.Data()["virusAction"], c.szAction);
        EXPECT_EQ(resp.Data()["scanExtensionOnly"], c.blExtOnly);
        EXPECT_EQ(resp.Data()["updateBeforeScan"], c.blUpdate);
        EXPECT_EQ(resp.Data().size(), 3u);
    }
}

TEST_F(SettingsTest, ConfigGetFailuresCarryWhatWasMapped) {
    fake::FailWith("AVGetConfig", -1);
    APIResponse resp = Run(APIConfigGet_v1);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(fake::Messages(), Errs({"failed to get configuration"}));

    fake::Reset();
    int rgBadOp[3] = {1, 3, 0};
    memcpy(&W().config, rgBadOp, sizeof rgBadOp);
    resp = Run(APIConfigGet_v1);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(fake::Messages(), Errs({"unexpected config output"}));

    fake::Reset();
    int rgBadRule[3] = {1, 1, 5};
    memcpy(&W().config, rgBadRule, sizeof rgBadRule);
    resp = Run(APIConfigGet_v1);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_EQ(resp.Data()["virusAction"], "quarantine_it");
    EXPECT_FALSE(resp.Data().isMember("scanExtensionOnly"));
    EXPECT_EQ(fake::Messages(), Errs({"unexpected config output"}));
}

Json::Value Config(Json::Value action, Json::Value extOnly, Json::Value update) {
    Json::Value p;
    p["config"]["virusAction"] = action;
    p["config"]["scanExtensionOnly"] = extOnly;
    p["config"]["updateBeforeScan"] = update;
    return p;
}

TEST_F(SettingsTest, ConfigSetMapsChoicesAndNeverSetsDeletion) {
    struct Case {
        const char* szAction;
        bool blExtOnly, blUpdate;
        int op, rule, autoUpdate;
    };
    const Case cases[] = {
        {"do_nothing", true, false, 0, 1, 0}, {"quarantine_it", false, true, 1, 0, 1},
        {"delete_it", false, false, 1, 0, 0}, {"Do_nothing", true, true, 1, 1, 1},
        {"", false, false, 1, 0, 0},
    };
    for (const Case& c : cases) {
        fake::Reset();
        W().config.defaultOp = RM_INFECTED_FILES;
        APIResponse resp = Run(APIConfigSet_v1, Config(c.szAction, c.blExtOnly, c.blUpdate));
        EXPECT_TRUE(resp.IsSuccess()) << c.szAction;
        EXPECT_TRUE(resp.Data().isNull());
        EXPECT_EQ(W().config.defaultOp, c.op) << c.szAction;
        EXPECT_EQ(W().config.filenameFilterRule, c.rule);
        EXPECT_EQ(W().config.blAutoUpdate, c.autoUpdate);
        EXPECT_EQ(fake::Calls(), (std::vector<std::string>{"AVSetScanFilterRule", "AVSetDefaultOp",
                                                           "AVSetAutoUpdate"}));
    }
    fake::Reset();
    fake::FailWith("AVSetAutoUpdate", 1);  // a positive result is success
    EXPECT_TRUE(Run(APIConfigSet_v1, Config("do_nothing", true, true)).IsSuccess());
}

TEST_F(SettingsTest, ConfigSetRefusesWrongTypesBeforeAnySetter) {
    Json::Value missing = Config("do_nothing", true, true);
    missing["config"].removeMember("updateBeforeScan");
    const Json::Value cases[] = {Config("do_nothing", 1, true), Config(0, true, true),
                                 Config("do_nothing", true, "true"), missing};
    for (const Json::Value& params : cases) {
        fake::Reset();
        APIResponse resp = Run(APIConfigSet_v1, params);
        EXPECT_EQ(resp.ErrorCode(), 120);
        EXPECT_TRUE(fake::Calls().empty());
        EXPECT_EQ(fake::Messages(), Errs({"wrong data type for setting config"}));
    }
}

TEST_F(SettingsTest, ConfigSetStopsAtTheFirstFailingSetterKeepingEarlierOnes) {
    const char* rgSetters[] = {"AVSetScanFilterRule", "AVSetDefaultOp", "AVSetAutoUpdate"};
    for (int failing = 0; failing < 3; ++failing) {
        fake::Reset();
        W().config.blAutoUpdate = FALSE;
        W().config.defaultOp = DO_NOTHING_TO_INFECTED_FILES;
        W().config.filenameFilterRule = TAVOAV_SCAN_ALL;
        fake::FailWith(rgSetters[failing], -1);
        APIResponse resp = Run(APIConfigSet_v1, Config("quarantine_it", true, true));
        EXPECT_EQ(resp.ErrorCode(), 117);
        EXPECT_EQ(fake::Messages(), Errs({"failed to set configuration"}));
        EXPECT_EQ(fake::Calls().size(), static_cast<size_t>(failing + 1));
        EXPECT_EQ(W().config.filenameFilterRule,
                  failing > 0 ? TAVOAV_SCAN_EXTENSIONS : TAVOAV_SCAN_ALL);
        EXPECT_EQ(W().config.defaultOp,
                  failing > 1 ? MV_INFECTED_FILES : DO_NOTHING_TO_INFECTED_FILES);
        EXPECT_EQ(W().config.blAutoUpdate, FALSE);
    }
}

TEST_F(SettingsTest, RestoreDefaultAlwaysLogsItsLine) {
    APIResponse resp = Run(APIConfigRestoreDefault_v1, Page(0, 0));
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_EQ(fake::Messages(), Errs({"restore default config"}));
    EXPECT_TRUE(fake::Called("AVResetConf"));

    fake::Reset();
    fake::FailWith("AVResetConf", -6);
    resp = Run(APIConfigRestoreDefault_v1);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(),
              Errs({"restore default config", "error while restoring factory defaults"}));
}

// ---------------------------------------------------------------- paged loads

struct PageCase {
    int64_t start, limit;
    std::vector<int> ids;
};

TEST_F(SettingsTest, WhiteListPagesKeepPositionsAndSkipEmptyOnes) {
    W().whiteList = {"/v/a", "/v/b", "/v/c", "/v/d", "/v/e"};
    const PageCase cases[] = {
        {0, 10, {0, 1, 2, 3, 4}},
        {2, 2, {2, 3}},
        {5, 1, {}},
        {9, 3, {}},
        {1, 0, {}},
        {1, -2, {}},
        {-2, 4, {0, 1}},
        {3, INT_MAX, {3, 4}},
        {INT_MAX, INT_MAX, {}},
        {INT_MIN, INT_MAX, {}},
    };
    for (const PageCase& c : cases) {
        Json::Value params;
        params["start"] = Json::Int64(c.start);
        params["limit"] = Json::Int64(c.limit);
        APIResponse resp = Run(APIWhiteListLoad_v1, params);
        ASSERT_TRUE(resp.IsSuccess()) << c.start << "," << c.limit;
        EXPECT_EQ(resp.Data()["itemCount"], 5);
        const Json::Value& page = resp.Data()["whiteList"];
        ASSERT_TRUE(page.isArray());
        ASSERT_EQ(page.size(), c.ids.size()) << c.start << "," << c.limit;
        for (Json::ArrayIndex i = 0; i < page.size(); ++i) {
            EXPECT_EQ(page[i]["ID"], c.ids[i]);
            EXPECT_EQ(page[i]["filepath"], W().whiteList[c.ids[i]]);
        }
    }
    W().nullListPositions = {1};
    APIResponse resp = Run(APIWhiteListLoad_v1, Page(0, 3));
    ASSERT_EQ(resp.Data()["whiteList"].size(), 2u);
    EXPECT_EQ(resp.Data()["whiteList"][0]["ID"], 0);
    EXPECT_EQ(resp.Data()["whiteList"][1]["ID"], 2);
    EXPECT_TRUE(fake::Logs().empty());
}

TEST_F(SettingsTest, FileExtPagesAndEmptyList) {
    W().extensionList = {"exe", "dll", "js", "pdf"};
    W().nullListPositions = {2};
    APIResponse resp = Run(APIFileExtLoad_v1, Page(1, 3));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["itemCount"], 4);
    ASSERT_EQ(resp.Data()["extensionList"].size(), 2u);
    EXPECT_EQ(resp.Data()["extensionList"][0]["ID"], 1);
    EXPECT_EQ(resp.Data()["extensionList"][0]["extension"], "dll");
    EXPECT_EQ(resp.Data()["extensionList"][1]["ID"], 3);

    fake::Reset();
    resp = Run(APIFileExtLoad_v1, Page(0, 10));
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_TRUE(resp.Data()["extensionList"].isArray());
    EXPECT_EQ(resp.Data()["extensionList"].size(), 0u);
    EXPECT_EQ(resp.Data()["itemCount"], 0);
}

TEST_F(SettingsTest, PagingValuesBeyond32BitsAreRefusedWith120) {
    W().whiteList = {"/v/a"};
    const Json::Value rgValues[] = {Json::Int64(INT_MAX) + 1, Json::Int64(INT_MIN) - 1,
                                    Json::UInt64(1) << 63, 1e12};
    for (auto entry : {APIWhiteListLoad_v1, APIFileExtLoad_v1}) {
        for (const Json::Value& v : rgValues) {
            for (const char* szName : {"start", "limit"}) {
                fake::Reset();
                Json::Value params = Page(0, 1);
                params[szName] = v;
                APIResponse resp = Run(entry, params);
                EXPECT_EQ(resp.ErrorCode(), 120) << szName << " " << v.toStyledString();
                EXPECT_TRUE(resp.Data().isNull());
                ASSERT_EQ(fake::Logs().size(), 1u);
                EXPECT_EQ(fake::Logs()[0].priority, kErr);
                EXPECT_FALSE(fake::Called("QLIBCSzListAlloc"));
            }
        }
    }
}

TEST_F(SettingsTest, LoadFailuresAnswer117AndReleaseTheList) {
    for (auto entry : {APIWhiteListLoad_v1, APIFileExtLoad_v1}) {
        fake::Reset();
        fake::FailWith("QLIBCSzListAlloc", -1);
        APIResponse resp = Run(entry, Page(0, 5));
        EXPECT_EQ(resp.ErrorCode(), 117);
        EXPECT_EQ(fake::Messages(), Errs({"Failed to alloc memory"}));

        fake::Reset();
        fake::FailWith("AVWhiteListGet", -1);
        fake::FailWith("AVExtensionListGet", -1);
        resp = Run(entry, Page(0, 5));
        EXPECT_EQ(resp.ErrorCode(), 117);
        EXPECT_TRUE(resp.Data().isNull());
        EXPECT_TRUE(fake::Logs().empty());
        EXPECT_EQ(fake::CallCount("QLIBCSzListFree"), 1);
    }
}

// ---------------------------------------------------------------- file extensions

TEST_F(SettingsTest, FileExtAddHandsOnTheCount) {
    Json::Value params;
    params["extension"] = "exe";
    W().extensionAddResult = 0;
    APIResponse resp = Run(APIFileExtAdd_v1, params);
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["recordEffected"], 0);
    W().extensionAddResult = 1;
    resp = Run(APIFileExtAdd_v1, params);
    EXPECT_EQ(resp.Data()["recordEffected"], 1);
    EXPECT_EQ(fake::Args("AVExtensionListAdd"), (std::vector<std::string>{"exe", "exe"}));

    fake::Reset();
    fake::FailWith("AVExtensionListAdd", -1);
    resp = Run(APIFileExtAdd_v1, params);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(fake::Messages(), Errs({"failed to add line to extension list"}));
}

TEST_F(SettingsTest, ArrayMethodsStopAtAWrongElementAndGoOnAfterAFailedOne) {
    struct Case {
        void (*entry)(APIRequest*, APIResponse*);
        const char* szParam;
        const char* szCall;
        const char* szWrongType;
        const char* szFailed;  // with "%s" for the entry when the message names it
    };
    const Case cases[] = {
        {APIFileExtDelete_v1, "extensionToBeDelete", "AVExtensionListRemove",
         "wrong data type for deleting file extension",
         "failed to remove line from extension list"},
        {APIWhiteListAdd_v1, "listToBeAdd", "AVWhiteListAdd",
         "wrong data type for adding files to the white list",
         "failed to add [a] to the white list"},
        {APIWhiteListDelete_v1, "listToBeDelete", "AVWhiteListRemove",
         "wrong data type for deleting files in the white list",
         "failed to remove line from white list"},
    };
    for (const Case& c : cases) {
        // Empty array: nothing called, success.
        fake::Reset();
        Json::Value params;
        params[c.szParam] = Json::Value(Json::arrayValue);
        EXPECT_TRUE(Run(c.entry, params).IsSuccess());
        EXPECT_TRUE(fake::Calls().empty());

        // String, number, string: the first is done, 120, the third never tried.
        fake::Reset();
        params[c.szParam] = Arr({"a", 7, "c"});
        APIResponse resp = Run(c.entry, params);
        EXPECT_EQ(resp.ErrorCode(), 120) << c.szParam;
        EXPECT_EQ(fake::Args(c.szCall), std::vector<std::string>{"a"});
        EXPECT_EQ(fake::Messages(), Errs({c.szWrongType}));

        // The first refused by the service: the rest still tried, then 117.
        fake::Reset();
        fake::FailNth(c.szCall, 1, -1);
        params[c.szParam] = Arr({"a", "b"});
        resp = Run(c.entry, params);
        EXPECT_EQ(resp.ErrorCode(), 117) << c.szParam;
        EXPECT_TRUE(resp.Data().isNull());
        EXPECT_EQ(fake::Args(c.szCall), (std::vector<std::string>{"a", "b"}));
        EXPECT_EQ(fake::Messages(), Errs({c.szFailed}));

        // A failure before a wrong element still ends in 120.
        fake::Reset();
        fake::FailNth(c.szCall, 1, -1);
        params[c.szParam] = Arr({"a", Json::Value(Json::objectValue)});
        EXPECT_EQ(Run(c.entry, params).ErrorCode(), 120);
    }
}

// ---------------------------------------------------------------- add_quarantined

class AddQuarantinedTest : public SettingsTest {
protected:
    void SetUp() override {
        SettingsTest::SetUp();
        fake::FakeVolume v1;
        v1.name = "/volume1";
        v1.volumePath = "/volume1";
        v1.items = {fake::MakeItem("/docs/a.exe", "q1"), fake::MakeItem("/b.doc", "q2")};
        fake::FakeVolume v2;
        v2.name = "/volume2";
        v2.volumePath = "/volume2";
        v2.items = {fake::MakeItem("/c.js", "r1")};
        W().volumes = {v1, v2};
    }
    static Json::Value Pairs(Json::Value volumes, Json::Value names) {
        Json::Value p;
        p["volumes"] = volumes;
        p["whiteList"] = names;
        return p;
    }
};

TEST_F(AddQuarantinedTest, AddsVolumeAndOriginalPathJoinedWithoutSeparator) {
    APIResponse resp =
        Run(APIWhiteListAddQuarantined_v1,
            Pairs(Arr({"/volume1", "/volume2", "/volume1"}), Arr({"q2", "r1", "q1"})));
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(W().whiteList,
              (std::vector<std::string>{"/volume1/b.doc", "/volume2/c.js", "/volume1/docs/a.exe"}));
    EXPECT_EQ(fake::CallCount("AVQuarantineConnect"), 3);
    EXPECT_EQ(fake::CallCount("AVQuarantineClose"), 3);
    EXPECT_TRUE(fake::Logs().empty());
    EXPECT_EQ(W().volumes[0].items.size(), 2u);  // the items stay quarantined
}

TEST_F(AddQuarantinedTest, SizeMismatchIsLoggedAndTheShorterLengthUsed) {
    APIResponse resp = Run(APIWhiteListAddQuarantined_v1,
                           Pairs(Arr({"/volume1", "/volume2"}), Arr({"q1", "r1", "q2"})));
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_EQ(fake::Messages(), Errs({"the size of the webapi parameters are mismatched: 3, 2"}));
    EXPECT_EQ(W().whiteList, (std::vector<std::string>{"/volume1/docs/a.exe", "/volume2/c.js"}));
}

TEST_F(AddQuarantinedTest, PerPairFailuresAreLoggedSkippedAndStillSuccess) {
    W().volumes[1].connectFails = true;
    fake::FailNth("AVWhiteListAdd", 2, -1);
    APIResponse resp =
        Run(APIWhiteListAddQuarantined_v1,
            Pairs(Arr({"/volume9", "/volume2", "/volume1", "/volume1", "/volume1", "/volume1"}),
                  Arr({"q1", "r1", "nothere", "q1", "q2", "q2"})));
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_EQ(fake::Messages(),
              Errs({"get quarantine path failed: /volume9",
                    "failed to connect quarantine database: /volume2/@quarantine/quarantine.db",
                    "failed to add line to white list: /volume1/b.doc"}));
    EXPECT_EQ(W().whiteList, (std::vector<std::string>{"/volume1/docs/a.exe", "/volume1/b.doc"}));
    EXPECT_EQ(fake::Args("AVQuarantineGet").size(), 6u);
}

TEST_F(AddQuarantinedTest, WrongElementStopsAt120KeepingEarlierPairs) {
    for (const Json::Value& params :
         {Pairs(Arr({"/volume1", 2}), Arr({"q1", "q2"})),
          Pairs(Arr({"/volume1", "/volume1"}), Arr({"q1", Json::Value()}))}) {
        fake::Reset();
        SetUp();
        APIResponse resp = Run(APIWhiteListAddQuarantined_v1, params);
        EXPECT_EQ(resp.ErrorCode(), 120);
        EXPECT_EQ(W().whiteList, std::vector<std::string>{"/volume1/docs/a.exe"});
        EXPECT_EQ(fake::Messages(), Errs({"wrong data type for adding files to the white list"}));
        EXPECT_EQ(fake::CallCount("AVQuarantineGet"), 1);
    }
}

TEST_F(AddQuarantinedTest, AnEntryBeyond1023CharactersIsSkippedNotCut) {
    std::string longPath = "/" + std::string(1014, 'x');  // with "/volume1": 1023 characters
    W().volumes[0].items.push_back(fake::MakeItem(longPath, "fits"));
    W().volumes[0].items.push_back(fake::MakeItem(longPath + "y", "long"));
    APIResponse resp =
        Run(APIWhiteListAddQuarantined_v1,
            Pairs(Arr({"/volume1", "/volume1", "/volume1"}), Arr({"long", "fits", "q2"})));
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_EQ(W().whiteList, (std::vector<std::string>{"/volume1" + longPath, "/volume1/b.doc"}));
    ASSERT_EQ(fake::Logs().size(), 1u);
    EXPECT_EQ(fake::Logs()[0].priority, kErr);
    EXPECT_EQ(fake::Messages()[0].text,
              "white list entry too long, skipped: /volume1" + longPath + "y");
}

// ---------------------------------------------------------------- schedule

fake::FakeRows ScheduleRows(std::vector<std::vector<std::string>> rows) {
    return fake::FakeRows{{"id", "activated", "triggerTime", "scanType", "scanTarget"},
                          std::move(rows)};
}

TEST_F(SettingsTest, ScheduleLoadTurnsRowsIntoJobs) {
    W().results = {ScheduleRows({{"1", "1", "00 03 * * 1", "full", ""},
                                 {"2", "0", "", "system", ""},
                                 {"3", "2", "30 1 * * *", "custom", "/volume1/a"}})};
    APIResponse resp = Run(APIScheduleLoad_v1);
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(fake::W().sql, std::vector<std::string>{"SELECT * FROM schedule;"});
    const Json::Value& jobs = resp.Data()["scheduleScanJobs"];
    EXPECT_EQ(resp.Data()["jobCount"], 3);
    ASSERT_EQ(jobs.size(), 3u);
    EXPECT_EQ(jobs[0]["activated"], true);
    EXPECT_EQ(jobs[1]["activated"], false);
    EXPECT_EQ(jobs[2]["activated"], true);
    EXPECT_EQ(jobs[0]["triggerTime"], "00 03 * * 1");
    EXPECT_EQ(jobs[1]["triggerTime"], "");
    EXPECT_EQ(jobs[2]["scanType"], "custom");
    EXPECT_EQ(jobs[2]["scanTarget"], "/volume1/a");
    EXPECT_EQ(jobs[0].size(), 4u);
    EXPECT_EQ(fake::Args("TAVODBFetchField"),
              (std::vector<std::string>{"activated", "triggerTime", "scanType", "scanTarget",
                                        "activated", "triggerTime", "scanType", "scanTarget",
                                        "activated", "triggerTime", "scanType", "scanTarget"}));

    fake::Reset();
    W().results = {fake::FakeRows{{"activated"}, {{"1"}}}};  // columns the result lacks read as ""
    resp = Run(APIScheduleLoad_v1);
    ASSERT_TRUE(resp.IsSuccess());
    EXPECT_EQ(resp.Data()["scheduleScanJobs"][0]["scanType"], "");

    fake::Reset();
    resp = Run(APIScheduleLoad_v1);
    EXPECT_EQ(resp.Data()["jobCount"], 0);
    EXPECT_TRUE(resp.Data()["scheduleScanJobs"].isArray());
    EXPECT_EQ(resp.Data()["scheduleScanJobs"].size(), 0u);
}

TEST_F(SettingsTest, ScheduleLoadFailures) {
    fake::FailWith("AVScheduleDBConnect", -1);
    APIResponse resp = Run(APIScheduleLoad_v1);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), Errs({"failed to connect to schedule database"}));

    fake::Reset();
    fake::FailWith("TAVODBExecute", -1);
    resp = Run(APIScheduleLoad_v1);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(fake::Messages(), Errs({"failed to query schedule databse"}));
    EXPECT_TRUE(fake::Called("AVScheduleDBClose"));
}

Json::Value Job(Json::Value activated, Json::Value time, Json::Value type, Json::Value target) {
    Json::Value j;
    j["activated"] = activated;
    j["triggerTime"] = time;
    j["scanType"] = type;
    j["scanTarget"] = target;
    return j;
}

TEST_F(SettingsTest, ScheduleSaveClearsInsertsInOrderAndDumps) {
    Json::Value params;
    params["scanJobArray"] =
        Arr({Job(1, "0 3 * * 1", "full", ""), Job(0, "30 2 * * *", "custom", "/volume1/x")});
    APIResponse resp = Run(APIScheduleSave_v1, params);
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(W().scheduleInserts,
              (std::vector<std::vector<std::string>>{{"1", "0 3 * * 1", "full", ""},
                                                     {"0", "30 2 * * *", "custom", "/volume1/x"}}));
    EXPECT_EQ(fake::Calls(),
              (std::vector<std::string>{"AVScheduleDBConnect", "AVScheduleClear",
                                        "AVScheduleInsert", "AVScheduleInsert",
                                        "AVScheduleDump2Crontab", "AVScheduleDBClose"}));

    fake::Reset();
    params["scanJobArray"] = Json::Value(Json::arrayValue);
    EXPECT_TRUE(Run(APIScheduleSave_v1, params).IsSuccess());
    EXPECT_EQ(fake::Calls(),
              (std::vector<std::string>{"AVScheduleDBConnect", "AVScheduleClear",
                                        "AVScheduleDump2Crontab", "AVScheduleDBClose"}));
}

TEST_F(SettingsTest, ScheduleSaveWrongJobStopsAfterEarlierInsertsWithoutDump) {
    Json::Value noTarget = Job(1, "0 3 * * *", "full", "");
    noTarget.removeMember("scanTarget");
    const Json::Value rgBad[] = {Job(1, 5, "full", ""),
                                 Job("1", "t", "full", ""),
                                 Job(true, "t", "full", ""),
                                 Job(Json::Int64(1) << 40, "t", "full", ""),
                                 Job(1, "t", Json::Value(), ""),
                                 noTarget,
                                 Json::Value("job")};
    for (const Json::Value& bad : rgBad) {
        fake::Reset();
        Json::Value params;
        params["scanJobArray"] =
            Arr({Job(1, "0 1 * * *", "full", ""), Job(0, "0 2 * * *", "system", ""), bad});
        APIResponse resp = Run(APIScheduleSave_v1, params);
        EXPECT_EQ(resp.ErrorCode(), 120) << bad.toStyledString();
        EXPECT_EQ(W().scheduleInserts.size(), 2u);
        EXPECT_FALSE(fake::Called("AVScheduleDump2Crontab"));
        EXPECT_TRUE(fake::Called("AVScheduleDBClose"));
        EXPECT_EQ(fake::Messages(), Errs({"wrong data type for setting schedule"}));
    }
}

TEST_F(SettingsTest, ScheduleSaveServiceFailures) {
    Json::Value params;
    params["scanJobArray"] =
        Arr({Job(1, "0 1 * * *", "custom", "/volume1/a"), Job(1, "0 2 * * *", "full", "")});

    fake::FailWith("AVScheduleDBConnect", -1);
    EXPECT_EQ(Run(APIScheduleSave_v1, params).ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), Errs({"failed to connect to schedule database"}));
    EXPECT_FALSE(fake::Called("AVScheduleClear"));

    fake::Reset();
    fake::FailWith("AVScheduleClear", -1);
    EXPECT_EQ(Run(APIScheduleSave_v1, params).ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), Errs({"failed to clear schedule"}));
    EXPECT_FALSE(fake::Called("AVScheduleInsert"));

    fake::Reset();
    fake::FailNth("AVScheduleInsert", 1, -1);
    EXPECT_EQ(Run(APIScheduleSave_v1, params).ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), Errs({"failed to insert schedule, target: /volume1/a"}));
    EXPECT_EQ(fake::CallCount("AVScheduleInsert"), 1);
    EXPECT_FALSE(fake::Called("AVScheduleDump2Crontab"));

    fake::Reset();
    fake::FailWith("AVScheduleDump2Crontab", -1);
    EXPECT_EQ(Run(APIScheduleSave_v1, params).ErrorCode(), 117);
    EXPECT_EQ(fake::Messages(), Errs({"failed to dump schedule to crontab"}));
    EXPECT_EQ(W().scheduleInserts.size(), 2u);
    EXPECT_TRUE(fake::Called("AVScheduleDBClose"));
}

}  // namespace
