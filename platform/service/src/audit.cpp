// The requester of an operation and the audit events of the service's changes.
#include "audit.h"

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "tavo/log.h"
#include "tavo/tavoav_engine.h"
#include "tavo/visible_text.h"

namespace {

// A user name or address longer than this is cut: it only labels an event.
const size_t kMaxNameBytes = 128;

std::string EnvText(const char* szName) {
    const char* szValue = getenv(szName);
    if (!szValue || !*szValue) return std::string();
    std::string value(szValue, strnlen(szValue, kMaxNameBytes));
    return tavo::service::OneLine(value);
}

// The parent and command name of a process, from /proc/<pid>/stat.
bool ParentAndName(pid_t pid, pid_t* pParent, std::string* pName) {
    char szPath[64];
    snprintf(szPath, sizeof szPath, "/proc/%d/stat", static_cast<int>(pid));
    int fd = open(szPath, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    char szBuf[512];
    ssize_t cb = read(fd, szBuf, sizeof szBuf - 1);
    close(fd);
    if (cb <= 0) return false;
    szBuf[cb] = '\0';
    // "pid (name) state ppid ...": the name may hold anything, up to the last ')'.
    char* pOpen = strchr(szBuf, '(');
    char* pClose = strrchr(szBuf, ')');
    if (!pOpen || !pClose || pClose < pOpen) return false;
    pName->assign(pOpen + 1, pClose);
    int iParent = 0;
    char chState = 0;
    if (sscanf(pClose + 1, " %c %d", &chState, &iParent) != 2) return false;
    *pParent = iParent;
    return true;
}

// cron runs a job through a shell or directly: the daemon is a close ancestor.
bool StartedByCron() {
    pid_t pid = getppid();
    for (int depth = 0; depth < 4 && pid > 1; ++depth) {
        pid_t parent = 0;
        std::string name;
        if (!ParentAndName(pid, &parent, &name)) return false;
        if (name == "cron" || name == "crond") return true;
        pid = parent;
    }
    return false;
}

}  // namespace

namespace tavo::service {

std::string OneLine(const std::string& text) {
    std::string buffer;
    // Text past a NUL byte cannot reach an event anyway.
    return TAVO::VisibleText(text.c_str(), buffer);
}

std::string Requester() {
    std::string user = EnvText("REMOTE_USER");
    if (!user.empty()) return "user " + user;
    std::string address = EnvText("REMOTE_ADDR");
    if (!address.empty()) return "address " + address;
    const char* szStartedBy = getenv("TAVOAV_STARTED_BY");
    if ((szStartedBy && strcmp(szStartedBy, "schedule") == 0) || StartedByCron()) return "schedule";
    return "local";
}

std::string LocalTimeText(time_t when) {
    if (when == 0) when = time(nullptr);
    struct tm tmWhen;
    char szTime[32] = "";
    if (localtime_r(&when, &tmWhen)) strftime(szTime, sizeof szTime, "%Y-%m-%d %H:%M:%S", &tmWhen);
    return szTime;
}

void Audit(const char* szClass, const char* szModule, const std::string& text) {
    const std::string line = OneLine(text);
    if (AVReportWrite(szClass, szModule, line.c_str()) != 0)
        TAVO_LOG(LOG_ERR, "cannot write the event: %s", line.c_str());
}

}  // namespace tavo::service
