#!/usr/bin/env bash
# upload and download against link servers that report older versions: no
# checksum probes below 20164, name-only opens with a seek below 20057 (and
# no download at all), the old dump and priority codes below 20000.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

for v in 20163 20056 19999; do
    start_pair --protocol-version "$v"
    f=u$v
    head -c 70000 /dev/urandom >"$W/$f"
    chmod 640 "$W/$f"
    up "$f"
    expect_eq "$v: fresh upload" $'sending '"$f"$'\nOK' "$ERR"
    expect_eq "$v: fresh upload status" 0 "$RC"
    check "$v: fresh upload identical" cmp -s "$W/$f" "$FAR/$f"
    # 'O' needs a server above 20054; older ones leave the copy at 0400.
    want=640
    [ "$v" -le 20054 ] && want=400
    expect_eq "$v: fresh upload mode" "$want" "$(mode_of "$FAR/$f")"

    # Resume from a partial remote copy.
    head -c 30000 "$W/$f" >"$FAR/$f"
    chmod 400 "$FAR/$f"
    up "$f"
    expect_eq "$v: resumed upload" $'sending '"$f"$'\n\tAttempting to restart upload from 30000\nOK' "$ERR"
    check "$v: resumed upload identical" cmp -s "$W/$f" "$FAR/$f"

    # -f on a server without the checksum probe: overwritten unread.
    up -f "$f"
    expect_eq "$v: forced upload" $'sending '"$f"$'\n\tWarning, overwriting file on remote host\nOK' "$ERR"
    check "$v: forced upload identical" cmp -s "$W/$f" "$FAR/$f"

    g=d$v
    head -c 70000 /dev/urandom >"$FAR/$g"
    chmod 604 "$FAR/$g"
    down "$g"
    if [ "$v" -le 20057 ]; then
        expect_eq "$v: download needs a newer server" \
            $'receiving '"$g"$'\n\tSkipped : Couldn\'t open remote file, Unsupported vesk option' "$ERR"
        expect_eq "$v: refused download status" 1 "$RC"
        expect_eq "$v: refused download leaves a partial local copy (its source's read bits)" 404 "$(mode_of "$W/$g")"
    else
        expect_eq "$v: fresh download (no checksum line)" $'receiving '"$g" "$ERR"
        check "$v: fresh download identical" cmp -s "$FAR/$g" "$W/$g"
        expect_eq "$v: fresh download mode" 604 "$(mode_of "$W/$g")"
        chmod 444 "$W/$g"
        down "$g"
        expect_eq "$v: same size, no checksum" \
            $'receiving '"$g"$'\n\tLocal file is same size as remote, skipping' "$ERR"
        expect_eq "$v: same size status" 1 "$RC"
        head -c 20000 "$FAR/$g" >"$W/$g"
        chmod 444 "$W/$g"
        touch -d '+1 hour' "$W/$g"
        down "$g"
        expect_eq "$v: resumed download" \
            $'receiving '"$g"$'\n\tAttempting to restart download from 20000' "$ERR"
        check "$v: resumed download identical" cmp -s "$FAR/$g" "$W/$g"
        down -f "$g"
        expect_eq "$v: forced download replaces silently" $'receiving '"$g" "$ERR"
        check "$v: forced download identical" cmp -s "$FAR/$g" "$W/$g"
    fi
    stop_pair
done

finish
