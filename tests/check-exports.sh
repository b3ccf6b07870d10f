#!/usr/bin/env bash
# The library exports exactly the names of its public header, nothing else.
set -euo pipefail
lib=${1:?usage: check-exports.sh libvesknet.so}
expected="add_to_buffer bind_tcp_listen build_arg client_options com_result command_result
connect_server connect_unix do_connect do_select_loop eaccess file_crc get_from_buffer
get_vesk_localaddr get_vesk_path lcompression priority rcompression read_into_buff remote_vesk_version
savedeid send_command set_block set_nonblock set_share_mode share sockaddr_to_str
socket_connect_server use_vesk_command verbose vesk_close vesk_connect vesk_debug vesk_gethostbyname
vesk_bind_address vesk_getopt vesk_herror vesk_localaddr vesk_localhost vesk_optarg vesk_opterr vesk_optind vesk_optopt
vesk_perror vesk_putenv vesk_remoteaddr vesk_remotehost vesk_remoteuser vesk_server vesk_socket
vesk_strherror veskerrno write_from_buff write_from_buff_async"
actual=$(nm -D --defined-only "$lib" | awk '$2 ~ /^[TDBRVW]$/ {print $3}' | grep -v '^_' | sort -u)
want=$(printf '%s\n' $expected | sort -u)
if [ "$actual" != "$want" ]; then
    echo "exported names differ (< expected, > actual):"
    diff <(echo "$want") <(echo "$actual") || true
    exit 1
fi
echo "exports OK ($(echo "$want" | wc -l) names)"
