#!/usr/bin/env bash
# Builds the redundancy link's engine cases with ThreadSanitizer (in the tree of
# tsan-audio-graph.sh) and runs the pair, follow, failover and disable scenarios twice over, each
# run in its own network namespace (scripts/test-launcher.sh). Any sanitizer report fails the run.
#
#   scripts/tsan-redundancy.sh            # build tree: build-tsan beside the sources
#   QUORVELLE_TSAN_BUILD=/path JOBS=8 scripts/tsan-redundancy.sh
set -euo pipefail

source_dir=$(cd "$(dirname "$0")/.." && pwd)
build_dir=${QUORVELLE_TSAN_BUILD:-$source_dir/build-tsan}
jobs=${JOBS:-$(nproc)}
flags="-fsanitize=thread -fno-omit-frame-pointer -DJUCE_LOG_ASSERTIONS=1"

launcher=()
if command -v ccache > /dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi

cmake -S "$source_dir/scripts/tsan-audio-graph" -B "$build_dir" -G Ninja \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DQUORVELLE_SOURCE_DIR="$source_dir" \
  -DCMAKE_C_FLAGS="$flags" -DCMAKE_CXX_FLAGS="$flags" \
  -DCMAKE_EXE_LINKER_FLAGS="-fsanitize=thread" \
  "${launcher[@]}"
cmake --build "$build_dir" -j "$jobs" --target redundancy_tsan

TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 ${TSAN_OPTIONS:-}" \
  "$source_dir/scripts/test-launcher.sh" "$build_dir/redundancy_tsan" \
  --gtest_filter='RedundancyEngineNamespace.FollowsAFake*:RedundancyEngineNamespace.LeadsAFakeStandby:RedundancyEngineNamespace.ShutdownFromTheFakePrimary*' \
  --gtest_repeat=2
