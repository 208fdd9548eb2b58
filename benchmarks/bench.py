"""Benchmarks of the web API side by side with their references, as ratios.

    scripts/bench [--quick] [--log-rows N] [--sizes 1000,10000,100000] [--requests N]
                  [--scan-files N] [--repeats N] [--only PARTS] [--out FILE]

Every figure is measured in one run with its reference on the same machine:
  1. one request through the host under lighttpd, served by the warm SCGI
     parent and as CGI (both by one lighttpd), vs a trivial CGI program
     printing a fixed answer under the same lighttpd configuration, in
     alternating rounds with the ratio of each round; and the requests per
     second of each with 1, 2 and 8 concurrent closed-loop clients;
  2. Log "load" (a 50-row page with two categories and two modules) and its
     count on a report of N rows vs the sqlite3 shell running the same two
     statements on the same file (both as one process per request), with the
     query plan of the count;
  3. Log "export" of all rows vs the sqlite3 shell writing the same bytes
     (heading, numbering, padding, line ends: checked equal),
     with the peak memory of each (at a tenth of the rows and at all rows);
  4. Quarantine "load" (one page, items over four volumes), WhiteList "load"
     (one page) and Quarantine "task_delete_all", each at growing sizes, as
     time per item;
  5. the scanner (tavoavscan --all) on a tree of 10,000 files: its first
     scan, its rescan of the unchanged tree and its rescan after 1% of the
     files changed, vs clamscan and vs clamd (clamdscan --multiscan --fdpass,
     first and second scan of a daemon the benchmark starts), with the same
     definitions, in alternating rounds: files per second, CPU use, peak
     memory, and the detected files checked to be the same (skipped, with a
     note, when ClamAV's programs are not installed).
Times are medians of repeated runs. Results go to standard output and, as
markdown, to --out (benchmarks/results.md by default)."""

import argparse
import io
import os
import pathlib
import platform
import random
import re
import shutil
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import zipfile

HERE = pathlib.Path(__file__).resolve().parent
sys.path.insert(0, str(HERE.parent / "tests" / "e2e"))
from harness import API_URL, CGI_URL, Sandbox, build_dir, lighttpd_config, _free_port, wait_until  # noqa: E402

import http.client  # noqa: E402
import socket  # noqa: E402

PKG = "/var/packages/AntiVirus-Zentrel/target"
REPORT_DB = PKG + "/.report"
CATS = ["info", "warning", "error"]
MODS = ["scan", "update", "quarantine", "config", "schedule"]
PAGE_CATS, PAGE_MODS = ["info", "warning"], ["scan", "update"]


# The peak RSS of a child counts the memory of the process it was forked
# from, so commands run under this small C program, which reports the peak
# and the CPU time (user + system) of its own child into a file.
PEAK_RSS_C = r"""
#include <stdio.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
int main(int argc, char** argv) {
    if (argc < 3) return 2;
    pid_t pid = fork();
    if (pid == 0) { execvp(argv[2], argv + 2); _exit(127); }
    int status = 0;
    struct rusage usage;
    if (wait4(pid, &status, 0, &usage) != pid) return 2;
    FILE* out = fopen(argv[1], "w");
    if (out) {
        fprintf(out, "%ld %.6f\n", usage.ru_maxrss,
                usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6);
        fclose(out);
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}
"""
_TOOLS = tempfile.mkdtemp(prefix="tavo-bench-tools-")
PEAK_RSS = os.path.join(_TOOLS, "peakrss")
PEAK_FILE = os.path.join(_TOOLS, "peak")


def build_tools():
    src = os.path.join(_TOOLS, "peakrss.c")
    pathlib.Path(src).write_text(PEAK_RSS_C)
    subprocess.run(["cc", "-O2", "-o", PEAK_RSS, src], check=True)


def run_measured(argv, env=None, stdout=subprocess.DEVNULL):
    """Runs argv; returns (seconds, peak RSS in KiB, CPU seconds, exit code)."""
    start = time.perf_counter()
    code = subprocess.call([PEAK_RSS, PEAK_FILE] + list(argv), env=env, stdin=subprocess.DEVNULL, stdout=stdout,
                           stderr=subprocess.DEVNULL)
    elapsed = time.perf_counter() - start
    try:
        rss_text, cpu_text = pathlib.Path(PEAK_FILE).read_text().split()
        rss, cpu = int(rss_text), float(cpu_text)
    except (OSError, ValueError):
        rss, cpu = 0, 0.0
    return elapsed, rss, cpu, code


def run_timed(argv, env=None, stdout=subprocess.DEVNULL):
    """Runs argv; returns (seconds, peak RSS in KiB, exit code)."""
    elapsed, rss, _, code = run_measured(argv, env, stdout)
    return elapsed, rss, code


def median_time(fn, repeats):
    return statistics.median(fn() for _ in range(repeats))


class Results:
    def __init__(self):
        self.rows = []   # (figure, ours, reference, ratio text, note)
        self.notes = []

    def add(self, figure, ours, reference, ratio, note=""):
        self.rows.append((figure, ours, reference, ratio, note))
        print("%-58s %14s %14s %8s  %s" % (figure, ours, reference, ratio, note), flush=True)

    def markdown(self, args):
        lines = ["# Benchmark results", "",
                 "Machine: %s, %d cores; Python %s; run %s." % (
                     platform.machine(), os.cpu_count(), platform.python_version(),
                     time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime())),
                 "Options: %s" % " ".join(sys.argv[1:]) if sys.argv[1:] else "Options: defaults", "",
                 "| Figure | Ours | Reference | Ratio | Note |", "|---|---|---|---|---|"]
        for row in self.rows:
            lines.append("| %s |" % " | ".join(str(c) for c in row))
        lines += [""] + ["- " + n for n in self.notes]
        return "\n".join(lines) + "\n"


def ms(seconds):
    return "%.2f ms" % (seconds * 1000)


def us(seconds):
    return "%.2f µs" % (seconds * 1e6)


# -- 1. host request vs trivial CGI -------------------------------------------

TRIVIAL_CGI = r"""
#include <stdio.h>
int main(void) {
    fputs("Content-Type: application/json\r\n\r\n{\"success\":true,\"data\":{}}", stdout);
    return 0;
}
"""


# The same answer from a C++ program linked with the C++ runtime and JsonCpp,
# as every plug-in is: how much of our cost is only loading those libraries.
RUNTIME_CGI = r"""
#include <json/json.h>
#include <cstdio>
int main() {
    Json::Value answer(Json::objectValue);
    answer["success"] = true;
    answer["data"] = Json::Value(Json::objectValue);
    std::fputs("Content-Type: application/json\r\n\r\n", stdout);
    std::fputs(Json::FastWriter().write(answer).c_str(), stdout);
    return 0;
}
"""


class TrivialServer:
    def __init__(self, tmp, source=TRIVIAL_CGI, name="trivial"):
        self.tmp = pathlib.Path(tmp) / name
        self.tmp.mkdir()
        cpp = source is not TRIVIAL_CGI
        src = self.tmp / (name + (".cpp" if cpp else ".c"))
        src.write_text(source)
        self.program = self.tmp / (name + ".cgi")
        compiler = ["c++", "-O2", "-I/usr/include/jsoncpp", "-o", str(self.program), str(src), "-ljsoncpp"] \
            if cpp else ["cc", "-O2", "-o", str(self.program), str(src)]
        subprocess.run(compiler, check=True)
        (self.tmp / "www").mkdir(exist_ok=True)
        self.port = _free_port()
        conf = self.tmp / "lighttpd.conf"
        conf.write_text(lighttpd_config(self.port, self.tmp / "www", self.program, {"X": "1"},
                                        self.tmp / "error.log"))
        self.server = subprocess.Popen(["lighttpd", "-D", "-f", str(conf)], stdin=subprocess.DEVNULL,
                                       stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_until(self._up, timeout=15)

    def _up(self):
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=1):
                return True
        except OSError:
            return False

    def stop(self):
        self.server.terminate()
        self.server.wait()


def get(port, target):
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    try:
        conn.request("GET", target)
        resp = conn.getresponse()
        body = resp.read()
        if resp.status != 200:
            raise RuntimeError("HTTP %d: %r" % (resp.status, body[:200]))
        return body
    finally:
        conn.close()


def timed_get(port, target):
    t = time.perf_counter()
    get(port, target)
    return time.perf_counter() - t


def spread(values):
    return "%.2f–%.2f×" % (min(values), max(values))


def throughput(port, target, clients, seconds):
    """Requests per second of clients closed-loop clients (threads) for seconds."""
    stop = time.perf_counter() + seconds
    counts = [0] * clients

    def client(i):
        while time.perf_counter() < stop:
            get(port, target)
            counts[i] += 1

    threads = [threading.Thread(target=client, args=(i,)) for i in range(clients)]
    start = time.perf_counter()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return sum(counts) / (time.perf_counter() - start)


def bench_request(results, requests, rounds=10, client_counts=(1, 2, 8), seconds=1.5):
    # One lighttpd serves the host both ways on one root: through the warm
    # SCGI parent at /webapi/api.cgi and as CGI at /webapi/api-cgi.cgi.
    with Sandbox(path="compare") as sb, tempfile.TemporaryDirectory(prefix="tavo-bench-cgi-") as tmp:
        trivial = TrivialServer(tmp)
        runtime = TrivialServer(tmp, RUNTIME_CGI, "runtime")
        try:
            query = "?" + sb.encode("TAVO.AntiVirus.Config", "get", 1, {})
            targets = {"scgi": (sb.port, API_URL + query), "cgi": (sb.port, CGI_URL + query),
                       "trivial": (trivial.port, "/webapi/api.cgi"), "cxx": (runtime.port, "/webapi/api.cgi")}
            for name in ("scgi", "cgi"):
                body = get(*targets[name])
                if b'"success":true' not in body.replace(b" ", b""):
                    raise RuntimeError("Config get failed (%s): %r" % (name, body))
            for target in targets.values():  # warm up: the SCGI parent is started on the first request
                for _ in range(5):
                    get(*target)
            # Alternating rounds: each round measures every server in turn
            # (the order rotating), so all share whatever else the machine
            # is doing; the ratios are taken per round.
            per_round = max(1, requests // rounds)
            medians = {name: [] for name in targets}
            order = list(targets)
            for r in range(rounds):
                for name in order[r % len(order):] + order[:r % len(order)]:
                    medians[name].append(statistics.median(timed_get(*targets[name]) for _ in range(per_round)))
            ratio = {name: [a / b for a, b in zip(medians[name], medians["trivial"])] for name in targets}
            med = {name: statistics.median(values) for name, values in medians.items()}
            note = "median of %d alternating rounds of %d; worst round %.2f×; round ratios %s" % (
                rounds, per_round, max(ratio["scgi"]), spread(ratio["scgi"]))
            results.add("Request through the SCGI host (Config get) vs trivial CGI", ms(med["scgi"]),
                        ms(med["trivial"]), "%.2f×" % statistics.median(ratio["scgi"]),
                        note + "; target ≤ 0.8×, worst round ≤ 1.0×")
            results.add("Request through the CGI host (Config get) vs trivial CGI", ms(med["cgi"]),
                        ms(med["trivial"]), "%.2f×" % statistics.median(ratio["cgi"]),
                        "the same rounds; round ratios %s" % spread(ratio["cgi"]))
            results.add("Trivial C++ CGI with JsonCpp vs trivial CGI", ms(med["cxx"]), ms(med["trivial"]),
                        "%.2f×" % statistics.median(ratio["cxx"]),
                        "the same answer; the share of loading the C++ runtime and JsonCpp; round ratios %s"
                        % spread(ratio["cxx"]))
            # Throughput: closed-loop clients, alternating rounds again.
            for clients in client_counts:
                rates = {name: [] for name in ("scgi", "cgi", "trivial")}
                names = list(rates)
                for r in range(max(3, rounds // 2)):
                    for name in names[r % 3:] + names[:r % 3]:
                        rates[name].append(throughput(*targets[name], clients, seconds))
                rate = {name: statistics.median(values) for name, values in rates.items()}
                results.add("Requests/s, %d client%s: SCGI host vs CGI host" % (clients, "s" if clients > 1 else ""),
                            "%.0f/s" % rate["scgi"], "%.0f/s" % rate["cgi"], "%.2f×" % (rate["scgi"] / rate["cgi"]),
                            "rate ratio; median of %d alternating rounds of %.1f s; SCGI %.0f–%.0f/s, CGI %.0f–%.0f/s, "
                            "trivial CGI %.0f/s%s" % (
                                len(rates["scgi"]), seconds, min(rates["scgi"]), max(rates["scgi"]),
                                min(rates["cgi"]), max(rates["cgi"]), rate["trivial"],
                                "; target ≥ 2×" if clients == 2 else ""))
        finally:
            trivial.stop()
            runtime.stop()


# -- 2./3. the report -----------------------------------------------------------

def seed_report(sb, rows):
    ok = sb.call("TAVO.AntiVirus.Log", "delete", data=[])
    assert ok.get("success"), ok
    db = sqlite3.connect(str(sb.path(REPORT_DB)))
    with db:
        db.executemany("INSERT INTO report (class, module, eventText, logTime) VALUES (?,?,?,?)",
                       ((CATS[i % 3], MODS[(i // 3) % 5], "Event number %d on /volume1/share/file%d.exe" % (i, i),
                         "2026-12-%02d %02d:%02d:%02d" % (1 + i % 28, i % 24, i % 60, (i * 7) % 60))
                        for i in range(rows)))
    db.execute("PRAGMA wal_checkpoint(TRUNCATE)")
    db.close()


def host_cli(sb, api, method, *pairs):
    return [str(sb.program), "call", api, "1", method] + list(pairs)


def bench_report(results, rows, repeats):
    with Sandbox() as sb:
        t0 = time.perf_counter()
        seed_report(sb, rows)
        results.notes.append("Report of %d rows seeded in %.1f s." % (rows, time.perf_counter() - t0))
        db = str(sb.path(REPORT_DB))
        env = sb.env()
        cats = ",".join('"%s"' % c for c in PAGE_CATS)
        mods = ",".join('"%s"' % m for m in PAGE_MODS)
        where = "WHERE class IN (%s) AND module IN (%s)" % (cats, mods)
        page_sql = "SELECT * FROM report %s ORDER BY id DESC LIMIT 50 OFFSET 0;" % where
        count_sql = "SELECT COUNT(*) as TOTAL FROM report %s;" % where
        load = host_cli(sb, "TAVO.AntiVirus.Log", "load", "start=0", "limit=50",
                        "categories=%s" % str(PAGE_CATS).replace("'", '"'),
                        "modules=%s" % str(PAGE_MODS).replace("'", '"'))
        out = subprocess.run(load, env=env, capture_output=True, text=True)
        if '"success":true' not in out.stdout.replace(" ", ""):
            raise RuntimeError("Log load failed: %s %s" % (out.stdout[:300], out.stderr[-500:]))
        ours = median_time(lambda: run_timed(load, env)[0], repeats)
        ref = median_time(lambda: run_timed(["sqlite3", db, page_sql + " " + count_sql])[0], repeats)
        plan = subprocess.run(["sqlite3", db, "EXPLAIN QUERY PLAN " + count_sql], capture_output=True,
                              text=True).stdout.replace("QUERY PLAN", "").replace("`--", "").strip()
        plan = " ".join(plan.split())
        results.add("Log load 50-row page + count, %d rows" % rows, ms(ours), ms(ref), "%.2f×" % (ours / ref),
                    "target ≤ 1.5×; count plan: %s" % plan.replace("|", "/"))

        export = host_cli(sb, "TAVO.AntiVirus.Log", "export")
        # The reference prints the very bytes of the export's body: the same
        # heading, numbering, padding and CRLF line ends (checked below).
        ref_cmd = ["sqlite3", "-list", "-noheader", db,
                   "SELECT printf('%3s %-8s %-8s %-60s %s', 'ID', 'Category', 'Module', 'Event', 'Date') "
                   "|| char(13); SELECT printf('%3d %-8s %-8s %-60s %s', row_number() OVER (ORDER BY id DESC), "
                   "class, module, eventText, logTime) || char(13) FROM report ORDER BY id DESC;"]
        # Peak memory at a tenth of the rows first, on a copy cut down to that size.
        small = pathlib.Path(db).with_name(".report-small")
        shutil.copy(db, small)
        c = sqlite3.connect(str(small))
        with c:
            c.execute("DELETE FROM report WHERE id > ?", (rows // 10,))
        c.execute("VACUUM")
        c.close()
        os.replace(db, str(db) + ".full")
        os.replace(small, db)
        _, small_rss, _ = run_timed(export, env)
        _, small_ref_rss, _ = run_timed(ref_cmd)
        ours_bytes = subprocess.run(export, env=env, capture_output=True).stdout.split(b"\n\n", 1)[1]
        ref_bytes = subprocess.run(ref_cmd, capture_output=True).stdout
        if ours_bytes != ref_bytes:
            raise RuntimeError("the export's reference prints other bytes: %r vs %r" % (ours_bytes[:300], ref_bytes[:300]))
        os.replace(str(db) + ".full", db)
        for suffix in ("-wal", "-shm"):
            try:
                os.unlink(db + suffix)
            except OSError:
                pass
        timings, rss = [], 0
        ref_timings, ref_rss = [], 0
        for _ in range(max(1, repeats // 2)):
            t, r, code = run_timed(export, env)
            assert code == 0
            timings.append(t); rss = max(rss, r)
            t, r, _ = run_timed(ref_cmd)
            ref_timings.append(t); ref_rss = max(ref_rss, r)
        a, b = statistics.median(timings), statistics.median(ref_timings)
        results.add("Log export, %d rows (rows/s)" % rows, "%.0f/s" % (rows / a), "%.0f/s" % (rows / b),
                    "%.2f×" % (a / b), "time ratio; %s vs %s; the reference prints the same bytes" % (ms(a), ms(b)))
        results.add("Log export peak memory, %d → %d rows" % (rows // 10, rows),
                    "%d → %d KiB" % (small_rss, rss), "%d → %d KiB" % (small_ref_rss, ref_rss),
                    "%.2f×" % (rss / small_rss), "growth over 10× the rows (1.00× = flat)")


# -- 4. quarantine and white list scaling -------------------------------------

ITEM_SCHEMA = ("CREATE TABLE IF NOT EXISTS quarantine (id INTEGER PRIMARY KEY AUTOINCREMENT,"
               " renamed_name TEXT NOT NULL UNIQUE, original_path TEXT NOT NULL, threat TEXT NOT NULL,"
               " time TEXT NOT NULL)")


def seed_quarantine(sb, items, volumes=4):
    """items spread over volumes, written straight into each volume's store."""
    for v in range(1, volumes + 1):
        qdir = sb.path("/volume%d/@tavoav_quarantine" % v)
        qdir.mkdir(parents=True, exist_ok=True)
        db = sqlite3.connect(str(qdir / ".quarantine.db"))
        db.execute(ITEM_SCHEMA)
        names = ["tq_%08x%016x" % (v, i) for i in range(v - 1, items, volumes)]
        with db:
            db.executemany("INSERT INTO quarantine (renamed_name, original_path, threat, time) VALUES (?,?,?,?)",
                           ((n, "/share/dir/%s.exe" % n, "Eicar-Test", "2026-12-01 10:00:00") for n in names))
        db.close()
        for n in names:
            (qdir / n).touch()


def bench_scaling(results, sizes, repeats):
    per_item = {"q_load": [], "w_load": [], "delete_all": []}
    for n in sizes:
        with Sandbox() as sb:
            env = sb.env()
            seed_quarantine(sb, n)
            load = host_cli(sb, "TAVO.AntiVirus.Quarantine", "load", "start=0", "limit=50")
            out = subprocess.run(load, env=env, capture_output=True, text=True).stdout
            if '"quarantineCount":%d' % n not in out.replace(" ", ""):
                raise RuntimeError("quarantine load of %d items: %s" % (n, out[:300]))
            t = median_time(lambda: run_timed(load, env)[0], repeats)
            per_item["q_load"].append((n, t))

            sb.path(PKG + "/etc").mkdir(parents=True, exist_ok=True)
            sb.path(PKG + "/etc/whitelist").write_text("".join("/volume1/share/white/%d.exe\n" % i
                                                               for i in range(n)))
            wload = host_cli(sb, "TAVO.AntiVirus.WhiteList", "load", "start=0", "limit=50")
            out = subprocess.run(wload, env=env, capture_output=True, text=True).stdout
            if '"itemCount":%d' % n not in out.replace(" ", ""):
                raise RuntimeError("white list load of %d entries: %s" % (n, out[:300]))
            t = median_time(lambda: run_timed(wload, env)[0], repeats)
            per_item["w_load"].append((n, t))

            start = time.perf_counter()
            answer = sb.call("TAVO.AntiVirus.Quarantine", "task_delete_all")
            task_id = answer["data"]["task_id"]
            status = wait_until(lambda: (lambda s: s if s.get("data", {}).get("finished") else None)(
                sb.call("TAVO.AntiVirus.Quarantine", "task_status", task_id=task_id)), timeout=3600, interval=0.02)
            elapsed = time.perf_counter() - start
            left = sb.call("TAVO.AntiVirus.Quarantine", "load", start=0, limit=1)["data"]["quarantineCount"]
            if not status or left != 0:
                raise RuntimeError("task_delete_all on %d items left %d" % (n, left))
            per_item["delete_all"].append((n, elapsed))

    names = {"q_load": "Quarantine load, one page, 4 volumes", "w_load": "WhiteList load, one page",
             "delete_all": "Quarantine task_delete_all"}
    for key, points in per_item.items():
        first_n, first_t = points[0]
        for n, t in points:
            results.add("%s, %d items (per item)" % (names[key], n), us(t / n), us(first_t / first_n),
                        "%.2f×" % ((t / n) / (first_t / first_n)),
                        "total %s; reference = per item at %d (≤ 1× is linear or better)" % (ms(t), first_n))


# -- 5. the scanner vs clamscan and clamd --------------------------------------

CONF = PKG + "/etc/tavoav.conf"
MIRROR = PKG + "/mirror"
DEFS = PKG + "/defs"
SIGNATURE_NAME = "Eicar-Test-Signature"
FINISHED = re.compile(r"Scan finished \(full scan\): (\d+) files scanned, (\d+) infected, (\d+) moved"
                      r"(?:.*, (\d+) known clean from the cache)?")
VIRUS_FOUND = re.compile(r"^Virus found: (.*) \(([^()]*)\)$")
CLAM_FOUND = re.compile(r"^(.*): (\S+) FOUND$", re.M)
FILE_INDEX = re.compile(r"(\d{5})\.")


def eicar():
    # Two halves, so that no file of the repository carries the whole string.
    head = "X5O!P%@AP[4\\PZX54(P^)7CC)7}$"
    tail = "EICAR-STANDARD-ANTIVIRUS-TEST-FILE!$H+H*"
    return (head + tail).encode("ascii")


def zipped(name, data):
    buf = io.BytesIO()
    with zipfile.ZipFile(buf, "w", zipfile.ZIP_DEFLATED) as archive:
        archive.writestr(name, data)
    return buf.getvalue()


def infected_indexes(files):
    return set(range(7, files, max(1, files // 8)))  # 8 of them at any size


def scan_tree(volume, files):
    """files under volume in folders of 100: mostly small documents and
    binaries, some larger ones, a few zips and executables, and a few files
    carrying the test string. Returns (bytes written, files with the string)."""
    rnd = random.Random(9)
    test = eicar()
    infected = infected_indexes(files)
    words = b"backup volume share quota snapshot user group report invoice meeting notes ".split()
    total = 0
    for i in range(files):
        folder = volume / ("dir%03d" % (i // 1000)) / ("sub%02d" % ((i // 100) % 10))
        if i % 100 == 0:
            folder.mkdir(parents=True, exist_ok=True)
        roll = rnd.random()
        if roll < 0.70:
            size = rnd.randint(64, 4096)
        elif roll < 0.95:
            size = rnd.randint(4096, 64 * 1024)
        elif roll < 0.995:
            size = rnd.randint(64 * 1024, 1024 * 1024)
        else:
            size = rnd.randint(1024 * 1024, 4 * 1024 * 1024)
        kind = i % 10
        if kind < 4:
            name, data = "note%05d.txt" % i, b" ".join(rnd.choice(words) for _ in range(size // 6 + 1))[:size]
        elif kind < 7:
            name, data = "data%05d.bin" % i, rnd.randbytes(size)
        elif kind < 8:
            name, data = "photo%05d.jpg" % i, b"\xff\xd8\xff\xe0" + rnd.randbytes(size) + b"\xff\xd9"
        elif kind < 9:
            name, data = "tool%05d.exe" % i, b"MZ" + b"\x00" * 58 + rnd.randbytes(size)
        else:
            name = "pack%05d.zip" % i
            data = zipped("inner.txt", b" ".join(rnd.choice(words) for _ in range(size // 6 + 1))[:size])
        if i in infected:
            data = zipped("eicar.com", test) if kind == 9 else data[: size // 2] + test + data[size // 2:]
        (folder / name).write_bytes(data)
        total += len(data)
    return total, len(infected)


def change_files(volume, files, share, seed):
    """Rewrites a share of the clean files with new content of about the
    same size (clean still). Returns how many."""
    rnd = random.Random(seed)
    infected = infected_indexes(files)
    clean = sorted(p for p in volume.rglob("*") if p.is_file()
                   and int(FILE_INDEX.search(p.name).group(1)) not in infected)
    picked = rnd.sample(clean, max(1, int(len(clean) * share)))
    for path in picked:
        old = path.read_bytes()
        if path.suffix == ".zip":
            data = zipped("inner.txt", rnd.randbytes(len(old)).hex().encode()[: len(old)])
        else:
            data = old[:4] + rnd.randbytes(max(1, len(old) - 4 + rnd.randint(-16, 16)))
        path.write_bytes(data)
    return len(picked)


def scanner_events(root):
    db = sqlite3.connect(str(root / REPORT_DB.lstrip("/")))
    try:
        return [r[0] for r in db.execute("SELECT eventText FROM report ORDER BY id")]
    finally:
        db.close()


class Clamd:
    """ClamAV's daemon in the foreground, with a configuration and a socket of
    its own in `folder`, loading the definitions folder `defs` (never
    freshclam)."""

    def __init__(self, clamd, folder, defs):
        self.clamd = clamd
        self.folder = pathlib.Path(folder)
        self.folder.mkdir(parents=True, exist_ok=True)
        self.sock = self.folder / "clamd.sock"
        self.conf = self.folder / "clamd.conf"
        self.conf.write_text("\n".join([
            "Foreground yes", "LocalSocket %s" % self.sock, "LocalSocketMode 600",
            "DatabaseDirectory %s" % defs, "TemporaryDirectory %s" % self.folder,
            "LogFile %s" % (self.folder / "clamd.log"), "LogTime no", "SelfCheck 0",
            "MaxFileSize 100M", "MaxScanSize 400M", ""]))
        self.proc = None

    def start(self):
        self.proc = subprocess.Popen([self.clamd, "--config-file=%s" % self.conf], stdin=subprocess.DEVNULL,
                                     stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)

        def pong():
            if self.proc.poll() is not None:
                raise RuntimeError("clamd exited %d: %s" % (self.proc.returncode, self.log()[-500:]))
            try:
                with socket.socket(socket.AF_UNIX) as conn:
                    conn.settimeout(2)
                    conn.connect(str(self.sock))
                    conn.sendall(b"zPING\0")
                    return conn.recv(16).startswith(b"PONG")
            except OSError:
                return False
        if not wait_until(pong, timeout=120):
            raise RuntimeError("clamd did not answer on %s" % self.sock)

    def log(self):
        try:
            return (self.folder / "clamd.log").read_text(errors="replace")
        except OSError:
            return ""

    def cpu(self):
        fields = pathlib.Path("/proc/%d/stat" % self.proc.pid).read_text().rsplit(")", 1)[1].split()
        return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")

    def peak_kib(self):
        for line in pathlib.Path("/proc/%d/status" % self.proc.pid).read_text().splitlines():
            if line.startswith("VmHWM:"):
                return int(line.split()[1])
        return 0

    def stop(self):
        if self.proc and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None


def time_spread(values):
    return "%s [%s–%s]" % (ms(statistics.median(values)), ms(min(values)), ms(max(values)))


def bench_scanner(results, files, repeats):
    scanner = build_dir() / "bin" / "tavoavscan"
    if not scanner.exists():
        raise RuntimeError("scanner not built: %s" % scanner)
    clamscan, clamdscan = shutil.which("clamscan"), shutil.which("clamdscan")
    clamd = shutil.which("clamd") or ("/usr/sbin/clamd" if os.access("/usr/sbin/clamd", os.X_OK) else None)
    if not (clamscan and clamdscan and clamd):
        results.notes.append("Scanner vs clamscan and clamd: not measured, ClamAV's programs are not installed "
                             "(scripts/bench installs Debian's clamav, clamav-daemon and clamdscan when run as root).")
        print("scanner: clamscan, clamd or clamdscan is not installed, skipped", flush=True)
        return
    with tempfile.TemporaryDirectory(prefix="tavo-bench-scan-") as tmp:
        root = pathlib.Path(tmp) / "root"
        volume = root / "volume1"
        t0 = time.perf_counter()
        size, planted = scan_tree(volume, files)
        results.notes.append("Scanner tree: %d files, %.1f MiB in /volume1 (70%% up to 4 KiB, 25%% up to 64 KiB, "
                             "the rest up to 4 MiB; text, binary, jpg, exe and zip), %d carrying the test string; "
                             "made in %.1f s." % (files, size / 1048576, planted, time.perf_counter() - t0))
        mirror = root / MIRROR.lstrip("/")
        mirror.mkdir(parents=True)
        (mirror / "tavo-demo.ndb").write_text("%s:0:*:%s\n" % (SIGNATURE_NAME, eicar().hex()))
        conf = root / CONF.lstrip("/")
        conf.parent.mkdir(parents=True, exist_ok=True)
        # The update and the scan start have the installed scanner check the
        # definitions, as on an appliance.
        installed = root / (PKG + "/bin/tavoavscan").lstrip("/")
        installed.parent.mkdir(parents=True, exist_ok=True)
        installed.symlink_to(scanner)
        env = {"TAVO_ROOT": str(root), "PATH": os.environ.get("PATH", "/usr/bin:/bin")}
        out_file = pathlib.Path(tmp) / "clam.out"
        defs = root / DEFS.lstrip("/")
        daemon = Clamd(clamd, pathlib.Path(tmp) / "clamd", defs)
        # Never freshclam: clamscan and clamd read only the folder the scanner reads.
        clamscan_cmd = [clamscan, "-r", "-i", "--database=%s" % defs, str(volume)]
        clamdscan_cmd = [clamdscan, "--config-file=%s" % daemon.conf, "--multiscan", "--fdpass", "-i", str(volume)]

        def run_ours(extra):
            before = len(scanner_events(root)) if (root / REPORT_DB.lstrip("/")).exists() else 0
            t, rss, cpu, code = run_measured([str(scanner), "--all"] + extra, env)
            if code != 0:
                raise RuntimeError("tavoavscan --all exited %d" % code)
            events = scanner_events(root)[before:]
            finished = [m for m in map(FINISHED.search, events) if m]
            if len(finished) != 1:
                raise RuntimeError("tavoavscan --all: no finished scan in the event log")
            scanned, infected, moved = (int(g) for g in finished[0].groups()[:3])
            if moved:
                raise RuntimeError("tavoavscan moved %d files, the action is not do_nothing" % moved)
            found = frozenset(str(root) + m.group(1) for m in map(VIRUS_FOUND.match, events) if m)
            return {"t": t, "rss": rss, "cpu": cpu, "scanned": scanned, "infected": infected, "found": found,
                    "cached": int(finished[0].group(4) or 0)}

        def run_clam(cmd, server=None):
            cpu0 = server.cpu() if server else 0.0
            with open(out_file, "w") as out:
                t, rss, cpu, code = run_measured(cmd, None, stdout=out)
            text = out_file.read_text(errors="replace")
            infected = re.search(r"^Infected files: (\d+)", text, re.M)
            if code not in (0, 1) or not infected:
                raise RuntimeError("%s exited %d: %s" % (cmd[0], code, text[-500:]))
            scanned = re.search(r"^Scanned files: (\d+)", text, re.M)
            if server:
                cpu += server.cpu() - cpu0
                rss = server.peak_kib()
            found = frozenset(m.group(1) for m in CLAM_FOUND.finditer(text))
            return {"t": t, "rss": rss, "cpu": cpu, "scanned": int(scanned.group(1)) if scanned else None,
                    "infected": int(infected.group(1)), "found": found}

        # Scan all files, leave found files in place, empty white list. The
        # first (untimed) run installs the definitions through the update
        # before scan and warms the page cache for all.
        conf.write_text("autoUpdate=1\ndefaultOp=0\nfilterRule=0\nscanArchives=1\n")
        run_ours(["--rescan-all"])
        if not any(p.is_file() for p in defs.glob("*.ndb")):
            raise RuntimeError("the update did not install the definitions in %s" % defs)
        conf.write_text("autoUpdate=0\ndefaultOp=0\nfilterRule=0\nscanArchives=1\n")
        run_clam(clamscan_cmd)
        time.sleep(1.5)  # every file's last change settled, as on a volume between scans
        m = {k: [] for k in ("first", "rescan", "changed", "clamscan", "clamd1", "clamd2")}
        changed = 0

        def ours_round(i):
            nonlocal changed
            m["first"].append(run_ours(["--rescan-all"]))
            m["rescan"].append(run_ours([]))
            changed = change_files(volume, files, 0.01, 100 + i)
            m["changed"].append(run_ours([]))

        def clamscan_round(_):
            m["clamscan"].append(run_clam(clamscan_cmd))

        def clamd_round(_):
            daemon.start()
            try:
                m["clamd1"].append(run_clam(clamdscan_cmd, daemon))
                m["clamd2"].append(run_clam(clamdscan_cmd, daemon))
            finally:
                daemon.stop()

        for i in range(repeats):  # alternating, so all share the machine's load alike
            order = [ours_round, clamscan_round, clamd_round]
            for step in (order if i % 2 == 0 else order[::-1]):
                step(i)
            time.sleep(1.5)

        def med(key):
            return statistics.median(r["t"] for r in m[key])

        def cores(key):
            return statistics.median(r["cpu"] / r["t"] for r in m[key])

        def peak(key):
            return max(r["rss"] for r in m[key])

        found = {k: {r["found"] for r in v} for k, v in m.items()}
        every = set().union(*found.values())
        same = len(every) == 1 and len(next(iter(every))) == planted
        detections = ("detections equal: every run of each found the same %d files (%d planted)" % (planted, planted)
                      if same else "DETECTIONS DIFFER: %s" % {k: sorted(len(f) for f in v) for k, v in found.items()})
        scanned_ours = {r["scanned"] for k in ("first", "rescan", "changed") for r in m[k]}
        scanned_clamscan = {r["scanned"] for r in m["clamscan"]}
        cached = statistics.median(r["cached"] for r in m["rescan"])
        cached_changed = statistics.median(r["cached"] for r in m["changed"])
        names = {"first": "tavoavscan --all --rescan-all (first scan, cache cleared)",
                 "rescan": "tavoavscan --all (rescan, tree unchanged)",
                 "changed": "tavoavscan --all (rescan after %d files (1%%) changed)" % changed,
                 "clamscan": "clamscan -r", "clamd1": "clamdscan --multiscan --fdpass, first scan of a new clamd",
                 "clamd2": "clamdscan --multiscan --fdpass, second scan by the same clamd"}

        def row(ours, ref, label):
            a, b = med(ours), med(ref)
            note = ("speed-up (reference time / ours); medians of %d alternating rounds [min–max]: %s vs %s; "
                    "CPU %.2f vs %.2f cores; peak RSS %d vs %d KiB; %s" % (
                        repeats, time_spread([r["t"] for r in m[ours]]), time_spread([r["t"] for r in m[ref]]),
                        cores(ours), cores(ref), peak(ours), peak(ref), detections))
            results.add(label, "%.0f/s" % (files / a), "%.0f/s" % (files / b), "%.2f×" % (b / a), note)

        row("first", "clamscan", "Scanner first scan vs clamscan, %d files (files/s)" % files)
        row("first", "clamd1", "Scanner first scan vs clamd multiscan, %d files (files/s)" % files)
        row("rescan", "clamscan", "Scanner rescan (unchanged) vs clamscan, %d files (files/s)" % files)
        row("rescan", "clamd2", "Scanner rescan (unchanged) vs clamd second scan, %d files (files/s)" % files)
        row("changed", "clamd2", "Scanner rescan (1%% changed) vs clamd second scan, %d files (files/s)" % files)
        version = subprocess.run([clamscan, "--version"], capture_output=True, text=True).stdout.strip()
        results.notes.append(
            "Scanner references: %s; `clamscan -r -i --database=<installed definitions>`; clamd started by the "
            "benchmark in the foreground (private configuration and socket, the same definitions folder, default "
            "threads) and `clamdscan --multiscan --fdpass -i`, its first scan after start and a second one; "
            "tavoavscan with autoUpdate=0, defaultOp=0, filterRule=0 and the default worker count (%d online CPUs). "
            "Each round: our first scan, rescan, 1%% of the files rewritten, rescan; clamscan; clamd start, first "
            "and second scan, stop (the order reversed every other round). CPU is user + system time over wall "
            "time (clamd's own plus clamdscan's); peak RSS of clamd is its VmHWM, definitions loaded. Files "
            "scanned: ours %s, clamscan %s; from the cache: %d on the unchanged rescan, %d after the change."
            % (version or clamscan, os.cpu_count(), sorted(scanned_ours), sorted(scanned_clamscan), cached,
               cached_changed))
        for key in m:
            print("  %-70s %s, CPU %.2f cores, peak %d KiB" % (names[key], time_spread([r["t"] for r in m[key]]),
                                                              cores(key), peak(key)), flush=True)


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--quick", action="store_true", help="small sizes: 100,000 log rows; 1,000 and 10,000 items; 1,000 files to scan")
    parser.add_argument("--log-rows", type=int)
    parser.add_argument("--sizes")
    parser.add_argument("--requests", type=int, default=200)
    parser.add_argument("--scan-files", type=int, help="files in the scanner's tree (10,000; 1,000 with --quick)")
    parser.add_argument("--repeats", type=int, default=7)
    parser.add_argument("--only", help="comma list of: request,report,scaling,scanner")
    parser.add_argument("--out", default=str(HERE / "results.md"))
    args = parser.parse_args()
    log_rows = args.log_rows or (100000 if args.quick else 1000000)
    sizes = [int(s) for s in (args.sizes or ("1000,10000" if args.quick else "1000,10000,100000")).split(",")]
    only = set((args.only or "request,report,scaling,scanner").split(","))
    print("build: %s" % build_dir())
    build_tools()

    results = Results()
    print("%-58s %14s %14s %8s  %s" % ("figure", "ours", "reference", "ratio", "note"))
    if "request" in only:
        bench_request(results, args.requests)
    if "report" in only:
        bench_report(results, log_rows, args.repeats)
    if "scaling" in only:
        bench_scaling(results, sizes, args.repeats)
    if "scanner" in only:
        bench_scanner(results, args.scan_files or (1000 if args.quick else 10000), args.repeats)
    pathlib.Path(args.out).write_text(results.markdown(args))
    shutil.rmtree(_TOOLS, ignore_errors=True)
    print("written: %s" % args.out)


if __name__ == "__main__":
    main()
