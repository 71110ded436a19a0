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

# COLD=SECONDS pauses that long before each timed run: on a virtual machine
# the host takes back, within seconds, the memory the guest freed, so a run
# after a pause meets fresh pages that fault on the host again, as a user's
# single run does; back to back (COLD unset or 0, warm), it does not.
pause=${COLD:-0}
if ! [[ $pause =~ ^[0-9]+$ ]]; then
    echo "$0: COLD must be a whole number of seconds" >&2
    exit 1
fi
mode() {
    if ((pause > 0)); then echo "mode: cold, a ${pause} s pause before each run"; else echo "mode: warm, runs back to back"; fi
}

# timed FILE COMMAND...: runs COMMAND after a sync (and the pause), its output discarded, and
# appends "wall user system" seconds to FILE. bash's time counts the CPU of
# every process waited for meanwhile, so ppmtool's filter shell, cat and grep
# are in it (each is reaped by its parent), and it gives milliseconds where
# GNU time gives hundredths, too coarse for runs of a tenth of a second. The
# kernel splits a process's CPU time into user and system by sampling at its
# tick, so single runs' splits scatter and only their medians mean much.
timed() {
    local file=$1 TIMEFORMAT='%3R %3U %3S'
    shift
    sync
    sleep "$pause"
    { time "$@" > /dev/null 2>&3; } 3>&2 2>> "$file"
}

# The medians of the wall, user and system seconds in FILE, as timed wrote
# them, one a line.
medians() { local column; for column in 1 2 3; do cut -d ' ' -f "$column" "$1" | median; done; }

# Pairs stop once the ratio's interval shows B and A differ by more than the
# band, or agree within it; the sign test's interval needs 6 pairs at least,
# and it is first looked at after 8, so that a few lucky pairs decide nothing.
band=0.03 minPairs=8

# The interval.awk line (n median low high coverage place) for the ratios B/A
# of the wall times in ta and tb.
interval() { paste -d ' ' ta tb | awk '{ print $4 / $1 }' | awk -v band="$band" -f "$root/bench/interval.awk"; }

# pairs A B MAXPAIRS: times the commands A and B (a function or an executable
# each) in pairs, A first in odd pairs and B first in even ones, so that
# neither always runs on what the other left behind, into ta and tb. Looks at
# the interval after each even pair from minPairs on, so that both orders
# weigh alike, and stops when it is decided, or after MAXPAIRS pairs.
# Looking again and again has a price: when the true ratio lies near 0.97 or
# 1.03, the interval it stops on misses it more often than one time in 20
# (about one in 8 in simulations of 100 pairs drawn from measured ones),
# though a difference claimed the wrong way round stayed under one in 100.
pairs() {
    local n
    : > ta; : > tb
    for ((n = 1; n <= $3; n++)); do
        if ((n % 2)); then timed ta "$1"; timed tb "$2"; else timed tb "$2"; timed ta "$1"; fi
        if ((n == $3 || (n >= minPairs && n % 2 == 0))); then
            case $(interval) in *' below' | *' above' | *' inside') break ;; esac
        fi
    done
}

# verdict WHO [THAN]: the interval of the last pairs in words, WHO being B:
#   B is faster: ratio 0.930 (0.910-0.950, 95 %, 12 pairs); stopped: the interval lies below 0.97
verdict() {
    local n median low high place figures lo hi
    read -r n median low high _ place < <(interval)
    figures=$(printf 'ratio %.3f (%.3f-%.3f, 95 %%, %d pairs)' "$median" "$low" "$high" "$n")
    lo=$(calc "1 - $band") hi=$(calc "1 + $band")
    case $place in
    below) echo "$1 is faster${2-}: $figures; stopped: the interval lies below $lo" ;;
    above) echo "$1 is slower${2-}: $figures; stopped: the interval lies above $hi" ;;
    inside) echo "same within $(calc "$band * 100") %: $figures; stopped: the interval lies inside $lo-$hi" ;;
    *) echo "no difference shown: $figures (interval crosses $lo or $hi after $n pairs); stopped at MAXPAIRS" ;;
    esac
}
