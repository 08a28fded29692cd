#!/usr/bin/env bash
# Times zov-kestra-get against curl (one connection), aria2c (-x4 -s4 -k1M) and
# axel (-n 4) on the same files served on loopback, and writes the medians, the
# ratios against curl and the body bytes each tool made the server send (against
# the file size) to bench/RESULTS.md. See bench/README.md.
#
#   bash bench/run.sh
#
# Environment:
#   BENCH_ROUNDS=5          rounds; each round runs every tool once per case, the
#                           order of the tools rotated from round to round
#   BENCH_BUILD_DIR=build   build folder (relative to the repository or absolute)
#   BENCH_SKIP_BUILD=1      use the executables already in the build folder
#   BENCH_BIG_MB=256        case 1 file size, MiB
#   BENCH_PACED_MB=64       case 2, 4 and 5 file size, MiB
#   BENCH_RATE=2097152      case 2 pace per connection and case 5 cap per data
#                           connection, bytes/s
#   BENCH_SMALL_PACK=10000  case 3 pack size of zov-kestra-get, bytes
#   BENCH_RESULTS=FILE      where the table goes (default bench/RESULTS.md)
#   BENCH_WAN=1             also run case 4: the case 2 file from nginx, unpaced, with
#   BENCH_WAN_CMD="..."     every round inside the latency emulator this command prefix
#                           starts (it runs a command in a network namespace of its own,
#                           whose loopback has the link's delay and bottleneck); with the
#                           https cases, case 4b too: the same over TLS
#   BENCH_CASES="nginx paced packs ftp vsftpd https"
#                           the cases run per round (default all six): nginx = 1,
#                           paced = 2, packs = 3, ftp = 5, vsftpd = 5b, https = 6
#                           and 7; e.g. BENCH_CASES=ftp
#
# Case 5 fetches the case 2 file as ftp://127.0.0.1:PORT/paced.bin from the tests'
# FTP server (tests/support/ftp_server.py, pyftpdlib under /usr/bin/python3), which
# caps each data connection at BENCH_RATE bytes/s and logs the bytes it sent on it.
# Case 5b fetches the same file from vsftpd (anon_max_rate BENCH_RATE), which
# paces each transfer as it goes where pyftpdlib sends bursts. It needs root
# (vsftpd locks an anonymous session into its folder); the program is taken out
# of Debian's package into the run's folder, never installed, since installing
# the package starts an FTP service for the whole machine.
#
# Cases 6 and 7 ("https") fetch over TLS from an nginx of their own: case 6 the
# case 1 file unlimited, case 7 the case 2 file with nginx's limit_rate of
# BENCH_RATE bytes/s per request (so per connection). Its certificate comes
# from an authority made for the run with the openssl command, for the address
# 127.0.0.1; every tool is told to trust it (curl --cacert, aria2c
# --ca-certificate, zov-kestra-get --ca-certificate). axel sits these cases out:
# it checks a certificate's DNS names only, never an IP address.
#
# Installs curl, aria2, axel, nginx-light, python3-pyftpdlib, cmake and ninja-build
# with apt-get when they are missing (as root). Everything it starts is stopped by its own PID, and
# its temporary folder is removed, when it exits.
set -euo pipefail
export LC_ALL=C

here=$(cd "$(dirname "${BASH_SOURCE[0]}")" && pwd)
root=$(dirname "$here")
rounds=${BENCH_ROUNDS:-5}
build=${BENCH_BUILD_DIR:-build}
[[ $build == /* ]] || build=$root/$build
results_md=${BENCH_RESULTS:-$here/RESULTS.md}
big_mb=${BENCH_BIG_MB:-256}
paced_mb=${BENCH_PACED_MB:-64}
rate=${BENCH_RATE:-2097152}
small_pack=${BENCH_SMALL_PACK:-10000}
cases=${BENCH_CASES:-nginx paced packs ftp vsftpd https}
nginx_bin=/usr/sbin/nginx
# Debian's pyftpdlib is installed for the system's python, not for whichever
# python3 comes first on PATH.
ftp_python=/usr/bin/python3

log() { echo "bench: $*" >&2; }
die() { log "$*"; exit 1; }
for n in "$rounds" "$big_mb" "$paced_mb" "$rate" "$small_pack"; do
    [[ $n =~ ^[1-9][0-9]*$ ]] || die "BENCH_ROUNDS, BENCH_BIG_MB, BENCH_PACED_MB, BENCH_RATE and BENCH_SMALL_PACK want whole numbers above 0"
done
for c in $cases; do
    [[ $c =~ ^(nginx|paced|packs|ftp|vsftpd|https)$ ]] \
        || die "BENCH_CASES: unknown case $c (nginx, paced, packs, ftp, vsftpd, https)"
done
[[ -n ${cases// /} ]] || die "BENCH_CASES names no case"
# wants CASE...: true when BENCH_CASES runs one of these cases.
wants() {
    local c w
    for c in $cases; do
        for w in "$@"; do [[ $c != "$w" ]] || return 0; done
    done
    return 1
}

# ---------------------------------------------------------------- servers

nginx_pid="" nginx_port=""

# True when nothing accepts connections on 127.0.0.1:$1.
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }

launched_pid="" launched_port=""

# on_free_port LAUNCH ARG...: a server on a random free loopback port, eight
# tries at most. `LAUNCH PORT ARG...` writes the server's configuration for PORT,
# starts it in the background and sets launched_pid. Sets launched_port once
# the port is taken while the server still runs, so that the port is really its
# own; false when no try came to that.
on_free_port() {
    local launch=$1 port i _
    shift
    for _ in 1 2 3 4 5 6 7 8; do
        port=$((20000 + RANDOM % 40000))
        port_free "$port" || continue
        "$launch" "$port" "$@"
        for ((i = 0; i < 100; i++)); do
            kill -0 "$launched_pid" 2>/dev/null || break
            if ! port_free "$port"; then
                kill -0 "$launched_pid" 2>/dev/null || break
                launched_port=$port
                return 0
            fi
            sleep 0.05
        done
        stop_pid "$launched_pid"
        launched_pid=""
    done
    return 1
}

# launch_nginx PORT WWW PREFIX CERT KEY: see start_nginx.
launch_nginx() {
    local port=$1 www=$2 prefix=$3 cert=$4 key=$5
    {
        echo "worker_processes 1;"
        # Workers would otherwise switch to nobody, who may not read the files.
        ((EUID == 0)) && echo "user root;"
        echo "pid $prefix/nginx.pid;"
        echo "error_log $prefix/error.log;"
        echo "events { worker_connections 1024; }"
        echo "http {"
        echo "    log_format bench '\$status \"\$request\" \$body_bytes_sent';"
        echo "    access_log $prefix/access.log bench;"
        for kind in client_body proxy fastcgi uwsgi scgi; do
            echo "    ${kind}_temp_path $prefix/temp/$kind;"
        done
        echo "    default_type application/octet-stream;"
        echo "    sendfile on;"
        echo "    tcp_nopush on;"
        echo "    keepalive_timeout 65;"
        echo "    keepalive_requests 100000;"
        echo "    server {"
        if [[ -n $cert ]]; then
            echo "        listen 127.0.0.1:$port ssl;"
            echo "        ssl_certificate $cert;"
            echo "        ssl_certificate_key $key;"
            echo "        location = /paced.bin { limit_rate $rate; }"
        else
            echo "        listen 127.0.0.1:$port;"
        fi
        echo "        root $www;"
        echo "    }"
        echo "}"
    } >"$prefix/nginx.conf"
    "$nginx_bin" -p "$prefix/" -c "$prefix/nginx.conf" -e "$prefix/error.log" -g "daemon off;" \
        >>"$prefix/stdout.log" 2>&1 &
    launched_pid=$!
}

# start_nginx WWW PREFIX [CERT KEY]: nginx in the foreground with its own
# configuration, pid file and logs under PREFIX, serving WWW on a free loopback
# port; with CERT and KEY over TLS, paced.bin limited to $rate bytes/s per request.
# Its access log, PREFIX/access.log, ends every line with the body bytes of that
# request. Sets nginx_pid and nginx_port.
start_nginx() {
    local prefix=$2
    mkdir -p "$prefix/temp"
    if ! on_free_port launch_nginx "$1" "$prefix" "${3:-}" "${4:-}"; then
        cat "$prefix/error.log" >&2 2>/dev/null || true
        die "nginx did not start"
    fi
    nginx_pid=$launched_pid nginx_port=$launched_port
}

pace_pid="" pace_port=""
tool_pid=""

# start_pace WWW: the project's paced file server on a free loopback port; its
# log, $tmp/pace.log, ends every line with the body bytes of that response.
start_pace() {
    local www=$1 out=$tmp/pace.out i
    "$build/zk-pace-server" --dir "$www" --port 0 --rate "$rate" --log "$tmp/pace.log" >"$out" 2>&1 &
    pace_pid=$!
    for ((i = 0; i < 200; i++)); do
        if grep -q '^listening on ' "$out"; then
            pace_port=$(sed -n 's/^listening on 127\.0\.0\.1:\([0-9]*\)$/\1/p' "$out")
            [[ -n $pace_port ]] && return 0
        fi
        kill -0 "$pace_pid" 2>/dev/null || break
        sleep 0.05
    done
    cat "$out" >&2
    die "zk-pace-server did not start"
}

ftp_pid="" ftp_port=""

# start_ftp ROOT: the tests' FTP server (anonymous, read-only) serving ROOT on a
# free loopback port, each data connection capped at $rate bytes/s; its log,
# $tmp/ftp.log, gets one line per download when its data connection closes,
# ending with the file bytes sent on it.
start_ftp() {
    local root_dir=$1 out=$tmp/ftp.out i
    "$ftp_python" "$root/tests/support/ftp_server.py" "$root_dir" --throttle="$rate" --log="$tmp/ftp.log" \
        >"$out" 2>"$tmp/ftp.err" &
    ftp_pid=$!
    # The port is the first line it prints.
    for ((i = 0; i < 200; i++)); do
        ftp_port=$(head -n 1 "$out" 2>/dev/null) || true   # not made yet: the server has not started
        [[ $ftp_port =~ ^[0-9]+$ ]] && return 0
        kill -0 "$ftp_pid" 2>/dev/null || break
        sleep 0.05
    done
    cat "$tmp/ftp.err" >&2
    die "ftp_server.py did not start"
}

vsftpd_pid="" vsftpd_port="" vsftpd_bin="" vsftpd_libs=""

# fetch_vsftpd: vsftpd from Debian's archive, unpacked under $tmp/vsftpd-deb
# (with libwrap0 when the system lacks it); sets vsftpd_bin and vsftpd_libs. A
# vsftpd already installed is used as it is. (`vsftpd -v` writes its version to
# its standard input, hence the 0>&1 where it is asked.)
fetch_vsftpd() {
    local d=$tmp/vsftpd-deb f
    if [[ -x /usr/sbin/vsftpd ]]; then
        vsftpd_bin=/usr/sbin/vsftpd
        return 0
    fi
    mkdir -p "$d/root"
    local -a pkgs=(vsftpd)
    ldconfig -p | grep -q 'libwrap\.so\.0 ' || pkgs+=(libwrap0)
    # A fresh machine may have no package lists yet.
    (cd "$d" && { apt-get download "${pkgs[@]}" || { apt-get update -qq && apt-get download "${pkgs[@]}"; }; }) \
        >"$d/apt.log" 2>&1 || { cat "$d/apt.log" >&2; die "apt-get download ${pkgs[*]} failed"; }
    for f in "$d"/*.deb; do dpkg-deb -x "$f" "$d/root"; done
    vsftpd_bin=$d/root/usr/sbin/vsftpd
    vsftpd_libs=$(printf '%s:' "$d"/root/usr/lib/*-linux-gnu "$d"/root/lib/*-linux-gnu)
}

# launch_vsftpd PORT ROOT: see start_vsftpd.
launch_vsftpd() {
    local port=$1 root_dir=$2 conf=$tmp/vsftpd.conf
    cat >"$conf" <<EOF
listen=YES
listen_address=127.0.0.1
listen_port=$port
background=NO
anonymous_enable=YES
no_anon_password=YES
anon_root=$root_dir
ftp_username=daemon
nopriv_user=daemon
secure_chroot_dir=$tmp/vsftpd-empty
local_enable=NO
write_enable=NO
anon_max_rate=$rate
max_per_ip=0
max_clients=0
seccomp_sandbox=NO
isolate=NO
isolate_network=NO
xferlog_enable=YES
xferlog_std_format=YES
xferlog_file=$tmp/vsftpd.log
EOF
    LD_LIBRARY_PATH=$vsftpd_libs "$vsftpd_bin" "$conf" >"$tmp/vsftpd.out" 2>&1 &
    launched_pid=$!
}

# start_vsftpd ROOT: vsftpd in the foreground on a free loopback port, anonymous
# and read-only, locked into ROOT, each transfer capped at $rate bytes/s. Its
# transfer log, $tmp/vsftpd.log, has one line per transfer with the bytes sent
# on it in field 8. Sessions run as "daemon", which every Debian system has (an
# anonymous session needs a user whose home folder exists). Sets vsftpd_pid and
# vsftpd_port.
start_vsftpd() {
    mkdir -p "$tmp/vsftpd-empty"
    chmod 755 "$1"
    if ! on_free_port launch_vsftpd "$1"; then
        cat "$tmp/vsftpd.out" >&2
        die "vsftpd did not start"
    fi
    vsftpd_pid=$launched_pid vsftpd_port=$launched_port
}

stop_pid() {
    local pid=$1
    [[ -n $pid ]] || return 0
    kill "$pid" 2>/dev/null || return 0
    wait "$pid" 2>/dev/null || true
}

# server_open PORT: true while the server on 127.0.0.1:PORT still holds a
# connection it has not closed (established, or closed by the client only). A
# server logs a request before it closes its connection, so once this is false
# every request of the last run is in its log.
server_open() {
    local hex
    hex=$(printf '%04X' "$1")
    awk -v p=":$hex" 'FNR > 1 && substr($2, length($2) - 4) == p && ($4 == "01" || $4 == "08") { found = 1 }
                      END { exit !found }' /proc/net/tcp /proc/net/tcp6 2>/dev/null
}

# sockets_of PID: how many sockets process PID holds.
sockets_of() { find "/proc/$1/fd" -lname 'socket:*' 2>/dev/null | wc -l; }

# served_since LOG OFFSET PORT [FIELD]: the body bytes the server logged past byte
# OFFSET of LOG (field FIELD of each line, the last one by default), once it has closed every connection
# (waited for at most 5 s) and its log has stopped growing. For the FTP server
# PORT is the control port, and the wait also lasts until the server holds no
# socket but its listener: a throttled data connection sleeps up to 2 s
# between its bursts, and only then notices that the client has gone and logs
# its transfer (a tool that leaves its data connections to the exit would
# otherwise have them missed). Then the log must stay the same for 0.1 s (at
# most 1 s).
served_since() {
    local serverlog=$1 offset=$2 port=$3 field=${4:-0} i last now
    for ((i = 0; i < 250; i++)); do
        server_open "$port" || { [[ $port == "$ftp_port" ]] && (($(sockets_of "$ftp_pid") > 1)); } || break
        sleep 0.02
    done
    last=$(file_size "$serverlog")
    for ((i = 0; i < 10; i++)); do
        sleep 0.1
        now=$(file_size "$serverlog")
        [[ $now != "$last" ]] || break
        last=$now
    done
    [[ -f $serverlog ]] || { echo 0; return; }
    tail -c +$((offset + 1)) "$serverlog" | awk -v f="$field" '{ s += f ? $f : $NF } END { printf "%d\n", s }'
}

file_size() { if [[ -f $1 ]]; then stat -c %s "$1"; else echo 0; fi; }

# ---------------------------------------------------------------- one timed run

# run_tool CASE TOOL ROUND URL NAME SHA SERVERLOG PORT [FIELD]: fetches URL with
# TOOL into a fresh folder, checks the result against SHA, adds up the body bytes
# the server on PORT logged in SERVERLOG meanwhile (field FIELD of its lines, the
# last by default), and appends one line to the results:
#   CASE TOOL ROUND wall user+sys ok|FAIL(reason) served-bytes
# In case "packs" zov-kestra-get runs with --pack-size $small_pack.
run_tool() {
    local case=$1 tool=$2 round=$3 url=$4 name=$5 sha=$6 serverlog=$7 port=$8 field=${9:-0}
    local out=$tmp/out/$tool runlog=$tmp/logs/$case-$tool-$round.log timing=$tmp/timing
    local rc=0 t0 t1 wall cpu got status home="" cfg="" mark served
    rm -rf "$out"
    mkdir -p "$out" "$tmp/logs"
    local -a cmd env=()
    case $tool in
        curl) cmd=(curl -s -o "$out/$name" "$url") ;;
        aria2c) cmd=(aria2c -x4 -s4 -k1M -q --allow-overwrite=true --file-allocation=none
                     -d "$out" -o "$name" "$url") ;;
        axel) cmd=(axel -q -n 4 -o "$out/$name" "$url") ;;
    esac
    # Over TLS every tool trusts the run's own authority, checking the certificate.
    if [[ $url == https:* ]]; then
        case $tool in
            curl) cmd=(curl --cacert "$ca_file" "${cmd[@]:1}") ;;
            aria2c) cmd=(aria2c --ca-certificate="$ca_file" "${cmd[@]:1}") ;;
        esac
    fi
    case $tool in
        curl | aria2c | axel) ;;
        zov-kestra-get)
            # A fresh program folder and settings store: every run is a new project.
            home=$(mktemp -d "$tmp/zk-home.XXXXXX")
            cfg=$(mktemp -d "$tmp/zk-config.XXXXXX")
            env=(ZOV_KESTRA_HOME="$home" XDG_CONFIG_HOME="$cfg")
            cmd=("$build/zov-kestra-get" --dest "$out")
            [[ $url != https:* ]] || cmd+=(--ca-certificate "$ca_file")
            [[ $case != packs ]] || cmd+=(--pack-size "$small_pack")
            cmd+=("$url") ;;
        *) die "unknown tool $tool" ;;
    esac
    # In the background and waited for, so that a signal stops the script (and
    # the tool, from the exit trap) at once. The CPU time is what `times` adds
    # up for this shell's finished children.
    mark=$(file_size "$serverlog")
    times >"$timing.0"
    t0=$EPOCHREALTIME
    env "${env[@]}" "${cmd[@]}" </dev/null >"$runlog" 2>&1 &
    tool_pid=$!
    wait "$tool_pid" || rc=$?
    t1=$EPOCHREALTIME
    tool_pid=""
    times >"$timing.1"
    served=$(served_since "$serverlog" "$mark" "$port" "$field")
    wall=$(awk -v a="$t0" -v b="$t1" 'BEGIN {printf "%.3f", b - a}')
    cpu=$(awk 'function s(t, m) { m = t; sub(/m.*/, "", m); sub(/^[0-9]+m/, "", t); sub(/s$/, "", t); return m * 60 + t }
               FNR == 2 { v = s($1) + s($2); if (NR == FNR) before = v; else after = v }
               END { printf "%.3f", after - before }' "$timing.0" "$timing.1")
    status=ok
    if ((rc != 0)); then
        status="FAIL(exit-$rc)"
    elif [[ ! -f $out/$name ]]; then
        status="FAIL(no-file)"
    else
        got=$(sha256sum "$out/$name" | cut -d' ' -f1)
        [[ $got == "$sha" ]] || status="FAIL(sha256)"
    fi
    if [[ $status != ok ]]; then
        log "$case $tool round $round: $status; its output:"
        tail -n 5 "$runlog" >&2 || true
    fi
    printf '%s %s %s %s %s %s %s\n' "$case" "$tool" "$round" "$wall" "$cpu" "$status" "$served" >>"$results"
    log "$(printf '%-6s round %-2s %-15s %8.3f s  served %12d  %s' "$case" "$round" "$tool" "$wall" "$served" "$status")"
    rm -rf "$out"
    [[ -z $home ]] || rm -rf "$home" "$cfg"
}

# tools_for_round ROUND: the tools in this round's order (rotated by one each round).
tools_for_round() {
    local r=$1 n=${#tools[@]} i
    for ((i = 0; i < n; i++)); do
        echo "${tools[(i + r) % n]}"
    done
}

# ---------------------------------------------------------------- case 4, inside the emulator

# Runs in the emulator's network namespace: its own nginx on that namespace's
# loopback, every round of case 4, results appended to the shared file.
if [[ ${1:-} == --wan-inner ]]; then
    tmp=$BENCH_INNER_TMP results=$tmp/results.txt ca_file=${BENCH_INNER_CA:-}
    read -r -a tools <<<"$BENCH_INNER_TOOLS"
    wan_pid="" tls_pid=""
    trap 'stop_pid "$tool_pid"; stop_pid "$wan_pid"; stop_pid "$tls_pid"; stop_pid "$launched_pid"' EXIT
    trap 'exit 130' INT
    trap 'exit 143' TERM
    start_nginx "$tmp/www" "$tmp/nginx-wan"
    wan_pid=$nginx_pid wan_port=$nginx_port
    # Case 4b: the same file over TLS, as wan.bin (the TLS nginx paces paced.bin).
    if [[ -n $ca_file ]]; then
        start_nginx "$tmp/www" "$tmp/nginx-wan-tls" "$tmp/tls.pem" "$tmp/tls.key"
        tls_pid=$nginx_pid tls_port=$nginx_port
    fi
    for ((r = 0; r < rounds; r++)); do
        while read -r tool; do
            run_tool wan "$tool" $((r + 1)) "http://127.0.0.1:$wan_port/paced.bin" paced.bin "$BENCH_INNER_SHA" \
                "$tmp/nginx-wan/access.log" "$wan_port"
            [[ -z $tls_pid || $tool == axel ]] \
                || run_tool wantls "$tool" $((r + 1)) "https://127.0.0.1:$tls_port/wan.bin" wan.bin "$BENCH_INNER_SHA" \
                    "$tmp/nginx-wan-tls/access.log" "$tls_port"
        done < <(tools_for_round "$r")
    done
    exit 0
fi

# ---------------------------------------------------------------- tools and build

missing=()
command -v curl >/dev/null || missing+=(curl)
command -v aria2c >/dev/null || missing+=(aria2)
command -v axel >/dev/null || missing+=(axel)
if wants nginx packs https; then
    [[ -x $nginx_bin ]] || missing+=(nginx-light)
fi
if wants https; then
    command -v openssl >/dev/null || missing+=(openssl)
fi
if wants ftp; then
    "$ftp_python" -c 'import pyftpdlib' 2>/dev/null || missing+=(python3-pyftpdlib)
fi
if [[ ${BENCH_SKIP_BUILD:-0} != 1 ]]; then
    command -v cmake >/dev/null || missing+=(cmake)
    command -v ninja >/dev/null || missing+=(ninja-build)
fi
if ((${#missing[@]})); then
    ((EUID == 0)) || die "missing ${missing[*]}: install them (apt-get install ${missing[*]}) or run as root"
    log "installing ${missing[*]}"
    apt-get update -qq
    DEBIAN_FRONTEND=noninteractive apt-get install -y -qq "${missing[@]}" >/dev/null
fi

if [[ ${BENCH_SKIP_BUILD:-0} != 1 ]]; then
    log "building in $build"
    cmake -S "$root" -B "$build" -G Ninja >/dev/null
    cmake --build "$build" --target zk-pace-server
    if [[ -f $root/src/main/zov_kestra_get.cpp ]]; then
        cmake --build "$build" --target zov-kestra-get || log "zov-kestra-get did not build; it is left out"
    fi
fi
[[ -x $build/zk-pace-server ]] || die "$build/zk-pace-server is missing"

tools=(curl aria2c axel)
note=""
if [[ -x $build/zov-kestra-get ]]; then
    tools+=(zov-kestra-get)
else
    note="zov-kestra-get was not built ($build/zov-kestra-get missing): left out of this run."
    log "$note"
fi

wan=0
if [[ ${BENCH_WAN:-0} == 1 ]]; then
    [[ -n ${BENCH_WAN_CMD:-} ]] || die "BENCH_WAN=1 needs BENCH_WAN_CMD, the latency emulator's command prefix"
    wan=1
fi

# ---------------------------------------------------------------- files and servers

tmp=$(mktemp -d "${TMPDIR:-/tmp}/zk-bench.XXXXXX")
# shellcheck disable=SC2317  # run by the trap
cleanup() {
    stop_pid "$tool_pid"
    stop_pid "$nginx_pid"
    stop_pid "$tls_pid"
    stop_pid "$pace_pid"
    stop_pid "$ftp_pid"
    stop_pid "$vsftpd_pid"
    stop_pid "$launched_pid"   # a server still starting
    rm -rf "$tmp"
}
trap cleanup EXIT
trap 'exit 130' INT
trap 'exit 143' TERM
results=$tmp/results.txt
: >"$results"

mkdir -p "$tmp/www"
big_sha="" paced_sha=""
if wants nginx packs https; then
    log "creating ${big_mb} MiB of random bytes"
    head -c $((big_mb * 1048576)) /dev/urandom >"$tmp/www/big.bin"
    big_sha=$(sha256sum "$tmp/www/big.bin" | cut -d' ' -f1)
fi
if wants paced ftp vsftpd https || ((wan)); then
    log "creating ${paced_mb} MiB of random bytes"
    head -c $((paced_mb * 1048576)) /dev/urandom >"$tmp/www/paced.bin"
    paced_sha=$(sha256sum "$tmp/www/paced.bin" | cut -d' ' -f1)
fi

tls_pid="" tls_port="" ca_file=""
if wants https; then
    # An authority made for this run, and the loopback's certificate from it.
    (
        cd "$tmp"
        openssl ecparam -name prime256v1 -genkey -noout -out ca.key
        openssl req -x509 -new -key ca.key -out ca.pem -days 2 -subj /CN=zk-bench-ca
        openssl ecparam -name prime256v1 -genkey -noout -out tls.key
        openssl req -new -key tls.key -out tls.csr -subj /CN=127.0.0.1
        echo subjectAltName=IP:127.0.0.1 >tls.ext
        openssl x509 -req -in tls.csr -CA ca.pem -CAkey ca.key -CAcreateserial -out tls.pem -days 2 -extfile tls.ext
    ) >"$tmp/openssl.log" 2>&1 || { cat "$tmp/openssl.log" >&2; die "openssl could not make the certificates"; }
    ca_file=$tmp/ca.pem
    start_nginx "$tmp/www" "$tmp/nginx-tls" "$tmp/tls.pem" "$tmp/tls.key"
    tls_pid=$nginx_pid tls_port=$nginx_port nginx_pid=""
    log "nginx with TLS on 127.0.0.1:$tls_port (pid $tls_pid)"
fi
if wants nginx packs; then
    start_nginx "$tmp/www" "$tmp/nginx"
    log "nginx on 127.0.0.1:$nginx_port (pid $nginx_pid)"
fi
if wants paced; then
    start_pace "$tmp/www"
    log "zk-pace-server on 127.0.0.1:$pace_port (pid $pace_pid)"
fi
if wants ftp; then
    # A folder of its own holding only the case 2 file.
    mkdir -p "$tmp/ftp-root"
    ln "$tmp/www/paced.bin" "$tmp/ftp-root/paced.bin"
    start_ftp "$tmp/ftp-root"
    log "ftp_server.py on 127.0.0.1:$ftp_port (pid $ftp_pid)"
fi
vsftpd_note=""
if wants vsftpd; then
    if ((EUID == 0)); then
        fetch_vsftpd
        mkdir -p "$tmp/vsftpd-root"
        ln "$tmp/www/paced.bin" "$tmp/vsftpd-root/paced.bin"
        start_vsftpd "$tmp/vsftpd-root"
        log "vsftpd on 127.0.0.1:$vsftpd_port (pid $vsftpd_pid)"
    else
        vsftpd_note="case 5b left out: vsftpd needs root to lock its anonymous sessions into their folder."
        log "$vsftpd_note"
    fi
fi

# ---------------------------------------------------------------- rounds

for ((r = 0; r < rounds; r++)); do
    while read -r tool; do
        if wants nginx; then
            run_tool nginx "$tool" $((r + 1)) "http://127.0.0.1:$nginx_port/big.bin" big.bin "$big_sha" \
                "$tmp/nginx/access.log" "$nginx_port"
        fi
        if wants paced; then
            run_tool paced "$tool" $((r + 1)) "http://127.0.0.1:$pace_port/paced.bin" paced.bin "$paced_sha" \
                "$tmp/pace.log" "$pace_port"
        fi
        if wants packs && [[ $tool == zov-kestra-get ]]; then
            run_tool packs "$tool" $((r + 1)) "http://127.0.0.1:$nginx_port/big.bin" big.bin "$big_sha" \
                "$tmp/nginx/access.log" "$nginx_port"
        fi
        if wants ftp; then
            run_tool ftp "$tool" $((r + 1)) "ftp://127.0.0.1:$ftp_port/paced.bin" paced.bin "$paced_sha" \
                "$tmp/ftp.log" "$ftp_port"
        fi
        if [[ -n $vsftpd_pid ]]; then
            run_tool vsftpd "$tool" $((r + 1)) "ftp://127.0.0.1:$vsftpd_port/paced.bin" paced.bin "$paced_sha" \
                "$tmp/vsftpd.log" "$vsftpd_port" 8
        fi
        if wants https && [[ $tool != axel ]]; then
            run_tool https "$tool" $((r + 1)) "https://127.0.0.1:$tls_port/big.bin" big.bin "$big_sha" \
                "$tmp/nginx-tls/access.log" "$tls_port"
            run_tool httpsp "$tool" $((r + 1)) "https://127.0.0.1:$tls_port/paced.bin" paced.bin "$paced_sha" \
                "$tmp/nginx-tls/access.log" "$tls_port"
        fi
    done < <(tools_for_round "$r")
done

if ((wan)); then
    log "case 4 inside: $BENCH_WAN_CMD"
    read -r -a wan_cmd <<<"$BENCH_WAN_CMD"
    [[ -z $ca_file ]] || ln "$tmp/www/paced.bin" "$tmp/www/wan.bin"
    BENCH_INNER_TMP=$tmp BENCH_INNER_TOOLS="${tools[*]}" BENCH_INNER_SHA=$paced_sha BENCH_INNER_CA=$ca_file \
        BENCH_ROUNDS=$rounds BENCH_BUILD_DIR=$build \
        "${wan_cmd[@]}" bash "$here/run.sh" --wan-inner \
        || log "case 4 did not finish (exit $?)"
fi

# ---------------------------------------------------------------- table

cpu=$(sed -n 's/^model name[[:space:]]*:[[:space:]]*//p' /proc/cpuinfo | head -n 1)
version() { "$@" 2>&1 | head -n 1 || true; }
{
    echo "# Benchmark results"
    echo
    echo "Written by \`bench/run.sh\` on $(date -u '+%Y-%m-%d %H:%M UTC')."
    echo
    echo "- Machine: $(nproc) CPU(s), ${cpu:-unknown CPU}, Linux $(uname -r)"
    echo "- Cases run: $cases$( ((wan)) && echo ' wan')"
    echo "- Files: cases 1 and 3 ${big_mb} MiB, cases 2, 4, 5 and 5b ${paced_mb} MiB, random bytes; every result checked by SHA-256"
    echo "- Rounds: $rounds, tools interleaved, order rotated each round; figures are medians"
    echo "- Case 2 pace: $rate bytes/s per connection, no burst (zk-pace-server)"
    echo "- Case 3: zov-kestra-get alone, with --pack-size $small_pack"
    wants https && echo "- Cases 6 and 7: https:// from nginx with TLS ($(openssl version 2>/dev/null | cut -d' ' -f1-2)), an ECDSA P-256 certificate for 127.0.0.1 from an authority made for the run; case 7 with limit_rate $rate per request; axel left out (it cannot check a certificate made for an IP address)"
    echo "- Case 5: ftp://, $rate bytes/s per data connection (tests/support/ftp_server.py, pyftpdlib $("$ftp_python" -c 'import pyftpdlib; print(pyftpdlib.__ver__)' 2>/dev/null || echo '?'), anonymous login)"
    [[ -z $vsftpd_pid ]] || echo "- Case 5b: ftp://, vsftpd $(LD_LIBRARY_PATH=$vsftpd_libs "$vsftpd_bin" -v 0>&1 2>/dev/null | sed -n 's/.*version //p'), anon_max_rate $rate bytes/s, anonymous login"
    if ((wan)); then
        echo "- Case 4 link: \`$BENCH_WAN_CMD\`$(wants https && echo '; case 4b the same over TLS, as in case 6')"
    fi
    echo "- Commit: $(git -C "$root" rev-parse --short HEAD 2>/dev/null || echo unknown)$(git -C "$root" diff --quiet HEAD 2>/dev/null || echo ' (with local changes)')"
    echo "- Tools: $(version curl --version | cut -d' ' -f1-2); $(version aria2c --version); $(version axel --version); $(version "$nginx_bin" -v | sed 's/^nginx version: //')"
    [[ -n $note ]] && { echo; echo "Note: $note"; }
    [[ -n $vsftpd_note ]] && { echo; echo "Note: $vsftpd_note"; }
    echo
    echo "Time / curl below 1 is faster than curl; speed × curl is curl's time over the tool's. Case 3 has"
    echo "no curl of its own: its ratios are against case 1's curl (same file, same server), and its time"
    echo "is also given as a multiple of zov-kestra-get's own time in case 1 (\"× default packs\")."
    echo "CPU is the client's user + system time. Served / file size is the body bytes the server sent"
    echo "during the tool's run (from the server's log) over the file's size: 1.000 means every byte once."
    echo
    awk -v big="$big_mb" -v paced="$paced_mb" -v rate="$rate" -v pack="$small_pack" '
        function median(list,    a, n, t, i, j) {
            n = split(list, a, " ")
            for (i = 2; i <= n; i++) {                 # insertion sort, n is small
                t = a[i]
                for (j = i - 1; j >= 1 && a[j] + 0 > t + 0; j--) a[j + 1] = a[j]
                a[j + 1] = t
            }
            if (n == 0) return ""
            return n % 2 ? a[(n + 1) / 2] : (a[n / 2] + a[n / 2 + 1]) / 2
        }
        BEGIN {
            size["nginx"] = big; size["packs"] = big; size["paced"] = paced; size["wan"] = paced; size["wantls"] = paced; size["ftp"] = paced; size["vsftpd"] = paced
            size["https"] = big; size["httpsp"] = paced
        }
        {
            key = $1 SUBSEP $2
            if (!(key in seen)) { seen[key] = 1; order[++count] = key }
            if ($6 == "ok") {
                walls[key] = walls[key] " " $4; cpus[key] = cpus[key] " " $5; ok[key]++
                served[key] = served[key] " " ($7 / (size[$1] * 1048576))
            }
            else { failed[key]++; why[key] = $6 }
            runs[key] = runs[key] (runs[key] == "" ? "" : ", ") ($6 == "ok" ? sprintf("%.2f", $4) : $6)
        }
        END {
            name["nginx"] = "1. nginx, no limit, " big " MiB"
            name["paced"] = sprintf("2. paced %g MiB/s per connection, %s MiB", rate / 1048576, paced)
            name["packs"] = "3. nginx, no limit, " big " MiB, " pack "-byte packs"
            name["wan"] = "4. emulated link, nginx, " paced " MiB"
            name["wantls"] = "4b. emulated link, nginx TLS, " paced " MiB"
            name["ftp"] = sprintf("5. pyftpdlib FTP, %g MiB/s per data connection, %s MiB", rate / 1048576, paced)
            name["vsftpd"] = sprintf("5b. vsftpd FTP, %g MiB/s per transfer, %s MiB", rate / 1048576, paced)
            name["https"] = "6. nginx TLS, no limit, " big " MiB"
            name["httpsp"] = sprintf("7. nginx TLS, %g MiB/s per connection, %s MiB", rate / 1048576, paced)
            print "| Case | Tool | Median time (s) | MiB/s | Time / curl | Speed × curl | Median CPU (s) | Served / file size | OK runs | Runs (s) |"
            print "|---|---|---:|---:|---:|---:|---:|---:|---:|---|"
            for (i = 1; i <= count; i++) {
                split(order[i], k, SUBSEP)
                c = k[1]; t = k[2]
                m = median(walls[order[i]])
                # Case 3 is measured against case 1 (same file, same server).
                ref = c == "packs" ? "nginx" : c
                base = median(walls[ref SUBSEP "curl"])
                if (m == "") {
                    cells = "FAIL | | | | | "
                } else {
                    times = base == "" ? "" : sprintf("%.2f", m / base)
                    speed = base == "" ? "" : sprintf("%.2f", base / m)
                    own = median(walls["nginx" SUBSEP t])
                    if (c == "packs" && own != "")
                        times = times (times == "" ? "" : " ") sprintf("(%.2f × default packs)", m / own)
                    cells = sprintf("%.3f | %.1f | %s | %s | %.3f | %.3f", m, size[c] / m, times, speed,
                                    median(cpus[order[i]]), median(served[order[i]]))
                }
                okc = ok[order[i]] + 0
                tot = okc + failed[order[i]]
                okcell = okc "/" tot (failed[order[i]] ? " FAIL" : "")
                tool = c == "packs" ? t " --pack-size " pack : t
                printf "| %s | %s | %s | %s | %s |\n", name[c], tool, cells, okcell, runs[order[i]]
            }
        }' <(awk '
            # cases in their order (nginx, paced, packs, wan, ftp), tools in the order they were listed
            BEGIN { rank["nginx"] = 1; rank["paced"] = 2; rank["packs"] = 3; rank["wan"] = 4; rank["wantls"] = 4.5; rank["ftp"] = 5; rank["vsftpd"] = 5.5
                    rank["https"] = 6; rank["httpsp"] = 7
                    tr["curl"] = 1; tr["aria2c"] = 2; tr["axel"] = 3; tr["zov-kestra-get"] = 4 }
            { print rank[$1], tr[$2], $0 }' "$results" | sort -s -n -k1,1 -k2,2 | cut -d' ' -f3-)
} >"$results_md"

log "wrote $results_md"
cat "$results_md"
