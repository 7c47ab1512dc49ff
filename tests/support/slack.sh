# Sourced by the test scripts. Their wall-clock limits are there to catch what never
# ends or runs away, not to measure speed (the benchmarks do that): on a loaded
# machine (a parallel build beside the tests) each limit is stretched by the load
# per core, so that a busy machine makes no test fail.

# slack: the factor, at least 1.
slack() { awk -v n="$(nproc)" '{ s = $1 / n; if (s < 1) s = 1; printf "%d\n", s + 0.999 }' /proc/loadavg; }

# in_time TAKEN LIMIT: whether TAKEN is within LIMIT stretched by the slack (any unit).
in_time() { [ "$1" -le $(( $2 * $(slack) )) ]; }
