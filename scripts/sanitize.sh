#!/usr/bin/env bash
# Builds the package with AddressSanitizer and UndefinedBehaviorSanitizer into
# .venv-asan (its own build directory, build/asan) and runs the whole test suite
# against it in the interpreter that the set-up picks (see scripts/setup.sh), with the sanitizer runtime preloaded.
# Fails on any sanitizer report, also one from a subprocess that a test started
# and whose failure the test expected. Extra arguments go to pytest. The checks of the
# project's own tools are left to the README's test command.
set -euo pipefail
cd "$(dirname "$0")/.."

speaker="sanitize"
# shellcheck source=scripts/lib/messages.sh
source scripts/lib/messages.sh

# shellcheck source=scripts/lib/venv.sh
source scripts/lib/venv.sh

venv=.venv-asan
FERROVANE_SANITIZE=ON set_up $venv -C build-dir=build/asan

# The interpreter itself is not instrumented, so the runtimes must be loaded
# before anything else; the extension modules then resolve against them.
preload=
for runtime in libasan.so libubsan.so; do
  path=$(g++ -print-file-name=$runtime)
  [ -f "$path" ] || die "$runtime not found next to g++."
  preload="${preload:+$preload:}$path"
done

# Reports go to files, so that one from a subprocess is not lost in a captured
# stream; the interpreter's own allocations at exit are not ours to judge.
# The interpreter is not instrumented, so a Python object that our code frees
# too early is only caught when the interpreter trips over it: freed memory is
# overwritten to make sure it does.
reports=$(mktemp -d)
trap 'rm -rf "$reports"' EXIT
status=0
say "running the tests with the sanitizer runtimes preloaded"
LD_PRELOAD=$preload \
  ASAN_OPTIONS="detect_leaks=0:max_free_fill_size=4096:log_path=$reports/asan" \
  UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$reports/ubsan" \
  PYTHONMALLOC=malloc \
  FERROVANE_BINDING_EXAMPLES=${FERROVANE_BINDING_EXAMPLES:-800} \
  nice $venv/bin/python -m pytest -m "not tooling" "$@" || status=$?

if compgen -G "$reports/*" >/dev/null; then
  for report in "$reports"/*; do
    echo "==== $report" >&2
    cat "$report" >&2
  done
  die "the sanitizers reported errors (above)."
fi
exit $status
