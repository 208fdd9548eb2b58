// The answer writer, the entry call, plug-in loading and dispatch, and the
// host program in CGI and command-line mode.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <sstream>
#include <stdexcept>

#include "host.h"
#include "plugins.h"

using namespace TAVO;
using namespace TAVO::Host;

namespace {

// What f writes on the process's standard output.
std::string StdoutOf(const std::function<void()>& f) {
    fflush(stdout);
    char szPath[] = "/tmp/tavo-stdout-XXXXXX";
    int fd = mkstemp(szPath);
    EXPECT_GE(fd, 0);
    int saved = dup(STDOUT_FILENO);
    dup2(fd, STDOUT_FILENO);
    f();
    fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    close(fd);
    std::ifstream in(szPath, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    unlink(szPath);
    return ss.str();
}

const char kJsonHeaders[] = "Content-Type: application/json\n\n";

APIResponse Answer(int code, const Json::Value& data) {
    APIResponse resp;
    if (code == 0) {
        resp.SetSuccess(data);
    } else {
        resp.SetError(code, data);
    }
    return resp;
}

void StrayOutput(APIRequest*, APIResponse* resp) {
    printf("debug text");
    resp->SetSuccess(Json::Value(1));
}

void ThrowsInt(APIRequest*, APIResponse*) { throw 42; }

void AnswersTwice(APIRequest*, APIResponse* resp) {
    resp->SetSuccess(Json::Value(1));
    resp->SetError(120, Json::Value());
}

}  // namespace

TEST(AnswerBody, SuccessAndErrorForms) {
    EXPECT_EQ("{\"success\":true}", AnswerBody(Answer(0, Json::Value())));
    Json::Value data(Json::objectValue);
    data["task_id"] = "T_1";
    EXPECT_EQ("{\"success\":true,\"data\":{\"task_id\":\"T_1\"}}", AnswerBody(Answer(0, data)));
    EXPECT_EQ("{\"success\":true,\"data\":[]}",
              AnswerBody(Answer(0, Json::Value(Json::arrayValue))));
    EXPECT_EQ("{\"success\":false,\"error\":{\"code\":114}}",
              AnswerBody(Answer(114, Json::Value())));
    EXPECT_EQ("{\"success\":false,\"error\":{\"code\":117},\"data\":{\"task_id\":\"T_1\"}}",
              AnswerBody(Answer(117, data)));
    EXPECT_EQ("{\"success\":true,\"data\":\"\xc3\xa4\"}",
              AnswerBody(Answer(0, Json::Value("\xc3\xa4"))));
    EXPECT_EQ(std::string(kJsonHeaders) + "{\"success\":false,\"error\":{\"code\":101}}",
              CgiError(101));
}

TEST(Invoke, ExceptionIsAnswered117WithoutPartialOutput) {
    PluginSet plugins;
    std::string error;
    ASSERT_TRUE(plugins.Load({TEST_PLUGIN_DIR}, error)) << error;
    int code = -1;
    const Entry* entry = plugins.Find("TAVO.Test", 1, "throw", code);
    ASSERT_NE(nullptr, entry);
    APIRequest req;
    Outcome outcome = Invoke(entry->func, req);
    EXPECT_TRUE(outcome.threw);
    EXPECT_EQ(std::string(kJsonHeaders) + "{\"success\":false,\"error\":{\"code\":117}}",
              CgiOutput(outcome));
    int exitCode = -1;
    EXPECT_EQ("{\"success\":false,\"error\":{\"code\":117}}\n", CliOutput(outcome, exitCode));
    EXPECT_EQ(1, exitCode);

    Outcome other = Invoke(ThrowsInt, req);
    EXPECT_TRUE(other.threw);
    EXPECT_EQ(std::string(kJsonHeaders) + "{\"success\":false,\"error\":{\"code\":117}}",
              CgiOutput(other));
}

TEST(Invoke, OwnOutputAndHeadersWrittenBeforeAnError) {
    PluginSet plugins;
    std::string error;
    ASSERT_TRUE(plugins.Load({TEST_PLUGIN_DIR}, error)) << error;
    int code = -1;
    APIRequest req;

    // Once the plug-in switches the host's output off, what it writes goes
    // out as it is written (a large export is never held in memory).
    Outcome download;
    std::string sent = StdoutOf(
        [&] { download = Invoke(plugins.Find("TAVO.Test", 1, "download", code)->func, req); });
    const std::string file =
        "Content-Type:application/octet-stream\nContent-Disposition:attachment; "
        "filename=\"t.txt\"\n\n"
        "line 1\r\nline 2\r\n";
    EXPECT_EQ(file, sent);
    EXPECT_TRUE(download.streamed);
    EXPECT_EQ("", download.pluginOutput);
    EXPECT_EQ("", CgiOutput(download));
    int exitCode = -1;
    EXPECT_EQ("", CliOutput(download, exitCode));
    EXPECT_EQ(0, exitCode);
    // An error after streaming began follows the output as a bare body.
    download.response.SetError(117, Json::Value());
    EXPECT_EQ("{\"success\":false,\"error\":{\"code\":117}}", CgiOutput(download));

    Outcome failed = Invoke(plugins.Find("TAVO.Test", 1, "download_fails", code)->func, req);
    EXPECT_EQ(
        "Content-Type:application/octet-stream\n\n{\"success\":false,\"error\":{\"code\":117}}",
        CgiOutput(failed));

    // Output without header lines would break the response: dropped.
    Outcome stray = Invoke(StrayOutput, req);
    EXPECT_EQ(std::string(kJsonHeaders) + "{\"success\":true,\"data\":1}", CgiOutput(stray));

    // No answer at all is an internal error; the last of two answers counts.
    Outcome silent = Invoke(plugins.Find("TAVO.Test", 1, "silent", code)->func, req);
    EXPECT_EQ(std::string(kJsonHeaders) + "{\"success\":false,\"error\":{\"code\":117}}",
              CgiOutput(silent));
    Outcome twice = Invoke(AnswersTwice, req);
    EXPECT_EQ(std::string(kJsonHeaders) + "{\"success\":false,\"error\":{\"code\":120}}",
              CgiOutput(twice));
}

TEST(Invoke, CapturedOutputDoesNotLeakToStdout) {
    // Standard output works as before after a capture.
    APIRequest req;
    Invoke(StrayOutput, req);
    testing::internal::CaptureStdout();
    printf("after");
    fflush(stdout);
    EXPECT_EQ("after", testing::internal::GetCapturedStdout());
}

TEST(PluginDirs, SplitsAtColonOrFallsBack) {
    EXPECT_EQ(std::vector<std::string>{"/def"}, PluginDirs(nullptr, "/def"));
    EXPECT_EQ(std::vector<std::string>{"/def"}, PluginDirs("", "/def"));
    EXPECT_EQ((std::vector<std::string>{"/a", "/b"}), PluginDirs("/a::/b:", "/def"));
}

TEST(PluginSet, FindGives102To104) {
    PluginSet plugins;
    std::string error;
    ASSERT_TRUE(plugins.Load({"/nonexistent/plugins", TEST_PLUGIN_DIR, TEST_PLUGIN_DIR}, error))
        << error;
    EXPECT_EQ(10u, plugins.Entries().size());
    int code = -1;
    const Entry* entry = plugins.Find("TAVO.Test", 1, "echo", code);
    ASSERT_NE(nullptr, entry);
    EXPECT_EQ(0, code);
    EXPECT_NE(std::string::npos, entry->file.find("TAVO.Test.so"));
    EXPECT_NE(nullptr, plugins.Find("TAVO.Test", 2, "v2", code));
    EXPECT_EQ(nullptr, plugins.Find("TAVO.Nope", 1, "echo", code));
    EXPECT_EQ(WEBAPI_ERR_NO_SUCH_API, code);
    EXPECT_EQ(nullptr, plugins.Find("TAVO.Test", 1, "nope", code));
    EXPECT_EQ(WEBAPI_ERR_NO_SUCH_METHOD, code);
    EXPECT_EQ(nullptr, plugins.Find("TAVO.Test", 2, "echo", code));
    EXPECT_EQ(WEBAPI_ERR_NOT_SUPPORTED_VERSION, code);
    EXPECT_EQ(nullptr, plugins.Find("tavo.test", 1, "echo", code));
    EXPECT_EQ(WEBAPI_ERR_NO_SUCH_API, code);
}

TEST(PluginSet, DuplicateEntryNamesBothFiles) {
    PluginSet plugins;
    std::string error;
    EXPECT_FALSE(plugins.Load({TEST_PLUGIN_DIR, TEST_DUP_PLUGIN_DIR}, error));
    EXPECT_NE(std::string::npos, error.find("TAVO.Test version 1 method echo")) << error;
    EXPECT_NE(std::string::npos, error.find(std::string(TEST_PLUGIN_DIR) + "/TAVO.Test.so"))
        << error;
    EXPECT_NE(std::string::npos,
              error.find(std::string(TEST_DUP_PLUGIN_DIR) + "/TAVO.TestDuplicate.so"))
        << error;

    static const API_TABLE table[] = {{"A", 1, "m", StrayOutput},
                                      {"A", 2, "m", StrayOutput},
                                      {"A", 1, "m", ThrowsInt},
                                      {nullptr, 0, nullptr, nullptr}};
    PluginSet same;
    EXPECT_FALSE(same.AddTable(table, "one.so", error));
    EXPECT_NE(std::string::npos, error.find("in one.so and one.so")) << error;
}

// The host program itself, as the web server or a script runs it.
namespace {

struct HostRun {
    int status = -1;
    std::string out;
    std::string err;
};

std::string Quote(const std::string& text) {
    std::string quoted = "'";
    for (char c : text) {
        if (c == '\'') {
            quoted += "'\\''";
        } else {
            quoted += c;
        }
    }
    return quoted + "'";
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

HostRun RunHost(const std::vector<std::string>& env, const std::vector<std::string>& args,
                const std::string& input = "") {
    char dir[] = "/tmp/webapi-host-test-XXXXXX";
    EXPECT_NE(nullptr, mkdtemp(dir));
    std::string base = dir;
    std::ofstream(base + "/in", std::ios::binary) << input;
    // No plug-in index unless a test asks for one (the default lies under "/").
    std::string command =
        "env -i TAVO_LOG_STDERR=1 TAVO_WEBAPI_INDEX= TAVO_WEBAPI_PLUGINS=" + Quote(TEST_PLUGIN_DIR);
    for (const std::string& e : env) command += " " + Quote(e);
    command += " " + Quote(TAVO_WEBAPI_PROGRAM);
    for (const std::string& a : args) command += " " + Quote(a);
    command += " <" + base + "/in >" + base + "/out 2>" + base + "/err";
    HostRun run;
    int raw = system(command.c_str());
    run.status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    run.out = ReadFile(base + "/out");
    run.err = ReadFile(base + "/err");
    system(("rm -rf " + base).c_str());
    return run;
}

std::string Cgi(const std::string& body) { return std::string(kJsonHeaders) + body; }

}  // namespace

TEST(HostProgram, CgiGetAndPost) {
    HostRun get = RunHost({"REQUEST_METHOD=GET",
                           "QUERY_STRING=api=TAVO.Test&version=1&method=echo&n=5&s=abc&a=%5B1%5D"},
                          {});
    EXPECT_EQ(0, get.status);
    EXPECT_EQ(Cgi("{\"success\":true,\"data\":{\"lang\":\"en\",\"params\":{\"a\":[1],\"n\":5,\"s\":"
                  "\"abc\"}}}"),
              get.out);

    const std::string body = "api=TAVO.Test&version=1&method=echo&cfg=%7B%22k%22%3A%22v+w%22%7D";
    HostRun post = RunHost(
        {"REQUEST_METHOD=POST",
         "QUERY_STRING=", "CONTENT_TYPE=application/x-www-form-urlencoded; charset=UTF-8",
         "CONTENT_LENGTH=" + std::to_string(body.size()), "HTTP_ACCEPT_LANGUAGE=de-DE,de;q=0.9"},
        {}, body);
    EXPECT_EQ(Cgi("{\"success\":true,\"data\":{\"lang\":\"de-DE\",\"params\":{\"cfg\":{\"k\":\"v "
                  "w\"}}}}"),
              post.out);
}

TEST(HostProgram, CgiHostCodes) {
    struct Case {
        const char* query;
        int code;
    } cases[] = {
        {"version=1&method=echo", 101},
        {"api=TAVO.Test&method=echo", 101},
        {"api=TAVO.Test&version=1", 101},
        {"api=TAVO.Test&version=one&method=echo", 101},
        {"api=TAVO.Test&version=1&method=echo&p=%00", 101},
        {"api=TAVO.Nope&version=1&method=echo", 102},
        {"api=TAVO.Test&version=1&method=nope", 103},
        {"api=TAVO.Test&version=9&method=echo", 104},
        {"api=TAVO.Test&version=1&method=fail&code=114", 114},
    };
    for (const Case& c : cases) {
        HostRun run = RunHost({"REQUEST_METHOD=GET", std::string("QUERY_STRING=") + c.query}, {});
        EXPECT_EQ(0, run.status) << c.query;
        EXPECT_EQ(Cgi("{\"success\":false,\"error\":{\"code\":" + std::to_string(c.code) + "}}"),
                  run.out)
            << c.query;
    }
}

TEST(HostProgram, CgiExceptionLoggedAndAnswered117) {
    HostRun run =
        RunHost({"REQUEST_METHOD=GET", "QUERY_STRING=api=TAVO.Test&version=1&method=throw"}, {});
    EXPECT_EQ(Cgi("{\"success\":false,\"error\":{\"code\":117}}"), run.out);
    EXPECT_NE(std::string::npos, run.err.find("tavo-webapi[")) << run.err;
    EXPECT_NE(std::string::npos, run.err.find("exception escaped the entry function: test failure"))
        << run.err;
}

TEST(HostProgram, CgiDuplicatePluginIsStartupError) {
    HostRun run =
        RunHost({"REQUEST_METHOD=GET", "QUERY_STRING=api=TAVO.Test&version=1&method=echo",
                 std::string("TAVO_WEBAPI_PLUGINS=") + TEST_PLUGIN_DIR + ":" + TEST_DUP_PLUGIN_DIR},
                {});
    EXPECT_EQ(Cgi("{\"success\":false,\"error\":{\"code\":117}}"), run.out);
    EXPECT_NE(std::string::npos, run.err.find("TAVO.TestDuplicate.so")) << run.err;
}

TEST(HostProgram, CgiAnswersTheSameWithThePluginIndex) {
    char dir[] = "/tmp/webapi-index-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(dir));
    const std::string index = std::string("TAVO_WEBAPI_INDEX=") + dir + "/plugins.index";
    const std::string plugins =
        std::string("TAVO_WEBAPI_PLUGINS=") + TEST_PLUGIN_DIR + ":" + TEST_OTHER_PLUGIN_DIR;
    for (int i = 0; i < 2; ++i) {
        HostRun echo = RunHost({index, plugins, "REQUEST_METHOD=GET",
                                "QUERY_STRING=api=TAVO.Other&version=1&method=echo&n=5"},
                               {});
        EXPECT_EQ(Cgi("{\"success\":true,\"data\":{\"lang\":\"en\",\"params\":{\"n\":5}}}"),
                  echo.out)
            << i;
        HostRun unknown = RunHost({index, plugins, "REQUEST_METHOD=GET",
                                   "QUERY_STRING=api=TAVO.Test&version=1&method=nope"},
                                  {});
        EXPECT_EQ(Cgi("{\"success\":false,\"error\":{\"code\":103}}"), unknown.out) << i;
        EXPECT_EQ(0, access((std::string(dir) + "/plugins.index").c_str(), F_OK)) << i;
    }
    system((std::string("rm -rf ") + dir).c_str());
}

TEST(HostProgram, CommandLineExitCodes) {
    HostRun ok =
        RunHost({}, {"call", "TAVO.Test", "1", "echo", "x=abc", "y={\"a\":[true]}", "lang=fr"});
    EXPECT_EQ(0, ok.status);
    EXPECT_EQ(
        "{\"success\":true,\"data\":{\"lang\":\"fr\",\"params\":{\"lang\":\"fr\",\"x\":\"abc\","
        "\"y\":{\"a\":[true]}}}}\n",
        ok.out);

    HostRun fail = RunHost({}, {"call", "TAVO.Test", "1", "fail", "code=114"});
    EXPECT_EQ(1, fail.status);
    EXPECT_EQ("{\"success\":false,\"error\":{\"code\":114}}\n", fail.out);

    HostRun unknown = RunHost({}, {"call", "TAVO.Test", "1", "nope"});
    EXPECT_EQ(1, unknown.status);
    EXPECT_EQ("{\"success\":false,\"error\":{\"code\":103}}\n", unknown.out);

    HostRun download = RunHost({}, {"call", "TAVO.Test", "1", "download"});
    EXPECT_EQ(0, download.status);
    EXPECT_EQ(0u, download.out.find("Content-Type:application/octet-stream\n"));

    EXPECT_EQ(2, RunHost({}, {}).status);
    EXPECT_EQ(2, RunHost({}, {"call", "TAVO.Test", "1"}).status);
    EXPECT_EQ(2, RunHost({}, {"call", "TAVO.Test", "1", "echo", "novalue"}).status);
    EXPECT_EQ(2, RunHost({}, {"call", "TAVO.Test", "1", "echo", "method=x"}).status);
    EXPECT_EQ(2, RunHost({}, {"frobnicate"}).status);
    HostRun badVersion = RunHost({}, {"call", "TAVO.Test", "v1", "echo"});
    EXPECT_EQ(1, badVersion.status);
    EXPECT_EQ("{\"success\":false,\"error\":{\"code\":101}}\n", badVersion.out);
}

// --- input that must not crash the host ---------------------------------------

namespace {

std::string Brackets(int levels) { return std::string(levels, '[') + std::string(levels, ']'); }

std::string PercentBrackets(int levels) {
    std::string text;
    for (int i = 0; i < levels; ++i) text += "%5B";
    for (int i = 0; i < levels; ++i) text += "%5D";
    return text;
}

const std::string kAnswer101 = "{\"success\":false,\"error\":{\"code\":101}}";
const std::string kAnswer117 = "{\"success\":false,\"error\":{\"code\":117}}";

}  // namespace

TEST(HostProgram, DeepNestingIsAnswered101AndLogged) {
    // GET, POST and the command line, in one parameter or in several.
    HostRun get =
        RunHost({"REQUEST_METHOD=GET",
                 "QUERY_STRING=api=TAVO.Test&version=1&method=echo&p=" + PercentBrackets(1001)},
                {});
    EXPECT_EQ(0, get.status) << get.err;
    EXPECT_EQ(Cgi(kAnswer101), get.out);
    EXPECT_NE(std::string::npos, get.err.find("bad request: parameter p: JSON value refused"))
        << get.err;

    const std::string body =
        "api=TAVO.Test&version=1&method=echo&a=1&scanTarget=" + PercentBrackets(5000);
    HostRun post = RunHost({"REQUEST_METHOD=POST", "CONTENT_TYPE=application/x-www-form-urlencoded",
                            "CONTENT_LENGTH=" + std::to_string(body.size())},
                           {}, body);
    EXPECT_EQ(0, post.status) << post.err;
    EXPECT_EQ(Cgi(kAnswer101), post.out);

    HostRun cli = RunHost({}, {"call", "TAVO.Test", "1", "echo", "p=" + Brackets(1000)});
    EXPECT_EQ(1, cli.status) << cli.err;
    EXPECT_EQ(kAnswer101 + "\n", cli.out);
    EXPECT_NE(std::string::npos, cli.err.find("bad request: parameter p: JSON value refused"))
        << cli.err;

    // Within the limit the value reaches the plug-in.
    HostRun fine = RunHost({}, {"call", "TAVO.Test", "1", "echo", "p=[[[\"x\"]]]"});
    EXPECT_EQ(0, fine.status) << fine.err;
}

TEST(HostProgram, NulEscapeIsAnswered101LikeANulByte) {
    for (const std::string& value :
         {std::string("%5B%22%2Fvolume1%2Fa%5Cu0000b%22%5D"), std::string("%22e%5Cu0000x%22"),
          std::string("%7B%22k%5Cu0000%22%3A1%7D")}) {
        HostRun run = RunHost(
            {"REQUEST_METHOD=GET", "QUERY_STRING=api=TAVO.Test&version=1&method=echo&p=" + value},
            {});
        EXPECT_EQ(Cgi(kAnswer101), run.out) << value;
        EXPECT_NE(std::string::npos, run.err.find("JSON value holds a NUL character")) << run.err;
    }
    HostRun cli =
        RunHost({}, {"call", "TAVO.Test", "1", "echo", "scanTarget=[\"/volume1/a\\u0000b\"]"});
    EXPECT_EQ(1, cli.status);
    EXPECT_EQ(kAnswer101 + "\n", cli.out);
}

TEST(HostProgram, RefusedParameterNameIsLoggedOnOneLine) {
    HostRun run = RunHost({"REQUEST_METHOD=GET",
                           "QUERY_STRING=api=TAVO.Test&version=1&method=echo&x%0Atavo-webapi%5B1%"
                           "5D%3A+forged=%22%5Cu0000%22"},
                          {});
    EXPECT_EQ(Cgi(kAnswer101), run.out);
    EXPECT_NE(std::string::npos,
              run.err.find("parameter x\\ntavo-webapi[1]: forged: JSON value holds"))
        << run.err;
    EXPECT_EQ(std::string::npos, run.err.find("\ntavo-webapi[1]")) << run.err;
}

TEST(HostProgram, ExceptionOutsideTheEntryIsAnswered117) {
    // The plug-in's table function throws while the plug-ins are loaded.
    const std::string plugins = std::string("TAVO_WEBAPI_PLUGINS=") + TEST_THROWING_PLUGIN_DIR;
    HostRun cgi = RunHost(
        {plugins, "REQUEST_METHOD=GET", "QUERY_STRING=api=TAVO.Test&version=1&method=echo"}, {});
    EXPECT_EQ(0, cgi.status) << cgi.err;
    EXPECT_EQ(Cgi(kAnswer117), cgi.out);
    EXPECT_NE(std::string::npos,
              cgi.err.find("exception escaped the request's handling: no table today"))
        << cgi.err;

    HostRun cli = RunHost({plugins}, {"call", "TAVO.Test", "1", "echo"});
    EXPECT_EQ(1, cli.status) << cli.err;
    EXPECT_EQ(kAnswer117 + "\n", cli.out);
}

// --- requests from foreign pages ----------------------------------------------

namespace {

const std::string kForbidden = "Status: 403 Forbidden\n" + std::string(kJsonHeaders) +
                               "{\"success\":false,\"error\":{\"code\":105}}";

HostRun Get(std::vector<std::string> env) {
    env.push_back("REQUEST_METHOD=GET");
    env.push_back("QUERY_STRING=api=TAVO.Test&version=1&method=echo&x=1");
    return RunHost(env, {});
}

const std::string kServed =
    Cgi("{\"success\":true,\"data\":{\"lang\":\"en\",\"params\":{\"x\":1}}}");

}  // namespace

TEST(HostProgram, CrossSiteFetchIsRefused) {
    // What a browser sends for an <img> or a form on a page elsewhere, with
    // no Origin and no Referer (referrer policy no-referrer).
    for (const char* site : {"cross-site", "same-site", "", "CROSS-SITE"}) {
        HostRun run = Get({"HTTP_HOST=127.0.0.1:8080", std::string("HTTP_SEC_FETCH_SITE=") + site});
        EXPECT_EQ(kForbidden, run.out) << site;
        EXPECT_NE(std::string::npos, run.err.find("cross-site request refused (cross-site fetch)"))
            << run.err;
    }
    for (const char* site : {"same-origin", "none"}) {
        EXPECT_EQ(kServed,
                  Get({"HTTP_HOST=127.0.0.1:8080", std::string("HTTP_SEC_FETCH_SITE=") + site}).out)
            << site;
    }
}

TEST(HostProgram, ForeignHostIsRefusedUnderRebinding) {
    // DNS rebinding: the attacker's name in both Origin and Host.
    HostRun rebound = Get({"HTTP_HOST=evil.example:8080", "HTTP_ORIGIN=http://evil.example:8080"});
    EXPECT_EQ(kForbidden, rebound.out);
    EXPECT_NE(std::string::npos, rebound.err.find("not a host this server answers to"))
        << rebound.err;
    EXPECT_EQ(kForbidden, Get({"HTTP_HOST=evil.example:8080"}).out);
    EXPECT_EQ(kForbidden, Get({"HTTP_HOST=127.attacker.invalid:8080"}).out);

    // Loopback, the listed names, and no Host header at all.
    EXPECT_EQ(kServed, Get({"HTTP_HOST=127.0.0.1:8080", "HTTP_ORIGIN=http://127.0.0.1:8080"}).out);
    EXPECT_EQ(kServed, Get({"HTTP_HOST=localhost:8080"}).out);
    EXPECT_EQ(kServed, Get({"HTTP_HOST=[::1]:8080"}).out);
    EXPECT_EQ(kServed, Get({}).out);
    const std::string allowed = "TAVO_WEBAPI_ALLOWED_HOSTS=nas.example, 192.168.1.20";
    EXPECT_EQ(
        kServed,
        Get({allowed, "HTTP_HOST=NAS.example:5000", "HTTP_ORIGIN=http://nas.example:5000"}).out);
    EXPECT_EQ(kServed, Get({allowed, "HTTP_HOST=192.168.1.20"}).out);
    EXPECT_EQ(kForbidden, Get({allowed, "HTTP_HOST=nas.example.evil:5000"}).out);
}
