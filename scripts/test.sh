#!/usr/bin/env bash
# Builds the package into .venv and runs the test suite. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "test: running the tests" >&2
exec .venv/bin/python -m pytest "$@"
