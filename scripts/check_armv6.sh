#!/usr/bin/env bash
# Builds the native modules from an sdist for ARMv6 with hard float, as the Raspberry Pi
# Zero and 1 build them, against the armhf Debian root of each given Python, and checks
# with scripts/check_armv6.py that the objects hold no instruction that ARMv6 lacks. No
# ARMv6 userland is at hand to run them, so no armv6l wheel is made from them.
#
#   bash scripts/check_armv6.sh SDIST PYTHON...
#
# Needs root (the Debian roots: scripts/lib/debian_root.sh), Debian's armhf cross compiler,
# CMake and Ninja. Warnings are errors when FERROVANE_WERROR=ON.
set -euo pipefail
cd "$(dirname "$0")/.."

speaker="armv6 check"
# shellcheck source=scripts/lib/messages.sh
source scripts/lib/messages.sh

[ $# -ge 2 ] || { echo "usage: bash scripts/check_armv6.sh SDIST PYTHON..." >&2; exit 2; }
sdist=$(realpath "$1")
shift
[ -f "$sdist" ] || die "no file $sdist"

# shellcheck source=scripts/lib/venv.sh
source scripts/lib/venv.sh
# shellcheck source=scripts/lib/debian_root.sh
source scripts/lib/debian_root.sh

# What the boards' own compiler (Raspberry Pi OS 32-bit) defaults to: the ARM1176's
# architecture and floating point, ARM state.
armv6_flags="-march=armv6 -mfpu=vfp -mfloat-abi=hard -marm"

install_host_tools arm-linux-gnueabihf-g++:crossbuild-essential-armhf \
  arm-linux-gnueabihf-objdump:binutils-arm-linux-gnueabihf
command -v cmake >/dev/null || die "cmake not found: install CMake 3.20 or newer (Debian: cmake)"
command -v ninja >/dev/null || die "ninja not found: install Ninja (Debian: ninja-build)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
mkdir "$work/src"
tar -xzf "$sdist" -C "$work/src" --strip-components=1
# The armhf facts of the release table (triplet, processor, ABI definitions) for the
# release's toolchain; the flags above then narrow the processor to ARMv6.
mapfile -t toolchain < <(matrix toolchain armhf | sed 's/^/-D/')
[ ${#toolchain[@]} -gt 0 ] || die "the release table gives no toolchain for armhf"
objects=()
for python in "$@"; do
  root=$(debian_root armhf "$python")
  build=$work/build-$python
  log=$work/build-$python.log
  { cmake -S "$work/src" -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE="$work/src/cmake/toolchain.cmake" \
      "${toolchain[@]}" -DFERROVANE_TARGET_ROOT="$root" -DFERROVANE_TARGET_PYTHON="$python" \
      -DFERROVANE_WERROR="${FERROVANE_WERROR:-OFF}" -DCMAKE_CXX_FLAGS="$armv6_flags" \
      && cmake --build "$build"; } >"$log" 2>&1 \
    || { tail -n 40 "$log" >&2; die "building for ARMv6 against Python $python failed"; }
  mapfile -t -O ${#objects[@]} objects < <(find "$build/CMakeFiles" -name '*.o' -path '*.dir/*' | sort)
done
[ ${#objects[@]} -gt 0 ] || die "the builds left no objects to check"
say "checking ${#objects[@]} objects built with $armv6_flags"
python3 scripts/check_armv6.py "${objects[@]}" >&2 || die "the native code needs more than ARMv6 (above)"
say "passed: no instruction that ARMv6 with VFPv2 lacks"
