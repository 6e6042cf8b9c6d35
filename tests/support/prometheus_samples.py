"""Reads a file in the Prometheus text exposition format with the
prometheus_client library's own parser and prints what it understood, one
line each, for a test to compare:

    F <TAB> family name <TAB> type <TAB> HELP text in hex
    S <TAB> sample name <TAB> value <TAB> label=value in hex <TAB> ...

Text is given as the hex of its UTF-8 bytes, so that any label value
(quotes, backslashes, newlines) comes through unchanged. The file is read
as strict UTF-8. Exit status 1, with the reason on standard error, when
the file cannot be read or parsed.

    /usr/bin/python3 prometheus_samples.py FILE
"""
import sys

from prometheus_client.parser import text_string_to_metric_families


def hexed(text):
    return text.encode("utf-8").hex()


def main():
    try:
        with open(sys.argv[1], encoding="utf-8", errors="strict") as f:
            text = f.read()
        lines = []
        for family in text_string_to_metric_families(text):
            lines.append("F\t%s\t%s\t%s" % (family.name, family.type, hexed(family.documentation)))
            for sample in family.samples:
                value = sample.value
                shown = str(int(value)) if float(value).is_integer() else repr(value)
                labels = ["%s=%s" % (k, hexed(v)) for k, v in sorted(sample.labels.items())]
                lines.append("\t".join(["S", sample.name, shown] + labels))
    except Exception as e:  # the parser raises ValueError and others
        sys.stderr.write("%s: %s\n" % (type(e).__name__, e))
        return 1
    sys.stdout.write("".join(line + "\n" for line in lines))
    return 0


if __name__ == "__main__":
    sys.exit(main())
