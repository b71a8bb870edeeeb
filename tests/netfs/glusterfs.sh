#!/usr/bin/env bash
# Tables on a file server, proven on GlusterFS: installs glusterfs-server and
# glusterfs-client, starts glusterd when it is not running, makes a one-brick volume in
# a temporary folder and mounts it twice on this machine (loopback only), as two
# desktops mount one share. Then:
#   0. the cache probe on the volume's and the mount's default settings (figures only),
#      and again with the settings the README asks for (every raise must be kept);
#   1. the file handler's lock cases across the two mounts (netfs_lock_tests);
#   2. the several-users run with its writers and walker split over the two mounts, and
#      the same run on the local disk for comparison;
#   3. a migration into an archive on mount 1 while `hollard-archive dump` reads its
#      tables through mount 2 again and again; then verify and check through mount 2,
#      and the same migration on the local disk for comparison.
# Everything is unmounted, the volume deleted and glusterd stopped (when this script
# started it) afterwards, also on failure. Needs root and /dev/fuse.
#   glusterfs.sh BUILD_DIR        (NETFS_SECONDS: length of each several-users run, 60;
#                                  NETFS_REVISIONS: size of the migrated archive, 1000)
set -euo pipefail

BUILD=$(cd "${1:?usage: glusterfs.sh BUILD_DIR}" && pwd)
SRC=$(cd "$(dirname "$0")/../.." && pwd)
RUN_SECONDS=${NETFS_SECONDS:-60}
REVISIONS=${NETFS_REVISIONS:-1000}
ARCHIVE_TOOL=$BUILD/tools/hollard-archive
MIGRATE_TOOL=$BUILD/cli/hollard-migrate
USERS_RUN=$BUILD/bench/concurrency_bench
for program in "$ARCHIVE_TOOL" "$MIGRATE_TOOL" "$USERS_RUN" "$BUILD/tests/netfs/netfs_lock_tests" \
               "$BUILD/tests/netfs/cache_probe"; do
  [ -x "$program" ] || { echo "netfs: $program is not built (build with the benchmarks on)"; exit 1; }
done
[ "$(id -u)" -eq 0 ] || { echo "netfs: needs root (glusterd and FUSE mounts)"; exit 1; }
[ -e /dev/fuse ] || { echo "netfs: no /dev/fuse on this machine"; exit 1; }

bash "$SRC/scripts/deps.sh" glusterfs-server glusterfs-client

# The brick's host: this machine's name, which must stand for a loopback address
# (glusterd refuses 127.0.0.1 and localhost as brick hosts).
HOST=$(hostname)
ADDRESS=$(getent ahostsv4 "$HOST" | awk 'NR==1 {print $1}')
case "$ADDRESS" in
  127.*) ;;
  *) echo "netfs: $HOST stands for ${ADDRESS:-nothing}, not a loopback address; stopping"; exit 1 ;;
esac

WORK=$(mktemp -d "/tmp/ovrin-netfs-$$-XXXXXX")
VOLUME=ovrin-netfs-$$
M1=$WORK/mount1
M2=$WORK/mount2
mkdir -p "$WORK/brick" "$M1" "$M2" "$WORK/local"
STARTED_GLUSTERD=0
FAILED=0

cleanup() {
  set +e
  for m in "$M1" "$M2"; do
    mountpoint -q "$m" && { umount "$m" 2>/dev/null || umount -l "$m"; }
  done
  if gluster --mode=script volume info "$VOLUME" >/dev/null 2>&1; then
    gluster --mode=script volume stop "$VOLUME" force >/dev/null 2>&1
    gluster --mode=script volume delete "$VOLUME" >/dev/null 2>&1
  fi
  if [ "$STARTED_GLUSTERD" = 1 ]; then
    # Only the daemon this run started: its pid file, never every glusterd.
    [ -s "$WORK/glusterd.pid" ] && kill "$(cat "$WORK/glusterd.pid")" 2>/dev/null
    sleep 1
  fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM HUP PIPE

fail() { echo "NETFS FAILED: $*"; FAILED=1; }

if ! pgrep -x glusterd >/dev/null; then
  glusterd --log-file="$WORK/glusterd.log" --pid-file="$WORK/glusterd.pid"
  STARTED_GLUSTERD=1
fi
for _ in $(seq 60); do gluster --mode=script volume list >/dev/null 2>&1 && break; sleep 0.5; done
# Volumes that an earlier run left behind (a run killed at its time-out cannot clean up):
# their names carry the pid of the run that made them.
for stale in $(gluster --mode=script volume list 2>/dev/null | grep '^ovrin-netfs-' || true); do
  kill -0 "${stale#ovrin-netfs-}" 2>/dev/null && continue
  echo "netfs: removing the volume $stale that an earlier run left"
  for m in $(awk -v v=":/$stale" '$1 ~ v"$" {print $2}' /proc/mounts); do umount "$m" 2>/dev/null || umount -l "$m"; done
  gluster --mode=script volume stop "$stale" force >/dev/null 2>&1 || true
  gluster --mode=script volume delete "$stale" >/dev/null 2>&1 || true
done
for stale in /tmp/ovrin-netfs-*-*; do
  [ -d "$stale" ] || continue
  pid=${stale#/tmp/ovrin-netfs-}; pid=${pid%%-*}
  kill -0 "$pid" 2>/dev/null && continue
  grep -q " $stale/" /proc/mounts || rm -rf "$stale"
done
gluster --mode=script volume create "$VOLUME" "$HOST:$WORK/brick" force >/dev/null
gluster --mode=script volume start "$VOLUME" >/dev/null

mount_both() {
  mount -t glusterfs ${1:+-o "$1"} "$HOST:/$VOLUME" "$M1"
  mount -t glusterfs ${1:+-o "$1"} "$HOST:/$VOLUME" "$M2"
}
unmount_both() { umount "$M1"; umount "$M2"; }

echo "== 0. the cache probe: GlusterFS's default settings"
mount_both ""
"$BUILD/tests/netfs/cache_probe" "$M1/probe" "$M2/probe" 1000
unmount_both

echo "== the settings for tables on a file server: performance translators off, FUSE without cache"
for translator in write-behind quick-read io-cache read-ahead stat-prefetch open-behind readdir-ahead nl-cache; do
  gluster --mode=script volume set "$VOLUME" "performance.$translator" off >/dev/null
done
mount_both "direct-io-mode=enable,attribute-timeout=0,entry-timeout=0,negative-timeout=0"
probe=$("$BUILD/tests/netfs/cache_probe" "$M1/probe" "$M2/probe" 1000)
echo "$probe"
echo "$probe" | grep -q "^plain  *kept 2000 of 2000" || fail "raises were lost with the settings"

echo "== 1. the file handler's lock cases across the two mounts"
OVRIN_NETFS_MOUNTS="$M1:$M2" "$BUILD/tests/netfs/netfs_lock_tests" || fail "lock cases across the mounts"

echo "== 2. several users: 4 writers and a walker for $RUN_SECONDS s, split over the two mounts"
"$USERS_RUN" --seconds "$RUN_SECONDS" --folder "$WORK/users" --mounts "$M1,$M2" || fail "several users on two mounts"
echo "== 2'. the same on the local disk"
"$USERS_RUN" --seconds "$RUN_SECONDS" --folder "$WORK/local/users" || fail "several users on the local disk"

echo "== 3. a migration of $REVISIONS revisions through mount 1 while dump reads through mount 2"
"$ARCHIVE_TOOL" make-source "$WORK/old" --revisions "$REVISIONS" --modules $((REVISIONS / 10 + 1)) \
  --blob-bytes 60000 >/dev/null
"$ARCHIVE_TOOL" create "$M1/new" >/dev/null
start=$(date +%s.%N)
"$MIGRATE_TOOL" "$WORK/old" "$M1/new" --date-format dd.mm.yyyy --quiet > "$WORK/migrate.log" 2>&1 &
migration=$!
tries=0; refused=0; other=0
tables=(revision modules projects blobs labels vcslog)
while kill -0 "$migration" 2>/dev/null; do
  table=${tables[$((tries % ${#tables[@]}))]}
  tries=$((tries + 1))
  if ! "$ARCHIVE_TOOL" dump "$M2/new" "$table" >/dev/null 2>"$WORK/dump.err"; then
    if grep -q "11013\|in use" "$WORK/dump.err"; then refused=$((refused + 1)); else
      other=$((other + 1)); echo "dump of $table: $(head -c 300 "$WORK/dump.err")"; fi
  fi
done
status=0; wait "$migration" || status=$?
end=$(date +%s.%N)
[ "$status" -eq 0 ] || { tail -20 "$WORK/migrate.log"; fail "the migration through mount 1 (exit $status)"; }
echo "migration through mount 1: $(LC_ALL=C awk "BEGIN {printf \"%.1f\", $end - $start}") s; dumps through mount 2: $tries, refused $refused, failed otherwise $other"
[ "$other" -eq 0 ] || fail "dumps failed while the migration ran"
"$ARCHIVE_TOOL" verify "$WORK/old" "$M2/new" --date-format dd.mm.yyyy > "$WORK/verify.log" 2>&1 \
  || { tail -20 "$WORK/verify.log"; fail "verify through mount 2"; }
"$ARCHIVE_TOOL" check "$M2/new" > "$WORK/check.log" 2>&1 || { tail -20 "$WORK/check.log"; fail "check through mount 2"; }
echo "verify and check through mount 2: $(tail -1 "$WORK/verify.log"); $(tail -1 "$WORK/check.log")"
"$ARCHIVE_TOOL" create "$WORK/local/new" >/dev/null
start=$(date +%s.%N)
"$MIGRATE_TOOL" "$WORK/old" "$WORK/local/new" --date-format dd.mm.yyyy --quiet > /dev/null 2>&1 \
  || fail "the migration on the local disk"
end=$(date +%s.%N)
echo "the same migration on the local disk: $(LC_ALL=C awk "BEGIN {printf \"%.1f\", $end - $start}") s"

if [ "$FAILED" -ne 0 ]; then echo "netfs: FAILED"; exit 1; fi
echo "netfs: everything held"
