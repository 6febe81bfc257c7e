# Sourced by the set-up scripts: the interpreter they use, and the virtual environments they
# make with it.
#
#   find_python                  prints the interpreter: FERROVANE_PYTHON (a path or a command
#                                name) when set, or else
#                                the newest CPython 3.13 or later found, among pyenv's versions,
#                                /usr/bin, /usr/local/bin and the PATH, that has its C headers
#   prepare_venv DIR [--lowest] SOURCE...
#                                makes (or keeps) a virtual environment of that interpreter in
#                                DIR with the requirements that pyproject.toml declares for the
#                                SOURCEs (scripts/lib/requirements.py), and fails with a message
#                                saying what to install when something is missing
#   build_into DIR PIP-ARGS...   builds the package from the tree and installs it into DIR
#   set_up DIR [--lowest] PIP-ARGS...
#                                both, for a development environment (development_sources),
#                                one shell at a time per DIR
#
# Expects scripts/lib/messages.sh sourced (its `say` reports each step in one short line).

lowest_python=3.13
# What a development environment holds: what building in place needs, the package's own
# dependencies and the test tools.
development_sources=(build-system group:in-place-build dependencies extra:test)
python_choice_variable() {
  if [ -n "${FERROVANE_PYTHON:-}" ]; then echo FERROVANE_PYTHON; fi
}

# python_version PYTHON: prints "3.N" when PYTHON runs and is a CPython with the global
# interpreter lock (the modules support no other), and fails otherwise.
python_version() {
  "$1" -c 'import sys, sysconfig
ok = sys.implementation.name == "cpython" and not sysconfig.get_config_var("Py_GIL_DISABLED")
print("%d.%d" % sys.version_info[:2]) if ok else sys.exit(1)' 2>/dev/null
}

has_headers() {
  "$1" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' 2>/dev/null
}

# supported VERSION: whether VERSION is lowest_python or later.
supported() {
  [ "$(printf '%s\n%s\n' "$lowest_python" "$1" | sort -V | head -n 1)" = "$lowest_python" ]
}

# Every CPython 3.13 or later on the machine, newest first, as "VERSION PATH" lines.
python_candidates() {
  local candidate version
  {
    if command -v pyenv >/dev/null 2>&1; then
      for candidate in "$(pyenv root)"/versions/3.*/bin/python3.*; do
        [[ $candidate =~ /python3\.[0-9]+$ ]] && echo "$candidate"
      done
    fi
    for candidate in /usr/bin/python3.* /usr/local/bin/python3.*; do
      [[ $candidate =~ /python3\.[0-9]+$ ]] && echo "$candidate"
    done
    # On the PATH last: pyenv's shims exist even for versions that they refuse to run.
    compgen -c python3. | { grep -E '^python3\.[0-9]+$' || true; } | sort -u | while read -r candidate; do
      command -v "$candidate"
    done
    true
  } | while read -r candidate; do
    [ -x "$candidate" ] || continue
    version=$(python_version "$candidate") || continue
    supported "$version" && echo "$version $candidate"
  done | sort -t' ' -k1,1Vr -s
  true
}

find_python() {
  local variable candidates chosen
  variable=$(python_choice_variable)
  if [ -n "$variable" ]; then
    command -v "${!variable}" || return 1
    return
  fi
  candidates=$(python_candidates)
  [ -n "$candidates" ] || return 1
  # The newest with its headers, which building needs; failing that, the newest, so that
  # the caller names what it lacks.
  while read -r _ chosen; do
    has_headers "$chosen" && { echo "$chosen"; return; }
  done <<<"$candidates"
  echo "${candidates%%$'\n'*}" | cut -d' ' -f2-
}

# checked_python: find_python, with the reason and the fix when it finds nothing usable.
checked_python() {
  local variable python version
  variable=$(python_choice_variable)
  if [ -n "$variable" ]; then
    python=$(find_python) || die "$variable=${!variable} is not an interpreter that can be run. Point it at a CPython $lowest_python or later."
  else
    python=$(find_python) || die "no CPython $lowest_python or later found. Install one (for example 'pyenv install 3.13', or Debian's python3.13 with python3.13-dev and python3.13-venv), or point FERROVANE_PYTHON at its interpreter."
  fi
  version=$(python_version "$python") \
    || die "$python does not run, or is not a CPython with the global interpreter lock. Point FERROVANE_PYTHON at a CPython $lowest_python or later."
  supported "$version" || die "$python is Python $version, but $lowest_python or later is needed. Point FERROVANE_PYTHON at one."
  has_headers "$python" || die "Python $version at $python has no C headers (Python.h). Install its development package (Debian: python$version-dev), or point FERROVANE_PYTHON at another interpreter."
  echo "$python"
}

prepare_venv() {
  local venv=$1 python version identity requirements
  shift
  python=$(checked_python) || exit 1
  version=$(python_version "$python")
  say "using Python $version at $python"
  command -v g++ >/dev/null 2>&1 || die "g++ not found. Install a C++20 compiler (Debian: g++)."
  requirements=$("$python" scripts/lib/requirements.py "$@") || die "pyproject.toml does not declare what $venv needs (above)."

  # The environment is remade when it was made from another interpreter.
  identity=$("$python" -c 'import sys; print(sys.version, sys.base_prefix)')
  if [ ! -x "$venv/bin/python" ] || [ "$("$venv/bin/python" -c 'import sys; print(sys.version, sys.base_prefix)' 2>/dev/null)" != "$identity" ]; then
    say "making the virtual environment $venv"
    rm -rf "$venv"
    "$python" -m venv "$venv" || die "could not create $venv (Debian: install python$version-venv)."
  fi

  local stamp=$venv/.requirements-installed
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$requirements" ]; then
    say "installing the build and test dependencies from PyPI into $venv"
    venv_pip "$venv" install --upgrade pip || die "could not upgrade pip in $venv."
    local lines
    mapfile -t lines <<<"$requirements"  # one requirement a line; a marker may hold spaces
    venv_pip "$venv" install "${lines[@]}" || die "could not install the build and test dependencies from PyPI."
    if ! command -v cmake >/dev/null 2>&1; then
      # shellcheck disable=SC2046
      venv_pip "$venv" install $("$python" scripts/lib/requirements.py cmake) || die "could not install cmake."
    fi
    echo "$requirements" >"$stamp"
  fi
}

build_into() {
  local venv=$1
  shift
  say "building the package and installing it into $venv"
  venv_pip "$venv" install --no-build-isolation --no-deps "$@" . \
    || die "building the native modules failed (see the compiler output above)."
}

venv_pip() {
  local venv=$1
  shift
  # -qq: pip's warnings about this machine's configuration are not ours to show;
  # its errors, a failed build's output among them, still come through.
  "$venv/bin/python" -m pip --disable-pip-version-check -qq "$@"
}

set_up() {
  local venv=$1 lowest=()
  shift
  [ "${1:-}" != --lowest ] || { lowest=(--lowest); shift; }
  # Several shells may set up at once (a test run beside a demo): one at a time.
  exec 9>"${TMPDIR:-/tmp}/ferrovane-setup-$(id -u)-$(pwd | cksum | cut -d' ' -f1)-${venv//\//_}.lock"
  command -v flock >/dev/null 2>&1 && flock 9
  prepare_venv "$venv" "${lowest[@]}" "${development_sources[@]}"
  build_into "$venv" "$@"
}
