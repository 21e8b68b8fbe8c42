#!/usr/bin/env bash
# Builds the typed bridge's outside peer (TypeScript client) into the build tree:
#   build-typed-peer.sh <peer source dir> <output dir> <schema.fbs> <flatc>
# The npm packages come from scripts/setup-peer.sh; without them the peer is not built and the
# peer tests say so.
set -euo pipefail
src="$1"; out="$2"; schema="$3"; flatc="$4"

if [ ! -d "$src/node_modules/flatbuffers" ] || [ ! -x "$src/node_modules/.bin/tsc" ]; then
  echo "typed peer: $src/node_modules missing (run scripts/setup-peer.sh); peer not built" >&2
  rm -rf "$out/dist"
  exit 0
fi

rm -rf "$out/src" "$out/generated" "$out/dist"
mkdir -p "$out"
cp -r "$src/src" "$out/src"
cp "$src/tsconfig.json" "$out/tsconfig.json"
ln -sfn "$src/node_modules" "$out/node_modules"
"$flatc" --ts --no-warnings -o "$out/generated" "$schema"
node "$src/node_modules/typescript/bin/tsc" -p "$out/tsconfig.json"
