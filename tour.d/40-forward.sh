#!/usr/bin/env bash
# portlink: a local port that leads through the link to a small web service
# on the far machine (here both ends are this machine, so it runs on 127.0.0.1).
set -u
trap 'kill ${WEB_PID:-} ${PL_PID:-} 2>/dev/null; wait 2>/dev/null' EXIT
port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'; }
up() { for _ in $(seq 100); do ss -Hltn "sport = :$1" | grep -q . && return 0; sleep 0.1; done; return 1; }

echo "== portlink: local port to a web service on the far side, fetched with curl"
echo "hello from the far side of the link" >"$WORK/hello.txt"
WEB=$(port)
LOCAL=$(port)
(cd "$FAR" && exec python3 -m http.server "$WEB" --bind 127.0.0.1 --directory "$WORK") \
    >/dev/null 2>&1 &
WEB_PID=$!
up "$WEB" || { echo "(the web service did not start)"; exit 0; }
echo "\$ portlink $LOCAL 127.0.0.1:$WEB &"
portlink "$LOCAL" "127.0.0.1:$WEB" 2>"$WORK/portlink.err" &
PL_PID=$!
up "$LOCAL"
cat "$WORK/portlink.err"
echo "\$ curl http://127.0.0.1:$LOCAL/hello.txt"
curl -s -m 10 "http://127.0.0.1:$LOCAL/hello.txt"
echo "status $?"
