#!/usr/bin/env bash
# Installs the npm packages of the test peers, each pinned by its package-lock.json: the typed
# bridge's peer (flatbuffers, typescript) and the web peer (ws: devices, fake pages, the DevTools
# driver for headless Chromium). Test tooling only; the program does not use them.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"

cd "$root/tests/typedbridge/peer"
if [ -d node_modules/flatbuffers ] && [ -x node_modules/.bin/tsc ]; then
  echo "setup-peer: typed bridge peer packages present"
else
  npm ci --no-audit --no-fund
fi

cd "$root/tests/webpeer"
if [ -d node_modules/ws ]; then
  echo "setup-peer: web peer packages present"
else
  npm ci --no-audit --no-fund
fi
