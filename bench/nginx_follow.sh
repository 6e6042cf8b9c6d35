#!/usr/bin/env bash
# Debian's nginx writing its access log under a bounded load on 127.0.0.1,
# rotated by logrotate while the load runs, followed by `spcat -f` into a
# group that wickerpost logs to a file: the requests nginx served against
# the lines in wickerpost's file.
#
# Per rotation mode, a fresh set-up in a scratch directory: minispread on a
# free port, wickerpost logging group "web" to web.log, nginx (a master and
# 2 workers, `return 200` on 127.0.0.1) logging to access.log, spcat
# following access.log.  A load of REQUESTS requests, each to a path of its
# own (/r/N), at RATE a second over keep-alive connections from 2 client
# processes (bounded by count and by 5 minutes), while logrotate (with a
# state file of its own) rotates the log ROTATIONS times, evenly spread:
#   create        `create` and a postrotate that sends nginx SIGUSR1
#   copytruncate  `copytruncate`, nginx told nothing
# Then, once web.log stops growing: requests served (200 responses), lines
# in nginx's files (access.log*), lines in web.log, requests missing from
# web.log and lines in it twice.  With copytruncate, nginx's own files lose
# the lines written between logrotate's copy and its truncation; spcat may
# have read them before the cut.
#
#   bench/nginx_follow.sh [-n REQUESTS] [-R RATE] [-r ROTATIONS] [-m MODES] [-B BUILD_DIR] [-t DIR] [-k]
#
# -n requests per mode (20000), -R requests per second (2000), -r rotations
# per mode (4), -m the modes ("create copytruncate"), -B the build directory
# (build; built here with ninja), -t where the scratch directory is made
# (/tmp), -k keep it.  Prints one Markdown row per mode; exits 1 when a
# request served is missing from web.log in create mode, or a line is there
# twice; says "skipped" and exits 0 when nginx or logrotate is not there or
# nginx cannot start.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd -P)

requests=20000 rate=2000 rotations=4 modes="create copytruncate" build=build tmp=/tmp keep=0
while getopts "n:R:r:m:B:t:k" opt; do
    case $opt in
    n) requests=$OPTARG ;;
    R) rate=$OPTARG ;;
    r) rotations=$OPTARG ;;
    m) modes=$OPTARG ;;
    B) build=$OPTARG ;;
    t) tmp=$OPTARG ;;
    k) keep=1 ;;
    *) sed -n '2,/^set -euo/p' "$0" | sed '$d' >&2; exit 2 ;;
    esac
done
[[ $build = /* ]] || build=$root/$build
nginx=$(command -v nginx || echo /usr/sbin/nginx)
logrotate=$(command -v logrotate || echo /usr/sbin/logrotate)
for tool in "$nginx" "$logrotate"; do
    if [[ ! -x $tool ]]; then
        echo "skipped: $tool is not installed (scripts/install-deps installs nginx and logrotate)"
        exit 0
    fi
done
ninja -C "$build" minispread spcat wickerpost >/dev/null

work=$(mktemp -d "$tmp/nginx-follow.XXXXXX")
chmod 755 "$work"
pids=()
cleanup() {
    for p in "${pids[@]}"; do kill -TERM "$p" 2>/dev/null || true; done
    for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
    if [[ $keep = 0 ]]; then rm -rf "$work"; else echo "kept $work" >&2; fi
}
trap cleanup EXIT

# One client: COUNT requests from FIRST on at RATE a second over one
# keep-alive connection (a new one after an error), for at most 300 s;
# prints the number of 200 responses.
cat >"$work/load.py" <<'EOF'
import http.client, sys, time
port, first, count, rate = int(sys.argv[1]), int(sys.argv[2]), int(sys.argv[3]), float(sys.argv[4])
start = time.monotonic()
ok = 0
conn = None
for n in range(first, first + count):
    if time.monotonic() - start > 300:
        break
    due = start + (n - first) / rate
    now = time.monotonic()
    if due > now:
        time.sleep(due - now)
    try:
        if conn is None:
            conn = http.client.HTTPConnection("127.0.0.1", port, timeout=10)
        conn.request("GET", "/r/%d" % n)
        r = conn.getresponse()
        r.read()
        if r.status == 200:
            ok += 1
    except Exception:
        conn = None
print(ok)
EOF

free_port() {
    local p
    while :; do
        p=$((20000 + RANDOM % 12000))
        [[ -e /tmp/$p ]] && continue
        (exec 3<>/dev/tcp/127.0.0.1/$p) 2>/dev/null && continue
        echo "$p"
        return
    done
}

# Request lines: those of /r/N, as "N".
requests_in() { cat "$@" 2>/dev/null | sed -n 's|.*"GET /r/\([0-9]*\) HTTP.*|\1|p'; }

echo "| rotation | rotations | requests served | lines in nginx's files | lines in web.log | served, not in web.log | in nginx's files, not in web.log | twice in web.log | spcat said |"
echo "|---|---|---|---|---|---|---|---|---|"
status=0
for mode in $modes; do
    run=$work/$mode
    mkdir -p "$run/tmp"
    port=$(free_port)
    http=$(free_port)
    "$build/minispread" -p "$port" 2>"$run/minispread.err" &
    pids+=($!)
    while [[ ! -S /tmp/$port ]]; do sleep 0.01; done
    printf 'Spread {\n  Port = %s\n  Log {\n    Group = web\n    File = %s\n  }\n}\n' "$port" "$run/web.log" \
        >"$run/wickerpost.conf"
    "$build/wickerpost" -D -x -c "$run/wickerpost.conf" 2>"$run/wickerpost.err" &
    pids+=($!)
    until [[ -s $run/web.log ]]; do
        echo "probe" | "$build/spcat" -s "$port" -g web -w 0 2>/dev/null || true
        sleep 0.1
    done

    cat >"$run/nginx.conf" <<EOF
worker_processes 2;
pid $run/nginx.pid;
error_log $run/error.log;
daemon off;
events { worker_connections 256; }
http {
    access_log $run/access.log;
    client_body_temp_path $run/tmp/body;
    proxy_temp_path $run/tmp/proxy;
    fastcgi_temp_path $run/tmp/fastcgi;
    uwsgi_temp_path $run/tmp/uwsgi;
    scgi_temp_path $run/tmp/scgi;
    server {
        listen 127.0.0.1:$http;
        location / { return 200 "ok\n"; }
    }
}
EOF
    "$nginx" -p "$run" -e "$run/error.log" -c "$run/nginx.conf" 2>"$run/nginx.err" &
    ngx=$!
    pids+=("$ngx")
    for _ in $(seq 100); do
        (exec 3<>"/dev/tcp/127.0.0.1/$http") 2>/dev/null && break
        kill -0 "$ngx" 2>/dev/null || break
        sleep 0.05
    done
    if ! (exec 3<>"/dev/tcp/127.0.0.1/$http") 2>/dev/null; then
        echo "skipped: nginx could not start: $(cat "$run/nginx.err" "$run/error.log" 2>/dev/null | tail -3 | paste -sd ' ')"
        exit 0
    fi

    "$build/spcat" -s "$port" -g web -f "$run/access.log" -p "$run/spcat.pos" 2>"$run/spcat.err" &
    cat_pid=$!
    pids+=("$cat_pid")

    if [[ $mode = create ]]; then
        rule="create 0640 root root
    sharedscripts
    postrotate
        kill -USR1 \$(cat $run/nginx.pid)
    endscript"
    else
        rule="copytruncate"
    fi
    cat >"$run/logrotate.conf" <<EOF
$run/access.log {
    rotate 1000
    missingok
    $rule
}
EOF

    half=$((requests / 2))
    python3 "$work/load.py" "$http" 0 "$half" "$(echo "$rate / 2" | bc -l)" >"$run/served.0" &
    c0=$!
    python3 "$work/load.py" "$http" "$half" "$((requests - half))" "$(echo "$rate / 2" | bc -l)" >"$run/served.1" &
    c1=$!
    pids+=("$c0" "$c1")
    span=$(echo "$requests / $rate / ($rotations + 1)" | bc -l)
    for _ in $(seq "$rotations"); do
        sleep "$span"
        "$logrotate" -f -s "$run/logrotate.state" "$run/logrotate.conf" 2>>"$run/logrotate.err"
    done
    wait "$c0" "$c1"
    served=$(($(cat "$run/served.0") + $(cat "$run/served.1")))

    # Done once web.log holds every request, or stops growing for 10 s.
    last=-1 still=0
    while :; do
        got=$(requests_in "$run/web.log" | wc -l)
        [[ $got -ge $served ]] && break
        if [[ $got = "$last" ]]; then
            still=$((still + 1))
            [[ $still -ge 100 ]] && break
        else
            still=0 last=$got
        fi
        sleep 0.1
    done
    in_nginx=$(requests_in "$run"/access.log* | wc -l)
    requests_in "$run/web.log" | sort -n >"$run/received"
    in_web=$(wc -l <"$run/received")
    unique=$(sort -u "$run/received" | wc -l)
    twice=$((in_web - unique))
    # Every request served is in nginx's files but for copytruncate's window.
    requests_in "$run"/access.log* | sort -u >"$run/logged"
    missing=$(comm -23 "$run/logged" <(sort -u "$run/received") | wc -l)
    [[ $twice -gt 0 ]] && status=1
    [[ $mode = create && ( $missing -gt 0 || $in_web -ne $served ) ]] && status=1
    said=$(sed 's/spcat: //; s/"[^"]*"/F/g' "$run/spcat.err" | sort | uniq -c | sed 's/^ *//' | paste -sd ';' -)
    echo "| $mode | $rotations | $served | $in_nginx | $in_web | $((served - unique)) | $missing | $twice | ${said:-nothing} |"
    kill -TERM "$ngx" "$cat_pid" 2>/dev/null || true
    wait "$ngx" "$cat_pid" 2>/dev/null || true
done
echo
echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
exit $status
