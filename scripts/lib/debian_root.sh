# Sourced by the release scripts: clean Debian roots of each architecture and Python
# version, made with debootstrap from Debian's archive and cached outside the clone.
#
#   debian_root ARCH PYTHON prints the root for ARCH (an architecture of the release table)
#                           whose interpreter and headers are PYTHON (3.13, 3.14, 3.15),
#                           making it first when the cache has none made by this recipe
#   in_root ROOT CMD...     runs CMD chrooted into ROOT with a clean environment (CMD may
#                           start with VAR=VALUE words), /proc and /dev; the programs of an
#                           emulated architecture run under qemu-user through binfmt_misc
#                           (enable_emulation ARCH)
#
# The cache is FERROVANE_ROOT_CACHE (default /var/cache/ferrovane-roots); the archive is
# the main one of the machine's apt sources unless FERROVANE_DEBIAN_MIRROR names another.
# Needs root. Expects scripts/lib/messages.sh and scripts/lib/venv.sh sourced.

# The release table (pyproject.toml, through scripts/lib/matrix.py) says which suite's roots
# have which Python: the roots hold those interpreters and their venv support, for installing
# wheels as a user would, and the headers and C library for cross-compiling against them.
matrix() {  # matrix QUESTION...: the release table's answer
  [ -n "$matrix_python" ] || die "no CPython $lowest_python or later to read the release table with"
  "$matrix_python" scripts/lib/matrix.py "$@" || die "the release table has no answer to: $*"
}
# Found once here: matrix runs in many subshells.
matrix_python=$(find_python) || matrix_python=
# The 32-bit ARM board that no wheel fits (ARMv6) builds the sdist with its own compiler,
# CMake and Ninja: PyPI has no armv6l wheel of either.
root_packages_trixie_armhf=(g++ cmake ninja-build)
# Bump when the way roots are made changes, so that cached roots are remade.
root_recipe=3
root_cache=${FERROVANE_ROOT_CACHE:-/var/cache/ferrovane-roots}

install_host_tools() {  # install_host_tools PROGRAM:PACKAGE...: installs what is missing
  local wanted missing=()
  for wanted in "$@"; do
    command -v "${wanted%%:*}" >/dev/null || missing+=("${wanted#*:}")
  done
  [ ${#missing[@]} -eq 0 ] && return
  [ "$(id -u)" -eq 0 ] || die "installing ${missing[*]} needs root"
  say "installing ${missing[*]}"
  apt-get update -q >/dev/null
  DEBIAN_FRONTEND=noninteractive apt-get install -y -q --no-install-recommends "${missing[@]}" >/dev/null
}

archive_from_apt_sources() {
  # The first configured suite that is not a -security, -updates or -backports one.
  # shellcheck disable=SC2016  # $(...) are apt's placeholders, not the shell's
  apt-get indextargets --no-release-info --format '$(REPO_URI) $(RELEASE)' 'Identifier: Packages' \
    | awk '$2 !~ /[-\/]/ { print $1; exit }'
}

debian_root() {
  local arch=$1 python=$2 suite stamp root unfinished archive packages=() deb log script
  suite=$(matrix suite "$python") || die "no Debian suite of the release has Python $python"
  local version
  for version in $(matrix pythons "$suite"); do
    packages+=("python$version" "python$version-venv" "libpython$version-dev")
  done
  packages+=(libc6-dev)
  if declare -p "root_packages_${suite}_$arch" >/dev/null 2>&1; then
    local -n extra_packages=root_packages_${suite}_$arch
    packages+=("${extra_packages[@]}")
  fi
  install_host_tools debootstrap:debootstrap
  local emulator qemu
  emulator=$(matrix emulator "$arch") || exit 1
  read -r qemu _ <<<"$emulator"
  [ "$qemu" = - ] || install_host_tools "qemu-$qemu-static:qemu-user-static"
  stamp="suite=$suite arch=$arch recipe=$root_recipe packages=${packages[*]}"
  root=$root_cache/$suite-$arch-$(printf '%s' "$stamp" | sha256sum | cut -c1-12)
  mkdir -p "$root_cache"
  # One run at a time makes or reuses a root.
  (
    flock 8
    [ "$(cat "$root/.ferrovane-root" 2>/dev/null)" = "$stamp" ] && exit 0
    archive=${FERROVANE_DEBIAN_MIRROR:-$(archive_from_apt_sources)}
    [ -n "$archive" ] || die "no Debian archive in the apt sources; set FERROVANE_DEBIAN_MIRROR"
    # Runs killed half-way leave their work here; the lock says none is running.
    rm -rf "$root_cache/.unfinished-$suite-$arch"-*
    unfinished=$(mktemp -d "$root_cache/.unfinished-$suite-$arch-XXXXXX")
    trap 'rm -rf "$unfinished"' EXIT
    say "making the $suite $arch root from $archive (once; cached in $root_cache)"
    log=$root_cache/debootstrap-$suite-$arch.log
    # A debootstrap older than the suite does not know it by name; testing is made the
    # way unstable is.
    script=/usr/share/debootstrap/scripts/$suite
    [ -e "$script" ] || script=/usr/share/debootstrap/scripts/sid
    debootstrap --arch="$arch" --foreign --variant=minbase --include="$(IFS=,; echo "${packages[*]}")" \
      "$suite" "$unfinished" "$archive" "$script" >"$log" 2>&1 \
      || { tail -n 20 "$log" >&2; die "debootstrap failed (log: $log)"; }
    # Unpacking is all that building and testing need: configuring every package (the
    # second stage, under emulation for ARM) takes far longer and adds nothing they use.
    for deb in "$unfinished"/var/cache/apt/archives/*.deb; do
      dpkg-deb -x "$deb" "$unfinished"
    done
    rm -rf "$unfinished"/var/cache/apt/archives/*.deb "$unfinished/debootstrap"
    # pip in the root reaches PyPI through the same certificate authorities as this machine.
    mkdir -p "$unfinished/etc/ssl/certs"
    cp /etc/ssl/certs/ca-certificates.crt "$unfinished/etc/ssl/certs/"
    echo "$stamp" >"$unfinished/.ferrovane-root"
    rm -rf "$root"
    mv -T "$unfinished" "$root"
    for old in "$root_cache/$suite-$arch"-*; do
      [ "$old" = "$root" ] || rm -rf "$old"
    done
  ) 8>"$root_cache/.lock-$suite-$arch" || exit 1
  echo "$root"
}

enable_emulation() {  # enable_emulation ARCH: lets the kernel hand ARCH programs to qemu
  local arch=$1 name emulator qemu binfmt=/proc/sys/fs/binfmt_misc
  emulator=$(matrix emulator "$arch") || exit 1
  read -r qemu _ <<<"$emulator"
  [ "$qemu" = - ] && return
  name=qemu-$qemu
  [ -e "$binfmt/register" ] || mount -t binfmt_misc binfmt_misc "$binfmt" \
    || die "binfmt_misc cannot be mounted, so $arch programs cannot run"
  if [ ! -e "$binfmt/$name" ]; then
    # Debian's entry has the F flag: the kernel keeps the emulator open, so it runs
    # inside a chroot that does not have it.
    cat "/usr/lib/binfmt.d/$name.conf" >"$binfmt/register" \
      || die "registering $name with binfmt_misc was refused"
  fi
}

in_root() {  # in_root ROOT COMMAND...: runs COMMAND chrooted into ROOT
  local root=$1
  shift
  # A mount namespace of its own: the mounts go when the command ends, whatever happens.
  unshare --mount --propagation private -- sh -ec '
    root=$1; shift
    mount -t proc proc "$root/proc"
    mount --rbind /dev "$root/dev"
    mount -t tmpfs tmpfs "$root/dev/shm"
    # Names resolve as on this machine, for pip and for localhost.
    for file in /etc/resolv.conf /etc/hosts; do
      [ -e "$root$file" ] || : >"$root$file"
      mount --bind "$file" "$root$file"
    done
    exec chroot "$root" /usr/bin/env -i HOME=/tmp PATH=/usr/local/bin:/usr/bin:/bin LANG=C.UTF-8 \
      PIP_CERT=/etc/ssl/certs/ca-certificates.crt PIP_DISABLE_PIP_VERSION_CHECK=1 "$@"
  ' in_root "$root" "$@"
}
