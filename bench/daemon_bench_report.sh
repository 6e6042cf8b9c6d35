# The report of bench/daemon_bench.sh, sourced by it once every run is
# done: a Markdown table of the runs in $work, one row per case, then the
# runs that lost lines and those whose lines were altered (exit status 1).
# min / median / max of column $2 of file $1.
stats() {
    cut -d' ' -f"$2" "$1" | sort -g | awk '{ v[NR] = $1 }
        END { m = (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2
              printf fmt " / " fmt " / " fmt, v[1], m, v[NR] }' fmt="$3"
}
median() { stats "$1" "$2" "%s" | awk -F' / ' '{ print $2 }'; }

base_cpu=""
[ -s "$work/baseline.runs" ] && base_cpu=$(median "$work/baseline.runs" 4)
bare_cpu=""
[ -s "$work/bare.runs" ] && bare_cpu=$(median "$work/bare.runs" 4)
echo
echo "$messages messages of ~$((input_bytes / messages)) bytes per run, 1000 vhosts, $runs runs per case;"
if [ ${#minispread_args[@]} -gt 0 ]; then
    echo "minispread with -S (senders never held back; a receiver with 1000 messages waiting is disconnected);"
else
    echo "minispread in its default mode (senders never held back; a receiver's backlog waits in its memory, up to 256 MiB);"
fi
[[ " ${minispread_args[*]} " == *" -1 "* ]] && echo "minispread with -1 (each message written to the receiver with a send of its own);"
[ ${#unpriv[@]} -gt 0 ] && echo "minispread, sender and receiver run without CAP_SYS_NICE (setpriv): the receiver $(cat "$work/cap_sys_nice" 2>/dev/null) raise priorities;"
[ -n "$neighbour" ] && echo "a busy neighbour alongside every run: $(basename "$neighbour") ${neighbour_args:-with its defaults};"
[ ${#pin_receiver[@]} -gt 0 ] && echo "receiver pinned to CPU 1, minispread and the sender to CPU 0;"
if [ "$rate" = 0 ]; then
    echo "sender at full speed; alone (to a group without members) bench_sender sends $sender_rate, spcat $spcat_rate;"
else
    echo "sender held to $rate msgs/s; alone (to a group without members) bench_sender sends $sender_rate, spcat $spcat_rate;"
fi
echo "load average before: $load_start, after: $(cut -d' ' -f1-3 /proc/loadavg)"
echo
echo "| receiver | runs with a disconnection | disconnections (receiver / minispread kills) | lines lost: runs, total, most in a run | CPU µs/msg min / median / max | CPU vs baseline (median) | CPU vs bare (median) | wake-ups/msg min / median / max | latency ms p50 (median of runs) / p99 min / median / max | msgs/s of complete runs min / median / max | syscalls/msg: all, receive, write, poll+ioctl | minispread CPU µs/msg (median) | other load, cores (median) | reader faults/msg min / median / max | VmRSS MB at the end (median) |"
echo "|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|"
for c in "${case_list[@]}"; do
    f="$work/$c.runs"
    if [ ! -s "$f" ]; then
        echo "| $c | | | | | | | | | | | | | | |"
        continue
    fi
    n=$(wc -l <"$f")
    disconnected=$(awk '$1 > 0 || $2 > 0' "$f" | wc -l)
    counts=$(awk '{ r += $1; k += $2 } END { printf "%d / %d", r, k }' "$f")
    lost=$(awk '$3 > 0 { runs++; total += $3; if ($3 > most) most = $3 }
        END { printf "%d of %d, %d, %d", runs, NR, total, most }' "$f")
    ratio="-"
    if [ -n "$base_cpu" ]; then
        ratio=$(awk -v a="$(median "$f" 4)" -v b="$base_cpu" 'BEGIN { printf "%.2f×", a / b }')
    fi
    own=${c#other-}
    if [[ "$own" = vhost* ]] && [ -s "$work/baseline-$own.runs" ]; then
        ratio="$ratio ($(awk -v a="$(median "$f" 4)" -v b="$(median "$work/baseline-$own.runs" 4)" \
            'BEGIN { printf "%.2f×", a / b }') of baseline-$own)"
    fi
    bare_ratio="-"
    if [ -n "$bare_cpu" ]; then
        bare_ratio=$(awk -v a="$(median "$f" 4)" -v b="$bare_cpu" 'BEGIN { printf "%.2f×", a / b }')
    fi
    if [[ "$own" = vhost* ]] && [ -s "$work/bare-$own.runs" ]; then
        bare_ratio="$bare_ratio ($(awk -v a="$(median "$f" 4)" -v b="$(median "$work/bare-$own.runs" 4)" \
            'BEGIN { printf "%.2f×", a / b }') of bare-$own)"
    fi
    lat="-"
    if [ "$latency" = 1 ] && ! grep -q -- ' - -$' "$f"; then
        lat="$(median "$f" 8) / $(stats "$f" 9 %.2f)"
    fi
    rates="none"
    [ -s "$work/$c.rates" ] && rates="$(stats "$work/$c.rates" 1 %.0f) ($(wc -l <"$work/$c.rates") of $n runs)"
    calls="-"
    [ -s "$work/$c.syscalls" ] && calls=$(sed 's/ /, /g' "$work/$c.syscalls")
    echo "| $c | $disconnected of $n | $counts | $lost | $(stats "$f" 4 %.2f) | $ratio | $bare_ratio | $(stats "$f" 7 %.3f) | $lat | $rates | $calls | $(median "$f" 5) | $(median "$f" 6) | $(stats "$f" 10 %.4f) | $(median "$f" 11) |"
done
compression_report
if [ -s "$work/losses" ]; then
    echo
    echo "Runs with a disconnection or lost lines:"
    sed 's/^/- /' "$work/losses"
fi
if [ -s "$work/failures" ]; then
    echo
    echo "Runs with lines altered, repeated or out of order:"
    sed 's/^/- /' "$work/failures"
    exit 1
fi
