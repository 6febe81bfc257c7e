#!/usr/bin/env bash
# Prepares .venv with Python 3.13, the build backend and the runtime and test
# dependencies, then builds and installs the package into it. Safe to rerun:
# the virtual environment is kept and the native build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

die() { echo "setup: $*" >&2; exit 1; }

# shellcheck source=scripts/find_python313.sh
source scripts/find_python313.sh

# Several shells may set up at once (a test run beside a demo): one at a time.
exec 9>"${TMPDIR:-/tmp}/ferrovane-setup-$(id -u)-$(pwd | cksum | cut -d' ' -f1).lock"
command -v flock >/dev/null 2>&1 && flock 9

python313=$(find_python313) || die "Python 3.13 not found. Install it (for example 'pyenv install 3.13' or Debian's python3.13 and python3.13-dev and python3.13-venv), or point PYTHON313 at its interpreter."
"$python313" - <<'PY' || die "Python 3.13 at $python313 has no C headers (Python.h). Install its development package (Debian: python3.13-dev)."
import os, sys, sysconfig
assert sys.version_info[:2] == (3, 13), sys.version
sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)
PY
command -v g++ >/dev/null 2>&1 || die "g++ not found. Install a C++20 compiler (Debian: g++)."

if [ ! -x .venv/bin/python ] || ! .venv/bin/python -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
  rm -rf .venv
  "$python313" -m venv .venv || die "could not create .venv (Debian: install python3.13-venv)."
fi

pip() { .venv/bin/python -m pip --disable-pip-version-check -q "$@"; }
stamp=.venv/.requirements-installed
requirements="scikit-build-core>=0.10 ninja requests urllib3 pytest hypothesis mypy types-requests"
if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$requirements" ]; then
  pip install --upgrade pip || die "could not upgrade pip in .venv."
  # shellcheck disable=SC2086
  pip install $requirements || die "could not install the build and test dependencies from PyPI."
  command -v cmake >/dev/null 2>&1 || pip install "cmake>=3.20" || die "could not install cmake."
  echo "$requirements" > "$stamp"
fi

pip install --no-build-isolation --no-deps . || die "building the native modules failed (see the compiler output above)."
