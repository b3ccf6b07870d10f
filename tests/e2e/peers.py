"""Small real peers for the end-to-end scripts: echo servers and a blaster.

    peers.py echo-tcp PORTFILE        echo every connection, half-close after EOF
    peers.py echo-unix PATH           the same on a Unix-domain socket
    peers.py blast-tcp PORTFILE N     send N bytes to every connection, then close
Each writes its port to PORTFILE (or creates PATH) once it listens, and ends
after 120 s at the latest so that a broken test cannot leave it behind.
"""
import os
import socket
import sys
import threading
import time

LIFETIME_S = 120


def serve_stream(listener, handler):
    listener.listen(64)
    while True:
        conn, _ = listener.accept()
        threading.Thread(target=handler, args=(conn,), daemon=True).start()


def echo(conn):
    try:
        while True:
            data = conn.recv(65536)
            if not data:
                break
            conn.sendall(data)
        conn.shutdown(socket.SHUT_WR)
    except OSError:
        pass
    finally:
        conn.close()


def blaster(total):
    def run(conn):
        chunk = bytes(range(256)) * 256
        left = total
        try:
            while left > 0:
                n = min(left, len(chunk))
                conn.sendall(chunk[:n])
                left -= n
        except OSError:
            pass
        finally:
            conn.close()
    return run


def write_port(path, port):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write(str(port))
    os.rename(tmp, path)


def main():
    threading.Timer(LIFETIME_S, lambda: os._exit(0)).start()
    kind = sys.argv[1]
    if kind in ("echo-tcp", "blast-tcp"):
        s = socket.socket()
        s.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        s.bind(("127.0.0.1", 0))
        write_port(sys.argv[2], s.getsockname()[1])
        handler = echo if kind == "echo-tcp" else blaster(int(sys.argv[3]))
        serve_stream(s, handler)
    elif kind == "echo-unix":
        s = socket.socket(socket.AF_UNIX)
        s.bind(sys.argv[2])
        serve_stream(s, echo)
    else:
        sys.exit("unknown peer " + kind)


if __name__ == "__main__":
    main()
