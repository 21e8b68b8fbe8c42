#!/usr/bin/env bash
# Sets up, builds and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."
# Compiler cache entries keyed relative to the checkout, so that every clone shares them.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
bash scripts/setup.sh
bash scripts/build.sh
exec build/quorvelle "$@"
