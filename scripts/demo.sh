#!/usr/bin/env bash
# Builds the package into .venv and runs the demo tour against a local stand-in server.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/setup.sh
echo "demo: running the tour" >&2
exec .venv/bin/python -m ferrovane.sdk.demo "$@"
