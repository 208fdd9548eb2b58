"""A full disk and a read-only file system under the package folder: every
request that has to store something fails with 117 and a log line, nothing
crashes, reads answer or fail with 117 (SQLite cannot open a write-ahead
logged database without room for its shared-memory file), and everything
stored before is kept. Once space is back the same requests succeed.

The package folder is a small tmpfs mounted for the test (needs root); the
test is skipped when the mount is refused."""

import errno
import os
import sqlite3
import subprocess
import unittest

from harness import Sandbox

PKG = "/var/packages/AntiVirus-Zentrel/target"
REPORT_DB = PKG + "/.report"
CODES = {117}


def mount(*args):
    proc = subprocess.run(["mount"] + list(args), capture_output=True, text=True)
    if proc.returncode != 0:
        print("mount %s: %s" % (" ".join(args), proc.stderr.strip()))
    return proc.returncode == 0


class FullDisk(unittest.TestCase):
    def setUp(self):
        if os.geteuid() != 0:
            self.skipTest("mounting a tmpfs needs root")
        self.sb = Sandbox().__enter__()
        self.addCleanup(self.sb.__exit__, None, None, None)
        self.pkg = self.sb.path(PKG)
        if not mount("-t", "tmpfs", "-o", "size=1m,mode=0755", "tavo-full-disk", str(self.pkg)):
            self.skipTest("tmpfs mount refused")
        self.addCleanup(lambda: subprocess.run(["umount", "-l", str(self.pkg)], capture_output=True))
        for d in ("bin", "etc", "tmp"):
            (self.pkg / d).mkdir(parents=True, exist_ok=True)
        self.sb.path("/etc").mkdir(parents=True, exist_ok=True)
        self.sb.path("/etc/crontab").write_text("SHELL=/bin/sh\n")

        # Something stored in every place before the disk fills.
        self.ok("WhiteList", "add", listToBeAdd=["/volume1/kept-%d" % i for i in range(20)])
        self.ok("FileExt", "add", extension="kept")
        self.ok("Config", "set", config={"virusAction": "do_nothing", "scanExtensionOnly": True,
                                          "updateBeforeScan": False})
        self.job = {"activated": 1, "triggerTime": "0 3 * * 1", "scanType": "full", "scanTarget": ""}
        self.ok("Schedule", "save", scanJobArray=[self.job])
        self.ok("Log", "delete", data=[])
        db = sqlite3.connect(str(self.sb.path(REPORT_DB)))
        with db:
            # The saves above wrote their audit events; the test's own rows
            # take ids 1 to 50.
            db.execute("DELETE FROM report")
            db.executemany("INSERT INTO report (id, class, module, eventText, logTime) VALUES (?,?,?,?,?)",
                           [(i, "info", "scan", "event %d" % i, "2026-12-01 08:00:00") for i in range(1, 51)])
        db.close()  # an open file keeps the file system from turning read-only
        self.before = self.snapshot()
        self.files_before = self.files()

    def answer(self, api, method, **params):
        return self.sb.post("TAVO.AntiVirus." + api, method, **params)

    def ok(self, api, method, **params):
        answer = self.answer(api, method, **params)
        self.assertTrue(answer.get("success"), "%s.%s: %r\n%s" % (api, method, answer, self.sb.error_log()[-2000:]))
        return answer.get("data")

    def snapshot(self):
        return {
            "white": [e["filepath"] for e in self.ok("WhiteList", "load", start=0, limit=1000)["whiteList"]],
            "ext": [e["extension"] for e in self.ok("FileExt", "load", start=0, limit=1000)["extensionList"]],
            "config": self.ok("Config", "get"),
            "schedule": self.ok("Schedule", "load")["scheduleScanJobs"],
            "report": self.ok("Log", "load", start=0, limit=100, categories=["info"], modules=["scan"])["reportCount"],
            "crontab": self.sb.path("/etc/crontab").read_text(),
        }

    def files(self):
        """The stored files that are plain text, byte for byte."""
        out = {"crontab": self.sb.path("/etc/crontab").read_bytes()}
        for name in ("whitelist", "extensions", "tavoav.conf"):
            path = self.pkg / "etc" / name
            out[name] = path.read_bytes() if path.exists() else None
        return out

    def reads_answer(self):
        reads = [("WhiteList", "load", dict(start=0, limit=10)), ("FileExt", "load", dict(start=0, limit=10)),
                 ("Config", "get", {}), ("Schedule", "load", {}), ("General", "get_sys_info", {}),
                 ("Log", "load", dict(start=0, limit=10, categories=["info"], modules=["scan"]))]
        for api, method, params in reads:
            answer = self.answer(api, method, **params)
            if not answer.get("success"):
                self.assertEqual(answer["error"]["code"], 117, "%s.%s: %r" % (api, method, answer))

    def fill(self):
        fd = os.open(self.pkg / "filler", os.O_WRONLY | os.O_CREAT, 0o644)
        try:
            while True:
                os.write(fd, b"\0" * 4096)
        except OSError as exc:
            self.assertEqual(exc.errno, errno.ENOSPC)
        finally:
            os.close(fd)

    def writes_fail(self, condition):
        """Every storing request fails with 117 and a log line; reads answer;
        nothing stored before is lost."""
        writes = [
            ("WhiteList", "add", dict(listToBeAdd=["/volume1/new"])),
            ("WhiteList", "delete", dict(listToBeDelete=["/volume1/kept-3"])),
            ("FileExt", "add", dict(extension="new")),
            ("FileExt", "delete", dict(extensionToBeDelete=["kept"])),
            ("Config", "set", dict(config={"virusAction": "quarantine_it", "scanExtensionOnly": False,
                                           "updateBeforeScan": True})),
            ("Config", "restore_default", {}),
            ("Schedule", "save", dict(scanJobArray=[dict(self.job, triggerTime="0 4 * * *")])),
            ("Log", "delete", dict(data=["1", "2"])),
            ("Log", "delete_advanced", dict(categories=["info"], modules=["scan"])),
        ]
        for api, method, params in writes:
            with self.subTest(condition=condition, call="%s.%s" % (api, method)):
                log_before = self.sb.error_log()
                answer = self.answer(api, method, **params)
                self.assertFalse(answer.get("success"), "%s.%s succeeded on a %s" % (api, method, condition))
                self.assertIn(answer["error"]["code"], CODES)
                self.assertIn("tavo-webapi[", self.sb.error_log()[len(log_before):], "no log line")
                self.assertEqual(self.files(), self.files_before)
                self.reads_answer()
        self.assertEqual(self.sb.sanitizer_reports(), "")

    def writes_succeed_again(self):
        self.assertEqual(self.snapshot(), self.before)
        self.ok("WhiteList", "add", listToBeAdd=["/volume1/new"])
        self.ok("FileExt", "add", extension="new")
        self.ok("Log", "delete", data=["1"])
        self.ok("Schedule", "save", scanJobArray=[dict(self.job, triggerTime="0 4 * * *")])
        after = self.snapshot()
        self.assertEqual(after["white"], self.before["white"] + ["/volume1/new"])
        self.assertEqual(after["report"], self.before["report"] - 1)
        self.assertIn("0 4 * * *", after["crontab"])
        leftovers = [p.name for p in (self.pkg / "etc").iterdir() if p.name not in (
            "whitelist", "extensions", "tavoav.conf", "whitelist.lock", "extensions.lock", "tavoav.conf.lock")]
        self.assertEqual(leftovers, [], "temporary files left behind")

    def test_full_disk(self):
        self.fill()
        self.writes_fail("full disk")
        os.unlink(self.pkg / "filler")
        self.writes_succeed_again()

    def test_read_only_file_system(self):
        if not mount("-o", "remount,ro", str(self.pkg)):
            self.skipTest("read-only remount refused")
        try:
            self.writes_fail("read-only file system")
        finally:
            self.assertTrue(mount("-o", "remount,rw", str(self.pkg)))
        self.writes_succeed_again()


if __name__ == "__main__":
    unittest.main()
