#!/usr/bin/env bash
# Drift gate for a CI job: collect the repository's history, run the whole
# pipeline and fail the job when the advisory holds a change at or above
# the chosen risk level. The data directory is kept between jobs (cache it)
# so that the knowledge base keeps learning and collect only adds new
# commits.
#
#   examples/ci-gate.sh [REPO] [DATA_DIR] [LEVEL]
set -euo pipefail

repo="${1:-.}"
data="${2:-.velquor}"
level="${3:-HIGH}"
velquor="${VELQUOR:-velquor}"

"$velquor" collect git "$repo" "$data"

status=0
"$velquor" run "$data" --json --fail-on "$level" > "$data/run-result.json" || status=$?

case "$status" in
  0) echo "velquor: no change at or above $level" ;;
  3) echo "velquor: drift at or above $level; see $data/phase5/summary.txt" >&2
     cat "$data/phase5/summary.txt" >&2 ;;
  *) echo "velquor: the pipeline failed (status $status)" >&2 ;;
esac
exit "$status"
