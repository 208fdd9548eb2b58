#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "tavo/tavocore.h"
#include "temp_root.h"

namespace {

std::string FdTarget(int fd) {
    char szLink[64];
    snprintf(szLink, sizeof(szLink), "/proc/self/fd/%d", fd);
    char szTarget[512] = "";
    ssize_t cb = readlink(szLink, szTarget, sizeof(szTarget) - 1);
    return cb < 0 ? std::string("(none)") : std::string(szTarget, static_cast<size_t>(cb));
}

// Written by a child: what it wrote appears complete or not at all.
void WriteMarker(const std::string& path, const std::string& content) {
    std::string temp = path + ".part";
    FILE* pFile = fopen(temp.c_str(), "w");
    if (pFile == nullptr) return;
    fputs(content.c_str(), pFile);
    fclose(pFile);
    rename(temp.c_str(), path.c_str());
}

// Waits for a file a detached child writes; the bound only keeps a broken
// build from hanging the test run.
bool WaitForFile(const std::string& path) {
    for (int i = 0; i < 6000; ++i) {
        if (std::filesystem::exists(path)) return true;
        usleep(10000);
    }
    return false;
}

using ForkTest = TempRootTest;

TEST_F(ForkTest, DetachedChildLeavesNoChildBehindAndWritesNowhere) {
    std::string marker = Real("/marker");
    pid_t callerPid = getpid();
    int iResult = QLIBCProcForkChildNoWait();
    if (iResult == 0) {
        std::string content = FdTarget(0) + "\n" + FdTarget(1) + "\n" + FdTarget(2) + "\n" +
                              std::to_string(getppid()) + "\n" + std::to_string(getsid(0)) + "\n";
        WriteMarker(marker, content);
        _exit(0);
    }
    ASSERT_EQ(iResult, 1);
    // The intermediate child has been reaped and the real child is not ours.
    int iStatus = 0;
    errno = 0;
    EXPECT_EQ(waitpid(-1, &iStatus, WNOHANG), -1);
    EXPECT_EQ(errno, ECHILD);

    ASSERT_TRUE(WaitForFile(marker));
    std::istringstream in(ReadFile(marker));
    std::string szStdin, szStdout, szStderr, ppid, sid;
    std::getline(in, szStdin);
    std::getline(in, szStdout);
    std::getline(in, szStderr);
    std::getline(in, ppid);
    std::getline(in, sid);
    EXPECT_EQ(szStdin, "/dev/null");
    EXPECT_EQ(szStdout, "/dev/null");
    EXPECT_EQ(szStderr, "/dev/null");
    EXPECT_NE(ppid, std::to_string(callerPid));
    EXPECT_NE(sid, std::to_string(getsid(0)));
}

TEST_F(ForkTest, ForkedChildHasStandardStreamsOnDevNull) {
    std::string marker = Real("/marker");
    pid_t pid = QLIBCProcFork();
    if (pid == 0) {
        WriteMarker(marker, FdTarget(0) + " " + FdTarget(1) + " " + FdTarget(2));
        _exit(0);
    }
    ASSERT_GT(pid, 0);
    int iStatus = 0;
    ASSERT_EQ(waitpid(pid, &iStatus, 0), pid);
    EXPECT_EQ(ReadFile(marker), "/dev/null /dev/null /dev/null");
}

TEST_F(ForkTest, BufferedOutputIsNotWrittenTwice) {
    std::string path = Real("/buffered");
    FILE* pFile = fopen(path.c_str(), "w");
    ASSERT_NE(pFile, nullptr);
    fputs("once", pFile);  // still in the buffer
    pid_t pid = QLIBCProcFork();
    if (pid == 0) exit(0);  // exit() flushes whatever the child's buffers hold
    ASSERT_GT(pid, 0);
    int iStatus = 0;
    ASSERT_EQ(waitpid(pid, &iStatus, 0), pid);
    fclose(pFile);
    EXPECT_EQ(ReadFile(path), "once");
}

class ExecTest : public TempRootTest {
protected:
    void SetUp() override {
        TempRootTest::SetUp();
        std::filesystem::create_directories(Real("/bin"));
        std::filesystem::copy_file(TAVO_ARGV_DUMP, Real("/bin/dump"));
        argvFile_ = Real("/argv");
        setenv("TAVO_ARGV_OUT", argvFile_.c_str(), 1);
    }
    void TearDown() override {
        unsetenv("TAVO_ARGV_OUT");
        unsetenv("TAVO_EXIT_CODE");
        unsetenv("TAVO_RAISE");
        TempRootTest::TearDown();
    }
    std::vector<std::string> DumpedArgs() {
        std::vector<std::string> args;
        std::string content = ReadFile(argvFile_);
        size_t pos = 0;
        while (pos < content.size()) {
            size_t end = content.find('\0', pos);
            args.push_back(content.substr(pos, end - pos));
            pos = end + 1;
        }
        return args;
    }
    std::string argvFile_;
};

TEST_F(ExecTest, PassesArgumentsVerbatimWithoutAShell) {
    const char* szTricky = "a b \"c\" 'd' $(touch /tmp/x) `id` ; | > *";
    ASSERT_EQ(QLIBCExec("/bin/dump", "-f", szTricky, "", "last"), 0);
    EXPECT_EQ(DumpedArgs(), (std::vector<std::string>{"/bin/dump", "-f", szTricky, "", "last"}));
}

TEST_F(ExecTest, ArgumentsEndAtTheFirstNull) {
    ASSERT_EQ(QLIBCExec("/bin/dump", "--all", nullptr, "ignored", nullptr), 0);
    EXPECT_EQ(DumpedArgs(), (std::vector<std::string>{"/bin/dump", "--all"}));
    ASSERT_EQ(QLIBCExec("/bin/dump", nullptr, nullptr, nullptr, nullptr), 0);
    EXPECT_EQ(DumpedArgs(), (std::vector<std::string>{"/bin/dump"}));
}

TEST_F(ExecTest, ReturnsTheExitStatus) {
    setenv("TAVO_EXIT_CODE", "3", 1);
    EXPECT_EQ(QLIBCExec("/bin/dump", nullptr, nullptr, nullptr, nullptr), 3);
    setenv("TAVO_EXIT_CODE", "255", 1);
    EXPECT_EQ(QLIBCExec("/bin/dump", nullptr, nullptr, nullptr, nullptr), 255);
}

TEST_F(ExecTest, DeathBySignalIsNegative) {
    setenv("TAVO_RAISE", std::to_string(SIGTERM).c_str(), 1);
    EXPECT_EQ(QLIBCExec("/bin/dump", nullptr, nullptr, nullptr, nullptr), -(128 + SIGTERM));
}

TEST_F(ExecTest, ProgramThatCannotRunIsNegative) {
    EXPECT_EQ(QLIBCExec("/bin/missing", "x", nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(QLIBCExec("bin/dump", nullptr, nullptr, nullptr, nullptr),
              -1);  // not an appliance path
    EXPECT_EQ(QLIBCExec(nullptr, nullptr, nullptr, nullptr, nullptr), -1);
    WriteFile(Real("/bin/plain"), "#!/bin/sh\nexit 0\n");  // not executable
    EXPECT_EQ(QLIBCExec("/bin/plain", nullptr, nullptr, nullptr, nullptr), -1);
    EXPECT_EQ(QLIBCExec("/bin", nullptr, nullptr, nullptr, nullptr), -1);
    // No child is left behind by a failed start.
    int iStatus = 0;
    EXPECT_EQ(waitpid(-1, &iStatus, WNOHANG), -1);
}

}  // namespace
