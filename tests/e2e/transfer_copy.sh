#!/usr/bin/env bash
# upload and download through a real local pair: fresh copies both ways at the
# sizes around the piece, read-ahead and wait boundaries, second runs with
# and without -f, standard input and output, -u, renaming and directories.
source "$(dirname "${BASH_SOURCE[0]}")/lib.sh"

start_pair

# --- fresh copies, both ways ------------------------------------------------
for n in 0 1 508 509 510 4095 4096 4097 65535 65536 65537 5242883; do
    for c in "upload f$n $W $FAR 640 sending" "download g$n $FAR $W 604 receiving"; do
        read -r verb f src dst mode word <<<"$c"
        head -c "$n" /dev/urandom >"$src/$f"
        chmod "$mode" "$src/$f"
        if [ "$verb" = upload ]; then up "$f"; else down "$f"; fi
        expect_eq "$verb $n: output" "$word $f"$'\nCRC OK' "$ERR"
        expect_eq "$verb $n: status" 0 "$RC"
        check "$verb $n: identical" cmp -s "$src/$f" "$dst/$f"
        expect_eq "$verb $n: final mode" "$mode" "$(mode_of "$dst/$f")"
    done
done
expect_eq "download keeps the modification time" "$(stat -c %Y "$FAR/g4096")" "$(stat -c %Y "$W/g4096")"

# --- a second run on a finished file -----------------------------------------
up f4096
expect_eq "second upload skipped" $'sending f4096\n\tSkipping, remote file has write/execute permission' "$ERR"
expect_eq "second upload status" 1 "$RC"
down g4096
expect_eq "second download skipped" $'receiving g4096\n\tSkipping, local file has write/exec permission' "$ERR"
expect_eq "second download status" 1 "$RC"

# A read-only source reaches the same-size test and is finished in place.
chmod 444 "$W/f509"
chmod 400 "$FAR/f509"
up f509
expect_eq "same-size finished upload" $'sending f509\n\tRemote file is same size as local, checksums do match, setting file mode' "$ERR"
expect_eq "same-size finished upload status" 0 "$RC"
# 'O' has no reply: upload is done once it is sent, and the far end sets the
# mode a moment later (after syncing the file).
wait_for "the far mode" 10 bash -c "[ \"\$(stat -c %a '$FAR/f509')\" = 444 ]"
expect_eq "same-size upload sets the mode" 444 "$(mode_of "$FAR/f509")"
chmod 444 "$W/g509"
down g509
expect_eq "same-size finished download" $'receiving g509\n\tLocal file is same size as remote, checksums do match, setting mode' "$ERR"
expect_eq "same-size finished download status" 1 "$RC"
expect_eq "same-size download sets the mode" 604 "$(mode_of "$W/g509")"

# -f replaces a finished copy.
head -c 7000 /dev/urandom >"$W/f4096"
up -f f4096
expect_eq "forced upload" $'sending f4096\n\tWarning, overwriting file on remote host\nCRC OK' "$ERR"
check "forced upload identical" cmp -s "$W/f4096" "$FAR/f4096"
head -c 9000 /dev/urandom >"$FAR/g4096"
down -f g4096
expect_eq "forced download" $'receiving g4096\nCRC OK' "$ERR"
check "forced download identical" cmp -s "$FAR/g4096" "$W/g4096"
down -f g4096
expect_eq "forced download of an equal copy is silent" $'receiving g4096' "$ERR"
expect_eq "forced download of an equal copy status" 0 "$RC"

# --- standard input and output ------------------------------------------------
head -c 200000 /dev/urandom >"$T/stdin.bin"
ERR=$(cd "$W" && near upload - -as piped <"$T/stdin.bin" 2>&1 >/dev/null)
expect_eq "upload from stdin" $'sending - as piped\nCRC ' "$ERR"
check "stdin copy identical" cmp -s "$T/stdin.bin" "$FAR/piped"
ERR=$(cd "$W" && near upload - -as piped <"$T/stdin.bin" 2>&1 >/dev/null)
expect_eq "stdin cannot resume" $'sending - as piped\n\tCannot resume from stdin' "$ERR"
ERR=$(cd "$W" && near upload - -as p1 - -as p2 <"$T/stdin.bin" 2>&1 >/dev/null)
expect_eq "stdin only once" $'sending - as p1\nCRC \nsending - as p2\n\tSkipped : can only take input from stdin once' "$ERR"
ERR=$(cd "$W" && near download piped -as - 2>&1 >"$T/stdout.bin")
expect_eq "download to stdout" $'receiving piped as -' "$ERR"
check "stdout copy identical" cmp -s "$T/stdin.bin" "$T/stdout.bin"

# --- -u ------------------------------------------------------------------------
head -c 3000 /dev/urandom >"$W/gone"
cp "$W/gone" "$T/gone.orig"
up -u gone
expect_eq "upload -u" $'sending gone\nCRC OK\n\tSent file removed.' "$ERR"
check "upload -u removed the source" test ! -e "$W/gone"
check "upload -u copy identical" cmp -s "$T/gone.orig" "$FAR/gone"
down -u gone
expect_eq "download -u" $'receiving gone\nCRC OK\n\tSent file removed.' "$ERR"
check "download -u removed the remote file" test ! -e "$FAR/gone"
check "download -u copy identical" cmp -s "$T/gone.orig" "$W/gone"

# --- renaming, -l and directory arguments --------------------------------------
mkdir -p "$W/a/b" "$FAR/rd" "$W/ld"
head -c 1234 /dev/urandom >"$W/a/b/c"
up a/b/c
expect_eq "path cut" $'sending a/b/c as c\nCRC OK' "$ERR"
check "cut name" cmp -s "$W/a/b/c" "$FAR/c"
mkdir -p "$FAR/a/b"
up -l a/b/c
expect_eq "-l keeps the path" $'sending a/b/c\nCRC OK' "$ERR"
check "-l name" cmp -s "$W/a/b/c" "$FAR/a/b/c"
up a/b/c rd
expect_eq "remote directory" $'sending a/b/c as rd/c\nCRC OK' "$ERR"
check "remote directory name" cmp -s "$W/a/b/c" "$FAR/rd/c"
up a/b/c -as x rd/
expect_eq "rename into a directory" $'sending a/b/c as rd/x\nCRC OK' "$ERR"
check "renamed into the directory" cmp -s "$W/a/b/c" "$FAR/rd/x"
up rd
expect_eq "only a directory: nothing to do" "" "$ERR"
expect_eq "only a directory: status" 0 "$RC"
down rd/x ld
expect_eq "local directory" $'receiving rd/x as ld/x\nCRC OK' "$ERR"
check "local directory copy" cmp -s "$W/a/b/c" "$W/ld/x"
down rd/c -as y
expect_eq "download rename" $'receiving rd/c as y\nCRC OK' "$ERR"
check "download renamed" cmp -s "$W/a/b/c" "$W/y"
down ld
expect_eq "only a local directory: nothing to do" "" "$ERR"

# --- verbosity: summary and totals lines ----------------------------------------
head -c 100 /dev/urandom >"$W/v1"
head -c 200 /dev/urandom >"$W/v2"
ERR=$(cd "$W" && near upload -v v1 v2 2>&1 >/dev/null)
check "summary lines" grep -q 'bytes sent in' <<<"$ERR"
check "totals line" grep -q 'total bytes sent in' <<<"$ERR"
ERR=$(cd "$W" && near download -vv g65536 -as progress 2>&1 >/dev/null)
check "progress line" grep -q 'of 65536 (100%)' <<<"$ERR"
check "one file: no totals line" bash -c "! grep -q 'total bytes' <<<\"\$1\"" _ "$ERR"
ERR=$(cd "$W" && near upload -q f1 2>&1 >/dev/null)
expect_eq "quiet" $'\tSkipping, remote file has write/execute permission' "$ERR"

# --- several files in flight ----------------------------------------------------
# -j 3: each file's lines in file order, as one after another would print them.
mkdir -p "$FAR/jd" "$W/jb"
for i in 1 2 3 4 5; do head -c $((i * 7000)) /dev/urandom >"$W/j$i"; done
up -j 3 j1 j2 nosuch j3 j4 j5 jd
want=$'sending j1 as jd/j1\nCRC OK\nsending j2 as jd/j2\nCRC OK\nsending nosuch as jd/nosuch\n\tSkipped : can\'t open local file'
for i in 3 4 5; do want+=$'\nsending j'$i' as jd/j'$i$'\nCRC OK'; done
expect_eq "-j upload: output" "$want" "$ERR"
expect_eq "-j upload: status" 1 "$RC"
down -j 3 jd/j1 jd/j2 jd/nosuch jd/j3 jd/j4 jd/j5 jb
want=$'receiving jd/j1 as jb/j1\nCRC OK\nreceiving jd/j2 as jb/j2\nCRC OK\nreceiving jd/nosuch as jb/nosuch\n\tSkipped : can\'t open remote file'
for i in 3 4 5; do want+=$'\nreceiving jd/j'$i' as jb/j'$i$'\nCRC OK'; done
expect_eq "-j download: output" "$want" "$ERR"
for i in 1 2 3 4 5; do check "-j copy $i" cmp -s "$W/j$i" "$W/jb/j$i"; done
# Standard input runs alone, while the worker that asks still finishes a file.
mkdir -p "$FAR/je"
up -j 2 j1 - j2 je <"$W/j3"
expect_eq "-j upload with standard input: status" 0 "$RC"
check "-j upload from standard input" cmp -s "$W/j3" "$FAR/je/-"
check "-j upload after standard input" cmp -s "$W/j2" "$FAR/je/j2"

# --- directory trees (-R) ----------------------------------------------------------
# Links are copied as links, the one leading out of the tree never followed;
# an empty directory and the directories' modes and times come along; an
# unreadable file fails alone (root reads it anyway).
mkdir -p "$W/t/sub/deep" "$W/t/empty"
echo hello >"$W/t/a"
head -c 5000 /dev/urandom >"$W/t/sub/b"
ln -s ../../secret "$W/t/out"
ln -s a "$W/t/in"
echo secret >"$W/secret"
echo hidden >"$W/t/unread"
chmod 000 "$W/t/unread"
chmod 750 "$W/t/sub"
touch -d 2020-01-01 "$W/t/sub"
want=$'sending t\nsending t/a\nCRC OK\nsending t/sub/b\nCRC OK\nsending t/unread'
if [ "$(id -u)" = 0 ]; then want+=$'\nCRC OK'; else want+=$'\n\tSkipped : can\'t open local file'; fi
up -R t
expect_eq "tree upload: output" "$want" "$ERR"
check "tree upload: same tree" diff -r --no-dereference -x unread "$W/t" "$FAR/t"
expect_eq "tree upload: link kept" ../../secret "$(readlink "$FAR/t/out")"
check "tree upload: nothing from outside" test ! -e "$FAR/secret"
expect_eq "tree upload: directory mode and time" "750 1577836800" "$(stat -c '%a %Y' "$FAR/t/sub")"
down -R t -as t2
expect_eq "tree download: output" "${want//sending t/receiving t}" "$(sed 's/ as t2[^ ]*//' <<<"$ERR")"
check "tree download: same tree" diff -r --no-dereference -x unread "$W/t" "$W/t2"
expect_eq "tree download: directory mode and time" "750 1577836800" "$(stat -c '%a %Y' "$W/t2/sub")"
check "tree download: empty directory" test -d "$W/t2/empty"
up -R t nosuchdir
expect_eq "two trees: the second missing" 1 "$RC"
# A far name that is no directory (ENOTDIR) or none at all (ENOENT) is no
# tree: the file's own work copies it or says why not.
head -c 3000 /dev/urandom >"$FAR/plainR"
down -R plainR -as gotR
expect_eq "-R on a far file" $'receiving plainR as gotR\nCRC OK' "$ERR"
check "-R on a far file: identical" cmp -s "$FAR/plainR" "$W/gotR"
down -R nosuchR
expect_eq "-R on a missing far name" $'receiving nosuchR\n\tSkipped : can\'t open remote file' "$ERR"

# Times come out exact (nanoseconds, links' own too); a re-run finds the
# tree up to date and says nothing past the tree's line; -as names the same
# tree again, never a directory to copy into.
times_of() { (cd "$1" && find . -path ./unread -prune -o -printf '%P %y %T@\n' | sort); }
expect_eq "tree times exact (upload)" "$(times_of "$W/t")" "$(times_of "$FAR/t")"
expect_eq "tree times exact (download)" "$(times_of "$W/t")" "$(times_of "$W/t2")"
up -R t
want=sending\ t
[ "$(id -u)" = 0 ] || want+=$'\nsending t/unread\n\tSkipped : can\'t open local file'
expect_eq "tree re-run: up to date, silent" "$want" "$ERR"
down -R t -as t2
expect_eq "tree re-run with -as: status" 0 "$RC"
check "tree re-run with -as: no tree inside the tree" test ! -e "$W/t2/t"
# A changed file: reported and left without -U, replaced with it.
echo changed >"$W/t/a"
up -R t
check "changed file without -U: refused" grep -q 'write/execute permission' <<<"$ERR"
expect_eq "changed file without -U: status" 1 "$RC"
up -R -U t
expect_eq "changed file with -U: status" 0 "$RC"
check "changed file with -U: replaced" cmp -s "$W/t/a" "$FAR/t/a"
# A read-only directory the copy holds does not block the re-run (the
# source's mode comes back at the end).
chmod 555 "$FAR/t/sub"
head -c 5000 /dev/urandom >"$W/t/sub/b"
up -R -U t
check "read-only far directory: re-run updates it" cmp -s "$W/t/sub/b" "$FAR/t/sub/b"
expect_eq "read-only far directory: its mode again" 750 "$(mode_of "$FAR/t/sub")"
# -U interrupted at any moment leaves the old copy or the new one, whole.
head -c 30000000 /dev/urandom >"$W/t/big"
up -R t
old=$(sha256sum <"$FAR/t/big")
head -c 30000000 /dev/urandom >"$W/t/big"
(cd "$W" && HOME=$NEAR timeout 20 upload -R -U t 2>/dev/null) &
sleep 0.3
kill $! 2>/dev/null
wait $! 2>/dev/null
now=$(sha256sum <"$FAR/t/big")
check "-U interrupted: the copy stays whole" test "$now" = "$old" -o "$now" = "$(sha256sum <"$W/t/big")"
up -R -U t
check "-U re-run completes" cmp -s "$W/t/big" "$FAR/t/big"
rm -f "$W/t/big"
# Links an earlier copy made are never written through, either way.
echo victim >"$W/victim"
chmod 444 "$W/victim"
ln -s ../../victim "$FAR/t/trap"
mkdir -p "$W/t3"
down -R t -as t3
rm "$FAR/t/trap"
echo far >"$FAR/t/trap"
down -R -f t -as t3
expect_eq "download over an old link: the victim untouched" victim "$(cat "$W/victim")"
check "download over an old link: a file now" test -f "$W/t3/trap" -a ! -L "$W/t3/trap"
ln -s ../../made "$W/t/snare"
up -R t
rm "$W/t/snare"
echo near >"$W/t/snare"
up -R t
check "upload over an old far link: nothing made outside" test ! -e "$FAR/../made" -a ! -e "$T/made"
check "upload over an old far link: a file now" cmp -s "$W/t/snare" "$FAR/t/snare"
rm -f "$W/t/snare"
# A name with a newline cannot cross in a request: refused by name, escaped.
touch "$W/t/"$'new\nline'
up -R t
check "newline in a name: refused, escaped" grep -qF 'new\x0aline: the name cannot cross' <<<"$ERR"
check "newline in a name: nothing made for it" bash -c '! ls "$1" | grep -q "^new"' _ "$FAR/t"
rm -f "$W/t/"$'new\nline'
# "." is the directory itself: its mode stays; one target twice is refused.
mkdir -p "$W/dot"
chmod 751 "$W/dot"
ERR=$(cd "$W/dot" && near download -R t -as . 2>&1 >/dev/null)
expect_eq "\".\" keeps its mode" 751 "$(mode_of "$W/dot")"
check "\".\" gets the tree" cmp -s "$W/t/a" "$W/dot/a"
up -j 4 -R t -as tt t -as tt
check "one target twice: refused" grep -q 'also the target of an earlier' <<<"$ERR"
expect_eq "one target twice: status" 1 "$RC"

# --- problems of the run itself ---------------------------------------------------
ERR=$(cd "$W" && near upload 2>&1)
expect_eq "usage" 'Usage: upload [-f] [-q] [-u] [-v] [-r] [-c] [-p <num>] <file> [... <file>] [remote dir]' "$ERR"
up nosuch
expect_eq "missing source" $'sending nosuch\n\tSkipped : can\'t open local file' "$ERR"
down nosuch
expect_eq "missing remote" $'receiving nosuch\n\tSkipped : can\'t open remote file' "$ERR"
down rd -as z
expect_eq "remote directory is not a file" $'receiving rd as z\n\tSkipped : rd is not a regular file' "$ERR"
up ld
expect_eq "source directory" $'sending ld\n\tSkipping directory.' "$ERR"
expect_eq "source directory status" 0 "$RC"
ERR=$(cd "$W" && HOME=$T/nowhere timeout 20 upload f1 2>&1)
RC=$?
check "no server" grep -q '^Vesk: ' <<<"$ERR"
expect_eq "no server status" 1 "$RC"

# --- trees refused: by --root, and by a far veskd that predates them -----------------
stop_pair
mkdir -p "$FAR/jail"
start_pair -- --root "$FAR/jail"
up -R t -as ../out
expect_eq "tree out of the root" $'sending t as ../out\n\tSkipped : can\'t make remote directory ../out: Outside the directory this veskd serves' "$ERR"
down -R ../t -as t3
expect_eq "listing out of the root" $'receiving ../t as t3\n\tSkipped : can\'t list remote directory ../t: Outside the directory this veskd serves' "$ERR"
stop_pair
start_pair --protocol-version 20305
up -R t -as old
expect_eq "older far end: upload" $'sending t as old\n\tSkipped : t: the far veskd copies no directory trees (Unsupported vesk option)' "$ERR"
expect_eq "older far end: status" 1 "$RC"
down -R t -as old
expect_eq "older far end: download" $'receiving t as old\n\tSkipped : t: the far veskd copies no directory trees (Unsupported vesk option)' "$ERR"

finish
