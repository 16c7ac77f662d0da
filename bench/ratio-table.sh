# Sourced by the benchmarks: ratio_table SIZE_MIB FILE... prints the mean wall time, CPU time,
# throughput and peak memory of each tool and their ratios to bwget. Each file holds one line a
# run ("wall user system peak-KiB ok|failed", /usr/bin/time's figures) and is named after its tool,
# with an optional "scenario_" prefix; bwget's file comes first.
ratio_table() {
  local size=$1
  shift
  awk -v size="$size" '
    function ratio(a, b) { return b > 0 ? sprintf("%.2f", a / b) : "-" }
    FNR == 1 { tool = FILENAME; sub(/.*\//, "", tool); sub(/^[a-z]+_/, "", tool); order[++tools] = tool }
    { wall[tool] += $1; cpu[tool] += $2 + $3; rss[tool] += $4; n[tool]++; if ($5 != "ok") failed[tool]++ }
    END {
      printf "%-16s %8s %8s %8s %14s %7s\n", "", "wall s", "CPU s", "MiB/s", "peak RSS MiB", "failed"
      for (i = 1; i <= tools; i++) {
        t = order[i]
        wall[t] /= n[t]; cpu[t] /= n[t]; rss[t] /= n[t] * 1024
        printf "%-16s %8.2f %8.2f %8.1f %14.1f %7d\n", t, wall[t], cpu[t], (wall[t] > 0 ? size / wall[t] : 0), rss[t], failed[t]
      }
      for (i = 2; i <= tools; i++) {
        t = order[i]
        printf "%-16s %8s %8s %8s %14s\n", "bwget/" t, ratio(wall["bwget"], wall[t]), ratio(cpu["bwget"], cpu[t]), "",
               ratio(rss["bwget"], rss[t])
      }
    }' "$@"
}
