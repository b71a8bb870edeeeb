#!/usr/bin/env bash
# Installs the Debian packages the project builds and tests with, when any is missing.
# Safe to run again: it asks apt only when something is not installed yet. Packages
# named as arguments are wanted too (the fuzzing and profiling scripts name theirs).
set -euo pipefail

PACKAGES=(
  g++ cmake ninja-build pkg-config
  libgtest-dev libgmock-dev libbenchmark-dev
  libicu-dev pxlib-dev libcli11-dev nlohmann-json3-dev qt6-base-dev
  libsqlite3-dev liblmdb-dev
  "$@"
)

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "Installing missing packages: ${missing[*]}"
  SUDO=""
  if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
  export DEBIAN_FRONTEND=noninteractive
  $SUDO apt-get update -qq
  $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
fi

# Locales the tests run under besides C.UTF-8: a Turkish one (its dotted and dotless i
# break locale-dependent case mapping) and a German one. The tests set ICU's default
# locale themselves and need these only for the C library's side.
for l in tr_TR de_DE; do
  if ! locale -a 2>/dev/null | grep -qi "^${l}\.utf-\?8$" && [ -e "/usr/share/i18n/locales/$l" ]; then
    SUDO=""
    if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
    $SUDO localedef -i "$l" -f UTF-8 "$l.UTF-8"
  fi
done
