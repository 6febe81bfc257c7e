# Sourced by the set-up scripts: prints the path of a Python 3.13 interpreter,
# or fails. PYTHON313 chooses one explicitly.
find_python313() {
  local candidate
  if [ -n "${PYTHON313:-}" ]; then echo "$PYTHON313"; return; fi
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
