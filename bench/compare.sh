#!/usr/bin/env bash
# Paired timing of two ppmtool executables, for keeping an optimisation only
# while it pays: each round runs A and B on the same generated image, each
# after a sync and in alternating order, and the medians of both and the median
# and range (lowest-highest) of the ratio B/A are printed for each size.
#   bench/compare.sh A B [RUNS] [SIZE...]   e.g. bench/compare.sh old/ppmtool new/ppmtool 9 4000x3000
set -euo pipefail
a=$(realpath "$1") b=$(realpath "$2")
runs=${3:-9}
shift 3 || shift $#
sizes=("$@")
[ $# -gt 0 ] || sizes=(2000x1500 4000x3000)

source "$(dirname "$0")/common.sh"

run() { echo 'in.ppm o1 o2 o3' | "$1" > /dev/null; }

printf '%-10s %8s %8s %8s %13s\n' size A_s B_s B/A B/A_range
for size in "${sizes[@]}"; do
    "$gen" noise "${size%x*}" "${size#*x}" > in.ppm
    run "$a"; run "$b" # warm-up
    : > ta; : > tb; : > ratios
    for ((i = 0; i < runs; i++)); do
        # Each run after a sync, the order alternating, so that neither pays for the other's writeback.
        if ((i % 2 == 0)); then
            sync; t0=$(now); run "$a"; t1=$(now); sync; t2=$(now); run "$b"; t3=$(now)
            ta_=$(calc "$t1 - $t0"); tb_=$(calc "$t3 - $t2")
        else
            sync; t0=$(now); run "$b"; t1=$(now); sync; t2=$(now); run "$a"; t3=$(now)
            tb_=$(calc "$t1 - $t0"); ta_=$(calc "$t3 - $t2")
        fi
        echo "$ta_" >> ta; echo "$tb_" >> tb; calc "$tb_ / $ta_" >> ratios
    done
    printf '%-10s %8.3f %8.3f %8.3f %13s\n' "$size" "$(median < ta)" "$(median < tb)" "$(median < ratios)" "$(range 3 < ratios)"
done
