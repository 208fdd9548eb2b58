"""Browser test of what the dashboard says about outcomes and errors, and of
its small-screen layout and accessibility (tests/browser/outcomes.cjs, CTest browser.outcomes), on a
served sandbox with the demo volumes; the scans are real scanner runs.

When the build has the History plug-in, the History page, the history's
reasons and the audit entries are required too; without it the page's
fallbacks on the four specified APIs are checked.

Environment as for dashboard_test.py."""

import os
import subprocess
import sys
import unittest

from harness import Sandbox
from dashboard_test import SOURCE, install_scanner, run_journey, serve_page


class OutcomesInBrowser(unittest.TestCase):
    def test_outcomes_errors_layout(self):
        # Slow enough that pause and stop meet a running scan.
        with Sandbox(env={"TAVOAVSCAN_FILE_DELAY_MS": "700"}) as sb:
            serve_page(sb)
            subprocess.run([sys.executable, str(SOURCE / "scripts" / "seed-demo"), str(sb.root)], check=True)
            self.assertTrue(install_scanner(sb), "the scanner program is built")
            history = (sb.build / "plugins" / "TAVO.AntiVirus.History.so").exists()
            run_journey(self, sb, "outcomes.cjs", {"SANDBOX_ROOT": str(sb.root),
                                                   "TAVO_BUILD_DIR": str(sb.build),
                                                   "REQUIRE_HISTORY": "1" if history else "0"})
            # The schedule the page refused was never stored.
            jobs = sb.call("TAVO.AntiVirus.Schedule", "load")["data"]["scheduleScanJobs"]
            self.assertFalse([j for j in jobs if j["triggerTime"] in ("0 25 * * *", "0 3 * * *")], jobs)
            ext = sb.call("TAVO.AntiVirus.FileExt", "load", start=0, limit=1000)["data"]["extensionList"]
            self.assertNotIn("tar.gz", [e["extension"] for e in ext])


if __name__ == "__main__":
    unittest.main()
