"""Browser test of the dashboard: a served sandbox driven in headless
Chromium through playwright-core (tests/browser/dashboard.cjs).

The sandbox is seeded with the demo volumes and definitions mirror
(scripts/seed-demo); the scans are real runs of the scanner program.

Environment: TAVO_BUILD_DIR (build folder), NODE_PATH (where playwright-core
is installed), TAVO_BROWSER_ARTIFACTS (screenshots and the export go there),
TAVO_CHROMIUM (default /usr/bin/chromium)."""

import json
import os
import pathlib
import shutil
import subprocess
import sys
import unittest

from harness import Sandbox, PACKAGE_DIR

SOURCE = pathlib.Path(__file__).resolve().parents[2]
WEB = SOURCE / "web"
HERE = pathlib.Path(__file__).resolve().parent


def artifacts_dir():
    path = pathlib.Path(os.environ.get("TAVO_BROWSER_ARTIFACTS",
                                       str(pathlib.Path(os.environ.get("TAVO_BUILD_DIR", "build")) / "browser-artifacts")))
    path.mkdir(parents=True, exist_ok=True)
    return path


def serve_page(sb):
    """Makes sure the sandbox serves web/ at /; the document root is copied
    when the server does not serve the page itself."""
    status, _, body = sb.request("GET", "/index.html")
    if status == 200 and b"Antivirus dashboard" in body:
        return
    www = sb.tmp / "www"
    shutil.copytree(WEB, www, dirs_exist_ok=True)
    status, _, body = sb.request("GET", "/index.html")
    if status != 200:
        raise RuntimeError("the dashboard page is not served: HTTP %d" % status)


def install_scanner(sb):
    """True when the scanner program can run in the sandbox."""
    target = sb.path(PACKAGE_DIR + "/bin/tavoavscan")
    if target.exists():
        return True
    built = sb.build / "bin" / "tavoavscan"
    if not built.exists():
        return False
    target.parent.mkdir(parents=True, exist_ok=True)
    target.symlink_to(built)
    return True


def run_journey(test, sb, script, extra_env):
    env = dict(os.environ)
    env.update({"BASE_URL": "http://127.0.0.1:%d/" % sb.port, "ARTIFACTS": str(artifacts_dir()),
                "CHROMIUM": os.environ.get("TAVO_CHROMIUM", "/usr/bin/chromium")})
    env.update(extra_env)
    proc = subprocess.run(["node", str(HERE / script)], env=env, capture_output=True, text=True, timeout=300)
    sys.stderr.write(proc.stdout + proc.stderr)
    if proc.returncode != 0:
        sys.stderr.write("---- server log ----\n" + sb.error_log()[-6000:])
    test.assertEqual(proc.returncode, 0, "the browser journey %s failed" % script)
    # In a sanitized build the CGI's reports land in the server's error log.
    log = sb.error_log()
    for mark in ("ERROR: AddressSanitizer", "ERROR: LeakSanitizer", "runtime error:"):
        test.assertNotIn(mark, log)


class DashboardInBrowser(unittest.TestCase):
    def test_journey(self):
        out = artifacts_dir()
        for old in out.glob("*"):
            if old.is_file() and not old.name.startswith("controls-"):
                old.unlink()
        # A short pause per file keeps the scan running long enough to be seen.
        with Sandbox(env={"TAVOAVSCAN_FILE_DELAY_MS": "300"}) as sb:
            serve_page(sb)
            subprocess.run([sys.executable, str(SOURCE / "scripts" / "seed-demo"), str(sb.root)], check=True)
            self.assertTrue(install_scanner(sb), "the scanner program is built")
            run_journey(self, sb, "dashboard.cjs", {"SANDBOX_ROOT": str(sb.root)})
            journey = json.loads((out / "journey.json").read_text())

            # What the page did reached the service.
            restored = journey["restoredPath"]
            white = sb.call("TAVO.AntiVirus.WhiteList", "load", start=0, limit=1000)
            self.assertTrue(white["success"], white)
            self.assertIn(restored, [e["filepath"] for e in white["data"]["whiteList"]])
            listing = sb.call("TAVO.AntiVirus.Quarantine", "load", start=0, limit=100)
            self.assertEqual(listing["data"]["quarantineCount"], 0, "restore all emptied the quarantine")
            on_list = [e["filepath"] for e in white["data"]["whiteList"]]
            for path in journey["restoredByTask"]:
                self.assertIn(path, on_list)
                self.assertTrue((sb.root / path.lstrip("/")).exists(), path)
            rel = restored.lstrip("/")
            self.assertTrue((sb.root / rel).exists(), "the restored file is back in place")

        export = (out / journey["exportFile"]).read_text()
        self.assertTrue(journey["exportFile"].startswith("AVLog_") and journey["exportFile"].endswith(".txt"))
        self.assertRegex(export.splitlines()[0], r"^\s*ID\s+Category\s+Module\s+Event\s+Date")
        for name in ("overview", "quarantine", "whitelist", "eventlog"):
            self.assertTrue((out / ("%s.png" % name)).stat().st_size > 0)

    def test_controls_and_settings(self):
        # Slow enough that pause, resume and stop meet a running scan.
        with Sandbox(env={"TAVOAVSCAN_FILE_DELAY_MS": "700"}) as sb:
            serve_page(sb)
            subprocess.run([sys.executable, str(SOURCE / "scripts" / "seed-demo"), str(sb.root)], check=True)
            self.assertTrue(install_scanner(sb), "the scanner program is built")
            run_journey(self, sb, "controls.cjs", {})
            # The page's changes reached the service.
            white = sb.call("TAVO.AntiVirus.WhiteList", "load", start=0, limit=100)["data"]["whiteList"]
            self.assertEqual([e["filepath"] for e in white], ["/volume2/tools/b.exe"])
            jobs = sb.call("TAVO.AntiVirus.Schedule", "load")["data"]["scheduleScanJobs"]
            self.assertIn({"activated": True, "triggerTime": "30 2 * * 0", "scanType": "custom",
                           "scanTarget": "/volume1/documents:/volume2/backup"}, jobs)
            log = sb.call("TAVO.AntiVirus.Log", "load", start=0, limit=1000, modules=["scan", "update",
                          "quarantine", "config", "schedule"], categories=["info"])["data"]
            self.assertGreater(log["reportCount"], 0)
            self.assertEqual(sb.call("TAVO.AntiVirus.Quarantine", "load", start=0, limit=10)["data"]["quarantineCount"], 0)
            log = sb.call("TAVO.AntiVirus.Log", "load", start=0, limit=1000, modules=["update"],
                          categories=["info"])["data"]
            self.assertEqual(log["reportCount"], 0)


if __name__ == "__main__":
    unittest.main()
