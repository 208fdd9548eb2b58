// The SCGI front end. The parent loads and checks the plug-ins once, then
// keeps a few children forked ahead of time, each waiting for one
// connection, which the parent accepts and hands over (SCM_RIGHTS); a
// child serves its one request with the same code as a CGI process
// (RunCgiLoaded) and exits, so fork, exit, a download written to
// standard output and per-process state behave as under CGI. Forking ahead
// takes the fork off the request's path; ending the answer before the exit
// takes the teardown of the address space off it too. The parent itself
// never calls an entry function.
//
// Descriptors: the listening socket, the signalfd, the parent's sockets and
// pipes and every accepted connection are close-on-exec, and a child drops
// all but its connection as soon as it has one. Only the parent holds the
// listening socket, so that when it dies nothing listens any more and
// lighttpd starts a new one. In the child the connection is standard
// output only (the request body arrives on a pipe as standard input), so a
// detached process started by a request (scanner, background task), which
// puts /dev/null on its standard streams, holds no connection open. The
// waiting children end when the parent's end of the hand-over socket
// closes: when the parent ends, restarts or dies.
//
// Reloading: when the files of the plug-in folders change (inotify), or on
// SIGHUP, the parent executes itself anew with the listening socket as
// standard input. A fresh process is the only sure way to load a replaced
// library: a C++ plug-in may not be unloadable, and dlopen would hand back
// the old one. A child that accepted a connection after such a change, but
// was forked before it, hands the connection to a fresh process of its own
// rather than serve it with the old plug-ins. Where a folder cannot be
// watched, each child compares the files' stamps when it gets a connection.
#include "scgi.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <sys/prctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <set>

#include "host.h"
#include "plugins.h"
#include "tavo/log.h"

namespace TAVO {
namespace Host {

namespace {

// Set across the parent's own exec: standard input is the listening socket.
const char kInheritedVariable[] = "TAVO_WEBAPI_SCGI_LISTENING";
// Set across a child's exec: standard input is an accepted connection, to
// be served with the plug-ins as they are now.
const char kConnectionVariable[] = "TAVO_WEBAPI_SCGI_CONNECTION";
// Children kept waiting for a connection (fewer when the bound is near).
const int kWaitingChildren = 2;
// lighttpd's request headers are far smaller; this only bounds the memory.
const size_t kMaxHeaderBlock = 1u << 20;
// How long a child waits for lighttpd to send the request.
const int kReadTimeoutSeconds = 60;

bool WriteFd(int fd, const char* data, size_t size) {
    while (size > 0) {
        ssize_t n = write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

// Reads the netstring of the header block and parses it; what was read
// past it (the start of the body) is left in rest.
bool ReadRequestHead(int fd, ScgiVariables& variables, size_t& contentLength, std::string& rest,
                     std::string& why) {
    std::string buffer;
    char chunk[16384];
    size_t colon = std::string::npos;
    size_t need = 0;  // bytes up to and including the netstring's comma
    for (;;) {
        if (colon == std::string::npos) {
            colon = buffer.find(':');
            if (colon != std::string::npos) {
                std::string digits = buffer.substr(0, colon);
                if (digits.empty() || digits.size() > 7 ||
                    digits.find_first_not_of("0123456789") != std::string::npos) {
                    why = "bad netstring length";
                    return false;
                }
                size_t length = strtoul(digits.c_str(), nullptr, 10);
                if (length > kMaxHeaderBlock) {
                    why = "header block too large";
                    return false;
                }
                need = colon + 1 + length + 1;
            } else if (buffer.size() > 7) {
                why = "bad netstring length";
                return false;
            }
        }
        if (colon != std::string::npos && buffer.size() >= need) break;
        ssize_t n = read(fd, chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            why = n == 0 ? "connection closed within the header block"
                         : std::string("read: ") + strerror(errno);
            return false;
        }
        buffer.append(chunk, static_cast<size_t>(n));
    }
    if (buffer[need - 1] != ',') {
        why = "netstring without its comma";
        return false;
    }
    rest = buffer.substr(need);
    return ParseScgiHeaders(buffer.substr(colon + 1, need - colon - 2), variables, contentLength,
                            why);
}

// Reads until body holds want bytes (or the connection ends).
void ReadBody(int fd, size_t want, std::string& body) {
    char chunk[65536];
    while (body.size() < want) {
        ssize_t n = read(fd, chunk, std::min(sizeof chunk, want - body.size()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        body.append(chunk, static_cast<size_t>(n));
    }
}

// Reads and drops count bytes: a UNIX socket closed with unread input
// resets the connection, and lighttpd would lose the answer.
void Drain(int fd, size_t count) {
    char chunk[65536];
    while (count > 0) {
        ssize_t n = read(fd, chunk, std::min(sizeof chunk, count));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        count -= static_cast<size_t>(n);
    }
}

// The request body as the read end of a pipe, as a CGI process gets it.
// What fits the pipe is written at once; a longer body is written by a
// feeder process that holds nothing else (no connection). -1 on failure.
int BodyPipe(const std::string& body, int conn) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return -1;
    int capacity = fcntl(fds[1], F_GETPIPE_SZ);
    if (capacity > 0 && body.size() <= static_cast<size_t>(capacity)) {
        WriteFd(fds[1], body.data(), body.size());
        close(fds[1]);
        return fds[0];
    }
    pid_t feeder = fork();
    if (feeder == 0) {
        close(fds[0]);
        close(conn);
        signal(SIGPIPE, SIG_DFL);  // a reader that stops early ends the feeder quietly
        _exit(WriteFd(fds[1], body.data(), body.size()) ? 0 : 1);
    }
    close(fds[1]);
    if (feeder < 0) {
        close(fds[0]);
        return -1;
    }
    return fds[0];
}

// The child: one request on conn, answered as the CGI process would.
[[noreturn]] void ServeConnection(int conn, const PluginSet& plugins,
                                  const std::string& loadError) {
    struct timeval timeout = {kReadTimeoutSeconds, 0};
    setsockopt(conn, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ScgiVariables variables;
    size_t contentLength = 0;
    std::string body, why;
    if (!ReadRequestHead(conn, variables, contentLength, body, why)) {
        TAVO_LOG(LOG_ERR, "SCGI request refused: %s", why.c_str());
        _exit(1);
    }
    // As much of the body as the host reads at most; the rest is dropped
    // after the answer.
    const size_t want = std::min(contentLength, kMaxRequestBody + 1);
    if (body.size() > want) body.resize(want);
    ReadBody(conn, want, body);
    const size_t unread = contentLength - std::min(contentLength, body.size());

    // The request's variables are the whole environment, as for a CGI
    // process: nothing of the parent's own reaches the plug-ins.
    clearenv();
    for (const auto& variable : variables)
        setenv(variable.first.c_str(), variable.second.c_str(), 1);
    OpenHostLog();

    int input = BodyPipe(body, conn);
    if (input < 0) {
        TAVO_LOG(LOG_ERR, "cannot pass the request body: %m");
        input = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
    std::string().swap(body);
    if (input >= 0 && input != STDIN_FILENO) {
        dup2(input, STDIN_FILENO);
        close(input);
    }
    if (conn != STDOUT_FILENO) {
        dup2(conn, STDOUT_FILENO);
        close(conn);
    }
    int status = RunCgiLoaded(plugins, loadError);
    fflush(stdout);
    Drain(STDOUT_FILENO, unread);
    // The answer is whole: end it now rather than when the process is gone.
    // Tearing down a copy of the parent's address space takes longer than
    // the request itself, and lighttpd ends the answer on the socket's end.
    // Detached processes hold /dev/null, never the connection, so nothing
    // else could still write to it, as under CGI.
    shutdown(STDOUT_FILENO, SHUT_WR);
    closelog();
    exit(status);
}

// A listening UNIX socket at path; a stale socket file (nobody listening)
// is replaced. -1 (logged) on failure.
int ListenAt(const char* path) {
    struct sockaddr_un address;
    memset(&address, 0, sizeof address);
    address.sun_family = AF_UNIX;
    if (strlen(path) >= sizeof address.sun_path) {
        TAVO_LOG(LOG_ERR, "SCGI socket path too long: %s", path);
        return -1;
    }
    strcpy(address.sun_path, path);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        TAVO_LOG(LOG_ERR, "cannot create the SCGI socket: %m");
        return -1;
    }
    const struct sockaddr* where = reinterpret_cast<const struct sockaddr*>(&address);
    if (bind(fd, where, sizeof address) != 0) {
        int bindError = errno;
        bool stale = false;
        struct stat st;
        if (errno == EADDRINUSE && lstat(path, &st) == 0 && S_ISSOCK(st.st_mode)) {
            int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
            stale =
                probe >= 0 && connect(probe, where, sizeof address) != 0 && errno == ECONNREFUSED;
            if (probe >= 0) close(probe);
        }
        if (!stale || unlink(path) != 0 || bind(fd, where, sizeof address) != 0) {
            if (stale) bindError = errno;
            TAVO_LOG(
                LOG_ERR, "cannot bind the SCGI socket %s: %s", path,
                bindError == EADDRINUSE && !stale ? "in use or not a socket" : strerror(bindError));
            close(fd);
            return -1;
        }
    }
    if (listen(fd, SOMAXCONN) != 0) {
        TAVO_LOG(LOG_ERR, "cannot listen on the SCGI socket %s: %m", path);
        close(fd);
        return -1;
    }
    return fd;
}

// Puts /dev/null on standard input once what it held (a socket or a
// connection) has been moved off it or handed on.
void StdinFromNull() {
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0 && null != STDIN_FILENO) {
        dup2(null, STDIN_FILENO);
        close(null);
    }
}

// The listening socket handed over as standard input, moved off it
// (close-on-exec) with /dev/null put in its place. -1 when it is none.
int TakeInheritedSocket() {
    int accepting = 0;
    socklen_t size = sizeof accepting;
    if (getsockopt(STDIN_FILENO, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &size) != 0 || !accepting) {
        TAVO_LOG(LOG_ERR, "standard input is not a listening socket (give the SCGI socket's path)");
        return -1;
    }
    int fd = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    if (fd < 0) {
        TAVO_LOG(LOG_ERR, "cannot take over the SCGI socket: %m");
        return -1;
    }
    StdinFromNull();
    return fd;
}

// Whether the plug-in files are no longer the ones listed in loaded.
bool PluginsChanged(const std::vector<std::string>& dirs,
                    const std::vector<PluginSet::File>& loaded) {
    std::vector<PluginSet::File> now;
    ListPluginFiles(dirs, now);
    if (now.size() != loaded.size()) return true;
    for (size_t i = 0; i < now.size(); ++i) {
        if (now[i].path != loaded[i].path || now[i].stamp != loaded[i].stamp) return true;
    }
    return false;
}

// Runs this program anew with the listening socket as standard input;
// returns only when that fails (the parent then goes on as it was).
void Reexec(int listenFd, char** argv) {
    if (dup2(listenFd, STDIN_FILENO) < 0) {
        TAVO_LOG(LOG_ERR, "cannot restart to reload the plug-ins: %m");
        return;
    }
    setenv(kInheritedVariable, "1", 1);
    fflush(nullptr);
    execv("/proc/self/exe", argv);
    TAVO_LOG(LOG_ERR, "cannot restart to reload the plug-ins: %m");
    unsetenv(kInheritedVariable);
    StdinFromNull();
}

// Reaps every ended child; returns their pids.
std::vector<pid_t> Reap() {
    std::vector<pid_t> reaped;
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        reaped.push_back(pid);
        if (WIFSIGNALED(status)) {
            TAVO_LOG(LOG_ERR, "request process %d ended by signal %d", static_cast<int>(pid),
                     WTERMSIG(status));
        }
    }
    return reaped;
}

// An inotify descriptor that turns readable when anything in the plug-in
// folders (or the folders of plug-in files reached through links) is
// created, removed, renamed, written or has its attributes changed. The
// parent never reads it: the events stay queued for every child that holds
// it too. watched is false when some folder could not be watched.
int WatchPluginFolders(const std::vector<std::string>& dirs, bool& watched) {
    const uint32_t mask = IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO | IN_CLOSE_WRITE |
                          IN_ATTRIB | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR;
    int fd = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
    watched = fd >= 0;
    if (fd < 0) {
        TAVO_LOG(LOG_WARNING, "cannot watch the plug-in folders: %m");
        return -1;
    }
    std::set<std::string> folders(dirs.begin(), dirs.end());
    std::vector<PluginSet::File> files;
    ListPluginFiles(dirs, files);
    for (const PluginSet::File& file : files)
        folders.insert(file.path.substr(0, file.path.rfind('/')));
    for (const std::string& folder : folders) {
        if (inotify_add_watch(fd, folder.c_str(), mask) < 0) {
            // A missing folder: each request process compares the files then.
            TAVO_LOG(LOG_NOTICE, "cannot watch the plug-in folder %s: %m", folder.c_str());
            watched = false;
        }
    }
    return fd;
}

// Loads every plug-in; error says why they are not usable (each request
// is then refused with a log line, as the CGI process would).
void LoadPlugins(const std::vector<std::string>& dirs, PluginSet& plugins, std::string& error) {
    try {
        if (!plugins.Load(dirs, error) && error.empty()) error = "unknown failure";
    } catch (const std::exception& e) {
        error = std::string("exception while loading: ") + e.what();
    } catch (...) {
        error = "exception while loading";
    }
}

// What a child waiting for a connection holds.
struct Waiter {
    int handoffFd;   // connections arrive here; its end means go
    int acceptedFd;  // where to send the pid once a connection is taken
    int watchFd;     // the plug-in folders' events, or -1: compare the files
};

// Sends conn over the hand-over socket; false (logged) when it cannot.
bool HandOver(int handoffFd, int conn) {
    char byte = 0;
    struct iovec data = {&byte, 1};
    union {
        char buffer[CMSG_SPACE(sizeof(int))];
        struct cmsghdr align;
    } control;
    memset(&control, 0, sizeof control);
    struct msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control.buffer;
    message.msg_controllen = sizeof control.buffer;
    struct cmsghdr* header = CMSG_FIRSTHDR(&message);
    header->cmsg_level = SOL_SOCKET;
    header->cmsg_type = SCM_RIGHTS;
    header->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(header), &conn, sizeof(int));
    while (sendmsg(handoffFd, &message, MSG_NOSIGNAL) < 0) {
        if (errno == EINTR) continue;
        TAVO_LOG(LOG_ERR, "cannot hand a connection to a request process: %m");
        return false;
    }
    return true;
}

// The next connection handed over (close-on-exec); -1 when the parent's
// end is closed.
int TakeOver(int handoffFd) {
    for (;;) {
        char byte;
        struct iovec data = {&byte, 1};
        union {
            char buffer[CMSG_SPACE(sizeof(int))];
            struct cmsghdr align;
        } control;
        struct msghdr message = {};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control.buffer;
        message.msg_controllen = sizeof control.buffer;
        ssize_t n = recvmsg(handoffFd, &message, MSG_CMSG_CLOEXEC);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return -1;
        struct cmsghdr* header = CMSG_FIRSTHDR(&message);
        if (header != nullptr && header->cmsg_level == SOL_SOCKET &&
            header->cmsg_type == SCM_RIGHTS && header->cmsg_len == CMSG_LEN(sizeof(int))) {
            int conn;
            memcpy(&conn, CMSG_DATA(header), sizeof(int));
            return conn;
        }
    }
}

// Serves conn in a fresh process of this program, with the plug-ins as
// they are now; returns only when that cannot be started.
void ServeFresh(int conn, char** argv) {
    if (dup2(conn, STDIN_FILENO) < 0) return;
    setenv(kConnectionVariable, "1", 1);
    execv("/proc/self/exe", argv);
    TAVO_LOG(LOG_ERR, "cannot start a process with the changed plug-ins: %m");
    unsetenv(kConnectionVariable);
    StdinFromNull();
}

// The fresh process of ServeFresh: the connection is standard input.
[[noreturn]] void ServeHandedOver(const std::vector<std::string>& dirs) {
    unsetenv(kConnectionVariable);
    int conn = fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, 3);
    if (conn < 0) _exit(1);
    StdinFromNull();
    PluginSet plugins;
    std::string error;
    LoadPlugins(dirs, plugins, error);
    ServeConnection(conn, plugins, error);
}

// A child forked ahead: waits for one connection and serves it.
[[noreturn]] void WaitAndServe(const Waiter& waiter, const std::vector<std::string>& dirs,
                               const std::vector<PluginSet::File>& loadedFiles,
                               const PluginSet& plugins, const std::string& loadError,
                               char** argv) {
    // Named apart while it waits, so that ps (and a test looking for
    // processes left behind) tells it from a request being served.
    char name[16] = {0};
    prctl(PR_GET_NAME, name);
    prctl(PR_SET_NAME, "tavo-waiting");
    int conn = TakeOver(waiter.handoffFd);
    if (conn < 0) _exit(0);  // the parent ended, restarts or died
    prctl(PR_SET_NAME, name);
    const pid_t self = getpid();
    WriteFd(waiter.acceptedFd, reinterpret_cast<const char*>(&self), sizeof self);
    signal(SIGPIPE, SIG_DFL);
    close(waiter.acceptedFd);
    close(waiter.handoffFd);
    bool changed;
    if (waiter.watchFd >= 0) {
        struct pollfd events = {waiter.watchFd, POLLIN, 0};
        changed = poll(&events, 1, 0) > 0;
        close(waiter.watchFd);
    } else {
        changed = PluginsChanged(dirs, loadedFiles);
    }
    if (changed) {
        TAVO_LOG(LOG_NOTICE, "plug-in files changed: serving the request in a fresh process");
        ServeFresh(conn, argv);
    }
    ServeConnection(conn, plugins, loadError);
}

}  // namespace

bool ParseScgiHeaders(const std::string& block, ScgiVariables& variables, size_t& contentLength,
                      std::string& why) {
    variables.clear();
    std::set<std::string> names;
    size_t pos = 0;
    while (pos < block.size()) {
        size_t nameEnd = block.find('\0', pos);
        size_t valueEnd = nameEnd == std::string::npos ? nameEnd : block.find('\0', nameEnd + 1);
        if (valueEnd == std::string::npos) {
            why = "header block does not end with a NUL byte";
            return false;
        }
        std::string name = block.substr(pos, nameEnd - pos);
        if (name.empty() || name.find('=') != std::string::npos) {
            why = "bad header name";
            return false;
        }
        if (!names.insert(name).second) {
            why = "header " + name + " given twice";
            return false;
        }
        variables.emplace_back(name, block.substr(nameEnd + 1, valueEnd - nameEnd - 1));
        pos = valueEnd + 1;
    }
    if (variables.empty() || variables[0].first != "CONTENT_LENGTH") {
        why = "CONTENT_LENGTH is not the first header";
        return false;
    }
    const std::string& length = variables[0].second;
    if (length.empty() || length.size() > 15 ||
        length.find_first_not_of("0123456789") != std::string::npos) {
        why = "bad CONTENT_LENGTH";
        return false;
    }
    contentLength = static_cast<size_t>(strtoull(length.c_str(), nullptr, 10));
    return true;
}

int RunScgi(int argc, char** argv, const std::vector<std::string>& pluginDirs) {
    if (argc > 3 || (argc == 3 && argv[2][0] == '\0')) {
        fprintf(stderr, "usage: tavo-webapi scgi [SOCKET]\n");
        return 2;
    }
    if (getenv(kConnectionVariable) != nullptr) ServeHandedOver(pluginDirs);
    const char* socketPath = argc == 3 ? argv[2] : nullptr;
    // Executed anew through /proc/self/exe, the process would be named "exe".
    const char* program = strrchr(argv[0], '/');
    prctl(PR_SET_NAME, program != nullptr ? program + 1 : argv[0]);
    // Every symbol bound once, here: bound lazily, each request process
    // would look up again every function the parent never called.
    if (getenv("LD_BIND_NOW") == nullptr) {
        setenv("LD_BIND_NOW", "1", 1);
        execv("/proc/self/exe", argv);
        TAVO_LOG(LOG_WARNING, "cannot restart with every symbol bound: %m");
    }
    const bool inherited = getenv(kInheritedVariable) != nullptr;
    unsetenv(kInheritedVariable);
    int listenFd =
        (socketPath == nullptr || inherited) ? TakeInheritedSocket() : ListenAt(socketPath);
    if (listenFd < 0) return 1;
    fcntl(listenFd, F_SETFL, fcntl(listenFd, F_GETFL) | O_NONBLOCK);

    sigset_t handled;
    sigemptyset(&handled);
    sigaddset(&handled, SIGCHLD);
    sigaddset(&handled, SIGHUP);
    sigaddset(&handled, SIGTERM);
    sigaddset(&handled, SIGINT);
    sigprocmask(SIG_BLOCK, &handled, nullptr);
    int signalFd = signalfd(-1, &handled, SFD_CLOEXEC | SFD_NONBLOCK);
    // handoff: the parent sends each connection on [0], the waiting
    // children take them from [1]; only the parent holds [0], so its end
    // tells them to go. accepted: a child that took a connection sends its
    // pid.
    int handoff[2] = {-1, -1};
    int accepted[2] = {-1, -1};
    if (signalFd < 0 || socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, handoff) != 0 ||
        pipe2(accepted, O_CLOEXEC) != 0) {
        TAVO_LOG(LOG_ERR, "cannot set up the SCGI server: %m");
        return 1;
    }
    fcntl(accepted[0], F_SETFL, O_NONBLOCK);

    // Watched before they are listed, listed before they are loaded: a file
    // replaced in between makes the server reload rather than go unnoticed.
    bool watched = false;
    int watchFd = WatchPluginFolders(pluginDirs, watched);
    std::vector<PluginSet::File> loadedFiles;
    ListPluginFiles(pluginDirs, loadedFiles);
    PluginSet plugins;
    std::string loadError;
    LoadPlugins(pluginDirs, plugins, loadError);
    if (!loadError.empty()) TAVO_LOG(LOG_ERR, "plug-ins not loaded: %s", loadError.c_str());
    TAVO_LOG(LOG_INFO, "serving SCGI requests with %zu entries", plugins.Entries().size());

    Waiter waiter{handoff[1], accepted[1], watched ? watchFd : -1};
    std::set<pid_t> waiting;  // children that have not taken a connection
    size_t handedOver = 0;    // connections sent that no child has taken yet
    int children = 0;         // waiting or serving
    bool stop = false;
    while (!stop) {
        bool forkFailed = false;
        while (static_cast<int>(waiting.size()) < kWaitingChildren && children < kMaxScgiChildren) {
            fflush(nullptr);
            pid_t pid = fork();
            if (pid == 0) {
                close(signalFd);
                close(listenFd);
                close(handoff[0]);
                close(accepted[0]);
                if (!watched && watchFd >= 0) close(watchFd);
                sigset_t none;
                sigemptyset(&none);
                sigprocmask(SIG_SETMASK, &none, nullptr);
                // Until the pid is sent: a parent restarted meanwhile has
                // closed the other end, which must not kill the child.
                signal(SIGPIPE, SIG_IGN);
                WaitAndServe(waiter, pluginDirs, loadedFiles, plugins, loadError, argv);
            }
            if (pid < 0) {
                TAVO_LOG(LOG_ERR, "cannot fork for a request: %m");
                forkFailed = true;
                break;
            }
            waiting.insert(pid);
            ++children;
        }

        // A connection is taken only when a waiting child is there for it.
        const bool take = handedOver < waiting.size();
        struct pollfd fds[4] = {{signalFd, POLLIN, 0},
                                {accepted[0], POLLIN, 0},
                                {take ? listenFd : -1, POLLIN, 0},
                                {watchFd, POLLIN, 0}};
        if (poll(fds, 4, forkFailed ? 1000 : -1) < 0) {
            if (errno == EINTR) continue;
            TAVO_LOG(LOG_ERR, "poll: %m");
            break;
        }
        bool reload = false;
        struct signalfd_siginfo info;
        while (read(signalFd, &info, sizeof info) == static_cast<ssize_t>(sizeof info)) {
            if (info.ssi_signo == SIGHUP) reload = true;
            if (info.ssi_signo == SIGTERM || info.ssi_signo == SIGINT) stop = true;
        }
        for (pid_t pid : Reap()) {
            waiting.erase(pid);
            --children;
        }
        pid_t pid;
        while (read(accepted[0], &pid, sizeof pid) == static_cast<ssize_t>(sizeof pid)) {
            waiting.erase(pid);
            if (handedOver > 0) --handedOver;
        }
        // A child that died holding a connection it had not reported.
        handedOver = std::min(handedOver, waiting.size());
        if (stop) break;
        if (reload) {
            TAVO_LOG(LOG_NOTICE, "reloading the plug-ins (SIGHUP)");
            Reexec(listenFd, argv);
        }
        if (watchFd >= 0 && (fds[3].revents & POLLIN) != 0) {
            TAVO_LOG(LOG_NOTICE, "plug-in files changed: reloading the plug-ins");
            Reexec(listenFd, argv);
            // Still here: go on with the plug-ins loaded, and stop watching
            // rather than try again at every event.
            close(watchFd);
            watchFd = -1;
            watched = false;
            waiter.watchFd = -1;
        }
        if ((fds[2].revents & POLLIN) != 0) {
            int conn = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
            if (conn >= 0) {
                if (HandOver(handoff[0], conn)) ++handedOver;
                close(conn);
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                       errno != ECONNABORTED) {
                TAVO_LOG(LOG_ERR, "accept: %m");
            }
        }
    }
    // The waiting children end with the parent's end of the hand-over
    // socket; those serving finish their request.
    close(handoff[0]);
    close(listenFd);
    close(signalFd);
    if (socketPath != nullptr) unlink(socketPath);
    TAVO_LOG(LOG_INFO, "SCGI server stopped");
    return 0;
}

}  // namespace Host
}  // namespace TAVO
