# Sourced by scripts that start local servers: the ids a script adds to `pids` are stopped and
# waited for when it ends, however it ends, then the mirrors under $work/mirrors are stopped and
# $work is removed. Set `work` before sourcing.
pids=()
cleanup() {
  for pid in "${pids[@]}"; do kill "$pid" 2>/dev/null || true; done
  for pid in "${pids[@]}"; do wait "$pid" 2>/dev/null || true; done
  bash scripts/mirrors.sh stop "$work/mirrors"
  rm -rf "$work"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
