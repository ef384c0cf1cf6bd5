#!/usr/bin/python3
"""Series-send benchmark: our mail engine against curl's SMTP client, same sink, same run.

Builds the sink and the driver, generates the workloads (random bytes) into a temporary
folder, alternates runs (ours, curl, ours, curl, ...), checks with the sink's counts that every
message arrived over one connection, and prints a table of medians with the ratios ours/curl;
the same table is written as Markdown (default bench/results.md).

    bench/run.sh [--runs 5] [--workloads W1,W2,W3,W4,W1-TLS,W2-RTT,W1-RTT] [--no-slow] [--out FILE]
                 [--no-build]

W1-TLS is W1 over STARTTLS: the sink offers it with a certificate this run makes, and curl
(--ssl-reqd, trusting this run's CA) and ours send the same series.

W2-RTT and W1-RTT go through the latency proxy (bench_latency_proxy), which delays each
direction by half of RTT_MS, so every wait for a reply costs a round trip as on a real network.
Ours runs twice there: against the sink offering PIPELINING and CHUNKING ("ours") and against
the sink told not to ("ours-plain"); curl in the same run. At most 3 runs each (a curl run of
W2-RTT takes some 40 s).

Each client is started through GNU time (`/usr/bin/time -f ...`), so its peak resident memory
is its own: a child forked straight from this runner would count the runner's pages too.
"""
import argparse
import os
import shutil
import signal
import statistics
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
MIB = 1 << 20

# name: (file count, file size, description)
WORKLOADS = {
    "W1": (20, 5 * MIB, "20 files of 5 MiB, one per message"),
    "W2": (1000, 4 * 1024, "1000 files of 4 KiB, one per message"),
    "W3": (1, 100 * MIB, "one file of 100 MiB"),
    "W4": (1, 2048 * MIB, "one file of 2 GiB (sparse: zeros)"),
    "W1-TLS": (20, 5 * MIB, "W1 over STARTTLS (certificate made by the run)"),
    "W2-RTT": (200, 4 * 1024, "200 files of 4 KiB, one per message, through a 50 ms round trip"),
    "W1-RTT": (20, 5 * MIB, "W1 through the same 50 ms round trip"),
    "W6": (20, 5 * MIB, "100 MiB of text-like data (made the same every run), sent with the archiver; "
           "packed by the archiver, zip -q -6 and 7z a -tzip -mx=5"),
}
RTT_MS = 50
RTT_RUNS = 3
# The round trips the dialogue with both extensions needs: one per message (its data, with the
# next envelope and at the end the QUIT), and these four: connecting, the greeting, EHLO and the
# first envelope.
RTT_FIXED = 4
# Text-like workloads: deterministic, compressible about as well as prose.
TEXT = {"W6"}
# The internal archiver's message size in the benchmark, KiB.
ZIP_KB = 20 * 1024
# The programs that pack W6 side by side (no sending).
PACKERS = ("pack", "zip", "7z")
# Workloads made sparse: set up in no time, whatever their size.
SPARSE = {"W4"}
GNU_TIME = "/usr/bin/time"
FROM = "bench@sendorix.test"
TO = "sink@sendorix.test"
RUN_TIMEOUT_S = 600
SLOW_RUNS = 3


def build(build_dir):
    subprocess.run(["cmake", "-S", ROOT, "-B", build_dir, "-G", "Ninja",
                    "-DCMAKE_BUILD_TYPE=RelWithDebInfo"], check=True, stdout=subprocess.DEVNULL)
    targets = ["bench_sink", "bench_latency_proxy", "bench_pack", "bench_job_driver"]
    probe = subprocess.run(["cmake", "--build", build_dir, "--target", "help"],
                           capture_output=True, text=True)
    if "bench_driver" in probe.stdout:
        targets.append("bench_driver")
    if "bench_window_driver" in probe.stdout:
        targets.append("bench_window_driver")
    subprocess.run(["cmake", "--build", build_dir, "-j", "2", "--target", *targets], check=True)


def make_workload(folder, name):
    count, size, _ = WORKLOADS[name]
    wdir = os.path.join(folder, name)
    os.makedirs(wdir)
    files = []
    for i in range(count):
        path = os.path.join(wdir, "file%04d.bin" % (i + 1))
        with open(path, "wb") as f:
            if name in SPARSE:
                f.truncate(size)
                files.append(path)
                continue
            if name in TEXT:
                f.write(text_like(size, i))
                files.append(path)
                continue
            left = size
            while left:
                n = min(left, 4 * MIB)
                f.write(os.urandom(n))
                left -= n
        files.append(path)
    return files


def text_like(size, seed):
    """size bytes of made-up prose: lines of words from a fixed vocabulary, the same every run."""
    import random
    rnd = random.Random(seed)
    letters = "etaoinshrdlucmfwypvbgkqjxz"
    words = ["".join(rnd.choice(letters[:12 + k % 14]) for _ in range(2 + k % 9)) for k in range(4000)]
    lines = [" ".join(rnd.choice(words) for _ in range(rnd.randint(4, 14))).capitalize() + ".\n"
             for _ in range(20000)]
    out, n = [], 0
    while n < size:
        line = rnd.choice(lines)
        out.append(line)
        n += len(line)
    return "".join(out).encode("ascii")[:size]


def make_tls(folder):
    """A CA and a certificate for 127.0.0.1 signed by it, made with the openssl command."""
    def ossl(*args):
        subprocess.run(["openssl", *args], cwd=folder, check=True, capture_output=True)
    key = ["-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes"]
    ossl("req", "-x509", *key, "-keyout", "ca.key", "-out", "ca.pem", "-days", "2", "-subj", "/CN=Bench CA",
         "-addext", "basicConstraints=critical,CA:TRUE")
    ossl("req", *key, "-keyout", "sink.key", "-out", "sink.csr", "-subj", "/CN=bench sink")
    with open(os.path.join(folder, "sink.ext"), "w") as f:
        f.write("subjectAltName=IP:127.0.0.1\n")
    ossl("x509", "-req", "-in", "sink.csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
         "-out", "sink.pem", "-days", "2", "-extfile", "sink.ext")
    return {k: os.path.join(folder, v) for k, v in (("ca", "ca.pem"), ("cert", "sink.pem"), ("key", "sink.key"))}


def start_sink(sink, delay_ms=0, tls=None, extensions=True):
    args = [sink, "--once", "--idle-timeout-s", "60"]
    if not extensions:
        args.append("--no-extensions")
    if tls:
        args += ["--tls-cert", tls["cert"], "--tls-key", tls["key"]]
    if delay_ms:
        args += ["--delay-ms", str(delay_ms)]
    proc = subprocess.Popen(args, stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line.startswith("PORT "):
        proc.kill()
        raise RuntimeError("sink did not start: %r" % line)
    return proc, int(line.split()[1])


def start_proxy(proxy, target_port):
    """The latency proxy in front of the sink: half the round trip each way."""
    proc = subprocess.Popen([proxy, "--once", "--idle-timeout-s", "60", "--target-port", str(target_port),
                             "--delay-ms", str(RTT_MS // 2)], stdout=subprocess.PIPE, text=True)
    line = proc.stdout.readline()
    if not line.startswith("PORT "):
        proc.kill()
        raise RuntimeError("latency proxy did not start: %r" % line)
    return proc, int(line.split()[1])


def finish_proxy(proc):
    try:
        proc.wait(timeout=30)
    except subprocess.TimeoutExpired:
        proc.terminate()
        proc.wait()


def finish_sink(proc):
    """Waits for the sink (it ends with its connection); returns its counts and CPU seconds."""
    timer = threading.Timer(30, proc.send_signal, (signal.SIGTERM,))
    timer.start()
    out = proc.stdout.read()
    _, status, ru = os.wait4(proc.pid, 0)
    timer.cancel()
    proc.returncode = os.waitstatus_to_exitcode(status)
    counts = {"cpu": ru.ru_utime + ru.ru_stime}
    for line in out.splitlines():
        if line.startswith("COUNTS "):
            for item in line.split()[1:]:
                k, v = item.split("=")
                counts[k] = int(v)
    return counts


def curl_config(path, port, files, tls=None):
    def q(s):
        return '"' + s.replace("\\", "\\\\").replace('"', '\\"') + '"'
    total = len(files)
    blocks = []
    for i, f in enumerate(files):
        subject = "Bench %d(%d) %s" % (i + 1, total, os.path.basename(f))
        blocks.append("\n".join([
            "url = " + q("smtp://127.0.0.1:%d/bench" % port),
            "mail-from = " + q(FROM),
            "mail-rcpt = " + q(TO),
            "header = " + q("Subject: " + subject),
            "header = " + q("From: " + FROM),
            "header = " + q("To: " + TO),
            "form = " + q("=@%s;type=application/octet-stream;encoder=base64" % f),
        ] + (["ssl-reqd", "cacert = " + q(tls["ca"])] if tls else [])))
    with open(path, "w") as out:
        out.write("\nnext\n".join(blocks) + "\n")


# The share of the CPU time the hypervisor gave to other machines during each client run
# (/proc/stat "steal"). On a shared virtual machine it lengthens walls and event-loop gaps
# that have nothing to do with the program, so every run's share is printed with it.
STEAL = []


def cpu_times():
    try:
        with open("/proc/stat") as f:
            fields = [int(x) for x in f.readline().split()[1:]]
        return fields[7] if len(fields) > 7 else 0, sum(fields[:8])
    except (OSError, ValueError):
        return 0, 0


def run_child(args, stdout_path):
    """Runs one client through GNU time; returns (exit status, wall s, user+sys s, peak RSS KiB).

    The peak RSS is the one GNU time reports for the client (%M): the client is exec'd from
    that small launcher, not from this runner, so none of the runner's memory is counted."""
    stats = stdout_path + ".time"
    steal0, total0 = cpu_times()
    with open(stdout_path, "w") as out:
        t0 = time.monotonic()
        proc = subprocess.Popen([GNU_TIME, "-q", "-f", "%M %U %S", "-o", stats] + args,
                                stdout=out, stderr=subprocess.STDOUT)
        timer = threading.Timer(RUN_TIMEOUT_S, proc.kill)
        timer.start()
        _, status, ru = os.wait4(proc.pid, 0)
        wall = time.monotonic() - t0
        timer.cancel()
        proc.returncode = os.waitstatus_to_exitcode(status)
    steal1, total1 = cpu_times()
    STEAL.append((steal1 - steal0) / (total1 - total0) if total1 > total0 else 0.0)
    rss = float("nan")
    cpu = ru.ru_utime + ru.ru_stime
    try:
        with open(stats) as f:
            fields = f.read().split()
        rss, cpu = int(fields[-3]), float(fields[-2]) + float(fields[-1])
    except (OSError, ValueError, IndexError):
        pass
    return proc.returncode, wall, cpu, rss


def parse_result(path):
    with open(path) as f:
        lines = [l for l in f.read().splitlines() if l.startswith("RESULT ")]
    if not lines:
        return {}
    head, _, reply = lines[-1].partition(" reply=")
    res = dict(item.split("=", 1) for item in head.split()[1:])
    if reply:
        res["reply"] = reply
    return res


def one_run(program, tools, files, tmp, delay_ms=0, tls=None, rtt=False):
    sink, port = start_sink(tools["sink"], delay_ms, tls, extensions=program != "ours-plain")
    proxy = None
    if rtt:
        proxy, port = start_proxy(tools["proxy"], port)
    out = os.path.join(tmp, "client.out")
    try:
        if program in ("ours", "ours-plain"):
            listing = os.path.join(tmp, "files.txt")
            with open(listing, "w") as f:
                f.write("\n".join(files) + "\n")
            args = [tools["driver"], "--port", str(port), "--per-message", "1", "--list", listing]
            if tls:
                args += ["--starttls", "--cafile", tls["ca"]]
        elif program == "job-zip":
            listing = os.path.join(tmp, "files.txt")
            with open(listing, "w") as f:
                f.write("\n".join(files) + "\n")
            args = [tools["job"], "--port", str(port), "--zip", str(ZIP_KB), "--temp", tmp, "--list", listing]
        elif program in ("window", "window-zip"):
            listing = os.path.join(tmp, "files.txt")
            with open(listing, "w") as f:
                f.write("\n".join(files) + "\n")
            args = [tools["window"], "--port", str(port), "--per-message", "1", "--list", listing]
            if program == "window-zip":
                args += ["--zip", str(ZIP_KB), "--temp", tmp]
        else:
            cfg = os.path.join(tmp, "curl.cfg")
            curl_config(cfg, port, files, tls)
            args = [tools["curl"], "-sS", "-K", cfg]
        status, wall, cpu, rss = run_child(args, out)
    finally:
        if proxy:
            finish_proxy(proxy)
        counts = finish_sink(sink)
    r = {"status": status, "wall": wall, "cpu": cpu, "rss_kib": rss, "counts": counts}
    if program in ("ours", "ours-plain", "window", "window-zip"):
        # The driver names its longest interval after the UI hook, the window after its loop.
        res = parse_result(out)
        hook, over = (("max_hook_interval_ms", "hook_intervals_over_25ms") if program in ("ours", "ours-plain")
                      else ("max_loop_gap_ms", "loop_gaps_over_25ms"))
        r["hook_ms"] = float(res.get(hook, "nan"))
        r["hook_over"] = int(res.get(over, "-1"))
        r["driver"] = res
        r["job_wall"] = float(res.get("wall_s", "nan"))
    with open(out, errors="replace") as f:
        r["output"] = f.read()[-2000:]
    if program == "job-zip":
        r["driver"] = parse_result(out)
        r["job_wall"] = float(r["driver"].get("wall_s", "nan"))
    expected = len(files) if "zip" not in program else int(r.get("driver", {}).get("messages", "-1"))
    ok = (status == 0 and counts.get("messages") == expected and expected > 0 and counts.get("connections") == 1)
    r["ok"] = ok
    return r


def pack_run(program, tools, files, tmp):
    """Packs the files into one ZIP file with one of the packers; wall time, CPU, peak RSS, size."""
    out = os.path.join(tmp, "packed.zip")
    log = os.path.join(tmp, "packer.out")
    listing = os.path.join(tmp, "files.txt")
    with open(listing, "w") as f:
        f.write("\n".join(files) + "\n")
    if program == "pack":
        args = [tools["pack"], out, "--list", listing]
    elif program == "zip":
        args = [tools["zip"], "-q", "-6", "-j", out] + files
    else:
        args = [tools["7z"], "a", "-bd", "-tzip", "-mx=5", out] + files
    status, wall, cpu, rss = run_child(args, log)
    size = os.path.getsize(out) if os.path.exists(out) else 0
    if os.path.exists(out):
        os.unlink(out)
    return {"status": status, "wall": wall, "cpu": cpu, "rss_kib": rss, "size": size,
            "counts": {"cpu": float("nan")}, "ok": status == 0 and size > 0, "output": ""}


def programs_for(name, programs, tools):
    """Who takes part in a workload: W6 is the archiver's alone (sent, and packed side by side
    with zip and 7z); W1 adds the window with the archiver."""
    if name in TEXT:
        return (["window-zip"] if "window" in programs else []) + [p for p in PACKERS if tools.get(p)]
    if name == "W1" and "window" in programs:
        return programs + ["window-zip"] + (["job-zip"] if tools.get("job") else [])
    return programs


def med(values):
    values = [v for v in values if v == v]
    return statistics.median(values) if values else float("nan")


def fmt(v, digits=2):
    return "n/a" if v != v else "%.*f" % (digits, v)


def main():
    ap = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    ap.add_argument("--runs", type=int, default=5, help="runs per program and workload (default 5)")
    ap.add_argument("--workloads", default="W1,W2,W3,W4,W1-TLS,W6,W2-RTT,W1-RTT")
    ap.add_argument("--build-dir", default=os.environ.get("SENDORIX_BUILD_DIR", os.path.join(ROOT, "build")))
    ap.add_argument("--no-build", action="store_true")
    ap.add_argument("--no-slow", action="store_true", help="skip the slow-reply (2 s) measurement")
    ap.add_argument("--out", default=os.path.join(ROOT, "bench", "results.md"))
    opts = ap.parse_args()

    if not opts.no_build:
        build(opts.build_dir)
    tools = {"sink": os.path.join(opts.build_dir, "bench", "bench_sink"),
             "driver": os.path.join(opts.build_dir, "bench", "bench_driver"),
             "window": os.path.join(opts.build_dir, "bench", "bench_window_driver"),
             "proxy": os.path.join(opts.build_dir, "bench", "bench_latency_proxy"),
             "curl": shutil.which("curl"),
             "pack": os.path.join(opts.build_dir, "bench", "bench_pack"),
             "job": os.path.join(opts.build_dir, "bench", "bench_job_driver"),
             "zip": shutil.which("zip"), "7z": shutil.which("7z")}
    for key in ("pack", "job"):
        if not os.path.exists(tools[key]):
            tools[key] = None
    if not os.path.exists(GNU_TIME):
        sys.exit(GNU_TIME + " is missing (Debian package: time)")
    if not os.path.exists(tools["sink"]):
        sys.exit("bench_sink not built in " + opts.build_dir)
    programs = []
    if os.path.exists(tools["driver"]):
        programs += ["ours", "ours-plain"]
    else:
        print("bench_driver not built (needs the SMTP client): measuring curl alone", file=sys.stderr)
    if os.path.exists(tools["window"]):
        programs.append("window")
    if tools["curl"]:
        programs.append("curl")
    if not programs:
        sys.exit("nothing to measure")

    names = [w.strip() for w in opts.workloads.split(",") if w.strip()]
    results = {}
    failures = []
    with tempfile.TemporaryDirectory(prefix="sendorix-bench-") as tmp:
        for name in names:
            files = make_workload(tmp, name)
            size = sum(os.path.getsize(f) for f in files)
            tls = make_tls(os.path.join(tmp, name)) if name.endswith("-TLS") else None
            rtt = name.endswith("-RTT")
            for i in range(min(opts.runs, RTT_RUNS) if rtt else opts.runs):
                for program in programs_for(name, programs, tools):
                    if program in ("window", "window-zip") and (tls or rtt):
                        continue   # the window's series over TLS is W1's plus the same handshake
                    if program == "ours-plain" and not rtt:
                        continue   # without the extensions only where round trips count
                    if program in PACKERS:
                        r = pack_run(program, tools, files, tmp)
                    else:
                        r = one_run(program, tools, files, tmp, tls=tls, rtt=rtt)
                    r["mibs"] = size / MIB / r["wall"]
                    results.setdefault((name, program), []).append(r)
                    line = "%s %-4s run %d: wall %.3f s, cpu %.3f s, rss %.1f MiB (sink cpu %.3f s)" % (
                        name, program, i + 1, r["wall"], r["cpu"], r["rss_kib"] / 1024, r["counts"]["cpu"])
                    if program in PACKERS:
                        line += ", archive %d bytes" % r["size"]
                    if program in ("ours", "ours-plain", "window", "window-zip"):
                        line += ", hook max %s ms (%d intervals over 25 ms), series %s s" % (
                            fmt(r["hook_ms"], 1), r["hook_over"], fmt(r.get("job_wall", float("nan")), 3))
                    line += ", steal %.0f%%" % (100 * STEAL[-1])
                    if not r["ok"]:
                        line += "  FAILED (exit %d, sink %s): %s" % (r["status"], r["counts"], r["output"].strip()[-300:])
                        failures.append((name, program, i + 1))
                    print(line, flush=True)
            shutil.rmtree(os.path.join(tmp, name))
        file_list = run_file_list(tools) if "window" in programs and not opts.no_slow else None
        slow = None
        if "ours" in programs and not opts.no_slow:
            wdir = os.path.join(tmp, "slow")
            os.makedirs(wdir)
            path = os.path.join(wdir, "slow.bin")
            with open(path, "wb") as f:
                f.write(os.urandom(256 * 1024))
            # Three runs, the median like every other interval in the table: a single 10 ms
            # wait of this machine's may end tens of milliseconds late, whoever waits.
            slows = []
            for k in range(SLOW_RUNS):
                r = one_run("ours", tools, [path], tmp, delay_ms=2000)
                slows.append(r)
                print("slow replies (2 s each) run %d: wall %.1f s, hook max %s ms (%d intervals over 25 ms)%s" % (
                    k + 1, r["wall"], fmt(r["hook_ms"], 1), r["hook_over"], "" if r["ok"] else "  FAILED"),
                    flush=True)
            slow = {"ok": all(r["ok"] for r in slows), "hook_ms": med([r["hook_ms"] for r in slows]),
                    "hook_max": max(r["hook_ms"] for r in slows),
                    "hook_over": sum(r["hook_over"] for r in slows)}

    md = (report(names, programs, results, slow, failures, opts.runs) + window_report(names, results, file_list)
          + archiver_report(names, results))
    print()
    print(md)
    with open(opts.out, "w") as f:
        f.write(md)
    print("written: " + os.path.abspath(opts.out))
    return 1 if failures or (slow and not slow["ok"]) else 0


def report(names, programs, results, slow, failures, runs):
    L = ["# Series-send benchmark", "",
         "Medians of %d runs per program (at most %d through the latency proxy), runs alternated; sink "
         "and clients on 127.0.0.1; "
         "%s; curl %s." % (runs, RTT_RUNS, time.strftime("%Y-%m-%d %H:%M UTC", time.gmtime()),
                           subprocess.run(["curl", "--version"], capture_output=True, text=True).stdout.split()[1]
                           if shutil.which("curl") else "absent"),
         "",
         "CPU time taken by the hypervisor (steal) during the client runs: median %s%%, worst %s%% "
         "(a shared machine's steal lengthens walls and event-loop gaps alike)." % (
             fmt(100 * statistics.median(STEAL), 1) if STEAL else "-", fmt(100 * max(STEAL), 1) if STEAL else "-"),
         "",
         "| workload | program | wall s | CPU s | peak RSS MiB | MiB/s | longest UI-hook interval ms | sink CPU s | runs ok |",
         "|---|---|---:|---:|---:|---:|---:|---:|---:|"]
    med_of = {}
    for name in names:
        for program in programs:
            rs = results.get((name, program), [])
            if not rs:
                continue   # a workload this program does not send
            m = {k: med([r[k] for r in rs]) for k in ("wall", "cpu", "mibs")}
            m["rss"] = med([r["rss_kib"] / 1024 for r in rs])
            m["sink"] = med([r["counts"].get("cpu", float("nan")) for r in rs])
            ours = program in ("ours", "ours-plain", "window")
            m["hook"] = med([r["hook_ms"] for r in rs]) if ours else float("nan")
            m["hook_max"] = max([r["hook_ms"] for r in rs], default=float("nan")) if ours else float("nan")
            m["encoded"] = med([r["counts"].get("bytes", 0) / max(1, r["counts"].get("messages", 1)) / MIB for r in rs])
            med_of[(name, program)] = m
            L.append("| %s | %s | %s | %s | %s | %s | %s | %s | %d/%d |" % (
                name, program, fmt(m["wall"], 3), fmt(m["cpu"], 3), fmt(m["rss"], 1), fmt(m["mibs"], 1),
                "" if not ours else "%s (max %s)" % (fmt(m["hook"], 1), fmt(m["hook_max"], 1)),
                fmt(m["sink"], 3), sum(r["ok"] for r in rs), len(rs)))
    if "ours" in programs and "curl" in programs:
        L += ["", "| workload | wall ours/curl | CPU ours/curl | RSS ours/curl |", "|---|---:|---:|---:|"]
        for name in names:
            if (name, "ours") not in med_of or (name, "curl") not in med_of:
                continue
            o, c = med_of[(name, "ours")], med_of[(name, "curl")]
            L.append("| %s | %s | %s | %s |" % (name, fmt(o["wall"] / c["wall"]), fmt(o["cpu"] / c["cpu"]),
                                                fmt(o["rss"] / c["rss"])))
        L += ["", "Targets:", ""]

        def target(label, value, limit):
            state = "n/a" if value != value else ("met" if value <= limit else "NOT met")
            L.append("- %s: %s (limit %s): %s" % (label, fmt(value), limit, state))
        for name in names:
            if (name, "ours") not in med_of or (name, "curl") not in med_of:
                continue
            o, c = med_of[(name, "ours")], med_of[(name, "curl")]
            if name == "W1-TLS":
                target("W1-TLS wall ours/curl", o["wall"] / c["wall"], 0.3)
                target("W1-TLS longest UI-hook interval ms (median)", o["hook"], 25)
            if name == "W1":
                target("W1 wall ours/curl", o["wall"] / c["wall"], 0.15)
                target("W1 CPU ours/curl", o["cpu"] / c["cpu"], 0.3)
                target("W1 longest UI-hook interval ms (median)", o["hook"], 25)
            if name == "W2":
                target("W2 wall ours/curl", o["wall"] / c["wall"], 1.0)
            if name == "W3":
                target("W3 wall ours/curl", o["wall"] / c["wall"], 0.15)
                target("W3 peak RSS ours/curl", o["rss"] / c["rss"], 1.5)
                target("W3 longest UI-hook interval ms (median)", o["hook"], 25)
            if name == "W4":
                target("W4 peak RSS ours/curl", o["rss"] / c["rss"], 1.5)
                target("W4 longest UI-hook interval ms (median)", o["hook"], 25)
            if name.endswith("-RTT"):
                rtt_targets(name, med_of, target, L)
        if slow:
            target("slow replies (2 s) longest UI-hook interval ms (median of %d runs; max %s, %d intervals "
                   "over 25 ms in all)" % (SLOW_RUNS, fmt(slow["hook_max"], 1), slow["hook_over"]),
                   slow["hook_ms"], 25)
    elif slow:
        L += ["", "Slow replies (2 s): longest UI-hook interval %s ms (median of %d runs)." % (
            fmt(slow["hook_ms"], 1), SLOW_RUNS)]
    if failures:
        L += ["", "Failed runs: " + ", ".join("%s %s #%d" % f for f in failures)]
    L.append("")
    L.append("Workloads: " + "; ".join("%s %s" % (n, WORKLOADS[n][2]) for n in names) + ".")
    return "\n".join(L) + "\n"


def rtt_targets(name, med_of, target, L):
    """Through the latency proxy: round trips per message, and the targets of W2-RTT and W1-RTT."""
    count = WORKLOADS[name][0]
    rtt_s = RTT_MS / 1000.0
    per = {p: med_of[(name, p)]["wall"] / count / rtt_s for p in ("ours", "ours-plain", "curl")
           if (name, p) in med_of}
    L.append("- %s round trips per message (wall / messages / %d ms): %s" % (
        name, RTT_MS, ", ".join("%s %s" % (p, fmt(v)) for p, v in per.items())))
    o, c = med_of[(name, "ours")], med_of[(name, "curl")]
    if name == "W2-RTT":
        target("W2-RTT wall ours/curl", o["wall"] / c["wall"], 0.4)
    if name == "W1-RTT":
        # W1's own time plus the round trips the dialogue cannot avoid.
        w1 = med_of.get(("W1", "ours"), {}).get("wall", float("nan"))
        allowed = w1 + (count + RTT_FIXED) * rtt_s
        target("W1-RTT wall ours / (W1 wall ours + %d round trips)" % (count + RTT_FIXED),
               o["wall"] / allowed, 1.1)
    target("%s longest UI-hook interval ms (median)" % name, o["hook"], 25)


FILE_LIST_ROWS = 50000


def run_file_list(tools):
    """The window's file list alone: batches of adds up to 50,000 rows, delete all, clear."""
    out = os.path.join(tempfile.gettempdir(), "sendorix-bench-file-list.out")
    status, wall, _, _ = run_child([tools["window"], "--file-list", str(FILE_LIST_ROWS)], out)
    res = parse_result(out)
    res["ok"] = status == 0 and res.get("ok") == "1"
    print("file list (%d rows): %s" % (FILE_LIST_ROWS, " ".join(
        "%s=%s" % kv for kv in res.items() if kv[0] != "ok")) + ("" if res["ok"] else "  FAILED"), flush=True)
    os.unlink(out)
    return res


def window_report(names, results, file_list):
    """The window against the library driver and curl: the window's own targets."""
    progs = {p for (_, p) in results}
    if "window" not in progs:
        return ""
    L = ["", "Through the window (the main window offscreen; longest interval = longest gap between two "
         "event-loop turns). The window and the library driver are compared on the series itself, from "
         "the start of sending to its end as each reports it (for the window: from the Send click); curl on "
         "its whole run. The window's own start, adding the files and closing come on top:", ""]

    def m(name, program):
        rs = results.get((name, program), [])
        return {"wall": med([r["wall"] for r in rs]), "job": med([r.get("job_wall", float("nan")) for r in rs]),
                "hook": max([r.get("hook_ms", float("nan")) for r in rs], default=float("nan"))}

    for name in names:
        w, o = m(name, "window"), m(name, "ours")
        if w["job"] == w["job"]:
            L.append("- %s series: window %s s, library driver %s s; the window's whole run %s s" % (
                name, fmt(w["job"], 3), fmt(o["job"], 3), fmt(w["wall"], 3)))
    L.append("")

    def target(label, value, limit):
        state = "n/a" if value != value else ("met" if value <= limit else "NOT met")
        L.append("- %s: %s (limit %s): %s" % (label, fmt(value), limit, state))
    for name in names:
        if not results.get((name, "window")):
            continue   # not sent through the window (W1-TLS: W1's series plus the handshake)
        w, o, c = m(name, "window"), m(name, "ours"), m(name, "curl")
        if name == "W2":
            target("W2 wall window/curl", w["job"] / c["wall"], 1.0)
            target("W2 wall window/library driver", w["job"] / o["job"], 1.5)
        elif name in ("W1", "W3"):
            target("%s wall window/library driver" % name, w["job"] / o["job"], 1.2)
        target("%s longest event-loop gap ms (worst run)" % name, w["hook"], 25)
    if file_list:
        L += ["", "File list with %d rows (longest single command):" % FILE_LIST_ROWS, ""]
        for key, label, limit in (("add_batch_max_ms", "add 1000 files (after the first add)", 25),
                                  ("clear_ms", "clear", 25),
                                  ("delete_all_ms", "delete all rows selected", 100)):
            target("%s ms" % label, float(file_list.get(key, "nan")), limit)
        L.append("- first add (also makes the file dialog): %s ms; add all at once: %s ms; "
                 "no duplicates over %d rows: %s ms%s" % (
            file_list.get("add_first_batch_ms", "n/a"), file_list.get("add_all_ms", "n/a"), FILE_LIST_ROWS * 3 // 2, file_list.get("no_duplicates_ms", "n/a"),
            "" if file_list["ok"] else " (FAILED: the rows were not what they should be)"))
    return "\n".join(L) + "\n"


def archiver_report(names, results):
    """The internal archiver's targets: W1 sent through it against the plain series, W6 packed
    against zip -6 (7z alongside), and the window's event loop while packing."""
    def m(name, program, key):
        return med([r.get(key, float("nan")) for r in results.get((name, program), [])])
    L = ["", "The internal archiver (the window with the archiver at %d KiB messages; packers on the same "
         "files):" % ZIP_KB, ""]

    def target(label, value, limit):
        state = "n/a" if value != value else ("met" if value <= limit else "NOT met")
        L.append("- %s: %s (limit %s): %s" % (label, fmt(value), limit, state))
    rows = False
    if "W1" in names and results.get(("W1", "window-zip")):
        rows = True
        zw, pw = m("W1", "window-zip", "job_wall"), m("W1", "window", "job_wall")
        L.append("- W1 series: with the archiver %s s, plain %s s" % (fmt(zw, 3), fmt(pw, 3)))
        target("W1 wall archiver/plain series", zw / pw, 1.3)
        # Memory is the job's own, without the window (whose toolkit alone is several times curl's);
        # the window's growth with the archiver is shown beside it.
        target("W1 peak RSS archiver (job driver)/curl", m("W1", "job-zip", "rss_kib") / m("W1", "curl", "rss_kib"), 1.5)
        L.append("- W1 peak RSS in the window: with the archiver %s MiB, plain %s MiB; job driver series %s s" % (
            fmt(m("W1", "window-zip", "rss_kib") / 1024, 1), fmt(m("W1", "window", "rss_kib") / 1024, 1),
            fmt(m("W1", "job-zip", "job_wall"), 3)))
        target("W1 archiver longest event-loop gap ms (worst run)",
               max([r["hook_ms"] for r in results[("W1", "window-zip")]]), 25)
    if "W6" in names:
        rows = True
        for p in PACKERS:
            if results.get(("W6", p)):
                L.append("- W6 %s: %s s, %s bytes" % (p, fmt(m("W6", p, "wall"), 3), int(m("W6", p, "size"))))
        target("W6 packing time archiver/zip -6", m("W6", "pack", "wall") / m("W6", "zip", "wall"), 1.0)
        target("W6 archive size archiver/zip -6", m("W6", "pack", "size") / m("W6", "zip", "size"), 1.01)
        if results.get(("W6", "window-zip")):
            L.append("- W6 sent through the window with the archiver: %s s" % fmt(m("W6", "window-zip", "job_wall"), 3))
            target("W6 archiver longest event-loop gap ms (worst run)",
                   max([r["hook_ms"] for r in results[("W6", "window-zip")]]), 25)
    return "\n".join(L) + "\n" if rows else ""


if __name__ == "__main__":
    sys.exit(main())
