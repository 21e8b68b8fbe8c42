#!/usr/bin/env bash
# Builds the typed bridge's libFuzzer target with clang in its own tree and runs it for the given
# number of seconds (default 60), seeded with the peer's buffers (one per payload type). Fails on
# any crash, leak or sanitizer report.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
seconds="${1:-60}"
build="${QUORVELLE_FUZZ_BUILD_DIR:-$root/build-fuzz-typedbridge}"

# The compiler cache (when present) and every core: the tree compiles JUCE with the sanitizers.
launcher=()
if command -v ccache > /dev/null; then
  launcher=(-DCMAKE_C_COMPILER_LAUNCHER=ccache -DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
fi
CC=clang CXX=clang++ cmake -S "$root/tests/typedbridge/fuzz" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "${launcher[@]}" >/dev/null
cmake --build "$build" -j"${QUORVELLE_FUZZ_JOBS:-$(nproc)}"

# Seeds: one buffer per payload type, built by the TypeScript peer (the target Base64-encodes its
# input itself). Without a built peer, the peer's committed fixture buffers.
corpus="$build/corpus"
mkdir -p "$corpus"
peer_seeds=""
for dir in "${QUORVELLE_BUILD_DIR:-}" "$root/build"; do
  if [ -n "$dir" ] && [ -f "$dir/typedbridge-peer/dist/src/seeds.js" ]; then peer_seeds="$dir/typedbridge-peer/dist/src/seeds.js"; break; fi
done
if [ -n "$peer_seeds" ]; then
  node "$peer_seeds" "$corpus"
else
  python3 - "$root/tests/typedbridge/fixtures/peer-inbound.json" "$corpus" <<'PY'
import base64, json, sys
for i, f in enumerate(json.load(open(sys.argv[1]))):
    open(f"{sys.argv[2]}/seed-{i:03d}-{f['name']}", "wb").write(base64.b64decode(f["data"]))
PY
fi

# Inputs that once failed start the corpus too.
cp "$root/tests/typedbridge/fuzz/regressions/"* "$corpus/"

artifacts="$build/artifacts/"
mkdir -p "$artifacts"
"$build/typedbridge_fuzz" -max_total_time="$seconds" -rss_limit_mb=4096 -max_len=65536 \
  -artifact_prefix="$artifacts" "$corpus"
