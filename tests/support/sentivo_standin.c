/* A stand-in for the sensor-monitor program on Linux, for tests. It takes the monitor's command
 * line ("Sentivo.exe /AIO"), opens the named event of its device ("Sentivo" and the argument
 * without its slash) through the header that real monitor programs use, and records to the file
 * named by SENTIVO_STANDIN_LOG what it was given and when the event was set:
 *
 *     args Sentivo.exe /AIO
 *     opened SentivoAIO existed=1
 *     set after 1003 ms          (or: not set)
 *
 * It waits up to five seconds; the exit status is 0 when the event was set. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "platform/posix/shared_event.h"

static long long now_ms(void) {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (long long)ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

int main(int argc, char** argv) {
    const char* log_path = getenv("SENTIVO_STANDIN_LOG");
    FILE* log = log_path != NULL ? fopen(log_path, "a") : stderr;
    if (log == NULL) return 2;
    setvbuf(log, NULL, _IONBF, 0);
    fprintf(log, "args");
    for (int i = 0; i < argc; ++i) fprintf(log, " %s", argv[i]);
    fprintf(log, "\n");
    if (argc < 2) return 2;

    char name[64];
    snprintf(name, sizeof name, "Sentivo%s", argv[1][0] == '/' ? argv[1] + 1 : argv[1]);
    caldrix_shared_event ev;
    int existed = 0;
    const long long start = now_ms();
    int rc = caldrix_event_open(name, 1, 0, &ev, &existed);
    if (rc != 0) {
        fprintf(log, "open %s failed %d\n", name, rc);
        return 2;
    }
    fprintf(log, "opened %s existed=%d\n", name, existed);
    rc = caldrix_event_wait(&ev, 5000);
    if (rc == 0) {
        fprintf(log, "set after %lld ms\n", now_ms() - start);
    } else {
        fprintf(log, "not set\n");
    }
    caldrix_event_close(&ev);
    return rc == 0 ? 0 : 1;
}
