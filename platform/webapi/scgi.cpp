// The SCGI front end. The parent loads and checks the plug-ins once, then
// forks one child per connection; the child serves the request with the
// same code as a CGI process (RunCgiLoaded), so fork, exit, a download
// written to standard output and per-process state behave as under CGI.
// The parent itself never calls an entry function.
//
// Descriptors: the listening socket, the signalfd and every accepted
// connection are close-on-exec, and each child closes the listening socket
// and the signalfd at once. In the child the connection is standard output
// only (the request body arrives on a pipe as standard input), so a
// detached process started by a request (scanner, background task), which
// puts /dev/null on its standard streams, holds no connection open.
//
// Reloading: before each connection the parent compares the plug-in files
// with the ones it loaded (the stamps of the plug-in index); when they
// differ, or on SIGHUP, it executes itself anew with the listening socket
// as standard input. A fresh process is the only sure way to load a
// replaced library: a C++ plug-in may not be unloadable, and dlopen would
// hand back the old one.
#include "scgi.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
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
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0 && null != STDIN_FILENO) {
        dup2(null, STDIN_FILENO);
        close(null);
    }
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
    int null = open("/dev/null", O_RDONLY);
    if (null >= 0) {
        dup2(null, STDIN_FILENO);
        if (null != STDIN_FILENO) close(null);
    }
}

// Reaps every ended child; returns how many.
int Reap() {
    int reaped = 0;
    int status = 0;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        ++reaped;
        if (WIFSIGNALED(status)) {
            TAVO_LOG(LOG_ERR, "request process %d ended by signal %d", static_cast<int>(pid),
                     WTERMSIG(status));
        }
    }
    return reaped;
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
    const char* socketPath = argc == 3 ? argv[2] : nullptr;
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
    if (signalFd < 0) {
        TAVO_LOG(LOG_ERR, "cannot receive signals: %m");
        return 1;
    }

    // The files are listed before they are loaded: one replaced in between
    // makes the next connection reload rather than go unnoticed.
    std::vector<PluginSet::File> loadedFiles;
    ListPluginFiles(pluginDirs, loadedFiles);
    std::unique_ptr<PluginSet> plugins(new PluginSet);
    std::string loadError;
    try {
        if (!plugins->Load(pluginDirs, loadError) && loadError.empty())
            loadError = "unknown failure";
    } catch (const std::exception& e) {
        loadError = std::string("exception while loading: ") + e.what();
    } catch (...) {
        loadError = "exception while loading";
    }
    if (!loadError.empty()) TAVO_LOG(LOG_ERR, "plug-ins not loaded: %s", loadError.c_str());
    TAVO_LOG(LOG_INFO, "serving SCGI requests with %zu entries", plugins->Entries().size());

    int children = 0;
    bool stop = false;
    while (!stop) {
        struct pollfd fds[2] = {{signalFd, POLLIN, 0}, {listenFd, POLLIN, 0}};
        // At the bound no connection is taken until a child ends.
        nfds_t count = children < kMaxScgiChildren ? 2 : 1;
        if (poll(fds, count, -1) < 0) {
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
        children = std::max(0, children - Reap());
        if (stop) break;
        if (reload) {
            TAVO_LOG(LOG_NOTICE, "reloading the plug-ins (SIGHUP)");
            Reexec(listenFd, argv);
        }
        if (count < 2 || !(fds[1].revents & POLLIN)) continue;
        if (PluginsChanged(pluginDirs, loadedFiles)) {
            TAVO_LOG(LOG_NOTICE, "plug-in files changed: reloading the plug-ins");
            Reexec(listenFd, argv);
        }
        int conn = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR &&
                errno != ECONNABORTED) {
                TAVO_LOG(LOG_ERR, "accept: %m");
            }
            continue;
        }
        fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            close(listenFd);
            close(signalFd);
            sigset_t none;
            sigemptyset(&none);
            sigprocmask(SIG_SETMASK, &none, nullptr);
            signal(SIGPIPE, SIG_DFL);
            ServeConnection(conn, *plugins, loadError);
        }
        close(conn);
        if (pid < 0) {
            TAVO_LOG(LOG_ERR, "cannot fork for a request: %m");
        } else {
            ++children;
        }
    }
    close(listenFd);
    close(signalFd);
    if (socketPath != nullptr) unlink(socketPath);
    TAVO_LOG(LOG_INFO, "SCGI server stopped");
    return 0;
}

}  // namespace Host
}  // namespace TAVO
