#!/usr/bin/env bash
# Runs the five peer workloads for our engine, SQLite and LMDB and prints one Markdown
# table: the median of RUNS runs of each program's own timer, and the ratio to the best
# of the peers' modes that write each commit through at once (sqlite:wal, lmdb:nosync).
#   bench/peers/run_peers.sh [N]      (N revisions, default 100000; build first)
# Environment: RUNS=3, BUILD_DIR=build, WORK=a scratch folder (default: a temporary one).
set -euo pipefail
cd "$(dirname "$0")/../.."
N=${1:-100000}
RUNS=${RUNS:-3}
BIN=${BUILD_DIR:-build}/bench
WORK=${WORK:-$(mktemp -d)}
MODES="ovrin:shared ovrin:exclusive sqlite:wal lmdb:nosync"
ANCHORS="sqlite:wal lmdb:nosync"

# run MODE WORKLOAD DIR: the median "secs" of RUNS runs (the folder made afresh for writes).
run() {
  local peer=${1%%:*} mode=${1#*:} workload=$2 dir=$3 secs=()
  for _ in $(seq "$RUNS"); do
    case $workload in append|blobs|reopen) rm -rf "$dir" ;; esac
    secs+=("$("$BIN/peer_$peer" --mode "$mode" --dir "$dir" --workload "$workload" --n "$N" |
      tr ' ' '\n' | sed -n 's/^secs=//p')")
  done
  printf '%s\n' "${secs[@]}" | sort -g | awk '{a[NR] = $1} END {print a[int((NR + 1) / 2)]}'
}

declare -A T
for m in $MODES; do
  [ -x "$BIN/peer_${m%%:*}" ] || continue
  d=$WORK/${m/:/-}
  T[$m,W1]=$(run "$m" append "$d")
  T[$m,W3]=$(run "$m" scan "$d")
  T[$m,W4walk]=$(run "$m" lookup-walk "$d")
  T[$m,W4seek]=$(run "$m" lookup-seek "$d")
  T[$m,W2]=$(run "$m" blobs "$d-blobs")
  T[$m,W5]=$(run "$m" reopen "$d-reopen")
done
# The blob yardstick: the same bytes with one plain write() each.
if [ -x "$BIN/peer_plain" ]; then
  T[plain,W2]=$(run plain:write blobs "$WORK/plain-blobs")
fi
echo "N=$N revisions; median of $RUNS runs; seconds (ratio to the best of: $ANCHORS)"
echo
echo "| workload | $(echo $MODES | sed 's/ / | /g') |"
echo "|---|$(for _ in $MODES; do printf -- '---|'; done)"
for w in W1 W2 W3 W4walk W4seek W5; do
  best=""
  for a in $ANCHORS; do
    v=${T[$a,$w]:-}
    [ -n "$v" ] && { [ -z "$best" ] || awk -v x="$v" -v y="$best" 'BEGIN {exit !(x < y)}'; } && best=$v
  done
  row="| $w |"
  for m in $MODES; do
    v=${T[$m,$w]:-}
    if [ -z "$v" ]; then row+=" - |"; continue; fi
    row+=$(awk -v v="$v" -v b="$best" 'BEGIN {if (b > 0) printf " %.3f (%.2f) |", v, v / b; else printf " %.3f |", v}')
  done
  echo "$row"
done
if [ -n "${T[plain,W2]:-}" ]; then
  echo
  echo "W2 yardstick, plain write() of the same bytes: ${T[plain,W2]} s;" \
    "blob appends at $(awk -v p="${T[plain,W2]}" -v s="${T[ovrin:shared,W2]:-0}" -v e="${T[ovrin:exclusive,W2]:-0}" \
      'BEGIN {if (s > 0 && e > 0) printf "%.0f%% (shared) and %.0f%% (exclusive)", 100 * p / s, 100 * p / e}') of its speed"
fi
