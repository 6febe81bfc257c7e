# Sourced by the set-up scripts. prepare_venv DIR "REQUIREMENTS" makes (or keeps)
# a Python 3.13 virtual environment in DIR with the given PyPI requirements, and
# fails with a message saying what to install when something is missing.
# PYTHON313 chooses the interpreter explicitly. Expects a `die` function.

find_python313() {
  local candidate
  if [ -n "${PYTHON313:-}" ]; then [ -x "$PYTHON313" ] && echo "$PYTHON313"; return; fi
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
  local venv=$1 requirements=$2 python313
  python313=$(find_python313) || die "Python 3.13 not found. Install it (for example 'pyenv install 3.13' or Debian's python3.13 and python3.13-dev and python3.13-venv), or point PYTHON313 at its interpreter."
  "$python313" - <<'PY' || die "Python 3.13 at $python313 has no C headers (Python.h). Install its development package (Debian: python3.13-dev)."
import os, sys, sysconfig
assert sys.version_info[:2] == (3, 13), sys.version
sys.exit(0 if os.path.exists(os.path.join(sysconfig.get_paths()["include"], "Python.h")) else 1)
PY
  command -v g++ >/dev/null 2>&1 || die "g++ not found. Install a C++20 compiler (Debian: g++)."

  if [ ! -x "$venv/bin/python" ] || ! "$venv/bin/python" -c 'import sys; assert sys.version_info[:2] == (3, 13)' 2>/dev/null; then
    rm -rf "$venv"
    "$python313" -m venv "$venv" || die "could not create $venv (Debian: install python3.13-venv)."
  fi

  local stamp=$venv/.requirements-installed
  if [ ! -f "$stamp" ] || [ "$(cat "$stamp")" != "$requirements" ]; then
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
  "$venv/bin/python" -m pip --disable-pip-version-check -q "$@"
}
