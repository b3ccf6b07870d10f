"""A man in the middle of a veskd TCP link, for the end-to-end scripts.

    link_relay.py relay PORTFILE TARGET_PORT CAPTURE [FLIP_AT]
        Listens on 127.0.0.1 (port written to PORTFILE), relays one connection
        to 127.0.0.1:TARGET_PORT and records what crosses: CAPTURE.up (from the
        connecting end) and CAPTURE.down.  With FLIP_AT, the byte at that
        offset of the up direction is flipped on its way.
    link_relay.py replay TARGET_PORT FILE
        Connects to 127.0.0.1:TARGET_PORT, sends FILE as it is and reads until
        the other end closes.

Ends after 120 s at the latest so that a broken test cannot leave it behind.
"""
import os
import socket
import sys
import threading

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


def main():
    threading.Timer(LIFETIME_S, lambda: os._exit(0)).start()
    kind = sys.argv[1]
    if kind == "relay":
        flip_at = int(sys.argv[5]) if len(sys.argv) > 5 else None
        relay(sys.argv[2], int(sys.argv[3]), sys.argv[4], flip_at)
    elif kind == "replay":
        replay(int(sys.argv[2]), sys.argv[3])
    else:
        sys.exit("unknown mode " + kind)
    os._exit(0)


if __name__ == "__main__":
    main()
