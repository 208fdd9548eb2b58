// CGI and command-line front ends of the host, and the answer writer.
#include "host.h"
#include "origin.h"

#include <fcntl.h>
#include <limits.h>
#include <pthread.h>
#include <strings.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <functional>
#include <iostream>

#include "request_parser.h"
#include "tavo/log.h"
#include "tavo/tavocore.h"
#include "tavo/visible_text.h"

namespace TAVO {
namespace Host {

namespace {

const char kJsonHeaders[] = "Content-Type: application/json\n\n";
const size_t kMaxBody = kMaxRequestBody;

// The real standard output while an entry runs with it captured. A child
// forked meanwhile (scan start, background task) must not keep the web
// server's pipe open, or the response would not end until the child does.
int g_savedStdout = -1;

void CloseSavedStdoutInChild() {
    if (g_savedStdout >= 0) {
        close(g_savedStdout);
        g_savedStdout = -1;
    }
}

// Whether any byte of the answer has gone out: an error found after that
// can only append its body.
bool g_answerStarted = false;

void WriteAll(int fd, const std::string& data) {
    if (!data.empty()) g_answerStarted = true;
    size_t done = 0;
    while (done < data.size()) {
        ssize_t n = write(fd, data.data() + done, data.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            TAVO_LOG(LOG_ERR, "cannot write the answer: %m");
            return;
        }
        done += static_cast<size_t>(n);
    }
}

class StdoutCapture {
public:
    StdoutCapture() {
        static pthread_once_t once = PTHREAD_ONCE_INIT;
        pthread_once(&once, [] { pthread_atfork(nullptr, nullptr, CloseSavedStdoutInChild); });
        fflush(stdout);
        memfd_ = memfd_create("tavo-webapi-output", MFD_CLOEXEC);
        if (memfd_ < 0) {
            TAVO_LOG(LOG_ERR, "cannot capture plug-in output: %m");
            return;
        }
        saved_ = fcntl(STDOUT_FILENO, F_DUPFD_CLOEXEC, 3);
        if (saved_ < 0 || dup2(memfd_, STDOUT_FILENO) < 0) {
            TAVO_LOG(LOG_ERR, "cannot capture plug-in output: %m");
            if (saved_ >= 0) close(saved_);
            saved_ = -1;
            close(memfd_);
            memfd_ = -1;
            return;
        }
        g_savedStdout = saved_;
    }

    ~StdoutCapture() { Finish(); }

    // Sends what was held back and lets everything after it go straight to
    // the real standard output: a plug-in that writes its own answer (the
    // log export) streams it instead of having it held in memory.
    bool PassThrough() {
        if (memfd_ < 0 || passThrough_) return passThrough_;
        fflush(stdout);
        std::cout.flush();
        char buffer[65536];
        off_t offset = 0;
        for (;;) {
            ssize_t n = pread(memfd_, buffer, sizeof buffer, offset);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) break;
            WriteAll(saved_, std::string(buffer, static_cast<size_t>(n)));
            offset += n;
        }
        dup2(saved_, STDOUT_FILENO);
        close(memfd_);
        memfd_ = -1;
        close(saved_);
        saved_ = -1;
        g_savedStdout = -1;
        passThrough_ = true;
        g_answerStarted = true;
        return true;
    }

    std::string Finish() {
        std::string captured;
        if (passThrough_) {
            fflush(stdout);
            std::cout.flush();
        }
        if (memfd_ < 0) return captured;
        fflush(stdout);
        std::cout.flush();
        dup2(saved_, STDOUT_FILENO);
        close(saved_);
        g_savedStdout = -1;
        saved_ = -1;
        off_t size = lseek(memfd_, 0, SEEK_END);
        if (size > 0) {
            captured.resize(static_cast<size_t>(size));
            size_t got = 0;
            while (got < captured.size()) {
                ssize_t n =
                    pread(memfd_, &captured[got], captured.size() - got, static_cast<off_t>(got));
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) break;
                got += static_cast<size_t>(n);
            }
            captured.resize(got);
        }
        close(memfd_);
        memfd_ = -1;
        return captured;
    }

private:
    int memfd_ = -1;
    int saved_ = -1;
    bool passThrough_ = false;
};

// Whether the plug-in's own output starts with a complete header block.
bool HasHeaderBlock(const std::string& output) {
    return output.find("\n\n") != std::string::npos || output.find("\n\r\n") != std::string::npos;
}

std::string ReadBody() {
    std::string body;
    const char* lengthText = getenv("CONTENT_LENGTH");
    size_t want = kMaxBody + 1;
    if (lengthText != nullptr && *lengthText != '\0') {
        char* end = nullptr;
        unsigned long long length = strtoull(lengthText, &end, 10);
        if (*end == '\0') want = length > kMaxBody ? kMaxBody + 1 : static_cast<size_t>(length);
    }
    char buffer[65536];
    while (body.size() < want) {
        size_t chunk = std::min(sizeof buffer, want - body.size());
        ssize_t n = read(STDIN_FILENO, buffer, chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        body.append(buffer, static_cast<size_t>(n));
    }
    return body;
}

bool IsFormContentType(const char* contentType) {
    if (contentType == nullptr) return false;
    std::string type(contentType);
    type = type.substr(0, type.find(';'));
    while (!type.empty() && (type.back() == ' ' || type.back() == '\t')) type.pop_back();
    for (char& c : type) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return type == "application/x-www-form-urlencoded";
}

// The plug-in index: TAVO_WEBAPI_INDEX when set (empty: no index), else
// the host's cache file under the root.
std::string PluginIndexPath() {
    const char* path = getenv("TAVO_WEBAPI_INDEX");
    if (path != nullptr) return path;
    char resolved[PATH_MAX];
    if (TAVOResolvePath("/var/cache/tavo-webapi/plugins.index", resolved, sizeof resolved) != 0)
        return "";
    return resolved;
}

// Finds the entry in plug-ins loaded for the call (the CGI process) or
// loaded once before (the SCGI parent; error then tells why they are not
// usable). On failure code is the answer.
const Entry* FindEntry(const PluginSet& plugins, const std::string& error, const ParsedCall& call,
                       int& code) {
    if (!error.empty()) {
        TAVO_LOG(LOG_ERR, "plug-ins not loaded: %s", error.c_str());
        code = WEBAPI_ERR_INTERNAL_ERROR;
        return nullptr;
    }
    const Entry* entry = plugins.Find(call.api, call.version, call.method, code);
    if (entry == nullptr) {
        TAVO_LOG(LOG_NOTICE, "no entry for %s version %d method %s: %d", call.api.c_str(),
                 call.version, call.method.c_str(), code);
    }
    return entry;
}

// Loads the plug-ins the call needs and finds the entry.
const Entry* Resolve(PluginSet& plugins, const std::vector<std::string>& dirs,
                     const ParsedCall& call, int& code) {
    std::string error;
    if (!plugins.LoadFor(dirs, PluginIndexPath(), call.api, call.version, call.method, error) &&
        error.empty()) {
        error = "unknown failure";
    }
    return FindEntry(plugins, error, call, code);
}

}  // namespace

std::string AnswerBody(const APIResponse& resp) {
    // Written by hand so that "success" comes first, as the front end shows it.
    Json::StreamWriterBuilder builder;
    builder["indentation"] = "";
    builder["emitUTF8"] = true;
    std::string body;
    if (resp.IsSuccess()) {
        body = "{\"success\":true";
    } else {
        body = "{\"success\":false,\"error\":{\"code\":" + std::to_string(resp.ErrorCode()) + "}";
    }
    if (!resp.Data().isNull()) body += ",\"data\":" + Json::writeString(builder, resp.Data());
    return body + "}";
}

std::string ErrorBody(int code) {
    APIResponse resp;
    resp.SetError(code, Json::Value());
    return AnswerBody(resp);
}

std::string CgiError(int code) { return kJsonHeaders + ErrorBody(code); }

Outcome Invoke(APIFunc func, APIRequest& req) {
    Outcome outcome;
    StdoutCapture capture;
    outcome.response.SetOutputObserver([&](bool enabled) {
        if (!enabled && capture.PassThrough()) outcome.streamed = true;
    });
    try {
        func(&req, &outcome.response);
    } catch (const std::exception& e) {
        outcome.threw = true;
        TAVO_LOG(LOG_ERR, "exception escaped the entry function: %s", e.what());
    } catch (...) {
        outcome.threw = true;
        TAVO_LOG(LOG_ERR, "exception escaped the entry function");
    }
    outcome.pluginOutput = capture.Finish();
    if (!outcome.threw && !outcome.response.Answered()) {
        TAVO_LOG(LOG_ERR, "the entry function returned without an answer");
    }
    return outcome;
}

std::string CgiOutput(const Outcome& outcome) {
    if (outcome.streamed) {
        // The plug-in's header lines and body are out already: only an error
        // answer follows them.
        if (outcome.threw || !outcome.response.Answered())
            return ErrorBody(WEBAPI_ERR_INTERNAL_ERROR);
        return outcome.response.IsSuccess() ? std::string() : AnswerBody(outcome.response);
    }
    if (outcome.threw || !outcome.response.Answered()) return CgiError(WEBAPI_ERR_INTERNAL_ERROR);
    const APIResponse& resp = outcome.response;
    if (resp.IsSuccess() && !resp.OutputEnabled()) {
        if (outcome.pluginOutput.empty())
            TAVO_LOG(LOG_ERR, "output switched off but nothing written");
        return outcome.pluginOutput;
    }
    if (!outcome.pluginOutput.empty()) {
        // Header lines already written (an export that failed midway): the
        // answer body follows them.
        if (HasHeaderBlock(outcome.pluginOutput)) return outcome.pluginOutput + AnswerBody(resp);
        TAVO_LOG(LOG_ERR, "plug-in output without header lines discarded (%zu bytes)",
                 outcome.pluginOutput.size());
    }
    return kJsonHeaders + AnswerBody(resp);
}

std::string CliOutput(const Outcome& outcome, int& exitCode) {
    if (outcome.streamed) {
        if (outcome.threw || !outcome.response.Answered()) {
            exitCode = 1;
            return ErrorBody(WEBAPI_ERR_INTERNAL_ERROR) + "\n";
        }
        exitCode = outcome.response.IsSuccess() ? 0 : 1;
        return outcome.response.IsSuccess() ? std::string() : AnswerBody(outcome.response) + "\n";
    }
    if (outcome.threw || !outcome.response.Answered()) {
        exitCode = 1;
        return ErrorBody(WEBAPI_ERR_INTERNAL_ERROR) + "\n";
    }
    const APIResponse& resp = outcome.response;
    exitCode = resp.IsSuccess() ? 0 : 1;
    if (resp.IsSuccess() && !resp.OutputEnabled()) return outcome.pluginOutput;
    std::string prefix;
    if (!outcome.pluginOutput.empty() && HasHeaderBlock(outcome.pluginOutput))
        prefix = outcome.pluginOutput;
    return prefix + AnswerBody(resp) + "\n";
}

namespace {

// A header's value for the log: control bytes made visible.
std::string LogText(const char* text) {
    std::string buffer;
    return text != nullptr ? VisibleText(text, buffer) : "";
}

// Finds the entry of a call; on failure code is the answer.
using EntryFinder = std::function<const Entry*(const ParsedCall& call, int& code)>;

int ServeCgi(const EntryFinder& findEntry) {
    const char* requestMethod = getenv("REQUEST_METHOD");
    const char* https = getenv("HTTPS");
    RequestSite site;
    site.origin = getenv("HTTP_ORIGIN");
    site.referer = getenv("HTTP_REFERER");
    site.host = getenv("HTTP_HOST");
    site.secFetchSite = getenv("HTTP_SEC_FETCH_SITE");
    site.allowedHosts = getenv(kAllowedHostsVariable);
    site.https = https != nullptr && strcasecmp(https, "on") == 0;
    const std::string refusal = CrossSiteRefusal(site);
    if (!refusal.empty()) {
        TAVO_LOG(LOG_ERR,
                 "cross-site request refused (%s): Origin [%s], Referer [%s], Host [%s], "
                 "Sec-Fetch-Site [%s]",
                 refusal.c_str(), LogText(site.origin).c_str(), LogText(site.referer).c_str(),
                 LogText(site.host).c_str(), LogText(site.secFetchSite).c_str());
        WriteAll(STDOUT_FILENO, "Status: 403 Forbidden\n" + CgiError(WEBAPI_ERR_FORBIDDEN_ORIGIN));
        return 0;
    }
    const char* query = getenv("QUERY_STRING");
    const char* acceptLanguage = getenv("HTTP_ACCEPT_LANGUAGE");

    FieldList fields;
    bool ok = ParseUrlEncoded(query ? query : "", fields);
    if (ok && requestMethod != nullptr && strcmp(requestMethod, "POST") == 0 &&
        IsFormContentType(getenv("CONTENT_TYPE"))) {
        std::string body = ReadBody();
        if (body.size() > kMaxBody) {
            TAVO_LOG(LOG_ERR, "request body larger than %zu bytes refused", kMaxBody);
            WriteAll(STDOUT_FILENO, CgiError(WEBAPI_ERR_BAD_REQUEST));
            return 0;
        }
        ok = ParseUrlEncoded(body, fields);
    }
    if (!ok) {
        TAVO_LOG(LOG_ERR, "request refused: a field holds a NUL byte");
        WriteAll(STDOUT_FILENO, CgiError(WEBAPI_ERR_BAD_REQUEST));
        return 0;
    }
    ParsedCall call = ParseCall(fields, acceptLanguage ? acceptLanguage : "");
    if (call.errorCode != 0) {
        TAVO_LOG(LOG_NOTICE, "bad request: %s", LogText(call.errorText.c_str()).c_str());
        WriteAll(STDOUT_FILENO, CgiError(call.errorCode));
        return 0;
    }
    int code = 0;
    const Entry* entry = findEntry(call, code);
    if (entry == nullptr) {
        WriteAll(STDOUT_FILENO, CgiError(code));
        return 0;
    }
    Outcome outcome = Invoke(entry->func, call.request);
    WriteAll(STDOUT_FILENO, CgiOutput(outcome));
    return 0;
}

// What an exception that escaped the request's handling leaves: a log line,
// and the error answer in place of a dying process (an abort would give the
// client an HTTP 500 without a body).
void LogEscapedException(const char* what) {
    TAVO_LOG(LOG_ERR, "exception escaped the request's handling: %s", what);
}

int RunCgiWith(const EntryFinder& findEntry) {
    try {
        return ServeCgi(findEntry);
    } catch (const std::exception& e) {
        LogEscapedException(e.what());
    } catch (...) {
        LogEscapedException("not a std::exception");
    }
    // After part of the answer went out, only the error body can follow it.
    WriteAll(STDOUT_FILENO, g_answerStarted ? ErrorBody(WEBAPI_ERR_INTERNAL_ERROR)
                                            : CgiError(WEBAPI_ERR_INTERNAL_ERROR));
    return 0;
}

}  // namespace

int RunCgi(const std::vector<std::string>& pluginDirs) {
    PluginSet plugins;
    return RunCgiWith([&](const ParsedCall& call, int& code) {
        return Resolve(plugins, pluginDirs, call, code);
    });
}

int RunCgiLoaded(const PluginSet& plugins, const std::string& loadError) {
    return RunCgiWith([&](const ParsedCall& call, int& code) {
        return FindEntry(plugins, loadError, call, code);
    });
}

void OpenHostLog() {
    const char* toStderr = getenv("TAVO_LOG_STDERR");
    int options = LOG_PID;
    if (toStderr != nullptr && strcmp(toStderr, "1") == 0) options |= LOG_PERROR;
    closelog();
    openlog("tavo-webapi", options, LOG_USER);
}

namespace {

const char kUsage[] =
    "usage: tavo-webapi call API VERSION METHOD [NAME=VALUE]...\n"
    "       tavo-webapi list\n"
    "       tavo-webapi scgi [SOCKET]\n"
    "Calls one web API method the way a web request would and prints the answer.\n"
    "Each VALUE is JSON text; text that is not JSON is taken as a string.\n"
    "Exit status: 0 success answer, 1 error answer, 2 usage error.\n"
    "Plug-ins are loaded from the folders in TAVO_WEBAPI_PLUGINS (colon-separated).\n"
    "Without arguments and with REQUEST_METHOD set, it serves one CGI request.\n"
    "scgi serves SCGI requests on the UNIX socket SOCKET (or on the listening\n"
    "socket it gets as standard input), one process per request.\n";

int Usage(const char* problem) {
    if (problem != nullptr) fprintf(stderr, "tavo-webapi: %s\n", problem);
    fputs(kUsage, stderr);
    return 2;
}

int CallCli(int argc, char** argv, const std::vector<std::string>& pluginDirs) {
    if (argc < 2) return Usage(nullptr);
    std::string command = argv[1];
    if (command == "--help" || command == "-h") {
        fputs(kUsage, stdout);
        return 0;
    }
    if (command == "list") {
        PluginSet plugins;
        std::string error;
        if (!plugins.Load(pluginDirs, error)) {
            fprintf(stderr, "tavo-webapi: %s\n", error.c_str());
            return 1;
        }
        for (const Entry& entry : plugins.Entries()) {
            printf("%s %d %s\t%s\n", entry.api.c_str(), entry.version, entry.method.c_str(),
                   entry.file.c_str());
        }
        return 0;
    }
    if (command != "call") return Usage(("unknown command: " + command).c_str());
    if (argc < 5) return Usage("call needs API, VERSION and METHOD");

    FieldList fields{{"api", argv[2]}, {"version", argv[3]}, {"method", argv[4]}};
    for (int i = 5; i < argc; ++i) {
        std::string pair = argv[i];
        size_t eq = pair.find('=');
        if (eq == std::string::npos || eq == 0) return Usage(("not NAME=VALUE: " + pair).c_str());
        std::string name = pair.substr(0, eq);
        if (name == "api" || name == "version" || name == "method") {
            return Usage(("give " + name + " as a positional argument").c_str());
        }
        fields.emplace_back(name, pair.substr(eq + 1));
    }
    const char* acceptLanguage = getenv("HTTP_ACCEPT_LANGUAGE");
    ParsedCall call = ParseCall(fields, acceptLanguage ? acceptLanguage : "");
    if (call.errorCode != 0) {
        const std::string why = LogText(call.errorText.c_str());
        fprintf(stderr, "tavo-webapi: %s\n", why.c_str());
        TAVO_LOG(LOG_NOTICE, "bad request: %s", why.c_str());
        WriteAll(STDOUT_FILENO, ErrorBody(call.errorCode) + "\n");
        return 1;
    }
    PluginSet plugins;
    std::string error;
    if (!plugins.LoadFor(pluginDirs, PluginIndexPath(), call.api, call.version, call.method,
                         error)) {
        fprintf(stderr, "tavo-webapi: %s\n", error.c_str());
        TAVO_LOG(LOG_ERR, "plug-ins not loaded: %s", error.c_str());
        WriteAll(STDOUT_FILENO, ErrorBody(WEBAPI_ERR_INTERNAL_ERROR) + "\n");
        return 1;
    }
    int code = 0;
    const Entry* entry = plugins.Find(call.api, call.version, call.method, code);
    if (entry == nullptr) {
        WriteAll(STDOUT_FILENO, ErrorBody(code) + "\n");
        return 1;
    }
    Outcome outcome = Invoke(entry->func, call.request);
    int exitCode = 1;
    WriteAll(STDOUT_FILENO, CliOutput(outcome, exitCode));
    return exitCode;
}

}  // namespace

int RunCli(int argc, char** argv, const std::vector<std::string>& pluginDirs) {
    try {
        return CallCli(argc, argv, pluginDirs);
    } catch (const std::exception& e) {
        LogEscapedException(e.what());
    } catch (...) {
        LogEscapedException("not a std::exception");
    }
    WriteAll(STDOUT_FILENO, ErrorBody(WEBAPI_ERR_INTERNAL_ERROR) + "\n");
    return 1;
}

}  // namespace Host
}  // namespace TAVO
