#!/usr/bin/env bash
# Times whole ppmtool runs against the I/O floor of its design on generated images:
# the comment filter into the scratch file, one read of it, its removal, and three
# writes of the input's size. Prints medians of paired runs, the median of the
# pairs' ratios and their range (lowest-highest), throughput and peak resident
# memory. Each run starts after a sync, so that none pays for another's
# writeback, and the order alternates.
#
# The floor writes with dd, through write(2) as ppmtool must. `cat in > out`
# would copy inside the kernel (copy_file_range), which no program producing
# new bytes can do; its time is shown too, as cat_floor_s, cat_ratio and cat_range.
#   bench/run.sh [RUNS] [SIZE...]     e.g. bench/run.sh 5 1000x1000 2000x1500 4000x3000
set -euo pipefail
runs=${1:-5}
shift || true
sizes=("$@")
[ $# -gt 0 ] || sizes=(1000x1000 2000x1500 4000x3000)

# Only root may install what is missing; anyone else is told what to install.
if ! [ -x /usr/bin/time ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "$0: /usr/bin/time is missing: install it (sudo apt-get install -y time) and run again" >&2
        exit 1
    fi
    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y time
fi
source "$(dirname "$0")/common.sh"

floor() { # floor dd|cat
    cat in.ppm | LC_ALL=C grep -a -v "#" > ppmdumppppp
    cat ppmdumppppp > /dev/null
    rm ppmdumppppp
    for out in f1 f2 f3; do
        if [ "$1" = dd ]; then dd if=in.ppm of=$out bs=1M status=none; else cat in.ppm > $out; fi
    done
}
tool() { echo "$answers" | "$tool"; }
timed() { sync; local a; a=$(now); "$@" > /dev/null; calc "$(now) - $a"; }

printf '%-10s %7s %10s %8s %6s %11s %12s %10s %11s %6s %8s %11s\n' \
    size MB ppmtool_s floor_s ratio ratio_range cat_floor_s cat_ratio cat_range MB/s rss_MiB budget_MiB
for size in "${sizes[@]}"; do
    w=${size%x*} h=${size#*x}
    "$gen" noise "$w" "$h" > in.ppm
    mb=$(awk -v b="$(stat -c %s in.ppm)" 'BEGIN { printf "%.1f", b / 1e6 }')
    answers='in.ppm o1 o2 o3'
    echo "$answers" | "$tool" > /dev/null # warm-up
    floor dd
    : > t_tool; : > t_floor; : > ratios; : > t_cat; : > cat_ratios
    for ((i = 0; i < runs; i++)); do
        if ((i % 2 == 0)); then
            t=$(timed tool); f=$(timed floor dd); g=$(timed floor cat)
        else
            g=$(timed floor cat); f=$(timed floor dd); t=$(timed tool)
        fi
        echo "$t" >> t_tool; echo "$f" >> t_floor; echo "$g" >> t_cat
        calc "$t / $f" >> ratios; calc "$t / $g" >> cat_ratios
    done
    rss=$(echo "$answers" | /usr/bin/time -f %M "$tool" 2>&1 >/dev/null | tail -n 1)
    mt=$(median < t_tool); mf=$(median < t_floor); mr=$(median < ratios)
    mc=$(median < t_cat); mcr=$(median < cat_ratios)
    printf '%-10s %7s %10.3f %8.3f %6.2f %11s %12.3f %10.2f %11s %6.0f %8.1f %11.1f\n' "$size" "$mb" "$mt" "$mf" "$mr" \
        "$(range < ratios)" "$mc" "$mcr" "$(range < cat_ratios)" "$(calc "$mb / $mt")" "$(calc "$rss / 1024")" \
        "$(calc "$w * $h * 12 / 1048576 + 16")"
done
