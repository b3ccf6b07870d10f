"""Turns bench/compare.sh's results into the table of docs/performance.md and
its chart:

    report.py RESULTS MARKDOWN PNG
    report.py --print RESULTS
    report.py --verdicts RESULTS
    report.py --check

RESULTS holds one "key value..." line per figure.  --print writes the table
to standard output only; --verdicts writes one line per target, its verdict
(holds, misses or unmeasured), a tab and its name.  --check only reads what
the report needs from the source tree (and finds gnuplot), so that a moved
file stops a run before it measures rather than after.  The table replaces what
stands between the two result markers of MARKDOWN (the rest of the file, the
analysis, is left alone); the chart is drawn by gnuplot into PNG.
"""
import math
import os
import re
import shutil
import subprocess
import sys
import tempfile

BEGIN = "<!-- results: written by bench/compare.sh, do not edit by hand -->"
END = "<!-- end of results -->"
HERE = os.path.dirname(os.path.abspath(__file__))

# The targets.
FLOOR_RATIO_MAX = 1.15
PORTLINK_OVER_SSH_MIN = 1.5
PORTLINK_OVER_SOCAT_MIN = 1.2
LONG_SHARE_MIN = 0.8
FRAMES_OF_SLACK = 2
MANY_OVER_RSYNC_MAX = 2.0       # small files, several in flight
MANY_RTTS_PER_FILE_MAX = 2.0    # small files, one at a time
MANY_LARGE_OVER_RSYNC_MAX = 1.2
TREE_OVER_RSYNC_MAX = 1.2       # a deep tree, each way, each delay
TREE_RERUN_OVER_RSYNC_MAX = 2.0
EXACT = {"1": "yes", "0": "**no**"}   # a vesk copy against its source


# Every source file the report reads.
FRAME_H = os.path.join(HERE, "..", "server", "transport", "frame.h")


def frame_bytes():
    """veskd's data frame payload plus its header, both as frame.h sets them."""
    with open(FRAME_H) as f:
        text = f.read()
    total = 0
    for name in ("kDataMax", "kHeaderBytes"):
        m = re.search(name + r"\s*=\s*([0-9* ]+);", text)
        if m is None:
            raise ValueError("%s: no %s" % (FRAME_H, name))
        total += eval(m.group(1), {"__builtins__": {}})
    return total


def check():
    """Returns 0 when the report can be made, else names what is missing."""
    try:
        frame_bytes()
    except (OSError, ValueError) as e:
        print("report.py: %s" % e, file=sys.stderr)
        return 1
    if shutil.which("gnuplot") is None:
        print("report.py: gnuplot is missing", file=sys.stderr)
        return 1
    return 0


def load(path):
    r = {}
    with open(path) as f:
        for line in f:
            key, _, rest = line.strip().partition(" ")
            if key:
                r[key] = rest
    return r


def num(r, key, i=0):
    try:
        return float(r[key].split()[i])
    except (KeyError, IndexError, ValueError):
        return float("nan")


def fmt(v, digits=2):
    return "–" if v != v else "%.*f" % (digits, v)


def verdict(ok):
    if ok is None:
        return "not measured"
    return "**holds**" if ok else "**misses**"


def cmp_ok(a, b, test):
    if a != a or b != b:
        return None
    return test(a, b)


def build(r):
    big_gib = num(r, "big_mib") / 1024
    floor_mib = num(r, "floor_mib")
    rows = []
    out = []
    out.append("Run of %s (%s)%s. Ratios compare figures of this one run." %
               (r.get("date", "?"), r.get("machine", "?"),
                ", **--quick** sizes" if r.get("quick") == "1" else ""))
    out.append("")

    # 1. transfers
    out.append("### Transfers through a local pair")
    out.append("")
    out.append("%d MiB on tmpfs, best of %d, against `bench_protolimit` (the protocol's own "
               "system calls and the far file's I/O, nothing else):" % (floor_mib, num(r, "runs")))
    out.append("")
    out.append("| direction | floor s | vesk s | vesk MiB/s | vesk / floor | target ≤ %.2f |" %
               FLOOR_RATIO_MAX)
    out.append("|---|---:|---:|---:|---:|---|")
    targets = []
    for d, name in (("up", "upload"), ("down", "download")):
        f, v = num(r, "floor_" + d), num(r, "vesk_" + d)
        ratio = v / f if f == f and f > 0 else float("nan")
        ok = cmp_ok(ratio, FLOOR_RATIO_MAX, lambda a, b: a <= b)
        targets.append(("%s of %d MiB within %.2f× the floor" % (name, floor_mib,
                                                                 FLOOR_RATIO_MAX), ok,
                        "%.2f×" % ratio))
        out.append("| %s | %s | %s | %s | %s | %s |" % (name, fmt(f, 3), fmt(v, 3),
                                                        fmt(floor_mib / v, 1), fmt(ratio),
                                                        verdict(ok)))
    out.append("")
    out.append("%d MiB, one run each; CPU counts the client and both servers (both `veskd`, or "
               "the sshd master with its sessions):" % num(r, "big_mib"))
    out.append("")
    out.append("| method | seconds | MiB/s | CPU s/GiB | time / scp | CPU / scp |")
    out.append("|---|---:|---:|---:|---:|---:|")
    for d, name in (("up", "upload"), ("down", "download")):
        scp_s, scp_c = num(r, "big_scp_%s_s" % d), num(r, "big_scp_%s_cpu" % d)
        for tool in ("vesk", "scp", "rsync"):
            s, c = num(r, "big_%s_%s_s" % (tool, d)), num(r, "big_%s_%s_cpu" % (tool, d))
            out.append("| %s %s | %s | %s | %s | %s | %s |" % (
                tool, name, fmt(s), fmt(num(r, "big_mib") / s, 1), fmt(c / big_gib),
                fmt(s / scp_s), fmt(c / scp_c)))
        vs, vc = num(r, "big_vesk_%s_s" % d), num(r, "big_vesk_%s_cpu" % d)
        ok_t = cmp_ok(vs, scp_s, lambda a, b: a <= b)
        ok_c = cmp_ok(vc, scp_c, lambda a, b: a <= b)
        ok = None if ok_t is None or ok_c is None else ok_t and ok_c
        targets.append(("%s of %d MiB: time and CPU at most scp's" % (name, num(r, "big_mib")),
                        ok, "time %s×, CPU %s× scp" % (fmt(vs / scp_s), fmt(vc / scp_c))))
    out.append("")

    # 2. forwarding
    out.append("### iperf3 through a forwarder (loopback, %d s each way), Gbit/s" %
               num(r, "iperf_s"))
    out.append("")
    out.append("| path | send | receive | portlink / it, send | portlink / it, receive |")
    out.append("|---|---:|---:|---:|---:|")
    pl = [num(r, "fwd_portlink_send") / 1e9, num(r, "fwd_portlink_receive") / 1e9]
    for key, name in (("direct", "direct"), ("socat", "socat"), ("portlink", "portlink"),
                      ("sshL", "ssh -L")):
        v = [num(r, "fwd_%s_send" % key) / 1e9, num(r, "fwd_%s_receive" % key) / 1e9]
        out.append("| %s | %s | %s | %s | %s |" % (name, fmt(v[0]), fmt(v[1]),
                                                   fmt(pl[0] / v[0]), fmt(pl[1] / v[1])))
    for key, name, need in (("sshL", "ssh -L", PORTLINK_OVER_SSH_MIN),
                            ("socat", "socat", PORTLINK_OVER_SOCAT_MIN)):
        ratios = [pl[0] / (num(r, "fwd_%s_send" % key) / 1e9),
                  pl[1] / (num(r, "fwd_%s_receive" % key) / 1e9)]
        ok = None if any(x != x for x in ratios) else all(x >= need for x in ratios)
        targets.append(("portlink at least %.1f× %s" % (need, name), ok,
                        "%s× / %s× (send / receive)" % (fmt(ratios[0]), fmt(ratios[1]))))
    out.append("")

    # 3. long link
    rate = num(r, "long_rate_bps")
    out.append("### The long link: %d ms round trip, %d Mbit/s" %
               (num(r, "long_rtt_ms"), rate / 1e6))
    out.append("")
    out.append("Two network namespaces joined by a veth pair, tbf for the rate, "
               "`bench_delay_link` for the delay. Steady rate: the receiver's rate over the "
               "second half of the run; time to 80%: until the first half second that carried "
               "80% of the rate.")
    out.append("")
    out.append("| what | steady Mbit/s | share of the rate | time to 80% s |")
    out.append("|---|---:|---:|---:|")
    for key, name in (("long_upload", "vesk upload (%d MiB)" % num(r, "long_mib")),
                      ("long_scp", "scp, same file"),
                      ("long_stream", "iperf3 through portlink ('5', %d s)" % num(r, "long_s")),
                      ("long_sshL", "iperf3 through ssh -L")):
        s, t = num(r, key, 0), num(r, key, 1)
        out.append("| %s | %s | %s%% | %s |" % (name, fmt(s / 1e6, 0), fmt(100 * s / rate, 0),
                                               fmt(t, 1)))
        if key in ("long_upload", "long_stream"):
            ok = cmp_ok(s / rate, LONG_SHARE_MIN, lambda a, b: a >= b)
            targets.append(("long link, %s at %d%% of the rate" % (name.split(" (")[0],
                                                                  100 * LONG_SHARE_MIN), ok,
                            "%s%%, 80%% after %s s" % (fmt(100 * s / rate, 0), fmt(t, 1))))
    out.append("")

    # 4. busy link
    brate, brtt = num(r, "busy_rate_bps"), num(r, "busy_rtt_ms")
    frame_ms = frame_bytes() * 8 / brate * 1000
    bound = brtt + FRAMES_OF_SLACK * frame_ms
    out.append("### The busy slow link: %d ms round trip, %d Mbit/s" % (brtt, brate / 1e6))
    out.append("")
    out.append("64-byte echoes %s ms apart; busy: while an upload (vesk) or an scp sharing the "
               "ssh connection (ssh -L) fills the link. One %d-byte frame takes %.1f ms here, "
               "so the bound is %.1f ms." % ("50", frame_bytes(), frame_ms, bound))
    out.append("")
    out.append("| path | p50 ms | p99 ms | max ms | echoes |")
    out.append("|---|---:|---:|---:|---:|")
    for key, name in (("busy_idle_pl", "portlink, idle"), ("busy_idle_sshL", "ssh -L, idle"),
                      ("busy_pl", "portlink, upload running"),
                      ("busy_sshL", "ssh -L, scp running")):
        out.append("| %s | %s | %s | %s | %s |" % (name, fmt(num(r, key, 0), 1),
                                                   fmt(num(r, key, 1), 1),
                                                   fmt(num(r, key, 2), 1), fmt(num(r, key, 3), 0)))
    p99 = num(r, "busy_pl", 1)
    targets.append(("busy link p99 within %.1f ms" % bound,
                    cmp_ok(p99, bound, lambda a, b: a <= b), "%s ms" % fmt(p99, 1)))
    out.append("")

    # 5. many files
    rtt = num(r, "many_rtt_ms")
    path_rtt = num(r, "many_path_rtt")
    if path_rtt != path_rtt:
        path_rtt = rtt
    out.append("### Many files over a %d ms round trip" % rtt)
    out.append("")
    out.append("The veskd pair's `tcp:` link and ssh each through `bench_delay_link` on "
               "loopback (no rate limit); vesk copies a file list into a directory, one file "
               "at a time and with `-j %d`; scp and rsync (`-a`) copy the directory. Seconds. "
               "Round trips a file: the one-at-a-time time over files and round trip; waits a "
               "file: the same less what the run takes through the relay with no delay "
               "(%s s up, %s s down for the small files: veskd, the relay and the disk), "
               "over the relay's own round trip as a 64-byte echo through it sees it "
               "(p50 %s ms): the round trips the client waits for."
               % (num(r, "many_jobs"), fmt(num(r, "many_small_vesknear_up")),
                  fmt(num(r, "many_small_vesknear_down")), fmt(path_rtt, 2)))
    out.append("")
    out.append("| files | direction | vesk | vesk -j | vesk -R | scp | rsync | vesk / rsync | "
               "vesk -j / rsync | vesk -R / rsync | round trips a file | waits a file |")
    out.append("|---|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|")
    for size, label, count in (("small", "%d of 4 KiB" % num(r, "many_small_n"),
                                 num(r, "many_small_n")),
                                ("large", "%d of 1 MiB" % num(r, "many_large_n"),
                                 num(r, "many_large_n"))):
        for d, name in (("up", "upload"), ("down", "download")):
            v = [num(r, "many_%s_%s_%s" % (size, tool, d))
                 for tool in ("vesk", "veskj", "scp", "rsync", "vesktree")]
            trips = v[0] / count / (rtt / 1000) if count == count and rtt > 0 else float("nan")
            near = num(r, "many_%s_vesknear_%s" % (size, d))
            waits = (v[0] - near) / count / (path_rtt / 1000) if near == near else float("nan")
            out.append("| %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s | %s |" % (
                label, name, fmt(v[0]), fmt(v[1]), fmt(v[4]), fmt(v[2]), fmt(v[3]),
                fmt(v[0] / v[3]), fmt(v[1] / v[3]), fmt(v[4] / v[3]), fmt(trips, 2),
                fmt(waits, 2)))
            if size == "small":
                ok = cmp_ok(v[1] / v[3], MANY_OVER_RSYNC_MAX, lambda a, b: a <= b)
                targets.append(("%s, %s: -j within %.0f× rsync" % (label, name,
                                                                   MANY_OVER_RSYNC_MAX), ok,
                                "%s×" % fmt(v[1] / v[3])))
                ok = cmp_ok(waits, MANY_RTTS_PER_FILE_MAX, lambda a, b: a <= b)
                targets.append(("%s, %s: one at a time waits at most %.0f round trips a file" % (
                    label, name, MANY_RTTS_PER_FILE_MAX), ok,
                    "%s (%s with veskd's and the relay's own time)" % (fmt(waits, 2),
                                                                       fmt(trips, 2))))
            else:
                best = min(v[0], v[1]) if v[1] == v[1] else v[0]
                ok = cmp_ok(best / v[3], MANY_LARGE_OVER_RSYNC_MAX, lambda a, b: a <= b)
                targets.append(("%s, %s: within %.1f× rsync" % (label, name,
                                                               MANY_LARGE_OVER_RSYNC_MAX), ok,
                                "%s×" % fmt(best / v[3])))
    out.append("")

    # 6. a deep tree (bench/tree.sh)
    if "tree_files" in r:
        rtt = r.get("tree_rtt_ms", "50")
        out.append("### A deep tree")
        out.append("")
        out.append("A tree shaped like /usr/share/doc, made from a seed by `bench/maketree.py`: "
                   "%s files (%s MiB) in %s directories, %s symbolic links; the pair and ssh "
                   "through `bench_delay_link` as above, with no delay and a %s ms round trip. "
                   "vesk: `upload -R`, `download -R`; rsync `-a`; `scp -r` (which follows "
                   "links and fails on dangling ones). The re-run follows a change of one "
                   "file: `upload -R -U` against rsync's re-run. Seconds; exact: contents, "
                   "modes, links and times to the nanosecond." % (
                       r.get("tree_files"), r.get("tree_mib"), r.get("tree_dirs"),
                       r.get("tree_links"), rtt))
        out.append("")
        out.append("| copy | round trip | vesk | rsync | scp -r | vesk / rsync | vesk copy exact |")
        out.append("|---|---:|---:|---:|---:|---:|---|")
        rows = [(name, d, t) for t in ("0", rtt) for name, d in (("upload", "up"),
                                                                 ("download", "down"))]
        for name, d, t in rows:
            v, rs, sc = (num(r, "tree_%s_%s_%s" % (tool, d, t)) for tool in ("vesk", "rsync", "scp"))
            exact = EXACT.get(r.get("tree_vesk_%s_%s_same" % (d, t)), "–")
            out.append("| %s -R | %s ms | %s | %s | %s | %s | %s |" % (
                name, t, fmt(v), fmt(rs), fmt(sc), fmt(v / rs), exact))
            ok = cmp_ok(v / rs, TREE_OVER_RSYNC_MAX, lambda a, b: a <= b)
            targets.append(("deep tree, %s -R at %s ms: within %.1f× rsync" % (
                name, t, TREE_OVER_RSYNC_MAX), ok, "%s×" % fmt(v / rs)))
        v, rs = num(r, "tree_rerun_vesk"), num(r, "tree_rerun_rsync")
        out.append("| re-run, one file changed (`-U`) | %s ms | %s | %s | – | %s | %s |" % (
            rtt, fmt(v), fmt(rs), fmt(v / rs), EXACT.get(r.get("tree_rerun_vesk_same"), "–")))
        targets.append(("deep tree, re-run after one change: within %.0f× rsync's re-run" %
                        TREE_RERUN_OVER_RSYNC_MAX,
                        cmp_ok(v / rs, TREE_RERUN_OVER_RSYNC_MAX, lambda a, b: a <= b),
                        "%s×" % fmt(v / rs)))
        out.append("")

    out.append("### Targets")
    out.append("")
    out.append("| target | figure | |")
    out.append("|---|---|---|")
    for name, ok, figure in targets:
        out.append("| %s | %s | %s |" % (name, figure, verdict(ok)))
    out.append("")
    out.append("![throughput and latency against the peers](performance.png)")
    return "\n".join(out), targets


def chart(r, png):
    big = num(r, "big_mib")
    floor_mib = num(r, "floor_mib")
    with tempfile.TemporaryDirectory() as d:
        def data(name, header, rows):
            path = os.path.join(d, name)
            with open(path, "w") as f:
                f.write(" ".join('"%s"' % h for h in header) + "\n")
                for row in rows:
                    f.write(" ".join('"%s"' % c if isinstance(c, str) else
                                     ("NaN" if c != c else "%.4f" % c) for c in row) + "\n")
            return path

        t = data("t.dat", ["dir", "floor %d MiB" % floor_mib, "vesk %d MiB" % floor_mib,
                           "vesk %d MiB" % big, "scp %d MiB" % big, "rsync %d MiB" % big],
                 [[name, floor_mib / num(r, "floor_" + d), floor_mib / num(r, "vesk_" + d),
                   big / num(r, "big_vesk_%s_s" % d), big / num(r, "big_scp_%s_s" % d),
                   big / num(r, "big_rsync_%s_s" % d)]
                  for d, name in (("up", "upload"), ("down", "download"))])
        f = data("f.dat", ["dir", "direct", "socat", "portlink", "ssh -L"],
                 [[dname] + [num(r, "fwd_%s_%s" % (k, dn)) / 1e9
                             for k in ("direct", "socat", "portlink", "sshL")]
                  for dn, dname in (("send", "send"), ("receive", "receive"))])
        rate = num(r, "long_rate_bps")
        l = data("l.dat", ["what", "vesk", "ssh"],
                 [["file copy", 100 * num(r, "long_upload") / rate,
                   100 * num(r, "long_scp") / rate],
                  ["stream", 100 * num(r, "long_stream") / rate,
                   100 * num(r, "long_sshL") / rate]])
        b = data("b.dat", ["what", "portlink p50", "portlink p99", "ssh -L p50", "ssh -L p99"],
                 [["idle", num(r, "busy_idle_pl", 0), num(r, "busy_idle_pl", 1),
                   num(r, "busy_idle_sshL", 0), num(r, "busy_idle_sshL", 1)],
                  ["busy", num(r, "busy_pl", 0), num(r, "busy_pl", 1),
                   num(r, "busy_sshL", 0), num(r, "busy_sshL", 1)]])
        bound = num(r, "busy_rtt_ms") + FRAMES_OF_SLACK * frame_bytes() * 8 / num(
            r, "busy_rate_bps") * 1000
        script = """
set terminal pngcairo size 1200,900 font ",10" noenhanced
set output "%(png)s"
set style data histograms
set style histogram clustered gap 1
set style fill solid 0.85 border -1
set key top right autotitle columnheader
set grid ytics
set yrange [0:*]
set multiplot layout 2,2 title "vesk against the protocol's floor and its peers (%(date)s, %(machine)s)"
set title "Local transfers, MiB/s (higher is better)"
plot for [i=2:6] "%(t)s" using i:xtic(1)
set title "iperf3 through a forwarder, Gbit/s (higher is better)"
plot for [i=2:5] "%(f)s" using i:xtic(1)
set title "Long link, %(lrtt)d ms and %(lrate)d Mbit/s: steady rate, %% of the link"
set yrange [0:110]
plot for [i=2:3] "%(l)s" using i:xtic(1), 80 with lines dt 2 lc rgb "black" title "target"
set yrange [0:*]
set logscale y
set yrange [1:*]
set key top left
set title "Busy link, %(brtt)d ms and %(brate)d Mbit/s: 64-byte echo, ms (lower is better)"
plot for [i=2:5] "%(b)s" using i:xtic(1), %(bound)f with lines dt 2 lc rgb "black" title "bound"
unset multiplot
""" % dict(png=png, t=t, f=f, l=l, b=b, bound=bound, date=r.get("date", "?"),
           machine=r.get("machine", "?"), lrtt=num(r, "long_rtt_ms"),
           lrate=num(r, "long_rate_bps") / 1e6, brtt=num(r, "busy_rtt_ms"),
           brate=num(r, "busy_rate_bps") / 1e6)
        gp = os.path.join(d, "chart.gp")
        with open(gp, "w") as fh:
            fh.write(script)
        subprocess.run(["gnuplot", gp], check=True, timeout=60)


def main():
    args = sys.argv[1:]
    if args == ["--check"]:
        sys.exit(check())
    if len(args) == 2 and args[0] in ("--print", "--verdicts"):
        section, targets = build(load(args[1]))
        if args[0] == "--print":
            print(section)
        for name, ok, _ in targets if args[0] == "--verdicts" else []:
            print("%s\t%s" % ({None: "unmeasured", True: "holds", False: "misses"}[ok], name))
        return
    results, md, png = args
    r = load(results)
    section, _ = build(r)
    try:
        with open(md) as f:
            text = f.read()
    except OSError:
        text = "# Performance\n\n%s\n%s\n" % (BEGIN, END)
    if BEGIN not in text or END not in text:
        text = text.rstrip("\n") + "\n\n%s\n%s\n" % (BEGIN, END)
    head, rest = text.split(BEGIN, 1)
    _, tail = rest.split(END, 1)
    with open(md, "w") as f:
        f.write(head + BEGIN + "\n" + section + "\n" + END + tail)
    try:
        chart(r, png)
    except (OSError, subprocess.SubprocessError) as e:
        print("report.py: no chart: %s" % e, file=sys.stderr)
    print(section)


if __name__ == "__main__":
    main()
