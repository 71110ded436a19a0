#!/usr/bin/env bash
# What the pixel array's page faults cost: times the first touch of an array
# of MIB mebibytes (144 for a 4000x3000 image) made of huge pages (aligned to
# them and advised to use them), against 4 KiB pages, as the loader makes it,
# and against an anonymous mapping populated at once (MAP_POPULATE). Prints the
# wall and system seconds of each: its first run apart, cold, after a pause of
# COLD seconds (12 unless given), as a user's single run meets the machine
# (some hosts take back within seconds the memory a guest freed, and a kernel
# may have no huge page made), and the median of the RUNS - 1 runs that follow
# it, warm.
#   bench/pagefaults.sh [MIB] [RUNS]     e.g. bench/pagefaults.sh 144 9
set -euo pipefail
mib=${1:-144}
runs=${2:-9}
((runs >= 2)) || { echo "$0: RUNS must be 2 or more: one cold, the rest warm" >&2; exit 1; }
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cat > "$work/probe.c" <<'C'
#define _GNU_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <time.h>

static double now(void) { struct timespec t; clock_gettime(CLOCK_MONOTONIC, &t); return t.tv_sec + t.tv_nsec / 1e9; }
static double sys(void) { struct rusage u; getrusage(RUSAGE_SELF, &u); return u.ru_stime.tv_sec + u.ru_stime.tv_usec / 1e6; }

int main(int argc, char** argv)
{
    size_t bytes = strtoull(argv[1], NULL, 10) << 20;
    const char* way = argv[2];
    double t = now(), s = sys();
    char* p;
    if (strcmp(way, "populate") == 0) {
        p = mmap(NULL, bytes, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS | MAP_POPULATE, -1, 0);
    } else {
        size_t unit = strcmp(way, "huge") == 0 ? 2 << 20 : 4096;
        p = aligned_alloc(unit, (bytes + unit - 1) / unit * unit);
        if (unit > 4096)
            madvise(p, bytes, MADV_HUGEPAGE);
    }
    for (size_t i = 0; i < bytes; i += 4096)
        p[i] = 1;
    printf("%.4f %.4f\n", now() - t, sys() - s);
    return 0;
}
C
cc -O2 -o "$work/probe" "$work/probe.c"
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
pause=${COLD:-12}
printf '%-9s %12s %12s %12s %12s\n' pages cold_wall_s cold_sys_s warm_wall_s warm_sys_s
for way in huge 4k populate; do
    sleep "$pause"
    read -r wall system < <("$work/probe" "$mib" "$way")
    for ((i = 1; i < runs; i++)); do "$work/probe" "$mib" "$way"; done > "$work/t"
    printf '%-9s %12.4f %12.4f %12.4f %12.4f\n' "$way" "$wall" "$system" "$(cut -d' ' -f1 "$work/t" | median)" \
        "$(cut -d' ' -f2 "$work/t" | median)"
done
