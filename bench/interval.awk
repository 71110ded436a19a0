# The median of the ratios read (one a line) and a 95 % confidence interval
# for it, from the sign test: between the k-th lowest and the k-th highest
# ratio, with k the largest for which a binomial(n, 1/2) count falls below k
# with probability at most 2.5 % on each side. It assumes only that the pairs
# are independent, not how their times are spread, so a few slow outliers
# cannot narrow or shift it. The binomial is discrete, so the interval covers
# the median with probability at least 95 %: its exact coverage is printed.
# Prints one line:
#   n median low high coverage place
# where place is where the interval lies against the band 1 +- band (-v
# band=0.03 unless given): below, above, inside or crosses. Under 6 ratios
# no interval covers 95 %: low, high and coverage are then "-", place none.
#   awk -f bench/interval.awk ratios     e.g. seq 10 | awk -f bench/interval.awk
{ v[++n] = $1 + 0 }

END {
    if (band == "")
        band = 0.03
    for (i = 2; i <= n; i++) { # insertion sort: n is at most a few hundred pairs
        x = v[i]
        for (j = i - 1; j >= 1 && v[j] > x; j--)
            v[j + 1] = v[j]
        v[j + 1] = x
    }
    median = n == 0 ? 0 : n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2

    # P(count <= k - 1) summed term by term; the terms in logarithms, as 2^-n
    # is below what a double holds beyond some thousand pairs.
    k = 0; tail = 0; logTerm = -n * log(2)
    while (k < n && tail + exp(logTerm) <= 0.025) {
        tail += exp(logTerm)
        logTerm += log((n - k) / (k + 1))
        k++
    }
    if (k == 0) {
        printf "%d %.6g - - - none\n", n, median
        exit
    }
    low = v[k]; high = v[n + 1 - k]
    place = high < 1 - band ? "below" : low > 1 + band ? "above" : low >= 1 - band && high <= 1 + band ? "inside" : "crosses"
    printf "%d %.6g %.6g %.6g %.4f %s\n", n, median, low, high, 1 - 2 * tail, place
}
