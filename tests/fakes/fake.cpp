#include "fake.h"

#include <syslog.h>
#include <cstdarg>
#include <cstdio>
#include <cstring>

namespace fake {
namespace {

struct Failure {
    int result = 0;
    int nth = 0;  // 0: every call
};

struct State {
    std::vector<std::string> calls;
    std::map<std::string, Failure> failures;
    std::map<std::string, int> counts;
    std::vector<LogLine> logs;
    std::map<std::string, std::vector<std::string>> args;
    World world;
    PollingState polling;
};

State& S() {
    static State* state = new State();
    return *state;
}

}  // namespace

int Call(const char* name, int defaultResult) {
    State& s = S();
    s.calls.push_back(name);
    int count = ++s.counts[name];
    auto it = s.failures.find(name);
    if (it == s.failures.end()) return defaultResult;
    if (it->second.nth == 0) return it->second.result;
    if (it->second.nth == count) return it->second.result;
    return defaultResult;
}

void Reset() {
    State& s = S();
    s = State();
}

void FailWith(const std::string& name, int result) { S().failures[name] = Failure{result, 0}; }

void FailNth(const std::string& name, int n, int result) {
    S().failures[name] = Failure{result, S().counts[name] + n};
}

void ClearFailure(const std::string& name) { S().failures.erase(name); }

const std::vector<std::string>& Calls() { return S().calls; }

int CallCount(const std::string& name) {
    auto it = S().counts.find(name);
    return it == S().counts.end() ? 0 : it->second;
}

bool Called(const std::string& name) { return CallCount(name) > 0; }

const std::vector<LogLine>& Logs() { return S().logs; }

std::vector<LogLine> Messages() {
    std::vector<LogLine> out;
    for (const LogLine& line : S().logs) {
        std::string text = line.text;
        size_t blank = text.find(' ');
        size_t colon = text.find(':');
        if (colon != std::string::npos && blank != std::string::npos && colon < blank)
            text = text.substr(blank + 1);
        out.push_back({line.priority, text});
    }
    return out;
}

bool AllLogsFrom(const std::string& moduleFile) {
    for (const LogLine& line : S().logs) {
        if (line.text.compare(0, moduleFile.size() + 1, moduleFile + ":") != 0) return false;
        size_t pos = moduleFile.size() + 1;
        size_t digits = 0;
        while (pos < line.text.size() && isdigit(static_cast<unsigned char>(line.text[pos]))) {
            ++pos;
            ++digits;
        }
        if (digits == 0 || pos >= line.text.size() || line.text[pos] != ' ') return false;
    }
    return true;
}

std::vector<std::string> Args(const std::string& name) { return S().args[name]; }
void RecordArg(const std::string& name, const std::string& arg) { S().args[name].push_back(arg); }

World& W() { return S().world; }
PollingState& Polling() { return S().polling; }

}  // namespace fake

// syslog capture. The test executable's definitions take precedence over
// libc's, for the plug-in code linked into it. Each line is echoed on
// standard error, so that a death test can match lines a child wrote.
static void CaptureLog(int priority, const char* format, va_list ap) {
    char buffer[8192];
    vsnprintf(buffer, sizeof buffer, format, ap);
    fake::S().logs.push_back(fake::LogLine{priority & LOG_PRIMASK, buffer});
    fprintf(stderr, "syslog<%d> %s\n", priority & LOG_PRIMASK, buffer);
}

extern "C" void syslog(int priority, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    CaptureLog(priority, format, ap);
    va_end(ap);
}

extern "C" void __syslog_chk(int priority, int, const char* format, ...) {
    va_list ap;
    va_start(ap, format);
    CaptureLog(priority, format, ap);
    va_end(ap);
}

extern "C" void vsyslog(int priority, const char* format, va_list ap) {
    CaptureLog(priority, format, ap);
}
