#!/usr/bin/env bash
# Times whole ppmtool runs against the I/O floor of its design on generated images:
# the comment filter into the scratch file, one read of it, its removal, and three
# writes of the input's size. Prints medians of paired runs, the median ratio of
# each pair, throughput and peak resident memory.
#   bench/run.sh [RUNS] [SIZE...]     e.g. bench/run.sh 5 1000x1000 2000x1500 4000x3000
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
runs=${1:-5}
shift || true
sizes=("$@")
[ $# -gt 0 ] || sizes=(1000x1000 2000x1500 4000x3000)

command -v /usr/bin/time >/dev/null || { apt-get update && apt-get install -y time; }
cmake --preset default >/dev/null
cmake --build --preset default --target ppmtool ppmgen >/dev/null
tool=$root/build/default/ppmtool
gen=$root/build/default/ppmgen

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

now() { date +%s.%N; }
floor() {
    cat in.ppm | grep -v '#' > ppmdumppppp
    cat ppmdumppppp > /dev/null
    rm ppmdumppppp
    cat in.ppm > f1
    cat in.ppm > f2
    cat in.ppm > f3
}
calc() { awk "BEGIN { print $1 }"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

printf '%-10s %8s %10s %10s %8s %9s %10s %12s\n' size MB ppmtool_s floor_s ratio MB/s rss_MiB budget_MiB
for size in "${sizes[@]}"; do
    w=${size%x*} h=${size#*x}
    "$gen" noise "$w" "$h" > in.ppm
    mb=$(awk -v b="$(stat -c %s in.ppm)" 'BEGIN { printf "%.1f", b / 1e6 }')
    answers='in.ppm o1 o2 o3'
    echo "$answers" | "$tool" > /dev/null # warm-up
    floor
    : > t_tool; : > t_floor; : > ratios
    for ((i = 0; i < runs; i++)); do
        a=$(now); echo "$answers" | "$tool" > /dev/null; b=$(now)
        floor; c=$(now)
        t=$(calc "$b - $a"); f=$(calc "$c - $b")
        echo "$t" >> t_tool; echo "$f" >> t_floor; calc "$t / $f" >> ratios
    done
    rss=$(echo "$answers" | /usr/bin/time -f %M "$tool" 2>&1 >/dev/null | tail -n 1)
    mt=$(median < t_tool); mf=$(median < t_floor); mr=$(median < ratios)
    printf '%-10s %8s %10.3f %10.3f %8.2f %9.0f %10.1f %12.1f\n' "$size" "$mb" "$mt" "$mf" "$mr" \
        "$(calc "$mb / $mt")" "$(calc "$rss / 1024")" "$(calc "$w * $h * 12 / 1048576 + 16")"
done
