#!/usr/bin/env bash
# Instruction counts of W1 (append N revision records, each its own post) for every peer
# mode, from callgrind: the whole program's instructions (Ir) and per record.
#   bench/peers/callgrind_w1.sh [N]      (default 10000; build first; needs valgrind)
set -euo pipefail
cd "$(dirname "$0")/../.."
N=${1:-10000}
BIN=${BUILD_DIR:-build}/bench
WORK=$(mktemp -d)
trap 'rm -rf "$WORK"' EXIT
bash scripts/deps.sh valgrind
echo "W1, N=$N: instructions executed (callgrind Ir)"
echo
echo "| mode | instructions | per record |"
echo "|---|---|---|"
for m in ovrin:shared ovrin:exclusive sqlite:wal lmdb:nosync; do
  peer=${m%%:*} mode=${m#*:}
  [ -x "$BIN/peer_$peer" ] || continue
  dir=$WORK/${peer}-${mode}
  valgrind --tool=callgrind --callgrind-out-file="$WORK/out" "$BIN/peer_$peer" --mode "$mode" --dir "$dir" \
    --workload append --n "$N" >/dev/null 2>"$WORK/log"
  ir=$(sed -n 's/.*Collected : \([0-9]*\).*/\1/p' "$WORK/log")
  awk -v m="$m" -v ir="$ir" -v n="$N" 'BEGIN {printf "| %s | %d | %d |\n", m, ir, ir / n}'
done
