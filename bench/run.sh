#!/usr/bin/env bash
# Times whole ppmtool runs against the I/O floor of its design on generated
# images: the comment filter into the scratch file, one read of it, its
# removal, and three writes of the input's size. Runs come in pairs, tool and
# floor, each after a sync so that none pays for another's writeback, in
# alternating order, after a warm-up. After every second pair from the 8th
# on, the median of the ratios tool/floor and its 95 % confidence interval
# (bench/interval.awk) are placed against the band 0.97-1.03: pairs stop once
# the interval lies wholly below, above or inside it, and at MAXPAIRS (100
# unless given) at most. Prints for each size the pairs run, the median wall,
# user and system seconds of each (the CPU of every process each started
# included), the median ratio, its interval and the interval's exact
# coverage, throughput and peak resident memory against its budget (12 bytes
# a pixel and 16 MiB), then the verdict.
#
# The floor writes with dd, through write(2) as ppmtool must. `cat in > out`
# would copy inside the kernel (copy_file_range), which no program producing
# new bytes can do.
#   bench/run.sh [MAXPAIRS] [SIZE...]     e.g. bench/run.sh 100 1000x1000 2000x1500 4000x3000
#   COLD=12 bench/run.sh ...              each run after a 12 s pause (see common.sh)
set -euo pipefail
max=${1:-100}
shift || true
sizes=("$@")
[ $# -gt 0 ] || sizes=(1000x1000 2000x1500 4000x3000)
if ! [[ $max =~ ^[0-9]+$ ]] || ((max < 6)); then
    echo "$0: MAXPAIRS must be a number of 6 or more, the fewest pairs with a 95 % interval" >&2
    exit 1
fi

# Only root may install what is missing; anyone else is told what to install.
if ! [ -x /usr/bin/time ]; then
    if [ "$(id -u)" -ne 0 ]; then
        echo "$0: /usr/bin/time is missing: install it (sudo apt-get install -y time) and run again" >&2
        exit 1
    fi
    apt-get update && DEBIAN_FRONTEND=noninteractive apt-get install -y time
fi
source "$(dirname "$0")/common.sh"
mode

answers='in.ppm o1 o2 o3'
tool() { echo "$answers" | "$tool"; }
floor() {
    cat in.ppm | LC_ALL=C grep -a -v "#" > ppmdumppppp
    cat ppmdumppppp > /dev/null
    rm ppmdumppppp
    for out in f1 f2 f3; do dd if=in.ppm of=$out bs=1M status=none; done
}

printf '%-10s %6s %5s %7s %7s %7s %7s %7s %7s %6s %12s %8s %5s %7s %10s\n' size MB pairs \
    tool_s user sys floor_s user sys ratio interval_95% coverage MB/s rss_MiB budget_MiB
for size in "${sizes[@]}"; do
    w=${size%x*} h=${size#*x}
    "$gen" noise "$w" "$h" > in.ppm
    mb=$(awk -v b="$(stat -c %s in.ppm)" 'BEGIN { printf "%.1f", b / 1e6 }')
    floor > /dev/null; tool > /dev/null # warm-up
    pairs floor tool "$max"
    read -r n median low high coverage _ < <(interval)
    rss=$(echo "$answers" | /usr/bin/time -f %M "$tool" 2>&1 >/dev/null | tail -n 1)
    mapfile -t sides < <(medians tb; medians ta)
    printf '%-10s %6s %5d %7.3f %7.3f %7.3f %7.3f %7.3f %7.3f %6.3f %12s %7.1f%% %5.0f %7.1f %10.1f\n' "$size" "$mb" "$n" \
        "${sides[@]}" "$median" "$(printf '%.3f-%.3f' "$low" "$high")" "$(calc "$coverage * 100")" \
        "$(calc "$mb / ${sides[0]}")" "$(calc "$rss / 1024")" "$(calc "$w * $h * 12 / 1048576 + 16")"
    echo "  $(verdict ppmtool ' than the floor')"
done
