#!/usr/bin/env bash
# Builds the wheel for 32-bit ARM Linux (Debian armhf) with Debian's cross compiler and runs
# the whole test suite against it in an armhf Python 3.13 under qemu user emulation.
# Needs root and Debian's package archive only. The armhf Debian root is cached outside the
# clone (FERROVANE_ARMHF_CACHE, default /var/cache/ferrovane-armhf), keyed by its package
# list; the archive is the main one of the machine's apt sources unless
# FERROVANE_ARMHF_MIRROR names another. Extra arguments go to pytest.
set -euo pipefail
cd "$(dirname "$0")/.."

suite=trixie
# Python, its headers, and everything the tests use: pip installs the wheel, mypy and
# typeshed's stubs (requests' among them) check the shipped stubs.
root_packages=(python3.13 libpython3.13-dev python3-requests python3-urllib3
  python3-pytest python3-hypothesis python3-pip python3-mypy python3-typeshed)
# Bump when the way the root is made changes, so that cached roots are remade.
root_recipe=1
cache_dir=${FERROVANE_ARMHF_CACHE:-/var/cache/ferrovane-armhf}
build_dir=$PWD/build/armhf
wheel_tag=cp313-cp313-linux_armv7l

say() { echo "armhf: $*"; }
die() { echo "armhf: $*" >&2; exit 1; }

stage_times=()
stage=
stage_started=0
timed() {  # timed NAME COMMAND...: runs one stage and notes how long it took
  stage=$1
  stage_started=$SECONDS
  shift
  say "== $stage"
  "$@"
  stage_times+=("$(printf '%-12s %5ds' "$stage" $((SECONDS - stage_started)))")
  stage=
}

install_host_tools() {
  local missing=()
  command -v debootstrap >/dev/null || missing+=(debootstrap)
  command -v qemu-arm-static >/dev/null || missing+=(qemu-user-static)
  command -v arm-linux-gnueabihf-g++ >/dev/null || missing+=(crossbuild-essential-armhf)
  command -v cmake >/dev/null || missing+=(cmake)
  command -v make >/dev/null || missing+=(make)
  if [ ${#missing[@]} -eq 0 ]; then
    say "host tools already installed"
    return
  fi
  [ "$(id -u)" -eq 0 ] || die "installing ${missing[*]} needs root"
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

archive_from_apt_sources() {
  # The first configured suite that is not a -security, -updates or -backports one.
  # shellcheck disable=SC2016  # $(...) are apt's placeholders, not the shell's
  apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' 'Identifier: Packages' \
    | awk '$2 !~ /[-\/]/ { print $1; exit }'
}

root_stamp="suite=$suite arch=armhf recipe=$root_recipe packages=${root_packages[*]}"
root=$cache_dir/$suite-armhf-$(printf '%s' "$root_stamp" | sha256sum | cut -c1-12)
unfinished_root=
wheel=

armhf() {  # armhf PROGRAM ARGS...: runs an armhf program of the root under emulation
  qemu-arm-static -L "$root" "$@"
}

make_root() {
  mkdir -p "$cache_dir" "$build_dir"
  # One run at a time makes or reuses the cache.
  exec {lock}>"$cache_dir/.lock"
  flock "$lock"
  if [ "$(cat "$root/.ferrovane-root" 2>/dev/null)" = "$root_stamp" ]; then
    say "reusing $root"
    return
  fi
  local archive=${FERROVANE_ARMHF_MIRROR:-$(archive_from_apt_sources)}
  [ -n "$archive" ] || die "no Debian archive in the apt sources; set FERROVANE_ARMHF_MIRROR"
  # Runs that were killed half-way leave their work here; the lock says none is running.
  rm -rf "$cache_dir"/.unfinished-*
  unfinished_root=$(mktemp -d "$cache_dir/.unfinished-XXXXXX")
  say "making the $suite armhf root from $archive"
  local packages
  packages=$(IFS=,; echo "${root_packages[*]}")
  debootstrap --arch=armhf --foreign --variant=minbase --include="$packages" \
    "$suite" "$unfinished_root" "$archive" >"$build_dir/debootstrap.log" 2>&1 \
    || { tail -n 20 "$build_dir/debootstrap.log" >&2; die "debootstrap failed (log: $build_dir/debootstrap.log)"; }
  # Unpacking is all the tests need: configuring every package under emulation (the
  # second stage) would take far longer and adds nothing they use.
  local deb
  for deb in "$unfinished_root"/var/cache/apt/archives/*.deb; do
    dpkg-deb -x "$deb" "$unfinished_root"
  done
  rm -rf "$unfinished_root"/var/cache/apt/archives/*.deb "$unfinished_root/debootstrap"
  # Compiled once here and serially, so that test runs only read the root.
  qemu-arm-static -L "$unfinished_root" "$unfinished_root/usr/bin/python3.13" -m compileall -q -j1 \
    "$unfinished_root/usr/lib/python3.13" "$unfinished_root/usr/lib/python3/dist-packages" >/dev/null
  echo "$root_stamp" >"$unfinished_root/.ferrovane-root"
  rm -rf "$root"
  mv -T "$unfinished_root" "$root"
  unfinished_root=
  local old
  for old in "$cache_dir/$suite"-armhf-*; do
    [ "$old" = "$root" ] || rm -rf "$old"
  done
}

cross_build() {
  local cmake_dir=$build_dir/cmake
  # A cache made against another root would keep that root's paths.
  if ! grep -qxF "FERROVANE_ARMHF_ROOT:PATH=$root" "$cmake_dir/CMakeCache.txt" 2>/dev/null; then
    rm -rf "$cmake_dir"
  fi
  cmake -S . -B "$cmake_dir" -DCMAKE_BUILD_TYPE=Release -DFERROVANE_WERROR=ON \
    -DCMAKE_TOOLCHAIN_FILE="$PWD/cmake/armhf-toolchain.cmake" -DFERROVANE_ARMHF_ROOT:PATH="$root"
  cmake --build "$cmake_dir" --parallel "$(nproc)"
  rm -rf "$build_dir/install"
  cmake --install "$cmake_dir" --prefix "$build_dir/install" >/dev/null
  rm -f dist/*-"$wheel_tag".whl
  wheel=$(armhf "$root/usr/bin/python3.13" scripts/pack_wheel.py "$build_dir/install" "$wheel_tag" dist)
  say "built $wheel"
}

subprocess_problem=
enable_armhf_programs() {
  # Tests that start the interpreter as a subprocess need the kernel to hand armhf
  # programs to qemu; QEMU_LD_PREFIX lets qemu find the root's dynamic loader.
  local binfmt=/proc/sys/fs/binfmt_misc definition=/usr/lib/binfmt.d/qemu-arm.conf why
  if QEMU_LD_PREFIX=$root "$root/usr/bin/true" 2>/dev/null; then
    say "armhf programs run through binfmt_misc"
    return
  fi
  if [ ! -e "$binfmt/register" ] && ! mount -t binfmt_misc binfmt_misc "$binfmt" 2>/dev/null; then
    why="binfmt_misc cannot be mounted on this machine"
  elif [ -e "$binfmt/qemu-arm" ]; then
    why="the machine's qemu-arm entry in binfmt_misc does not run them ($(tr '\n' ' ' <"$binfmt/qemu-arm"))"
  elif [ ! -r "$definition" ]; then
    why="$definition, needed to register qemu-arm with binfmt_misc, is missing"
  elif ! cat "$definition" >"$binfmt/register" 2>/dev/null; then
    why="registering qemu-arm with binfmt_misc was refused"
  elif ! QEMU_LD_PREFIX=$root "$root/usr/bin/true" 2>/dev/null; then
    why="they do not run even with qemu-arm registered with binfmt_misc"
  else
    say "registered qemu-arm with binfmt_misc"
    return
  fi
  subprocess_problem="armhf programs cannot run as subprocesses: $why"
  say "$subprocess_problem; tests that start them will be skipped"
}

run_tests() {
  # The wheel goes into a virtual environment of the armhf interpreter that also sees the
  # root's packages: installed as a user would, console script included, and src/ is not
  # on the path.
  local venv=$build_dir/venv
  rm -rf "$venv"
  armhf "$root/usr/bin/python3.13" -m venv --without-pip --system-site-packages "$venv"
  armhf "$venv/bin/python3.13" -m pip install -q --disable-pip-version-check --no-deps --no-index "$wheel"
  armhf "$venv/bin/python3.13" -c 'import platform, ferrovane.sdk.accounts_api as module
print("armhf: testing", module.__file__, "on", platform.machine())'
  enable_armhf_programs
  QEMU_LD_PREFIX=$root PYTHONPATH=$PWD/scripts PYTHONDONTWRITEBYTECODE=1 \
    FERROVANE_ARMHF_NO_SUBPROCESS=$subprocess_problem \
    armhf "$venv/bin/python3.13" -m pytest -p armhf_emulation -p no:cacheprovider "$@"
}

on_exit() {
  [ -z "$unfinished_root" ] || rm -rf "$unfinished_root"
  [ -z "$stage" ] || stage_times+=("$(printf '%-12s %5ds  (failed)' "$stage" $((SECONDS - stage_started)))")
  say "stage times:"
  local line
  for line in "${stage_times[@]}"; do
    say "  $line"
  done
}
trap on_exit EXIT

timed "host tools" install_host_tools
timed "armhf root" make_root
timed "cross build" cross_build
timed "tests" run_tests "$@"
