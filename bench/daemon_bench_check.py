#!/usr/bin/env python3
# The checker of bench/daemon_bench.sh: what arrived, against the input.
#
#   daemon_bench_check.py MODE INPUT OUTPUT
#
# prints the number of output lines that are input lines, each once and in
# input order, and the number of those that are not (altered, twice, out
# of order). MODE plain: OUTPUT holds the lines as sent; clf: the same with
# the bracketed field replaced by a well-formed CLF time; vhost: OUTPUT is
# a directory whose file NAME holds the lines of vhost NAME without that
# word.
import os, re, sys
mode, input_path, output = sys.argv[1:4]
with open(input_path, "rb") as f:
    sent = f.read().split(b"\n")[:-1]
seq_of = re.compile(rb"/p/(\d{7}) ")
clf_time = re.compile(rb"^[^[]*\[\d{2}/[A-Z][a-z]{2}/\d{4}:\d{2}:\d{2}:\d{2} [-+]\d{4}\] ")
bracketed = re.compile(rb"\[[^]]*\]")

def lines_of(path):
    with open(path, "rb") as f:
        lines = f.read().split(b"\n")
    return lines[:-1] if lines[-1] == b"" else lines

def check(lines, same):
    good = bad = 0
    last = -1
    for line in lines:
        m = seq_of.search(line)
        seq = int(m.group(1)) if m else -1
        if seq <= last or seq >= len(sent) or not same(sent[seq], line):
            bad += 1
            continue
        last = seq
        good += 1
    return good, bad

if mode == "plain":
    good, bad = check(lines_of(output), lambda s, o: s == o)
elif mode == "clf":
    good, bad = check(lines_of(output),
                      lambda s, o: clf_time.match(o) and bracketed.sub(b"", s, 1) == bracketed.sub(b"", o, 1))
else:
    good = bad = 0
    for name in os.listdir(output):
        vhost = name.encode()
        g, b = check(lines_of(os.path.join(output, name)), lambda s, o: s == vhost + b" " + o)
        good += g
        bad += b
print(good, bad)
