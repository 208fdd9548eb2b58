"""The Event log over HTTP: paging with filters, deleting by ID and by
category and module, refused values, and the export download."""

import json
import re
import shutil
import sqlite3
import unittest

from harness import Sandbox

API = "TAVO.AntiVirus.Log"
REPORT_DB = "/var/packages/AntiVirus-Zentrel/target/.report"
HEADING = " ID Category Module   Event                                                        Date\r\n"

ROWS = [
    (1, "info", "scan", "Scan started", "2026-12-01 08:00:00"),
    (2, "warning", "scan", "Threat found: /volume1/a.exe", "2026-12-01 08:05:00"),
    (3, "error", "update", "Update failed", "2026-12-01 07:00:00"),
    (4, "info", "quarantine", "Moved to quarantine", "2026-12-01 09:00:00"),
    (5, "info", "scan", "Scan finished", "2026-12-01 08:30:00"),
    (6, "info", "update", "Definitions updated", "2026-12-01 10:00:00"),
]
ALL_CATEGORIES = ["info", "warning", "error"]
ALL_MODULES = ["scan", "update", "quarantine", "config", "schedule"]


class LogTest(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox().__enter__()
        self.addCleanup(self.sb.__exit__, None, None, None)
        # An empty delete opens the database through the service, which
        # creates the table.
        self.assertEqual(self.sb.call(API, "delete", data=[]), {"success": True})
        with sqlite3.connect(str(self.sb.path(REPORT_DB))) as db:
            db.executemany("INSERT INTO report (id, class, module, eventText, logTime) VALUES (?,?,?,?,?)", ROWS)

    def ids(self):
        with sqlite3.connect(str(self.sb.path(REPORT_DB))) as db:
            return [r[0] for r in db.execute("SELECT id FROM report ORDER BY id")]

    def load(self, categories, modules, start=0, limit=50, **extra):
        return self.sb.call(API, "load", start=start, limit=limit, categories=categories, modules=modules, **extra)

    def test_load_page_with_filters_and_sorting(self):
        answer = self.load(["info", "warning"], ["scan"])
        self.assertTrue(answer["success"], answer)
        self.assertEqual([r["ID"] for r in answer["data"]["reportArray"]], ["5", "2", "1"])
        self.assertEqual(answer["data"]["reportCount"], 3)
        self.assertEqual(answer["data"]["reportArray"][1],
                         {"ID": "2", "category": "warning", "module": "scan",
                          "eventContent": "Threat found: /volume1/a.exe", "date": "2026-12-01 08:05:00"})

        answer = self.load(ALL_CATEGORIES, ALL_MODULES, start=1, limit=2, sort="date", dir="ASC")
        self.assertEqual([r["ID"] for r in answer["data"]["reportArray"]], ["1", "2"])
        self.assertEqual(answer["data"]["reportCount"], 6)

        answer = self.sb.post(API, "load", start=0, limit=50, categories=["info"], modules=["update"],
                              dir="asc")
        self.assertEqual([r["ID"] for r in answer["data"]["reportArray"]], ["6"])

    def test_refused_parameters(self):
        self.assertEqual(self.sb.call(API, "load", start=0, limit=5, categories=[]),
                         {"success": False, "error": {"code": 114}})
        self.assertEqual(self.load(["info", 1], ALL_MODULES), {"success": False, "error": {"code": 120}})
        self.assertEqual(self.load(ALL_CATEGORIES, ALL_MODULES, start=2 ** 31),
                         {"success": False, "error": {"code": 120}})
        for value in ['"', "'", ") OR 1=1 --", "class", "Module", "ROWID"]:
            self.assertEqual(self.load([value], ALL_MODULES)["error"]["code"], 120, value)
            self.assertEqual(self.sb.call(API, "delete_advanced", categories=ALL_CATEGORIES,
                                          modules=[value])["error"]["code"], 120, value)
        for value in ['"', "'", ") OR 1=1 --", "1 OR 1=1", "class", "ROWID"]:
            self.assertEqual(self.sb.call(API, "delete", data=[value])["error"]["code"], 120, value)
        self.assertEqual(self.ids(), [1, 2, 3, 4, 5, 6])

    def test_delete_by_id_and_by_category_and_module(self):
        self.assertEqual(self.sb.call(API, "delete", data=["2", "5", "77"]), {"success": True})
        self.assertEqual(self.ids(), [1, 3, 4, 6])
        # Stops at the element that is not an ID; the earlier one is gone.
        self.assertEqual(self.sb.call(API, "delete", data=["1", "1 OR 1=1", "3"]),
                         {"success": False, "error": {"code": 120}})
        self.assertEqual(self.ids(), [3, 4, 6])

        self.assertEqual(self.sb.post(API, "delete_advanced", categories=["info", "error"], modules=["update"]),
                         {"success": True})
        self.assertEqual(self.ids(), [4])
        self.assertEqual(self.sb.call(API, "delete_advanced", categories=["info"], modules=[]), {"success": True})
        self.assertEqual(self.ids(), [4])

    def test_export_download(self):
        self.assertEqual(self.sb.call(API, "delete", data=["1", "2", "3"]), {"success": True})
        status, headers, body = self.sb.raw("api=TAVO.AntiVirus.Log&version=1&method=export")
        self.assertEqual(status, 200)
        self.assertEqual(headers.get("content-type"), "application/octet-stream")
        self.assertRegex(headers.get("content-disposition", ""),
                         r'^attachment; filename="AVLog_\d{4}-\d{1,2}-\d{1,2}-\d{1,2}:\d{1,2}:\d{1,2}\.txt"$')
        self.assertEqual(body.decode(), HEADING
                         + "  1 info     update   %-60s 2026-12-01 10:00:00\r\n" % "Definitions updated"
                         + "  2 info     scan     %-60s 2026-12-01 08:30:00\r\n" % "Scan finished"
                         + "  3 info     quarantine %-60s 2026-12-01 09:00:00\r\n" % "Moved to quarantine")
        name = re.search(r'filename="(.*)"', headers["content-disposition"]).group(1)
        self.assertNotRegex(name, r"[-:]0\d")

    def test_export_of_an_empty_log(self):
        self.assertEqual(self.sb.call(API, "delete_advanced", categories=ALL_CATEGORIES, modules=ALL_MODULES),
                         {"success": True})
        status, headers, body = self.sb.raw("api=TAVO.AntiVirus.Log&version=1&method=export")
        self.assertEqual(status, 200)
        self.assertEqual(headers.get("content-type"), "application/octet-stream")
        self.assertEqual(body.decode(), HEADING)

    def test_export_with_a_failed_connection(self):
        # The header lines are already out; the host's error answer follows as the body.
        package = self.sb.path("/var/packages/AntiVirus-Zentrel")
        shutil.rmtree(str(package))
        package.write_text("not a folder")
        status, headers, body = self.sb.raw("api=TAVO.AntiVirus.Log&version=1&method=export")
        self.assertEqual(headers.get("content-type"), "application/octet-stream")
        self.assertIn("content-disposition", headers)
        self.assertEqual(json.loads(body.decode()), {"success": False, "error": {"code": 117}})


if __name__ == "__main__":
    unittest.main()
