# Sourced by the benchmarks: builds the Release preset's ppmtool and ppmgen,
# names them (PPMTOOL, if set, names another build of the tool to time), moves
# into a scratch directory removed at exit, and gives the helpers they share.
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
(cd "$root" && cmake --preset default >/dev/null && cmake --build --preset default --target ppmtool ppmgen >/dev/null)
tool=${PPMTOOL:-$root/build/default/ppmtool}
gen=$root/build/default/ppmgen

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
cd "$work"

now() { date +%s.%N; }
calc() { awk "BEGIN { print $1 }"; }
median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }
# The lowest and the highest value, as LOW-HIGH with DIGITS decimals (2 unless given): a
# rerun's median should land inside, and a quotient of medians too.
range() { sort -g | awk -v d="${1:-2}" 'NR == 1 { lo = $1 } { hi = $1 } END { printf "%.*f-%.*f\n", d, lo, d, hi }'; }
