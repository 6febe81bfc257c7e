#!/usr/bin/env bash
# Prepares .venv with the newest CPython 3.13 or later (or FERROVANE_PYTHON), the build
# backend and the runtime and test dependencies, then builds and installs the package into
# it. Safe to rerun: the virtual environment is kept and the native build is incremental.
set -euo pipefail
cd "$(dirname "$0")/.."

speaker="setup"
# shellcheck source=scripts/lib/messages.sh
source scripts/lib/messages.sh

# shellcheck source=scripts/lib/venv.sh
source scripts/lib/venv.sh
set_up .venv
