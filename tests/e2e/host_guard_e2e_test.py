"""Requests a foreign page or a hostile client can send, over HTTP through
lighttpd to the host and the real plug-ins: DNS rebinding (the attacker's
name as Host), a browser's cross-site fetch without Origin or Referer, deep
nesting and \\u0000 escapes in JSON parameters. Each is refused with a JSON
answer and changes nothing."""

import json
import unittest

from harness import Sandbox

WHITE_LIST = "TAVO.AntiVirus.WhiteList"
JSON_TYPE = "application/json"
FORBIDDEN = {"success": False, "error": {"code": 105}}
BAD_REQUEST = {"success": False, "error": {"code": 101}}
# What the foreign page asks for: the whole volume tree on the white list.
ADD_ROOT = Sandbox.encode(WHITE_LIST, "add", 1, {"listToBeAdd": ["/"]})


class ForeignRequests(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.sb = Sandbox().__enter__()

    @classmethod
    def tearDownClass(cls):
        cls.sb.__exit__(None, None, None)

    def white_list(self):
        answer = self.sb.call(WHITE_LIST, "load", start=0, limit=100)
        self.assertTrue(answer["success"], answer)
        return [e["filepath"] for e in answer["data"]["whiteList"]]

    def assert_refused(self, headers):
        for status, got, body in (self.sb.raw(ADD_ROOT, headers=headers),
                                  self.sb.raw_post(ADD_ROOT, headers=headers)):
            self.assertEqual(403, status, headers)
            self.assertEqual(JSON_TYPE, got.get("content-type"))
            self.assertEqual(FORBIDDEN, json.loads(body), headers)
        self.assertEqual([], self.white_list(), headers)

    def test_rebinding_host_is_refused(self):
        port = self.sb.port
        for headers in ({"Host": "evil.example:%d" % port, "Origin": "http://evil.example:%d" % port},
                        {"Host": "evil.example:%d" % port, "Referer": "http://evil.example:%d/" % port},
                        {"Host": "evil.example:%d" % port},
                        {"Host": "127.attacker.invalid:%d" % port},
                        {"Host": "localhost.evil:%d" % port}):
            with self.subTest(headers=headers):
                self.assert_refused(headers)
        self.assertIn("not a host this server answers to", self.sb.error_log())

    def test_cross_site_fetch_is_refused(self):
        # What Chromium sends for an <img> on a page of another port
        # ("same-site") or another site, with referrer policy no-referrer.
        for site in ("cross-site", "same-site"):
            with self.subTest(site=site):
                self.assert_refused({"Sec-Fetch-Site": site, "Sec-Fetch-Mode": "no-cors",
                                     "Sec-Fetch-Dest": "image"})

    def test_own_pages_and_plain_clients_are_served(self):
        own = "http://127.0.0.1:%d" % self.sb.port
        query = Sandbox.encode(WHITE_LIST, "load", 1, {"start": 0, "limit": 1})
        for headers in ({}, {"Sec-Fetch-Site": "same-origin", "Origin": own},
                        {"Sec-Fetch-Site": "none"}, {"Host": "localhost:%d" % self.sb.port},
                        {"Host": "127.0.0.2:%d" % self.sb.port}):
            with self.subTest(headers=headers):
                status, _, body = self.sb.raw(query, headers=headers)
                self.assertEqual(200, status)
                self.assertTrue(json.loads(body)["success"])

    def test_deep_nesting_is_answered_101(self):
        for levels in (1001, 20000):
            value = "[" * levels + "]" * levels
            with self.subTest(levels=levels):
                status, headers, body = self.sb.raw_post(Sandbox.encode(WHITE_LIST, "add", 1, {})
                                                         + "&listToBeAdd=" + value)
                self.assertEqual(200, status, body[:200])
                self.assertEqual(JSON_TYPE, headers.get("content-type"))
                self.assertEqual(BAD_REQUEST, json.loads(body))
                if levels > 4000:
                    continue  # past lighttpd's limit for a request line
                status, _, body = self.sb.raw(Sandbox.encode(WHITE_LIST, "load", 1, {"start": 0, "limit": 1})
                                              + "&x=" + value)
                self.assertEqual((200, BAD_REQUEST), (status, json.loads(body)))
        self.assertIn("JSON value refused", self.sb.error_log())
        self.assertEqual([], self.white_list())

    def test_nul_escape_is_answered_101(self):
        extensions = self.sb.call("TAVO.AntiVirus.FileExt", "load", start=0, limit=1000)["data"]
        cases = (("TAVO.AntiVirus.Scan", "start_custom", {"scanTarget": ["/volume1/a\u0000b"]}),
                 ("TAVO.AntiVirus.FileExt", "add", {"extension": "e\u0000x"}),
                 (WHITE_LIST, "add", {"listToBeAdd": ["/volume1/a\u0000b"]}),
                 ("TAVO.AntiVirus.Config", "set", {"config": {"virusAction\u0000": "do_nothing"}}))
        for api, method, params in cases:
            with self.subTest(api=api, method=method):
                self.assertIn("\\u0000", json.dumps(params))  # the escape, not a raw NUL byte
                self.assertEqual(BAD_REQUEST, self.sb.call(api, method, **params))
                self.assertEqual(BAD_REQUEST, self.sb.post(api, method, **params))
        self.assertEqual(extensions, self.sb.call("TAVO.AntiVirus.FileExt", "load", start=0, limit=1000)["data"])
        self.assertEqual([], self.white_list())
        self.assertEqual([], list(self.sb.path("/var/packages/AntiVirus-Zentrel/target/tmp").iterdir()))


class AllowedHosts(unittest.TestCase):
    def test_listed_names_are_served(self):
        with Sandbox(env={"TAVO_WEBAPI_ALLOWED_HOSTS": "nas.example,192.0.2.7"}) as sb:
            query = Sandbox.encode(WHITE_LIST, "add", 1, {"listToBeAdd": ["/volume1/ok"]})
            for host in ("NAS.example:%d" % sb.port, "192.0.2.7"):
                status, _, body = sb.raw(query, headers={"Host": host, "Origin": "http://" + host.lower()})
                self.assertEqual(200, status, host)
                self.assertTrue(json.loads(body)["success"], host)
            status, _, body = sb.raw(query, headers={"Host": "nas.example.evil:%d" % sb.port})
            self.assertEqual((403, FORBIDDEN), (status, json.loads(body)))


if __name__ == "__main__":
    unittest.main()
