#!/usr/bin/env bash
# The manual page renders, and every line of every command's --help text
# is in it (spacing aside): the page cannot drift from the help.
set -euo pipefail
build=$1
velquor=$build/cli/velquor
squeeze() { tr -s ' \t\n' ' '; }

rendered=$(LC_ALL=C MANWIDTH=200 MANPAGER=cat man -l "$build/doc/velquor.1" 2>&1 | squeeze)
[ -n "$rendered" ] || { echo "man rendered nothing"; exit 1; }
missing=0
for command in $("$velquor" --help | sed -n '/^Commands:/,/^$/p' | awk 'NR > 1 && NF { print $1 }'); do
  while IFS= read -r line; do
    line=$(printf '%s' "${line#usage: }" | squeeze)
    line=${line# }
    line=${line% }
    [ -z "$line" ] || [ "$line" = "Options:" ] && continue
    if [[ $rendered != *"$line"* ]]; then
      echo "velquor.1 lacks this line of 'velquor help $command': $line"
      missing=1
    fi
  done < <("$velquor" help "$command")
done
exit $missing
