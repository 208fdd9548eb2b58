"""A page of another origin, served from another loopback port by a small
static server of this test, tries to add entries to the white list through
the browser (headless Chromium, tests/browser/foreign_page.cjs): an <img>
under referrer policy no-referrer, a fetch and a form POST. Chromium sends
"Sec-Fetch-Site: same-site" for 127.0.0.1:OTHER -> 127.0.0.1:PORT and
"cross-site" from localhost:OTHER; every request must be refused and the
white list stay empty.

Environment: TAVO_BUILD_DIR, NODE_PATH (playwright-core), TAVO_CHROMIUM."""

import http.server
import json
import os
import pathlib
import subprocess
import sys
import tempfile
import threading
import unittest
import urllib.parse

from harness import Sandbox

HERE = pathlib.Path(__file__).resolve().parent
WHITE_LIST = "TAVO.AntiVirus.WhiteList"

PAGE = """<!doctype html>
<html><head><meta charset="utf-8"><meta name="referrer" content="no-referrer"><title>Free codecs</title></head>
<body>
<img id="img" src="{api}?{image}">
<iframe name="sink"></iframe>
<form id="form" method="POST" action="{api}" target="sink">
  <input name="api" value="{white_list}"><input name="version" value="1"><input name="method" value="add">
  <input name="listToBeAdd" value='["/volume1"]'>
</form>
<script>
window.attack = (async () => {{
  const img = document.getElementById('img');
  if (!img.complete) await new Promise((done) => {{ img.onload = done; img.onerror = done; }});
  await fetch('{api}?{fetch}', {{ mode: 'no-cors', credentials: 'include' }}).catch(() => null);
  const posted = new Promise((done) => {{ document.querySelector('iframe').onload = done; }});
  document.getElementById('form').submit();
  await posted;
  return true;
}})();
</script>
</body></html>
"""


def foreign_page(api_url):
    def query(entries):
        return urllib.parse.urlencode({"api": WHITE_LIST, "version": "1", "method": "add",
                                       "listToBeAdd": json.dumps(entries)})
    return PAGE.format(api=api_url, white_list=WHITE_LIST, image=query(["/"]),
                       fetch=query(["/volume2"])).encode()


class ForeignServer:
    """The foreign site: serves one page on a free loopback port."""

    def __init__(self, body):
        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                self.send_response(200)
                self.send_header("Content-Type", "text/html; charset=utf-8")
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.port = self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)

    def __enter__(self):
        self.thread.start()
        return self

    def __exit__(self, *exc):
        self.server.shutdown()
        self.server.server_close()
        return False


class ForeignPageInBrowser(unittest.TestCase):
    def test_foreign_page_changes_nothing(self):
        with Sandbox() as sb, tempfile.TemporaryDirectory() as tmp:
            api = "http://127.0.0.1:%d/webapi/api.cgi" % sb.port
            result = pathlib.Path(tmp) / "requests.json"
            with ForeignServer(foreign_page(api)) as foreign:
                self.assertNotEqual(foreign.port, sb.port)
                env = dict(os.environ)
                env.update({"API_URL": api, "RESULT": str(result),
                            "FOREIGN_URLS": "http://127.0.0.1:%d/ http://localhost:%d/" % (foreign.port, foreign.port),
                            "CHROMIUM": os.environ.get("TAVO_CHROMIUM", "/usr/bin/chromium")})
                proc = subprocess.run(["node", str(HERE / "foreign_page.cjs")], env=env, capture_output=True,
                                      text=True, timeout=300)
                sys.stderr.write(proc.stdout + proc.stderr)
            self.assertEqual(0, proc.returncode, "the foreign page ran in the browser")

            seen = json.loads(result.read_text())
            sys.stderr.write(json.dumps(seen, indent=1) + "\n")
            self.assertEqual(["image", "fetch", "document"] * 2, [r["resourceType"] for r in seen],
                             "an image, a fetch and a form POST from each page")
            for request in seen:
                with self.subTest(kind=request["resourceType"], page=request["page"]):
                    # 403, or blocked by the browser after the host's JSON answer.
                    self.assertIn(request["status"], (403, None), request)

            # The host saw and refused each one; what Chromium sent: another
            # port of the same host is the same site, but not the same origin.
            refusals = [line for line in sb.error_log().splitlines() if "cross-site request refused" in line]
            self.assertEqual(6, len(refusals), "\n".join(refusals))
            for line in refusals:
                self.assertIn("(cross-site fetch)", line)
                self.assertIn("Referer []", line)  # no-referrer
            self.assertEqual(3, sum("Sec-Fetch-Site [same-site]" in line for line in refusals))
            self.assertEqual(3, sum("Sec-Fetch-Site [cross-site]" in line for line in refusals))
            # The image and the fetch carry no Origin: only Sec-Fetch-Site tells them from a script.
            self.assertEqual(4, sum("Origin []" in line for line in refusals))

            white = sb.call(WHITE_LIST, "load", start=0, limit=100)
            self.assertTrue(white["success"], white)
            self.assertEqual([], white["data"]["whiteList"])


if __name__ == "__main__":
    unittest.main()
