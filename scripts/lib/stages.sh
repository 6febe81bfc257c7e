# Sourced by the long scripts: `timed NAME COMMAND...` runs one stage, and when the script
# ends, however it ends, the time of each stage is printed. Expects a `say` function.

stage_times=()
stage=
stage_started=0

timed() {
  stage=$1
  stage_started=$SECONDS
  shift
  say "== $stage"
  "$@"
  stage_times+=("$(printf '%-14s %5ds' "$stage" $((SECONDS - stage_started)))")
  stage=
}

print_stage_times() {
  [ -z "$stage" ] || stage_times+=("$(printf '%-14s %5ds  (failed)' "$stage" $((SECONDS - stage_started)))")
  [ ${#stage_times[@]} -gt 0 ] || return 0
  say "stage times:"
  local line
  for line in "${stage_times[@]}"; do
    say "  $line"
  done
}
trap print_stage_times EXIT
