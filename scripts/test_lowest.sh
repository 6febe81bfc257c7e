#!/usr/bin/env bash
# Runs the test suite against the lowest versions of the package's dependencies (requests,
# urllib3, h11) that pyproject.toml declares, installed exactly, in .venv-lowest (build directory
# build/lowest); the test tools are the newest that go with them. Extra arguments go to pytest.
# The checks of the project's own tools are left to the README's test command.
set -euo pipefail
cd "$(dirname "$0")/.."

speaker="test lowest"
# shellcheck source=scripts/lib/messages.sh
source scripts/lib/messages.sh

# shellcheck source=scripts/lib/venv.sh
source scripts/lib/venv.sh
venv=.venv-lowest
set_up $venv --lowest -C build-dir=build/lowest
say "running the tests with $("$venv/bin/python" -c 'import h11, requests, urllib3; print("requests", requests.__version__, "urllib3", urllib3.__version__, "and h11", h11.__version__)')"
exec $venv/bin/python -m pytest -m "not tooling" "$@"
