"""The administrator's whole journey over HTTP, on the demo sandbox with the
real scanner: a full scan finds the test files, the dashboard follows it, the
result is acknowledged, the quarantine holds the detections, one is put on the
white list and restored, a custom scan of it finds nothing, and the event log
and its export tell the story in order."""

import os
import pathlib
import subprocess
import time
import unittest

from harness import Sandbox, build_dir, wait_until

REPO = pathlib.Path(__file__).resolve().parents[2]
SCANNER = "/var/packages/AntiVirus-Zentrel/target/bin/tavoavscan"
THREAT = "Eicar-Test-Signature"
DETECTED = [
    "/volume1/downloads/eicar-archive.zip",
    "/volume1/downloads/eicar.com",
    "/volume2/backup/old-mail/invoice.txt",
    "/volume2/media/free-codec.exe",
]


def install_scanner(sb):
    """Puts the built scanner at the package's scanner path (a link into the build)."""
    target = sb.path(SCANNER)
    target.parent.mkdir(parents=True, exist_ok=True)
    if target.exists() or target.is_symlink():
        target.unlink()
    target.symlink_to(build_dir() / "bin" / "tavoavscan")


class JourneyTest(unittest.TestCase):
    def setUp(self):
        # A slow disk, so that the dashboard catches the scan while it runs.
        self.sb = Sandbox(env={"TAVOAVSCAN_FILE_DELAY_MS": "150"}).__enter__()
        self.addCleanup(self.sb.__exit__, None, None, None)
        install_scanner(self.sb)
        seed = subprocess.run([str(REPO / "scripts" / "seed-demo"), str(self.sb.root)],
                              capture_output=True, text=True)
        self.assertEqual(seed.returncode, 0, seed.stderr)

    def ok(self, api, method, **params):
        answer = self.sb.call("TAVO.AntiVirus." + api, method, **params)
        self.assertTrue(answer.get("success"), (api, method, answer, self.sb.error_log()))
        return answer.get("data")

    def sys_info(self):
        return self.ok("General", "get_sys_info")

    def wait_status(self, wanted, seen=None):
        def check():
            info = self.sys_info()
            if seen is not None:
                seen.append(info)
            return info if info["sysStatus"] in wanted else None
        info = wait_until(check, timeout=120, interval=0.05)
        self.assertIsNotNone(info, "no %s; last states: %s" % (wanted, [s["sysStatus"] for s in (seen or [])][-5:]))
        return info

    def log(self):
        rows = self.ok("Log", "load", start=0, limit=500, sort="ID", dir="ASC",
                       categories=["info", "warning", "error"],
                       modules=["scan", "update", "quarantine", "config", "schedule"])["reportArray"]
        return [(r["category"], r["module"], r["eventContent"]) for r in rows]

    def assertInOrder(self, events, expected):
        position = 0
        for item in expected:
            try:
                position = events.index(item, position) + 1
            except ValueError:
                self.fail("%r not found in order in %r" % (item, events))

    def test_journey(self):
        sb = self.sb
        self.assertEqual(self.sys_info()["sysStatus"], "installvirusdef")
        self.assertTrue(self.ok("Config", "get")["updateBeforeScan"])

        # A full scan: the dashboard shows it running, then the infected result.
        self.assertIsNone(self.ok("Scan", "start_full"))
        seen = []
        running = self.wait_status({"scanning"}, seen)
        self.assertFalse(running["button"]["isStopDisabled"])
        done = self.wait_status({"infected"}, seen)
        scanning = [s for s in seen if s["sysStatus"] == "scanning"]
        counts = [int(s["scan"]["scanned"]) for s in scanning]
        self.assertEqual(counts, sorted(counts), "the counters never go back")
        self.assertEqual(done["scan"], {"scanned": "14", "processed": "4", "failed": "0"})
        self.assertEqual(done["scanFileCountTotal"], "14")
        self.assertEqual(done["quarantineCount"], 4)
        self.assertEqual(done["procFailCount"], 0)
        self.assertFalse(done["button"]["isAckDisabled"])
        self.assertNotEqual(done["lastUpdate"], "Unknown")
        self.assertEqual(done["updaterStatus"], "latest")
        for path in DETECTED:
            self.assertFalse(sb.path(path).exists(), path)
        self.assertTrue(sb.path("/volume1/documents/budget.csv").exists())

        self.assertIsNone(self.ok("Scan", "ack_result"))
        self.assertEqual(self.sys_info()["sysStatus"], "secure")

        # The quarantine lists exactly the detections.
        listing = self.ok("Quarantine", "load", start=0, limit=50)
        self.assertEqual(listing["quarantineCount"], 4)
        items = {i["originalPath"]: i for i in listing["quarantineArray"]}
        self.assertEqual(sorted(items), DETECTED)
        self.assertEqual({i["threat"] for i in items.values()}, {THREAT})

        # One is trusted after all: white-listed from the quarantine, then restored.
        item = items["/volume1/downloads/eicar.com"]
        self.assertEqual(item["volumePath"], "/volume1")
        self.ok("WhiteList", "add_quarantined", volumes=["/volume1"], whiteList=[item["renamedName"]])
        whitelist = self.ok("WhiteList", "load", start=0, limit=10)
        self.assertEqual([w["filepath"] for w in whitelist["whiteList"]], ["/volume1/downloads/eicar.com"])
        self.ok("Quarantine", "restore_list", volumes=["/volume1"], restoreNames=[item["renamedName"]])
        self.assertTrue(sb.path("/volume1/downloads/eicar.com").exists())
        self.assertEqual(self.ok("Quarantine", "load", start=0, limit=50)["quarantineCount"], 3)

        # A custom scan of the restored file finds nothing.
        self.assertIsNone(self.ok("Scan", "start_custom", scanTarget=["/volume1/downloads/eicar.com"]))
        custom = self.wait_status({"completed", "infected"})
        self.assertEqual(custom["sysStatus"], "completed")
        self.assertEqual(custom["scan"]["processed"], "0")
        self.assertTrue(sb.path("/volume1/downloads/eicar.com").exists())
        self.assertIsNone(self.ok("Scan", "ack_result"))
        self.assertEqual(self.sys_info()["sysStatus"], "secure")

        # The log tells it in order.
        expected = [("info", "scan", "Scan started (full scan)"),
                    ("info", "update", "Virus definitions updated")]
        for path in DETECTED:
            expected += [("warning", "scan", "Virus found: %s (%s)" % (path, THREAT)),
                         ("info", "quarantine", "Moved to quarantine: %s (%s)" % (path, THREAT))]
        expected += [("info", "scan", "Scan finished (full scan): 14 files scanned, 4 infected, "
                                      "4 moved to quarantine, 0 failed to move, 0 errors"),
                     ("info", "scan", "Scan started (custom scan)"),
                     ("info", "scan", "Scan finished (custom scan): 0 files scanned, 0 infected, "
                                      "0 moved to quarantine, 0 failed to move, 0 errors")]
        events = self.log()
        self.assertInOrder(events, expected)
        self.assertFalse([e for e in events if e[0] == "error"], events)

        # The export holds the same events.
        status, headers, body = sb.raw("api=TAVO.AntiVirus.Log&version=1&method=export")
        self.assertEqual(status, 200)
        self.assertIn("attachment", headers.get("content-disposition", ""))
        text = body.decode()
        for _, _, event in expected:
            self.assertIn(event, text)


if __name__ == "__main__":
    unittest.main()
