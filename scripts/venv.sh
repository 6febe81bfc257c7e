# Sourced by the set-up scripts. prepare_venv DIR "REQUIREMENTS" makes (or keeps)
# a Python 3.13 virtual environment in DIR with the given PyPI requirements, and
# fails with a message saying what to install when something is missing.
# PYTHON313 chooses the interpreter explicitly (a path or a command name). Expects
# a `die` function, and a `say` function that reports each step in one short line.

find_python313() {
  local candidate
  if [ -n "${PYTHON313:-}" ]; then command -v "$PYTHON313"; return; fi
  if command -v pyenv >/dev/null 2>&1; then
    for candidate in "$(pyenv root)"/versions/3.13.*/bin/python3.13; do
      [ -x "$candidate" ] && { echo "$candidate"; return; }
    done
  fi
  for candidate in /usr/bin/python3.13 /usr/local/bin/python3.13; do
    [ -x "$candidate" ] && { echo "$candidate"; return; }
  done
  # The pyenv shim exists even when it refuses to run, so try it last.
  if command -v python3.13 >/dev/null 2>&1 && python3.13 -c '' 2>/dev/null; then
    command -v python3.13; return
  fi
  return 1
}

prepare_venv() {
  local venv=$1 requirements=$2 python313 version
  if [ -n "${PYTHON313:-}" ]; then
    python313=$(find_python313) || die "PYTHON313=$PYTHON313 is not an interpreter that can be run. Point it at a Python 3.13."
  else
    python313=$(find_python313) || die "Python 3.13 not found. Install it (for example 'pyenv install 3.13' or Debian's python3.13 and python3.13-dev and python3.13-venv), or point PYTHON313 at its interpreter."
  fi
  version=$("$python313" -c 'import sys; print("%d.%d" % sys.version_info[:2])' 2>/dev/null) \
    || die "$python313 does not run. Point PYTHON313 at a working Python 3.13."
  [ "$version" = 3.13 ] || die "$python313 is Python $version, but 3.13 is needed. Install Python 3.13 or point PYTHON313 at one."
  "$python313" -c 'import os, sys, sysconfig
sys.exit(not os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
    || die "Python 3.13 at $python313 has no C headers (Python.h). Install its development package (Debian: python3.13-dev)."
  say "using Python 3.13 at $python313"
  command -v g++ >/dev/null 2>&1 || die "g++ not found. Install a C++20 compiler (Debian: g++)."

  if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    say "making the virtual environment $venv"
    rm -rf "$venv"
    "$python313" -m venv "$venv" || die "could not create $venv (Debian: install python3.13-venv)."
  fi

  local stamp=$venv/.requirements-installed
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$requirements" ]; then
    say "installing the build and test dependencies from PyPI into $venv"
    venv_pip "$venv" install --upgrade pip || die "could not upgrade pip in $venv."
    # shellcheck disable=SC2086
    venv_pip "$venv" install $requirements || die "could not install the build and test dependencies from PyPI."
    command -v cmake >/dev/null 2>&1 || venv_pip "$venv" install "cmake>=3.20" || die "could not install cmake."
    echo "$requirements" > "$stamp"
  fi
}

venv_pip() {
  local venv=$1
  shift
  # -qq: pip's warnings about this machine's configuration are not ours to show;
  # its errors, a failed build's output among them, still come through.
  "$venv/bin/python" -m pip --disable-pip-version-check -qq "$@"
}
