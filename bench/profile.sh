#!/usr/bin/env bash
# CPU cost of zov-kestra-get on case 1 of run.sh (a big file from nginx on
# loopback, unlimited), for one or more builds side by side:
#
#   bash bench/profile.sh build/zov-kestra-get /other/build/zov-kestra-get
#
# Each round runs every binary once, in turn, into a fresh program folder; a
# run whose file differs from the served one stops the script. Prints per
# binary the median user and system CPU seconds and wall time, then the
# instructions one run executes in user space (valgrind's callgrind, which
# counts them on any machine, virtual or not) and the first binary's hottest
# functions. Environment: PROFILE_MB (default 256), PROFILE_ROUNDS (default 5).
set -euo pipefail
mb=${PROFILE_MB:-256}
rounds=${PROFILE_ROUNDS:-5}
(($# >= 1)) || { echo "usage: $0 ZOV_KESTRA_GET..." >&2; exit 2; }
command -v valgrind >/dev/null || { echo "valgrind is missing (apt-get install valgrind)" >&2; exit 1; }
tmp=$(mktemp -d)
nginx_pid=""
cleanup() { [[ -n $nginx_pid ]] && kill "$nginx_pid" 2>/dev/null && wait "$nginx_pid" 2>/dev/null; rm -rf "$tmp"; }
trap cleanup EXIT

mkdir -p "$tmp/www" "$tmp/nginx/temp"
head -c $((mb * 1048576)) /dev/urandom >"$tmp/www/big.bin"
want=$(sha256sum <"$tmp/www/big.bin" | cut -d' ' -f1)
port_free() { ! (exec 3<>"/dev/tcp/127.0.0.1/$1") 2>/dev/null; }
for _ in 1 2 3 4 5 6 7 8; do
    port=$((20000 + RANDOM % 40000))
    port_free "$port" || continue
    cat >"$tmp/nginx/nginx.conf" <<CONF
worker_processes 1;
$( ((EUID == 0)) && echo "user root;")
pid $tmp/nginx/nginx.pid;
error_log $tmp/nginx/error.log;
events { worker_connections 1024; }
http {
    access_log off;
    client_body_temp_path $tmp/nginx/temp/body;
    proxy_temp_path $tmp/nginx/temp/proxy;
    fastcgi_temp_path $tmp/nginx/temp/fastcgi;
    uwsgi_temp_path $tmp/nginx/temp/uwsgi;
    scgi_temp_path $tmp/nginx/temp/scgi;
    default_type application/octet-stream;
    sendfile on;
    keepalive_requests 100000;
    server { listen 127.0.0.1:$port; root $tmp/www; }
}
CONF
    /usr/sbin/nginx -p "$tmp/nginx/" -c "$tmp/nginx/nginx.conf" -g "daemon off;" >/dev/null 2>&1 &
    nginx_pid=$!
    for ((i = 0; i < 100; i++)); do
        port_free "$port" || break
        sleep 0.05
    done
    kill -0 "$nginx_pid" 2>/dev/null && ! port_free "$port" && break
    kill "$nginx_pid" 2>/dev/null || true
    wait "$nginx_pid" 2>/dev/null || true
    nginx_pid=""
done
[[ -n $nginx_pid ]] || { echo "nginx did not start" >&2; exit 1; }

# run_one BIN [WRAPPER...]: one download, checked; prints "user system wall".
run_one() {
    local bin=$1 dir
    shift
    dir=$(mktemp -d "$tmp/run.XXXX")
    mkdir -p "$dir/home" "$dir/config" "$dir/out"
    ZOV_KESTRA_HOME=$dir/home XDG_CONFIG_HOME=$dir/config \
        /usr/bin/time -f "%U %S %e" -o "$dir/time" "$@" "$bin" --dest "$dir/out" "http://127.0.0.1:$port/big.bin" >/dev/null
    [[ $(sha256sum <"$dir/out/big.bin" | cut -d' ' -f1) == "$want" ]] || { echo "$bin: wrong file" >&2; exit 1; }
    cat "$dir/time"
    rm -rf "$dir"
}
declare -A results
for ((r = 0; r < rounds; r++)); do
    for bin in "$@"; do
        results[$bin]+="$(run_one "$bin")"$'\n'
    done
done
med() { sort -n | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
printf '%-50s %8s %8s %8s %16s\n' binary user_s sys_s wall_s instructions
for bin in "$@"; do
    u=$(awk 'NF {print $1}' <<<"${results[$bin]}" | med)
    s=$(awk 'NF {print $2}' <<<"${results[$bin]}" | med)
    w=$(awk 'NF {print $3}' <<<"${results[$bin]}" | med)
    out=$tmp/callgrind.$RANDOM
    run_one "$bin" valgrind -q --tool=callgrind --callgrind-out-file="$out" >/dev/null
    n=$(awk '/^summary:/ {print $2}' "$out")
    printf '%-50s %8s %8s %8s %16s\n' "$bin" "$u" "$s" "$w" "$n"
    [[ $bin == "$1" ]] && first=$out
done
echo
echo "hottest functions of $1 (instructions spent in the function itself):"
callgrind_annotate "$first" 2>/dev/null | awk '/Ir/ && /file:function/ {on=1; next} on && NF' | head -15
