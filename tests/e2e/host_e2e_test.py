"""The host under lighttpd, with the host's test plug-in: request forms,
host codes, plug-in output, exceptions, background tasks, command line."""

import json
import os
import unittest
import urllib.parse

from harness import Sandbox, alive, wait_until

PLUGINS = os.environ.get("TAVO_TEST_PLUGIN_DIR", "")
JSON_TYPE = "application/json"


class HostOverHttp(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        if not PLUGINS or not os.path.isdir(PLUGINS):
            raise unittest.SkipTest("test plug-in folder not built: %r" % PLUGINS)
        cls.sb = Sandbox(plugins=PLUGINS).__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.sb.__exit__(None, None, None)

    def answer(self, query, **kw):
        status, headers, body = self.sb.raw(query, **kw)
        self.assertEqual(200, status)
        self.assertEqual(JSON_TYPE, headers.get("content-type"))
        return json.loads(body)

    def test_get_and_post_carry_json_parameters(self):
        params = {"start": 0, "scanTarget": ["/volume1/a b", "/volume2/ü"],
                  "config": {"virusAction": "do_nothing", "n": [1, True, None]}}
        expected = {"success": True, "data": {"lang": "en", "params": params}}
        self.assertEqual(expected, self.sb.call("TAVO.Test", "echo", **params))
        self.assertEqual(expected, self.sb.post("TAVO.Test", "echo", **params))
        # Text that is not JSON arrives as a string.
        got = self.answer("api=TAVO.Test&version=1&method=echo&task_id=abc&path=/volume1/x&empty=")
        self.assertEqual({"task_id": "abc", "path": "/volume1/x", "empty": ""}, got["data"]["params"])

    def test_post_body_and_query_string_together(self):
        status, _, body = self.sb.raw_post("method=echo&x=2", query_string="api=TAVO.Test&version=1&x=1")
        self.assertEqual(200, status)
        self.assertEqual({"x": 2}, json.loads(body)["data"]["params"])

    def test_language(self):
        header = {"Accept-Language": "de-DE,de;q=0.9,en;q=0.5"}
        self.assertEqual("de-DE", self.answer("api=TAVO.Test&version=1&method=echo", headers=header)["data"]["lang"])
        self.assertEqual("fr", self.answer("api=TAVO.Test&version=1&method=echo&lang=fr",
                                           headers=header)["data"]["lang"])
        self.assertEqual("en", self.answer("api=TAVO.Test&version=1&method=echo")["data"]["lang"])

    def test_cross_site_requests_are_refused(self):
        own = "http://127.0.0.1:%d" % self.sb.port
        query = "api=TAVO.Test&version=1&method=echo&x=1"
        for headers in ({"Origin": "http://evil.example"},
                        {"Origin": "null"},
                        {"Referer": "http://evil.example/form.html"},
                        {"Origin": "http://evil.example", "Referer": own + "/"}):
            for status, got_headers, body in (self.sb.raw(query, headers=headers),
                                              self.sb.raw_post(query, headers=headers)):
                self.assertEqual(403, status, headers)
                self.assertEqual(JSON_TYPE, got_headers.get("content-type"))
                self.assertEqual({"success": False, "error": {"code": 105}}, json.loads(body))
        # The serving site's own pages, and clients that send neither header.
        for headers in ({"Origin": own}, {"Referer": own + "/index.html"}, {}):
            self.assertEqual({"x": 1}, self.answer(query, headers=headers)["data"]["params"])

    def test_host_codes(self):
        cases = {
            "version=1&method=echo": 101,
            "api=TAVO.Test&version=1": 101,
            "api=TAVO.Test&method=echo": 101,
            "api=TAVO.Test&version=1.5&method=echo": 101,
            "api=TAVO.Nothing&version=1&method=echo": 102,
            "api=TAVO.Test&version=1&method=nothing": 103,
            "api=TAVO.Test&version=2&method=echo": 104,
        }
        for query, code in cases.items():
            with self.subTest(query=query):
                self.assertEqual({"success": False, "error": {"code": code}}, self.answer(query))

    def test_nul_byte_never_reaches_a_plugin(self):
        # lighttpd itself may refuse it (400); the host answers 101.
        status, _, body = self.sb.raw("api=TAVO.Test&version=1&method=echo&path=%2Fvolume1%00x")
        if status != 400:
            self.assertEqual({"success": False, "error": {"code": 101}}, json.loads(body))
        status, _, body = self.sb.raw_post("api=TAVO.Test&version=1&method=echo&path=%2Fvolume1%00x")
        if status != 400:
            self.assertEqual({"success": False, "error": {"code": 101}}, json.loads(body))

    def test_error_answer_with_data(self):
        got = self.sb.call("TAVO.Test", "fail", code=120, data={"failCount": 1})
        self.assertEqual({"success": False, "error": {"code": 120}, "data": {"failCount": 1}}, got)

    def test_plugin_writes_its_own_output(self):
        status, headers, body = self.sb.raw("api=TAVO.Test&version=1&method=download")
        self.assertEqual(200, status)
        self.assertEqual("application/octet-stream", headers["content-type"])
        self.assertEqual('attachment; filename="t.txt"', headers["content-disposition"])
        self.assertEqual(b"line 1\r\nline 2\r\n", body)
        # Headers written, then an error: the error body follows them.
        status, headers, body = self.sb.raw("api=TAVO.Test&version=1&method=download_fails")
        self.assertEqual("application/octet-stream", headers["content-type"])
        self.assertEqual({"success": False, "error": {"code": 117}}, json.loads(body))

    def test_exception_is_logged_and_answered_117(self):
        self.assertEqual({"success": False, "error": {"code": 117}},
                         self.answer("api=TAVO.Test&version=1&method=throw"))
        log = self.sb.error_log()
        self.assertIn("exception escaped the entry function: test failure", log)
        self.assertRegex(log, r"tavo-webapi\[\d+\]: host\.cpp:\d+ exception escaped")

    def test_background_task_outlives_the_request_and_stops(self):
        started = self.sb.call("TAVO.Test", "task_start")
        self.assertTrue(started["success"], started)
        task_id = started["data"]["task_id"]
        self.assertRegex(task_id, r"^TAVO_Test_Task_[A-Za-z0-9_.-]+$")
        record = json.loads(self.sb.path("/var/lib/tavo-webapi/tasks/%s.json" % task_id).read_text())
        self.assertTrue(alive(record["pid"]))
        self.assertEqual("admin", record["group"])

        status = self.sb.call("TAVO.Test", "task_status", task_id=task_id)
        self.assertEqual({"success": True, "data": {"finished": False, "success": True, "data": {}}}, status)

        self.assertEqual({"success": True}, self.sb.call("TAVO.Test", "task_stop", task_id=task_id))
        self.assertTrue(wait_until(lambda: not alive(record["pid"])))
        status = self.sb.call("TAVO.Test", "task_status", task_id=task_id)
        self.assertEqual({"finished": True, "stopped": True, "success": True, "data": {}}, status["data"])

        for bad in ("nothing", "../../../etc/passwd", ""):
            self.assertEqual({"success": False, "error": {"code": 117}},
                             self.sb.call("TAVO.Test", "task_status", task_id=bad))

    def test_static_file_not_served_for_unknown_path(self):
        status, _, _ = self.sb.request("GET", "/nothing.html")
        self.assertEqual(404, status)

    def test_command_line(self):
        code, out = self.sb.cli("TAVO.Test", "echo", "x=abc", "y=[1]")
        self.assertEqual(0, code)
        self.assertEqual({"success": True, "data": {"lang": "en", "params": {"x": "abc", "y": [1]}}}, json.loads(out))
        code, out = self.sb.cli("TAVO.Test", "fail", "code=114")
        self.assertEqual((1, {"success": False, "error": {"code": 114}}), (code, json.loads(out)))
        code, out = self.sb.cli("TAVO.Test", "echo", version=3)
        self.assertEqual((1, {"success": False, "error": {"code": 104}}), (code, json.loads(out)))
        code, out, err = self.sb.cli_full("call", "TAVO.Test", "1")
        self.assertEqual(2, code)
        self.assertIn("usage: tavo-webapi call API VERSION METHOD", err)
        code, out, err = self.sb.cli_full("call", "TAVO.Test", "1", "echo", "noequals")
        self.assertEqual(2, code)


class PluginFolders(unittest.TestCase):
    def test_duplicate_entry_is_a_startup_error_naming_both_files(self):
        if not PLUGINS:
            self.skipTest("test plug-in folder not built")
        dup = os.path.join(os.path.dirname(PLUGINS), "plugins-dup")
        with Sandbox(plugins=PLUGINS + ":" + dup) as sb:
            self.assertEqual({"success": False, "error": {"code": 117}}, sb.call("TAVO.Test", "echo"))
            log = sb.error_log()
            self.assertIn("TAVO.Test.so", log)
            self.assertIn("TAVO.TestDuplicate.so", log)
            code, out, err = sb.cli_full("call", "TAVO.Test", "1", "echo")
            self.assertEqual(1, code)
            self.assertIn("duplicate web API entry TAVO.Test version 1 method echo", err)

    def test_sandbox_leaves_no_process_behind(self):
        if not PLUGINS:
            self.skipTest("test plug-in folder not built")
        with Sandbox(plugins=PLUGINS) as sb:
            task_id = sb.call("TAVO.Test", "task_start")["data"]["task_id"]
            record = json.loads(sb.path("/var/lib/tavo-webapi/tasks/%s.json" % task_id).read_text())
            server_pid = sb._server.pid
            root = sb.root
        self.assertFalse(alive(record["pid"]))
        self.assertFalse(alive(server_pid))
        self.assertFalse(root.exists())


if __name__ == "__main__":
    unittest.main()
