#!/usr/bin/env bash
# Prepares .venv with the newest CPython 3.13 or later (or FERROVANE_PYTHON), the build
# backend and the runtime and test dependencies, then builds and installs the package into
# it. Safe to rerun: the virtual environment is kept and the native build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

die() { echo "setup: $*" >&2; exit 1; }
say() { echo "setup: $*" >&2; }

# shellcheck source=scripts/lib/venv.sh
source scripts/lib/venv.sh
set_up .venv
