#!/usr/bin/env bash
# Builds the audio-graph race cases (tests/audio/graph/AudioRaceTests.cpp and the bus render pool's
# BusRenderPoolRaceTests.cpp) and the engine's transport race cases
# (tests/audio/engine/AudioEngineTransportRaceTests.cpp), and the offline stretch and pre-stretch cases
# (AudioEngineOfflineStretchTests.cpp, AudioEnginePreloadTests.cpp) with ThreadSanitizer, JUCE and every library
# they link included, and runs them on the Virtual device's real-time clock.
# Any sanitizer report fails the run. JUCE's assertions are logged in this tree (JUCE_LOG_ASSERTIONS),
# and the test logger fails a test on any "JUCE Assertion failure" line.
#
#   scripts/tsan-audio-graph.sh            # build tree: build-tsan beside the sources
#   QUORVELLE_TSAN_BUILD=/path JOBS=8 scripts/tsan-audio-graph.sh
#   QUORVELLE_TSAN_TARGET=name scripts/tsan-audio-graph.sh   # only builds that target of the tree
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
if [ -n "${QUORVELLE_TSAN_TARGET:-}" ]; then
  cmake --build "$build_dir" -j "$jobs" --target "$QUORVELLE_TSAN_TARGET"
  exit 0
fi
cmake --build "$build_dir" -j "$jobs" --target audio_graph_race_tsan audio_engine_transport_race_tsan audio_engine_stretch_tsan

export TSAN_OPTIONS="halt_on_error=1 exitcode=66 second_deadlock_stack=1 suppressions=$source_dir/scripts/tsan-audio-graph/tsan.supp ${TSAN_OPTIONS:-}"

# A fresh HOME, as every test gets.
home=$(mktemp -d)
trap 'rm -rf "$home"' EXIT
HOME="$home" "$build_dir/audio_graph_race_tsan" --gtest_filter='AudioRace.*:AudioRacePool.*'

# The engine keeps its settings under HOME and opens devices: the test launcher gives it its own
# namespaces and HOME, as CTest does.
"$source_dir/scripts/test-launcher.sh" "$build_dir/audio_engine_transport_race_tsan" --gtest_filter='EngineTransportRace.*'
"$source_dir/scripts/test-launcher.sh" "$build_dir/audio_engine_stretch_tsan" --gtest_filter='EngineOfflineStretch.*:EngineStretchCacheRoad.*:EnginePreload.*:EnginePreStretch.*'
