#!/usr/bin/env bash
# The one list of Debian packages that vesk needs, by group, and the step that
# installs the missing ones.  tour.sh, tests/run.sh, .ci/run and the bench
# scripts call it with the groups they use:
#
#   bash scripts/deps.sh GROUP...      install what the groups need and is missing
#   bash scripts/deps.sh --list GROUP...   print the groups' packages, one a line
#
# Groups: build (compile and install), tour (what tour.sh runs), test (unit and
# end-to-end tests), fuzz (libFuzzer harnesses), lint (formatting, comments
# and clang-tidy), dist (manual pages, the package and the service unit
# checked), bench (the benchmarks).
#
# Missing packages are installed with apt-get as root, through sudo otherwise.
# VESK_NO_INSTALL=1 only names what is missing.  Exit status 0 when everything
# is there, 1 when something is missing and could not be installed, 2 on a
# usage error.
set -euo pipefail

packages_of() {
    case $1 in
        build) echo cmake make gcc g++ pkg-config libssl-dev libzstd-dev ;;
        tour) echo python3 curl iproute2 procps netbase ;;
        test) echo libgtest-dev libgmock-dev python3 socat curl dnsutils dnsmasq-base xvfb xauth \
            x11-utils binutils procps iproute2 netbase ;;
        fuzz) echo clang libclang-rt-14-dev ;;
        lint) echo clang-format clang-tidy python3 ;;
        dist) echo man-db groff-base dpkg-dev file systemd bash-completion binutils ;;
        bench) echo iperf3 rsync openssh-client openssh-server gnuplot-nox linux-perf strace \
            socat python3 time procps iproute2 lrzsz xvfb xauth x11-utils ;;
        *) return 1 ;;
    esac
}

usage() {
    echo "usage: bash scripts/deps.sh [--list] GROUP... (build tour test fuzz lint dist bench)" >&2
    exit 2
}

list=0
if [ "${1:-}" = "--list" ]; then
    list=1
    shift
fi
[ $# -gt 0 ] || usage
wanted=()
for group in "$@"; do
    names=$(packages_of "$group") || usage
    for p in $names; do
        case " ${wanted[*]:-} " in *" $p "*) ;; *) wanted+=("$p") ;; esac
    done
done
if [ $list = 1 ]; then
    printf '%s\n' "${wanted[@]}"
    exit 0
fi

if ! command -v dpkg-query >/dev/null; then
    echo "vesk: not a Debian system; make sure these (Debian names) are installed: ${wanted[*]}" >&2
    exit 0
fi
missing=()
for p in "${wanted[@]}"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
[ ${#missing[@]} -eq 0 ] && exit 0

explain() {
    echo "vesk needs these Debian packages, which are not installed: ${missing[*]}" >&2
    echo "install them as root with: apt-get install ${missing[*]}" >&2
    exit 1
}
[ "${VESK_NO_INSTALL:-0}" = 1 ] && explain
if [ "$(id -u)" -eq 0 ]; then
    as_root=()
elif command -v sudo >/dev/null; then
    as_root=(sudo)
else
    echo "vesk: not root and no sudo, so nothing can be installed" >&2
    explain
fi
echo "vesk: installing ${missing[*]}" >&2
log=$(mktemp)
trap 'rm -f "$log"' EXIT
# A fresh machine has no package lists yet; a failed update may still leave
# usable old ones, so the install decides.
"${as_root[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq >"$log" 2>&1 || true
if ! "${as_root[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >>"$log" 2>&1; then
    cat "$log" >&2
    echo "vesk: apt-get could not install them" >&2
    explain
fi
echo "vesk: installed them" >&2
