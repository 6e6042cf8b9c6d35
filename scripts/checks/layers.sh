#!/usr/bin/env bash
# Checks the layering of the sources: a file may include files of its own
# module and of modules below it, never of a module above it.
#
#   1  skiplist/                              the ordered container
#   1  spread/                                the Spread client library
#   2  config/                                the configuration model, dated
#                                             file name patterns, and the
#                                             reader of the file into the model
#   3  output/                                the outputs, and config_load: the
#                                             file read, then its outputs opened
#   4  daemon/                                the daemon
#   5  tools/                                 minispread, spcat, wickerpost-check
#   6  bench/, tests/                         benchmarks and tests
#
# skiplist and spread stand side by side: neither includes the other.
# Fails with one line per include that runs upward, or that names a file
# of the tree this map does not know.
set -euo pipefail
cd "$(dirname "$0")/../.."

# module NAME RANK of a path from the root; nothing for an unknown path.
module_of() {
  case "$1" in
    skiplist/*) echo "skiplist 1" ;;
    spread/*) echo "spread 1" ;;
    config/*) echo "config 2" ;;
    output/*) echo "output 3" ;;
    daemon/*) echo "daemon 4" ;;
    tools/*) echo "tools 5" ;;
    bench/* | tests/*) echo "top 6" ;;
  esac
}

# The file a quoted include names: beside the including file, else from the
# root; the parser's generated header is the grammar's.
resolve() {
  local from=$1 name=$2
  local dir
  dir=$(dirname "$from")
  if [ "$name" = parser.hpp ]; then
    echo config/parser.y
  elif [ -e "$dir/$name" ]; then
    realpath -m --relative-to=. "$dir/$name"
  elif [ -e "$name" ]; then
    echo "$name"
  fi
}

failures=0
while IFS= read -r file; do
  read -r from_module from_rank < <(module_of "$file")
  while IFS= read -r name; do
    target=$(resolve "$file" "$name")
    if [ -z "$target" ]; then
      echo "layers: $file includes \"$name\", which is no file of the tree"
      failures=$((failures + 1))
      continue
    fi
    to=$(module_of "$target")
    if [ -z "$to" ]; then
      echo "layers: $file includes $target, which is on no layer"
      failures=$((failures + 1))
      continue
    fi
    read -r to_module to_rank <<<"$to"
    if [ "$to_module" != "$from_module" ] && [ "$to_rank" -ge "$from_rank" ]; then
      echo "layers: $file includes $target: $from_module ($from_rank) may not include $to_module ($to_rank)"
      failures=$((failures + 1))
    fi
  done < <(sed -n 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*"\([^"]*\)".*/\1/p' "$file")
done < <(find skiplist spread config output daemon tools bench tests -type f \
           \( -name '*.h' -o -name '*.hpp' -o -name '*.c' -o -name '*.cpp' -o -name '*.y' -o -name '*.l' \) | sort)

if [ "$failures" -gt 0 ]; then
  echo "layers: $failures include(s) against the layering"
  exit 1
fi
echo "layers: every include stays within its module or goes down"
