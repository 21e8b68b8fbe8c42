#!/usr/bin/env bash
# Sets up, builds and starts the program.
set -euo pipefail
cd "$(dirname "$0")/.."
# Compiler cache entries keyed relative to the checkout, so that every clone shares them.
export CCACHE_BASEDIR="$PWD" CCACHE_NOHASHDIR=true
bash scripts/setup.sh
bash scripts/build.sh
# The front end opens in the desktop browser, served by the program on 127.0.0.1.
exec build/quorvelle --open-browser "$@"
