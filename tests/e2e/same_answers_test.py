"""The SCGI path answers byte for byte what the CGI path answers: the
end-to-end suites run with TAVO_E2E_PATH=compare (see harness.py), where
every request that changes nothing (every reading method, every request the
host refuses) is sent through both and the answers compared, headers and
the log export's stream included. Every suite must pass that way too."""

import os
import pathlib
import re
import subprocess
import sys
import unittest

from harness import AnswersDiffer, Sandbox, _comparable

HERE = pathlib.Path(__file__).resolve().parent
SUITES = ("host_e2e_test.py", "host_guard_e2e_test.py", "scan_e2e_test.py", "test_log.py",
          "test_settings.py", "test_quarantine.py", "test_journey.py")
SUMMARY = re.compile(r"harness: (\d+) requests answered the same through CGI and SCGI \(methods: ([^)]*)\)$", re.M)


class SameAnswers(unittest.TestCase):
    def test_suites_answer_the_same_through_both_paths(self):
        total = 0
        methods = set()
        for suite in SUITES:
            with self.subTest(suite=suite):
                env = dict(os.environ, TAVO_E2E_PATH="compare")
                proc = subprocess.run([sys.executable, str(HERE / suite)], env=env, stdin=subprocess.DEVNULL,
                                      capture_output=True, text=True, timeout=900)
                self.assertEqual(0, proc.returncode, proc.stderr[-6000:])
                self.assertNotIn("AnswersDiffer", proc.stderr)
                for count, names in SUMMARY.findall(proc.stderr):
                    total += int(count)
                    methods.update(names.split())
        sys.stderr.write("compared %d requests; methods: %s\n" % (total, " ".join(sorted(methods))))
        # Reading methods of every plug-in, the export stream and the
        # host's refusals were all compared.
        self.assertGreater(total, 100)
        for method in ("get", "get_sys_info", "load", "export", "echo", "download"):
            self.assertIn(method, methods)

    def test_a_difference_is_caught(self):
        sb = Sandbox(path="compare")
        same = (200, "OK", [("Content-Type", "application/json"), ("Date", "a")], b"{}")
        other_date = (200, "OK", [("Content-Type", "application/json"), ("Date", "b")], b"{}")
        sb._compare("GET", "/webapi/api.cgi?method=get", same, other_date)
        self.assertEqual(1, sb.compared)
        for differing in ((200, "OK", [("Content-Type", "text/plain"), ("Date", "a")], b"{}"),
                          (200, "OK", [("Content-Type", "application/json")], b"{} "),
                          (403, "Forbidden", [("Content-Type", "application/json")], b"{}"),
                          (200, "OK", [("Content-Type", "application/json"), ("X", "1")], b"{}")):
            with self.subTest(answer=differing):
                self.assertNotEqual(_comparable(same), _comparable(differing))
                with self.assertRaises(AnswersDiffer):
                    sb._compare("GET", "/webapi/api.cgi?method=get", same, differing)

    def test_a_state_that_goes_there_and_back_is_not_a_difference(self):
        first = (200, "OK", [("Content-Type", "application/json")], b'{"n":"162"}')
        reset = (200, "OK", [("Content-Type", "application/json")], b'{"n":"0"}')
        target = "/webapi/api.cgi?method=get"

        def run(cgi_answers, scgi_answers):
            sb = Sandbox(path="compare")
            queues = {"cgi": list(cgi_answers), "scgi": list(scgi_answers)}

            def exchange(http_method, url, body=None, headers=None):
                return queues["scgi" if url.startswith("/webapi/api.cgi") else "cgi"].pop(0)

            sb.exchange = exchange
            sb._compared_request("GET", target, None, None)
            return sb

        # 162 -> 0 -> 162 once, then both paths agree.
        self.assertEqual(1, run([first, first, first], [reset, first]).compared)
        # A path that always answers otherwise is caught.
        with self.assertRaises(AnswersDiffer):
            run([first] * 10, [reset] * 10)


if __name__ == "__main__":
    unittest.main()
