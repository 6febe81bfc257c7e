# Sourced by the long scripts: `timed NAME COMMAND...` runs one stage, and when the script
# ends, however it ends, the time of each stage is printed. Expects scripts/lib/messages.sh sourced.
# With FERROVANE_TIMES naming a file, each stage's time is also appended to it as a line
# "SCOPE<TAB>STAGE<TAB>SECONDS<TAB>OUTCOME" (SCOPE: the script's name, or stage_scope if set),
# from which scripts/refresh_times.py makes the table of measured times.

stage_times=()
stage=
stage_started=0
stage_scope=${stage_scope:-$(basename "$0" .sh)}

# record_time STAGE SECONDS [OUTCOME]
record_time() {
  [ -n "${FERROVANE_TIMES:-}" ] || return 0
  printf '%s\t%s\t%s\t%s\n' "$stage_scope" "$1" "$2" "${3:-passed}" >>"$FERROVANE_TIMES" || true
}

timed() {
  stage=$1
  stage_started=$SECONDS
  shift
  say "== $stage"
  "$@"
  stage_times+=("$(printf '%-14s %5ds' "$stage" $((SECONDS - stage_started)))")
  record_time "$stage" $((SECONDS - stage_started))
  stage=
}

print_stage_times() {
  if [ -n "$stage" ]; then
    stage_times+=("$(printf '%-14s %5ds  (failed)' "$stage" $((SECONDS - stage_started)))")
    record_time "$stage" $((SECONDS - stage_started)) failed
  fi
  [ ${#stage_times[@]} -gt 0 ] || return 0
  say "stage times:"
  local line
  for line in "${stage_times[@]}"; do
    say "  $line"
  done
}
trap print_stage_times EXIT
