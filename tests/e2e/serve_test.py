"""scripts/serve: which listen addresses it serves without authentication and
TLS, what reaches the generated lighttpd configuration and where it is
written, HTTPS served on loopback with a self-signed certificate made here,
and a port that cannot be bound.

Option handling is checked with --print-config (no build, no server); the
HTTPS test runs the script itself with --no-build on a temporary root and a
temporary build folder whose bin/ and plugins/ are the real build's."""

import base64
import http.client
import json
import os
import pathlib
import re
import signal
import socket
import ssl
import stat
import subprocess
import tempfile
import unittest

from harness import _die_with_parent, _free_port, build_dir, wait_until

REPO = pathlib.Path(__file__).resolve().parents[2]
SERVE = REPO / "scripts" / "serve"
USER, PASSWORD = "admin", "correct horse"
RUN_CONFIG = "var/run/tavo-webapi/lighttpd.conf"  # under the served root

LOOPBACK = ("127.0.0.1", "127.255.255.254", "::1", "localhost")
NOT_LOOPBACK = ("127.attacker.invalid", "127.0.0.1.evil", "1270.0.0.1", "127.0.0.256",
                "127.0.0.01", "0.0.0.0", "::", "192.168.1.20")


def make_certificate(folder):
    """A self-signed certificate for 127.0.0.1 and localhost: (cert, key)."""
    cert, key = folder / "cert.pem", folder / "key.pem"
    subprocess.run(["openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                    "-nodes", "-keyout", str(key), "-out", str(cert), "-days", "2",
                    "-subj", "/CN=localhost",
                    "-addext", "subjectAltName=IP:127.0.0.1,DNS:localhost"],
                   check=True, capture_output=True)
    return cert, key


def make_htpasswd(folder):
    hashed = subprocess.run(["openssl", "passwd", "-5", PASSWORD], check=True,
                            capture_output=True, text=True).stdout.strip()
    path = folder / "htpasswd"
    path.write_text("%s:%s\n" % (USER, hashed))
    return path


def allowed_hosts(config):
    """The TAVO_WEBAPI_ALLOWED_HOSTS value in a configuration (None when absent)."""
    found = re.findall(r'^\s*"TAVO_WEBAPI_ALLOWED_HOSTS" => "([^"]*)",?$', config, re.M)
    assert len(found) <= 1, config
    return found[0] if found else None


def link_build(folder):
    """A build folder for scripts/serve whose bin/ and plugins/ are the real
    build's, so that nothing is written into the real one."""
    folder.mkdir()
    for name in ("bin", "plugins"):
        (folder / name).symlink_to(build_dir() / name)


class ServeCase(unittest.TestCase):
    """A temporary folder with a certificate, its key and a password file;
    build/ and root/ in it are for scripts/serve."""

    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="tavo-serve-")
        cls.folder = pathlib.Path(cls.tmp.name)
        cls.cert, cls.key = make_certificate(cls.folder)
        cls.htpasswd = make_htpasswd(cls.folder)
        cls.build = cls.folder / "build"
        cls.root = cls.folder / "root"

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()


class Options(ServeCase):

    def serve(self, *args, print_config=True):
        """scripts/serve ARGS --print-config: (exit code, stdout, stderr).
        Without print_config a real start on a build folder that has nothing
        built: past its checks the script stops at the missing host program."""
        tail = ["--print-config"] if print_config else ["--no-build", "--root", str(self.root)]
        proc = subprocess.run([str(SERVE), "--build-dir", str(self.build)] + list(args) + tail,
                              stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=60)
        return proc.returncode, proc.stdout, proc.stderr

    def tls(self):
        return ["--tls-cert", str(self.cert), "--tls-key", str(self.key)]

    def assertRefused(self, result, reason):
        code, out, err = result
        self.assertEqual(code, 2, err)
        self.assertEqual(out, "", "a refused command line must not produce a configuration")
        self.assertIn(reason, err)

    def assertServed(self, result):
        code, out, err = result
        self.assertEqual(code, 0, err)
        self.assertIn("server.modules", out)
        return out, err

    def test_loopback_served_without_password(self):
        for address in LOOPBACK:
            with self.subTest(address=address):
                out, _ = self.assertServed(self.serve("--listen", address))
                self.assertNotIn("mod_auth", out)

    def test_other_addresses_need_password(self):
        for address in NOT_LOOPBACK:
            for print_config in (True, False):
                with self.subTest(address=address, print_config=print_config):
                    self.assertRefused(self.serve("--listen", address, print_config=print_config),
                                       "without --htpasswd")
                    self.assertFalse(self.root.exists())

    def test_other_addresses_need_tls_with_password(self):
        for address in NOT_LOOPBACK:
            with self.subTest(address=address):
                self.assertRefused(self.serve("--listen", address, "--htpasswd", str(self.htpasswd)),
                                   "without --tls-cert")

    def test_other_addresses_served_with_password_and_tls(self):
        for address in NOT_LOOPBACK:
            with self.subTest(address=address):
                out, err = self.assertServed(self.serve("--listen", address, "--htpasswd", str(self.htpasswd),
                                                        *self.tls()))
                self.assertIn('"mod_auth"', out)
                self.assertIn('ssl.engine = "enable"', out)
                self.assertNotIn("plain HTTP", err)

    def test_insecure_http_says_so(self):
        for address in NOT_LOOPBACK:
            with self.subTest(address=address):
                out, err = self.assertServed(self.serve("--listen", address, "--htpasswd", str(self.htpasswd),
                                                        "--insecure-http"))
                self.assertIn("WARNING", err)
                self.assertIn("plain HTTP", err)
                self.assertNotIn("ssl.engine", out)
                self.assertIn('"mod_auth"', out)
        # --insecure-http does not stand in for the password.
        self.assertRefused(self.serve("--listen", "192.168.1.20", "--insecure-http"), "without --htpasswd")

    def test_certificate_and_key_go_together(self):
        self.assertRefused(self.serve("--tls-cert", str(self.cert)), "give both or neither")
        self.assertRefused(self.serve("--tls-key", str(self.key)), "give both or neither")
        self.assertRefused(self.serve("--tls-cert", str(self.cert), "--tls-key", str(self.key) + ".missing"),
                           "not readable")

    def test_allowed_hosts_are_the_listen_address_and_allow_host_names(self):
        auth = ["--htpasswd", str(self.htpasswd)] + self.tls()
        out, _ = self.assertServed(self.serve("--listen", "192.168.1.20", "--allow-host", "NAS.example",
                                              "--allow-host", "fd00::7", *auth))
        self.assertEqual(allowed_hosts(out), "192.168.1.20,nas.example,fd00::7")
        out, _ = self.assertServed(self.serve())
        self.assertEqual(allowed_hosts(out), "127.0.0.1")
        out, _ = self.assertServed(self.serve("--listen", "::1", "--allow-host", "nas"))
        self.assertEqual(allowed_hosts(out), "::1,nas")
        self.assertIn('server.bind = "[::1]"', out)
        # A wildcard is no name: only the given ones, or a warning.
        for wildcard in ("0.0.0.0", "::"):
            with self.subTest(listen=wildcard):
                out, err = self.assertServed(self.serve("--listen", wildcard, "--allow-host", "nas.local", *auth))
                self.assertEqual(allowed_hosts(out), "nas.local")
                self.assertNotIn("only requests to loopback", err)
                out, err = self.assertServed(self.serve("--listen", wildcard, *auth))
                self.assertIsNone(allowed_hosts(out))
                self.assertIn("only requests to loopback", err)

    def test_nothing_injects_configuration(self):
        bad_names = ('nas"', "nas,evil", "nas evil", "nas\nserver.port = 1", "[::1]", "nas/x", "-nas", "",
                     "nas\\")
        for name in bad_names:
            with self.subTest(allow_host=name):
                self.assertRefused(self.serve("--allow-host", name),
                                   "needs a value" if name == "" else "not a host name")
            with self.subTest(listen=name):
                self.assertRefused(self.serve("--listen", name, "--htpasswd", str(self.htpasswd), *self.tls()),
                                   "needs a value" if name == "" else "not an address")
        for bad in ('x"y', "x\ny", "x\\y", "x\ry", "x\ty"):
            path = self.folder / bad
            path.write_text("x")
            for option in ("--root", "--build-dir", "--htpasswd", "--tls-cert", "--tls-key"):
                with self.subTest(option=option, path=bad):
                    args = [option, str(path)]
                    if option == "--tls-cert":
                        args += ["--tls-key", str(self.key)]
                    elif option == "--tls-key":
                        args += ["--tls-cert", str(self.cert)]
                    self.assertRefused(self.serve(*args), "not supported in paths")
        for port in ("0", "65536", "08080", "80 ", "1;x"):
            with self.subTest(port=port):
                self.assertRefused(self.serve("--port", port), "not a port number")

    def test_scgi_by_default_cgi_on_request(self):
        out, _ = self.assertServed(self.serve("--root", str(self.root)))
        socket_path = "%s/var/run/tavo-webapi/scgi/tavo-webapi.sock" % self.root
        self.assertIn('"socket" => "%s"' % socket_path, out)
        self.assertRegex(out, r'"bin-path" => "[^"]*/bin/tavo-webapi scgi"')
        self.assertIn('"mod_scgi"', out)
        self.assertNotIn("mod_cgi", out)
        self.assertNotIn("cgi.assign", out)
        # The parent gets its own few variables, nothing of lighttpd's.
        self.assertIn('"bin-copy-environment" => ("TAVO_NOTHING_COPIED")', out)
        out, _ = self.assertServed(self.serve("--cgi"))
        self.assertIn('"mod_cgi"', out)
        self.assertIn('cgi.assign = ("/tavo-webapi" => "")', out)
        self.assertNotIn("mod_scgi", out)
        self.assertNotIn("scgi.server", out)

    def test_socket_path_too_long_is_refused(self):
        long_root = self.folder / ("r" * 100)
        self.assertRefused(self.serve("--root", str(long_root)), "longer than a UNIX socket address allows")
        out, _ = self.assertServed(self.serve("--root", str(long_root), "--cgi"))
        self.assertIn("cgi.assign", out)

    def test_configurations_parse(self):
        """lighttpd accepts what is generated, TLS and authentication included."""
        for args in ([], ["--cgi"], ["--listen", "::1"],
                     ["--listen", "localhost", "--htpasswd", str(self.htpasswd)] + self.tls()):
            with self.subTest(args=args):
                out, _ = self.assertServed(self.serve(*args))
                conf = self.folder / "lighttpd.conf"
                conf.write_text(out)
                proc = subprocess.run(["lighttpd", "-tt", "-f", str(conf)], capture_output=True, text=True)
                self.assertEqual(proc.returncode, 0, proc.stdout + proc.stderr)


class Https(ServeCase):
    """scripts/serve --tls-cert/--tls-key on loopback, answered over HTTPS."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        link_build(cls.build)
        cls.log = cls.folder / "serve.log"
        cls.server = None
        try:
            cls._start()
        except BaseException:
            cls.tearDownClass()
            raise

    @classmethod
    def _start(cls):
        for _ in range(5):
            cls.port = _free_port()
            with open(cls.log, "wb") as out:
                cls.server = subprocess.Popen(
                    [str(SERVE), "--no-build", "--build-dir", str(cls.build), "--root", str(cls.root),
                     "--port", str(cls.port), "--tls-cert", str(cls.cert), "--tls-key", str(cls.key),
                     "--htpasswd", str(cls.htpasswd), "--allow-host", "nas.example"],
                    stdin=subprocess.DEVNULL, stdout=out, stderr=subprocess.STDOUT,
                    start_new_session=True, preexec_fn=_die_with_parent)

            def listening():
                if cls.server.poll() is not None:
                    return "exited"
                try:
                    with socket.create_connection(("127.0.0.1", cls.port), timeout=1):
                        return "up"
                except OSError:
                    return None

            if wait_until(listening, timeout=60) == "up":
                return
            cls._stop()
        raise RuntimeError("scripts/serve did not start:\n" + cls.log.read_text(errors="replace"))

    @classmethod
    def _stop(cls):
        if cls.server is None:
            return
        if cls.server.poll() is None:
            # Like Ctrl-C: the script stops its lighttpd and ends.
            cls.server.send_signal(signal.SIGINT)
            try:
                cls.server.wait(timeout=20)
            except subprocess.TimeoutExpired:
                pass
        try:
            os.killpg(cls.server.pid, signal.SIGKILL)  # anything the script left in its session
        except OSError:
            pass
        cls.server.wait()
        cls.server = None

    @classmethod
    def tearDownClass(cls):
        cls._stop()
        super().tearDownClass()

    def request(self, method, target, headers=None, body=None, auth=True):
        context = ssl.create_default_context(cafile=str(self.cert))
        conn = http.client.HTTPSConnection("127.0.0.1", self.port, timeout=60, context=context)
        all_headers = dict(headers or {})
        if auth:
            token = base64.b64encode(("%s:%s" % (USER, PASSWORD)).encode()).decode()
            all_headers["Authorization"] = "Basic " + token
        try:
            conn.request(method, target, body=body, headers=all_headers)
            resp = conn.getresponse()
            return resp.status, {k.lower(): v for k, v in resp.getheaders()}, resp.read()
        finally:
            conn.close()

    SYS_INFO = "/webapi/api.cgi?api=TAVO.AntiVirus.General&version=1&method=get_sys_info"

    def test_banner_names_the_https_url(self):
        text = self.log.read_text(errors="replace")
        self.assertIn("Serving the web API at https://127.0.0.1:%d/webapi/api.cgi" % self.port, text)
        self.assertIn("dashboard: https://127.0.0.1:%d/" % self.port, text)

    def test_api_answers_json_over_https(self):
        status, headers, body = self.request("GET", self.SYS_INFO)
        self.assertEqual(status, 200, body)
        self.assertTrue(headers["content-type"].startswith("application/json"))
        self.assertTrue(json.loads(body)["success"], body)

    def test_dashboard_over_https(self):
        status, headers, body = self.request("GET", "/")
        self.assertEqual(status, 200)
        self.assertTrue(headers["content-type"].startswith("text/html"))
        self.assertIn(b"<title>Antivirus dashboard</title>", body)

    def test_password_required(self):
        status, _, _ = self.request("GET", self.SYS_INFO, auth=False)
        self.assertEqual(status, 401)

    def test_host_sees_https(self):
        """The host compares Origin against the https scheme: lighttpd tells it
        the request came over TLS."""
        origin = "https://127.0.0.1:%d" % self.port
        status, _, body = self.request("GET", self.SYS_INFO, headers={"Origin": origin})
        self.assertEqual(status, 200, body)
        self.assertTrue(json.loads(body)["success"], body)
        status, _, body = self.request("GET", self.SYS_INFO, headers={"Origin": "http://127.0.0.1:%d" % self.port})
        self.assertEqual(status, 403, body)
        self.assertEqual(json.loads(body)["error"]["code"], 105)

    def test_plain_http_not_answered(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            conn.request("GET", self.SYS_INFO)
            status = conn.getresponse().status
        except (OSError, http.client.HTTPException):
            status = None
        finally:
            conn.close()
        self.assertNotEqual(status, 200)

    def test_served_by_the_scgi_parent_behind_a_private_folder(self):
        status, _, body = self.request("GET", self.SYS_INFO)
        self.assertEqual(status, 200, body)
        folder = self.root / "var/run/tavo-webapi/scgi"
        self.assertEqual(stat.S_IMODE(folder.stat().st_mode), 0o700)
        # lighttpd numbers the socket of each process it starts: name-0.
        self.assertTrue(stat.S_ISSOCK((folder / "tavo-webapi.sock-0").stat().st_mode), os.listdir(folder))
        text = self.log.read_text(errors="replace")
        self.assertIn("host: SCGI server on %s/tavo-webapi.sock" % folder, text)
        self.assertIn("serving SCGI requests", text)

    def test_config_passes_allowed_hosts(self):
        conf = (self.root / RUN_CONFIG).read_text()
        self.assertEqual(allowed_hosts(conf), "127.0.0.1,nas.example")

    def test_config_written_under_the_root(self):
        """The configuration goes to the root's run folder: the build folder
        (shared by every root served from it) gets nothing."""
        conf = self.root / RUN_CONFIG
        self.assertIn('server.port = %d' % self.port, conf.read_text())
        self.assertEqual(sorted(p.name for p in self.build.iterdir()), ["bin", "plugins"])
        self.assertIn("config: %s" % conf, self.log.read_text(errors="replace"))


class BusyPort(ServeCase):
    """A port another program holds: scripts/serve says why and fails before
    its banner, instead of announcing a server that never starts."""

    @classmethod
    def setUpClass(cls):
        super().setUpClass()
        link_build(cls.build)

    def serve_on_busy_port(self, *args):
        with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as holder:
            holder.bind(("127.0.0.1", 0))
            holder.listen(1)
            port = holder.getsockname()[1]
            proc = subprocess.run([str(SERVE), "--no-build", "--build-dir", str(self.build),
                                   "--root", str(self.root), "--port", str(port)] + list(args),
                                  stdin=subprocess.DEVNULL, capture_output=True, text=True, timeout=120,
                                  preexec_fn=_die_with_parent)
        return port, proc

    def test_busy_port_fails_before_the_banner(self):
        port, proc = self.serve_on_busy_port()
        self.assertNotEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn("cannot listen on 127.0.0.1 port %d" % port, proc.stderr)
        self.assertIn("in use", proc.stderr)
        self.assertNotIn("Serving the web API", proc.stdout + proc.stderr)
        self.assertNotIn("Try:", proc.stdout)

    def test_busy_port_with_tls_fails_too(self):
        cert, key = self.cert, self.key
        port, proc = self.serve_on_busy_port("--tls-cert", str(cert), "--tls-key", str(key))
        self.assertNotEqual(proc.returncode, 0, proc.stdout + proc.stderr)
        self.assertIn("port %d" % port, proc.stderr)
        self.assertNotIn("Serving the web API", proc.stdout)


if __name__ == "__main__":
    unittest.main()
