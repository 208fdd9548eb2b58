// ScanHandler against the platform fakes: codes, log lines, call order and
// what each failure leaves behind.
#include <gtest/gtest.h>

#include "fake.h"
#include "scan_handler.h"

using fake::LogLine;
using TAVO::APIRequest;
using TAVO::APIResponse;
using TAVO::AntiVirus::ScanHandler;

namespace {

const char* const kScanner = "/var/packages/AntiVirus-Zentrel/target/bin/tavoavscan";

class ScanHandlerTest : public ::testing::Test {
protected:
    void SetUp() override { fake::Reset(); }
    void TearDown() override {
        EXPECT_EQ(fake::W().liveSzLists, 0) << "a string list was not released";
        EXPECT_TRUE(fake::AllLogsFrom("scan_handler.cpp"));
    }

    // Builds a handler for the entry function `method` and runs `member`.
    APIResponse Run(const char* method, void (ScanHandler::*member)() const,
                    Json::Value params = Json::Value(Json::objectValue)) {
        APIRequest req(params);
        APIResponse resp;
        ScanHandler handler(&req, &resp, method);
        (handler.*member)();
        EXPECT_EQ(resp.AnswerCount(), 1) << "every request answers exactly once";
        return resp;
    }

    static Json::Value Targets(std::initializer_list<Json::Value> values) {
        Json::Value params(Json::objectValue);
        params["scanTarget"] = Json::Value(Json::arrayValue);
        for (const auto& v : values) params["scanTarget"].append(v);
        return params;
    }
};

std::vector<std::string> Sequence(std::initializer_list<const char*> names) {
    return std::vector<std::string>(names.begin(), names.end());
}

// Calls except the string-list bookkeeping.
std::vector<std::string> ServiceCalls() {
    std::vector<std::string> out;
    for (const auto& c : fake::Calls())
        if (c != "QLIBCSzListAlloc" && c != "QLIBCSzListFree") out.push_back(c);
    return out;
}

TEST_F(ScanHandlerTest, StartFullAndSystemForkMarkScanningAndAnswerNull) {
    for (auto [method, member] : {std::pair{"APIScanStartFull_v1", &ScanHandler::StartFull},
                                  std::pair{"APIScanStartSystem_v1", &ScanHandler::StartSystem}}) {
        fake::Reset();
        Json::Value extra(Json::objectValue);
        extra["scanTarget"] = 5;  // ignored
        APIResponse resp = Run(method, member, extra);
        EXPECT_TRUE(resp.IsSuccess());
        EXPECT_TRUE(resp.Data().isNull());
        EXPECT_EQ(ServiceCalls(),
                  Sequence({"QLIBCProcForkChildNoWait", "AVButtonUIStatusEnterIntoScanning"}));
        EXPECT_EQ(fake::W().enterScanningArg, 4);
        EXPECT_TRUE(fake::Logs().empty());
    }
}

TEST_F(ScanHandlerTest, StartFullForkFailureAnswers117AndMarksNothing) {
    fake::FailWith("QLIBCProcForkChildNoWait", -1);
    APIResponse resp = Run("APIScanStartFull_v1", &ScanHandler::StartFull);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_FALSE(fake::Called("AVButtonUIStatusEnterIntoScanning"));
    EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "failed to fork process"}}));
}

TEST_F(ScanHandlerTest, ChildRunsTheScannerAndExitsWithOne) {
    fake::W().forkNoWaitResult = 0;
    EXPECT_EXIT(Run("APIScanStartSystem_v1", &ScanHandler::StartSystem),
                ::testing::ExitedWithCode(1), "");
    // The child's exec failure is logged in the child before it exits.
    fake::FailWith("QLIBCExec", -1);
    EXPECT_EXIT(Run("APIScanStartFull_v1", &ScanHandler::StartFull), ::testing::ExitedWithCode(1),
                "syslog<3> scan_handler.cpp:[0-9]+ Cannot excute "
                "/var/packages/AntiVirus-Zentrel/target/bin/tavoavscan --all");
}

TEST_F(ScanHandlerTest, ChildExecArgumentsAreTheScannerAndItsMode) {
    // Run the child branch in-process with exit() trapped by a death test,
    // and check what it handed to QLIBCExec on standard error.
    fake::W().forkNoWaitResult = 0;
    fake::FailWith("QLIBCExec", -1);
    EXPECT_EXIT(Run("APIScanStartCustom_v1", &ScanHandler::StartCustom, Targets({"/volume1/a"})),
                ::testing::ExitedWithCode(1),
                "Cannot excute /var/packages/AntiVirus-Zentrel/target/bin/tavoavscan -f "
                "/var/packages/AntiVirus-Zentrel/target/tmp/filelist.test");
}

TEST_F(ScanHandlerTest, StartCustomWritesTheFileListThenForks) {
    APIResponse resp = Run("APIScanStartCustom_v1", &ScanHandler::StartCustom,
                           Targets({"/volume1/a", "/volume2/b c", "/volume1/a"}));
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_TRUE(resp.Data().isNull());
    EXPECT_EQ(fake::W().fileListPaths,
              (std::vector<std::string>{"/volume1/a", "/volume2/b c", "/volume1/a"}));
    EXPECT_EQ(fake::Calls(),
              Sequence({"QLIBCSzListAlloc", "AVTransSZListToFileList", "QLIBCSzListFree",
                        "QLIBCProcForkChildNoWait", "AVButtonUIStatusEnterIntoScanning"}));
    EXPECT_EQ(fake::W().enterScanningArg, 4);
}

TEST_F(ScanHandlerTest, StartCustomWithEmptyArrayStillStartsAScan) {
    APIResponse resp = Run("APIScanStartCustom_v1", &ScanHandler::StartCustom, Targets({}));
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_TRUE(fake::W().fileListPaths.empty());
    EXPECT_TRUE(fake::Called("AVTransSZListToFileList"));
    EXPECT_TRUE(fake::Called("QLIBCProcForkChildNoWait"));
}

TEST_F(ScanHandlerTest, StartCustomRefusesMissingOrNonArrayTarget) {
    Json::Value asString(Json::objectValue);
    asString["scanTarget"] = "/volume1/a";
    for (const Json::Value& params : {Json::Value(Json::objectValue), asString}) {
        fake::Reset();
        APIResponse resp = Run("APIScanStartCustom_v1", &ScanHandler::StartCustom, params);
        EXPECT_EQ(resp.ErrorCode(), 114);
        EXPECT_TRUE(resp.Data().isNull());
        EXPECT_EQ(
            fake::Messages(),
            (std::vector<LogLine>{
                {3, "The required parameter [scanTarget] is not found or its type is incorrect."},
                {3, "Bad parameters"}}));
        EXPECT_TRUE(fake::Calls().empty()) << "nothing outside is touched for a refused request";
    }
}

TEST_F(ScanHandlerTest, StartCustomNonStringElementAnswers120AndStartsNothing) {
    APIResponse resp = Run("APIScanStartCustom_v1", &ScanHandler::StartCustom,
                           Targets({"/volume1/a", 7, "/volume1/b"}));
    EXPECT_EQ(resp.ErrorCode(), 120);
    EXPECT_EQ(fake::Messages(),
              (std::vector<LogLine>{{3, "Wrong data type of the parameter [scanTarget]"}}));
    EXPECT_EQ(fake::Args("QLIBCSzListPush"), (std::vector<std::string>{"/volume1/a"}));
    EXPECT_FALSE(fake::Called("AVTransSZListToFileList"));
    EXPECT_FALSE(fake::Called("QLIBCProcForkChildNoWait"));
    EXPECT_EQ(fake::CallCount("QLIBCSzListFree"), 1);
}

TEST_F(ScanHandlerTest, StartCustomFailuresEachAnswer117WithTheirLine) {
    struct Case {
        const char* failing;
        int result;
        const char* message;
        bool forked;
    } cases[] = {
        {"QLIBCSzListAlloc", -1, "Failed to alloc memory", false},
        {"AVTransSZListToFileList", -1, "Cannot generate filelist file for custom scan", false},
        {"QLIBCProcForkChildNoWait", -1, "failed to fork process", true},
    };
    for (const Case& c : cases) {
        fake::Reset();
        fake::FailWith(c.failing, c.result);
        APIResponse resp =
            Run("APIScanStartCustom_v1", &ScanHandler::StartCustom, Targets({"/volume1/a"}));
        EXPECT_EQ(resp.ErrorCode(), 117) << c.failing;
        EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, c.message}})) << c.failing;
        EXPECT_EQ(fake::Called("QLIBCProcForkChildNoWait"), c.forked) << c.failing;
        EXPECT_FALSE(fake::Called("AVButtonUIStatusEnterIntoScanning")) << c.failing;
        EXPECT_EQ(fake::W().liveSzLists, 0) << c.failing;
    }
}

TEST_F(ScanHandlerTest, FileListWriterSuccessIsAnyNonNegativeResult) {
    fake::FailWith("AVTransSZListToFileList", 3);
    APIResponse resp =
        Run("APIScanStartCustom_v1", &ScanHandler::StartCustom, Targets({"/volume1/a"}));
    EXPECT_TRUE(resp.IsSuccess());
}

TEST_F(ScanHandlerTest, UnknownMethodAnswers103AfterTwoLines) {
    APIResponse resp = Run("APIScanRewind_v1", &ScanHandler::Pause);
    EXPECT_EQ(resp.ErrorCode(), 103);
    EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "Unknown method: APIScanRewind_v1"},
                                                      {3, "Bad parameters"}}));
    EXPECT_TRUE(fake::Calls().empty());
}

// --- pause, resume, stop, ack_result ---

struct ControlCase {
    const char* name;
    const char* method;
    void (ScanHandler::*member)() const;
    const char* action;  // the service action, or nullptr
    std::vector<std::string> buttons;
};

const ControlCase kPause{
    "pause", "APIScanPause_v1", &ScanHandler::Pause, "AVScanPause", {"AVButtonSetPausePressed"}};
const ControlCase kResume{"resume",
                          "APIScanResume_v1",
                          &ScanHandler::Resume,
                          "AVScanResume",
                          {"AVButtonResetPausePressed", "AVButtonSetStopEnable"}};
const ControlCase kStop{"stop",
                        "APIScanStop_v1",
                        &ScanHandler::Stop,
                        "AVStop",
                        {"AVButtonSetStopDisable", "AVButtonSetPauseDisable"}};

TEST_F(ScanHandlerTest, ControlsActWhileScanningOrInitialising) {
    for (const ControlCase* c : {&kPause, &kResume, &kStop}) {
        for (int state = 0; state < 2; ++state) {
            fake::Reset();
            (state == 0 ? fake::W().engineStatus.isScanning
                        : fake::W().engineStatus.isInitializing) = TRUE;
            Json::Value extra(Json::objectValue);
            extra["whatever"] = "ignored";
            APIResponse resp = Run(c->method, c->member, extra);
            EXPECT_TRUE(resp.IsSuccess()) << c->name;
            EXPECT_TRUE(resp.Data().isNull());
            std::vector<std::string> expected{"AVGetEngStat", c->action};
            expected.insert(expected.end(), c->buttons.begin(), c->buttons.end());
            EXPECT_EQ(fake::Calls(), expected) << c->name;
            EXPECT_TRUE(fake::Logs().empty()) << c->name;
        }
    }
}

TEST_F(ScanHandlerTest, ControlsInIdleStateNoteAtDebugAndStillSetButtons) {
    for (const ControlCase* c : {&kPause, &kResume, &kStop}) {
        fake::Reset();
        APIResponse resp = Run(c->method, c->member);
        EXPECT_TRUE(resp.IsSuccess()) << c->name;
        std::vector<std::string> expected{"AVGetEngStat"};
        expected.insert(expected.end(), c->buttons.begin(), c->buttons.end());
        EXPECT_EQ(fake::Calls(), expected) << c->name;
        EXPECT_EQ(fake::Messages(),
                  (std::vector<LogLine>{{7, "illegal operation on current status"}}));
    }
}

TEST_F(ScanHandlerTest, OnlyStopActsOnARunningUpdate) {
    for (const ControlCase* c : {&kPause, &kResume, &kStop}) {
        fake::Reset();
        fake::W().engineStatus.isUpdating = TRUE;
        Run(c->method, c->member);
        EXPECT_EQ(fake::Called(c->action), c == &kStop) << c->name;
    }
}

TEST_F(ScanHandlerTest, ControlsAnswer117WhenStatusUnreadable) {
    for (const ControlCase* c : {&kPause, &kResume, &kStop}) {
        fake::Reset();
        fake::FailWith("AVGetEngStat", -1);
        APIResponse resp = Run(c->method, c->member);
        EXPECT_EQ(resp.ErrorCode(), 117) << c->name;
        EXPECT_EQ(fake::Calls(), Sequence({"AVGetEngStat"})) << c->name;
        EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "get engine status failed"}}));
    }
}

TEST_F(ScanHandlerTest, FailedServiceActionAnswers117AndTouchesNoButton) {
    const std::pair<const ControlCase*, const char*> cases[] = {
        {&kPause, "error while pause"},
        {&kResume, "error while resume"},
        {&kStop, "error while stop current task"},
    };
    for (auto [c, message] : cases) {
        fake::Reset();
        fake::W().engineStatus.isScanning = TRUE;
        fake::FailWith(c->action, 1);
        APIResponse resp = Run(c->method, c->member);
        EXPECT_EQ(resp.ErrorCode(), 117) << c->name;
        EXPECT_EQ(fake::Calls(), Sequence({"AVGetEngStat", c->action})) << c->name;
        EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, message}}));
    }
}

TEST_F(ScanHandlerTest, ButtonFailuresAreLoggedButNeverChangeTheAnswer) {
    const std::tuple<const ControlCase*, const char*, const char*> cases[] = {
        {&kPause, "AVButtonSetPausePressed", "set pause button pressed fail"},
        {&kResume, "AVButtonResetPausePressed", "reset pause button pressed fail"},
        {&kResume, "AVButtonSetStopEnable", "reset stop button disable fail"},
        {&kStop, "AVButtonSetStopDisable", "set stop button pressed disable fail"},
        {&kStop, "AVButtonSetPauseDisable", "set pause button disable fail"},
    };
    for (auto [c, button, message] : cases) {
        fake::Reset();
        fake::W().engineStatus.isScanning = TRUE;
        fake::FailWith(button, -1);
        APIResponse resp = Run(c->method, c->member);
        EXPECT_TRUE(resp.IsSuccess()) << button;
        EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, message}})) << button;
        // The other button of the pair is still set.
        for (const auto& b : c->buttons) EXPECT_TRUE(fake::Called(b)) << b;
    }
}

TEST_F(ScanHandlerTest, AckResultWithoutNoticeCallsNothingMore) {
    APIResponse resp = Run("APIScanAckResult_v1", &ScanHandler::AckResult);
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_EQ(fake::Calls(), Sequence({"AVGetEngStat"}));
    EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{7, "illegal operation on current status"}}));
}

TEST_F(ScanHandlerTest, AckResultSetsDangerOnlyWhenMovesFailed) {
    for (int64_t failed : {int64_t{0}, int64_t{3}, int64_t{1} << 32}) {
        fake::Reset();
        fake::W().engineStatus.isStayInNotify = TRUE;
        fake::W().engineStatus.mvFailedCnt = failed;
        APIResponse resp = Run("APIScanAckResult_v1", &ScanHandler::AckResult);
        EXPECT_TRUE(resp.IsSuccess());
        EXPECT_EQ(fake::Calls(), Sequence({"AVGetEngStat", "AVClearStayInNotify",
                                           "AVButtonSetAckDisable", "AVButtonSetStatus"}));
        EXPECT_EQ(fake::W().uiState, failed != 0 ? UI_STATE_DANGER : UI_STATE_SECURE) << failed;
        EXPECT_TRUE(fake::Logs().empty());
    }
}

TEST_F(ScanHandlerTest, AckResultButtonFailureAnswers117AfterFinishingTheSteps) {
    fake::W().engineStatus.isStayInNotify = TRUE;
    fake::FailWith("AVButtonSetAckDisable", -1);
    APIResponse resp = Run("APIScanAckResult_v1", &ScanHandler::AckResult);
    EXPECT_EQ(resp.ErrorCode(), 117);
    EXPECT_TRUE(fake::Called("AVButtonSetStatus"));
    EXPECT_EQ(fake::W().uiState, UI_STATE_SECURE);
    EXPECT_EQ(fake::Messages(), (std::vector<LogLine>{{3, "set ack button pressed fail"}}));
}

TEST_F(ScanHandlerTest, AckResultIgnoresResultsOfNoticeAndStatusCalls) {
    fake::W().engineStatus.isStayInNotify = TRUE;
    fake::FailWith("AVClearStayInNotify", -1);
    fake::FailWith("AVButtonSetStatus", -1);
    EXPECT_TRUE(Run("APIScanAckResult_v1", &ScanHandler::AckResult).IsSuccess());
}

}  // namespace
