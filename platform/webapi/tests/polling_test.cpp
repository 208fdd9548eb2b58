// The background task runner: tasks run in processes of their own, their
// answers are recorded under the root, and status and stop reach them there.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "tavo/tavocore.h"
#include "tavo/webapi.h"

using namespace TAVO;

namespace {

// Every test of this program shares one temporary root, set before the
// core library first reads it.
const std::string& Root() {
    static const std::string root = [] {
        char dir[] = "/tmp/webapi-polling-test-XXXXXX";
        if (mkdtemp(dir) == nullptr) abort();
        setenv("TAVO_ROOT", dir, 1);
        return std::string(dir);
    }();
    return root;
}
// Makes the temporary root before the tests and removes it after them
// (their tasks are over by then).
class RootEnvironment : public testing::Environment {
public:
    void SetUp() override { Root(); }
    void TearDown() override {
        if (system(("rm -rf '" + Root() + "'").c_str()) != 0)
            fprintf(stderr, "cannot remove %s\n", Root().c_str());
    }
};
testing::Environment* const kRootEnvironment =
    testing::AddGlobalTestEnvironment(new RootEnvironment);

std::string TaskDir() { return Root() + "/var/lib/tavo-webapi/tasks"; }
std::string RecordPath(const std::string& id) { return TaskDir() + "/" + id + ".json"; }

bool Exists(const std::string& path) { return access(path.c_str(), F_OK) == 0; }

// Polls cond every 10 ms for up to a minute.
template <typename Cond>
bool WaitFor(Cond cond) {
    for (int i = 0; i < 6000; ++i) {
        if (cond()) return true;
        usleep(10000);
    }
    return cond();
}

bool ProcessGone(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return true;
    char state = line[line.rfind(')') + 2];
    return state == 'Z' || state == 'X';
}

std::string GatePath(const std::string& name) { return Root() + "/gate-" + name; }

// Waits (at most a minute) until the gate file exists.
void WaitGate(const std::string& name) {
    for (int i = 0; i < 6000 && !Exists(GatePath(name)); ++i) usleep(10000);
}

void WritePid(const std::string& name) { std::ofstream(GatePath(name) + ".pid") << getpid(); }

pid_t ReadPid(const std::string& name) {
    pid_t pid = 0;
    WaitFor([&] {
        std::ifstream in(GatePath(name) + ".pid");
        return static_cast<bool>(in >> pid);
    });
    return pid;
}

void EarlyThenFinal(APIRequest* req, APIResponse* resp, void* data) {
    resp->SetSuccess(Json::Value());
    WaitGate(req->GetParam("gate", "").asString());
    Json::Value result(Json::objectValue);
    result["failCount"] = 0;
    result["param"] = req->GetParam("addToWhiteList", Json::Value());
    result["lang"] = req->GetUILanguage();
    result["dataIsNull"] = data == nullptr;
    resp->SetSuccess(result);
}

void Sleeper(APIRequest* req, APIResponse* resp, void*) {
    resp->SetSuccess(Json::Value());
    WritePid(req->GetParam("gate", "").asString());
    for (;;) pause();
}

void Fails(APIRequest*, APIResponse* resp, void*) { resp->SetError(114, Json::Value()); }

void Throws(APIRequest*, APIResponse* resp, void*) {
    resp->SetSuccess(Json::Value());
    throw std::runtime_error("task failure");
}

void NullRequest(APIRequest* req, APIResponse* resp, void*) {
    if (req == nullptr) {
        resp->SetError(117, Json::Value());
    } else {
        resp->SetSuccess(Json::Value());
    }
}

std::string StartTask(APIRequest& req, APITaskFunc task,
                      const std::string& prefix = "TAVO_Test_Task", bool remove = false) {
    APIPolling poll(&req);
    poll.SetRequest(&req);
    poll.SetGroupAttr("admin");
    poll.SetRemoveAttr(remove);
    poll.SetPrefixAttr(prefix);
    APIResponse resp;
    poll.Start(&resp, task, nullptr);
    EXPECT_TRUE(resp.IsSuccess());
    EXPECT_EQ(1, resp.AnswerCount());
    EXPECT_TRUE(resp.Data().isObject());
    return resp.Data()["task_id"].asString();
}

Json::Value Status(const std::string& id, bool expectOk = true) {
    APIRequest req;
    APIPolling poll(&req);
    Json::Value status;
    EXPECT_EQ(expectOk, poll.Status(id, status)) << id;
    return status;
}

bool Finished(const std::string& id) { return Status(id)["finished"].asBool(); }

Json::Value Object(std::initializer_list<std::pair<const char*, Json::Value>> members) {
    Json::Value v(Json::objectValue);
    for (const auto& m : members) v[m.first] = m.second;
    return v;
}

}  // namespace

TEST(Polling, EarlySuccessThenFinalResult) {
    APIRequest req(Object({{"gate", "early"}, {"addToWhiteList", true}}), "de");
    std::string id = StartTask(req, EarlyThenFinal);
    EXPECT_EQ(0u, id.find("TAVO_Test_Task_")) << id;
    EXPECT_TRUE(Exists(RecordPath(id)));

    // The early answer, while the task waits.
    ASSERT_TRUE(WaitFor([&] { return Status(id).isMember("data"); }));
    EXPECT_EQ(Object({{"finished", false}, {"success", true}, {"data", Json::Value()}}),
              Status(id));

    std::ofstream(GatePath("early")) << "go";
    ASSERT_TRUE(WaitFor([&] { return Finished(id); }));
    Json::Value result =
        Object({{"failCount", 0}, {"param", true}, {"lang", "de"}, {"dataIsNull", true}});
    EXPECT_EQ(Object({{"finished", true}, {"success", true}, {"data", result}}), Status(id));
    // Reading the status again changes nothing; stopping a finished task is no error.
    EXPECT_EQ(Object({{"finished", true}, {"success", true}, {"data", result}}), Status(id));
    APIPolling poll(&req);
    EXPECT_TRUE(poll.Stop(id, true));
    EXPECT_FALSE(Status(id).isMember("stopped"));
}

TEST(Polling, ErrorAnswersAndExceptions) {
    APIRequest req;
    std::string failing = StartTask(req, Fails);
    ASSERT_TRUE(WaitFor([&] { return Finished(failing); }));
    EXPECT_EQ(Object({{"finished", true}, {"success", false}, {"error", Object({{"code", 114}})}}),
              Status(failing));

    std::string throwing = StartTask(req, Throws);
    ASSERT_TRUE(WaitFor([&] { return Finished(throwing); }));
    EXPECT_EQ(Object({{"finished", true}, {"success", false}, {"error", Object({{"code", 117}})}}),
              Status(throwing));

    // Without a request the task gets none.
    APIPolling poll(nullptr);
    APIResponse resp;
    poll.Start(&resp, NullRequest, nullptr);
    std::string id = resp.Data()["task_id"].asString();
    ASSERT_TRUE(WaitFor([&] { return Finished(id); }));
    EXPECT_EQ(117, Status(id)["error"]["code"].asInt());
}

TEST(Polling, StoppedTaskIsGoneAndReportedStopped) {
    APIRequest req(Object({{"gate", "stop"}}));
    std::string id = StartTask(req, Sleeper);
    pid_t pid = ReadPid("stop");
    ASSERT_GT(pid, 0);
    EXPECT_FALSE(Finished(id));

    APIPolling poll(&req);
    EXPECT_TRUE(poll.Stop(id, true));
    EXPECT_TRUE(WaitFor([&] { return ProcessGone(pid); }));
    EXPECT_EQ(
        Object({{"finished", true}, {"stopped", true}, {"success", true}, {"data", Json::Value()}}),
        Status(id));
    EXPECT_TRUE(poll.Stop(id, true));
}

TEST(Polling, TaskKilledFromOutsideIsFinishedWith117) {
    APIRequest req(Object({{"gate", "killed"}}));
    std::string id = StartTask(req, Sleeper);
    pid_t pid = ReadPid("killed");
    ASSERT_GT(pid, 0);
    ASSERT_EQ(0, kill(pid, SIGKILL));
    ASSERT_TRUE(WaitFor([&] { return ProcessGone(pid); }));
    EXPECT_EQ(Object({{"finished", true}, {"success", false}, {"error", Object({{"code", 117}})}}),
              Status(id));
}

TEST(Polling, UnknownMalformedOrUnreadableIdsFail) {
    APIRequest req;
    APIPolling poll(&req);
    Json::Value status;
    for (const char* id : {"TAVO_Test_Task_unknown", "", "../tasks/x", "a/b", ".lock", "x y", "..",
                           "TAVO_AntiVirus_Quarantine_Task_1\n"}) {
        EXPECT_FALSE(poll.Status(id, status)) << id;
        EXPECT_FALSE(poll.Stop(id, true)) << id;
    }
    mkdir((Root() + "/var/lib/tavo-webapi").c_str(), 0755);
    mkdir(TaskDir().c_str(), 0755);
    std::ofstream(RecordPath("broken")) << "{\"finished\":";
    EXPECT_FALSE(poll.Status("broken", status));
    EXPECT_FALSE(poll.Stop("broken", true));
    // A record outside the task folder is out of reach.
    std::ofstream(Root() + "/var/lib/outside.json") << "{\"finished\":true}";
    EXPECT_FALSE(poll.Status("../outside", status));
}

TEST(Polling, PrefixIsMadeSafeAndIdsAreUnique) {
    APIRequest req;
    std::string first = StartTask(req, Fails, "../a b/");
    std::string second = StartTask(req, Fails, "../a b/");
    EXPECT_EQ(0u, first.find("_._a_b__")) << first;
    EXPECT_NE(first, second);
    EXPECT_TRUE(Exists(RecordPath(first)));
    EXPECT_EQ(std::string::npos, first.find('/'));
}

TEST(Polling, RemoveAttributeDeletesRecordOnceReadFinished) {
    APIRequest req;
    std::string id = StartTask(req, Fails, "Once", true);
    ASSERT_TRUE(WaitFor([&] {
        std::ifstream in(RecordPath(id));
        std::stringstream text;
        text << in.rdbuf();
        return text.str().find("\"finished\":true") != std::string::npos;
    }));
    EXPECT_EQ(114, Status(id)["error"]["code"].asInt());
    Status(id, false);
}

TEST(Polling, RecordsOlderThanADayArePrunedAtStart) {
    APIRequest req;
    std::string old = StartTask(req, Fails, "Old");
    std::string recent = StartTask(req, Fails, "Recent");
    ASSERT_TRUE(WaitFor([&] { return Finished(old) && Finished(recent); }));
    struct timeval times[2];
    gettimeofday(&times[0], nullptr);
    times[0].tv_sec -= 2 * 24 * 3600;
    times[1] = times[0];
    ASSERT_EQ(0, utimes(RecordPath(old).c_str(), times));
    StartTask(req, Fails, "Trigger");
    EXPECT_FALSE(Exists(RecordPath(old)));
    EXPECT_TRUE(Exists(RecordPath(recent)));
}

TEST(Polling, TemporaryFilesOfDeadWritersArePrunedAtStart) {
    APIRequest req;
    StartTask(req, Fails, "First");  // the task folder exists from here on
    struct timeval times[2];
    gettimeofday(&times[0], nullptr);
    times[0].tv_sec -= 2 * 24 * 3600;
    times[1] = times[0];
    // What a writer killed before its rename leaves: the file library's
    // "<record>.XXXXXX", and the ".<id>.<pid>.tmp" of earlier hosts.
    const std::string current = RecordPath("Dead_1") + ".Ab12Cd";
    const std::string earlier = TaskDir() + "/.Dead_2.4242.tmp";
    const std::string recent = RecordPath("Busy_3") + ".Xy34Zw";
    for (const std::string& path : {current, earlier, recent}) std::ofstream(path) << "{\"fin";
    ASSERT_EQ(0, utimes(current.c_str(), times));
    ASSERT_EQ(0, utimes(earlier.c_str(), times));
    StartTask(req, Fails, "Trigger");
    EXPECT_FALSE(Exists(current));
    EXPECT_FALSE(Exists(earlier));
    EXPECT_TRUE(Exists(recent));  // may be a write in progress
    unlink(recent.c_str());
}

TEST(Polling, StatusAndStopDoNotCreateTheTaskFolder) {
    std::string tasks = TaskDir();
    std::string moved = Root() + "/tasks-aside-status";
    bool hadFolder = rename(tasks.c_str(), moved.c_str()) == 0;
    APIRequest req;
    APIPolling poll(&req);
    Json::Value status;
    EXPECT_FALSE(poll.Status("TAVO_Test_Task_unknown", status));
    EXPECT_FALSE(poll.Stop("TAVO_Test_Task_unknown", true));
    EXPECT_FALSE(Exists(tasks));
    if (hadFolder) {
        ASSERT_EQ(0, rename(moved.c_str(), tasks.c_str()));
    }
}

TEST(Polling, StartFailsWith117WhenTheRecordCannotBeWritten) {
    // A file where the task folder should be (the folder itself moves aside).
    mkdir((Root() + "/var").c_str(), 0755);
    mkdir((Root() + "/var/lib").c_str(), 0755);
    mkdir((Root() + "/var/lib/tavo-webapi").c_str(), 0755);
    std::string tasks = TaskDir();
    std::string moved = Root() + "/tasks-aside";
    bool hadFolder = rename(tasks.c_str(), moved.c_str()) == 0;
    std::ofstream(tasks) << "not a folder";
    APIRequest req;
    APIPolling poll(&req);
    APIResponse resp;
    poll.Start(&resp, Fails, nullptr);
    EXPECT_FALSE(resp.IsSuccess());
    EXPECT_EQ(117, resp.ErrorCode());
    unlink(tasks.c_str());
    if (hadFolder) {
        ASSERT_EQ(0, rename(moved.c_str(), tasks.c_str()));
    }
}
