"""A man in the middle of a veskd TCP link, for the end-to-end scripts.

    link_relay.py relay PORTFILE TARGET_PORT CAPTURE [FLIP_AT]
        Listens on 127.0.0.1 (port written to PORTFILE), relays one connection
        to 127.0.0.1:TARGET_PORT and records what crosses: CAPTURE.up (from the
        connecting end) and CAPTURE.down.  With FLIP_AT, the byte at that
        offset of the up direction is flipped on its way.
    link_relay.py replay TARGET_PORT FILE
        Connects to 127.0.0.1:TARGET_PORT, sends FILE as it is and reads until
        the other end closes.
    link_relay.py attack TARGET_PORT SILENT GARBAGE FLOOD SPREAD STATS [SLOW [OWN [NET6]]]
        Strangers at a tcp-listen: veskd on 127.0.0.1:TARGET_PORT: SILENT
        connections that send nothing and GARBAGE ones that send bytes that
        are no key check, each made again as soon as it is closed, and with
        FLOOD 1 an endless run of key checks with a wrong key.  SPREAD 0
        sends the silent ones from 127.0.0.2, the garbage from 127.0.0.3 and
        the flood from 127.0.0.4; SPREAD 1 gives each connection its own
        address in 127.0.1-3.x.  SLOW connections (from 127.0.4.x, or
        127.0.0.5) send a right first message, then a byte a second; OWN
        silent ones come from the peer's own address, 127.0.0.1.  With NET6
        (an IPv6 /64 such as fd00:1:: that routes to this host, in a
        namespace) the target is NET6 1 and every stranger's address is in
        NET6 (OWN's: the target's).  ATTACK_SOURCES in the environment
        spreads each kind over that many addresses only, several
        connections from each.  On SIGTERM it writes the count of
        connections of each kind to STATS.

Ends after 120 s at the latest so that a broken test cannot leave it behind.
"""
import hashlib
import hmac
import os
import signal
import socket
import sys
import threading
import time

LIFETIME_S = 120
CHUNK = 65536
REPLAY_WAIT_S = 15


def write_port(path, port):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(port))
    os.rename(tmp, path)


def pump(src, dst, record, flip_at):
    offset = 0
    with open(record, "wb") as rec:
        try:
            while True:
                data = src.recv(CHUNK)
                if not data:
                    break
                if flip_at is not None and offset <= flip_at < offset + len(data):
                    i = flip_at - offset
                    data = data[:i] + bytes([data[i] ^ 0x01]) + data[i + 1:]
                offset += len(data)
                rec.write(data)
                dst.sendall(data)
        except OSError:
            pass
    # Pass the end on, then let the other direction finish.
    for s, how in ((dst, socket.SHUT_WR), (src, socket.SHUT_RD)):
        try:
            s.shutdown(how)
        except OSError:
            pass


def relay(portfile, target, capture, flip_at):
    ls = socket.socket()
    ls.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
    ls.bind(("127.0.0.1", 0))
    ls.listen(1)
    write_port(portfile, ls.getsockname()[1])
    near, _ = ls.accept()
    ls.close()
    far = socket.create_connection(("127.0.0.1", target))
    up = threading.Thread(target=pump, args=(near, far, capture + ".up", flip_at))
    down = threading.Thread(target=pump, args=(far, near, capture + ".down", None))
    up.start()
    down.start()
    up.join()
    down.join()


def replay(target, path):
    s = socket.create_connection(("127.0.0.1", target))
    with open(path, "rb") as f:
        try:
            s.sendall(f.read())
        except OSError:
            return
    s.settimeout(REPLAY_WAIT_S)
    try:
        while s.recv(CHUNK):
            pass
    except OSError:
        pass


ATTACK_PAUSE_S = 0.05  # between a refused connection and the next
HELLO = b"VK\x01\x01I"  # a key check's first message: magic, version, type, role
PROOF = b"VK\x01\x02I"
NONCE_BYTES = 32


SLOW_BYTE_S = 1.0  # a slow talker's pace after its first message


SOURCES = int(os.environ.get("ATTACK_SOURCES", "250"))


def source(kind, i, spread, net6):
    i %= min(SOURCES, 250)
    if kind == 0:  # the peer's own address
        return net6 + "1" if net6 else "127.0.0.1"
    if net6:
        return "%s%x:%x" % (net6, kind, 1 + (i if spread else 0))
    if spread:
        return "127.0.%d.%d" % (kind, 1 + i)
    return "127.0.0.%d" % (kind + 1)


def stranger(target, src, count, talk):
    """Connects from src, lets talk(sock) speak, waits for the close, again."""
    host, port = target
    while True:
        try:
            s = socket.socket(socket.AF_INET6 if ":" in host else socket.AF_INET)
            s.bind((src, 0))
            s.connect((host, port))
            count[0] += 1
            talk(s)
            while s.recv(CHUNK):
                pass
        except OSError:
            pass
        finally:
            s.close()
        time.sleep(ATTACK_PAUSE_S)


def silent(s):
    pass


def garbage(s):
    s.sendall(b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")


def slow(s):
    s.sendall(HELLO + os.urandom(NONCE_BYTES))
    while True:
        time.sleep(SLOW_BYTE_S)
        s.sendall(b"V")


def wrong_key(s):
    s.sendall(HELLO + os.urandom(NONCE_BYTES))
    s.recv(CHUNK)
    mac = hmac.new(os.urandom(32), os.urandom(NONCE_BYTES), hashlib.sha256).digest()
    s.sendall(PROOF + mac)


def attack(port, n_silent, n_garbage, flood, spread, stats, n_slow=0, n_own=0, net6=""):
    counts = {"silent": [0], "garbage": [0], "flood": [0], "slow": [0], "own": [0]}
    jobs = [("silent", 1, i, silent) for i in range(n_silent)]
    jobs += [("garbage", 2, i, garbage) for i in range(n_garbage)]
    if flood:
        jobs += [("flood", 3, i, wrong_key) for i in range(2)]
    jobs += [("slow", 4, i, slow) for i in range(n_slow)]
    jobs += [("own", 0, i, silent) for i in range(n_own)]
    target = (net6 + "1" if net6 else "127.0.0.1", port)
    for name, kind, i, talk in jobs:
        src = source(kind, i, spread, net6)
        t = threading.Thread(target=stranger, args=(target, src, counts[name], talk), daemon=True)
        t.start()

    def write_stats():
        with open(stats + ".new", "w") as f:
            for name, c in counts.items():
                f.write("%s %d\n" % (name, c[0]))
        os.replace(stats + ".new", stats)

    def report(*_):
        write_stats()
        os._exit(0)

    signal.signal(signal.SIGTERM, report)
    # Written as it goes too, so that a test can wait for the counts.
    while True:
        time.sleep(0.2)
        write_stats()


def main():
    threading.Timer(LIFETIME_S, lambda: os._exit(0)).start()
    kind = sys.argv[1]
    if kind == "relay":
        flip_at = int(sys.argv[5]) if len(sys.argv) > 5 else None
        relay(sys.argv[2], int(sys.argv[3]), sys.argv[4], flip_at)
    elif kind == "replay":
        replay(int(sys.argv[2]), sys.argv[3])
    elif kind == "attack":
        a = sys.argv[2:]
        extra = [int(a[6]) if len(a) > 6 else 0, int(a[7]) if len(a) > 7 else 0]
        attack(int(a[0]), int(a[1]), int(a[2]), a[3] == "1", a[4] == "1", a[5], *extra,
               a[8] if len(a) > 8 else "")
    else:
        sys.exit("unknown mode " + kind)
    os._exit(0)


if __name__ == "__main__":
    main()
