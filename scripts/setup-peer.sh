#!/usr/bin/env bash
# Installs the npm packages of the typed bridge's test peer (flatbuffers and typescript, pinned by
# its package-lock.json). Test tooling only; the program does not use them.
set -euo pipefail
cd "$(dirname "$0")/../tests/typedbridge/peer"
if [ -d node_modules/flatbuffers ] && [ -x node_modules/.bin/tsc ]; then
  echo "setup-peer: npm packages present"
  exit 0
fi
npm ci --no-audit --no-fund
