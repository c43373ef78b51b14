/* The clock and the median sort the C baselines of the benchmarks share. */
#ifndef CALDRIX_BENCH_CLOCK_H
#define CALDRIX_BENCH_CLOCK_H

#include <time.h>

static inline double now_us(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec * 1e6 + (double)ts.tv_nsec / 1e3;
}

static inline int cmp_double(const void* a, const void* b) {
    double x = *(const double*)a, y = *(const double*)b;
    return (x > y) - (x < y);
}

#endif
