"""End-to-end harness: the web API host under a real lighttpd.

    from harness import Sandbox
    with Sandbox() as sb:            # temporary TAVO_ROOT + lighttpd on a free loopback port
        sb.root                      # pathlib.Path of the temporary root
        sb.path("/volume1/a")        # root-resolved path
        sb.call(api, method, version=1, **params) -> dict   # HTTP GET, each param JSON-encoded
        sb.post(api, method, version=1, **params) -> dict   # HTTP POST form body
        sb.raw(query_string) -> (status, headers, body)
        sb.cli(api, method, *name_eq_value, version=1) -> (exit_code, stdout_text)
        sb.error_log()               # lighttpd's error log with the CGI's standard error

On a clean exit the sandbox fails (SandboxError) when a sanitizer report
shows up in the error log or a command line run's standard error
(Sandbox(check_sanitizers=False) turns that off).

Sandbox(env={...}) passes extra environment to the host and the command line
(TAVO_LOG_STDERR=1 is set by default, so the host's log lines reach the error
log and cli_full's stderr). The build folder comes from TAVO_BUILD_DIR.

How lighttpd runs the host: Sandbox(path=...) or TAVO_E2E_PATH, default
"scgi": the warm SCGI parent (tavo-webapi scgi, started by lighttpd through
bin-path); "cgi": the host executed per request by mod_cgi; "compare": both
at once on the same root (SCGI at /webapi/api.cgi, CGI at
/webapi/api-cgi.cgi). In "compare" a reading method (which changes nothing
stored) goes through both paths; any other request goes through SCGI, and
again through CGI when the host refused it before a plug-in ran. The two
answers must be the same bytes (status line, header lines but Date, body),
else the request raises AnswersDiffer. sb.path_name says which path runs;
sb.compared counts the requests compared.

On exit lighttpd is stopped, every process still running with this sandbox's
TAVO_ROOT in its environment (background tasks, scanner stand-ins) is killed,
and the temporary folder is removed (kept when TAVO_E2E_KEEP=1).
"""

import ctypes
import http.client
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
import urllib.parse

PACKAGE_DIR = "/var/packages/AntiVirus-Zentrel/target"
# Folders every stand-in expects in a fresh root.
ROOT_DIRS = (PACKAGE_DIR + "/bin", PACKAGE_DIR + "/etc", PACKAGE_DIR + "/tmp",
             "/volume1", "/volume2")
# Sanitizer settings reach the CGI too, so a sanitized build reports there.
PASS_THROUGH = ("ASAN_OPTIONS", "UBSAN_OPTIONS", "LSAN_OPTIONS", "TZ", "LANG", "LC_ALL")
PATHS = ("scgi", "cgi", "compare")
API_URL = "/webapi/api.cgi"
# The CGI host's address while both paths are served ("compare").
CGI_URL = "/webapi/api-cgi.cgi"
# Methods that change nothing stored, so that sending them twice is safe.
# (Background task "status" is not one: it may remove a finished record.)
READING_METHODS = frozenset((
    "get", "get_sys_info", "load", "export",
    "echo", "env", "fail", "v2", "download", "download_fails", "silent", "throw"))  # the test plug-in's


def e2e_path():
    value = os.environ.get("TAVO_E2E_PATH", "scgi")
    if value not in PATHS:
        raise ValueError("TAVO_E2E_PATH must be one of %s, not %r" % (", ".join(PATHS), value))
    return value


def build_dir():
    value = os.environ.get("TAVO_BUILD_DIR")
    if value:
        return pathlib.Path(value).resolve()
    return (pathlib.Path(__file__).resolve().parents[2] / "build").resolve()


def _die_with_parent():
    """Runs in the lighttpd child before exec: lighttpd gets SIGTERM when the
    test process dies, even by SIGKILL (a timed-out test)."""
    try:
        ctypes.CDLL(None, use_errno=True).prctl(1, signal.SIGTERM)  # PR_SET_PDEATHSIG
    except OSError:
        pass


def _interrupt(signum, frame):
    # Like Ctrl-C: unittest stops instead of counting it as one failed test.
    raise KeyboardInterrupt("signal %d" % signum)


def _exit_on_sigterm():
    """A terminated test still leaves its sandboxes through __exit__."""
    try:
        if signal.getsignal(signal.SIGTERM) == signal.SIG_DFL:
            signal.signal(signal.SIGTERM, _interrupt)
    except ValueError:  # not the main thread
        pass


def _free_port():
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _lighttpd_string(value):
    return '"' + str(value).replace("\\", "\\\\").replace('"', '\\"') + '"'


def _lighttpd_pairs(env, indent="  "):
    return ",\n".join("%s%s => %s" % (indent, _lighttpd_string(k), _lighttpd_string(v))
                      for k, v in sorted(env.items()))


def scgi_config(url, program, socket_path, env):
    """A lighttpd scgi.server block: lighttpd starts "program scgi" itself
    (bin-path) on socket_path and restarts it when it dies. The parent gets
    env and nothing of lighttpd's own environment; each request's child gets
    the request's variables, setenv.add-environment included."""
    return """\
scgi.server = ({url} => ((
  "socket" => {socket},
  "bin-path" => {bin_path},
  "bin-environment" => (
{env_items}
  ),
  "bin-copy-environment" => ("TAVO_SCGI_NOTHING_COPIED"),
  "check-local" => "disable",
  "max-procs" => 1
)))
""".format(url=_lighttpd_string(url), socket=_lighttpd_string(socket_path),
           bin_path=_lighttpd_string("%s scgi" % program), env_items=_lighttpd_pairs(env, "    "))


def lighttpd_config(port, docroot, cgi_program, env, error_log, bind="127.0.0.1", scgi_socket=None,
                    cgi_url=None):
    """A lighttpd configuration serving cgi_program at /webapi/api.cgi: as
    CGI, or through SCGI on scgi_socket when given (then also as CGI at
    cgi_url when given)."""
    env_items = _lighttpd_pairs(env)
    if scgi_socket is None:
        cgi_url = API_URL
    cgi_part = ""
    if cgi_url is not None:
        cgi_part = 'alias.url = ({url} => {program})\ncgi.assign = ("/{program_name}" => "")\n'.format(
            url=_lighttpd_string(cgi_url), program=_lighttpd_string(cgi_program),
            program_name=pathlib.Path(cgi_program).name)
    scgi_part = "" if scgi_socket is None else scgi_config(API_URL, cgi_program, scgi_socket, env)
    return """\
server.modules = ("mod_indexfile", "mod_alias", "mod_setenv", "mod_cgi", "mod_scgi", "mod_staticfile")
server.document-root = {docroot}
server.bind = {bind}
server.port = {port}
server.errorlog = {error_log}
server.breakagelog = {error_log}
index-file.names = ("index.html")
mimetype.assign = (".html" => "text/html", ".js" => "text/javascript", ".css" => "text/css",
                   ".json" => "application/json", ".svg" => "image/svg+xml", ".png" => "image/png")
{cgi_part}{scgi_part}setenv.add-environment = (
{env_items}
)
""".format(docroot=_lighttpd_string(docroot), bind=_lighttpd_string(bind), port=port,
           error_log=_lighttpd_string(error_log), cgi_part=cgi_part, scgi_part=scgi_part,
           env_items=env_items)


def _processes_with_env(name, value):
    """Process ids whose environment holds name=value."""
    needle = ("%s=%s" % (name, value)).encode()
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        try:
            with open("/proc/%s/environ" % entry, "rb") as f:
                if needle in f.read().split(b"\0"):
                    found.append(int(entry))
        except OSError:
            pass
    return found


def _is_warm_parent(pid):
    """True for the warm SCGI server lighttpd keeps running: the parent
    ("tavo-webapi scgi", a child of lighttpd) and the children it keeps
    waiting for a request (named "tavo-waiting" until they take one).
    Request processes are the parent's children too, and are not it."""
    def name_and_parent(p):
        with open("/proc/%d/stat" % p) as f:
            text = f.read()
        return text[text.index("(") + 1:text.rindex(")")], int(text.rsplit(")", 1)[1].split()[1])

    try:
        with open("/proc/%d/cmdline" % pid, "rb") as f:
            args = f.read().split(b"\0")
        name, ppid = name_and_parent(pid)
        if name == "tavo-waiting":
            return _is_warm_parent(ppid)
        parent_name = name_and_parent(ppid)[0]
    except (OSError, ValueError, IndexError):
        return False
    return len(args) >= 2 and args[1] == b"scgi" and parent_name == "lighttpd"


class SandboxError(RuntimeError):
    pass


class AnswersDiffer(AssertionError):
    """The SCGI path answered other bytes than the CGI path ("compare")."""


class Sandbox:
    def __init__(self, env=None, plugins=None, log_stderr=True, check_sanitizers=True, path=None):
        self.path_name = path or e2e_path()
        if self.path_name not in PATHS:
            raise ValueError("path must be one of %s" % (PATHS,))
        self.compared = 0  # requests answered the same through both paths
        self.compared_methods = set()
        self.build = build_dir()
        self.program = self.build / "bin" / "tavo-webapi"
        self.plugins = plugins if plugins is not None else str(self.build / "plugins")
        self.extra_env = dict(env or {})
        if log_stderr:
            self.extra_env.setdefault("TAVO_LOG_STDERR", "1")
        self.tmp = None
        self.root = None
        self.port = None
        self._server = None
        self.check_sanitizers = check_sanitizers
        self._cli_stderr = []

    # -- set-up and tear-down -------------------------------------------------

    def __enter__(self):
        _exit_on_sigterm()
        if not self.program.exists():
            raise SandboxError("host program not built: %s" % self.program)
        self.tmp = pathlib.Path(tempfile.mkdtemp(prefix="tavo-e2e-"))
        try:
            self.root = self.tmp / "root"
            for d in ROOT_DIRS:
                self.path(d).mkdir(parents=True, exist_ok=True)
            (self.tmp / "www").mkdir()
            self._start_server()
        except BaseException:
            self._cleanup()
            raise
        return self

    def __exit__(self, exc_type, exc, tb):
        reports = self.sanitizer_reports() if self.check_sanitizers else ""
        if self.path_name == "compare":
            sys.stderr.write("harness: %d requests answered the same through CGI and SCGI (methods: %s)\n"
                             % (self.compared, " ".join(sorted(self.compared_methods))))
        self._cleanup()
        if reports and exc_type is None:
            raise SandboxError("sanitizer reports from the host or a plug-in:\n" + reports)
        return False

    def sanitizer_reports(self):
        """AddressSanitizer / UndefinedBehaviorSanitizer reports of the CGI
        processes and command-line runs so far ("" when none)."""
        text = self.error_log() + "".join(self._cli_stderr)
        marks = ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:")
        if not any(m in text for m in marks):
            return ""
        return text[-20000:]

    def env(self):
        """The environment of the host program in this sandbox."""
        env = {"TAVO_ROOT": str(self.root), "TAVO_WEBAPI_PLUGINS": self.plugins,
               "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        for name in PASS_THROUGH:
            if name in os.environ:
                env[name] = os.environ[name]
        env.update(self.extra_env)
        return env

    def _start_server(self):
        self.error_log_path = self.tmp / "lighttpd-error.log"
        conf = self.tmp / "lighttpd.conf"
        last_error = ""
        for _ in range(5):
            self.port = _free_port()
            scgi_socket = None
            if self.path_name != "cgi":
                # Only the server's user reaches the socket's folder.
                run = self.tmp / "scgi"
                run.mkdir(mode=0o700, exist_ok=True)
                scgi_socket = run / "tavo-webapi.sock"
            conf.write_text(lighttpd_config(self.port, self.tmp / "www", self.program, self.env(),
                                            self.error_log_path, scgi_socket=scgi_socket,
                                            cgi_url=CGI_URL if self.path_name == "compare" else None))
            # The CGI's standard error is lighttpd's: both go to the error log.
            out = open(self.error_log_path, "ab")
            self._server = subprocess.Popen(["lighttpd", "-D", "-f", str(conf)], stdin=subprocess.DEVNULL,
                                            stdout=out, stderr=subprocess.STDOUT, start_new_session=True,
                                            preexec_fn=_die_with_parent)
            out.close()
            deadline = time.monotonic() + 15
            while time.monotonic() < deadline:
                if self._server.poll() is not None:
                    break
                try:
                    with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                        return
                except OSError:
                    time.sleep(0.05)
            last_error = self.error_log()
            self._stop_server()
        raise SandboxError("lighttpd did not start:\n" + last_error)

    def _stop_server(self):
        if self._server is None:
            return
        if self._server.poll() is None:
            self._server.terminate()
            try:
                self._server.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self._server.kill()
                self._server.wait()
        self._server = None

    def kill_leftovers(self):
        """Kills every process that runs with this sandbox's root (tasks,
        scanner stand-ins, CGI processes) and waits until they are gone."""
        if self.root is None:
            return
        for _ in range(50):
            pids = _processes_with_env("TAVO_ROOT", self.root)
            if not pids:
                return
            for pid in pids:
                try:
                    os.kill(pid, signal.SIGKILL)
                except OSError:
                    pass
            time.sleep(0.1)
            pids = [p for p in pids if _alive(p)]
            if not pids:
                return

    def _cleanup(self):
        try:
            self._stop_server()
        finally:
            self.kill_leftovers()
            if self.tmp is not None and os.environ.get("TAVO_E2E_KEEP") != "1":
                shutil.rmtree(self.tmp, ignore_errors=True)

    # -- helpers ----------------------------------------------------------------

    def path(self, appliance_path):
        """The real path of an appliance path inside the sandbox root."""
        return self.root / str(appliance_path).lstrip("/")

    def error_log(self):
        try:
            return self.error_log_path.read_text(errors="replace")
        except (OSError, AttributeError):
            return ""

    @staticmethod
    def encode(api, method, version, params):
        fields = [("api", api), ("version", str(version)), ("method", method)]
        fields += [(k, json.dumps(v)) for k, v in params.items()]
        return urllib.parse.urlencode(fields)

    def request(self, http_method, target, body=None, headers=None):
        if self.path_name == "compare" and target.startswith(API_URL):
            return self._compared_request(http_method, target, body, headers)
        status, _, header_list, data = self.exchange(http_method, target, body, headers)
        return status, {k.lower(): v for k, v in header_list}, data

    def exchange(self, http_method, target, body=None, headers=None):
        """One request: (status, reason, [(name, value)] as sent, body bytes)."""
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=60)
        try:
            conn.request(http_method, target, body=body, headers=headers or {})
            resp = conn.getresponse()
            return resp.status, resp.reason, resp.getheaders(), resp.read()
        finally:
            conn.close()

    def _compared_request(self, http_method, target, body, headers):
        cgi_target = CGI_URL + target[len(API_URL):]

        def through_cgi():
            return self.exchange(http_method, cgi_target, body, headers)

        def through_scgi():
            return self.exchange(http_method, target, body, headers)

        if not _reading(http_method, target, body):
            scgi = through_scgi()
            if _refused(scgi):
                self._compare(http_method, target, through_cgi(), scgi, body)
            return _as_answer(scgi)
        # A running scan or update changes what a reading method answers
        # from one moment to the next: the SCGI answer must equal the CGI
        # answer just before or just after it. Two CGI answers alike around
        # a different SCGI answer are a difference of the paths, unless the
        # state went there and back in between (an update that finds nothing
        # new resets its progress, then sets it again): only a difference
        # seen that way three times running is reported.
        before = through_cgi()
        sandwiched = 0
        for _ in range(20):
            scgi = through_scgi()
            if _comparable(before) == _comparable(scgi):
                break
            after = through_cgi()
            if _comparable(after) == _comparable(scgi):
                break
            if _comparable(before) == _comparable(after):
                sandwiched += 1
                if sandwiched >= 3:
                    self._compare(http_method, target, before, scgi, body)
            else:
                sandwiched = 0
            before = after
        else:
            sys.stderr.write("harness: %s %s not compared: its answer kept changing\n" % (http_method, target))
            return _as_answer(scgi)
        self._count(http_method, target, body)
        return _as_answer(scgi)

    def _compare(self, http_method, target, cgi, scgi, body=None):
        if _comparable(cgi) != _comparable(scgi):
            raise AnswersDiffer("%s %s answered differently:\nCGI:  %r\nSCGI: %r"
                                % (http_method, target, _comparable(cgi), _comparable(scgi)))
        self._count(http_method, target, body)

    def _count(self, http_method, target, body):
        self.compared += 1
        self.compared_methods.update(_fields(http_method, target, body).get("method", ["-"])[:1])

    def _json(self, status, headers, body):
        try:
            return json.loads(body.decode("utf-8"))
        except ValueError:
            raise SandboxError("not a JSON answer (HTTP %d, %r): %r\n--- error log ---\n%s"
                               % (status, headers, body[:2000], self.error_log()))

    def call(self, api, method, version=1, **params):
        status, headers, body = self.raw(self.encode(api, method, version, params))
        return self._json(status, headers, body)

    def post(self, api, method, version=1, **params):
        status, headers, body = self.raw_post(self.encode(api, method, version, params))
        return self._json(status, headers, body)

    def raw(self, query_string, headers=None):
        """GET /webapi/api.cgi?query_string: (status, headers with lower-case names, body bytes)."""
        return self.request("GET", "/webapi/api.cgi?" + query_string, headers=headers)

    def raw_post(self, body, headers=None, query_string=""):
        all_headers = {"Content-Type": "application/x-www-form-urlencoded"}
        all_headers.update(headers or {})
        if isinstance(body, str):
            body = body.encode()
        target = "/webapi/api.cgi" + ("?" + query_string if query_string else "")
        return self.request("POST", target, body=body, headers=all_headers)

    def cli_full(self, *args, env=None, timeout=60):
        """Runs tavo-webapi with args: (exit_code, stdout_text, stderr_text)."""
        run_env = self.env()
        run_env.update(env or {})
        proc = subprocess.run([str(self.program)] + [str(a) for a in args], env=run_env,
                              stdin=subprocess.DEVNULL, capture_output=True, timeout=timeout)
        self._cli_stderr.append(proc.stderr.decode("utf-8", "replace"))
        return proc.returncode, proc.stdout.decode("utf-8", "replace"), proc.stderr.decode("utf-8", "replace")

    def cli(self, api, method, *name_eq_value, version=1):
        code, out, _ = self.cli_full("call", api, version, method, *name_eq_value)
        return code, out



def _as_answer(exchanged):
    status, _, header_list, data = exchanged
    return status, {k.lower(): v for k, v in header_list}, data


def _refused(answer):
    """Whether the host refused a request before any plug-in ran."""
    status, _, _, data = answer
    if status == 403:
        return True
    try:
        return json.loads(data.decode("utf-8"))["error"]["code"] in (101, 102, 103, 104, 105)
    except (ValueError, KeyError, TypeError, UnicodeDecodeError):
        return False


def _fields(http_method, target, body):
    """The form fields of a request: query string, then form body."""
    fields = urllib.parse.parse_qs(urllib.parse.urlsplit(target).query)
    if http_method == "POST" and body:
        form = body.decode("utf-8", "replace") if isinstance(body, bytes) else body
        for name, values in urllib.parse.parse_qs(form).items():
            fields.setdefault(name, []).extend(values)
    return fields


def _reading(http_method, target, body):
    """Whether the request calls a method that changes nothing stored."""
    methods = _fields(http_method, target, body).get("method", [])
    return len(methods) == 1 and methods[0] in READING_METHODS


def _comparable(answer):
    """An answer as compared between the paths: lighttpd's Date differs by
    the second it was sent."""
    status, reason, header_list, data = answer
    return status, reason, [(k, v) for k, v in header_list if k.lower() != "date"], data


def _alive(pid):
    """Whether pid is a process that has not ended (a zombie counts as ended)."""
    try:
        with open("/proc/%d/stat" % pid) as f:
            state = f.read().rsplit(")", 1)[1].split()[0]
        return state not in ("Z", "X")
    except (OSError, IndexError):
        return False


def wait_until(predicate, timeout=30, interval=0.05):
    """Polls predicate until it is true; returns its last value."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(interval)


alive = _alive
