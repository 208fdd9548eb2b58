"""TAVO.AntiVirus.Quarantine over HTTP: two volumes seeded with items,
listed in pages, deleted and restored one by one and all at once."""

import os
import subprocess
import unittest

from harness import Sandbox, build_dir, wait_until

API = "TAVO.AntiVirus.Quarantine"
WHITELIST = "/var/packages/AntiVirus-Zentrel/target/etc/whitelist"
SEED = {
    "/volume1": ["/docs/a.exe", "/docs/b.exe", "/c.exe"],
    "/volume2": ["/media/d.exe", "/media/sub/e.exe", "/f.exe", "/g.exe"],
}


class QuarantineE2E(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox().__enter__()
        self.addCleanup(self.sb.__exit__, None, None, None)
        paths = []
        for volume, files in SEED.items():
            for rel in files:
                real = self.sb.path(volume + rel)
                real.parent.mkdir(parents=True, exist_ok=True)
                real.write_text("content of " + volume + rel)
                paths.append(volume + rel)
        env = dict(os.environ, TAVO_ROOT=str(self.sb.root))
        seed = subprocess.run([str(build_dir() / "bin" / "tavo-quarantine-seed"), "Eicar-Test"] + paths,
                              env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(seed.returncode, 0, seed.stderr)
        self.all_paths = paths

    def ok(self, method, **params):
        answer = self.sb.call(API, method, **params)
        self.assertTrue(answer.get("success"), "%s: %r\n%s" % (method, answer, self.sb.error_log()))
        return answer.get("data")

    def error(self, method, **params):
        answer = self.sb.call(API, method, **params)
        self.assertFalse(answer.get("success"), "%s: %r" % (method, answer))
        return answer["error"]["code"]

    def listing(self):
        return self.ok("load", start=0, limit=1000)

    def run_task(self, method, **params):
        started = self.ok(method, **params)
        task_id = started["task_id"]
        status = wait_until(lambda: (lambda s: s if s["finished"] else None)(self.ok("task_status", task_id=task_id)),
                            timeout=60)
        self.assertTrue(status, "task %s did not finish" % task_id)
        return status

    def test_listing_pages_over_both_volumes(self):
        data = self.listing()
        self.assertEqual(data["quarantineCount"], 7)
        items = data["quarantineArray"]
        self.assertEqual([i["originalPath"] for i in items], self.all_paths)
        first = items[0]
        self.assertEqual(first["volumePath"], "/volume1")
        self.assertEqual(first["threat"], "Eicar-Test")
        self.assertEqual(first["sharePath"], "volume1/@tavoav_quarantine")
        self.assertEqual(items[3]["sharePath"], "volume2/@tavoav_quarantine")
        self.assertRegex(first["quarantineTime"], r"^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d$")
        for item in items:
            self.assertFalse(self.sb.path(item["originalPath"]).exists())
            stored = self.sb.path(item["volumePath"] + "/@tavoav_quarantine/" + item["renamedName"])
            self.assertEqual(stored.read_text(), "content of " + item["originalPath"])

        pages = []
        for start in (0, 3, 6, 9):
            page = self.ok("load", start=start, limit=3)
            self.assertEqual(page["quarantineCount"], 7)
            pages.append([i["renamedName"] for i in page["quarantineArray"]])
        self.assertEqual([len(p) for p in pages], [3, 3, 1, 0])
        self.assertEqual(sum(pages, []), [i["renamedName"] for i in items])

        self.assertEqual(self.error("load", start=2 ** 31, limit=3), 120)
        self.assertEqual(self.error("load", start="0", limit=3), 114)

    def test_delete_and_restore_selected_items(self):
        items = self.listing()["quarantineArray"]
        a, d = items[0], items[3]
        data = self.ok("delete_list", volumes=["/volume1", "/volume2"], deleteNames=[a["renamedName"], d["renamedName"]])
        self.assertEqual(data, {"failArray": [], "failCount": 0})
        self.assertFalse(self.sb.path("/volume1/@tavoav_quarantine/" + a["renamedName"]).exists())
        self.assertEqual(self.listing()["quarantineCount"], 5)

        # One destination is taken again, the other one's folder is gone.
        b, e = items[1], items[4]
        self.sb.path(b["originalPath"]).write_text("new b")
        self.sb.path("/volume2/media/sub").rmdir()
        data = self.ok("restore_list", volumes=["/volume1", "/volume2"],
                       restoreNames=[b["renamedName"], e["renamedName"]])
        self.assertEqual(data["failCount"], 1)
        record = data["failArray"][0]
        self.assertEqual(record, {"originalPath": b["originalPath"], "volumePath": "/volume1",
                                  "renamedName": b["renamedName"], "threat": "Eicar-Test",
                                  "time": b["quarantineTime"], "reason": 7,
                                  "sharePath": "volume1/@tavoav_quarantine"})
        self.assertEqual(self.sb.path(b["originalPath"]).read_text(), "new b")
        self.assertEqual(self.sb.path(e["originalPath"]).read_text(), "content of " + e["originalPath"])
        left = [i["renamedName"] for i in self.listing()["quarantineArray"]]
        self.assertEqual(left, [b["renamedName"], items[2]["renamedName"], items[5]["renamedName"],
                                items[6]["renamedName"]])

        # A name that is not in the quarantine is skipped; a wrong-typed pair is refused.
        self.assertEqual(self.ok("delete_list", volumes=["/volume1"], deleteNames=["../docs"]),
                         {"failArray": [], "failCount": 0})
        self.assertEqual(self.error("delete_list", volumes=["/volume1", 5], deleteNames=[b["renamedName"], "x"]), 120)
        self.assertEqual(self.listing()["quarantineCount"], 3)  # the first pair was done
        self.assertEqual(self.error("restore_list", volumes=[], deleteNames=[]), 114)

    def test_restore_all_then_delete_all_as_tasks(self):
        items = self.listing()["quarantineArray"]
        taken = items[5]
        self.sb.path(taken["originalPath"]).write_text("taken")

        status = self.run_task("task_restore_all", addToWhiteList=True)
        self.assertTrue(status["success"], status)
        self.assertEqual(status["data"]["failCount"], 1)
        self.assertEqual(status["data"]["failArray"][0]["renamedName"], taken["renamedName"])
        self.assertEqual(status["data"]["failArray"][0]["reason"], 7)
        restored = [i["originalPath"] for i in items if i is not taken]
        for path in restored:
            self.assertEqual(self.sb.path(path).read_text(), "content of " + path)
        white = self.sb.path(WHITELIST).read_text().splitlines()
        self.assertEqual(sorted(set(white) & set(self.all_paths)), sorted(restored))
        self.assertEqual(self.listing()["quarantineCount"], 1)

        # Without a boolean flag the task ends with 114 and restores nothing.
        status = self.run_task("task_restore_all", addToWhiteList="yes")
        self.assertFalse(status["success"])
        self.assertEqual(status["error"]["code"], 114)

        status = self.run_task("task_delete_all")
        self.assertTrue(status["success"], status)
        self.assertEqual(status["data"], {"failArray": [], "failCount": 0})
        self.assertEqual(self.listing(), {"quarantineArray": [], "quarantineCount": 0})
        self.assertEqual(self.sb.path(taken["originalPath"]).read_text(), "taken")

    def test_task_status_stop_and_retry_codes(self):
        self.assertEqual(self.error("task_status", task_id=""), 120)
        self.assertEqual(self.error("task_status", task_id=3), 114)
        self.assertEqual(self.error("task_status", task_id="no_such_task"), 117)
        self.assertEqual(self.error("task_stop", task_id="no_such_task"), 117)
        # Nothing failed to move: nothing to re-process.
        self.assertIsNone(self.ok("retry"))

    def test_retry_moves_a_failed_item_later(self):
        # A file where volume3's quarantine folder belongs: the move fails.
        blocker = self.sb.path("/volume3/@tavoav_quarantine")
        blocker.parent.mkdir()
        blocker.write_text("in the way")
        self.sb.path("/volume3/h.exe").write_text("h")
        env = dict(os.environ, TAVO_ROOT=str(self.sb.root))
        seed = subprocess.run([str(build_dir() / "bin" / "tavo-quarantine-seed"), "Worm", "/volume3/h.exe"],
                              env=env, capture_output=True, text=True, timeout=60)
        self.assertEqual(seed.returncode, 2, seed.stderr)  # AVQ_ERR_DIR_NOT_FOUND
        self.assertEqual(self.listing()["quarantineCount"], 7)

        blocker.unlink()
        self.assertIsNone(self.ok("retry"))
        moved = wait_until(lambda: self.listing()["quarantineCount"] == 8, timeout=60)
        self.assertTrue(moved, self.sb.error_log())
        last = self.listing()["quarantineArray"][-1]
        self.assertEqual((last["originalPath"], last["threat"]), ("/volume3/h.exe", "Worm"))
        self.assertFalse(self.sb.path("/volume3/h.exe").exists())


if __name__ == "__main__":
    unittest.main(verbosity=2)
