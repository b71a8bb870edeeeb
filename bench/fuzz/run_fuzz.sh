#!/usr/bin/env bash
# Builds the fuzz targets with clang and libFuzzer (AddressSanitizer and UBSan on) in
# build-fuzz/, and runs each named target (all when none is named) for SECONDS, starting
# from the corpus kept in bench/fuzz/corpus/<target>. New inputs go to a scratch folder;
# with MERGE=1 those that add coverage are merged into the kept corpus afterwards. A
# crash leaves its input in build-fuzz/findings/<target>/. SKIP_BUILD=1 uses the build as
# it is (for several runs at once).
#   bench/fuzz/run_fuzz.sh SECONDS [target...]
#   targets: table filter paradox profile todo logline
set -euo pipefail
cd "$(dirname "$0")/../.."
SECONDS_EACH=${1:?usage: run_fuzz.sh SECONDS [target...]}
shift
TARGETS=${*:-table filter paradox profile todo logline}
bash scripts/deps.sh clang libclang-rt-14-dev
B=build-fuzz
if [ "${SKIP_BUILD:-0}" != 1 ]; then
cmake -S . -B "$B" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCMAKE_CXX_COMPILER=clang++ \
  -DOVRIN_FUZZ=ON -DOVRIN_BUILD_TESTS=OFF >/dev/null
ninja -C "$B" $(for t in $TARGETS; do printf 'fuzz_%s ' "$t"; done) >/dev/null
fi
for t in $TARGETS; do
  work=$B/work/$t findings=$B/findings/$t
  mkdir -p "$work" "$findings"
  echo "== $t: ${SECONDS_EACH} s"
  # Memory files and tables are opened per input; a leak check at every input would cost
  # more than it finds here, so leaks are checked at the end of the run.
  ASAN_OPTIONS=detect_leaks=1 "$B/bench/fuzz/fuzz_$t" "$work" "bench/fuzz/corpus/$t" \
    -max_total_time="$SECONDS_EACH" -max_len=262144 -timeout=20 -rss_limit_mb=2048 \
    -artifact_prefix="$findings/" -print_final_stats=1 2>&1 | tee "$B/$t.log" |
    grep -E "^#[0-9]+ +(DONE|INITED)|stat::number_of_executed_units|ERROR|SUMMARY" || true
  if [ "${MERGE:-0}" = 1 ]; then
    "$B/bench/fuzz/fuzz_$t" -merge=1 "bench/fuzz/corpus/$t" "$work" >/dev/null 2>&1 || true
  fi
done
