// The SCGI front end: the header block parser, and tavo-webapi scgi SOCKET
// spoken to directly (no web server) with the test plug-in.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "scgi.h"
#include "temp_root.h"

using namespace TAVO::Host;

namespace {

std::string Block(const ScgiVariables& variables) {
    std::string block;
    for (const auto& variable : variables) block += variable.first + '\0' + variable.second + '\0';
    return block;
}

TEST(ScgiHeaders, ParsesTheVariablesInOrder) {
    ScgiVariables got;
    size_t length = 1;
    std::string why;
    ASSERT_TRUE(ParseScgiHeaders(
        Block({{"CONTENT_LENGTH", "27"}, {"SCGI", "1"}, {"QUERY_STRING", ""}}), got, length, why))
        << why;
    EXPECT_EQ(27u, length);
    ASSERT_EQ(3u, got.size());
    EXPECT_EQ("SCGI", got[1].first);
    EXPECT_EQ("", got[2].second);
}

TEST(ScgiHeaders, RefusesMalformedBlocks) {
    ScgiVariables got;
    size_t length = 0;
    std::string why;
    const std::string refused[] = {
        "",                                                        // no CONTENT_LENGTH
        Block({{"SCGI", "1"}, {"CONTENT_LENGTH", "0"}}),           // not first
        Block({{"CONTENT_LENGTH", "1x"}}),                         // not decimal
        Block({{"CONTENT_LENGTH", ""}}),                           // empty
        Block({{"CONTENT_LENGTH", "0"}, {"A", "1"}, {"A", "2"}}),  // given twice
        Block({{"CONTENT_LENGTH", "0"}, {"", "1"}}),               // no name
        Block({{"CONTENT_LENGTH", "0"}, {"A=B", "1"}}),            // '=' in the name
        std::string("CONTENT_LENGTH\0"
                    "0\0A\0"
                    "1",
                    20),                                      // last value without its NUL
        Block({{"CONTENT_LENGTH", "99999999999999999999"}}),  // too large
    };
    for (const std::string& block : refused) {
        EXPECT_FALSE(ParseScgiHeaders(block, got, length, why)) << block;
        EXPECT_FALSE(why.empty());
    }
}

// tavo-webapi scgi SOCKET with the test plug-in; stopped with SIGTERM.
class ScgiServer : public TempRootTest {
protected:
    void SetUp() override {
        TempRootTest::SetUp();
        socketPath_ = root_ + "/scgi.sock";
        Start();
    }

    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        TempRootTest::TearDown();
    }

    void Start() {
        pid_ = fork();
        ASSERT_GE(pid_, 0);
        if (pid_ == 0) {
            setenv("TAVO_WEBAPI_PLUGINS", TEST_PLUGIN_DIR ":" TEST_EXTRA_PLUGIN_DIR, 1);
            setenv("TAVO_ROOT", root_.c_str(), 1);
            setenv("ONLY_IN_THE_PARENT", "1", 1);
            execl(TAVO_WEBAPI_PROGRAM, TAVO_WEBAPI_PROGRAM, "scgi", socketPath_.c_str(),
                  (char*)nullptr);
            _exit(127);
        }
        // Up once it accepts a connection (the parent binds before it loads).
        for (int i = 0; i < 1000 && !Connectable(); ++i) usleep(10000);
        ASSERT_TRUE(Connectable());
    }

    int Connect() {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_un address;
        memset(&address, 0, sizeof address);
        address.sun_family = AF_UNIX;
        strncpy(address.sun_path, socketPath_.c_str(), sizeof address.sun_path - 1);
        if (connect(fd, reinterpret_cast<struct sockaddr*>(&address), sizeof address) != 0) {
            close(fd);
            return -1;
        }
        return fd;
    }

    bool Connectable() {
        int fd = Connect();
        if (fd < 0) return false;
        close(fd);
        return true;
    }

    // Sends raw bytes and reads the answer to its end.
    std::string Exchange(const std::string& request) {
        int fd = Connect();
        EXPECT_GE(fd, 0);
        if (fd < 0) return "";
        size_t done = 0;
        while (done < request.size()) {
            ssize_t n = write(fd, request.data() + done, request.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        shutdown(fd, SHUT_WR);  // a short request ends here, not at the child's read timeout
        std::string answer;
        char buffer[65536];
        ssize_t n;
        while ((n = read(fd, buffer, sizeof buffer)) > 0)
            answer.append(buffer, static_cast<size_t>(n));
        close(fd);
        return answer;
    }

    std::string Request(const std::string& query, const std::string& body = "",
                        const ScgiVariables& more = ScgiVariables()) {
        ScgiVariables variables = {{"CONTENT_LENGTH", std::to_string(body.size())},
                                   {"SCGI", "1"},
                                   {"REQUEST_METHOD", body.empty() ? "GET" : "POST"},
                                   {"QUERY_STRING", query},
                                   {"TAVO_ROOT", root_}};
        if (!body.empty())
            variables.emplace_back("CONTENT_TYPE", "application/x-www-form-urlencoded");
        variables.insert(variables.end(), more.begin(), more.end());
        std::string block = Block(variables);
        return Exchange(std::to_string(block.size()) + ":" + block + "," + body);
    }

    std::string socketPath_;
    pid_t pid_ = -1;
};

const char kHeaders[] = "Content-Type: application/json\n\n";

TEST_F(ScgiServer, AnswersAsTheCgiProgramDoes) {
    EXPECT_EQ(std::string(kHeaders) +
                  "{\"success\":true,\"data\":{\"lang\":\"en\",\"params\":{\"a\":1}}}",
              Request("api=TAVO.Test&version=1&method=echo&a=1"));
    EXPECT_EQ(std::string(kHeaders) + "{\"success\":false,\"error\":{\"code\":103}}",
              Request("api=TAVO.Test&version=1&method=nothing"));
    // The body arrives on standard input, a body past a pipe's capacity too.
    std::string value(300000, 'v');
    EXPECT_EQ(std::string(kHeaders) +
                  "{\"success\":true,\"data\":{\"lang\":\"en\",\"params\":{\"b\":\"" + value +
                  "\"}}}",
              Request("", "api=TAVO.Test&version=1&method=echo&b=" + value));
    // A download goes out as the plug-in wrote it.
    EXPECT_EQ(
        "Content-Type:application/octet-stream\nContent-Disposition:attachment; "
        "filename=\"t.txt\"\n\nline 1\r\n"
        "line 2\r\n",
        Request("api=TAVO.Test&version=1&method=download"));
}

TEST_F(ScgiServer, RequestSeesOnlyItsOwnVariables) {
    const std::string query = "api=TAVO.TestExtra&version=1&method=env&name=";
    EXPECT_EQ(std::string(kHeaders) + "{\"success\":true}", Request(query + "ONLY_IN_THE_PARENT"));
    EXPECT_EQ(std::string(kHeaders) + "{\"success\":true,\"data\":\"on\"}",
              Request(query + "HTTPS", "", {{"HTTPS", "on"}}));
    EXPECT_EQ(std::string(kHeaders) + "{\"success\":true,\"data\":\"" + root_ + "\"}",
              Request(query + "TAVO_ROOT"));
}

TEST_F(ScgiServer, MalformedRequestGetsNoAnswerAndHarmsNoOther) {
    EXPECT_EQ("", Exchange("12:CONTENT_LENGTH,"));
    EXPECT_EQ("", Exchange("nonsense"));
    EXPECT_EQ("", Exchange(""));
    EXPECT_EQ(std::string(kHeaders) + "{\"success\":true,\"data\":{\"lang\":\"en\",\"params\":{}}}",
              Request("api=TAVO.Test&version=1&method=echo"));
}

TEST_F(ScgiServer, StopsOnSigtermAndRemovesItsSocket) {
    ASSERT_EQ(0, kill(pid_, SIGTERM));
    int status = 0;
    ASSERT_EQ(pid_, waitpid(pid_, &status, 0));
    pid_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    struct stat st;
    EXPECT_NE(0, lstat(socketPath_.c_str(), &st));
}

TEST_F(ScgiServer, SecondServerOnALiveSocketIsRefusedAStaleOneReplaced) {
    pid_t second = fork();
    ASSERT_GE(second, 0);
    if (second == 0) {
        setenv("TAVO_WEBAPI_PLUGINS", TEST_PLUGIN_DIR, 1);
        execl(TAVO_WEBAPI_PROGRAM, TAVO_WEBAPI_PROGRAM, "scgi", socketPath_.c_str(),
              (char*)nullptr);
        _exit(127);
    }
    int status = 0;
    ASSERT_EQ(second, waitpid(second, &status, 0));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
    // A killed server leaves its socket file behind: the next one takes it.
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    struct stat st;
    ASSERT_EQ(0, lstat(socketPath_.c_str(), &st));
    // Stale once the last process that held the listening socket (a request
    // process of the killed server finishing a probe connection) is gone.
    for (int i = 0; i < 1000 && Connectable(); ++i) usleep(10000);
    ASSERT_FALSE(Connectable());
    Start();
    std::string answer = Request("api=TAVO.Test&version=1&method=echo");
    EXPECT_NE(std::string::npos, answer.find("\"success\":true")) << answer;
}

}  // namespace
