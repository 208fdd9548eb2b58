"""The Scan plug-in over HTTP and on the command line, with a stand-in
scanner program that records its arguments and keeps running."""

import json
import os
import signal
import stat
import unittest

from harness import Sandbox, alive, build_dir, wait_until

SCAN = "TAVO.AntiVirus.Scan"
SCANNER = "/var/packages/AntiVirus-Zentrel/target/bin/tavoavscan"


def install_scanner(sb):
    """A scanner that writes its pid and arguments, then sleeps 30 s."""
    script = sb.path(SCANNER)
    script.write_text('#!/bin/sh\necho $$ > "%s.pid"\necho "$@" > "%s.args"\nexec sleep 30\n'
                      % (sb.root / "scanner", sb.root / "scanner"))
    script.chmod(script.stat().st_mode | stat.S_IXUSR | stat.S_IXGRP | stat.S_IXOTH)


def scanner_pid(sb):
    path = sb.root / "scanner.pid"
    if not wait_until(lambda: path.exists() and path.read_text().strip()):
        return None
    return int(path.read_text())


def kill_scanner(sb):
    path = sb.root / "scanner.pid"
    if path.exists() and path.read_text().strip():
        pid = int(path.read_text())
        if alive(pid):
            os.kill(pid, signal.SIGKILL)
        wait_until(lambda: not alive(pid))


@unittest.skipUnless((build_dir() / "plugins" / (SCAN + ".so")).exists(), "Scan plug-in not built")
class ScanOverHttp(unittest.TestCase):
    def setUp(self):
        self.sb = Sandbox().__enter__()
        self.addCleanup(self.sb.__exit__, None, None, None)
        install_scanner(self.sb)
        self.addCleanup(kill_scanner, self.sb)

    def test_pause_in_idle_engine_succeeds(self):
        self.assertEqual({"success": True}, self.sb.call(SCAN, "pause"))

    def test_start_full_answers_while_the_scanner_runs(self):
        self.assertEqual({"success": True}, self.sb.call(SCAN, "start_full"))
        pid = scanner_pid(self.sb)
        self.assertIsNotNone(pid, self.sb.error_log())
        # The answer came back although the detached scanner still runs.
        self.assertTrue(alive(pid))
        self.assertTrue(wait_until(lambda: (self.sb.root / "scanner.args").exists()))
        self.assertTrue(wait_until(lambda: (self.sb.root / "scanner.args").read_text() == "--all\n"))

    def test_start_custom_over_post(self):
        self.sb.path("/volume1/share").mkdir()
        got = self.sb.post(SCAN, "start_custom", scanTarget=["/volume1/share"])
        self.assertEqual({"success": True}, got, self.sb.error_log())
        self.assertIsNotNone(scanner_pid(self.sb))
        self.assertTrue(wait_until(lambda: (self.sb.root / "scanner.args").exists()
                                   and (self.sb.root / "scanner.args").read_text().startswith("-f ")))

    def test_error_answers(self):
        self.assertEqual({"success": False, "error": {"code": 103}}, self.sb.call(SCAN, "frobnicate"))
        self.assertEqual({"success": False, "error": {"code": 114}}, self.sb.call(SCAN, "start_custom", scanTarget=1))
        self.assertIn("The required parameter [scanTarget] is not found or its type is incorrect.",
                      self.sb.error_log())
        self.assertEqual({"success": False, "error": {"code": 102}}, self.sb.call("TAVO.AntiVirus.Nothing", "pause"))
        self.assertEqual({"success": False, "error": {"code": 104}}, self.sb.call(SCAN, "pause", version=2))
        status, headers, body = self.sb.raw("api=%s&version=1" % SCAN)
        self.assertEqual((200, "application/json"), (status, headers["content-type"]))
        self.assertEqual({"success": False, "error": {"code": 101}}, json.loads(body))
        self.assertFalse((self.sb.root / "scanner.pid").exists())

    def test_command_line(self):
        code, out = self.sb.cli(SCAN, "pause")
        self.assertEqual((0, {"success": True}), (code, json.loads(out)))
        code, out = self.sb.cli(SCAN, "start_custom", "scanTarget=1")
        self.assertEqual((1, {"success": False, "error": {"code": 114}}), (code, json.loads(out)))
        code, out, _ = self.sb.cli_full("call", SCAN)
        self.assertEqual(2, code)


if __name__ == "__main__":
    unittest.main()
