#!/usr/bin/env bash
# Refuses an include that points up the layers: platform → frame → common → reporting, storage,
# net → sources → task → api → tools and app. Run by every build; exits 1 naming each offender.
set -euo pipefail
root="${1:-$(dirname "$0")/..}"
cd "$root"

below_frame="platform"
below_common="$below_frame engine/frame"
below_middle="$below_common engine/common"
below_sources="$below_middle engine/storage engine/net"
below_task="$below_sources reporting engine/sources"
below_api="$below_task engine/task"

declare -A allowed=(
  [platform]=""
  [engine/frame]="$below_frame"
  [engine/common]="$below_common"
  [reporting]="$below_middle"
  [engine/storage]="$below_middle"
  [engine/net]="$below_middle"
  [engine/sources]="$below_sources"
  [engine/task]="$below_task"
  [engine/api]="$below_api"
  [app/package]=""
  [app]="platform engine/api app/package"
  [app/ui]="platform engine/api app/package app app/ui/program"
)

status=0
for layer in "${!allowed[@]}"; do
  [[ -d $layer ]] || continue
  permitted=" $layer ${allowed[$layer]} "
  # A layer nested in this one (app/ui in app) is checked on its own.
  nested=()
  for other in "${!allowed[@]}"; do
    [[ $other == "$layer"/* ]] && nested+=(--exclude-dir="${other#"$layer"/}")
  done
  while IFS=: read -r file line include; do
    target=$(sed -E 's/.*#include "([^"]+)".*/\1/' <<<"$include")
    folder=${target%/*}
    [[ $permitted == *" $folder "* ]] && continue
    echo "$file:$line: $layer may not include $target" >&2
    status=1
  done < <(grep -rnE '^#include "(platform|engine|reporting|tools|app)/' "$layer" "${nested[@]}" --include='*.h' --include='*.cpp' || true)
done

# Programs and the application reach the engine through its public header only; the rendezvous
# server speaks the engines' wire format, so it shares the one header that writes and reads it.
while IFS=: read -r file line include; do
  [[ $file == tools/bwrendezvous/* && $include == *'"engine/net/RendezvousWire.h"'* ]] && continue
  echo "$file:$line: only engine/api/EngineApi.h is public: $include" >&2
  status=1
done < <(grep -rnE '^#include "engine/' tools app --include='*.h' --include='*.cpp' 2>/dev/null |
           grep -v '"engine/api/EngineApi.h"' || true)
exit $status
