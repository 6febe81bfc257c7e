#!/usr/bin/env bash
# Installs a release file as a user would and runs the whole test suite against it.
#
#   bash scripts/install_test.sh ARCH WHEEL    ARCH: amd64, arm64 or armhf
#   bash scripts/install_test.sh sdist SDIST
#
# A wheel goes into a fresh virtual environment of the Python 3.13 of a clean Debian trixie
# root of its architecture (scripts/debian_root.sh): amd64 through chroot, the ARM ones
# under qemu-user. pip takes its dependencies and the test tools from PyPI. The sdist is
# built and installed by pip into a fresh virtual environment of this machine's Python 3.13.
# Either way the test suite comes from the sdist beside the file (the source tree), and runs
# against the installed package, which must come from site-packages; then the command-line
# client runs its demo. Extra arguments for pytest: FERROVANE_PYTEST_ARGS.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "install test ($target): $*" >&2; }
die() { echo "install test ($target): $*" >&2; exit 1; }

[ $# -eq 2 ] || { echo "usage: bash scripts/install_test.sh ARCH WHEEL | sdist SDIST" >&2; exit 2; }
target=$1
package=$(realpath "$2")
sources=$(echo "$(dirname "$package")"/*.tar.gz)
[ -f "$package" ] || die "no file $2"
[ -f "$sources" ] || die "no sdist beside $2 to take the tests from"

# shellcheck source=scripts/venv.sh
source scripts/venv.sh
# shellcheck source=scripts/debian_root.sh
source scripts/debian_root.sh

# Runs in the test's directory: venv/, src/ (the source tree) and the package.
# shellcheck disable=SC2016  # expanded by the shell that runs it
test_script='
set -eu
python=$1 package=$2
shift 2
$python -m venv venv
venv/bin/python -m pip install -q "ferrovane-sdk-accounts[test] @ file://$PWD/$package"
cd src
# Nothing in the tree imports as ferrovane, but make sure that the tests get the package
# from site-packages.
../venv/bin/python - <<"CHECK"
import platform, sysconfig
import ferrovane.sdk, ferrovane.sdk.accounts_api as module
site = sysconfig.get_path("platlib")
assert module.__file__.startswith(site), (module.__file__, site)
print("testing", ferrovane.sdk.__version__, "on Python", platform.python_version(), platform.machine(),
      "from", module.__file__)
CHECK
../venv/bin/python -m pytest -p no:cacheprovider -q "$@"
../venv/bin/ferrovane-accounts --demo user
'

# shellcheck disable=SC2086  # FERROVANE_PYTEST_ARGS is a list of words
if [ "$target" = sdist ]; then
  python313=$(find_python313) || die "Python 3.13 not found (see scripts/venv.sh)"
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' EXIT
  mkdir "$dir/src"
  tar -xzf "$sources" -C "$dir/src" --strip-components=1
  cp "$package" "$dir/"
  (cd "$dir" && sh -c "$test_script" sh "$python313" "$(basename "$package")" ${FERROVANE_PYTEST_ARGS:-})
else
  root=$(debian_root "$target")
  enable_emulation "$target"
  dir=/tmp/ferrovane-install-test
  rm -rf "${root:?}$dir"
  trap 'rm -rf "${root:?}$dir"' EXIT
  mkdir -p "$root$dir/src"
  tar -xzf "$sources" -C "$root$dir/src" --strip-components=1
  cp "$package" "$root$dir/"
  environment=(HOME=$dir)
  if [ "$target" != amd64 ]; then
    # Several times slower under emulation: fewer generated examples, no wall-time limits.
    environment+=(FERROVANE_BINDING_EXAMPLES=100 PYTHONPATH=$dir/src/scripts)
    # qemu's default arm64 processor authenticates pointers with an algorithm that is slow
    # to emulate, and Debian's arm64 code signs the return address of every call: ten
    # times slower in all. The Cortex-A72 has no pointer authentication and runs those
    # instructions as no-ops.
    [ "$target" != arm64 ] || environment+=(QEMU_CPU=cortex-a72)
    set -- -p emulation
  else
    set --
  fi
  in_root "$root" "${environment[@]}" sh -c "cd $dir && $test_script" sh \
    /usr/bin/python3.13 "$(basename "$package")" "$@" ${FERROVANE_PYTEST_ARGS:-}
fi
say "passed"
