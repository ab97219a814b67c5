#!/usr/bin/env bash
# Light samples per second of oska-render builds side by side: each build
# renders the scene in turn, round after round, so that a change in the
# machine's load falls on all of them alike; the table gives each build's
# median and best round. Use it to compare this tree with a build of an older
# commit.
# Usage: bench/samples_per_second.sh [-n ROUNDS] [-s SCENE] [-t THREADS]
#                                    BUILD_DIR... [-- oska-render options]
#   (defaults: 7 rounds, the showcase, 1 thread; the scene's own samples)
set -euo pipefail
cd "$(dirname "$0")/.."
rounds=7 scene=showcase threads=1
while getopts n:s:t: option; do
  case "$option" in
    n) rounds="$OPTARG" ;;
    s) scene="$OPTARG" ;;
    t) threads="$OPTARG" ;;
    *) exit 2 ;;
  esac
done
shift $((OPTIND - 1))
builds=()
while [ $# -gt 0 ] && [ "$1" != -- ]; do builds+=("$1"); shift; done
[ $# -eq 0 ] || shift
[ ${#builds[@]} -gt 0 ] || { echo "samples_per_second: name at least one build folder" >&2; exit 2; }

image="$(mktemp /tmp/oska-sps-XXXXXX.png)"
trap 'rm -f "$image"' EXIT
declare -A rates
for ((round = 0; round < rounds; ++round)); do
  for build in "${builds[@]}"; do
    line="$("$build/bin/oska-render" "examples/$scene.json" -o "$image" --threads "$threads" "$@" 2>&1 |
      grep -o '[0-9.]*M light samples/s' || true)"
    [ -n "$line" ] || { echo "samples_per_second: $build gave no rate" >&2; exit 1; }
    rates[$build]+=" ${line%%M*}"
  done
done
# A busy machine only ever slows a round down, so the best round is the
# steadier figure where others share the machine; the median, where not.
echo "| build | $scene, $threads thread(s): median M light samples/s | best | every round |"
echo "|---|---|---|---|"
for build in "${builds[@]}"; do
  read -r median best < <(tr ' ' '\n' <<<"${rates[$build]}" | grep . | sort -g |
    awk '{ v[NR] = $1 } END { print ((NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2), v[NR] }')
  echo "| $build | $median | $best |${rates[$build]} |"
done
