#!/usr/bin/env bash
# The generated bash completion offers commands, options, option values and
# the families and metrics `accept` takes.
set -euo pipefail
build=$1
# shellcheck source=/dev/null
source "$build/doc/velquor.bash"
failed=0

# offers "WORDS..." EXPECTED...: completing the last word offers each EXPECTED.
offers() {
  read -r -a COMP_WORDS <<<"$1"
  [[ $1 == *" " ]] && COMP_WORDS+=("")
  COMP_CWORD=$((${#COMP_WORDS[@]} - 1))
  _velquor
  shift
  for expected in "$@"; do
    if [[ " ${COMPREPLY[*]} " != *" $expected "* ]]; then
      echo "completing '${COMP_WORDS[*]}' does not offer $expected (offers: ${COMPREPLY[*]})"
      failed=1
    fi
  done
}

offers "velquor no" notify
offers "velquor " run accept notify --version
offers "velquor run --fa" --fail-on
offers "velquor run --fail-on " NOTABLE CRITICAL
offers "velquor notify d --format " slack teams mattermost
offers "velquor accept data " git ci security error_tracking
offers "velquor accept data ci " run_duration run_failed
offers "velquor accept --reason why data testing fail" failure_rate
offers "velquor help acc" accept accepted
# Only the metrics of the family named.
offers "velquor accept data coverage "
[ "${COMPREPLY[*]}" = "line_rate branch_rate" ] || { echo "coverage offers ${COMPREPLY[*]}"; failed=1; }
exit $failed
