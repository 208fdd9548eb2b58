"""Every command example in README.md and docs/api.md runs, so none can rot.

The fenced blocks whose info string is "sh" run in bash (set -euo pipefail),
section by section: the blocks of one "##" section run in order in one
shell, as a reader pastes them into one terminal, against a served sandbox
of the section's own: a fresh temporary root seeded like the one
`scripts/serve` makes (demo volumes, definitions mirror, tavoav-init, the
built scanner), lighttpd on a free loopback port. Before they run, the
served URL http://127.0.0.1:8080 becomes the sandbox's, `var/root` its root
and `build/` the build folder; $U holds the API URL (docs/api.md's first
block sets it the same way for a reader).

Every curl answer must be a JSON success, except where the command ends in
the comment "# error N": then it must be an error answer with code N. A curl
that saves a download (-O, -o) must leave a file. Blocks that are not meant
to run (the server itself, package installs, other hosts) are marked
```` ```sh no-run ````; keep that set small."""

import json
import os
import pathlib
import re
import shlex
import subprocess
import tempfile
import unittest

from harness import Sandbox, build_dir

REPO = pathlib.Path(__file__).resolve().parents[2]
DOCS = (REPO / "README.md", REPO / "docs" / "api.md")
SCANNER = "/var/packages/AntiVirus-Zentrel/target/bin/tavoavscan"
BLOCK_SECONDS = 240
EXPECT_ERROR = re.compile(r"#\s*error (\d+)\s*$")

# Each call of curl in a block leaves its arguments, the code it expects and
# its output in $TAVO_DOC_CALLS/<n>.*; the block's output shows every answer.
PRELUDE = r'''set -euo pipefail
curl() {
  local n
  n=$(( $(cat "$TAVO_DOC_CALLS/count") + 1 ))
  echo "$n" >"$TAVO_DOC_CALLS/count"
  printf '%s\0' "$@" >"$TAVO_DOC_CALLS/$n.args"
  printf '%s' "${TAVO_EXPECT-}" >"$TAVO_DOC_CALLS/$n.expect"
  printf '%s' "$TAVO_DOC_LINE" >"$TAVO_DOC_CALLS/$n.line"
  command curl "$@" | tee "$TAVO_DOC_CALLS/$n.body"
}
'''


def sh_blocks(path):
    """[(section, first line number, info words, text)] of the fenced "sh"
    blocks of a file; section is the "##" heading above the block."""
    blocks = []
    lines = path.read_text().splitlines()
    section = ""
    i = 0
    while i < len(lines):
        fence = re.match(r"^(```+)\s*(.*)$", lines[i])
        if not fence:
            if lines[i].startswith("## ") or lines[i].startswith("# "):
                section = lines[i]
            i += 1
            continue
        words = fence.group(2).split()
        start = i + 1
        i += 1
        while i < len(lines) and not lines[i].startswith(fence.group(1)):
            i += 1
        if words and words[0] == "sh":
            blocks.append((section, start + 1, words[1:], "\n".join(lines[start:i]) + "\n"))
        i += 1
    return blocks


def mark_expected_errors(script):
    """Puts TAVO_EXPECT=N before a curl command whose last line ends in
    "# error N" (continuation lines joined by a trailing backslash)."""
    lines = script.splitlines()
    first = None
    for k, line in enumerate(lines):
        if first is None:
            first = k
        if line.rstrip().endswith("\\"):
            continue
        expected = EXPECT_ERROR.search(line)
        if expected:
            head = lines[first]
            stripped = head.lstrip()
            if not stripped.startswith("curl "):
                raise ValueError("'# error N' follows a command that is not curl: %r" % head)
            lines[first] = head[:len(head) - len(stripped)] + "TAVO_EXPECT=%s " % expected.group(1) + stripped
        first = None
    return "\n".join(lines) + "\n"


def localise(script, port, root, build):
    script = script.replace("http://127.0.0.1:8080", "http://127.0.0.1:%d" % port)
    script = re.sub(r"(?<![\w./-])var/root\b", str(root), script)
    return re.sub(r"(?<![\w./-])build/", str(build) + "/", script)


def prepare_sandbox(sb):
    """The root scripts/serve makes on its first start."""
    scanner = sb.path(SCANNER)
    scanner.parent.mkdir(parents=True, exist_ok=True)
    scanner.symlink_to(build_dir() / "bin" / "tavoavscan")
    env = dict(os.environ, TAVO_ROOT=str(sb.root))
    subprocess.run([str(REPO / "scripts" / "seed-demo"), str(sb.root)], env=env, check=True,
                   capture_output=True)
    sb.path("/var/lib/tavo-webapi/tasks").mkdir(parents=True, exist_ok=True)
    subprocess.run([str(build_dir() / "bin" / "tavoav-init")], env=env, check=True, capture_output=True)


class DocExamples(unittest.TestCase):

    def run_section(self, doc, blocks):
        """Runs [(line, text)] in one shell; the number of curl calls."""
        with Sandbox() as sb, tempfile.TemporaryDirectory(prefix="tavo-doc-") as work:
            prepare_sandbox(sb)
            work = pathlib.Path(work)
            calls = work / "calls"
            cwd = work / "cwd"
            calls.mkdir()
            cwd.mkdir()
            (calls / "count").write_text("0")
            script = PRELUDE
            for line, text in blocks:
                script += "TAVO_DOC_LINE=%d\n" % line
                script += localise(mark_expected_errors(text), sb.port, sb.root, build_dir())
            env = {"PATH": os.environ.get("PATH", "/usr/bin:/bin"), "HOME": str(work), "LANG": "C.UTF-8",
                   "TAVO_DOC_CALLS": str(calls), "U": "http://127.0.0.1:%d/webapi/api.cgi" % sb.port}
            where = "%s line %d" % (doc.name, blocks[0][0])
            proc = subprocess.run(["bash", "-c", script], cwd=cwd, env=env, stdin=subprocess.DEVNULL,
                                  capture_output=True, text=True, timeout=BLOCK_SECONDS)
            report = "%s\n--- output ---\n%s\n--- errors ---\n%s\n--- server log ---\n%s" % (
                where, proc.stdout[-6000:], proc.stderr[-3000:], sb.error_log()[-3000:])
            self.assertEqual(proc.returncode, 0, report)
            count = int((calls / "count").read_text())
            for n in range(1, count + 1):
                args = (calls / ("%d.args" % n)).read_text().split("\0")[:-1]
                expect = (calls / ("%d.expect" % n)).read_text()
                body = (calls / ("%d.body" % n)).read_bytes()
                line = (calls / ("%d.line" % n)).read_text()
                call = "%s line %s, curl call %d: %s" % (doc.name, line, n, shlex.join(args))
                if any(a in ("-o", "-O", "-OJ", "-JO", "--output", "--remote-name") for a in args):
                    self.assertFalse(expect, call)
                    self.assertTrue(any(p.is_file() and p.stat().st_size > 0 for p in cwd.iterdir()),
                                    call + ": no file saved")
                    continue
                try:
                    answer = json.loads(body)
                except ValueError:
                    self.fail("%s: not a JSON answer: %r\n%s" % (call, body[:500], report))
                if expect:
                    self.assertIs(answer.get("success"), False, "%s: %s" % (call, answer))
                    self.assertEqual(answer.get("error", {}).get("code"), int(expect), call)
                else:
                    self.assertIs(answer.get("success"), True, "%s: %s\n%s" % (call, answer, report))
            return count

    def test_examples(self):
        ran = 0
        for doc in DOCS:
            sections = {}
            for section, line, words, text in sh_blocks(doc):
                if "no-run" not in words:
                    sections.setdefault(section, []).append((line, text))
            for section, blocks in sections.items():
                with self.subTest(doc=doc.name, section=section):
                    ran += self.run_section(doc, blocks)
        self.assertGreater(ran, 40, "curl calls run from the examples")

    def test_block_reading(self):
        """The checker itself: which blocks run, and the error marker."""
        with tempfile.NamedTemporaryFile("w", suffix=".md") as f:
            f.write("x\n```sh\ncurl a\n```\n```sh no-run\nscripts/serve\n```\n```json\n{}\n```\n"
                    "## S\n````sh\nb\n```\n````\n")
            f.flush()
            blocks = sh_blocks(pathlib.Path(f.name))
        self.assertEqual(blocks, [("", 3, [], "curl a\n"), ("", 6, ["no-run"], "scripts/serve\n"),
                                  ("## S", 13, [], "b\n```\n")])
        self.assertEqual(mark_expected_errors("curl -s x \\\n  -d y   # error 114\ncurl z\n"),
                         "TAVO_EXPECT=114 curl -s x \\\n  -d y   # error 114\ncurl z\n")
        with self.assertRaises(ValueError):
            mark_expected_errors("echo x  # error 1\n")
        self.assertEqual(localise("TAVO_ROOT=var/root build/bin/x http://127.0.0.1:8080/a ./build/y",
                                  9, "/r", "/b"),
                         "TAVO_ROOT=/r /b/bin/x http://127.0.0.1:9/a ./build/y")


if __name__ == "__main__":
    unittest.main()
