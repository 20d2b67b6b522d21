#!/usr/bin/env bash
# Installs what quernlet needs to build and test, and creates .venv.
# Safe to run repeatedly: it only installs what is missing.
#
# Usage: bash scripts/bootstrap.sh [--fuzz]
#   --fuzz  also install clang and its libFuzzer runtime (for fuzz/run.sh)
#
# Environment:
#   QUERNLET_PYTHON  use this python3.13 instead of searching for one.
set -euo pipefail

WANT_FUZZ=0
for arg in "$@"; do
  case "$arg" in
    --fuzz) WANT_FUZZ=1 ;;
    *)
      printf '[bootstrap] unknown argument: %s\n' "$arg" >&2
      exit 2
      ;;
  esac
done

ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
cd "$ROOT"

log() { printf '[bootstrap] %s\n' "$*"; }
die() { printf '[bootstrap] ERROR: %s\n' "$*" >&2; exit 1; }

# Python tools installed into .venv. Pinned so every machine gets the same
# toolchain; clang-format is pinned to the version the sources are formatted with.
PY_REQUIREMENTS=(
  "scikit-build-core==1.1.2"
  "cmake==4.4.5"
  "ninja==1.13.2"
  "pytest==9.2.0"
  "hypothesis==6.170.27"
  "numpy==2.5.5"
  "clang-format==14.0.6"
)

# ---------------------------------------------------------------------------
# Privileges for apt.
# ---------------------------------------------------------------------------
SUDO=()
if [[ $(id -u) -ne 0 ]]; then
  if command -v sudo >/dev/null 2>&1; then
    SUDO=(sudo)
  fi
fi

APT_UPDATED=0
apt_install() {
  (($# > 0)) || return 0
  command -v apt-get >/dev/null 2>&1 || die "apt-get not found; install these by hand: $*"
  if [[ $(id -u) -ne 0 && ${#SUDO[@]} -eq 0 ]]; then
    die "not root and no sudo; install these by hand: $*"
  fi
  if ((APT_UPDATED == 0)); then
    log "apt-get update"
    "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -q
    APT_UPDATED=1
  fi
  log "apt-get install $*"
  "${SUDO[@]}" env DEBIAN_FRONTEND=noninteractive \
    apt-get install -y -q --no-install-recommends "$@"
}

pkg_installed() {
  dpkg-query -W -f='${Status}' "$1" 2>/dev/null | grep -q '^install ok installed$'
}

# ---------------------------------------------------------------------------
# System packages.
# ---------------------------------------------------------------------------
SYSTEM_PACKAGES=(build-essential g++ pkg-config libre2-dev libgtest-dev ninja-build clang-format)
# The distribution's default clang and the compiler runtime of the same version, which
# holds libFuzzer (both names follow the default version on Debian 12 and 13).
((WANT_FUZZ)) && SYSTEM_PACKAGES+=(clang libclang-rt-dev)
missing=()
if command -v dpkg-query >/dev/null 2>&1; then
  for p in "${SYSTEM_PACKAGES[@]}"; do
    pkg_installed "$p" || missing+=("$p")
  done
else
  log "dpkg not found; assuming system packages are present"
fi
if ((${#missing[@]} > 0)); then
  apt_install "${missing[@]}"
else
  log "system packages present: ${SYSTEM_PACKAGES[*]}"
fi

# ---------------------------------------------------------------------------
# Locate CPython 3.13 (regular GIL build, not free-threaded).
# ---------------------------------------------------------------------------
is_py313() {
  [[ -n "$1" && -x "$1" ]] || return 1
  "$1" - <<'EOF' >/dev/null 2>&1
import sys, sysconfig
assert sys.implementation.name == "cpython"
assert sys.version_info[:2] == (3, 13)
assert not sysconfig.get_config_var("Py_GIL_DISABLED")
EOF
}

find_python() {
  local candidates=()
  if [[ -n "${QUERNLET_PYTHON:-}" ]]; then
    candidates+=("$QUERNLET_PYTHON")
  fi
  candidates+=("$(command -v python3.13 2>/dev/null || true)")
  local roots=() proot
  if command -v pyenv >/dev/null 2>&1; then
    proot="$(pyenv root 2>/dev/null || true)"
    [[ -n "$proot" ]] && roots+=("$proot")
  fi
  roots+=("${HOME:-/root}/.pyenv" /root/.pyenv)
  local found=()
  # Newest 3.13.x first.
  mapfile -t found < <(for r in "${roots[@]}"; do
    for p in "$r"/versions/3.13*/bin/python3.13; do
      [[ -e "$p" ]] && printf '%s\n' "$p"
    done
  done | sort -rV)
  candidates+=("${found[@]}" /usr/local/bin/python3.13 /usr/bin/python3.13)
  local c
  for c in "${candidates[@]}"; do
    if is_py313 "$c"; then
      printf '%s\n' "$c"
      return 0
    fi
  done
  return 1
}

debian_codename() {
  if [[ -r /etc/os-release ]]; then
    # shellcheck disable=SC1091
    (. /etc/os-release && printf '%s' "${VERSION_CODENAME:-}")
  fi
}

PYTHON="$(find_python || true)"
if [[ -z "$PYTHON" ]]; then
  log "no python3.13 found; trying the distribution packages"
  if command -v apt-cache >/dev/null 2>&1; then
    apt_install python3.13 python3.13-venv python3.13-dev || true
  fi
  PYTHON="$(find_python || true)"
  [[ -n "$PYTHON" ]] || die "CPython 3.13 is required but none was found. \
Debian $(debian_codename) has no python3.13 package (Debian 13 does); install CPython 3.13 \
(for example with pyenv) or set QUERNLET_PYTHON=/path/to/python3.13."
fi
log "python: $PYTHON ($("$PYTHON" -c 'import sys; print(sys.version.split()[0])'))"

# A distribution python3.13 needs its -dev (headers) and -venv (ensurepip) packages.
has_headers() {
  "$1" -c 'import os, sysconfig, sys; sys.exit(not os.path.exists(os.path.join(sysconfig.get_path("include"), "Python.h")))' 2>/dev/null
}
has_venv() {
  "$1" -c 'import ensurepip, venv' >/dev/null 2>&1
}
if ! has_headers "$PYTHON" || ! has_venv "$PYTHON"; then
  if [[ "$PYTHON" == /usr/bin/* ]]; then
    apt_install python3.13-dev python3.13-venv
  fi
  has_headers "$PYTHON" || die "$PYTHON has no C headers (Python.h); install its development files"
  has_venv "$PYTHON" || die "$PYTHON cannot create virtual environments; install its venv module"
fi

# ---------------------------------------------------------------------------
# Virtual environment.
# ---------------------------------------------------------------------------
VENV="$ROOT/.venv"
if [[ -d "$VENV" ]]; then
  # A venv moved or copied from elsewhere keeps the old paths in its scripts.
  if ! is_py313 "$VENV/bin/python" || [[ "$(head -n 1 "$VENV/bin/pip" 2>/dev/null)" != "#!$VENV/bin/"* ]]; then
    log "existing .venv is not a working CPython 3.13 environment for this checkout; recreating it"
    rm -rf "$VENV"
  fi
fi
if [[ ! -d "$VENV" ]]; then
  log "creating .venv with $PYTHON"
  "$PYTHON" -m venv "$VENV"
else
  log ".venv present"
fi

STAMP="$VENV/.quernlet-requirements"
want="$(printf '%s\n' "${PY_REQUIREMENTS[@]}")"
if [[ -f "$STAMP" && "$(cat "$STAMP")" == "$want" ]]; then
  log "python tools up to date: ${PY_REQUIREMENTS[*]}"
else
  export PIP_DISABLE_PIP_VERSION_CHECK=1
  log "upgrading pip"
  "$VENV/bin/python" -m pip install -q --upgrade pip
  log "installing ${PY_REQUIREMENTS[*]}"
  "$VENV/bin/python" -m pip install -q "${PY_REQUIREMENTS[@]}"
  printf '%s\n' "$want" >"$STAMP"
fi

log "done"
