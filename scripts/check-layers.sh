#!/usr/bin/env bash
# Fails when a source includes a header of a layer above its own. The layers, bottom up:
#   platform/ and charts/; core/ (over charts/); audio/graph/; audio/transport/, audio/loading/;
#   audio/engine/; typedbridge/, bridge/, net/; app/ on top.
# Each folder below lists the folders its .h/.cpp files may include from (quoted includes only).
set -euo pipefail
cd "$(dirname "$0")/.."

below_app="platform charts core audio/graph audio/transport audio/loading audio/engine typedbridge bridge net"
declare -A allowed=(
  [platform]="platform"
  [charts]="charts"
  [core]="core charts"
  [audio/graph]="audio/graph core charts platform"
  [audio/transport]="audio/transport audio/loading audio/graph core charts platform"
  [audio/loading]="audio/loading audio/graph core charts platform"
  [audio/engine]="audio/engine audio/transport audio/loading audio/graph core charts platform"
  [typedbridge]="typedbridge core charts platform"
  [bridge]="bridge typedbridge net audio core charts platform"
  [net]="net bridge typedbridge audio core charts platform"
)

# The folder of an included path, at the granularity of the table (audio/x and net/x by their parent
# where the table names the parent).
layer_of() {
  case "$1" in
    audio/graph/*) echo audio/graph ;;
    audio/transport/*) echo audio/transport ;;
    audio/loading/*) echo audio/loading ;;
    audio/engine/*) echo audio/engine ;;
    */*) echo "${1%%/*}" ;;
    *) echo "" ;; # a header beside the source
  esac
}

is_allowed() { # folder included
  local entry
  for entry in ${allowed[$1]}; do
    [[ "$2" == "$entry" || "$2" == "$entry"/* ]] && return 0
  done
  return 1
}

failures=0
checked=0
for folder in $below_app; do
  [ -d "$folder" ] || continue
  while IFS= read -r line; do
    file=${line%%:*}
    rest=${line#*:}
    number=${rest%%:*}
    included=$(sed -E 's/.*#[[:space:]]*include[[:space:]]*"([^"]*)".*/\1/' <<< "$rest")
    target=$(layer_of "$included")
    checked=$((checked + 1))
    [ -z "$target" ] && continue
    if ! is_allowed "$folder" "$target"; then
      echo "upward include: $file:$number includes \"$included\" ($folder may include: ${allowed[$folder]})"
      failures=$((failures + 1))
    fi
  done < <(grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"' --include='*.h' --include='*.cpp' "$folder" || true)
done

if [ "$failures" -ne 0 ]; then
  echo "check-layers: $failures upward include(s)"
  exit 1
fi
echo "check-layers: $checked quoted includes below app/, none upward"
