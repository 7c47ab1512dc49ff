// Wall-clock limits in tests are there to catch what never ends or waits for the
// wrong thing, not to measure speed (the benchmarks do that): on a loaded machine (a
// parallel build beside the tests) each limit is stretched by the load per core.

#ifndef TESTS_SUPPORT_SLACK_H_
#define TESTS_SUPPORT_SLACK_H_

#include <stdio.h>
#include <unistd.h>

// The factor, at least 1: the one-minute load average per core, rounded up.
inline double LoadSlack() {
    double load = 0;
    FILE* f = fopen("/proc/loadavg", "r");
    if (f != nullptr) {
        if (fscanf(f, "%lf", &load) != 1) load = 0;
        fclose(f);
    }
    long cores = sysconf(_SC_NPROCESSORS_ONLN);
    double slack = load / (cores > 0 ? static_cast<double>(cores) : 1.0);
    return slack < 1 ? 1 : static_cast<double>(static_cast<long>(slack + 0.999));
}

#endif  // TESTS_SUPPORT_SLACK_H_
