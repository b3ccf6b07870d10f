#!/usr/bin/env bash
# veskd end to end: who may use a server.  Shared sockets where the share
# modes put them, and the peer-credential check behind the file modes.
source "$(dirname "$0")/lib.sh"

# Shared by group: {home}/tmp/private{suffix}/socket, open to the group.
PAIR_SOCKET=$NEAR/tmp/privatex/socket start_pair -S 1 -t x
expect_eq "the shared directory is closed to others" 750 "$(stat -c %a "$NEAR/tmp/privatex")"
expect_eq "the shared socket is open to the group" 770 "$(stat -c %a "$NEAR/tmp/privatex/socket")"
check "a client in share mode 1 is served" \
    grep -q '^1 VERSION' <<<"$(near vesk_probe -S 1 -t x '?' F -10)"
stop_pair
check "the shared socket is removed on exit" test ! -e "$NEAR/tmp/privatex/socket"

# Shared by user.
PAIR_SOCKET=$NEAR/tmp/private/socket start_pair -S 2
expect_eq "mode 2 keeps the directory to the user" 700 "$(stat -c %a "$NEAR/tmp/private")"
check "a client in share mode 2 is served" \
    grep -q '^1 VERSION' <<<"$(near vesk_probe -S 2 '?' F -10)"
stop_pair

# The socket directory is never made where others may write (they could
# swap it for their own), unless the sticky bit stops them as in /tmp.
OPEN=$T/openhome
mkdir -p "$OPEN"
chmod 777 "$OPEN"
out=$(HOME=$OPEN timeout 10 veskd --link stdio </dev/null 2>&1)
expect_eq "a home open to all is refused" 1 "$?"
check "the refusal says why" grep -q "$OPEN (mode 0777) is writable by group or others" <<<"$out"
check "nothing is made in it" test ! -e "$OPEN/.vesk"
chmod 1777 "$OPEN"
out=$(HOME=$OPEN timeout 10 veskd --link stdio </dev/null 2>&1)
check "a sticky one is accepted" test -d "$OPEN/.vesk"

# A private server serves only its own user, even when the file modes
# would let another user reach the socket.
if [ "$(id -u)" = 0 ] && command -v setpriv >/dev/null; then
    start_pair
    # The client looks for a directory it may write to; open everything.
    chmod 755 "$T" "$NEAR"
    chmod 777 "$NEAR/.vesk"
    chmod 777 "$NEAR/.vesk/socket"
    out=$(HOME=$NEAR timeout 10 setpriv --reuid=65534 --regid=65534 --clear-groups \
        vesk_probe '?' F -10 2>&1)
    check "another user is refused by its credentials" grep -Eq "^connect (no result forthcoming|Write error)" <<<"$out"
    check "the refusal is logged" grep -q "refused a client of uid 65534" "$T/near.log"
    check "the owner is still served" grep -q '^1 VERSION' <<<"$(near vesk_probe '?' F -10)"
    stop_pair
    # Shared by group: a member through a supplementary group is served.
    PAIR_SOCKET=$NEAR/tmp/privatex/socket start_pair -S 1 -t x
    chmod 755 "$T" "$NEAR"
    out=$(HOME=$NEAR timeout 10 setpriv --reuid=65534 --regid=65534 --groups="$(id -g)" \
        vesk_probe -S 1 -t x '?' F -10 2>&1)
    check "a member by supplementary group is served" grep -q '^1 VERSION' <<<"$out"
    stop_pair
else
    echo "skipped: the credential check needs root and setpriv to act as another user"
fi
finish
