#!/usr/bin/env bash
# Builds the redundancy link's engine cases with ThreadSanitizer (in the tree of
# tsan-audio-graph.sh) and runs the pair, follow, failover and disable scenarios twice over, in
# their own network namespace (scripts/test-launcher.sh). Any sanitizer report fails the run.
#
#   scripts/tsan-redundancy.sh            # build tree: build-tsan beside the sources
#   QUORVELLE_TSAN_BUILD=/path JOBS=8 scripts/tsan-redundancy.sh
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${QUORVELLE_TSAN_BUILD:-$source_dir/build-tsan}
QUORVELLE_TSAN_BUILD="$build_dir" QUORVELLE_TSAN_TARGET=redundancy_tsan bash "$source_dir/scripts/tsan-audio-graph.sh"

TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
  "$source_dir/scripts/test-launcher.sh" "$build_dir/redundancy_tsan" \
  --gtest_filter='RedundancyEngineNamespace.FollowsAFake*:RedundancyEngineNamespace.LeadsAFakeStandby:RedundancyEngineNamespace.ShutdownFromTheFakePrimary*' \
  --gtest_repeat=2
