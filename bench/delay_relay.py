"""Runs a command with its standard input and output delayed, to emulate a
long link in user space (this machine has no netem):

    delay_relay.py MS COMMAND...

Every byte crossing either way waits MS milliseconds, so a link through it
has a round trip of 2 * MS.  Used as veskd's exec: link by bench/link.sh.
"""
import os
import subprocess
import sys
import threading
import time
from collections import deque

CHUNK = 65536


def pump(src, dst, delay):
    queue = deque()
    cond = threading.Condition()
    done = []

    def reader():
        while True:
            data = os.read(src, CHUNK)
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


def main():
    delay = float(sys.argv[1]) / 1000.0
    child = subprocess.Popen(sys.argv[2:], stdin=subprocess.PIPE, stdout=subprocess.PIPE)
    up = threading.Thread(target=pump, args=(0, child.stdin.fileno(), delay), daemon=True)
    down = threading.Thread(target=pump, args=(child.stdout.fileno(), 1, delay), daemon=True)
    up.start()
    down.start()
    down.join()
    child.wait()


if __name__ == "__main__":
    main()
