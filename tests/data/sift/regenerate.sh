#!/usr/bin/env bash
# Rewrites the analyser's golden fixture and the state expected from it, after an intended
# change. Review the diff of golden/expected_state.json by eye before committing it.
# Usage: tests/data/sift/regenerate.sh [BUILD_DIR]   (default build/dev; needs corvane-gen
# and sift_tests built there)
set -euo pipefail

here=$(cd "$(dirname "$0")" && pwd)
build=${1:-$here/../../../build/dev}
export TZ=UTC

generated=$(mktemp)
trap 'rm -f "$generated"' EXIT
"$build/bin/corvane-gen" evidence --out "$generated" --lines 400 --seed 3 --start 1792339920

# The capture's start marker, the log tool's banner as the capture records it, the
# generated events, then hand-written lines for what the generator never writes (a line
# without a date, an impossible date, a resolution logged out of order, invalid bytes).
{
    head -n 1 "$generated"
    head -n 1 "$here/golden/extra.log"
    tail -n +2 "$generated"
    tail -n +2 "$here/golden/extra.log"
} > "$here/golden/evidence.log"

CORVANE_REGENERATE=1 "$build/bin/sift_tests" --gtest_filter='Golden.*'
