"""Hostile clients and a hostile far end for veskd, with seeded randomness.

    fuzz_client.py attack SOCKET SEED CLIENTS
        CLIENTS threads send random, malformed, split and abandoned requests
        of every code in both directions while one well-behaved client pushes
        data through a forwarded stream and checks it byte for byte, and keeps
        asking for the far clock.  Prints "good N" (well-behaved rounds that
        passed) and "bad ..." lines for anything wrong; exits 1 on a failure.
    fuzz_client.py udp SOCKET SEED
        UDP pair commands with bad and reused numbers, pairs torn down while
        datagrams fly.
    fuzz_client.py far SEED
        Plays the far veskd on stdin/stdout: a valid HELLO, then garbage
        frames, unknown channels, credit and ping floods, truncated frames.
    fuzz_client.py far-hog SEED
        Plays a far veskd that asks without bound (see far_hog).
    fuzz_client.py far-flood
        Plays a far veskd that floods checksums and channels (see far_flood).
    fuzz_client.py ask SOCKET
        One local 'F' -9 on a bare connection (no handshake with the far
        end); exits 0 when it is answered within the socket timeout.

Names the attackers write, remove or chmod are relative and plain, so they
stay inside both ends' working directories (the script makes those
sandboxes); addresses stay on 127.0.0.1.
"""
import os
import random
import socket
import struct
import sys
import threading
import time

import peers

REQUEST_MAX = 1024  # bytes a request may take, NUL included
REPLY_CODES_NONE = set(b"259MNOdefghl")
ALL_CODES = b"FCdDB16EOlLM72ZAe5X89VTWcIabfghNGH" + bytes([0, 1, 0x7F, 0x80, 0xFF, ord("@")])
# Codes that write, remove or chmod by name: their names are kept harmless.
NAMED_WRITES = set(b"61OZ")
# Codes that reach out to a host: kept on loopback.
NETWORK = set(b"AcW")
SOCKET_TIMEOUT_S = 5.0
READ_NAMES = [b"small", b"big", b"dir", b"fifo", b"/dev/zero", b"/dev/null", b"missing",
              b"/proc/self/status", b".", b""]
WRITE_NAMES = [b"w1", b"w2", b"w3", b"fifo", b"dir", b"missing/x"]


def connect(path):
    s = socket.socket(socket.AF_UNIX)
    s.settimeout(SOCKET_TIMEOUT_S)
    s.connect(path)
    return s


def read_reply(s):
    r = b""
    while not r.endswith(b"\0"):
        c = s.recv(1)
        if not c:
            return None
        r += c
    return r


def req(s, d, code, text=b"", reply=True):
    s.sendall(b"@" + d + bytes([code]) + text + b"\0")
    return read_reply(s) if reply else b""


def harmless(code, text):
    """False when text could touch a file outside the sandbox or a host
    beyond loopback."""
    if code in NAMED_WRITES:
        name = text.split(b"\n", 1)[1] if b"\n" in text else text
        if b"/" in name or name in (b"", b".", b".."):
            return False
        if name.startswith(b"."):
            return False
    if code in NETWORK:
        if code == ord("c"):
            return text in (b"", b"localhost", b"remotehost", b"127.0.0.1")
        if code == ord("W"):
            return b":127.0.0.1:" in text and text.count(b":") == 2
        if b":" in text:
            host = text.split(b":", 1)[0]
            return host in (b"", b"127.0.0.1", b"localhost")
    return True


def template(rng, code):
    """A well-formed argument text for code, to be mutated."""
    c = chr(code)
    n = rng.choice([0, 1, -1, 5, 2**31, 2**63 - 1, -2**63, 10**30, 99999999999])
    rn = rng.choice(READ_NAMES)
    wn = rng.choice(WRITE_NAMES)
    if c == "F":
        return str(rng.choice([-10, -9, -6, -1, 0, 7, n])).encode()
    if c in "CdB":
        return str(n).encode()
    if c == "D":
        return rng.choice([rn, b"\n%d\n" % n + rn])
    if c in "61":
        return b"%d %o\n" % (rng.choice([0, 3, n]), rng.choice([0o400, 0o644, 0o7777, 0o17777])) + wn
    if c == "E":
        return str(n).encode()
    if c == "O":
        return b"%o %d %d\n" % (rng.choice([0o644, 0o400, 0o10000]), n, -n) + wn
    if c in "lL":
        return str(rng.choice([0, 1, 100, n])).encode()
    if c == "7":
        return b"%d\n" % rng.choice([0, 3, n, -1]) + rn
    if c == "Z":
        return wn
    if c == "A":
        return rng.choice([b"1", b"0", b"65536", b"127.0.0.1:1", b":99999", b"localhost:1", b"x"])
    if c in "X8":
        return rng.choice([b"/tmp/.X11-unix/X0", b"", b"/" * 200, b"/dev/null"])
    if c in "VTW":
        num = rng.choice([0, 1, 2, 4294967295, 4294967296, -1, n])
        if c == "W":
            return b"%d :127.0.0.1:%d" % (num, rng.choice([0, 9, 65535, 65536]))
        return b"%d %d" % (num, rng.choice([0, 3, 4, 65535, 65536, -1]))
    if c == "c":
        return rng.choice([b"", b"localhost", b"remotehost"])
    return bytes(rng.randrange(256) for _ in range(rng.randrange(8)))


def mutate(rng, text):
    t = bytearray(text)
    for _ in range(rng.randrange(4)):
        op = rng.randrange(5)
        if op == 0 and t:
            t[rng.randrange(len(t))] = rng.randrange(1, 256)
        elif op == 1:
            t.insert(rng.randrange(len(t) + 1), rng.choice(b" \n-0123456789:\xff"))
        elif op == 2 and t:
            del t[rng.randrange(len(t)):]
        elif op == 3:
            t += bytes(rng.randrange(1, 256) for _ in range(rng.randrange(1200)))
    return bytes(t)


def random_request(rng):
    d = rng.choice([b"?", b">", b"?", b">", bytes([rng.randrange(256)])])
    code = rng.choice(ALL_CODES)
    if rng.random() < 0.3:
        text = bytes(rng.randrange(1, 256) for _ in range(rng.choice([0, 1, 10, 1020, 1021, 1100])))
    else:
        text = template(rng, code)
        if rng.random() < 0.5:
            text = mutate(rng, text)
    if not harmless(code, text):
        text = template(rng, code)
        if not harmless(code, text):
            text = b""
    return d, code, text


def send_split(s, data, rng):
    i = 0
    while i < len(data):
        n = rng.choice([1, 1, 2, 3, 7, 100])
        s.sendall(data[i:i + n])
        i += n


def drain(s, limit_s=0.2):
    s.settimeout(limit_s)
    try:
        while s.recv(65536):
            pass
    except OSError:
        pass


def attacker(sock, seed, echo_port, errors):
    rng = random.Random(seed)
    try:
        s = connect(sock)
        s.settimeout(SOCKET_TIMEOUT_S)
        for _ in range(rng.randrange(1, 12)):
            kind = rng.randrange(10)
            if kind <= 3:
                d, code, text = random_request(rng)
                data = b"@" + d + bytes([code]) + text + b"\0"
                if rng.random() < 0.3:
                    send_split(s, data, rng)
                else:
                    s.sendall(data)
                if len(data) > REQUEST_MAX or d not in (b"?", b">") or b"\0" in data[:-1]:
                    break  # the daemon may close us; that is its right
                if code in REPLY_CODES_NONE or code == 0 or code in b"l5":
                    break  # what follows may be data
                if code == ord("7"):
                    break  # a file may follow the reply
                if read_reply(s) is None:
                    break
            elif kind == 4:
                # A request cut short.
                s.sendall(b"@>D" + b"x" * rng.randrange(1000))
                break
            elif kind == 5:
                # A dump that ends early.
                if req(s, b">", ord("6"), b"0 600\nw%d" % rng.randrange(3)) is None:
                    break
                req(s, b"?", ord("l"), b"%d" % rng.randrange(1, 100000), reply=False)
                s.sendall(os.urandom(rng.randrange(1000)))
                break
            elif kind == 6:
                # A stream abandoned at once or after a little data.
                r = req(s, rng.choice([b">", b"?"]), ord("A"), b"127.0.0.1:%d" % echo_port)
                if r is None:
                    break
                req(s, b"?", ord("5"), reply=False)
                s.sendall(os.urandom(rng.randrange(5000)))
                if rng.random() < 0.5:
                    s.shutdown(socket.SHUT_WR)
                break
            elif kind == 7:
                # A file read abandoned half way, or stopped with '2'.
                r = req(s, b">", ord("7"), b"0\nbig")
                if r is None:
                    break
                if rng.random() < 0.5:
                    s.recv(rng.randrange(1, 5000))
                    break
                req(s, b">", ord("2"), reply=False)
                break
            elif kind == 8:
                # Requests without replies that are never followed up.
                req(s, rng.choice([b">", b"?"]), rng.choice(b"2MNOdefgh9"), b"1", reply=False)
            else:
                # Status of awkward files.
                if req(s, b">", ord("D"), rng.choice(READ_NAMES)) is None:
                    break
        if rng.random() < 0.5:
            drain(s)
        s.close()
    except socket.timeout:
        errors.append("attacker %d: no answer within %.0fs" % (seed, SOCKET_TIMEOUT_S))
    except OSError:
        pass  # the daemon closed a bad client: expected


def good_client(sock, echo_port, stop, stats, errors):
    rng = random.Random(1)
    while not stop.is_set():
        try:
            s = connect(sock)
            r = req(s, b">", ord("F"), b"-9")
            if r is None or r[2:3] != b"d":
                errors.append("F -9 answered %r" % (r,))
                return
            r = req(s, b">", ord("A"), b"127.0.0.1:%d" % echo_port)
            if r is None or r[2:3] != b"d":
                errors.append("A to the echo server answered %r" % (r,))
                return
            req(s, b"?", ord("5"), reply=False)
            payload = bytes(rng.randrange(256) for _ in range(rng.randrange(1, 200000)))
            sender = threading.Thread(target=lambda: (s.sendall(payload), s.shutdown(socket.SHUT_WR)))
            sender.start()
            got = bytearray()
            while True:
                b = s.recv(65536)
                if not b:
                    break
                got += b
            sender.join()
            s.close()
            if bytes(got) != payload:
                errors.append("stream: sent %d bytes, got %d back, differ" % (len(payload), len(got)))
                return
            stats["good"] += 1
        except OSError as e:
            errors.append("well-behaved client: %s" % e)
            return


def echo_server(lst):
    while True:
        try:
            c, _ = lst.accept()
        except OSError:
            return
        threading.Thread(target=peers.echo, args=(c,), daemon=True).start()


def attack(sock, seed, clients):
    lst = socket.socket()
    lst.bind(("127.0.0.1", 0))
    lst.listen(512)
    echo_port = lst.getsockname()[1]
    threading.Thread(target=echo_server, args=(lst,), daemon=True).start()
    errors, stats, stop = [], {"good": 0}, threading.Event()
    good = threading.Thread(target=good_client, args=(sock, echo_port, stop, stats, errors))
    good.start()
    rng = random.Random(seed)
    batch = 50
    for start in range(0, clients, batch):
        ts = [threading.Thread(target=attacker, args=(sock, rng.randrange(2**32), echo_port, errors))
              for _ in range(min(batch, clients - start))]
        for t in ts:
            t.start()
        for t in ts:
            t.join(30)
    stop.set()
    good.join(30)
    print("good %d" % stats["good"])
    for e in errors:
        print("bad " + e)
    return 1 if errors or stats["good"] == 0 else 0


def udp(sock, seed):
    rng = random.Random(seed)
    bad = []
    for round_ in range(20):
        s = connect(sock)
        r = req(s, b"?", ord("F"), b"-6")
        if r is None or r[2:3] != b"d":
            print("bad F -6: %r" % (r,))
            return 1
        num = int(r[3:-1])
        u = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        u.bind(("127.0.0.1", 0))
        target = u.getsockname()[1]
        lp = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        lp.bind(("127.0.0.1", 0))
        local_port = lp.getsockname()[1]
        lp.close()
        cmds = [(b">", b"V", b"%d 3" % num), (b"?", b"V", b"%d 4" % num),
                (b"?", b"T", b"%d %d" % (num, local_port)),
                (b">", b"W", b"%d :127.0.0.1:%d" % (num, target))]
        # Reused and bad numbers among them.
        for _ in range(rng.randrange(4)):
            d = rng.choice([b"?", b">"])
            c = rng.choice([b"V", b"T", b"W"])
            n = rng.choice([num, num + 1, 0, -1, 4294967296, 4294967295])
            arg = (b"%d :127.0.0.1:%d" % (n, target) if c == b"W" else
                   b"%d %d" % (n, rng.choice([3, 4, 65536, -1])))
            cmds.insert(rng.randrange(len(cmds) + 1), (d, c, mutate(rng, arg) if rng.random() < 0.3 else arg))
        for d, c, arg in cmds:
            if not harmless(c[0], arg):
                continue
            if req(s, d, c[0], arg) is None:
                bad.append("veskd closed a client after %r %r" % (c, arg))
                break
        snd = socket.socket(socket.AF_INET, socket.SOCK_DGRAM)
        for _ in range(rng.randrange(50, 300)):
            snd.sendto(os.urandom(rng.randrange(1, 1400)), ("127.0.0.1", local_port))
        if rng.random() < 0.5:
            s.close()  # the pair goes while datagrams are in flight
        else:
            time.sleep(0.01)
            s.close()
        snd.close()
        u.close()
    for b in bad:
        print("bad " + b)
    return 0


# ---- a hostile far end ----

def frame(t, flags, chan, payload):
    return struct.pack(">BBHI", t, flags, len(payload), chan) + payload


def far(seed):
    rng = random.Random(seed)
    out = sys.stdout.buffer
    hello = b"VESK" + struct.pack(">HHIIII", 1, 0, 20305, 0x7F000001, os.getuid(), 1 << 31) + b"fake"
    out.write(frame(1, 0, 0, hello))
    out.flush()
    # Whatever the near end sends is read and dropped, so it never blocks.
    def sink():
        while sys.stdin.buffer.read1(65536):
            pass
    threading.Thread(target=sink, daemon=True).start()
    w = []
    for i in range(3000):
        kind = rng.randrange(12)
        chan = rng.choice([0, 1, 2, 3, 0xFFFFFFFF, rng.randrange(2**32)])
        flags = rng.randrange(4)
        if kind == 0:
            t = rng.randrange(256)
            t = 13 if t == 12 else t  # a goodbye would make the ending clean
            w.append(frame(t, rng.randrange(256), chan,
                           os.urandom(rng.randrange(300))))
        elif kind == 1:
            w.append(frame(6, flags, chan, struct.pack(">I", 0xFFFFFFFF)))  # credit flood
        elif kind == 2:
            w.append(frame(10, 0, 0, os.urandom(8)))  # ping
        elif kind == 3:
            w.append(frame(5, flags, chan, os.urandom(rng.randrange(16384))))  # data without credit
        elif kind == 4:
            w.append(frame(5, flags | 2, chan, os.urandom(rng.randrange(2000))))  # corrupt zstd
        elif kind == 5:
            # The far end opens a channel and asks this end things.
            w.append(frame(2, 1, chan, b""))
            code = rng.choice(b"FDd7ECV2MNZ")
            text = mutate(rng, template(rng, code))
            if harmless(code, text):
                w.append(frame(3, 1, chan, bytes([code]) + text))
        elif kind == 6:
            w.append(frame(1, 0, 0, hello))  # a second HELLO
        elif kind == 7:
            w.append(frame(rng.choice([4, 7, 8, 13]), flags, chan, os.urandom(rng.randrange(20))))
        elif kind == 8:
            w.append(frame(9, flags, chan, os.urandom(rng.randrange(2000))))  # dgram, no pair
        elif kind == 9:
            w.append(frame(11, 0, 0, os.urandom(rng.randrange(12))))  # stray pong
        elif kind == 10:
            w.append(frame(3, 1, chan, b""))  # empty request
        else:
            w.append(frame(8, 1, chan, b""))
    data = b"".join(w)
    # In pieces of random size, so frames straddle reads.
    i = 0
    while i < len(data):
        n = rng.randrange(1, 70000)
        out.write(data[i:i + n])
        out.flush()
        i += n
    # The near end must still answer its clients; the script checks that now.
    hold = float(os.environ.get("FAKE_FAR_HOLD_S", "2"))
    time.sleep(hold)
    ending = os.environ.get("FAKE_FAR_END", "truncated")
    if ending == "truncated":
        out.write(struct.pack(">BBHI", 5, 0, 65535, 1) + b"x" * 100)  # a frame never finished
    elif ending == "goodbye":
        out.write(frame(12, 0, 0, b""))
    out.flush()
    os._exit(0)  # the reader thread may still hold stdin


HOG_LOOKUPS = 3000          # far lookups against a resolver that never answers
HOG_CHECKS = range(5001, 5005)  # far file checks asked behind them
HOG_STRAYS = 60000          # replies that answer nothing
HOG_CHANNELS = 2000         # channels of requests sent while never reading
HOG_PIPELINE = 20           # requests per such channel, beyond what may wait
HOG_FLOOD = 100000          # requests on one channel, never read


def far_hog(seed):
    """Plays a far veskd that asks without bound, in two phases; touches
    $FAKE_FAR_MARKS/a and /b when phases A and B are done and writes its
    verdicts to $FAKE_FAR_MARKS/result.
      A: HOG_LOOKUPS lookups ('c' and 'A' with names ending in ".stall"),
         HOG_STRAYS replies that answer nothing, then file checks that must
         still be answered.
      B: stops reading the link for good and sends requests whose replies
         can never leave: HOG_PIPELINE each on HOG_CHANNELS channels,
         HOG_FLOOD 'F' and HOG_FLOOD '2' on one channel each, a '7' of a
         big file it never grants credit for.  Then a goodbye."""
    marks = os.environ["FAKE_FAR_MARKS"]
    hold = float(os.environ.get("FAKE_FAR_HOLD_S", "2"))
    out = sys.stdout.buffer
    lock = threading.Lock()

    def send(b):
        with lock:
            out.write(b)
            out.flush()

    def mark(name, text=""):
        with open(os.path.join(marks, name + ".tmp"), "w") as f:
            f.write(text)
        os.rename(os.path.join(marks, name + ".tmp"), os.path.join(marks, name))

    hello = b"VESK" + struct.pack(">HHIIII", 1, 0, 20305, 0x7F000001, os.getuid(), 1 << 18) + b"fake"
    send(frame(1, 0, 0, hello))
    replies = {}
    checks_answered = threading.Event()
    reading = threading.Event()
    reading.set()

    def reader():
        inp = sys.stdin.buffer
        while True:
            reading.wait()
            h = inp.read(8)
            if len(h) < 8:
                return
            t, fl, n, ch = struct.unpack(">BBHI", h)
            body = inp.read(n)
            if t == 4 and not fl & 1:
                replies[ch] = body
                if all(c in replies for c in HOG_CHECKS):
                    checks_answered.set()
    threading.Thread(target=reader, daemon=True).start()
    verdicts = []

    # A: lookups that never end, then file checks behind them.
    w = []
    for i in range(HOG_LOOKUPS):
        w.append(frame(2, 1, 1 + i, b""))
        w.append(frame(3, 1, 1 + i, (b"ch%d.stall" if i % 2 else b"Ah%d.stall:80") % i))
    send(b"".join(w) + frame(4, 0, 1, b"dstray" + b"x" * 100) * HOG_STRAYS)
    for ch in HOG_CHECKS:
        send(frame(2, 1, ch, b"") + frame(3, 1, ch, b"Dsmall"))
    ok = checks_answered.wait(10) and all(replies[c][:1] == b"d" for c in HOG_CHECKS)
    verdicts.append("file checks answered" if ok else "file checks not answered")
    mark("a")

    # B: never read again; ask what can never be answered.
    reading.clear()
    w = []
    for i in range(HOG_CHANNELS):
        ch = 10001 + i
        w.append(frame(2, 1, ch, b"") + frame(3, 1, ch, b"F-9") * HOG_PIPELINE)
    w.append(frame(2, 1, 20000, b"") + frame(3, 1, 20000, b"F-9") * HOG_FLOOD)
    w.append(frame(2, 1, 20001, b"") + frame(3, 1, 20001, b"2") * HOG_FLOOD)
    w.append(frame(2, 1, 20002, b"") + frame(3, 1, 20002, b"70\nbig"))
    data = b"".join(w)
    for i in range(0, len(data), 65536):
        send(data[i:i + 65536])
    time.sleep(2)
    mark("b")
    time.sleep(hold)
    send(frame(12, 0, 0, b""))
    mark("result", "\n".join(verdicts) + "\n")
    os._exit(0)


FLOOD_CHECKS = 1000     # far checksums of a huge file, each on its own channel
FLOOD_OPENS = 200000    # channels opened after them, with nothing asked


def far_flood():
    """Plays a far veskd that asks for FLOOD_CHECKS checksums of the file
    "sparse" at once, touches $FAKE_FAR_MARKS/c and holds them
    FAKE_FAR_HOLD_S seconds; then closes them, opens FLOOD_OPENS channels,
    touches /d, holds again and says goodbye.  It reads everything the
    near end sends meanwhile, so that only the budget limits what is held."""
    marks = os.environ["FAKE_FAR_MARKS"]
    hold = float(os.environ.get("FAKE_FAR_HOLD_S", "2"))
    out = sys.stdout.buffer

    def send(b):
        for i in range(0, len(b), 65536):
            out.write(b[i:i + 65536])
        out.flush()

    def mark(name):
        open(os.path.join(marks, name + ".tmp"), "w").close()
        os.rename(os.path.join(marks, name + ".tmp"), os.path.join(marks, name))

    def reader():
        inp = sys.stdin.buffer
        while True:
            h = inp.read(8)
            if len(h) < 8:
                return
            inp.read(struct.unpack(">BBHI", h)[2])
    threading.Thread(target=reader, daemon=True).start()
    hello = b"VESK" + struct.pack(">HHIIII", 1, 0, 20305, 0x7F000001, os.getuid(), 1 << 18) + b"fake"
    send(frame(1, 0, 0, hello))
    send(b"".join(frame(2, 1, ch, b"") + frame(3, 1, ch, b"Dsparse")
                  for ch in range(1, FLOOD_CHECKS + 1)))
    time.sleep(1)
    mark("c")
    time.sleep(hold)
    send(b"".join(frame(8, 1, ch, b"") for ch in range(1, FLOOD_CHECKS + 1)))
    base = FLOOD_CHECKS + 1
    for first in range(base, base + FLOOD_OPENS, 10000):
        send(b"".join(frame(2, 1, ch, b"") for ch in range(first, first + 10000)))
    time.sleep(1)
    mark("d")
    time.sleep(hold)
    send(frame(12, 0, 0, b""))
    os._exit(0)


def main():
    mode = sys.argv[1]
    if mode == "attack":
        return attack(sys.argv[2], int(sys.argv[3]), int(sys.argv[4]))
    if mode == "udp":
        return udp(sys.argv[2], int(sys.argv[3]))
    if mode == "far":
        return far(int(sys.argv[2]))
    if mode == "far-hog":
        return far_hog(int(sys.argv[2]))
    if mode == "far-flood":
        return far_flood()
    if mode == "ask":
        r = req(connect(sys.argv[2]), b"?", ord("F"), b"-9")
        return 0 if r and r[2:3] == b"d" else 1
    print("unknown mode " + mode, file=sys.stderr)
    return 2


if __name__ == "__main__":
    sys.exit(main())
