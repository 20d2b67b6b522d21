#!/usr/bin/env bash
# Builds the engine fuzz target (clang, libFuzzer, ASan+UBSan) in build/fuzz and runs it.
#
# Usage: bash fuzz/run.sh [SECONDS] [LIBFUZZER_ARGS...]
#   SECONDS          how long to fuzz (default 60; CI uses the default)
#   LIBFUZZER_ARGS   passed on, e.g. -runs=0 to replay the corpus only
#
# Environment:
#   FUZZ_JOBS   run this many fuzzing processes side by side (default 1); with more than
#               one, a finding is saved and the run goes on instead of stopping
#
# The seeds in fuzz/corpus are read, never written; what the run learns goes into
# build/fuzz/corpus and is kept for the next run. A finding is written to
# build/fuzz/findings/ and the script exits non-zero. Replay one with
#   build/fuzz/engine_fuzz build/fuzz/findings/crash-...
# and keep it as a regression seed by copying it into fuzz/corpus under a telling name
# (the engine tests replay every seed, see the fuzz_corpus test).
#
# For a long run, for example an hour on four cores:
#   FUZZ_JOBS=4 bash fuzz/run.sh 3600
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

usage() { awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; }

SECONDS_BUDGET=60
if (($# > 0)); then
  case "$1" in
    -h | --help)
      usage
      exit 0
      ;;
  esac
  if [[ ! "$1" =~ ^[0-9]+$ ]]; then
    echo "fuzz/run.sh: SECONDS must be a whole number of seconds, not '$1'" >&2
    usage >&2
    exit 2
  fi
  SECONDS_BUDGET="$1"
  shift
fi
JOBS="${FUZZ_JOBS:-1}"

bash "$ROOT/scripts/bootstrap.sh" --fuzz

CMAKE="$ROOT/.venv/bin/cmake"
export PATH="$ROOT/.venv/bin:$PATH"
BUILD="$ROOT/build/fuzz"

# A tree configured from another checkout or with another compiler cannot be reused.
if [[ -f "$BUILD/CMakeCache.txt" ]] &&
  ! grep -qx "CMAKE_HOME_DIRECTORY:INTERNAL=$ROOT" "$BUILD/CMakeCache.txt"; then
  rm -rf "$BUILD"
fi
CC=clang CXX=clang++ "$CMAKE" -S "$ROOT" -B "$BUILD" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUERNLET_FUZZ=ON -DQUERNLET_BUILD_TESTS=OFF \
  -DQUERNLET_WERROR=OFF >/dev/null
"$CMAKE" --build "$BUILD" --target engine_fuzz --parallel "$(nproc 2>/dev/null || echo 2)"

mkdir -p "$BUILD/corpus" "$BUILD/findings"
args=(
  -max_total_time="$SECONDS_BUDGET"
  # A grammar over a text of a few KiB answers in milliseconds; ten seconds is a hang.
  -timeout=10
  -rss_limit_mb=3072
  -max_len=2048
  -len_control=20
  -print_final_stats=1
  -artifact_prefix="$BUILD/findings/"
)
if ((JOBS > 1)); then
  args+=(-fork="$JOBS" -ignore_crashes=1 -ignore_timeouts=1 -ignore_ooms=1)
fi

export ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}"
export UBSAN_OPTIONS="${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}"
status=0
"$BUILD/engine_fuzz" "${args[@]}" "$@" "$BUILD/corpus" "$ROOT/fuzz/corpus" || status=$?

shopt -s nullglob
findings=("$BUILD"/findings/*)
if ((status != 0 || ${#findings[@]} > 0)); then
  echo "fuzzing found a fault (exit $status); inputs kept in $BUILD/findings:" >&2
  printf '  %s\n' "${findings[@]}" >&2
  exit 1
fi
echo "fuzzing: no findings in ${SECONDS_BUDGET}s"
