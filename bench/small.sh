#!/usr/bin/env bash
# Times whole runs on a small image, where starting processes is most of the
# cost, against a minimal C program that does what any loader of this design
# must: the comment filter through system(3) into the scratch file, one read
# of it, its removal through system(3), and three writes of the input.
# Blocks of runs alternate between the two; prints the medians per run and
# their ratio.
#   bench/small.sh [BLOCKS] [SIZE]     e.g. bench/small.sh 10 96x72
set -euo pipefail
blocks=${1:-10}
size=${2:-96x72}
per=20 # runs in a block

source "$(dirname "$0")/common.sh"

cat > minimal.c <<'C'
#include <stdio.h>
#include <stdlib.h>

int main(void)
{
    static char text[1 << 24];
    if (system("cat in.ppm | LC_ALL=C grep -a -v '#' > ppmdumppppp") == -1)
        return 1;
    FILE* in = fopen("ppmdumppppp", "r");
    size_t n = in ? fread(text, 1, sizeof text, in) : 0;
    if (in)
        fclose(in);
    if (system("rm ppmdumppppp") == -1)
        return 1;
    for (const char* const* name = (const char* const[]){"o1", "o2", "o3", NULL}; *name; ++name) {
        FILE* out = fopen(*name, "w");
        fwrite(text, 1, n, out);
        fclose(out);
    }
    return 0;
}
C
cc -O2 -o minimal minimal.c
"$gen" noise "${size%x*}" "${size#*x}" > in.ppm

block() { # block COMMAND...: seconds per run over $per runs
    local a; a=$(now)
    for ((k = 0; k < per; k++)); do "$@" > /dev/null; done
    awk -v a="$a" -v b="$(now)" -v n="$per" 'BEGIN { print (b - a) / n }'
}
block "$tool" in.ppm o1 o2 o3 > /dev/null # warm-up
: > t_tool; : > t_min; : > ratios
for ((i = 0; i < blocks; i++)); do
    if ((i % 2 == 0)); then
        t=$(block "$tool" in.ppm o1 o2 o3); m=$(block ./minimal)
    else
        m=$(block ./minimal); t=$(block "$tool" in.ppm o1 o2 o3)
    fi
    echo "$t" >> t_tool; echo "$m" >> t_min
    awk -v t="$t" -v m="$m" 'BEGIN { print t / m }' >> ratios
done
printf '%-8s %8s %12s %12s %6s\n' size KB ppmtool_ms minimal_ms ratio
printf '%-8s %8.1f %12.2f %12.2f %6.2f\n' "$size" "$(awk -v b="$(stat -c %s in.ppm)" 'BEGIN { print b / 1000 }')" \
    "$(median < t_tool | awk '{ print $1 * 1000 }')" "$(median < t_min | awk '{ print $1 * 1000 }')" "$(median < ratios)"
