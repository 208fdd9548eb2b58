"""Soak: many concurrent HTTP clients against lighttpd for a bounded time
(TAVO_SOAK_SECONDS, 30 by default), mixing reads with white-list adds and
removals, log deletions and quarantine deletions.

Afterwards every acknowledged change is present, every refused one absent,
no request failed (a lock never turns a request away), and no process of
the sandbox is left behind."""

import os
import random
import sqlite3
import subprocess
import threading
import time
import unittest

from harness import Sandbox, build_dir, wait_until, _processes_with_env, _alive, _is_warm_parent

PKG = "/var/packages/AntiVirus-Zentrel/target"
REPORT_DB = PKG + "/.report"
CLIENTS = int(os.environ.get("TAVO_SOAK_CLIENTS", "8"))
SECONDS = float(os.environ.get("TAVO_SOAK_SECONDS", "30"))
ROWS_PER_CLIENT = 200
ITEMS_PER_CLIENT = 6
CATS, MODS = ["info", "warning", "error"], ["scan", "update", "quarantine"]


class Client(threading.Thread):
    def __init__(self, sb, index, deadline, items):
        super().__init__(name="client-%d" % index)
        self.sb, self.index, self.deadline = sb, index, deadline
        self.random = random.Random(index)
        self.items = list(items)              # (volumePath, renamedName) this client may delete
        self.log_ids = list(range(index * ROWS_PER_CLIENT + 1, (index + 1) * ROWS_PER_CLIENT + 1))
        self.white_present = set()            # acknowledged adds not removed since
        self.white_removed = set()            # acknowledged removals
        self.refused = []                     # (what, answer)
        self.deleted_ids, self.deleted_items = set(), set()
        self.requests = 0
        self.failures = []                    # answers that were not a success
        self.next_entry = 0

    def call(self, api, method, **params):
        self.requests += 1
        try:
            answer = self.sb.call("TAVO.AntiVirus." + api, method, **params)
        except Exception as exc:  # a broken answer counts as a failure
            answer = {"success": False, "exception": repr(exc)}
        if answer.get("success") is not True:
            self.failures.append((api, method, answer))
        return answer

    def run(self):
        while time.monotonic() < self.deadline:
            choice = self.random.random()
            if choice < 0.35:
                api, method, params = self.random.choice([
                    ("WhiteList", "load", dict(start=0, limit=100)),
                    ("Log", "load", dict(start=0, limit=50, categories=CATS, modules=MODS)),
                    ("Quarantine", "load", dict(start=0, limit=50)),
                    ("General", "get_sys_info", {}),
                    ("FileExt", "load", dict(start=0, limit=20)),
                ])
                self.call(api, method, **params)
            elif choice < 0.6:
                entry = "/volume1/soak/c%d-%d" % (self.index, self.next_entry)
                self.next_entry += 1
                if self.call("WhiteList", "add", listToBeAdd=[entry]).get("success"):
                    self.white_present.add(entry)
            elif choice < 0.75 and self.white_present:
                entry = self.random.choice(sorted(self.white_present))
                if self.call("WhiteList", "delete", listToBeDelete=[entry]).get("success"):
                    self.white_present.discard(entry)
                    self.white_removed.add(entry)
            elif choice < 0.9 and self.log_ids:
                ids = [self.log_ids.pop() for _ in range(min(5, len(self.log_ids)))]
                if self.call("Log", "delete", data=[str(i) for i in ids]).get("success"):
                    self.deleted_ids.update(ids)
            elif self.items:
                volume, name = self.items.pop()
                answer = self.call("Quarantine", "delete_list", volumes=[volume], deleteNames=[name])
                if answer.get("success") and answer.get("data", {}).get("failCount", 0) == 0:
                    self.deleted_items.add(name)
            else:
                self.call("Quarantine", "load", start=0, limit=50)


class Soak(unittest.TestCase):
    def test_concurrent_clients(self):
        with Sandbox() as sb:
            # The report and the quarantine, seeded before the clients start.
            self.assertEqual(sb.call("TAVO.AntiVirus.Log", "delete", data=[]), {"success": True})
            rows = [(i, CATS[i % 3], MODS[i % 3], "event %d" % i, "2026-12-01 08:00:00")
                    for i in range(1, CLIENTS * ROWS_PER_CLIENT + 1)]
            with sqlite3.connect(str(sb.path(REPORT_DB))) as db:
                db.executemany("INSERT INTO report (id, class, module, eventText, logTime) VALUES (?,?,?,?,?)", rows)
            paths = []
            for c in range(CLIENTS):
                for n in range(ITEMS_PER_CLIENT):
                    path = "/volume%d/soak/c%d-%d.exe" % (1 + n % 2, c, n)
                    real = sb.path(path)
                    real.parent.mkdir(parents=True, exist_ok=True)
                    real.write_text("infected %s" % path)
                    paths.append(path)
            seed = subprocess.run([str(build_dir() / "bin" / "tavo-quarantine-seed"), "Eicar-Test"] + paths,
                                  env=dict(os.environ, TAVO_ROOT=str(sb.root)), capture_output=True, text=True,
                                  timeout=120)
            self.assertEqual(seed.returncode, 0, seed.stderr)
            listing = sb.call("TAVO.AntiVirus.Quarantine", "load", start=0, limit=1000)["data"]["quarantineArray"]
            by_path = {i["originalPath"]: (i["volumePath"], i["renamedName"]) for i in listing}
            self.assertEqual(len(by_path), len(paths))

            deadline = time.monotonic() + SECONDS
            clients = [Client(sb, c, deadline, [by_path[p] for p in paths if "/c%d-" % c in p])
                       for c in range(CLIENTS)]
            for client in clients:
                client.start()
            for client in clients:
                client.join()

            failures = [f for c in clients for f in c.failures]
            self.assertEqual(failures[:10], [], "%d of %d requests failed\n%s" % (
                len(failures), sum(c.requests for c in clients), sb.error_log()[-4000:]))

            # White list: exactly the acknowledged adds that were not removed.
            expected = set().union(*(c.white_present for c in clients))
            data = sb.call("TAVO.AntiVirus.WhiteList", "load", start=0, limit=1000000)["data"]
            listed = {e["filepath"] for e in data["whiteList"]}
            self.assertEqual(listed, expected)
            self.assertEqual(data["itemCount"], len(expected))
            lines = sb.path(PKG + "/etc/whitelist").read_text().splitlines()
            self.assertEqual(sorted(lines), sorted(expected))

            # Report: acknowledged deletions gone, every other seeded row kept
            # (the clients' changes add audit events of their own).
            deleted = set().union(*(c.deleted_ids for c in clients))
            with sqlite3.connect(str(sb.path(REPORT_DB))) as db:
                left = {r[0] for r in db.execute("SELECT id FROM report WHERE id <= ?", (len(rows),))}
            self.assertEqual(left, {r[0] for r in rows} - deleted)

            # Quarantine: acknowledged deletions gone, the rest listed.
            gone = set().union(*(c.deleted_items for c in clients))
            listing = sb.call("TAVO.AntiVirus.Quarantine", "load", start=0, limit=1000)["data"]["quarantineArray"]
            self.assertEqual({i["renamedName"] for i in listing}, {n for _, n in by_path.values()} - gone)

            # No process of the sandbox outlives its request (the warm SCGI
            # parent serves them all and lives as long as the server).
            def leftovers():
                return [p for p in _processes_with_env("TAVO_ROOT", sb.root)
                        if _alive(p) and not _is_warm_parent(p)]
            wait_until(lambda: not leftovers(), timeout=20)
            self.assertEqual(leftovers(), [])
            self.assertNotIn("lock", sb.error_log().lower())
            print("soak: %d requests from %d clients in %.0f s; white list %d present, %d removed; "
                  "%d log rows and %d quarantined items deleted" % (
                      sum(c.requests for c in clients), CLIENTS, SECONDS, len(expected),
                      sum(len(c.white_removed) for c in clients), len(deleted), len(gone)))


if __name__ == "__main__":
    unittest.main()
