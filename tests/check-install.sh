#!/usr/bin/env bash
# What an install delivers, checked from a built tree:
#   bash tests/check-install.sh [BUILD_DIR]     (default build/)
# the manual pages render without warnings; an install staged in a temporary
# prefix, then moved, still gives pkg-config and find_package(vesknet) users a
# program that compiles and runs; the systemd user unit verifies; bash
# completion answers; `cpack -G DEB` makes a package with the expected files
# and dependencies, its binaries stripped and their symbols in a file beside.  As root, and only when no vesk package is installed, the
# package is also installed with dpkg, tried and purged again.
set -uo pipefail
SRC=$(cd "$(dirname "$0")/.." && pwd)
BUILD=$(cd "${1:-$SRC/build}" && pwd)
T=$(mktemp -d "${TMPDIR:-/tmp}/vesk-install.XXXXXX")
INSTALLED_DEB=0
cleanup() {
    [ $INSTALLED_DEB = 1 ] && dpkg --purge vesk >/dev/null 2>&1
    rm -rf "$T"
}
trap cleanup EXIT
PASS=0
FAIL=0
check() { # check DESCRIPTION COMMAND...
    local what=$1
    shift
    if "$@" >"$T/out" 2>&1; then
        PASS=$((PASS + 1))
        echo "ok    $what"
    else
        FAIL=$((FAIL + 1))
        echo "FAIL  $what"
        sed 's/^/      /' "$T/out"
    fi
}
# silent COMMAND...: succeeds when COMMAND succeeds and prints nothing at all.
silent() {
    local out
    out=$("$@" 2>&1 >/dev/null) || return 1
    [ -z "$out" ] || { echo "$out"; return 1; }
}
VERSION=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$BUILD/CMakeCache.txt")
PROGRAMS=$(sed -n 's/^\([a-z][a-z0-9]*\).*/\1/p' "$SRC/dist/programs")

for page in "$SRC"/docs/man/*.[1-8]; do
    check "man page $(basename "$page") renders without warnings" silent man --warnings -l "$page"
done

STAGE=$T/stage
cmake --install "$BUILD" --prefix "$STAGE" >/dev/null || { echo "FAIL  cmake --install"; exit 1; }
LIBDIR=$(dirname "$(find "$STAGE" -name vesknet.pc)")/..
LIBDIR=$(cd "$LIBDIR" && pwd)
has_all() { # has_all ROOT PATH...: every PATH exists under ROOT
    local root=$1 p
    shift
    for p; do [ -e "$root/$p" ] || [ -L "$root/$p" ] || { echo "missing $p"; return 1; }; done
}
check "the install holds programs, library, header, pages, unit and completion" \
    has_all "$STAGE" $(printf 'bin/%s ' $PROGRAMS) include/vesknet.h \
    share/man/man1/upload.1.gz share/man/man1/timesyncd.1.gz share/man/man3/libvesknet.3.gz \
    share/man/man8/veskd.8.gz lib/systemd/user/veskd@.service \
    $(printf 'share/bash-completion/completions/%s ' $PROGRAMS)
check "libvesknet.so.1 is the soname, with its links" \
    bash -c "readelf -d '$LIBDIR/libvesknet.so.1' | grep -q 'SONAME.*libvesknet.so.1' &&
             [ -L '$LIBDIR/libvesknet.so' ]"

# The unit names veskd by its installed path, so it is verified where it lies.
mkdir -m 700 "$T/run"
check "veskd@.service verifies" silent env XDG_RUNTIME_DIR="$T/run" MANPATH="$STAGE/share/man" \
    systemd-analyze --user verify "$STAGE/lib/systemd/user/veskd@.service"
check "veskd --version prints one line with the project version" \
    bash -c "[ \"\$('$STAGE/bin/veskd' --version)\" = 'veskd $VERSION' ]"

# A small program against the moved install: checksum of the standard check
# string (0x29B1) and a resolver text.
MOVED=$T/moved
mv "$STAGE" "$MOVED"
LIBDIR=${LIBDIR/#$STAGE/$MOVED}
printf 123456789 >"$T/check.txt"
cat >"$T/user.c" <<'C'
#include <stdio.h>
#include <vesknet.h>
int main(int argc, char **argv) {
    printf("%04x %s\n", file_crc(argv[1], 0), vesk_strherror(1));
    return 0;
}
C
want="29b1 Host not found"
pc_build() {
    local flags
    flags=$(PKG_CONFIG_PATH="$LIBDIR/pkgconfig" pkg-config --cflags --libs vesknet) || return 1
    cc "$T/user.c" $flags -o "$T/user-pc" &&
        [ "$(LD_LIBRARY_PATH="$LIBDIR" "$T/user-pc" "$T/check.txt")" = "$want" ]
}
check "pkg-config from a moved install compiles and runs a program" pc_build
mkdir -p "$T/cmakeuser"
cp "$T/user.c" "$T/cmakeuser/"
cat >"$T/cmakeuser/CMakeLists.txt" <<CM
cmake_minimum_required(VERSION 3.25)
project(user C)
find_package(vesknet $VERSION REQUIRED)
add_executable(user user.c)
target_link_libraries(user PRIVATE vesknet::vesknet)
CM
cmake_build() {
    cmake -S "$T/cmakeuser" -B "$T/cmakeuser/build" -DCMAKE_PREFIX_PATH="$MOVED" &&
        cmake --build "$T/cmakeuser/build" &&
        [ "$("$T/cmakeuser/build/user" "$T/check.txt")" = "$want" ]
}
check "find_package(vesknet) from a moved install builds and runs a program" cmake_build

completes() { # completes WANT FUNC WORD...: the last word completes to WANT (among others)
    local want=$1 fn=$2
    shift 2
    bash -c 'source /usr/share/bash-completion/bash_completion && source "$1" && shift &&
        fn=$1 && shift && COMP_WORDS=("$@") && COMP_CWORD=$(($# - 1)) && COMP_LINE="$*" &&
        COMP_POINT=${#COMP_LINE} && "$fn" "$1" "${COMP_WORDS[COMP_CWORD]}" "${COMP_WORDS[COMP_CWORD-1]}" &&
        printf "%s\n" "${COMPREPLY[@]}"' _ "$MOVED/share/bash-completion/completions/vesk" \
        "$fn" "$@" | grep -qx -- "$want"
}
check "bash completion binds every program to its function" bash -c \
    'source "$1" && shift && for p; do complete -p "$p" >/dev/null || exit 1; done' _ \
    "$MOVED/share/bash-completion/completions/vesk" $PROGRAMS
check "bash completion: veskd link kinds, options; upload and timesyncd options" bash -c \
    "$(declare -f completes); MOVED='$MOVED'
     completes tcp-listen: _vesk_veskd veskd --link tc && completes serial: _vesk_veskd veskd --link se &&
     completes --genkey _vesk_veskd veskd --gen &&
     completes -as _vesk_transfer upload -a && completes -d _vesk_timesync timesyncd -"

# The package.
rm -f "$BUILD"/vesk_*.deb
(cd "$BUILD" && cpack -G DEB >"$T/cpack.log" 2>&1) || { cat "$T/cpack.log"; echo "FAIL  cpack"; exit 1; }
DEB=$(ls "$BUILD"/vesk_*.deb)
dpkg-deb -c "$DEB" | awk '{ print $6 }' | sed 's|^\./|/|' >"$T/deb.list"
deb_has() { # deb_has PATTERN...: each (an anchored regex) matches a path in the package
    local p
    for p; do grep -qx -- "$p" "$T/deb.list" || { echo "missing $p"; return 1; }; done
}
check "the .deb installs programs, library, header, .pc, pages, unit and completion under /usr" \
    deb_has $(printf '/usr/bin/%s ' $PROGRAMS) /usr/include/vesknet.h \
    '/usr/lib/.*libvesknet.so.1.0.0' '/usr/lib/.*libvesknet.so.1' '/usr/lib/.*pkgconfig/vesknet.pc' \
    /usr/share/man/man1/upload.1.gz /usr/share/man/man3/libvesknet.3.gz \
    /usr/share/man/man8/veskd.8.gz /usr/lib/systemd/user/veskd@.service \
    $(printf '/usr/share/bash-completion/completions/%s ' $PROGRAMS)
check "the .deb declares its library dependencies" \
    bash -c "dpkg-deb -f '$DEB' Depends | grep -q 'libssl3.*libzstd1\|libzstd1.*libssl3'"
# stripped: no debug section left in veskd; the symbols in the archive beside.
stripped() {
    mkdir -p "$T/unpacked" && dpkg-deb -x "$DEB" "$T/unpacked" &&
        [ "$(readelf -S "$T/unpacked/usr/bin/veskd" | grep -c '\.debug_info')" = 0 ] &&
        [ "$(tar tJf "$BUILD/vesk-debug_$VERSION.tar.xz" | grep -c '^usr/lib/debug/.build-id/.*\.debug$')" -gt 0 ]
}
check "the .deb's binaries are stripped, their debug symbols in a file beside it" stripped

try_deb() {
    dpkg -i "$DEB" >/dev/null || return 1
    INSTALLED_DEB=1
    [ "$(/usr/bin/veskd --version)" = "veskd $VERSION" ] && man -w upload >/dev/null &&
        [ "$(pkg-config --modversion vesknet)" = "$VERSION" ] &&
        [[ $(/usr/bin/upload 2>&1) == "Usage: upload "* ]]
}
if [ "$(id -u)" = 0 ] && ! dpkg-query -W vesk >/dev/null 2>&1; then
    check "dpkg -i of the .deb gives a working suite (purged afterwards)" try_deb
    dpkg --purge vesk >/dev/null 2>&1 && INSTALLED_DEB=0
fi

echo "install checks: $PASS passed, $FAIL failed"
[ $FAIL = 0 ]
