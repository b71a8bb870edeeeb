#!/usr/bin/env bash
# The main job: migrate the bundled sample archive into a fresh new-layout archive.
# Installs what is missing and builds first.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
if [ -x "$BUILD_DIR/cli/hollard-migrate" ]; then
  exec "$BUILD_DIR/cli/hollard-migrate" "$@"
fi
echo "The migration front end is not built yet: this build holds the engine's base layer."
echo "Run 'bash scripts/test.sh' to run its tests."
