"""The Settings plug-in over HTTP against the real stand-ins: status summary
and definition update, warning clearing, configuration, file extensions,
white list (also from quarantined items) and the scan schedule."""

import os
import subprocess
import threading
import unittest

from harness import Sandbox, build_dir, wait_until

PKG = "/var/packages/AntiVirus-Zentrel/target"
SCANNER = PKG + "/bin/tavoavscan"
BEGIN = "# BEGIN AntiVirus-Zentrel scheduled scans (written by the package, do not edit)"
END = "# END AntiVirus-Zentrel scheduled scans"
OTHER_CRON = "SHELL=/bin/sh\n\n17 * * * * root cd / && run-parts /etc/cron.hourly\n"


class SettingsE2E(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox().__enter__()
        self.addCleanup(self.sb.__exit__, None, None, None)

    def answer(self, api, method, **params):
        return self.sb.call("TAVO.AntiVirus." + api, method, **params)

    def ok(self, api, method, **params):
        answer = self.answer(api, method, **params)
        self.assertTrue(answer.get("success"), "%s.%s: %r\n%s" % (api, method, answer, self.sb.error_log()))
        return answer.get("data")

    def error(self, api, method, **params):
        answer = self.answer(api, method, **params)
        self.assertFalse(answer.get("success"), "%s.%s: %r" % (api, method, answer))
        return answer["error"]["code"]

    # -- configuration --------------------------------------------------------

    def test_configuration_read_change_and_restore(self):
        defaults = {"virusAction": "quarantine_it", "scanExtensionOnly": False, "updateBeforeScan": True}
        self.assertEqual(self.ok("Config", "get"), defaults)
        changed = {"virusAction": "do_nothing", "scanExtensionOnly": True, "updateBeforeScan": False}
        self.ok("Config", "set", config=changed)
        self.assertEqual(self.ok("Config", "get"), changed)
        self.assertIn("defaultOp=0", self.sb.path(PKG + "/etc/tavoav.conf").read_text())

        self.ok("Config", "set", config=dict(changed, virusAction="delete_it"))
        self.assertEqual(self.ok("Config", "get")["virusAction"], "quarantine_it")
        self.assertEqual(self.error("Config", "set", config=dict(changed, scanExtensionOnly=1)), 120)
        self.assertEqual(self.error("Config", "set", config="x"), 114)
        self.assertEqual(self.ok("Config", "get")["scanExtensionOnly"], True)

        self.ok("Config", "restore_default")
        self.assertEqual(self.ok("Config", "get"), defaults)

    # -- file extensions ------------------------------------------------------

    def test_file_extensions(self):
        data = self.ok("FileExt", "load", start=0, limit=1000)
        names = [e["extension"] for e in data["extensionList"]]
        self.assertEqual(data["itemCount"], len(names))
        self.assertIn("exe", names)
        self.assertEqual(self.ok("FileExt", "add", extension="xyz"), {"recordEffected": 1})
        self.assertEqual(self.ok("FileExt", "add", extension="xyz"), {"recordEffected": 0})
        count = data["itemCount"] + 1
        page = self.ok("FileExt", "load", start=count - 1, limit=5)
        self.assertEqual(page, {"extensionList": [{"ID": count - 1, "extension": "xyz"}], "itemCount": count})
        self.assertEqual(self.error("FileExt", "add", extension="a\nb"), 117)
        self.assertEqual(self.error("FileExt", "delete", extensionToBeDelete=["xyz", "nosuch"]), 117)
        self.assertEqual(self.ok("FileExt", "load", start=0, limit=0)["itemCount"], count - 1)
        self.assertEqual(self.error("FileExt", "delete", extensionToBeDelete=[1]), 120)
        self.assertEqual(self.error("FileExt", "load", start=0, limit=2 ** 31), 120)

    # -- white list -----------------------------------------------------------

    def test_white_list_pages_adds_and_deletes(self):
        self.assertEqual(self.ok("WhiteList", "load", start=0, limit=10), {"whiteList": [], "itemCount": 0})
        entries = ["/volume1/f%d" % i for i in range(5)]
        self.ok("WhiteList", "add", listToBeAdd=entries)
        page = self.ok("WhiteList", "load", start=2, limit=2)
        self.assertEqual(page, {"whiteList": [{"ID": 2, "filepath": entries[2]}, {"ID": 3, "filepath": entries[3]}],
                                "itemCount": 5})
        self.assertEqual(self.ok("WhiteList", "load", start=-1, limit=2)["whiteList"],
                         [{"ID": 0, "filepath": entries[0]}])
        self.assertEqual(self.sb.path(PKG + "/etc/whitelist").read_text(), "".join(e + "\n" for e in entries))

        self.assertEqual(self.error("WhiteList", "add", listToBeAdd=["/volume1/x\n/volume1/y", "/volume1/g"]), 117)
        self.assertEqual(self.error("WhiteList", "delete", listToBeDelete=[entries[0], "/nosuch"]), 117)
        self.assertEqual(self.error("WhiteList", "delete", listToBeDelete=[entries[1], 5, entries[2]]), 120)
        left = [e["filepath"] for e in self.ok("WhiteList", "load", start=0, limit=100)["whiteList"]]
        self.assertEqual(left, entries[2:] + ["/volume1/g"])
        self.assertEqual(self.error("WhiteList", "load", start=2 ** 31, limit=1), 120)
        self.assertEqual(self.error("WhiteList", "load", start="0", limit=1), 114)

    def test_add_quarantined_items_to_the_white_list(self):
        paths = ["/volume1/docs/a.exe", "/volume2/b.exe"]
        for path in paths:
            real = self.sb.path(path)
            real.parent.mkdir(parents=True, exist_ok=True)
            real.write_text("infected")
        seed = subprocess.run([str(build_dir() / "bin" / "tavo-quarantine-seed"), "Eicar-Test"] + paths,
                              env=dict(os.environ, TAVO_ROOT=str(self.sb.root)), capture_output=True, text=True,
                              timeout=60)
        self.assertEqual(seed.returncode, 0, seed.stderr)
        items = self.sb.call("TAVO.AntiVirus.Quarantine", "load", start=0, limit=10)["data"]["quarantineArray"]
        self.assertEqual(len(items), 2)
        self.ok("WhiteList", "add_quarantined", volumes=[i["volumePath"] for i in items] + ["/volume1"],
                whiteList=[i["renamedName"] for i in items] + ["nosuch", "surplus"])
        listed = [e["filepath"] for e in self.ok("WhiteList", "load", start=0, limit=10)["whiteList"]]
        self.assertEqual(listed, paths)
        # The items stay quarantined.
        self.assertEqual(self.sb.call("TAVO.AntiVirus.Quarantine", "load", start=0, limit=10)["data"]["quarantineCount"], 2)
        self.assertEqual(self.error("WhiteList", "add_quarantined", volumes=[1], whiteList=["x"]), 120)

    # -- schedule -------------------------------------------------------------

    def crontab(self):
        return self.sb.path("/etc/crontab").read_text()

    def test_schedule_save_load_and_crontab(self):
        self.sb.path("/etc").mkdir(parents=True, exist_ok=True)
        self.sb.path("/etc/crontab").write_text(OTHER_CRON)
        self.assertEqual(self.ok("Schedule", "load"), {"scheduleScanJobs": [], "jobCount": 0})
        jobs = [
            {"activated": 1, "triggerTime": "0 3 * * 1", "scanType": "full", "scanTarget": ""},
            {"activated": 0, "triggerTime": "0 4 * * *", "scanType": "system", "scanTarget": ""},
            {"activated": 1, "triggerTime": "30 2 1,15 * *", "scanType": "custom",
             "scanTarget": "/volume1/docs:/volume2/a b"},
        ]
        self.ok("Schedule", "save", scanJobArray=jobs)
        loaded = self.ok("Schedule", "load")
        self.assertEqual(loaded["jobCount"], 3)
        self.assertEqual(loaded["scheduleScanJobs"], [dict(j, activated=bool(j["activated"])) for j in jobs])

        text = self.crontab()
        self.assertTrue(text.startswith(OTHER_CRON), text)
        block = text[len(OTHER_CRON):].splitlines()
        self.assertEqual(block[0], BEGIN)
        self.assertEqual(block[1], "0 3 * * 1 root " + SCANNER + " --all")
        self.assertRegex(block[2], r"^30 2 1,15 \* \* root " + SCANNER + r" -f " + PKG + r"/tmp/\S+$")
        self.assertEqual(block[3:], [END])
        file_list = self.sb.path(block[2].split(" -f ")[1]).read_bytes()
        self.assertIn(b"/volume1/docs\0", file_list)
        self.assertIn(b"/volume2/a b\0", file_list)

        # A hostile job stops the save after the jobs before it; the crontab stays.
        hostile = {"activated": 1, "triggerTime": "* * * * * root /bin/sh -c id #", "scanType": "full",
                   "scanTarget": ""}
        self.assertEqual(self.error("Schedule", "save", scanJobArray=[jobs[0], hostile]), 117)
        self.assertEqual(self.crontab(), text)
        self.assertEqual(self.ok("Schedule", "load")["jobCount"], 1)
        self.assertEqual(self.error("Schedule", "save", scanJobArray=[jobs[0], dict(jobs[1], activated="1")]), 120)

        self.ok("Schedule", "save", scanJobArray=[])
        self.assertEqual(self.crontab(), OTHER_CRON)
        self.assertEqual(self.error("Schedule", "save", scanJobArray={}), 114)

    # -- status summary, update, warnings -------------------------------------

    def test_update_goes_through_updating_to_secure(self):
        info = self.ok("General", "get_sys_info")
        self.assertEqual(info["sysStatus"], "installvirusdef")
        self.assertEqual(info["lastUpdate"], "Unknown")
        self.assertEqual(info["updaterStatus"], "obsolete")
        self.assertEqual(info["quarantineCount"], 0)
        self.assertEqual(set(info["button"]), {"isPaused", "isPauseDisabled", "isStopDisabled", "isClearDisabled",
                                               "isReProcessDisabled", "isAckDisabled"})

        # A mirror the stand-in copies slowly (2 MiB at 512 KiB/s), so the
        # update is still running when the three-second answer comes.
        mirror = self.sb.path(PKG + "/mirror")
        mirror.mkdir(parents=True, exist_ok=True)
        # 512 + 2 MiB of hash signatures (64-byte lines): the update loads
        # what it installs, so the set must be one the engine takes.
        (mirror / "main.hdb").write_bytes(b"".join(b"%032x:68:Pad-Signature-%013d\n" % (i, i)
                                                   for i in range((512 + (2 << 20)) // 64)))
        (mirror / "daily.hdb").write_text("44d88612fea8a8f36de82e1278abb02f:68:Eicar-Test-Signature\n")
        conf = self.sb.path(PKG + "/etc/tavoav.conf")
        conf.write_text("updateRateKBps=512\n")
        # The update checks the set with the package's scanner program.
        self.sb.path(SCANNER).symlink_to(build_dir() / "bin" / "tavoavscan")

        seen = []
        stop = threading.Event()

        def watch():
            while not stop.is_set():
                data = self.sb.call("TAVO.AntiVirus.General", "get_sys_info").get("data") or {}
                seen.append((data.get("sysStatus"), data.get("downloadSizeTotal"), data.get("downloadSizeNow")))
                stop.wait(0.2)

        watcher = threading.Thread(target=watch)
        watcher.start()
        try:
            self.assertEqual(self.answer("General", "update"), {"success": True})
            wait_until(lambda: any(s[0] == "updating" for s in seen), timeout=30)
            done = wait_until(lambda: self.ok("General", "get_sys_info")["sysStatus"] == "secure", timeout=60)
        finally:
            stop.set()
            watcher.join()
        self.assertTrue(done, seen)
        updating = [s for s in seen if s[0] == "updating"]
        self.assertTrue(updating, seen)
        total = str(512 + (2 << 20) + len((mirror / "daily.hdb").read_bytes()))
        self.assertTrue(all(s[1] == total for s in updating if s[1] != "0"), updating)

        info = self.ok("General", "get_sys_info")
        self.assertRegex(info["lastUpdate"], r"^\d{4}-\d\d-\d\d \d\d:\d\d$")
        self.assertEqual(info["updaterStatus"], "latest")
        self.assertEqual(info["downloadSizeNow"], total)
        self.assertTrue(self.sb.path(PKG + "/defs/daily.hdb").exists())
        self.assertEqual(self.sb.path(PKG + "/.tavoavtmp").read_text().count("browserLanguage="), 1)

    def test_clear_warning(self):
        self.assertIsNone(self.ok("General", "clear_warning", ignored=1))
        self.assertTrue(self.ok("General", "get_sys_info")["button"]["isClearDisabled"])


if __name__ == "__main__":
    unittest.main()
