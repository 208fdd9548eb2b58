#include "plugin_fuzz.h"
#include "shape_features.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace fuzz {
namespace {

bool IsSystemCode(int code) {
    switch (code) {
    case TAVO::WEBAPI_ERR_NONE:
    case TAVO::WEBAPI_ERR_NO_SUCH_METHOD:
    case TAVO::WEBAPI_ERR_NO_REQUIRED_PARAM:
    case TAVO::WEBAPI_ERR_INTERNAL_ERROR:
    case TAVO::WEBAPI_ERR_REQUEST_PARAMETER_INVALID: return true;
    default: return false;
    }
}

[[noreturn]] void Fail(const char* what, const char* method, int value) {
    fprintf(stderr, "FUZZ FAILURE in %s: %s (%d)\n", method, what, value);
    abort();
}

void CheckAnswer(const TAVO::APIResponse& resp, const char* method) {
    if (resp.AnswerCount() > 1) Fail("answered more than once", method, resp.AnswerCount());
    if (!resp.Answered()) Fail("not answered", method, 0);
    if (!IsSystemCode(resp.ErrorCode())) Fail("unexpected code", method, resp.ErrorCode());
}

void CheckReleases(const char* method) {
    const fake::World& w = fake::W();
    if (w.liveDBConns != 0) Fail("database connection left open", method, w.liveDBConns);
    if (w.liveDBResults != 0) Fail("result set left unfreed", method, w.liveDBResults);
    if (w.liveSzLists != 0) Fail("string list left unfreed", method, w.liveSzLists);
    if (w.liveQConns != 0) Fail("quarantine connection left open", method, w.liveQConns);
    if (w.liveFailLists != 0) Fail("failure list left unfreed", method, w.liveFailLists);
}

// The parameters of an input; false for an input nested past the reader's
// depth limit, which the host refuses (101) before any plug-in sees it. The
// reader here is more lenient than the host's otherwise, so that the
// handlers also meet values (NUL characters, say) the host never lets by.
bool ParseInput(const Target& target, const char* text, size_t length, Json::Value& params) {
    Json::CharReaderBuilder builder;
    builder["collectComments"] = false;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value value;
    std::string errors;
    try {
        if (!reader->parse(text, text + length, &value, &errors))
            value = Json::Value(std::string(text, length));
    } catch (const Json::Exception&) {
        return false;
    }
    if (value.isObject()) {
        params = value;
        return true;
    }
    params = Json::Value(Json::objectValue);
    for (const std::string& name : target.paramNames) params[name] = value;
    return true;
}

}  // namespace

int RunOne(const Target& target, const uint8_t* data, size_t size) {
    static bool once = [] {
        // The export writes its download to standard output.
        int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) dup2(devNull, STDOUT_FILENO);
        return true;
    }();
    (void)once;
    if (size == 0) return 0;

    size_t count = 0;
    while (target.table[count].szMethod) ++count;
    const TAVO::API_TABLE& entry = target.table[data[0] % count];

    fake::Reset();
    target.setUpWorld();
    // The parent's side of every fork: nothing really forks.
    fake::W().forkNoWaitResult = 1;
    fake::W().forkResult = 4242;

    NoteShape(reinterpret_cast<const char*>(data + 1), size - 1);
    Json::Value params;
    if (!ParseInput(target, reinterpret_cast<const char*>(data + 1), size - 1, params)) return 0;
    TAVO::APIRequest req(params);
    TAVO::APIResponse resp;
    entry.api(&req, &resp);
    fflush(stdout);
    CheckAnswer(resp, entry.szMethod);

    // A started background task runs here, as the host would run it.
    if (TAVO::APITaskFunc task = fake::Polling().startedTask) {
        fake::Polling().startedTask = nullptr;
        // A task answers its progress and then its result: every answer counts.
        TAVO::APIResponse taskResp;
        const char* method = entry.szMethod;
        taskResp.SetAnswerObserver([method](const TAVO::APIResponse& answer) {
            if (!IsSystemCode(answer.ErrorCode()))
                Fail("unexpected code from the task", method, answer.ErrorCode());
        });
        task(&req, &taskResp, nullptr);
        if (!taskResp.Answered()) Fail("task never answered", method, 0);
    }
    CheckReleases(entry.szMethod);
    return 0;
}

void SetUpRichWorld() {
    fake::World& w = fake::W();
    fake::FakeVolume one;
    one.name = "/volume1";
    one.volumePath = "/volume1";
    one.items = {fake::MakeItem("/share/a.exe", "q0001"),
                 fake::MakeItem("/share/dir/b.com", "q0002")};
    fake::FakeVolume two;
    two.name = "/volume2";
    two.volumePath = "/volume2";
    two.items = {fake::MakeItem("/data/c.doc", "q0003")};
    two.refusals["q0003"] = QUARANTINE_ERROR(1);
    w.volumes = {one, two};
    w.quarantineCount = 3;
    w.whiteList = {"/volume1/share/a.exe", "/volume2/data"};
    w.extensionList = {"exe", "com"};
    w.engineStatus.mvFailedCnt = 1;
    // One row set answers every column any handler fetches.
    fake::FakeRows rows{
        {"id", "class", "module", "eventText", "logTime", "TOTAL", "count", "activated", "time",
         "type", "target"},
        {{"1", "info", "scan", "event", "2026-12-01 10:00:00", "2", "2", "1", "0 3 * * *", "0",
          "/volume1"},
         // A file name with a line break and control bytes in an event.
         {"2", "warn", "update", "other /volume1/a\r\n  9 info     scan     forged\t\x1b\x7f",
          "2026-12-01 11:00:00", "2", "2", "0", "5 4 * * 1", "1", "/volume2"}}};
    w.results = {rows, rows, rows, rows};
}

}  // namespace fuzz
