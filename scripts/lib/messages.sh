# Sourced by every script: its messages on stderr, each line led by "$speaker: " (set
# speaker before sourcing; it may be changed later, as the names it holds become known).
# `say` tells, `die` tells and ends the script with status 1.

say() { echo "${speaker:-$(basename "$0" .sh)}: $*" >&2; }
die() { say "$@"; exit 1; }
