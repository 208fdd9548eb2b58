"""The warm SCGI parent under lighttpd: concurrent requests, large bodies,
plug-ins replaced while serving, a killed parent, a crashing request, and
detached processes that must not hold a request's connection open."""

import concurrent.futures
import json
import os
import pathlib
import shutil
import signal
import stat
import tempfile
import unittest
import urllib.parse

from harness import Sandbox, alive, build_dir, wait_until

PLUGINS = os.environ.get("TAVO_TEST_PLUGIN_DIR", "")
SCANNER = "/var/packages/AntiVirus-Zentrel/target/bin/tavoavscan"


def scgi_parents(sb):
    """Pids of the sandbox's SCGI parents (children of its lighttpd)."""
    found = []
    for pid in children_of(sb._server.pid):
        try:
            with open("/proc/%d/cmdline" % pid, "rb") as f:
                argv = f.read().split(b"\0")
        except OSError:
            continue
        if argv[:2] == [str(sb.program).encode(), b"scgi"]:
            found.append(pid)
    return found


def socket_inodes(pid):
    """Inodes of the sockets pid holds."""
    inodes = set()
    try:
        fds = os.listdir("/proc/%d/fd" % pid)
    except OSError:
        return inodes
    for fd in fds:
        try:
            target = os.readlink("/proc/%d/fd/%s" % (pid, fd))
        except OSError:
            continue
        if target.startswith("socket:["):
            inodes.add(target[len("socket:["):-1])
    return inodes


def connection_sockets(pid, socket_folder):
    """The sockets pid holds that are connections of the SCGI socket
    (accepted sockets carry the listening socket's path in /proc/net/unix)."""
    inodes = socket_inodes(pid)
    held = []
    with open("/proc/net/unix") as f:
        next(f)
        for line in f:
            fields = line.split()
            if len(fields) >= 8 and fields[6] in inodes and fields[7].startswith(str(socket_folder)):
                held.append(fields[6])
    return held


def children_of(pid):
    """Pids of pid's living children."""
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                ppid = int(f.read().rsplit(")", 1)[1].split()[1])
        except (OSError, IndexError, ValueError):
            continue
        if ppid == pid and alive(int(entry)):
            found.append(int(entry))
    return found


def process_name(pid):
    """pid's name, as ps shows it; empty once it has ended."""
    try:
        with open("/proc/%d/comm" % pid) as f:
            return f.read().strip()
    except OSError:
        return ""


def holders_of_listening_socket(socket_folder):
    """Pids holding a listening socket bound beneath socket_folder."""
    inodes = set()
    with open("/proc/net/unix") as f:
        next(f)
        for line in f:
            fields = line.split()
            # Flags 00010000: __SO_ACCEPTCON, a listening socket.
            if len(fields) >= 8 and fields[3] == "00010000" and fields[7].startswith(str(socket_folder)):
                inodes.add("socket:[%s]" % fields[6])
    pids = set()
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            for fd in os.listdir("/proc/%s/fd" % entry):
                if os.readlink("/proc/%s/fd/%s" % (entry, fd)) in inodes:
                    pids.add(int(entry))
        except OSError:
            continue
    return pids


def sockets_held():
    """Inodes of every socket some process holds."""
    inodes = set()
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            inodes |= socket_inodes(int(entry))
    return inodes


def connections_in_flight(socket_folder):
    """Connections of the SCGI socket that were accepted (an accepted socket
    has an inode, one still in the listen queue has none) and that no
    process holds: handed over by the parent, not yet taken by a child.
    Read from /proc alone, since the kernel may lack the socket diagnostics
    a tool such as ss needs to show queue lengths."""
    accepted = set()
    with open("/proc/net/unix") as f:
        next(f)
        for line in f:
            fields = line.split()
            if (len(fields) >= 8 and fields[3] != "00010000" and fields[6] != "0"
                    and fields[7].startswith(str(socket_folder))):
                accepted.add(fields[6])
    return accepted - sockets_held()


class ScgiCase(unittest.TestCase):
    def sandbox(self, **kw):
        sb = Sandbox(path="scgi", **kw).__enter__()
        self.addCleanup(sb.__exit__, None, None, None)
        return sb


@unittest.skipUnless(PLUGINS and os.path.isdir(PLUGINS), "test plug-in folder not built")
class TestPlugin(ScgiCase):
    def setUp(self):
        # A plug-in folder of its own, so that its files can be replaced.
        self.plugins = pathlib.Path(tempfile.mkdtemp(prefix="tavo-scgi-plugins-"))
        self.addCleanup(shutil.rmtree, self.plugins, True)
        shutil.copy2(pathlib.Path(PLUGINS) / "TAVO.Test.so", self.plugins / "TAVO.Test.so")
        shutil.copy2(pathlib.Path(PLUGINS).parent / "plugins-extra" / "TAVO.TestExtra.so",
                     self.plugins / "TAVO.TestExtra.so")
        self.sb = self.sandbox(plugins=str(self.plugins))

    def waiting_children(self, parent):
        """Whether the parent's children are the two it keeps waiting (the
        one that served the last request gone, none holding a connection)."""
        children = children_of(parent)
        return (len(children) == 2 and all(process_name(pid) == "tavo-waiting" for pid in children)
                and not any(connection_sockets(pid, self.sb.tmp / "scgi") for pid in children))

    def echo(self, value, sb=None):
        return (sb or self.sb).call("TAVO.Test", "echo", value=value)

    def test_burst_of_concurrent_requests_no_answer_lost_or_mixed(self):
        def one(i):
            if i % 3 == 0:
                got = self.sb.post("TAVO.Test", "echo", value=i, text="x" * (i * 97))
                return got == {"success": True, "data": {"lang": "en", "params": {"value": i, "text": "x" * (i * 97)}}}
            return self.echo(i) == {"success": True, "data": {"lang": "en", "params": {"value": i}}}

        with concurrent.futures.ThreadPoolExecutor(max_workers=24) as pool:
            results = list(pool.map(one, range(240)))
        self.assertEqual([True] * 240, results, self.sb.error_log()[-4000:])

    def test_post_body_larger_than_the_pipe_buffer(self):
        big = "ü" * (600 * 1024)  # 1.2 MB of UTF-8, far past a pipe's 64 KiB
        got = self.sb.post("TAVO.Test", "echo", big=big)
        self.assertEqual({"success": True, "data": {"lang": "en", "params": {"big": big}}}, got)
        # Past the host's 8 MiB limit: refused, and the connection is not
        # reset (the child reads the rest before it closes).
        status, _, body = self.sb.raw_post("api=TAVO.Test&version=1&method=echo&x=" + "a" * (9 << 20))
        self.assertEqual((200, {"success": False, "error": {"code": 101}}), (status, json.loads(body)))
        self.assertEqual({"success": True, "data": {"lang": "en", "params": {"value": 1}}}, self.echo(1))

    def test_plugin_replaced_while_serving(self):
        self.assertEqual(1, self.echo(1)["data"]["params"]["value"])
        parent = scgi_parents(self.sb)
        self.assertEqual(1, len(parent))
        # Replaced the way an installer does it: a new file renamed over.
        new = self.plugins / "TAVO.Test.so.new"
        shutil.copy2(pathlib.Path(PLUGINS).parent / "plugins-other" / "TAVO.TestOther.so", new)
        os.rename(new, self.plugins / "TAVO.Test.so")
        self.assertEqual({"success": True, "data": {"lang": "en", "params": {"value": 2}}},
                         self.sb.call("TAVO.Other", "echo", value=2))
        self.assertEqual({"success": False, "error": {"code": 102}}, self.echo(3))
        self.assertIn("plug-in files changed: reloading the plug-ins", self.sb.error_log())
        self.assertEqual(parent, scgi_parents(self.sb))  # the same process, executed anew
        # A second plug-in claiming an entry of the first: every request is
        # refused with 117 and the duplicate is logged, until it goes.
        dup = pathlib.Path(PLUGINS).parent / "plugins-dup" / "TAVO.TestDuplicate.so"
        shutil.copy2(dup, self.plugins / "TAVO.TestDuplicate.so")
        self.assertEqual({"success": False, "error": {"code": 117}}, self.sb.call("TAVO.Other", "echo"))
        self.assertIn("duplicate web API entry TAVO.Other version 1 method echo", self.sb.error_log())
        os.unlink(self.plugins / "TAVO.TestDuplicate.so")
        self.assertTrue(self.sb.call("TAVO.Other", "echo")["success"])

    def test_waiting_children_hold_no_listening_socket_and_end_with_the_parent(self):
        self.assertTrue(self.echo(1)["success"])
        (parent,) = scgi_parents(self.sb)
        self.assertTrue(wait_until(lambda: self.waiting_children(parent)),
                        "children are forked ahead of the requests")
        waiting = children_of(parent)
        # Only the parent listens: when it dies, nothing accepts on the old
        # socket, so lighttpd sees it gone and starts a new parent.
        self.assertEqual({parent}, holders_of_listening_socket(self.sb.tmp / "scgi"))
        os.kill(parent, signal.SIGKILL)
        self.assertTrue(wait_until(lambda: not any(alive(pid) for pid in waiting)))

    def test_child_forked_before_a_plugin_change_serves_with_the_new_plugin(self):
        self.assertTrue(self.echo(1)["success"])
        (parent,) = scgi_parents(self.sb)
        self.assertTrue(wait_until(lambda: self.waiting_children(parent)))
        waiting = children_of(parent)
        # The waiting children stopped, the request is handed over to them
        # and stays queued; then the plug-in is replaced and the parent
        # reloads. The child that takes the request was forked with the old
        # plug-in loaded and must not answer with it.
        for pid in waiting:
            os.kill(pid, signal.SIGSTOP)
        try:
            with concurrent.futures.ThreadPoolExecutor(max_workers=1) as pool:
                answer = pool.submit(self.sb.call, "TAVO.Other", "echo", value=2)
                self.assertTrue(wait_until(lambda: connections_in_flight(self.sb.tmp / "scgi")),
                                self.sb.error_log()[-3000:])
                new = self.plugins / "TAVO.Test.so.new"
                shutil.copy2(pathlib.Path(PLUGINS).parent / "plugins-other" / "TAVO.TestOther.so", new)
                os.rename(new, self.plugins / "TAVO.Test.so")
                self.assertTrue(wait_until(lambda: "reloading the plug-ins" in self.sb.error_log()))
                for pid in waiting:
                    os.kill(pid, signal.SIGCONT)
                self.assertEqual({"success": True, "data": {"lang": "en", "params": {"value": 2}}},
                                 answer.result(timeout=60))
        finally:
            for pid in waiting:
                if alive(pid):
                    os.kill(pid, signal.SIGCONT)
        self.assertIn("plug-in files changed: serving the request in a fresh process", self.sb.error_log())
        self.assertEqual({"success": False, "error": {"code": 102}}, self.echo(3))
        self.assertEqual([parent], scgi_parents(self.sb))

    def test_sighup_reloads(self):
        self.assertTrue(self.echo(1)["success"])
        (parent,) = scgi_parents(self.sb)
        os.kill(parent, signal.SIGHUP)
        self.assertTrue(wait_until(lambda: "reloading the plug-ins (SIGHUP)" in self.sb.error_log()))
        self.assertTrue(self.echo(2)["success"])
        self.assertEqual([parent], scgi_parents(self.sb))

    def test_killed_parent_is_started_again_by_lighttpd(self):
        self.assertTrue(self.echo(1)["success"])
        (parent,) = scgi_parents(self.sb)
        os.kill(parent, signal.SIGKILL)
        self.assertTrue(wait_until(lambda: not alive(parent)))

        def served():
            try:
                return self.echo(2)["success"]
            except Exception:  # 503 or a refused connection while lighttpd restarts it
                return False

        self.assertTrue(wait_until(served, timeout=60), self.sb.error_log()[-3000:])
        self.assertEqual(1, len(scgi_parents(self.sb)))
        self.assertNotEqual([parent], scgi_parents(self.sb))
        for i in range(5):
            self.assertEqual(i, self.echo(i)["data"]["params"]["value"])

    def test_crashing_request_answers_no_other(self):
        def one(i):
            if i % 10 == 5:
                status, _, _ = self.sb.raw("api=TAVO.TestExtra&version=1&method=crash")
                return status
            return self.echo(i)["data"]["params"]["value"] == i

        with concurrent.futures.ThreadPoolExecutor(max_workers=8) as pool:
            results = list(pool.map(one, range(40)))
        for i, result in enumerate(results):
            if i % 10 == 5:
                self.assertGreaterEqual(result, 500)  # lighttpd's own error page
            else:
                self.assertIs(True, result, i)
        self.assertIn("ended by signal 6", self.sb.error_log())
        self.assertEqual(1, len(scgi_parents(self.sb)))

    def test_background_task_holds_no_connection(self):
        task_id = self.sb.call("TAVO.Test", "task_start")["data"]["task_id"]
        record = self.sb.root / "var/lib/tavo-webapi/tasks" / (task_id + ".json")
        pid = json.loads(record.read_text())["pid"]
        self.assertTrue(alive(pid))
        self.assertEqual([], connection_sockets(pid, self.sb.tmp / "scgi"))
        self.assertTrue(self.sb.call("TAVO.Test", "task_stop", task_id=task_id)["success"])


@unittest.skipUnless((build_dir() / "plugins" / "TAVO.AntiVirus.Scan.so").exists(), "Scan plug-in not built")
class DetachedScanner(ScgiCase):
    def test_scanner_holds_no_connection(self):
        sb = self.sandbox()
        fifo = sb.root / "scanner.go"
        os.mkfifo(fifo)
        script = sb.path(SCANNER)
        # Records its pid and descriptors, then waits until the test lets it
        # go: a connection it held would never end.
        script.write_text('#!/bin/sh\necho $$ > "%s.pid"\nls -l /proc/$$/fd > "%s.fds"\nread x < "%s"\n'
                          % (sb.root / "scanner", sb.root / "scanner", fifo))
        script.chmod(script.stat().st_mode | stat.S_IXUSR)
        # The whole answer (read to its end) arrives while the scanner waits.
        self.assertEqual({"success": True}, sb.call("TAVO.AntiVirus.Scan", "start_full"))
        pid_file = sb.root / "scanner.pid"
        self.assertTrue(wait_until(lambda: pid_file.exists() and pid_file.read_text().strip()))
        pid = int(pid_file.read_text())
        try:
            self.assertTrue(alive(pid))
            self.assertEqual([], connection_sockets(pid, sb.tmp / "scgi"))
            fds = (sb.root / "scanner.fds").read_text()
            self.assertNotIn("socket:", fds)
        finally:
            with open(fifo, "w") as f:
                f.write("done\n")


if __name__ == "__main__":
    unittest.main()
