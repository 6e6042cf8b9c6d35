# The file settings' cases of bench/daemon_bench.sh, sourced by it:
#   rotate       a plain log file with MaxSize = 1M (Keep = 1000): a
#                rotation every ~10,000 lines
#   rotate-zstd  the same with Compress = zstd: each rotated file
#                compressed on the compression thread
#   dated-zstd, dated-gzip  the dated case (a DatedFile named by the
#                second) with Compress = zstd, gzip: a closed file
#                compressed every second
#   sync         a plain log file with SyncInterval = 1
#   vhost-idle   the vhost case with IdleClose = 1 (1000 hosts)
# For the compressing cases each run also takes, once every line landed
# and the compressions caught up (5 s at most), the CPU of the daemon's
# compression thread ("wkp-compress", from /proc/PID/task/TID/schedstat,
# nanoseconds) and the sizes of the compressed files and of what they
# hold: compression's own CPU per MB compressed, and the ratio on this
# access-log input, go to $work/CASE.compress ("cpu_ns bytes_in
# bytes_out") and into a table of their own.

# file_case_conf CASE OUT: the configuration and the bytes expected of a
# file settings' case (daemon_conf, $expect); 1 when CASE is none of them.
file_case_conf() {
    local out=$2
    case $1 in
    rotate) daemon_conf "  File = $out/plain.log" "  MaxSize = 1M" "  Keep = 1000" ;;
    rotate-zstd) daemon_conf "  File = $out/plain.log" "  MaxSize = 1M" "  Keep = 1000" "  Compress = zstd" ;;
    dated-zstd | dated-gzip)
        mkdir -p "$out/dated"
        daemon_conf "  DatedFile = $out/dated/%Y%m%d%H%M%S.log" "  Compress = ${1#dated-}" ;;
    sync) daemon_conf "  File = $out/plain.log" "  SyncInterval = 1" ;;
    vhost-idle)
        daemon_conf "  VhostDir = $out/vhosts" "  IdleClose = 1"
        expect=$vhost_bytes
        return 0 ;;
    *) return 1 ;;
    esac
    expect=$input_bytes
}

# What a compressed file holds, on standard output.
unpack() {
    case $1 in
    *.zst) zstd -dcq "$1" ;;
    *.gz) gzip -dc "$1" ;;
    esac
}

# file_case_check CASE OUT: sets arrived and bad (of run_case) for a file
# settings' case: the rotated files oldest first, or the dated ones in
# name order, each decompressed once it is compressed, then checked.
file_case_check() {
    local out=$2 n f
    case $1 in
    sync) read -r arrived bad < <(python3 "$check_py" plain "$input" "$out/plain.log") ;;
    vhost-idle) read -r arrived bad < <(python3 "$check_py" vhost "$input" "$out/vhosts") ;;
    rotate | rotate-zstd)
        for n in $(cd "$out" && ls | sed -nE 's/^plain\.log\.([0-9]+)(\.zst)?$/\1/p' | sort -u -nr); do
            if [ -f "$out/plain.log.$n.zst" ]; then unpack "$out/plain.log.$n.zst"; else cat "$out/plain.log.$n"; fi
        done >"$work/rotated.joined"
        cat "$out/plain.log" >>"$work/rotated.joined"
        read -r arrived bad < <(python3 "$check_py" plain "$input" "$work/rotated.joined") ;;
    dated-*)
        for f in $(cd "$out/dated" && ls | sed -E 's/\.(zst|gz)$//' | sort -u); do
            if [ -f "$out/dated/$f.zst" ]; then unpack "$out/dated/$f.zst"
            elif [ -f "$out/dated/$f.gz" ]; then unpack "$out/dated/$f.gz"
            else cat "$out/dated/$f"; fi
        done >"$work/dated.joined"
        read -r arrived bad < <(python3 "$check_py" plain "$input" "$work/dated.joined") ;;
    esac
}

# Closed files of a compressing case not compressed yet (the live one
# aside).
uncompressed_closed() {
    case $1 in
    rotate-zstd) find "$2" -maxdepth 1 -type f -name 'plain.log.*' ! -name '*.zst' | wc -l ;;
    dated-*) find "$2/dated" -type f ! -name '*.zst' ! -name '*.gz' | sort | head -n -1 | wc -l ;;
    *) echo 0 ;;
    esac
}

# compression_sample CASE OUT PID LABEL MODE: for a compressing case,
# waits (5 s at most) until the closed files are compressed, then appends
# "cpu_ns bytes_in bytes_out" to $work/LABEL.compress (not in the
# warm-up run).
compression_sample() {
    local name=$1 out=$2 pid=$3 label=$4 mode=$5 i t cpu f bytes_in=0 bytes_out=0
    case $name in rotate-zstd | dated-*) ;; *) return 0 ;; esac
    for i in $(seq 50); do
        [ "$(uncompressed_closed "$name" "$out")" = 0 ] && break
        sleep 0.1
    done
    cpu=0
    for t in /proc/"$pid"/task/*; do
        if [ "$(cat "$t/comm" 2>/dev/null)" = wkp-compress ]; then
            cpu=$((cpu + $(cut -d' ' -f1 "$t/schedstat" 2>/dev/null || echo 0)))
        fi
    done
    while IFS= read -r f; do
        bytes_in=$((bytes_in + $(unpack "$f" | wc -c)))
        bytes_out=$((bytes_out + $(stat -c %s "$f")))
    done < <(find "$out" -type f \( -name '*.zst' -o -name '*.gz' \))
    [ "$mode" = count ] || echo "$cpu $bytes_in $bytes_out" >>"$work/$label.compress"
}

# The compression table, after the main one.
compression_report() {
    local c f
    for c in "${case_list[@]}"; do
        [ -s "$work/$c.compress" ] && f=1
    done
    [ -n "${f:-}" ] || return 0
    echo
    echo "| case | runs | MB compressed per run (median) | compression CPU ms/MB min / median / max | compressed size / original min / median / max |"
    echo "|---|---|---|---|---|"
    for c in "${case_list[@]}"; do
        f="$work/$c.compress"
        [ -s "$f" ] || continue
        awk '$2 > 0 { printf "%.3f %.4f %.3f\n", $1 / 1e6 / ($2 / 1048576), $3 / $2, $2 / 1048576 }' "$f" >"$f.per"
        [ -s "$f.per" ] || continue
        echo "| $c | $(wc -l <"$f.per") | $(median "$f.per" 3) | $(stats "$f.per" 1 %.2f) | $(stats "$f.per" 2 %.4f) |"
    done
}
