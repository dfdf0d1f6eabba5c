#!/usr/bin/env bash
# A CI job for a self-hosted CI server (any system that runs a shell script
# in a checkout: a build server job, a runner on your own machine, cron).
# It runs the project's build and tests, turns what they produced into
# Velquor events, runs the pipeline and fails the job when the project
# drifts away from its own normal at the chosen risk level or above.
#
#   examples/ci/self-hosted-ci.sh [DATA_DIR] [LEVEL]
#
# Environment: CI_SYSTEM names the CI system in the events (default
# "self-hosted"), CI_WORKFLOW the job (default "build"), VELQUOR the command.
# The data directory stays on the server between runs (default
# /var/lib/velquor/<checkout name>), so baselines and the knowledge base
# grow with every run and collect adds only what is new.
#
# The build below is a CMake project tested with ctest, with coverage from
# gcovr, dependencies from package-lock.json and a vulnerability scan; change
# those steps to your project's own.
set -uo pipefail

data="${1:-/var/lib/velquor/$(basename "$PWD")}"
level="${2:-HIGH}"
velquor="${VELQUOR:-velquor}"
reports=reports
mkdir -p "$reports"

utc_now() { date -u +%Y-%m-%dT%H:%M:%SZ; }

# ---- the build itself ---------------------------------------------------
started=$(utc_now)
outcome=success
{
  cmake -S . -B build -DCMAKE_CXX_FLAGS=--coverage &&
  cmake --build build -j"$(nproc)" &&
  (cd build && ctest --output-junit "$PWD/../$reports/ctest.xml")
} || outcome=failure
gcovr --cobertura "$reports/coverage.xml" --root . build || true
trivy fs --format json --output "$reports/scan.json" . || true
completed=$(utc_now)

# ---- events ------------------------------------------------------------
set -e
"$velquor" collect git . "$data"
"$velquor" collect ci --system "${CI_SYSTEM:-self-hosted}" --workflow "${CI_WORKFLOW:-build}" \
  --status "$outcome" --started "$started" --completed "$completed" "$data"
[ -s "$reports/ctest.xml" ] && "$velquor" collect junit "$reports/ctest.xml" "$data"
[ -s "$reports/coverage.xml" ] && "$velquor" collect coverage "$reports/coverage.xml" "$data"
[ -f package-lock.json ] && "$velquor" collect npm package-lock.json "$data"
[ -s "$reports/scan.json" ] && "$velquor" collect trivy "$reports/scan.json" "$data"
set +e

# ---- the gate ------------------------------------------------------------
status=0
"$velquor" run "$data" --json --fail-on "$level" > "$data/run-result.json" || status=$?
case "$status" in
  0) echo "velquor: no change at or above $level" ;;
  3) echo "velquor: drift at or above $level" >&2
     cat "$data/phase5/summary.txt" >&2 ;;
  *) echo "velquor: the pipeline failed (status $status)" >&2 ;;
esac
# A failed build fails the job even when Velquor saw nothing unusual.
[ "$outcome" = success ] || exit 1
exit "$status"
