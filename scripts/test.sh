#!/usr/bin/env bash
# Runs the whole quernlet test suite:
#   1. engine tests (GoogleTest via ctest), release build in build/native
#   2. the Python module installed into .venv, pytest over tests/python
#   3. both again built with AddressSanitizer + UndefinedBehaviorSanitizer (build/asan)
#   4. the engine fuzz target for a minute (clang, libFuzzer, ASan+UBSan; fuzz/run.sh)
#   5. clang-format check of the C++ sources
#
# Usage: bash scripts/test.sh [--quick]
#   --quick   skip the sanitizer pass and the fuzzing
#
# Environment:
#   QUERNLET_FUZZ_SECONDS  how long the fuzzing step runs (default 60)
set -euo pipefail

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

QUICK=0
for arg in "$@"; do
  case "$arg" in
    --quick) QUICK=1 ;;
    -h | --help)
      awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"
      exit 0
      ;;
    *)
      echo "unknown argument: $arg (try --help)" >&2
      exit 2
      ;;
  esac
done

START=$(date +%s)
STEP_START=$START
step() {
  local now
  now=$(date +%s)
  printf '\n==== [%4ss] %s\n' "$((now - START))" "$*"
  STEP_START=$now
}
note() { printf '  -- %s\n' "$*"; }
step_done() { note "took $(($(date +%s) - STEP_START))s"; }

have_files() { compgen -G "$1" >/dev/null; }

step "bootstrap"
bash "$ROOT/scripts/bootstrap.sh"

VENV="$ROOT/.venv"
PY="$VENV/bin/python"
CMAKE="$VENV/bin/cmake"
export PATH="$VENV/bin:$PATH"
export PIP_DISABLE_PIP_VERSION_CHECK=1
JOBS="$(nproc 2>/dev/null || echo 2)"
export CMAKE_BUILD_PARALLEL_LEVEL="$JOBS"

HAVE_ENGINE=0 HAVE_MODULE=0 HAVE_ENGINE_TESTS=0 HAVE_PY_TESTS=0
have_files 'src/elements/*.cpp' && HAVE_ENGINE=1
((HAVE_ENGINE)) && have_files 'src/lib/*/*.cpp' && HAVE_MODULE=1
((HAVE_ENGINE)) && have_files 'tests/elements/*.cpp' && HAVE_ENGINE_TESTS=1
[[ -d tests/python ]] &&
  [[ -n "$(find tests/python \( -name 'test_*.py' -o -name '*_test.py' \) -print -quit)" ]] &&
  HAVE_PY_TESTS=1

# A build tree configured from another checkout, or with another generator, cannot be reused.
drop_stale_tree() {
  local dir="$1" cache="$1/CMakeCache.txt"
  [[ -f "$cache" ]] || return 0
  local home gen
  home="$(sed -n 's/^CMAKE_HOME_DIRECTORY:INTERNAL=//p' "$cache")"
  gen="$(sed -n 's/^CMAKE_GENERATOR:INTERNAL=//p' "$cache")"
  if [[ "$home" != "$ROOT" || ( -n "$2" && "$gen" != "$2" ) ]]; then
    note "removing stale build tree $dir"
    rm -rf "$dir"
  fi
}

configure_and_build() {
  local dir="$1"
  shift
  drop_stale_tree "$dir" Ninja
  "$CMAKE" -S "$ROOT" -B "$dir" -G Ninja \
    -DPython_EXECUTABLE="$PY" \
    -DQUERNLET_BUILD_TESTS=ON \
    "$@"
  "$CMAKE" --build "$dir" --parallel "$JOBS"
}

run_ctest() {
  local dir="$1"
  if ((HAVE_ENGINE_TESTS)); then
    "$VENV/bin/ctest" --test-dir "$dir" --output-on-failure --no-tests=error --timeout 600 \
      -j "$JOBS"
  else
    note "no tests/elements/*.cpp yet; engine tests skipped"
  fi
}

run_pytest() {
  if ((HAVE_PY_TESTS)); then
    "$PY" -m pytest -q "$@" tests/python
  else
    note "no tests/python/test_*.py yet; Python tests skipped"
  fi
}

# ---------------------------------------------------------------------------
step "engine: release build (build/native) + ctest"
if ((HAVE_ENGINE)); then
  configure_and_build build/native -DCMAKE_BUILD_TYPE=Release -DQUERNLET_SANITIZE=OFF
  run_ctest build/native
else
  note "no src/elements/*.cpp yet; skipped"
fi
step_done

# ---------------------------------------------------------------------------
step "python: pip install . into .venv + pytest"
if ((HAVE_MODULE)); then
  for d in build/cp3*; do
    [[ -d "$d" ]] && drop_stale_tree "$d" ""
  done
  # Warnings are errors here, as in every development build (a user's install keeps them off).
  "$PY" -m pip install --no-build-isolation --config-settings=cmake.define.QUERNLET_WERROR=ON .
  # Import from outside the source tree to be sure the installed module is the one found.
  (cd / && "$PY" -c 'import quernlet, sys; print("  -- imported", quernlet.__file__)')
  run_pytest
else
  note "no src/lib/*/*.cpp yet; skipped"
fi
step_done

# ---------------------------------------------------------------------------
if ((QUICK)); then
  step "sanitizers: skipped (--quick)"
elif ((HAVE_ENGINE)); then
  step "sanitizers: ASan+UBSan build (build/asan) + ctest"
  # Instrumented frames are several times larger; give deep-nesting tests the same
  # headroom they have in the release build (threads inherit this as their default too).
  ulimit -S -s 65536 2>/dev/null || note "could not raise the stack limit (now $(ulimit -s))"
  configure_and_build build/asan -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQUERNLET_SANITIZE=ON
  (
    export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1"
    export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
    run_ctest build/asan
  )
  step_done

  step "sanitizers: pytest against the ASan+UBSan module"
  if ((HAVE_MODULE)); then
    shopt -s nullglob
    mods=(build/asan/python/quernlet*.so)
    shopt -u nullglob
    ((${#mods[@]} == 1)) || { echo "expected one module in build/asan/python, found ${#mods[@]}" >&2; exit 1; }
    # The interpreter itself is not instrumented, so the sanitizer runtimes the module was
    # linked against must be loaded first, ahead of everything else: libasan before libubsan.
    preload=""
    for lib in libasan libubsan; do
      path="$(ldd "${mods[0]}" | awk -v l="$lib" 'index($1, l) == 1 { print $3; exit }')"
      if [[ -z "$path" ]]; then
        path="$(${CXX:-g++} -print-file-name="$lib.so")"
      fi
      [[ -e "$path" ]] || { echo "cannot locate $lib for LD_PRELOAD" >&2; exit 1; }
      preload="${preload:+$preload:}$path"
    done
    note "LD_PRELOAD=$preload"
    (
      export LD_PRELOAD="$preload"
      export PYTHONPATH="$ROOT/build/asan/python${PYTHONPATH:+:$PYTHONPATH}"
      # CPython leaks by design at exit, so leak checking stays off here.
      export ASAN_OPTIONS="detect_leaks=0:abort_on_error=1"
      export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1"
      # Route Python object allocations through malloc so ASan sees them too.
      export PYTHONMALLOC=malloc
      # Lets tests cut expensive example counts when running instrumented.
      export QUERNLET_SANITIZED=1
      where="$(cd / && "$PY" -c 'import quernlet; print(quernlet.__file__)')"
      note "imported $where"
      [[ "$where" == "$ROOT/build/asan/python/"* ]] || {
        echo "sanitized module was not the one imported" >&2
        exit 1
      }
      # Capture at the sys level only: a sanitizer report is written straight to fd 2 just
      # before the process aborts, and fd-level capture would swallow it.
      run_pytest --capture=sys
    )
  else
    note "no src/lib/*/*.cpp yet; skipped"
  fi
  step_done
else
  step "sanitizers: no src/elements/*.cpp yet; skipped"
fi

# ---------------------------------------------------------------------------
if ((QUICK)); then
  step "fuzzing: skipped (--quick)"
elif ((HAVE_ENGINE)); then
  fuzz_seconds="${QUERNLET_FUZZ_SECONDS:-60}"
  step "fuzzing: engine target, ${fuzz_seconds}s (build/fuzz)"
  bash "$ROOT/fuzz/run.sh" "$fuzz_seconds"
  step_done
fi

# ---------------------------------------------------------------------------
step "clang-format check"
format_files=()
for dir in src tests/elements fuzz; do
  [[ -d "$dir" ]] || continue
  while IFS= read -r -d '' f; do
    format_files+=("$f")
  done < <(find "$dir" -type f \( -name '*.cpp' -o -name '*.cc' -o -name '*.h' -o -name '*.hpp' -o -name '*.inc' \) -print0 | sort -z)
done
shopt -s nullglob
format_files+=(bench/*.cpp)
shopt -u nullglob
CLANG_FORMAT="$VENV/bin/clang-format"
[[ -x "$CLANG_FORMAT" ]] || CLANG_FORMAT="$(command -v clang-format)"
if ((${#format_files[@]} > 0)); then
  note "$("$CLANG_FORMAT" --version) over ${#format_files[@]} files"
  "$CLANG_FORMAT" --dry-run --Werror "${format_files[@]}"
  note "formatting clean"
else
  note "no C++ sources yet; skipped"
fi

step "all passed in $(($(date +%s) - START))s"
