/*
 * The far end for the events benchmark: makes a pseudo-terminal and prints the path a program
 * should open; then, for every line on its standard input, takes the time and writes one byte to
 * the terminal, and prints that time (CLOCK_MONOTONIC, in ns, the clock of Java's nanoTime on
 * Linux) on its standard output. The program being measured takes the time when the byte reaches
 * it; the difference is the latency. Ends when its input does.
 */
#define _XOPEN_SOURCE 600
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

int main(void) {
    int master = posix_openpt(O_RDWR | O_NOCTTY);
    const char* slave = NULL;
    if (master < 0 || grantpt(master) != 0 || unlockpt(master) != 0 ||
        (slave = ptsname(master)) == NULL) {
        perror("event_peer: pseudo-terminal");
        return 1;
    }
    printf("%s\n", slave);
    fflush(stdout);

    char line[64];
    unsigned char byte = 0;
    while (fgets(line, sizeof line, stdin) != NULL) {
        struct timespec ts;
        clock_gettime(CLOCK_MONOTONIC, &ts);
        ssize_t w;
        do {
            w = write(master, &byte, 1);
        } while (w < 0 && errno == EINTR);
        if (w != 1) {
            perror("event_peer: write");
            return 1;
        }
        byte++;
        printf("%lld\n", (long long)ts.tv_sec * 1000000000LL + ts.tv_nsec);
        fflush(stdout);
    }
    return 0;
}
