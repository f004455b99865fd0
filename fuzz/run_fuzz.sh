#!/bin/sh
# Runs every fuzz target of a VDX_FUZZ build for a bounded time, at most half the cores at once
# (FUZZ_JOBS overrides), over the seed corpora (made into BUILD/seeds by make_seeds.sh) and
# a working corpus kept in BUILD/corpus. Inputs that crash, leak, hang or break a target's
# checks are kept in BUILD/findings; the run then fails and lists them.
#   run_fuzz.sh BUILD SECONDS [TARGET...]
set -u
BUILD=${1:?usage: run_fuzz.sh BUILD SECONDS [TARGET...]}
SECONDS_EACH=${2:?usage: run_fuzz.sh BUILD SECONDS [TARGET...]}
shift 2
HERE=$(cd "$(dirname "$0")" && pwd)
BUILD=$(cd "$BUILD" && pwd)
if [ $# -gt 0 ]; then TARGETS="$*"; else TARGETS=$(cd "$BUILD/fuzz" && ls *_fuzz 2>/dev/null); fi
[ -n "$TARGETS" ] || { echo "no fuzz targets in $BUILD/fuzz"; exit 1; }
CORES=$(nproc 2>/dev/null || echo 2)
JOBS=${FUZZ_JOBS:-$(( CORES / 2 ))}
[ "$JOBS" -ge 1 ] || JOBS=1
# Fresh seeds every run, so that seeds added to make_seeds.sh are used at once.
rm -rf "$BUILD/seeds"
sh "$HERE/make_seeds.sh" "$BUILD/seeds" || exit 1
mkdir -p "$BUILD/findings" "$BUILD/logs"
FUZZ_TMP=$(mktemp -d "${TMPDIR:-/tmp}/vdxfuzzrun.XXXXXX")
trap 'rm -rf "$FUZZ_TMP"' EXIT

run_one() {
  t=$1
  mkdir -p "$BUILD/corpus/$t" "$BUILD/seeds/$t"
  # Each target gets a temporary directory of its own, removed with it.
  FUZZ_TMPDIR="$FUZZ_TMP" "$BUILD/fuzz/$t" -max_total_time="$SECONDS_EACH" -timeout=30 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$BUILD/findings/$t-" \
    "$BUILD/corpus/$t" "$BUILD/seeds/$t" > "$BUILD/logs/$t.log" 2>&1
  rc=$?
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$BUILD/logs/$t.log" | tail -1)
  if [ $rc -eq 0 ]; then echo "$t: ${runs:-?} runs, no finding"; else echo "$t: FINDING after ${runs:-?} runs (exit $rc), see $BUILD/logs/$t.log"; fi
  return $rc
}

failed=0
running=0
pids=""
for t in $TARGETS; do
  [ -x "$BUILD/fuzz/$t" ] || { echo "$t: not built"; failed=1; continue; }
  run_one "$t" &
  pids="$pids $!"
  running=$((running + 1))
  if [ $running -ge "$JOBS" ]; then
    for p in $pids; do wait "$p" || failed=1; done
    pids=""
    running=0
  fi
done
for p in $pids; do wait "$p" || failed=1; done
if [ $failed -ne 0 ]; then
  echo "Fuzz findings (each must become a regression fixture of the test suite):"
  ls -1 "$BUILD/findings"
  exit 1
fi
