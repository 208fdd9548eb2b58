"""docs/api.md documents exactly the entries the host loads.

Every entry `tavo-webapi list` prints (API, version, method) must have its
heading in docs/api.md, and every heading there must name a loaded entry:
a plug-in method added without documentation, or documentation left behind
by a removed one, fails here. The headings are

    ## <API name>, version <N>
    ### <method>

one "###" heading per method below its API's "##" heading; any other "##"
heading ends the API's section."""

import os
import pathlib
import re
import subprocess
import unittest

from harness import build_dir

REPO = pathlib.Path(__file__).resolve().parents[2]
API_DOC = REPO / "docs" / "api.md"
API_HEADING = re.compile(r"^## (TAVO\.[A-Za-z0-9_.]+), version (\d+)\s*$")


def documented_entries(text):
    """{(api, version, method): line number} of the doc's method headings;
    raises ValueError for a method heading outside an API section or a
    heading given twice."""
    entries = {}
    api = None
    in_code = False
    for number, line in enumerate(text.splitlines(), 1):
        if line.startswith("```"):
            in_code = not in_code
            continue
        if in_code:
            continue
        match = API_HEADING.match(line)
        if match:
            api = (match.group(1), int(match.group(2)))
        elif line.startswith("## ") or line.startswith("# "):
            api = None
        elif line.startswith("### "):
            method = line[4:].strip()
            if api is None:
                continue  # a sub-heading of a general section
            if not re.fullmatch(r"[a-z0-9_]+", method):
                raise ValueError("line %d: a method heading holds only the method name: %r" % (number, line))
            key = (api[0], api[1], method)
            if key in entries:
                raise ValueError("line %d: %s documented twice (first on line %d)" % (number, key, entries[key]))
            entries[key] = number
    return entries


def loaded_entries():
    """{(api, version, method)} as the host loads them from the build's plug-ins."""
    env = dict(os.environ, TAVO_WEBAPI_PLUGINS=str(build_dir() / "plugins"))
    proc = subprocess.run([str(build_dir() / "bin" / "tavo-webapi"), "list"], env=env,
                          capture_output=True, text=True, timeout=60)
    if proc.returncode != 0:
        raise RuntimeError("tavo-webapi list failed: " + proc.stderr)
    entries = set()
    for line in proc.stdout.splitlines():
        api, version, method = line.split("\t")[0].split(" ")
        entries.add((api, int(version), method))
    return entries


class ApiDocTest(unittest.TestCase):
    def test_every_loaded_entry_is_documented_and_nothing_else(self):
        documented = documented_entries(API_DOC.read_text())
        loaded = loaded_entries()
        self.assertGreaterEqual(len(loaded), 34, "the four plug-ins serve 34 entries")
        missing = sorted(loaded - set(documented))
        self.assertEqual(missing, [], "entries the host loads but docs/api.md does not document")
        stale = sorted("%s (line %d)" % (key, documented[key]) for key in set(documented) - loaded)
        self.assertEqual(stale, [], "entries docs/api.md documents but no plug-in serves")

    def test_headings_are_read_as_documented(self):
        """The checker itself: a method under an API, another API, a general
        section in between, code blocks ignored, duplicates refused."""
        text = "\n".join([
            "# Reference", "## Requests", "### Envelope",
            "## TAVO.AntiVirus.Scan, version 1", "### start_full", "```sh", "### not_a_heading", "```",
            "### pause", "## Codes", "### 105",
            "## TAVO.AntiVirus.Log, version 2", "### export"])
        self.assertEqual(set(documented_entries(text)), {
            ("TAVO.AntiVirus.Scan", 1, "start_full"), ("TAVO.AntiVirus.Scan", 1, "pause"),
            ("TAVO.AntiVirus.Log", 2, "export")})
        with self.assertRaises(ValueError):
            documented_entries("## TAVO.AntiVirus.Scan, version 1\n### pause\n### pause\n")
        with self.assertRaises(ValueError):
            documented_entries("## TAVO.AntiVirus.Scan, version 1\n### `pause` (version 1)\n")


if __name__ == "__main__":
    unittest.main()
