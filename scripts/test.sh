#!/usr/bin/env bash
# Installs what is missing, configures, builds and runs the default test suite.
# Sanitizer builds and long stress runs carry their own CTest labels and are not part
# of this run (see README).
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/deps.sh
BUILD_DIR=${BUILD_DIR:-build}
cmake -S . -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build "$BUILD_DIR" -j"$(nproc)"
cd "$BUILD_DIR"
ctest --output-on-failure -j"$(nproc)" -LE 'sanitize|stress|netfs'
