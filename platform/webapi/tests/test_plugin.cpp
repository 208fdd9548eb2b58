// A small plug-in for the host's tests. Built five times: as the plug-in
// "TAVO.Test" (entries below), with TEST_PLUGIN_DUPLICATE as a second file
// claiming one of the same entries, with TEST_PLUGIN_OTHER as a plug-in of
// another API, with TEST_PLUGIN_THROWING_TABLE as one whose table
// function throws (an exception outside any entry function), and with
// TEST_PLUGIN_EXTRA as "TAVO.TestExtra" (a crash, the environment).
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "tavo/webapi.h"

using TAVO::APIRequest;
using TAVO::APIResponse;

namespace {

[[maybe_unused]] void Echo(APIRequest* req, APIResponse* resp) {
    Json::Value out(Json::objectValue);
    out["params"] = req->Params();
    out["lang"] = req->GetUILanguage();
    resp->SetSuccess(out);
}

[[maybe_unused]] void Fail(APIRequest* req, APIResponse* resp) {
    resp->SetError(req->GetParam("code", 120).asInt(), req->GetParam("data", Json::Value()));
}

[[maybe_unused]] void Throw(APIRequest*, APIResponse* resp) {
    // Output already on its way must not reach the client.
    printf("Content-Type:text/plain\n\npartial");
    fflush(stdout);
    resp->SetSuccess(Json::Value("early"));
    throw std::runtime_error("test failure");
}

[[maybe_unused]] void Download(APIRequest*, APIResponse* resp) {
    printf("Content-Type:application/octet-stream\n");
    printf("Content-Disposition:attachment; filename=\"t.txt\"\n\n");
    printf("line 1\r\nline 2\r\n");
    resp->SetEnableOutput(false);
    resp->SetSuccess(Json::Value());
}

[[maybe_unused]] void DownloadFails(APIRequest*, APIResponse* resp) {
    printf("Content-Type:application/octet-stream\n\n");
    resp->SetError(117, Json::Value());
}

[[maybe_unused]] void Silent(APIRequest*, APIResponse*) {}

// A background task that answers early, then waits for its stop.
void Sleeps(APIRequest*, APIResponse* resp, void*) {
    resp->SetSuccess(Json::Value(Json::objectValue));
    for (int i = 0; i < 300; ++i) sleep(1);
    resp->SetSuccess(Json::Value("slept"));
}

[[maybe_unused]] void TaskStart(APIRequest* req, APIResponse* resp) {
    TAVO::APIPolling poll(req);
    poll.SetRequest(req);
    poll.SetGroupAttr("admin");
    poll.SetRemoveAttr(false);
    poll.SetPrefixAttr("TAVO_Test_Task");
    poll.Start(resp, Sleeps, nullptr);
}

[[maybe_unused]] void TaskStatus(APIRequest* req, APIResponse* resp) {
    TAVO::APIPolling poll(req);
    Json::Value status;
    if (poll.Status(req->GetParam("task_id", "").asString(), status)) {
        resp->SetSuccess(status);
    } else {
        resp->SetError(117, Json::Value());
    }
}

[[maybe_unused]] void TaskStop(APIRequest* req, APIResponse* resp) {
    TAVO::APIPolling poll(req);
    if (poll.Stop(req->GetParam("task_id", "").asString(), true)) {
        resp->SetSuccess(Json::Value());
    } else {
        resp->SetError(117, Json::Value());
    }
}

// The value of the environment variable "name" (null when unset).
[[maybe_unused]] void Env(APIRequest* req, APIResponse* resp) {
    const char* value = getenv(req->GetParam("name", "").asString().c_str());
    resp->SetSuccess(value != nullptr ? Json::Value(value) : Json::Value());
}

// Dies the way a crashing plug-in does (SIGABRT, which the sanitizers do
// not report).
[[maybe_unused]] void Crash(APIRequest*, APIResponse*) { abort(); }

[[maybe_unused]] void V2(APIRequest*, APIResponse* resp) { resp->SetSuccess(Json::Value(2)); }

}  // namespace

#if defined(TEST_PLUGIN_THROWING_TABLE)
// No table: GetAPITable throws.
#elif defined(TEST_PLUGIN_EXTRA)
static TAVO::API_TABLE gTable[] = {
    {"TAVO.TestExtra", 1, "crash", Crash},
    {"TAVO.TestExtra", 1, "env", Env},
    {nullptr, 0, nullptr, nullptr},
};
#elif !defined(TEST_PLUGIN_DUPLICATE) && !defined(TEST_PLUGIN_OTHER)
static TAVO::API_TABLE gTable[] = {
    {"TAVO.Test", 1, "echo", Echo},
    {"TAVO.Test", 1, "fail", Fail},
    {"TAVO.Test", 1, "throw", Throw},
    {"TAVO.Test", 1, "download", Download},
    {"TAVO.Test", 1, "download_fails", DownloadFails},
    {"TAVO.Test", 1, "silent", Silent},
    {"TAVO.Test", 2, "v2", V2},
    {"TAVO.Test", 1, "task_start", TaskStart},
    {"TAVO.Test", 1, "task_status", TaskStatus},
    {"TAVO.Test", 1, "task_stop", TaskStop},
    {nullptr, 0, nullptr, nullptr},
};
#elif defined(TEST_PLUGIN_OTHER)
static TAVO::API_TABLE gTable[] = {
    {"TAVO.Other", 1, "echo", Echo},
    {"TAVO.Other", 1, "fail", Fail},
    {nullptr, 0, nullptr, nullptr},
};
#else
static TAVO::API_TABLE gTable[] = {
    {"TAVO.Other", 1, "echo", Echo},
    {"TAVO.Test", 1, "echo", Echo},
    {nullptr, 0, nullptr, nullptr},
};
#endif

#ifdef TEST_PLUGIN_THROWING_TABLE
extern "C" TAVO_EXPORT TAVO::API_TABLE* GetAPITable(void) {
    throw std::runtime_error("no table today");
}
#else
extern "C" TAVO_EXPORT TAVO::API_TABLE* GetAPITable(void) { return gTable; }
#endif
