"""Small measuring tools for bench/compare.sh.

    probes.py echo-serve PORT
        echoes every byte on 127.0.0.1:PORT, any number of connections.
    probes.py echo-probe PORT COUNT GAP_MS [SIZE]
        one connection; COUNT times (after one untimed echo) sends SIZE bytes
        (64), waits for them to come back and notes the round trip; GAP_MS
        between probes.  Prints
        "p50_ms p99_ms max_ms count".
    probes.py grow PATH SIZE TIMEOUT_S LINK_BPS
        watches PATH grow to SIZE bytes (sampling every 50 ms); prints
        "steady_bps t80_s" (see rate_figures).
    probes.py iperf JSON LINK_BPS
        the same figures from an iperf3 -J --get-server-output result (the
        receiver's intervals).
    probes.py iperf-sum JSON
        bits per second the receiver got, in all.

Every wait is bounded; a failed probe prints "nan" figures.
"""
import json
import os
import socket
import sys
import threading
import time

# Width of the window a rate is measured over, seconds.
RATE_WINDOW_S = 0.5
# Share of the link's rate that counts as having reached it.
REACHED_SHARE = 0.8


def echo_serve(port):
    listener = socket.socket()
    listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    listener.bind(("127.0.0.1", port))
    listener.listen(64)

    def one(conn):
        conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        with conn:
            while True:
                data = conn.recv(65536)
                if not data:
                    return
                conn.sendall(data)

    while True:
        conn, _ = listener.accept()
        threading.Thread(target=one, args=(conn,), daemon=True).start()


def percentile(values, share):
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def echo_probe(port, count, gap_ms, size):
    sock = socket.create_connection(("127.0.0.1", port), timeout=10)
    sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    payload = b"x" * size
    rtts = []
    try:
        # The first echo also waits for the forwarder to reach the far
        # server: it is not timed.
        for i in range(count + 1):
            start = time.monotonic()
            sock.sendall(payload)
            got = 0
            while got < size:
                data = sock.recv(size - got)
                if not data:
                    raise OSError("echo closed")
                got += len(data)
            if i > 0:
                rtts.append((time.monotonic() - start) * 1000)
            time.sleep(gap_ms / 1000)
    except OSError as e:
        print("echo probe: %s after %d probes" % (e, len(rtts)), file=sys.stderr)
    if not rtts:
        print("nan nan nan 0")
        return
    print("%.2f %.2f %.2f %d" % (percentile(rtts, 0.5), percentile(rtts, 0.99), max(rtts),
                                 len(rtts)))


def rate_figures(samples, link_bps):
    """samples: (seconds, bytes so far), from the first byte on.  Returns the
    steady rate (bits/s over the second half of the time) and the time until
    the first window of RATE_WINDOW_S carried REACHED_SHARE of the link's
    rate (nan when none did)."""
    if len(samples) < 2:
        return float("nan"), float("nan")
    t0, b0 = samples[0]
    t_end, b_end = samples[-1]
    half = t0 + (t_end - t0) / 2
    mid = min(samples, key=lambda s: abs(s[0] - half))
    steady = (b_end - mid[1]) * 8 / max(t_end - mid[0], 1e-9)
    reached = float("nan")
    j = 0
    for i, (t, b) in enumerate(samples):
        while j < i and t - samples[j + 1][0] >= RATE_WINDOW_S:
            j += 1
        tj, bj = samples[j]
        if t - tj >= RATE_WINDOW_S * 0.9 and (b - bj) * 8 / (t - tj) >= REACHED_SHARE * link_bps:
            reached = t - t0
            break
    return steady, reached


def grow(path, size, timeout_s, link_bps):
    samples = []
    deadline = time.monotonic() + timeout_s
    while time.monotonic() < deadline:
        try:
            n = os.stat(path).st_size
        except OSError:
            n = 0
        now = time.monotonic()
        if n > 0:
            if not samples:
                samples.append((now, 0))
            samples.append((now, n))
        if n >= size:
            break
        time.sleep(0.05)
    steady, reached = rate_figures(samples, link_bps)
    print("%.0f %.2f" % (steady, reached))


def load_iperf(path):
    with open(path) as f:
        result = json.load(f)
    return result


def iperf_series(path, link_bps):
    try:
        result = load_iperf(path)
        server = result.get("server_output_json") or result
        samples = [(0.0, 0)]
        total = 0
        for iv in server["intervals"]:
            total += iv["sum"]["bytes"]
            samples.append((iv["sum"]["end"], total))
        # Drop trailing intervals after the sender stopped.
        while len(samples) > 2 and samples[-1][1] == samples[-2][1]:
            samples.pop()
        steady, reached = rate_figures(samples, link_bps)
    except (OSError, ValueError, KeyError, TypeError):
        steady, reached = float("nan"), float("nan")
    print("%.0f %.2f" % (steady, reached))


def iperf_sum(path):
    try:
        print("%.0f" % load_iperf(path)["end"]["sum_received"]["bits_per_second"])
    except (OSError, ValueError, KeyError, TypeError):
        print("nan")


def main():
    what, args = sys.argv[1], sys.argv[2:]
    if what == "echo-serve":
        echo_serve(int(args[0]))
    elif what == "echo-probe":
        size = int(args[3]) if len(args) > 3 else 64
        echo_probe(int(args[0]), int(args[1]), float(args[2]), size)
    elif what == "grow":
        grow(args[0], int(args[1]), float(args[2]), float(args[3]))
    elif what == "iperf":
        iperf_series(args[0], float(args[1]))
    elif what == "iperf-sum":
        iperf_sum(args[0])
    else:
        sys.exit("probes.py: unknown tool " + what)


if __name__ == "__main__":
    main()
