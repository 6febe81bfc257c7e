#!/usr/bin/env bash
# Installs a release file as a user would and runs the test suite against it.
#
#   bash scripts/install_test.sh ARCH WHEEL    ARCH: an architecture of the release table
#   bash scripts/install_test.sh armhf SDIST   the sdist, built on an emulated ARMv6 board
#   bash scripts/install_test.sh sdist SDIST   the sdist, built on this machine
#
# A wheel goes into a fresh virtual environment of its Python (read from its tag) in a clean
# Debian root of its architecture (scripts/lib/debian_root.sh): amd64 through chroot, the
# others under qemu-user. pip takes its dependencies and the test tools from PyPI. The
# sdist is built and installed by pip into a fresh virtual environment of this machine's
# Python (the set-up scripts' choice, scripts/lib/venv.sh), or of the armhf root's, with
# that root's own compiler. Either way the test suite comes from the sdist beside the file
# (the source tree), and runs against the installed package, which must come from
# site-packages; then the command-line client runs its demo.
#
# What runs where is the release table's (pyproject.toml): the whole suite, or the core
# tests (loading, argument binding and every public method's request). Under emulation the
# type checks are left out: they analyse the stubs, the same on every architecture, and run
# with each Python on amd64, while PyPI has no armv7l wheel of mypy's compiled runtime,
# which pip would spend minutes building.
# The ARMv6 board (uname -m armv6l: Raspberry Pi Zero and 1) is an armhf root whose every
# Python process is told that machine name: pip must refuse all the release's wheels, take
# its sdist, and build it with the root's own CMake and Ninja, fetching neither from PyPI,
# which has no armv6l wheel of them. The build itself runs ARMv7 code under emulation; that
# the sources need no more than ARMv6 is scripts/check_armv6.sh's to prove.
# Extra arguments for pytest: FERROVANE_PYTEST_ARGS.
set -euo pipefail
cd "$(dirname "$0")/.."

speaker="install test"
# shellcheck source=scripts/lib/messages.sh
source scripts/lib/messages.sh

[ $# -eq 2 ] || { echo "usage: bash scripts/install_test.sh ARCH WHEEL | armhf SDIST | sdist SDIST" >&2; exit 2; }
target=$1
package=$(realpath "$2")
speaker="install test ($target $(basename "$package"))"
sources=$(echo "$(dirname "$package")"/*.tar.gz)
[ -f "$package" ] || die "no file $2"
[ -f "$sources" ] || die "no sdist beside $2 to take the tests from"

# shellcheck source=scripts/lib/venv.sh
source scripts/lib/venv.sh
# shellcheck source=scripts/lib/debian_root.sh
source scripts/lib/debian_root.sh

case $package in
  *.tar.gz) kind=sdist ;;
  *.whl) kind=wheel ;;
  *) die "neither a wheel nor an sdist" ;;
esac
# TESTS: whole or core; RUNNER: chroot, qemu-user or this-machine; PYTHON: the sdist's.
case_fields=$(matrix install-test "$target" "$kind") \
  || die "the release has no $kind install test on $target (pyproject.toml's [tool.ferrovane.release])"
read -r tests runner sdist_python <<<"$case_fields"
selection=()
# shellcheck disable=SC2207  # a list of words
[ "$tests" = whole ] || selection+=($(matrix core-tests))

# Runs in the test's directory: venv/, src/ (the source tree) and the package. TYPE_CHECKS
# says whether the test extra's type checkers are installed.
# shellcheck disable=SC2016  # expanded by the shell that runs it
test_script='
set -eu
python=$1 package=$2
shift 2
$python -m venv venv
armv6l_install() {
  # A .pth file runs in every process of the venv: pip, the pip that installs the build
  # requirements, and the build backend all read armv6l from os.uname().
  site_packages=$(venv/bin/python -c "import sysconfig; print(sysconfig.get_path(\"purelib\"))")
  echo "import os; os.uname = lambda real=os.uname(): os.uname_result((*real[:4], \"armv6l\"))" \
    >"$site_packages/armv6l-board.pth"
  venv/bin/python -c "import platform; assert platform.machine() == \"armv6l\", platform.machine()"
  wheels=$(ls "$ARMV6L_RELEASE"/*.whl | wc -l)
  if venv/bin/python -m pip download -q --no-deps --no-index --only-binary=:all: \
      --find-links "$ARMV6L_RELEASE" --dest refused ferrovane-sdk-accounts 2>refused.log; then
    echo "uname -m armv6l: pip takes $(ls refused), a release wheel" >&2; exit 1
  fi
  grep -q "No matching distribution" refused.log || { cat refused.log >&2; exit 1; }
  echo "uname -m armv6l: pip refuses all $wheels release wheels"
  started=$(date +%s)
  venv/bin/python -m pip install -q --log pip.log --find-links "$ARMV6L_RELEASE" ferrovane-sdk-accounts
  grep -q "Processing .*/$package" pip.log \
    || { echo "uname -m armv6l: pip did not build $package" >&2; exit 1; }
  if grep -E "(Collecting|Downloading) (cmake|ninja)\b" pip.log >&2; then
    echo "uname -m armv6l: pip fetched the build tools from PyPI although the root has them" >&2; exit 1
  fi
  cmake=$(grep -o "using CMake [0-9.]*" pip.log | head -n 1)
  if grep -Eq "[[][0-9]+/[0-9]+[]] Building" pip.log; then tool=Ninja
  elif grep -Eq "[[] *[0-9]+%[]] Building" pip.log; then tool=make
  else tool="an unknown build tool"; fi
  compiler=$(grep -o "CXX compiler identification is .*" pip.log | head -n 1 | sed "s/.* is //")
  tag=$(venv/bin/python -c "from importlib.metadata import distribution
print(distribution(\"ferrovane-sdk-accounts\").read_text(\"WHEEL\").split(\"Tag: \")[1].split()[0])")
  echo "uname -m armv6l: pip built $package into a $tag wheel in $(($(date +%s) - started)) s" \
    "$cmake, $tool and $compiler, fetching no CMake or Ninja from PyPI"
  # The test tools are no part of what the board installs: they are installed for the
  # machine that runs them, for which PyPI has wheels of them all.
  rm "$site_packages/armv6l-board.pth"
}
started=$(date +%s)
if [ -n "${ARMV6L_RELEASE:-}" ]; then
  armv6l_install
fi
if [ "$TYPE_CHECKS" = yes ]; then
  venv/bin/python -m pip install -q "ferrovane-sdk-accounts[test] @ file://$PWD/$package"
  echo "pip installed $package with the test tools in $(($(date +%s) - started)) s"
else
  if [ -z "${ARMV6L_RELEASE:-}" ]; then
    venv/bin/python -m pip install -q "ferrovane-sdk-accounts @ file://$PWD/$package"
    echo "pip installed $package in $(($(date +%s) - started)) s"
  fi
  # The test extra as the package declares it, less the type checkers.
  venv/bin/python - >test-requirements.txt <<"REQUIREMENTS"
import re
from importlib.metadata import requires
for requirement in requires("ferrovane-sdk-accounts"):
    spec, _, marker = requirement.partition(";")
    name = re.match(r"[A-Za-z0-9._-]+", spec).group()
    if "extra == \"test\"" in marker and name != "mypy" and not name.startswith("types-"):
        # The rest of the marker (the machines a tool is for) stays, for pip to decide.
        rest = re.sub(r"^\s*and\s+|\s+and\s*$", "", marker.replace("extra == \"test\"", "")).strip()
        print(spec.strip() + ("; " + rest if rest else ""))
REQUIREMENTS
  venv/bin/python -m pip install -q -r test-requirements.txt
fi
if [ -n "${ARMV8_WHEELS:-}" ]; then
  # On a 64-bit ARM board with a 32-bit userland (Raspberry Pi OS 32-bit, armhf containers
  # on arm64 hosts) the kernel reports the machine as aarch64 or armv8l. pip must still
  # choose the armv7l wheel from the release'"'"'s wheels for this Python: asked with the
  # machine name that uname gives on such boards.
  for machine in aarch64 armv8l; do
    rm -rf chosen
    MACHINE=$machine venv/bin/python - download -q --no-deps --no-index --only-binary=:all: \
      --find-links "$ARMV8_WHEELS" --dest chosen ferrovane-sdk-accounts <<"PIP"
import os, runpy, sys
real = os.uname()
os.uname = lambda: os.uname_result((*real[:4], os.environ["MACHINE"]))
sys.argv[0] = "pip"
runpy.run_module("pip", run_name="__main__")
PIP
    chosen=$(ls chosen)
    case $chosen in
      *manylinux_2_17_armv7l.whl) echo "uname -m $machine: pip chooses $chosen" ;;
      *) echo "uname -m $machine: pip chooses $chosen, not the armv7l wheel" >&2; exit 1 ;;
    esac
  done
fi
venv=$PWD/venv
cd src
# Nothing in the tree imports as ferrovane, but make sure that the tests get the package
# from site-packages.
"$venv/bin/python" - <<"CHECK"
import platform, sysconfig
import ferrovane.sdk, ferrovane.sdk.accounts_api as module
site = sysconfig.get_path("platlib")
assert module.__file__.startswith(site), (module.__file__, site)
print("testing", ferrovane.sdk.__version__, "on Python", platform.python_version(), platform.machine(),
      "from", module.__file__)
CHECK
"$venv/bin/python" -m pytest -p no:cacheprovider -q "$@"
"$venv/bin/ferrovane-accounts" --demo user
'

# shellcheck disable=SC2086  # FERROVANE_PYTEST_ARGS is a list of words
if [ "$runner" = this-machine ]; then
  python=$(checked_python) || exit 1
  dir=$(mktemp -d)
  trap 'rm -rf "$dir"' EXIT
  mkdir "$dir/src"
  tar -xzf "$sources" -C "$dir/src" --strip-components=1
  cp "$package" "$dir/"
  (cd "$dir" && TYPE_CHECKS=yes sh -c "$test_script" sh "$python" "$(basename "$package")" "${selection[@]}" \
    ${FERROVANE_PYTEST_ARGS:-})
  say "passed"
  exit 0
fi

if [ $kind = sdist ]; then
  python=$sdist_python
else
  python=$(basename "$package" | sed -n 's/^[^-]*-[^-]*-cp3\([0-9]*\)-.*/3.\1/p')
  [ -n "$python" ] || die "no CPython tag in the wheel's name"
fi
root=$(debian_root "$target" "$python")
enable_emulation "$target"
dir=/tmp/ferrovane-install-test-$python
rm -rf "${root:?}$dir"
trap 'rm -rf "${root:?}$dir"' EXIT
mkdir -p "$root$dir/src"
tar -xzf "$sources" -C "$root$dir/src" --strip-components=1
cp "$package" "$root$dir/"
environment=(HOME=$dir)
if [ "$runner" = chroot ]; then
  environment+=(TYPE_CHECKS=yes)
else
  # Several times slower under emulation: fewer generated examples, no wall-time limits.
  environment+=(TYPE_CHECKS=no FERROVANE_BINDING_EXAMPLES=100 PYTHONPATH=$dir/src/scripts/lib)
  # The processor to emulate, where the release table names one other than qemu's default.
  emulator=$(matrix emulator "$target") || exit 1
  read -r _ qemu_cpu <<<"$emulator"
  [ "$qemu_cpu" = - ] || environment+=(QEMU_CPU="$qemu_cpu")
  selection=(-p emulation "${selection[@]}")
fi
if [ "$target" = armhf ] && [ $kind = wheel ]; then
  mkdir "$root$dir/wheels"
  cp "$(dirname "$package")"/*-cp"${python/./}"-*.whl "$root$dir/wheels/"
  environment+=(ARMV8_WHEELS=$dir/wheels)
fi
if [ "$target" = armhf ] && [ "${package%.tar.gz}" != "$package" ]; then
  mkdir "$root$dir/release"
  cp "$(dirname "$package")"/*.whl "$package" "$root$dir/release/"
  environment+=(ARMV6L_RELEASE=$dir/release)
fi
in_root "$root" "${environment[@]}" sh -c "cd $dir && $test_script" sh \
  "/usr/bin/python$python" "$(basename "$package")" "${selection[@]}" ${FERROVANE_PYTEST_ARGS:-}
say "passed"
