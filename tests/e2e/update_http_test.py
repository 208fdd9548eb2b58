"""Definition updates from an HTTP mirror: lighttpd serves custom databases
(.ndb/.hdb) on a loopback port, `tavoavscan --update` fetches them with
libcurl (or through Debian's freshclam) into a temporary root.

A malformed file, an empty file, a truncated download and an unreachable
mirror each leave the old set scanning, the update failed with its reason
and an event; a good update installs and the next scan uses it; the
progress rises while a throttled download runs."""

import hashlib
import json
import os
import pathlib
import shutil
import socket
import sqlite3
import subprocess
import tempfile
import threading
import unittest

from harness import build_dir, wait_until, _free_port

PKG = "/var/packages/AntiVirus-Zentrel/target"
EICAR = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$" + "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
EICAR_NDB = "Eicar-Test-Signature:0:*:%s\n" % EICAR.encode().hex()
SAMPLE = b"a file the new definitions know\n" * 8


class Mirror:
    """lighttpd serving a folder on a loopback port, optionally throttled."""

    def __init__(self, tmp, kbytes_per_second=0):
        self.dir = tmp / "www"
        self.dir.mkdir()
        self.port = _free_port()
        conf = tmp / "mirror.conf"
        conf.write_text('server.document-root = "%s"\nserver.bind = "127.0.0.1"\nserver.port = %d\n'
                        'server.errorlog = "%s"\nmimetype.assign = ("" => "application/octet-stream")\n%s'
                        % (self.dir, self.port, tmp / "mirror-error.log",
                           "connection.kbytes-per-second = %d\n" % kbytes_per_second if kbytes_per_second else ""))
        self.server = subprocess.Popen(["lighttpd", "-D", "-f", str(conf)], stdin=subprocess.DEVNULL)
        if not wait_until(self._up, timeout=10):
            raise RuntimeError("the mirror did not start")

    def _up(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), timeout=1).close()
            return True
        except OSError:
            return False

    def url(self, name):
        return "http://127.0.0.1:%d/%s" % (self.port, name)

    def stop(self):
        self.server.terminate()
        self.server.wait(10)


class TruncatingServer:
    """Announces 1000 bytes and closes the connection after 100."""

    def __init__(self):
        self.sock = socket.socket()
        self.sock.bind(("127.0.0.1", 0))
        self.sock.listen(8)
        self.port = self.sock.getsockname()[1]
        threading.Thread(target=self._serve, daemon=True).start()

    def _serve(self):
        while True:
            try:
                conn, _ = self.sock.accept()
            except OSError:
                return
            with conn:
                request = conn.recv(4096)
                head = b"HTTP/1.1 200 OK\r\nContent-Length: 1000\r\nConnection: close\r\n\r\n"
                conn.sendall(head if request.startswith(b"HEAD") else head + b"#" * 100)

    def stop(self):
        self.sock.close()


class UpdateHttpTest(unittest.TestCase):
    def setUp(self):
        self.tmp = pathlib.Path(tempfile.mkdtemp(prefix="tavo-update-"))
        self.addCleanup(shutil.rmtree, self.tmp, True)
        self.root = self.tmp / "root"
        self.env = dict(os.environ, TAVO_ROOT=str(self.root))
        (self.root / PKG[1:] / "bin").mkdir(parents=True)
        (self.root / PKG[1:] / "bin" / "tavoavscan").symlink_to(build_dir() / "bin" / "tavoavscan")
        (self.root / PKG[1:] / "etc").mkdir(parents=True, exist_ok=True)
        (self.root / PKG[1:] / "etc" / "tavoav.conf").write_text("autoUpdate=0\n")
        (self.root / "volume1").mkdir()
        (self.root / "volume1" / "eicar.com").write_text(EICAR)
        (self.root / "volume1" / "sample.bin").write_bytes(SAMPLE)
        self.mirror = Mirror(self.tmp, kbytes_per_second=16)
        self.addCleanup(self.mirror.stop)
        (self.mirror.dir / "eicar.ndb").write_text(EICAR_NDB)
        self.configure("http", [self.mirror.url("eicar.ndb")])
        self.assertEqual(self.run_scanner("--update"), 0)
        self.old_set = self.defs()

    # -- helpers ---------------------------------------------------------------

    def configure(self, source, urls, **extra):
        lines = ["source=" + source, "urls=" + " ".join(urls), "timeoutSeconds=5"]
        lines += ["%s=%s" % item for item in extra.items()]
        (self.root / PKG[1:] / "etc" / "update.conf").write_text("\n".join(lines) + "\n")

    def run_scanner(self, *args):
        return subprocess.run([str(build_dir() / "bin" / "tavoavscan")] + list(args), env=self.env,
                              stdin=subprocess.DEVNULL, timeout=120).returncode

    def defs(self):
        folder = self.root / PKG[1:] / "defs"
        return {p.name: p.read_bytes() for p in sorted(folder.iterdir())}

    def events(self, module):
        with sqlite3.connect(self.root / PKG[1:] / ".report") as db:
            return [c + " " + t for c, t in db.execute(
                "SELECT class, eventText FROM report WHERE module = ? ORDER BY id", (module,))]

    def facts(self):
        text = (self.root / PKG[1:] / ".update_status").read_text()
        return dict(line.split("=", 1) for line in text.splitlines() if "=" in line)

    def sys_info(self):
        out = subprocess.run([str(build_dir() / "bin" / "tavo-webapi"), "call", "TAVO.AntiVirus.General", "1",
                              "get_sys_info"], env=self.env, capture_output=True, text=True, timeout=30).stdout
        return json.loads(out)["data"]

    def assert_failed_keeping_old_set(self, reason, exact=True):
        """exact=False: the reason starts so (libcurl adds the time it waited)."""
        self.assertEqual(self.run_scanner("--update"), 2)
        self.assertEqual(self.defs(), self.old_set)
        facts = self.facts()
        self.assertEqual(facts["lastResult"], "failed")
        got = facts["lastFailureReason"]
        self.assertEqual(got if exact else got[:len(reason)], reason)
        self.assertEqual(self.events("update")[-1], "error Virus definition update failed: " + got)
        # The old set still scans as before.
        self.assertEqual(self.run_scanner("--all"), 0)
        found = [e for e in self.events("scan") if e.startswith("warning Virus found")]
        self.assertEqual(found, ["warning Virus found: /volume1/eicar.com (Eicar-Test-Signature)"])

    # -- tests -----------------------------------------------------------------

    def test_a_good_update_installs_and_the_next_scan_uses_it(self):
        line = "%s:%d:Tavo-Sample-Signature\n" % (hashlib.md5(SAMPLE).hexdigest(), len(SAMPLE))
        (self.mirror.dir / "sample.hdb").write_text(line)
        self.configure("http", [self.mirror.url("eicar.ndb"), self.mirror.url("sample.hdb")])
        self.assertEqual(self.run_scanner("--update"), 0)
        self.assertEqual(sorted(self.defs()), [".installed", "eicar.ndb", "sample.hdb"])
        self.assertEqual(self.facts()["lastResult"], "updated")
        self.assertEqual(self.run_scanner("--all"), 0)
        found = sorted(e for e in self.events("scan") if e.startswith("warning Virus found"))
        self.assertEqual(found, ["warning Virus found: /volume1/eicar.com (Eicar-Test-Signature)",
                                 "warning Virus found: /volume1/sample.bin (Tavo-Sample-Signature)"])
        # Fetched again unchanged: nothing new, nothing changed.
        mark = (self.root / PKG[1:] / "defs" / ".installed").stat().st_ino
        self.assertEqual(self.run_scanner("--update"), 0)
        self.assertEqual(self.facts()["lastResult"], "current")
        self.assertEqual((self.root / PKG[1:] / "defs" / ".installed").stat().st_ino, mark)

    def test_a_malformed_file_leaves_the_old_set(self):
        (self.mirror.dir / "broken.ndb").write_text("NoFieldsHere\n")
        self.configure("http", [self.mirror.url("eicar.ndb"), self.mirror.url("broken.ndb")])
        self.assert_failed_keeping_old_set("broken.ndb: Malformed database (Problem parsing database at line 1)")

    def test_an_empty_file_leaves_the_old_set(self):
        (self.mirror.dir / "empty.hdb").write_text("")
        self.configure("http", [self.mirror.url("eicar.ndb"), self.mirror.url("empty.hdb")])
        self.assert_failed_keeping_old_set("empty.hdb: empty file")

    def test_a_truncated_download_leaves_the_old_set(self):
        server = TruncatingServer()
        self.addCleanup(server.stop)
        self.configure("http", ["http://127.0.0.1:%d/cut.ndb" % server.port])
        self.assert_failed_keeping_old_set(
            "cut.ndb: Transferred a partial file (transfer closed with 900 bytes remaining to read)")

    def test_an_unreachable_mirror_leaves_the_old_set(self):
        port = _free_port()  # nothing listens there
        self.configure("http", ["http://127.0.0.1:%d/eicar.ndb" % port])
        self.assert_failed_keeping_old_set(
            "eicar.ndb: Couldn't connect to server (Failed to connect to 127.0.0.1 port %d " % port, exact=False)

    def test_a_missing_file_leaves_the_old_set(self):
        self.configure("http", [self.mirror.url("nothing-here.ndb")])
        self.assert_failed_keeping_old_set(
            "nothing-here.ndb: HTTP response code said error (The requested URL returned error: 404)")

    def test_progress_rises_during_a_slow_download(self):
        # 128 KiB at 16 KiB/s.
        (self.mirror.dir / "big.hdb").write_bytes(b"".join(b"%032x:68:Pad-Signature-%013d\n" % (i, i)
                                                           for i in range(2048)))
        self.configure("http", [self.mirror.url("eicar.ndb"), self.mirror.url("big.hdb")])
        update = subprocess.Popen([str(build_dir() / "bin" / "tavoavscan"), "--update"], env=self.env,
                                  stdin=subprocess.DEVNULL)
        seen = []
        while update.poll() is None:
            info = self.sys_info()
            if info["sysStatus"] == "updating":
                seen.append((int(info["downloadSizeTotal"]), int(info["downloadSizeNow"])))
        self.assertEqual(update.wait(), 0)
        total = len(EICAR_NDB) + 2048 * 64
        self.assertTrue(seen)
        # The total is known once the sizes have been asked for.
        self.assertTrue(all(t == total for t, _ in seen if t != 0), seen)
        done = [n for _, n in seen]
        self.assertEqual(done, sorted(done), "the progress never goes back")
        self.assertGreaterEqual(len({n for n in done if 0 < n < total}), 2, seen)
        self.assertEqual(int(self.sys_info()["downloadSizeNow"]), total)

    @unittest.skipUnless(os.access("/usr/bin/freshclam", os.X_OK), "Debian's clamav-freshclam is not installed")
    def test_freshclam_fetches_custom_databases_into_our_folder(self):
        line = "%s:%d:Tavo-Sample-Signature\n" % (hashlib.md5(SAMPLE).hexdigest(), len(SAMPLE))
        (self.mirror.dir / "sample.hdb").write_text(line)
        self.configure("freshclam", [self.mirror.url("eicar.ndb"), self.mirror.url("sample.hdb")],
                       privateMirror="127.0.0.1:%d" % self.mirror.port, officialDatabases=0)
        self.assertEqual(self.run_scanner("--update"), 0, self.facts())
        self.assertEqual(sorted(self.defs()), [".installed", "eicar.ndb", "sample.hdb"])
        self.assertTrue((self.root / PKG[1:] / ".freshclam.dat").exists())
        self.assertEqual(self.run_scanner("--all"), 0)
        self.assertIn("warning Virus found: /volume1/sample.bin (Tavo-Sample-Signature)", self.events("scan"))


if __name__ == "__main__":
    unittest.main()
