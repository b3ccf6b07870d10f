"""Runs a command with its standard input and output delayed, to emulate a
long link in user space (this machine has no netem):

    delay_relay.py [--rate BYTES_PER_S] MS COMMAND...

Every byte crossing either way waits MS milliseconds, so a link through it
has a round trip of 2 * MS; with --rate each direction also passes at most
BYTES_PER_S.  Used as veskd's exec: link by bench/link.sh and by the
end-to-end test of a slow, bloated link.
"""
import os
import subprocess
import sys
import threading
import time
from collections import deque

CHUNK = 65536
RATE_CHUNK = 16384  # bytes per read when rate-limited, so that bursts stay short


def pump(src, dst, delay, rate):
    queue = deque()
    cond = threading.Condition()

    def reader():
        while True:
            data = os.read(src, RATE_CHUNK if rate else CHUNK)
            with cond:
                queue.append((time.monotonic() + delay, data))
                cond.notify()
            if not data:
                return

    threading.Thread(target=reader, daemon=True).start()
    while True:
        with cond:
            while not queue:
                cond.wait()
            due, data = queue.popleft()
        wait = due - time.monotonic()
        if wait > 0:
            time.sleep(wait)
        if not data:
            os.close(dst)
            return
        view = memoryview(data)
        while view:
            n = os.write(dst, view)
            view = view[n:]
        if rate:
            time.sleep(len(data) / rate)


def main():
    args = sys.argv[1:]
    rate = 0
    if args[0] == "--rate":
        rate = int(args[1])
        args = args[2:]
    delay = float(args[0]) / 1000.0
    child = subprocess.Popen(args[1:], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    up = threading.Thread(target=pump, args=(0, child.stdin.fileno(), delay, rate), daemon=True)
    down = threading.Thread(target=pump, args=(child.stdout.fileno(), 1, delay, rate), daemon=True)
    up.start()
    down.start()
    down.join()
    child.wait()


if __name__ == "__main__":
    main()
