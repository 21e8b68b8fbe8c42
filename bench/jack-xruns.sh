#!/usr/bin/env bash
# Xruns on jackd's dummy backend (48 kHz, 8 playback ports) over SECONDS_PER_RUN (default 60) at 128
# and 256 frames, in one run: jack_simple_client alone (the peer), then the engine through its own
# start-up, idle (no session) and with the load of a large show in live stretch, so with the router's
# delay of the direct sources active. The server's count is its "XRun" lines during each client's
# run; the engine also reports the xruns its JACK device counted.
#
#     bash bench/jack-xruns.sh [build-dir]
set -euo pipefail
build=${1:-build}
seconds=${SECONDS_PER_RUN:-60}
runner=$build/bench/audio_engine_EngineJackRun
export JACK_NO_AUDIO_RESERVATION=1

jackd_pid=
cleanup() { [ -n "$jackd_pid" ] && kill "$jackd_pid" 2>/dev/null || true; }
trap cleanup EXIT

for frames in 128 256; do
  name=quorvelle-xruns-$$-$frames
  log=$(mktemp)
  jackd -n "$name" -r -d dummy -r 48000 -p "$frames" -P 8 -C 0 > "$log" 2>&1 &
  jackd_pid=$!
  export JACK_DEFAULT_SERVER=$name
  jack_wait -s "$name" -w -t 10 > /dev/null
  xruns() { grep -c "XRun" "$log" || true; }

  before=$(xruns)
  timeout "$seconds" jack_simple_client > /dev/null 2>&1 || true
  echo "frames=$frames peer jack_simple_client: server xruns $(( $(xruns) - before ))"

  for mode in idle live; do
    before=$(xruns)
    home=$(mktemp -d)
    out=$(HOME=$home "$runner" --seconds "$seconds" --$mode 2> /dev/null | grep '^engine' || echo "engine $mode: did not run")
    rm -rf "$home"
    echo "frames=$frames $out; server xruns $(( $(xruns) - before ))"
  done

  kill "$jackd_pid"
  wait "$jackd_pid" 2> /dev/null || true
  jackd_pid=
  rm -f "$log"
done
