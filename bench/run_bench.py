#!/usr/bin/python3
"""Runs vardek's benchmarks against the limits that bound it and writes a
results file (Markdown, raw figures and ratios) and PNG charts.

  bench/run_bench.py BUILD_DIR OUT_DIR [--smoke]

BUILD_DIR holds vardek, the bench_* programs and the mock module; OUT_DIR
receives latest.md and the charts. --smoke runs every part for a moment
(tiny counts, two key types) so the programs keep working; its figures mean
nothing.

Every measured process is pinned to one CPU (taskset); vardek and the
program driving it share that CPU, as the direct loop has it alone.
"""

import os
import platform
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SRC = os.path.dirname(HERE)
CPU = "1" if (os.cpu_count() or 1) > 1 else "0"
TASKSET = shutil.which("taskset") or "/usr/bin/taskset"
PIN = "1234"

# (label on the token, mktoken type, data bytes per sign request)
KEYS = [
    ("rsa2048", "rsa2048", 83),  # DigestInfo + SHA-512 hash
    ("rsa3072", "rsa3072", 83),
    ("ec256", "ec256", 32),  # the curve's hash
    ("ec384", "ec384", 48),
    ("ec521", "ec521", 64),
]
GOAL = {"rsa2048": 0.97, "rsa3072": 0.97, "ec256": 0.95, "ec384": 0.95, "ec521": 0.95}


class Bench:
    def __init__(self, build, out, smoke):
        self.build = os.path.abspath(build)
        self.out = os.path.abspath(out)
        self.smoke = smoke
        self.tmp = tempfile.mkdtemp(prefix="vardek-bench-")
        self.vardek = os.path.join(self.build, "vardek")
        self.mock = os.path.join(self.build, "tests", "pkcs11", "mock-p11.so")
        self.results = {}
        self.profile_counts = (2, 6) if smoke else (10, 30)
        self.md = []

    def prog(self, name):
        return os.path.join(self.build, "bench", name)

    def pinned(self, path):
        return f"{TASKSET} -c {CPU} {path}"

    def run(self, argv, env=None, pin=True):
        full = ([TASKSET, "-c", CPU] if pin else []) + argv
        e = dict(os.environ)
        e.update(env or {})
        p = subprocess.run(full, env=e, capture_output=True, text=True)
        if p.returncode != 0:
            sys.stderr.write(p.stderr)
            raise SystemExit(f"run_bench: failed: {' '.join(full)}")
        return p.stdout

    @staticmethod
    def fields(line):
        return dict(kv.split("=", 1) for kv in line.split())

    # --- tokens ---------------------------------------------------------------

    def mktoken(self, name, args):
        d = os.path.join(self.tmp, name)
        out = subprocess.run(
            [os.path.join(SRC, "tools", "mktoken.sh")] + args + [d],
            capture_output=True, text=True, check=True).stdout
        vals = dict(l.split("=", 1) for l in out.splitlines() if "=" in l)
        return {"SOFTHSM2_CONF": vals["SOFTHSM2_CONF"]}, vals["MODULE"]

    def mock_env(self, name, keys):
        conf = os.path.join(self.tmp, name + ".conf")
        data = os.path.join(SRC, "tests", "pkcs11", "data")
        with open(conf, "w") as f:
            f.write("instant_sign\nslot id=1 label=instant\n")
            for i, k in enumerate(keys):
                for cls in ("public", "private"):
                    f.write(f"object class={cls} key={data}/{k}.pem id=0{i + 1} label={k}\n")
        return {"VARDEK_MOCK_CONFIG": conf}

    # --- 1. sign throughput ---------------------------------------------------

    def sign_throughput(self):
        keys = KEYS[:1] + KEYS[2:3] if self.smoke else KEYS
        args = ["--token", "bench"]
        for i, (label, kind, _) in enumerate(keys):
            args += ["--key", f"{kind}:{label}:0{i + 1}"]
        certs = [k[0] for k in keys][:1] + [k[0] for k in keys if k[0].startswith("ec")][:1]
        for c in certs:
            args += ["--cert", c]
        env, module = self.mktoken("t12", args)
        self.softhsm = (env, module)
        objects = 2 * len(keys) + len(certs)
        rounds = 2 if self.smoke else 9
        target = 0.05 if self.smoke else 2.5
        rows = []
        for label, _, dlen in keys:
            probe = self.fields(self.run(
                [self.prog("bench_direct"), "sign", module, PIN, label, "20", str(dlen)], env))
            n = max(10, min(20000, int(target * 1e6 / float(probe["us_per_sign"]))))
            direct, vardek, ratios = [], [], []
            for r in range(rounds):
                order = ["d", "v"] if r % 2 == 0 else ["v", "d"]
                got = {}
                for which in order:
                    if which == "d":
                        o = self.run([self.prog("bench_direct"), "sign", module, PIN, label,
                                      str(n), str(dlen)], env)
                    else:
                        o = self.run([self.prog("bench_drive"), "sign", self.pinned(self.vardek),
                                      module, PIN, label, str(n), str(dlen)], env)
                    got[which] = float(self.fields(o)["us_per_sign"])
                direct.append(got["d"])
                vardek.append(got["v"])
                ratios.append(got["d"] / got["v"])  # vardek's throughput / the loop's
            rows.append((label, n, direct, vardek, ratios))
        self.results["sign"] = rows
        self.md.append("## 1. Sign throughput, sequential, against the direct Cryptoki loop\n")
        self.md.append(
            f"SoftHSM2 token with {objects} objects: a private-key and a public-key object "
            f"for each of {', '.join(k[0] for k in keys)}, and certificates for "
            f"{' and '.join(certs)}. The direct loop (bench_direct) runs alone on CPU {CPU}; "
            f"vardek and the agent driving it (bench_drive, through the agent protocol "
            f"library, one request at a time) share CPU {CPU}. {rounds} rounds, each runs the "
            "direct loop and vardek (order swapped on odd rounds) for N signatures after "
            "N/20 warm-up signatures. Ratio = vardek's signatures per second / the loop's "
            "(direct µs ÷ vardek µs), per round.\n")
        self.md.append("| key | N | direct µs/sig (median) | vardek µs/sig (median) | "
                       "ratio median | ratio min–max | goal | met |")
        self.md.append("|---|---|---|---|---|---|---|---|")
        for label, n, d, v, rt in rows:
            med = statistics.median(rt)
            self.md.append(
                f"| {label} | {n} | {statistics.median(d):.1f} | {statistics.median(v):.1f} | "
                f"{med:.3f} | {min(rt):.3f}–{max(rt):.3f} | ≥ {GOAL[label]} | "
                f"{'yes' if med >= GOAL[label] else 'no'} |")
        self.md.append("\nRaw µs per signature, per round (direct / vardek):\n")
        for label, n, d, v, rt in rows:
            pairs = ", ".join(f"{a:.1f}/{b:.1f}" for a, b in zip(d, v))
            self.md.append(f"- {label}: {pairs}")
        self.md.append("")
        with open(os.path.join(self.tmp, "sign.dat"), "w") as f:
            for i, (label, n, d, v, rt) in enumerate(rows):
                f.write(f"{i} {label} {statistics.median(rt)} {min(rt)} {max(rt)} "
                        f"{GOAL[label]}\n")
        self.chart("sign_ratio.png", f"""
set title "vardek sign throughput / direct Cryptoki loop (SoftHSM2, one CPU)"
set ylabel "ratio (median, min-max over rounds)"
set yrange [*:*]
set offsets 0, 0, 0.02, 0.02
set xrange [-0.5:{len(rows) - 0.5}]
set grid ytics
set key bottom right
plot "{self.tmp}/sign.dat" using 1:3:4:5:xticlabels(2) with yerrorbars pt 7 title "vardek / direct", \\
     "{self.tmp}/sign.dat" using 1:6 with points pt 6 ps 2 title "goal"
""")

    # --- 2. own cost per request ----------------------------------------------

    def own_cost(self):
        env = self.mock_env("instant", ["rsa2048"])
        n = 2000 if self.smoke else 100000
        rounds = 2 if self.smoke else 9
        v, f, ratios = [], [], []
        for r in range(rounds):
            got = {}
            for which in (["v", "f"] if r % 2 == 0 else ["f", "v"]):
                if which == "v":
                    o = self.run([self.prog("bench_drive"), "own", self.pinned(self.vardek),
                                  self.mock, PIN, "rsa2048", str(n)], env)
                else:
                    o = self.run([self.prog("bench_drive"), "own",
                                  self.pinned(self.prog("bench_floor_poll")), "-", "-", "-",
                                  str(n)])
                got[which] = float(self.fields(o)["us_per_request"])
            v.append(got["v"])
            f.append(got["f"])
            ratios.append(got["v"] / got["f"])
        med = statistics.median(ratios)
        self.results["own"] = (v, f, ratios)
        self.md.append("## 2. vardek's own cost per sign request\n")
        self.md.append(
            "The mock module with `instant_sign` (C_Sign answers without computing) holding "
            "one RSA-2048 key, against bench_floor_poll, a bare poll() loop over the same "
            f"pipes that answers each sign request with a 256-byte signature. {n} sequential "
            f"requests per run, {rounds} alternating rounds, driver and program on CPU {CPU}. "
            "vardek's figure includes the mock's Cryptoki calls (find, sign-init, attribute, "
            "sign).\n")
        self.md.append("| | µs/request (median) | min | max |")
        self.md.append("|---|---|---|---|")
        self.md.append(f"| vardek + instant token | {statistics.median(v):.2f} | {min(v):.2f} | "
                       f"{max(v):.2f} |")
        self.md.append(f"| poll-loop floor | {statistics.median(f):.2f} | {min(f):.2f} | "
                       f"{max(f):.2f} |")
        self.md.append(f"\nRatio vardek / floor: median **{med:.2f}** (min {min(ratios):.2f}, "
                       f"max {max(ratios):.2f}); goal ≤ 2: "
                       f"{'met' if med <= 2 else 'not met'}. vardek's own work per request "
                       f"beyond the floor: {statistics.median(v) - statistics.median(f):.2f} "
                       "µs.\n")

    # --- 3. add latency -------------------------------------------------------

    def add_latency(self):
        sizes = [10, 100] if self.smoke else [10, 100, 1000]
        reps = 2 if self.smoke else 5
        rows = []
        for objects in sizes:
            env, module = self.mktoken(f"add{objects}", ["--token", f"add{objects}"])
            self.run([self.prog("bench_direct"), "fill", module, PIN, str(objects // 2)], env,
                     pin=False)
            d = self.fields(self.run([self.prog("bench_direct"), "add", module, PIN,
                                      str(reps)], env))
            v = self.fields(self.run([self.prog("bench_drive"), "add", self.pinned(self.vardek),
                                      module, PIN, str(reps)], env))
            if int(v["keys"]) != objects // 2 or int(d["keys"]) != objects // 2:
                raise SystemExit("run_bench: the add did not list every key")
            rows.append((objects, float(d["ms_median"]), float(v["ms_median"]),
                         float(d["ms_min"]), float(v["ms_min"])))
        self.results["add"] = rows
        self.md.append("## 3. Add latency against objects on the token\n")
        self.md.append(
            "SoftHSM2 tokens holding only P-256 key pairs (objects = 2 × keys). Direct: what "
            "an add makes, loading the module and the Cryptoki calls (initialise, slot list, "
            "token info, session, login, public-key search with its attribute reads, "
            "certificate search); C_Finalize and unloading outside the time. vardek: an add request to its reply, then a remove; "
            f"{reps} repetitions, median.\n")
        self.md.append("| objects | direct ms | vardek ms | vardek / direct | "
                       "direct µs per added object | vardek µs per added object |")
        self.md.append("|---|---|---|---|---|---|")
        prev = None
        for o, d, v, _, _ in rows:
            if prev is None:
                slopes = "– | –"
            else:
                po, pd, pv = prev
                slopes = f"{(d - pd) * 1e3 / (o - po):.0f} | {(v - pv) * 1e3 / (o - po):.0f}"
            self.md.append(f"| {o} | {d:.2f} | {v:.2f} | {v / d:.2f} | {slopes} |")
            prev = (o, d, v)
        self.md.append("\nµs per added object: the growth from the size above, divided by the "
                       "objects added; linear growth keeps it constant.\n")
        with open(os.path.join(self.tmp, "add.dat"), "w") as f:
            for o, d, v, _, _ in rows:
                f.write(f"{o} {d} {v}\n")
        self.chart("add_latency.png", f"""
set title "Add latency against key objects on a SoftHSM2 token"
set xlabel "objects on the token"
set ylabel "ms (median)"
set logscale xy
set grid
set key top left
plot "{self.tmp}/add.dat" using 1:3 with linespoints pt 7 title "vardek add request", \\
     "{self.tmp}/add.dat" using 1:2 with linespoints pt 5 title "direct Cryptoki calls"
""")

    # --- 4. start-up and RSS --------------------------------------------------

    def startup(self):
        reps = 5 if self.smoke else 60
        rounds = 1 if self.smoke else 7
        progs = [("vardek", self.vardek),
                 ("floor: libcrypto init", self.prog("bench_floor_start")),
                 ("floor: + vardek's ENGINE set-up and RNG check",
                  self.prog("bench_floor_start") + " engines")]
        got = {name: ([], []) for name, _ in progs}
        rss = {name: 0 for name, _ in progs}
        for r in range(rounds):
            for name, p in (progs if r % 2 == 0 else list(reversed(progs))):
                o = self.fields(self.run([self.prog("bench_drive"), "start", self.pinned(p),
                                          str(reps)]))
                got[name][0].append(float(o["us_median"]))
                got[name][1].append(float(o["us_min"]))
                rss[name] = max(rss[name], int(o["rss_kib"]))
        env, module = self.softhsm
        loaded = self.fields(self.run([self.prog("bench_drive"), "loaded",
                                       self.pinned(self.vardek), module, PIN], env))
        direct_loaded = self.fields(self.run([self.prog("bench_direct"), "add", module, PIN,
                                              "1"], env))
        self.results["start"] = (got, rss, loaded, direct_loaded)
        v_med = statistics.median(got["vardek"][0])
        self.md.append("## 4. Start-up to the first reply, and peak RSS\n")
        self.md.append(
            "Spawn (fork + exec) to the reply to a first remove request for an unknown name "
            "(answered without a token), then end of input; peak RSS is wait4's ru_maxrss "
            "(which also counts the driver's forked copy before the exec, about 2.5 MiB, "
            "less than any program measured here). "
            f"{reps} starts per run, {rounds} alternating runs; the table gives the median of "
            "the runs' medians and the lowest single start. bench_floor_start is built like "
            "vardek against the same libcrypto and calls OPENSSL_init_crypto with vardek's "
            "flags and configuration loading; with `engines` it also makes vardek's ENGINE "
            "set-up and RAND_status check, i.e. all of vardek's libcrypto start-up.\n")
        self.md.append("| program | start µs (median) | fastest µs | vardek / it (median) | "
                       "peak RSS KiB | vardek − it KiB |")
        self.md.append("|---|---|---|---|---|---|")
        for name, _ in progs:
            med = statistics.median(got[name][0])
            self.md.append(f"| {name} | {med:.0f} | {min(got[name][1]):.0f} | "
                           f"{v_med / med:.2f} | {rss[name]} | {rss['vardek'] - rss[name]} |")
        self.md.append(
            f"\nWith one SoftHSM2 provider loaded (the 12-object token): vardek peak RSS "
            f"{loaded['rss_kib']} KiB; the direct program making the same add calls "
            f"{direct_loaded['rss_kib']} KiB.\n")
        self.md.append("Runs (median µs per run): " + "; ".join(
            f"{name}: " + ", ".join(f"{x:.0f}" for x in got[name][0]) for name, _ in progs) + "\n")

    # --- 5. RSS over many requests --------------------------------------------

    def rss_growth(self):
        env = self.mock_env("rss", ["rsa2048"])
        count = 5000 if self.smoke else 100000
        step = count // 20
        o = self.fields(self.run([self.prog("bench_drive"), "rss", self.pinned(self.vardek),
                                  self.mock, PIN, "rsa2048", str(count), str(step)], env))
        samples = [int(x) for x in o["rss_kib"].split(",")]
        self.results["rss"] = (samples, count)
        growth = samples[-1] - samples[1]
        self.md.append(f"## 5. RSS over {count} sign requests\n")
        self.md.append(
            f"Instant mock token, one RSA-2048 key; VmRSS read every {step} requests "
            "(the first sample is before any sign request).\n")
        self.md.append("KiB: " + ", ".join(str(s) for s in samples) + "\n")
        self.md.append(f"Growth from the first {step} requests to the last: {growth} KiB; "
                       f"peak {o['peak_kib']} KiB. {'Flat.' if growth <= 8 else 'GROWS.'}\n")
        with open(os.path.join(self.tmp, "rss.dat"), "w") as f:
            for i, s in enumerate(samples):
                f.write(f"{i * step} {s}\n")
        self.chart("rss_requests.png", f"""
set title "vardek resident memory over {count} sign requests"
set xlabel "sign requests answered"
set ylabel "VmRSS KiB"
set yrange [0:*]
set grid
plot "{self.tmp}/rss.dat" using 1:2 with linespoints pt 7 title "vardek"
""")

    # --- 6. pipelined and flood -----------------------------------------------

    def pipelined(self):
        env = self.mock_env("pipe", ["rsa2048"])
        count = 2000 if self.smoke else 100000
        o = self.fields(self.run([self.prog("bench_drive"), "pipeline", self.pinned(self.vardek),
                                  self.mock, PIN, "rsa2048", str(count), "64"], env))
        env_s, module = self.softhsm
        scount = 50 if self.smoke else 2000
        s = self.fields(self.run([self.prog("bench_drive"), "pipeline", self.pinned(self.vardek),
                                  module, PIN, "ec256", str(scount), "64"], env_s))
        flood = self.run([self.prog("bench_flood"), "0.2" if self.smoke else "4"], pin=True)
        self.md.append("## 6. Pipelined and flood runs\n")
        self.md.append("Pipelined: at most 64 sign requests in flight.\n")
        self.md.append("| token | requests | seconds | requests/s | signed | peak RSS KiB |")
        self.md.append("|---|---|---|---|---|---|")
        for name, r in (("instant mock, RSA-2048", o), ("SoftHSM2, P-256", s)):
            self.md.append(f"| {name} | {r['requests']} | {float(r['seconds']):.3f} | "
                           f"{int(r['requests']) / float(r['seconds']):.0f} | {r['signed']} | "
                           f"{r['rss_kib']} |")
        self.md.append("\nFlood: the whole stream of requests (sign requests for a key nobody "
                       "loaded and remove requests, mixed) written before any reply is read "
                       "(bench_flood):\n")
        self.md.append("```\n" + flood.rstrip() + "\n```\n")

    # --- profile --------------------------------------------------------------

    def profile(self):
        """Instructions per signature, vardek against the direct loop (callgrind)."""
        if shutil.which("valgrind") is None:
            return
        env, module = self.softhsm
        keys = [k for k in KEYS if k[0] in ("rsa2048", "ec384")] if self.smoke else KEYS
        keys = [k for k in keys if any(r[0] == k[0] for r in self.results["sign"])]
        rows = []
        for label, _, dlen in keys:
            per = {}
            for which in ("direct", "vardek"):
                totals = []
                for n in self.profile_counts:
                    out = os.path.join(self.tmp, f"cg.{which}.{label}.{n}")
                    vg = ["valgrind", "-q", "--tool=callgrind", f"--callgrind-out-file={out}"]
                    if which == "direct":
                        self.run(vg + [self.prog("bench_direct"), "sign", module, PIN, label,
                                       str(n), str(dlen)], env, pin=False)
                    else:
                        wrap = os.path.join(self.tmp, "cg-vardek.sh")
                        with open(wrap, "w") as f:
                            f.write(f"#!/bin/sh\nexec {' '.join(vg)} {self.vardek} \"$@\"\n")
                        os.chmod(wrap, 0o755)
                        self.run([self.prog("bench_drive"), "sign", wrap, module, PIN, label,
                                  str(n), str(dlen)], env, pin=False)
                    totals.append(self.callgrind_total(out))
                # each run makes one warm-up signature: they cancel out
                lo, hi = self.profile_counts
                per[which] = (totals[1] - totals[0]) / (hi - lo)
            rows.append((label, per["direct"], per["vardek"]))
        self.results["profile"] = rows
        self.md.append("## Profile: instructions per signature (callgrind)\n")
        self.md.append(f"Difference of two runs ({self.profile_counts[0]} and "
                       f"{self.profile_counts[1]} signatures, each after one warm-up "
                       "signature) of each program, so "
                       "start-up and the add cancel out. Instruction counts are stable where "
                       "timings on this shared machine are not.\n")
        self.md.append("| key | direct loop | vardek | vardek − direct | direct / vardek |")
        self.md.append("|---|---|---|---|---|")
        for label, d, v in rows:
            self.md.append(f"| {label} | {d / 1e6:.3f} M | {v / 1e6:.3f} M | "
                           f"{(v - d) / 1e3:.0f} k | {d / v:.3f} |")
        self.md.append("")

    @staticmethod
    def callgrind_total(path):
        for line in open(path):
            if line.startswith("summary:") or line.startswith("totals:"):
                return int(line.split()[1])
        raise SystemExit(f"run_bench: no totals in {path}")

    # --- output ---------------------------------------------------------------

    def chart(self, name, script):
        if shutil.which("gnuplot") is None:
            raise SystemExit("run_bench: gnuplot is missing (package gnuplot-nox)")
        path = os.path.join(self.out, name)
        subprocess.run(["gnuplot"], input=f'set terminal pngcairo size 800,500\n'
                       f'set output "{path}"\n' + script, text=True, check=True)
        self.md.append(f"![{name}]({name})\n")

    def machine(self):
        model = ""
        try:
            for line in open("/proc/cpuinfo"):
                if line.startswith("model name"):
                    model = line.split(":", 1)[1].strip()
                    break
        except OSError:
            pass

        def cmd(argv):
            try:
                return subprocess.run(argv, capture_output=True, text=True).stdout.strip()
            except OSError:
                return "?"

        return [
            f"- date: {time.strftime('%Y-%m-%d %H:%M UTC', time.gmtime())}",
            f"- CPU: {model} ({os.cpu_count()} CPUs); measured processes on CPU {CPU}",
            f"- kernel: {platform.release()}",
            f"- libcrypto: {cmd(['openssl', 'version'])}; SoftHSM2: "
            f"{cmd(['dpkg-query', '-W', '-f', '${Version}', 'softhsm2'])}",
            f"- load at the start: `{cmd(['uptime']).strip()}`",
            f"- vardek: {self.vardek.replace(SRC + '/', '')} (release build)",
        ]

    def goals(self):
        """The goal table, each with its figure and, where missed, why."""
        out = ["## Goals\n", "| goal | figure (this run) | met |", "|---|---|---|"]
        notes = []
        v, f, ratios = self.results["own"]
        floor_us = statistics.median(f)
        own_us = statistics.median(v) - floor_us
        prof = {r[0]: r for r in self.results.get("profile", [])}
        for label, n, d, vv, rt in self.results["sign"]:
            med = statistics.median(rt)
            ok = med >= GOAL[label]
            out.append(f"| sign throughput {label} ≥ {GOAL[label]} × direct loop | "
                       f"{med:.3f} (min {min(rt):.3f}, max {max(rt):.3f}) | "
                       f"{'yes' if ok else 'no'} |")
            if not ok:
                dm, vm = statistics.median(d), statistics.median(vv)
                gap = vm - dm
                # The goal is the median of the rounds' ratios; the medians of
                # the times can even put vardek ahead.
                lead = (f"vardek takes {gap:.1f} µs more per signature than the direct loop"
                        if gap >= 0 else
                        f"vardek's median signature is {-gap:.1f} µs faster than the direct "
                        f"loop's, the median of the rounds' ratios below the goal")
                line = (f"- {label}: {lead} ({vm:.1f} against {dm:.1f}). The pipe round trip alone "
                        f"(bench_floor_poll, section 2) costs {floor_us:.1f} µs per request, "
                        f"{floor_us / dm * 100:.1f} % of the loop's signature: with no work "
                        f"of its own vardek could reach at most {dm / (dm + floor_us):.3f}.")
                if label in prof:
                    _, pd, pv = prof[label]
                    line += (f" In instructions (callgrind, no pipe) vardek adds "
                             f"{(pv - pd) / 1e3:.0f} k per signature to the loop's "
                             f"{pd / 1e6:.3f} M ({pd / pv:.3f})")
                    if pd / pv >= GOAL[label] and dm / (dm + floor_us) >= GOAL[label]:
                        line += (": neither the instructions nor the pipe explain the gap; "
                                 f"the rounds spread from {min(rt):.3f} to {max(rt):.3f}, "
                                 "run-to-run variation on the shared machine.")
                    else:
                        line += (": decoding the request's key blob into a fresh key "
                                 "(EC_KEY_new, a copy of the curve group and of the point), "
                                 "the lookup's key comparison (EC_GROUP_cmp), releasing the "
                                 "key, the signature's conversion to DER. The rest of the "
                                 "wall-clock gap is not in instructions: two process "
                                 "switches per request on the one CPU, whose cost to the "
                                 "token's own code afterwards (cold caches and branch "
                                 "predictors) a single-process loop never pays.")
                notes.append(line)
        out.append(f"| own work per sign request ≤ 2 × poll-loop floor | "
                   f"{statistics.median(ratios):.2f} ({statistics.median(v):.2f} µs against "
                   f"{floor_us:.2f} µs; vardek's own {own_us:.2f} µs) | "
                   f"{'yes' if statistics.median(ratios) <= 2 else 'no'} |")
        got, rss, _, _ = self.results["start"]
        vm = statistics.median(got["vardek"][0])
        for name in ("floor: libcrypto init", "floor: + vardek's ENGINE set-up and RNG check"):
            fm = statistics.median(got[name][0])
            out.append(f"| start-up ≤ 1.10 × floor ({name}) | {vm / fm:.2f} ({vm:.0f} µs "
                       f"against {fm:.0f} µs) | {'yes' if vm / fm <= 1.10 else 'no'} |")
        fa = "floor: libcrypto init"
        out.append(f"| idle peak RSS ≤ floor + 1 MiB ({fa}) | {rss['vardek']} KiB against "
                   f"{rss[fa]} KiB (+{rss['vardek'] - rss[fa]} KiB) | "
                   f"{'yes' if rss['vardek'] - rss[fa] <= 1024 else 'no'} |")
        samples, count = self.results["rss"]
        out.append(f"| no RSS growth over {count} sign requests | "
                   f"{samples[-1] - samples[1]} KiB from the first sample after signing to "
                   f"the last | "
                   f"{'yes' if samples[-1] - samples[1] <= 8 else 'no'} |")
        if statistics.median(got["vardek"][0]) / statistics.median(got[fa][0]) > 1.10:
            notes.append(
                "- start-up against the bare libcrypto floor: the difference is libcrypto "
                "work that vardek does at start and the floor does not, and it is behaviour: "
                "RAND_status(), the start-up check that the random generator is seeded "
                "(vardek exits with \"PRNG is not seeded\" otherwise), instantiates the "
                "primary DRBG, whose first EVP_RAND_fetch and EVP_CIPHER_fetch build "
                "libcrypto's name map and method store (about 5.7 M of vardek's 10.5 M "
                "start-up instructions); ENGINE_load_builtin_engines and "
                "ENGINE_register_all_complete take another 1 M. Against the floor that does "
                "the same libcrypto start-up the ratio is the second row. Closing the rest "
                "would mean dropping or deferring the seeding check (the failure would move "
                "from start-up to the first use) or the ENGINE set-up (engines that a "
                "system's libcrypto has built in would no longer be registered).")
        if notes:
            out += ["", "Goals not met, and why:", ""] + notes
        return out + [""]

    def write(self, started, head):
        self.md.append(f"Load at the end: `{subprocess.run(['uptime'], capture_output=True, text=True).stdout.strip()}`; "
                       f"whole run {time.time() - started:.0f} s.\n")
        changes = os.path.join(HERE, "results", "changes.md")
        body = (["# vardek benchmarks\n", "## Machine and method\n"] + head + [""] +
                self.goals() + self.md)
        if os.path.exists(changes) and not self.smoke:
            body += ["", open(changes).read()]
        with open(os.path.join(self.out, "latest.md"), "w") as f:
            f.write("\n".join(body) + "\n")


def main():
    args = [a for a in sys.argv[1:] if not a.startswith("--")]
    smoke = "--smoke" in sys.argv
    if len(args) != 2:
        raise SystemExit(__doc__)
    os.makedirs(args[1], exist_ok=True)
    b = Bench(args[0], args[1], smoke)
    started = time.time()
    head = b.machine()
    try:
        for part in (b.sign_throughput, b.own_cost, b.add_latency, b.startup, b.rss_growth,
                     b.pipelined, b.profile):
            t = time.time()
            part()
            print(f"run_bench: {part.__name__}: {time.time() - t:.0f} s", flush=True)
        b.write(started, head)
    finally:
        shutil.rmtree(b.tmp, ignore_errors=True)
    print(f"run_bench: wrote {os.path.join(args[1], 'latest.md')}")


if __name__ == "__main__":
    main()
