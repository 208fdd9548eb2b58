// APIPolling: background tasks of the host.
//
// A task runs in a process of its own (new session, detached by a double
// fork, so it outlives the request and leaves no zombie). Everything about
// a task is kept in its record, <root>/var/lib/tavo-webapi/tasks/<ID>.json:
// the task's process (pid and start time, to tell a live task from a dead
// one or a reused pid), its last answer, and whether it finished or was
// stopped. Records are rewritten whole (new file renamed over the old) under
// an exclusive lock on the folder's ".lock" file, so a reader never sees a
// half-written record and concurrent writers do not lose updates.
//
// Attributes: the prefix starts the task ID (characters other than letters,
// digits, '_', '-' and '.' become '_'). The group names the user group the
// task belongs to; it is recorded only (this host does not authenticate).
// With the remove attribute the record is deleted once a status request has
// read it finished; otherwise finished records stay at least a day and are
// pruned when a later task starts.
#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <optional>
#include <sstream>
#include <string>

#include "tavo/files.h"
#include "tavo/log.h"
#include "tavo/tavocore.h"
#include "tavo/webapi.h"

namespace TAVO {

namespace {

const char kTaskDir[] = "/var/lib/tavo-webapi/tasks";
const time_t kKeepSeconds = 24 * 60 * 60;
const size_t kMaxIdLength = 200;

bool IsSafeId(const std::string& id) {
    if (id.empty() || id.size() > kMaxIdLength || id[0] == '.') return false;
    for (char c : id) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.';
        if (!ok) return false;
    }
    return true;
}

std::string SafePrefix(const std::string& prefix) {
    std::string safe = prefix.substr(0, 100);
    for (char& c : safe) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.';
        if (!ok) c = '_';
    }
    if (!safe.empty() && safe[0] == '.') safe[0] = '_';
    return safe;
}

std::string UniquePart() {
    unsigned int random = 0;
    if (getrandom(&random, sizeof random, 0) != sizeof random) {
        random = static_cast<unsigned int>(clock()) ^ static_cast<unsigned int>(getpid() << 16);
    }
    char part[64];
    snprintf(part, sizeof part, "_%lld_%d_%08x", static_cast<long long>(time(nullptr)),
             static_cast<int>(getpid()), random);
    return part;
}

bool TaskDir(std::string& dir) {
    char path[PATH_MAX];
    if (TAVOResolvePath(kTaskDir, path, sizeof path) != 0) {
        TAVO_LOG(LOG_ERR, "cannot resolve %s", kTaskDir);
        return false;
    }
    dir = path;
    return true;
}

bool MakeDirs(const std::string& dir) {
    if (tavo::files::MakeFolders(dir) != 0) {
        TAVO_LOG(LOG_ERR, "cannot create %s: %m", dir.c_str());
        return false;
    }
    return true;
}

// Exclusive lock on the task folder for one read-modify-write. A missing
// folder is not made here: without it there is no record to read.
class DirLock {
public:
    explicit DirLock(const std::string& dir) {
        if (access(dir.c_str(), F_OK) == 0) lock_.emplace(dir + "/.lock");
        int error = !lock_ ? errno : lock_->Error();
        if (error != 0) TAVO_LOG(LOG_ERR, "cannot lock %s/.lock: %s", dir.c_str(), strerror(error));
    }
    bool Held() const { return lock_ && lock_->Locked(); }

private:
    std::optional<tavo::files::FileLock> lock_;
};

std::string RecordPath(const std::string& dir, const std::string& id) {
    return dir + "/" + id + ".json";
}

bool ReadRecord(const std::string& path, Json::Value& record) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    std::stringstream text;
    text << in.rdbuf();
    std::string content = text.str();
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    std::string errors;
    if (!reader->parse(content.data(), content.data() + content.size(), &record, &errors) ||
        !record.isObject()) {
        TAVO_LOG(LOG_ERR, "task record %s unreadable: %s", path.c_str(), errors.c_str());
        return false;
    }
    return true;
}

bool WriteRecord(const std::string& dir, const std::string& id, Json::Value record) {
    record["updated"] = static_cast<Json::Int64>(time(nullptr));
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    std::string text = Json::writeString(builder, record) + "\n";
    if (tavo::files::WriteFileAtomic(RecordPath(dir, id), text, 0644) != 0) {
        TAVO_LOG(LOG_ERR, "cannot write task record of %s: %m", id.c_str());
        return false;
    }
    return true;
}

// The start time of a live process (clock ticks after boot, from
// /proc/<pid>/stat), or 0 when there is no such process or it is a zombie.
unsigned long long ProcessStartTime(pid_t pid) {
    if (pid <= 0) return 0;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    if (!std::getline(in, line)) return 0;
    size_t close = line.rfind(')');
    if (close == std::string::npos) return 0;
    std::istringstream fields(line.substr(close + 2));
    std::string state;
    fields >> state;
    if (state == "Z" || state == "X" || state == "x") return 0;
    // After the state: fields 4 .. 21, then the start time (field 22).
    std::string skip;
    for (int i = 4; i <= 21; ++i) fields >> skip;
    unsigned long long start = 0;
    fields >> start;
    return fields ? start : 0;
}

bool TaskAlive(const Json::Value& record) {
    pid_t pid = static_cast<pid_t>(record.get("pid", 0).asInt());
    Json::UInt64 recorded = record.get("start_time", 0).asUInt64();
    if (pid <= 0 || recorded == 0) return false;
    return ProcessStartTime(pid) == recorded;
}

// Deletes records untouched for a day whose task is over, and stale temp files.
void Prune(const std::string& dir) {
    DIR* dp = opendir(dir.c_str());
    if (dp == nullptr) return;
    time_t now = time(nullptr);
    while (struct dirent* ent = readdir(dp)) {
        std::string name = ent->d_name;
        bool isRecord =
            name.size() > 5 && name.compare(name.size() - 5, 5, ".json") == 0 && name[0] != '.';
        // Left by a writer that died: "<id>.json.XXXXXX" (WriteFileAtomic),
        // ".<id>.<pid>.tmp" (hosts before it).
        bool isTemp =
            !isRecord &&
            ((name.size() > 12 && name.compare(name.size() - 12, 6, ".json.") == 0) ||
             (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0 && name[0] == '.'));
        if (!isRecord && !isTemp) continue;
        std::string path = dir + "/" + name;
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || now - st.st_mtime < kKeepSeconds) continue;
        if (isRecord) {
            Json::Value record;
            if (ReadRecord(path, record) && !record.get("finished", false).asBool() &&
                TaskAlive(record))
                continue;
        }
        if (unlink(path.c_str()) == 0)
            TAVO_LOG(LOG_DEBUG, "old task record %s removed", name.c_str());
    }
    closedir(dp);
}

void RecordAnswer(const std::string& dir, const std::string& id, const APIResponse& resp) {
    DirLock lock(dir);
    Json::Value record;
    if (!lock.Held() || !ReadRecord(RecordPath(dir, id), record)) {
        TAVO_LOG(LOG_ERR, "answer of task %s not recorded", id.c_str());
        return;
    }
    if (record.get("stopped", false).asBool() || record.get("finished", false).asBool()) return;
    record["answered"] = true;
    record["success"] = resp.IsSuccess();
    record["error_code"] = resp.ErrorCode();
    record["data"] = resp.Data();
    WriteRecord(dir, id, record);
}

// Modifies a record under the lock; false when it cannot be read or written.
template <typename Modify>
bool UpdateRecord(const std::string& dir, const std::string& id, Modify modify) {
    DirLock lock(dir);
    Json::Value record;
    if (!lock.Held() || !ReadRecord(RecordPath(dir, id), record)) return false;
    modify(record);
    return WriteRecord(dir, id, record);
}

[[noreturn]] void RunTask(const std::string& dir, const std::string& id, int syncFd,
                          APIRequest* req, APITaskFunc task, void* data) {
    setsid();
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    signal(SIGTERM, SIG_DFL);
    signal(SIGINT, SIG_DFL);
    signal(SIGHUP, SIG_DFL);
    int devnull = open("/dev/null", O_RDWR);
    if (devnull >= 0) {
        dup2(devnull, STDIN_FILENO);
        dup2(devnull, STDOUT_FILENO);
        dup2(devnull, STDERR_FILENO);
        if (devnull > STDERR_FILENO) close(devnull);
    }
    pid_t self = getpid();
    unsigned long long start = ProcessStartTime(self);
    bool recorded = UpdateRecord(dir, id, [&](Json::Value& record) {
        record["pid"] = static_cast<Json::Int>(self);
        record["start_time"] = static_cast<Json::UInt64>(start);
    });
    close(syncFd);  // the starting request may answer now
    if (!recorded) {
        TAVO_LOG(LOG_ERR, "task %s cannot record its process", id.c_str());
        _exit(1);
    }

    std::unique_ptr<APIRequest> taskReq;
    if (req != nullptr) taskReq.reset(new APIRequest(req->Params(), req->GetUILanguage()));
    APIResponse taskResp;
    taskResp.SetAnswerObserver(
        [&dir, &id](const APIResponse& resp) { RecordAnswer(dir, id, resp); });
    try {
        task(taskReq.get(), &taskResp, data);
    } catch (const std::exception& e) {
        TAVO_LOG(LOG_ERR, "task %s ended with an exception: %s", id.c_str(), e.what());
        taskResp.SetError(WEBAPI_ERR_INTERNAL_ERROR, Json::Value());
    } catch (...) {
        TAVO_LOG(LOG_ERR, "task %s ended with an exception", id.c_str());
        taskResp.SetError(WEBAPI_ERR_INTERNAL_ERROR, Json::Value());
    }
    UpdateRecord(dir, id, [](Json::Value& record) {
        if (record.get("finished", false).asBool()) return;
        record["finished"] = true;
        record["finished_at"] = static_cast<Json::Int64>(time(nullptr));
    });
    _exit(0);
}

}  // namespace

APIPolling::APIPolling(APIRequest* req) : req_(req) {}
APIPolling::~APIPolling() = default;

void APIPolling::SetRequest(APIRequest* req) { req_ = req; }
void APIPolling::SetGroupAttr(const std::string& group) { group_ = group; }
void APIPolling::SetRemoveAttr(bool remove) { remove_ = remove; }
void APIPolling::SetPrefixAttr(const std::string& prefix) { prefix_ = prefix; }

void APIPolling::Start(APIResponse* resp, APITaskFunc task, void* data) {
    if (resp == nullptr) return;
    std::string dir;
    if (task == nullptr || !TaskDir(dir) || !MakeDirs(dir)) {
        resp->SetError(WEBAPI_ERR_INTERNAL_ERROR, Json::Value());
        return;
    }
    std::string id = SafePrefix(prefix_) + UniquePart();
    {
        DirLock lock(dir);
        if (!lock.Held()) {
            resp->SetError(WEBAPI_ERR_INTERNAL_ERROR, Json::Value());
            return;
        }
        Prune(dir);
        Json::Value record(Json::objectValue);
        record["id"] = id;
        record["group"] = group_;
        record["remove"] = remove_;
        record["created"] = static_cast<Json::Int64>(time(nullptr));
        record["pid"] = 0;
        record["start_time"] = 0;
        record["answered"] = false;
        record["finished"] = false;
        record["stopped"] = false;
        if (!WriteRecord(dir, id, record)) {
            resp->SetError(WEBAPI_ERR_INTERNAL_ERROR, Json::Value());
            return;
        }
    }

    int sync[2];
    if (pipe2(sync, O_CLOEXEC) != 0) {
        TAVO_LOG(LOG_ERR, "cannot start task %s: %m", id.c_str());
        unlink(RecordPath(dir, id).c_str());
        resp->SetError(WEBAPI_ERR_INTERNAL_ERROR, Json::Value());
        return;
    }
    // Buffered output must not be written twice by the children.
    fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        close(sync[0]);
        pid_t grandchild = fork();
        if (grandchild == 0) RunTask(dir, id, sync[1], req_, task, data);
        if (grandchild < 0) TAVO_LOG(LOG_ERR, "cannot start task %s: %m", id.c_str());
        _exit(grandchild < 0 ? 1 : 0);
    }
    close(sync[1]);
    if (child < 0) {
        TAVO_LOG(LOG_ERR, "cannot start task %s: %m", id.c_str());
        close(sync[0]);
        unlink(RecordPath(dir, id).c_str());
        resp->SetError(WEBAPI_ERR_INTERNAL_ERROR, Json::Value());
        return;
    }
    int status = 0;
    while (waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // Wait until the task has recorded its process (or is gone).
    char byte;
    while (read(sync[0], &byte, 1) < 0 && errno == EINTR) {
    }
    close(sync[0]);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        unlink(RecordPath(dir, id).c_str());
        resp->SetError(WEBAPI_ERR_INTERNAL_ERROR, Json::Value());
        return;
    }

    Json::Value answer(Json::objectValue);
    answer["task_id"] = id;
    resp->SetSuccess(answer);
}

bool APIPolling::Status(const std::string& taskId, Json::Value& status) {
    std::string dir;
    if (!IsSafeId(taskId) || !TaskDir(dir)) return false;
    DirLock lock(dir);
    Json::Value record;
    std::string path = RecordPath(dir, taskId);
    if (!lock.Held() || !ReadRecord(path, record)) return false;

    if (!record.get("finished", false).asBool() && !TaskAlive(record)) {
        TAVO_LOG(LOG_ERR, "task %s ended without finishing", taskId.c_str());
        record["finished"] = true;
        record["finished_at"] = static_cast<Json::Int64>(time(nullptr));
        record["died"] = true;
        record["answered"] = true;
        record["success"] = false;
        record["error_code"] = WEBAPI_ERR_INTERNAL_ERROR;
        record["data"] = Json::Value();
        WriteRecord(dir, taskId, record);
    }

    bool finished = record.get("finished", false).asBool();
    bool answered = record.get("answered", false).asBool();
    bool success = !answered || record.get("success", false).asBool();
    status = Json::Value(Json::objectValue);
    status["finished"] = finished;
    if (record.get("stopped", false).asBool()) status["stopped"] = true;
    status["success"] = success;
    if (success) {
        status["data"] = answered ? record["data"] : Json::Value();
    } else {
        status["error"]["code"] = record.get("error_code", WEBAPI_ERR_INTERNAL_ERROR).asInt();
    }
    if (finished && record.get("remove", false).asBool()) unlink(path.c_str());
    return true;
}

bool APIPolling::Stop(const std::string& taskId, bool kill) {
    std::string dir;
    if (!IsSafeId(taskId) || !TaskDir(dir)) return false;
    DirLock lock(dir);
    Json::Value record;
    if (!lock.Held() || !ReadRecord(RecordPath(dir, taskId), record)) return false;
    if (record.get("finished", false).asBool()) return true;  // nothing left to stop
    if (TaskAlive(record)) {
        pid_t pid = static_cast<pid_t>(record["pid"].asInt());
        // The task leads its own process group: its children go with it.
        if (::kill(-pid, kill ? SIGKILL : SIGTERM) != 0 && errno != ESRCH) {
            TAVO_LOG(LOG_ERR, "cannot stop task %s: %m", taskId.c_str());
            return false;
        }
    }
    record["stopped"] = true;
    record["finished"] = true;
    record["finished_at"] = static_cast<Json::Int64>(time(nullptr));
    return WriteRecord(dir, taskId, record);
}

}  // namespace TAVO
