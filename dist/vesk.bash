# Bash completion for the vesk programs: the functions that complete their
# words.  The build appends a "complete" line per program of dist/programs,
# which names the function each uses; bash-completion loads the result under
# each program's name.

# Options every client shares: -t suffix, -c, -r, -p priority, -S mode, and
# the two that only tell about the program.
_vesk_common_opts="-t -c -r -p -S --help --version"

# Completes the argument of a common option in $prev; returns 1 when $prev
# takes none.
_vesk_common_arg() {
    case $prev in
        -t | -p | -j) return 0 ;; # free text: a suffix, a number
        -S)
            COMPREPLY=($(compgen -W "0 1 2 on off" -- "$cur"))
            return 0
            ;;
    esac
    return 1
}

# What the transfer programs and the forwarders do first: sets the caller's
# cur, prev, words and cword, completes a common option's argument and, for a
# word that begins with '-', the common options and those in $1.  Returns 0
# when that settled the word, 1 when the caller goes on.
_vesk_client_start() {
    _init_completion || return 0
    _vesk_common_arg && return 0
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "$_vesk_common_opts $1" -- "$cur"))
        return 0
    fi
    return 1
}

_vesk_transfer() {
    local cur prev words cword
    _vesk_client_start "-f -q -u -v -l -j -R -U -as" && return
    # upload sends local files; download names far files, so only the local
    # directory at the end and "-as" targets are local names.
    if [[ ${words[0]##*/} == download && $prev != -as && $prev != --as ]]; then
        _filedir -d
    else
        _filedir
    fi
}

_vesk_forward() {
    local cur prev words cword
    _vesk_client_start ""
    # Ports and [host:]port pairs, or a display name: nothing to offer.
}

_vesk_timesync() {
    local cur prev words cword
    _init_completion || return
    _vesk_common_arg && return
    [[ $prev == -d ]] && return # seconds, at least 10
    if [[ $cur == -* ]]; then
        local opts="$_vesk_common_opts -v"
        [[ ${words[0]} == *d ]] && opts+=" -d"
        COMPREPLY=($(compgen -W "$opts" -- "$cur"))
    fi
}

_vesk_regquery() {
    # One argument, name[@server]: nothing to offer.
    COMPREPLY=()
}

_vesk_veskd() {
    local cur prev words cword split
    # Link kinds hold colons, which bash splits words at: keep them whole.
    _init_completion -s -n : || return
    case $prev in
        -t | --protocol-version | --frame | --alive) return ;;
        -S)
            COMPREPLY=($(compgen -W "0 1 2" -- "$cur"))
            return
            ;;
        --key | --genkey | --x11-socket)
            _filedir
            return
            ;;
        --root)
            _filedir -d
            return
            ;;
        --link)
            case $cur in
                exec:*)
                    # The rest is a command line: offer commands for its first word.
                    local cmd=${cur#exec:}
                    [[ $cmd == *" "* ]] && return
                    COMPREPLY=($(compgen -P exec: -c -- "$cmd"))
                    ;;
                tcp:* | tcp-listen:*) ;;
                serial:*)
                    # The device's path; the speed and options after it are typed.
                    local dev=${cur#serial:}
                    [[ $dev =~ :[0-9]*(:[a-z,]*)?$ ]] && return
                    COMPREPLY=($(compgen -P serial: -f -- "${dev:-/dev/tty}"))
                    compopt -o nospace 2>/dev/null
                    ;;
                *)
                    COMPREPLY=($(compgen -W "stdio exec: tcp: tcp-listen: serial:" -- "$cur"))
                    [[ ${COMPREPLY[*]} == stdio ]] || compopt -o nospace 2>/dev/null
                    ;;
            esac
            __ltrim_colon_completions "$cur"
            return
            ;;
    esac
    $split && return
    if [[ $cur == -* ]]; then
        COMPREPLY=($(compgen -W "-t -S -v --link --key --genkey --x11-socket --frame
            --protocol-version --alive --reconnect --root --trust-line --status --json --version
            --help" -- "$cur"))
    fi
}
