#!/usr/bin/env bash
# The main job: make a small old-layout archive and an empty new-layout archive with the
# generators, and migrate the one into the other with the bundled answers file, printing
# the run's log and summary; then prove the migration with hollard-archive verify.
# Installs what is missing and builds first.
# Extra arguments go to hollard-migrate (for example --dry-run or --interactive).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
# Only the two programs the demo runs (the test command builds everything).
cmake --build "$BUILD_DIR" -j"$(nproc)" --target hollard-archive hollard-migrate
DEMO="$BUILD_DIR/demo"
rm -rf "$DEMO"
"$BUILD_DIR/tools/hollard-archive" make-source "$DEMO/old" --seed 1
"$BUILD_DIR/tools/hollard-archive" create "$DEMO/new"
answers=(--answers scripts/demo-answers.json)
dry=0
for a in "$@"; do
  [ "$a" = "--interactive" ] && answers=()
  [ "$a" = "--dry-run" ] && dry=1
done
# The archive's date format is found from its texts (the log names it and why).
"$BUILD_DIR/cli/hollard-migrate" "$DEMO/old" "$DEMO/new" "${answers[@]}" --report "$DEMO/report.json" "$@"
# A dry run leaves the target as it was: nothing to verify then.
[ "$dry" = 1 ] && exit 0
echo
echo "Verifying the migration:"
exec "$BUILD_DIR/tools/hollard-archive" verify "$DEMO/old" "$DEMO/new"
