"""Keystroke echo times for bench/line.sh: a typist's bytes through a forward.

    keystrokes.py serve PORTFILE LIFETIME_S
        an echo server on 127.0.0.1 that writes its port to PORTFILE once it
        listens and ends after LIFETIME_S at the latest
    keystrokes.py probe PORT N GAP_MS BOUND_S TOTAL_S
        N round trips of one byte each to 127.0.0.1:PORT, sent at least GAP_MS
        apart (a typist does not wait long between keys); prints one line:
        "p50_ms p99_ms max_ms failed N", where a sample that took longer than
        BOUND_S, or was not taken before TOTAL_S ran out, is failed and
        counts as infinitely slow ("inf" in the figures it reaches)

Each byte carries its own number, so that an echo that arrives after its
sample gave up is not taken for the next one's.
"""
import math
import os
import socket
import sys
import threading
import time


def echo(conn):
    conn.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    try:
        while True:
            data = conn.recv(65536)
            if not data:
                break
            conn.sendall(data)
    except OSError:
        pass
    finally:
        conn.close()


def serve(portfile, lifetime_s):
    threading.Timer(lifetime_s, lambda: os._exit(0)).start()
    s = socket.socket()
    s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    s.bind(("127.0.0.1", 0))
    s.listen(16)
    tmp = portfile + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(s.getsockname()[1]))
    os.rename(tmp, portfile)
    while True:
        conn, _ = s.accept()
        threading.Thread(target=echo, args=(conn,), daemon=True).start()


def round_trip(sock, value, bound_s):
    """Seconds until VALUE came back, or None after BOUND_S."""
    t0 = time.monotonic()
    sock.sendall(bytes([value]))
    while True:
        left = t0 + bound_s - time.monotonic()
        if left <= 0:
            return None
        sock.settimeout(left)
        try:
            data = sock.recv(1)
        except socket.timeout:
            return None
        if not data:
            raise ConnectionError("the forward closed the connection")
        if data[0] == value:
            return time.monotonic() - t0


def percentile(sorted_ms, p):
    """Nearest rank: the smallest sample with at least P% at or below it."""
    k = max(1, math.ceil(p / 100 * len(sorted_ms)))
    return sorted_ms[k - 1]


def fmt(ms):
    return "inf" if math.isinf(ms) else "%.0f" % ms


def probe(port, n, gap_ms, bound_s, total_s):
    deadline = time.monotonic() + total_s
    samples = []
    try:
        sock = socket.create_connection(("127.0.0.1", port), timeout=bound_s)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        # The first byte also waits for the forward's connection to the far
        # end: not a keystroke, so not a sample.
        round_trip(sock, 255, bound_s)
        for i in range(n):
            start = time.monotonic()
            if start + bound_s > deadline:
                break
            took = round_trip(sock, i % 255, bound_s)
            samples.append(math.inf if took is None else took * 1000)
            rest = start + gap_ms / 1000 - time.monotonic()
            if rest > 0:
                time.sleep(rest)
    except (OSError, ConnectionError) as e:
        print("keystrokes: %s" % e, file=sys.stderr)
    samples += [math.inf] * (n - len(samples))
    samples.sort()
    failed = sum(1 for s in samples if math.isinf(s))
    print(fmt(percentile(samples, 50)), fmt(percentile(samples, 99)), fmt(samples[-1]),
          failed, n)


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "serve":
        serve(sys.argv[2], float(sys.argv[3]))
    elif len(sys.argv) == 7 and sys.argv[1] == "probe":
        probe(int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4]), float(sys.argv[5]),
              float(sys.argv[6]))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
