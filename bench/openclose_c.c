/*
 * The baseline for the open/close benchmark: open(), the terminal set-up the library's open
 * and PortSetParams(9600, 8, 1, 0) leave (plain_tty.h), and close(), again and again, on the
 * same pseudo-terminal as OpenClose.java.
 *
 * Usage: openclose_c PORT CYCLES BATCHES
 * One untimed batch of CYCLES warms up, then BATCHES are timed. Prints "c openclose
 * <median microseconds per cycle>".
 */
#define _DEFAULT_SOURCE
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "bench_clock.h"

#include "plain_tty.h"


int main(int argc, char** argv) {
    if (argc != 4) {
        fprintf(stderr, "usage: %s PORT CYCLES BATCHES\n", argv[0]);
        return 64;
    }
    int cycles = atoi(argv[2]);
    int batches = atoi(argv[3]);
    if (cycles < 1 || batches < 1) {
        fprintf(stderr, "openclose_c: bad counts\n");
        return 64;
    }
    double* per_cycle = malloc(sizeof(double) * (size_t)batches);
    if (per_cycle == NULL) {
        return 1;
    }
    for (int b = -1; b < batches; b++) {
        double start = now_us();
        for (int i = 0; i < cycles; i++) {
            int fd = plain_tty_open(argv[1]);
            if (fd < 0 || close(fd) != 0) {
                fprintf(stderr, "openclose_c: cycle %d: %s\n", i, strerror(fd < 0 ? -fd : errno));
                return 1;
            }
        }
        if (b >= 0) {
            per_cycle[b] = (now_us() - start) / cycles;
        }
    }
    qsort(per_cycle, (size_t)batches, sizeof(double), cmp_double);
    double median = batches % 2 ? per_cycle[batches / 2]
                                : (per_cycle[batches / 2 - 1] + per_cycle[batches / 2]) / 2;
    printf("c openclose %.2f\n", median);
    free(per_cycle);
    return 0;
}
