// Process creation and program execution.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tavo/tavocore.h"

namespace {

// Points stdin, stdout and stderr at /dev/null, so a child never holds the
// caller's pipes (a web server's response pipe above all) open nor writes
// into them. Only async-signal-safe calls: the caller may have threads.
void StandardStreamsToDevNull(void) {
    int fd = open("/dev/null", O_RDWR);
    if (fd < 0) return;
    dup2(fd, STDIN_FILENO);
    dup2(fd, STDOUT_FILENO);
    dup2(fd, STDERR_FILENO);
    if (fd > STDERR_FILENO) close(fd);
}

pid_t WaitForChild(pid_t pid, int* piStatus) {
    pid_t result;
    do {
        result = waitpid(pid, piStatus, 0);
    } while (result < 0 && errno == EINTR);
    return result;
}

}  // namespace

extern "C" {

pid_t QLIBCProcFork(void) {
    // Whatever sits in stdio buffers would otherwise be written twice.
    fflush(NULL);
    pid_t pid = fork();
    if (pid == 0) StandardStreamsToDevNull();
    return pid;
}

// Double fork: the intermediate child starts a new session, forks the real
// child and exits at once; the caller reaps it, so no zombie is left and the
// real child is adopted by init.
int QLIBCProcForkChildNoWait(void) {
    fflush(NULL);
    pid_t pid = fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        setsid();
        pid_t grandchild = fork();
        if (grandchild != 0) _exit(grandchild < 0 ? 1 : 0);
        StandardStreamsToDevNull();
        return 0;
    }
    int iStatus = 0;
    if (WaitForChild(pid, &iStatus) < 0) {
        // ECHILD: the caller ignores SIGCHLD and the system reaped the
        // intermediate child; whether its fork worked is unknown then.
        return errno == ECHILD ? 1 : -1;
    }
    return (WIFEXITED(iStatus) && WEXITSTATUS(iStatus) == 0) ? 1 : -1;
}

// Results: the program's exit status (0..255) when it ran and exited; -1 when
// it could not be run (bad arguments, path not under the root, fork or exec
// failure) or its end could not be observed; -(128 + n) when signal n ended it.
int QLIBCExec(const char* szProgram, const char* szArg1, const char* szArg2, const char* szArg3,
              const char* szArg4) {
    if (szProgram == nullptr) return -1;
    char szPath[PATH_MAX];
    if (TAVOResolvePath(szProgram, szPath, sizeof(szPath)) != 0) return -1;

    // argv is built before the fork: the child may only make async-signal-safe calls.
    char* argv[6] = {const_cast<char*>(szProgram), nullptr, nullptr, nullptr, nullptr, nullptr};
    const char* rgArgs[4] = {szArg1, szArg2, szArg3, szArg4};
    for (int i = 0; i < 4 && rgArgs[i] != nullptr; ++i) argv[i + 1] = const_cast<char*>(rgArgs[i]);

    // The child reports a failed exec through this pipe; a successful exec
    // closes it (close-on-exec) without writing.
    int rgPipe[2];
    if (pipe2(rgPipe, O_CLOEXEC) != 0) return -1;

    fflush(NULL);
    pid_t pid = fork();
    if (pid < 0) {
        close(rgPipe[0]);
        close(rgPipe[1]);
        return -1;
    }
    if (pid == 0) {
        close(rgPipe[0]);
        // The program gets no input and its output goes nowhere: the caller
        // may be answering a web request on stdout. stderr is kept for its log.
        int fd = open("/dev/null", O_RDWR);
        if (fd >= 0) {
            dup2(fd, STDIN_FILENO);
            dup2(fd, STDOUT_FILENO);
            if (fd > STDERR_FILENO) close(fd);
        }
        sigset_t setAll;
        sigemptyset(&setAll);
        sigprocmask(SIG_SETMASK, &setAll, nullptr);
        execv(szPath, argv);
        int iErr = errno;
        ssize_t written;
        do {
            written = write(rgPipe[1], &iErr, sizeof(iErr));
        } while (written < 0 && errno == EINTR);
        _exit(127);
    }

    close(rgPipe[1]);
    int iExecErr = 0;
    ssize_t cbRead;
    do {
        cbRead = read(rgPipe[0], &iExecErr, sizeof(iExecErr));
    } while (cbRead < 0 && errno == EINTR);
    close(rgPipe[0]);

    int iStatus = 0;
    pid_t waited = WaitForChild(pid, &iStatus);
    if (cbRead != 0) return -1;  // exec failed (or its report was cut short)
    if (waited < 0) return -1;
    if (WIFEXITED(iStatus)) return WEXITSTATUS(iStatus);
    if (WIFSIGNALED(iStatus)) return -(128 + WTERMSIG(iStatus));
    return -1;
}

}  // extern "C"
