#!/usr/bin/env bash
# Sets up, builds and runs every test.
set -euo pipefail
cd "$(dirname "$0")/.."
# Compiler cache entries keyed relative to the checkout, so that every clone shares them.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
bash scripts/setup.sh
# No source below app/ includes from a layer above its own.
bash scripts/check-layers.sh
bash scripts/build.sh
# Tests labelled "long" (the ten-minute soak) run only when asked for: cd build && ctest -L long
(cd build && ctest --output-on-failure -j "$(nproc)" -LE long "$@")

# The typed bridge's fuzzer runs for a minute in its own clang tree; any crash fails the run.
QUORVELLE_BUILD_DIR="$PWD/build" bash scripts/fuzz-typedbridge.sh 60

# The audio-graph race cases again, built with ThreadSanitizer in their own tree.
bash scripts/tsan-audio-graph.sh
# The redundancy link's pair, follow, failover and disable cases under ThreadSanitizer.
bash scripts/tsan-redundancy.sh
