#!/usr/bin/env bash
# Runs one test program in a fresh network namespace with only loopback up, in its own IPC and
# mount namespaces with a private /dev/shm (audio libraries keep their registries there: a test
# killed half-way must not leave a lock that hangs the next one), and with a temporary HOME (and
# XDG folders) of its own, removed afterwards. Fails when the namespaces cannot be made.
set -u
if [ "${QUORVELLE_IN_TEST_NS:-}" != 1 ]; then
  export QUORVELLE_IN_TEST_NS=1
  exec unshare --net --ipc --mount --propagation private -- "$0" "$@"
fi

if ! mount -t tmpfs -o mode=1777,size=256m tmpfs /dev/shm 2>/dev/null; then
  echo "test-launcher: cannot mount a private /dev/shm in the test's namespace" >&2
  exit 96
fi

if ! ip link set lo up 2>/dev/null; then
  echo "test-launcher: cannot bring up lo in the test's network namespace" >&2
  exit 97
fi

# The repository root, for fixtures; the build folder comes from CTest's environment.
QUORVELLE_SOURCE_DIR=$(cd "$(dirname "$0")/.." && pwd)
export QUORVELLE_SOURCE_DIR

home=$(mktemp -d "${TMPDIR:-/tmp}/quorvelle-home.XXXXXX") || exit 98
trap 'rm -rf "$home"' EXIT
export HOME="$home"
export XDG_CONFIG_HOME="$home/.config"
export XDG_DATA_HOME="$home/.local/share"
export XDG_CACHE_HOME="$home/.cache"
export XDG_RUNTIME_DIR="$home/.run"
mkdir -p "$XDG_CONFIG_HOME" "$XDG_DATA_HOME" "$XDG_CACHE_HOME" "$XDG_RUNTIME_DIR"
chmod 700 "$XDG_RUNTIME_DIR"
unset OneDrive OneDriveConsumer OneDriveCommercial
unset http_proxy https_proxy HTTP_PROXY HTTPS_PROXY all_proxy ALL_PROXY
export no_proxy='*'
"$@"
