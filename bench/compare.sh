#!/usr/bin/env bash
# Paired timing of two ppmtool executables, for keeping an optimisation only
# while it pays: each pair runs A and B on the same generated image, each
# after a sync and in alternating order, after a warm-up. After every second
# pair from the 8th on, the median of the ratios B/A and its 95 % confidence
# interval (bench/interval.awk) are placed against the band 0.97-1.03: pairs
# stop once the interval lies wholly below or above it (B faster or slower)
# or wholly inside it (the same within 3 %), and at MAXPAIRS (100 unless
# given) at most. Prints for each size the pairs run, each side's median wall,
# user and system seconds (the CPU of the filter's shell, cat and grep
# included), the median ratio, its interval and the interval's exact
# coverage, then the verdict.
#   bench/compare.sh A B [MAXPAIRS] [SIZE...]   e.g. bench/compare.sh old/ppmtool new/ppmtool 40 4000x3000
#   COLD=12 bench/compare.sh ...                each run after a 12 s pause (see common.sh)
set -euo pipefail
a=$(realpath "$1") b=$(realpath "$2")
max=${3:-100}
shift 3 || shift $#
sizes=("$@")
[ $# -gt 0 ] || sizes=(2000x1500 4000x3000)
if ! [[ $max =~ ^[0-9]+$ ]] || ((max < 6)); then
    echo "$0: MAXPAIRS must be a number of 6 or more, the fewest pairs with a 95 % interval" >&2
    exit 1
fi

source "$(dirname "$0")/common.sh"
mode

run() { echo 'in.ppm o1 o2 o3' | "$1"; }
sideA() { run "$a"; }
sideB() { run "$b"; }

printf '%-10s %5s %7s %7s %7s %7s %7s %7s %6s %12s %8s\n' \
    size pairs A_s A_user A_sys B_s B_user B_sys B/A interval_95% coverage
for size in "${sizes[@]}"; do
    "$gen" noise "${size%x*}" "${size#*x}" > in.ppm
    sideA > /dev/null; sideB > /dev/null # warm-up
    pairs sideA sideB "$max"
    read -r n median low high coverage _ < <(interval)
    mapfile -t sides < <(medians ta; medians tb)
    printf '%-10s %5d %7.3f %7.3f %7.3f %7.3f %7.3f %7.3f %6.3f %12s %7.1f%%\n' "$size" "$n" "${sides[@]}" \
        "$median" "$(printf '%.3f-%.3f' "$low" "$high")" "$(calc "$coverage * 100")"
    echo "  $(verdict B)"
done
