#!/bin/sh
# RETR of a large file from vsftpd on 127.0.0.1 into a file: tarvolin-cli against
# curl in the same run, each under /usr/bin/time -v (wall, CPU, peak memory).
#
# usage: bench/ftp_retr.sh [TARVOLIN_CLI] [SIZE_MIB]
#   TARVOLIN_CLI defaults to build-ftp-rel/cli/tarvolin-cli (an optimised build without
#   sanitizers: cmake -B build-ftp-rel -DCMAKE_BUILD_TYPE=Release -DTQ_TESTS=OFF).
# Needs root (vsftpd drops to the ftp user), vsftpd, curl and GNU time.
set -eu

here=$(cd "$(dirname "$0")/.." && pwd)
cli=${1:-$here/build-ftp-rel/cli/tarvolin-cli}
mib=${2:-1024}
for tool in /usr/sbin/vsftpd /usr/bin/time curl "$cli"; do
    command -v "$tool" >/dev/null 2>&1 || { echo "missing: $tool" >&2; exit 2; }
done

work=$(mktemp -d)
pid=
cleanup() {
    [ -n "$pid" ] && kill "$pid" 2>/dev/null || true
    rm -rf "$work"
}
trap cleanup EXIT INT TERM

free_port() {
    python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1",0)); print(s.getsockname()[1])'
}
port=$(free_port)
pasv=$(free_port)
mkdir -p "$work/root/pub" "$work/empty"
chmod 755 "$work" "$work/root"
dd if=/dev/urandom of="$work/root/pub/big.bin" bs=1M count="$mib" status=none
chmod 644 "$work/root/pub/big.bin"
cat > "$work/vsftpd.conf" <<CONF
listen=YES
listen_ipv6=NO
listen_address=127.0.0.1
listen_port=$port
background=NO
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
secure_chroot_dir=$work/empty
anonymous_enable=YES
anon_root=$work/root
no_anon_password=YES
local_enable=NO
pasv_enable=YES
pasv_min_port=$pasv
pasv_max_port=$pasv
xferlog_enable=NO
syslog_enable=NO
vsftpd_log_file=$work/vsftpd.log
CONF
/usr/sbin/vsftpd "$work/vsftpd.conf" &
pid=$!
for _ in $(seq 50); do
    python3 -c "import socket; socket.create_connection(('127.0.0.1',$port)).close()" 2>/dev/null && break
    sleep 0.1
done

url="ftp://127.0.0.1:$port/pub/big.bin"
report() {  # label, time -v output
    wall=$(grep 'Elapsed (wall clock)' "$2" | awk '{print $NF}')
    user=$(grep 'User time' "$2" | awk '{print $NF}')
    sys=$(grep 'System time' "$2" | awk '{print $NF}')
    rss=$(grep 'Maximum resident' "$2" | awk '{print $NF}')
    echo "$1: wall $wall s, user $user s, sys $sys s, peak RSS $rss KiB"
}
run() {  # label, command...
    label=$1
    shift
    rm -f "$work/out.bin"
    sync
    /usr/bin/time -v "$@" 2> "$work/time.txt" >/dev/null || { cat "$work/time.txt" >&2; exit 1; }
    cmp -s "$work/out.bin" "$work/root/pub/big.bin" || { echo "$label: output differs" >&2; exit 1; }
    report "$label" "$work/time.txt"
}
echo "RETR of $mib MiB from vsftpd on loopback into a file (passive)"
run curl curl -s -o "$work/out.bin" "$url"
run tarvolin-cli "$cli" ftp get "$url" "$work/out.bin"
run curl curl -s -o "$work/out.bin" "$url"
run tarvolin-cli "$cli" ftp get "$url" "$work/out.bin"
