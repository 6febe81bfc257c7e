#!/usr/bin/env bash
# Prepares .venv with Python 3.13, the build backend and the runtime and test
# dependencies, then builds and installs the package into it. Safe to rerun:
# the virtual environment is kept and the native build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

die() { echo "setup: $*" >&2; exit 1; }
say() { echo "setup: $*" >&2; }

# shellcheck source=scripts/venv.sh
source scripts/venv.sh

# Several shells may set up at once (a test run beside a demo): one at a time.
exec 9>"${TMPDIR:-/tmp}/ferrovane-setup-$(id -u)-$(pwd | cksum | cut -d' ' -f1).lock"
command -v flock >/dev/null 2>&1 && flock 9

prepare_venv .venv "scikit-build-core>=1.0 ninja requests urllib3 pytest hypothesis mypy types-requests"
say "building the package and installing it into .venv"
venv_pip .venv install --no-build-isolation --no-deps . || die "building the native modules failed (see the compiler output above)."
