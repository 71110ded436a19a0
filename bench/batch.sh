#!/usr/bin/env bash
# Times a batch of small images converted in one folder: a serial loop against
# xargs -P2 and xargs -P"$(nproc)". Every image is different, so an output that
# went to the wrong run shows; every output of every way must be byte-identical
# to the loop's. Prints the median time of each way, its speedup over the loop,
# and how many cores its processes kept busy on average (their CPU time over
# the time taken): a loop that already keeps C cores busy can gain at most
# nproc / C from running in parallel.
#   bench/batch.sh [COUNT] [SIZE] [RUNS]     e.g. bench/batch.sh 200 96x72 5
set -euo pipefail
count=${1:-200}
size=${2:-96x72}
runs=${3:-5}
w=${size%x*} h=${size#*x}

source "$(dirname "$0")/common.sh"

# One long noise image cut into COUNT images: ppmgen writes five pixels a line,
# so each image takes enough whole lines for its pixels (the few extra samples
# on its last line are ignored) and keeps the comment lines that fall in it.
lines=$(((w * h + 4) / 5))
"$gen" noise "$w" $((count * lines * 5 / w + 1)) |
    awk -v count="$count" -v lines="$lines" -v size="$w $h" '
        NR <= 5 { next } # the long image header
        !/^#/ && n % lines == 0 {
            if (file) close(file)
            if (n / lines == count) exit
            file = sprintf("img%04d.ppm", n / lines)
            printf "P3\n# image %d of a batch, from ppmgen noise\n%s\n255\n", n / lines, size > file
        }
        { print > file; if (!/^#/) n++ }'
images=(img*.ppm)
[ ${#images[@]} -eq "$count" ] || { echo "batch.sh: could not make $count images" >&2; exit 1; }

# The CPU seconds of this shell's children so far, from `times` run in this
# shell itself, into the file named.
childCpu() { times > "$1"; }
seconds() { awk 'NR == 2 { split($1, u, /[ms]/); split($2, s, /[ms]/); print u[1] * 60 + u[2] + s[1] * 60 + s[2] }' "$1"; }

ways=(serial 2)
[ "$(nproc)" -eq 2 ] || ways+=("$(nproc)")
batch() { # batch WAY: every image into out-WAY/, run from this folder
    rm -rf "out-$1" && mkdir "out-$1"
    if [ "$1" = serial ]; then
        for f in "${images[@]}"; do "$tool" "$f" "out-$1/$f.n" "out-$1/$f.c" "out-$1/$f.p"; done
    else
        printf '%s\n' "${images[@]}" | xargs -P"$1" -I{} "$tool" {} "out-$1/{}.n" "out-$1/{}.c" "out-$1/{}.p"
    fi
}

batch serial # warm-up, and the outputs every other way must match
for ((i = 0; i < runs; i++)); do
    # Alternate the order, and sync first, so that no way pays for another's writeback.
    mapfile -t order < <(printf '%s\n' "${ways[@]}" | if ((i % 2)); then tac; else cat; fi)
    for way in "${order[@]}"; do
        sync
        childCpu cpu-a; a=$(now); batch "$way"; b=$(now); childCpu cpu-b
        awk -v a="$a" -v b="$b" 'BEGIN { print b - a }' >> "t-$way"
        awk -v a="$a" -v b="$b" -v c="$(seconds cpu-a)" -v d="$(seconds cpu-b)" 'BEGIN { print (d - c) / (b - a) }' >> "c-$way"
        outputs=("out-$way"/*)
        if [ ${#outputs[@]} -ne $((3 * count)) ] || ! diff -r out-serial "out-$way" >/dev/null; then
            echo "batch.sh: the outputs of xargs -P$way differ from the loop's" >&2
            exit 1
        fi
    done
done

echo "$count images of $size, one folder, $(nproc) cores, median of $runs runs; outputs byte-identical"
printf '%-12s %8s %8s %6s\n' way seconds speedup cores
serial=$(median < t-serial)
for way in "${ways[@]}"; do
    t=$(median < "t-$way")
    label=$([ "$way" = serial ] && echo loop || echo "xargs -P$way")
    printf '%-12s %8.3f %8.2f %6.2f\n' "$label" "$t" "$(awk -v s="$serial" -v t="$t" 'BEGIN { print s / t }')" \
        "$(median < "c-$way")"
done
