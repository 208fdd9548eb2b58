"""Hostile request values at every place a value reaches SQL, a list or
configuration file, a path, the crontab or the scanner's command line,
over HTTP against the real stand-ins.

Every answer must be a success or one of the system's codes, and every
stored thing must be exactly what an accepted request asked for: hostile
text never runs as SQL, never adds or removes a line of a list file, never
reaches outside the volumes, never adds a crontab line."""

import os
import re
import sqlite3
import subprocess
import unittest

from harness import Sandbox, build_dir

PKG = "/var/packages/AntiVirus-Zentrel/target"
REPORT_DB = PKG + "/.report"
SCANNER = PKG + "/bin/tavoavscan"
OTHER_CRON = "SHELL=/bin/sh\n17 * * * * root cd / && run-parts /etc/cron.hourly\n"
CODES = {101, 114, 117, 120}

# One of each kind: every request runs as its own CGI process, so the table is
# kept short enough for the sanitizer build.
HOSTILE_TEXTS = [
    "'", '"', "'; DROP TABLE report; --", "\" OR \"1\"=\"1", "/* comment", "-- comment", "# comment", "%s%s%n",
    "a\0b", "a\nb", "a\r\nb", "..", "../../../etc/sentinel", "/volume1/../../etc/sentinel",
    "$(touch /tmp/pwned)", "`touch /tmp/pwned`", "; touch /tmp/pwned", "* * * * * root /bin/sh",
    "\u00e4\u2603", "x" * 4096, "y" * 70000, "", " ",
]
INT_EDGES = [0, -1, 2 ** 31 - 1, 2 ** 31, -2 ** 31 - 1, 2 ** 63, -2 ** 63 - 1, 2 ** 64, 1.5, "1", True, None, []]

LOG_ROWS = [
    (1, "info", "scan", "Scan started", "2026-12-01 08:00:00"),
    (2, "warning", "scan", "Threat found: /volume1/a.exe", "2026-12-01 08:05:00"),
    (3, "error", "update", "it's \"quoted\"; --", "2026-12-01 07:00:00"),
]


class HostileValues(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox().__enter__()
        self.addCleanup(self.sb.__exit__, None, None, None)
        sentinel = self.sb.path("/etc/sentinel")
        sentinel.parent.mkdir(parents=True, exist_ok=True)
        sentinel.write_text("keep me\n")

    def tearDown(self):
        self.assertEqual(self.sb.path("/etc/sentinel").read_text(), "keep me\n")
        self.assertFalse(os.path.exists("/tmp/pwned"))
        self.assertFalse(self.sb.path("/tmp/pwned").exists())

    def answer(self, api, method, **params):
        # A form body: the longest values do not fit in a request line.
        answer = self.sb.post("TAVO.AntiVirus." + api, method, **params)
        ok = answer.get("success") is True
        if not ok:
            self.assertIn(answer.get("error", {}).get("code"), CODES, "%s.%s %r: %r" % (api, method, params, answer))
        return ok, answer

    def ok(self, api, method, **params):
        ok, answer = self.answer(api, method, **params)
        self.assertTrue(ok, "%s.%s: %r\n%s" % (api, method, answer, self.sb.error_log()[-3000:]))
        return answer.get("data")

    # -- SQL: the report ------------------------------------------------------

    def report(self):
        with sqlite3.connect(str(self.sb.path(REPORT_DB))) as db:
            return db.execute("SELECT id, class, module, eventText, logTime FROM report ORDER BY id").fetchall()

    def test_report_statements(self):
        self.ok("Log", "delete", data=[])  # creates the table
        with sqlite3.connect(str(self.sb.path(REPORT_DB))) as db:
            db.executemany("INSERT INTO report (id, class, module, eventText, logTime) VALUES (?,?,?,?,?)", LOG_ROWS)
        before = self.report()
        cats, mods = ["info", "warning", "error"], ["scan", "update"]
        for text in HOSTILE_TEXTS:
            with self.subTest(text=text[:40]):
                ok, answer = self.answer("Log", "load", start=0, limit=50, categories=[text], modules=mods)
                if ok:
                    self.assertEqual(answer["data"]["reportCount"], 0)
                self.answer("Log", "load", start=0, limit=50, categories=cats, modules=[text, "scan"], sort=text,
                            dir=text)
                self.answer("Log", "delete", data=["1000", text])
                self.answer("Log", "delete_advanced", categories=[text], modules=mods)
                self.answer("Log", "delete_advanced", categories=cats, modules=[text])
                self.assertEqual(self.report(), before)
        for number in INT_EDGES:
            with self.subTest(number=number):
                self.answer("Log", "load", start=number, limit=50, categories=cats, modules=mods)
                self.answer("Log", "load", start=0, limit=number, categories=cats, modules=mods)
                if number != "1":  # IDs come as digit strings: "1" is a real deletion
                    ok, _ = self.answer("Log", "delete", data=[number])
                    self.assertEqual(self.report(), before, "delete of %r" % (number,))
        # The rows still load as stored, quotes included.
        data = self.ok("Log", "load", start=0, limit=50, categories=cats, modules=mods)
        self.assertEqual(data["reportCount"], len(LOG_ROWS))
        self.assertIn("it's \"quoted\"; --", [r.get("eventContent") for r in data["reportArray"]])

    # -- list files -----------------------------------------------------------

    def listing(self, api, key, field):
        return [e[field] for e in self.ok(api, "load", start=0, limit=100000)[key]]

    def test_white_list_and_extension_list_entries(self):
        self.ok("WhiteList", "add", listToBeAdd=["/volume1/kept"])
        self.ok("FileExt", "add", extension="kept")
        white = self.listing("WhiteList", "whiteList", "filepath")
        exts = self.listing("FileExt", "extensionList", "extension")
        for text in HOSTILE_TEXTS:
            with self.subTest(text=text[:40]):
                ok, _ = self.answer("WhiteList", "add", listToBeAdd=[text])
                now = self.listing("WhiteList", "whiteList", "filepath")
                if ok and text.split("\0")[0] not in white:
                    self.assertEqual(now, white + [text.split("\0")[0]])
                else:
                    self.assertEqual(now, white)
                self.answer("WhiteList", "delete", listToBeDelete=[text])

                ok, _ = self.answer("FileExt", "add", extension=text)
                now = self.listing("FileExt", "extensionList", "extension")
                if ok and text.split("\0")[0] not in exts:
                    self.assertEqual(now, exts + [text.split("\0")[0]])
                else:
                    self.assertEqual(now, exts)
                self.answer("FileExt", "delete", extensionToBeDelete=[text])
        # Nothing hostile left; the files hold one plain line per entry.
        self.assertEqual(self.listing("WhiteList", "whiteList", "filepath"), ["/volume1/kept"])
        self.assertEqual(self.sb.path(PKG + "/etc/whitelist").read_text(), "/volume1/kept\n")
        self.assertIn("kept", self.listing("FileExt", "extensionList", "extension"))
        for number in INT_EDGES:
            with self.subTest(number=number):
                self.answer("WhiteList", "load", start=number, limit=number)
                self.answer("FileExt", "load", start=number, limit=number)
                ok, _ = self.answer("WhiteList", "add", listToBeAdd=[number])
                self.assertEqual(ok, isinstance(number, str), "white list entry %r" % (number,))
                self.answer("WhiteList", "delete", listToBeDelete=[number])
                ok, _ = self.answer("FileExt", "add", extension=number)
                self.assertEqual(ok, isinstance(number, str), "extension %r" % (number,))
                self.answer("FileExt", "delete", extensionToBeDelete=[number])
        self.assertEqual(self.listing("WhiteList", "whiteList", "filepath"), ["/volume1/kept"])

    def test_configuration_values(self):
        before = self.ok("Config", "get")
        conf = self.sb.path(PKG + "/etc/tavoav.conf")
        for value in HOSTILE_TEXTS + INT_EDGES:
            with self.subTest(value=str(value)[:40]):
                for config in ({key: value for key in before}, dict(before, **{"other\nkey=1": value})):
                    ok, _ = self.answer("Config", "set", config=config)
                    now = self.ok("Config", "get")
                    self.assertEqual(set(now), set(before))
                    if ok:
                        self.ok("Config", "set", config=before)
                    else:
                        self.assertEqual(now, before)
                    if conf.exists():
                        for line in conf.read_text().splitlines():
                            self.assertRegex(line, r"^[A-Za-z][A-Za-z0-9_]*=[^\n]*$")
        self.assertEqual(self.ok("Config", "get"), before)

    # -- paths: quarantine names and volumes ----------------------------------

    def test_quarantine_names_and_volumes(self):
        paths = ["/volume1/q/a.exe", "/volume2/b.exe"]
        for path in paths:
            real = self.sb.path(path)
            real.parent.mkdir(parents=True, exist_ok=True)
            real.write_text("infected")
        seed = subprocess.run([str(build_dir() / "bin" / "tavo-quarantine-seed"), "Eicar-Test"] + paths,
                              env=dict(os.environ, TAVO_ROOT=str(self.sb.root)), capture_output=True, text=True,
                              timeout=60)
        self.assertEqual(seed.returncode, 0, seed.stderr)
        listing = self.ok("Quarantine", "load", start=0, limit=100)
        volumes = sorted({i["volumePath"] for i in listing["quarantineArray"]})
        names = sorted(i["renamedName"] for i in listing["quarantineArray"])
        stored = {p: sorted(os.listdir(p)) for p in (self.sb.path("/volume1"), self.sb.path("/volume2"))}
        for text in HOSTILE_TEXTS + ["/volume1/../volume2", "/etc", "/"]:
            with self.subTest(text=text[:40]):
                self.answer("Quarantine", "delete_list", volumes=[text, volumes[1]], deleteNames=[names[0], text])
                self.answer("Quarantine", "restore_list", volumes=[volumes[0], text], restoreNames=[text, names[1]])
                self.answer("WhiteList", "add_quarantined", volumes=[text, volumes[0]], whiteList=[names[0], text])
                self.answer("Quarantine", "task_status", task_id=text)
                again = self.ok("Quarantine", "load", start=0, limit=100)
                self.assertEqual(sorted(i["renamedName"] for i in again["quarantineArray"]), names)
                self.assertEqual({p: sorted(os.listdir(p)) for p in stored}, stored)
        for number in INT_EDGES:
            with self.subTest(number=number):
                self.answer("Quarantine", "load", start=number, limit=number)
                self.answer("Quarantine", "delete_list", volumes=[number], deleteNames=[number])
        self.assertEqual(self.ok("Quarantine", "load", start=0, limit=100)["quarantineCount"], 2)
        self.assertTrue(all(self.sb.path(p).exists() is False for p in paths))

    # -- the crontab and the scanner's command line ---------------------------

    def crontab(self):
        return self.sb.path("/etc/crontab").read_text()

    def check_crontab(self):
        text = self.crontab()
        self.assertTrue(text.startswith(OTHER_CRON), text)
        line = re.compile(r"^[0-9*,/-]+ [0-9*,/-]+ [0-9*,/-]+ [0-9*,/-]+ [0-9*,/-]+ root " + re.escape(SCANNER) +
                          r" (--all|--system|-f " + re.escape(PKG) + r"/tmp/[A-Za-z0-9._-]+)$")
        for entry in text[len(OTHER_CRON):].splitlines():
            if not entry.startswith("# "):
                self.assertRegex(entry, line)

    def test_schedule_texts(self):
        self.sb.path("/etc/crontab").write_text(OTHER_CRON)
        good = {"activated": 1, "triggerTime": "0 3 * * 1", "scanType": "full", "scanTarget": ""}
        self.ok("Schedule", "save", scanJobArray=[good])
        for text in HOSTILE_TEXTS:
            for key in ("triggerTime", "scanType", "scanTarget"):
                with self.subTest(key=key, text=text[:40]):
                    job = dict(good, scanType="custom", scanTarget="/volume1") if key == "scanTarget" else dict(good)
                    job[key] = text
                    ok, _ = self.answer("Schedule", "save", scanJobArray=[good, job])
                    self.check_crontab()
                    if ok:
                        loaded = self.ok("Schedule", "load")["scheduleScanJobs"]
                        self.assertEqual(loaded, [dict(good, activated=True), dict(job, activated=True)])
        for number in INT_EDGES:
            with self.subTest(number=number):
                self.answer("Schedule", "save", scanJobArray=[dict(good, activated=number)])
                self.check_crontab()
        self.ok("Schedule", "save", scanJobArray=[])
        self.assertEqual(self.crontab(), OTHER_CRON)

    def test_scan_targets(self):
        for text in HOSTILE_TEXTS:
            with self.subTest(text=text[:40]):
                self.answer("Scan", "start_custom", scanTarget=[text, "/volume1"])
        for number in INT_EDGES:
            self.answer("Scan", "start_custom", scanTarget=[number])
        self.answer("Scan", "stop")
        self.answer("Scan", "ack_result")


if __name__ == "__main__":
    unittest.main()
