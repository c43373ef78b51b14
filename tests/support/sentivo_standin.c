/* A stand-in for the sensor-monitor program on Linux, for tests. It takes the monitor's command
 * line ("Sentivo.exe /AIO"), opens the named event of its device ("Sentivo" and the argument
 * without its slash) through the header that real monitor programs use, and records to the file
 * named by SENTIVO_STANDIN_LOG what it was given, what it inherited (its open descriptors and
 * the blocked and ignored signals as /proc/self/status shows them, seen before it opens anything
 * itself) and when the event was set:
 *
 *     args Sentivo.exe /AIO
 *     fds 0 1 2
 *     SigBlk:	0000000000000000
 *     SigIgn:	0000000000000000
 *     opened SentivoAIO existed=1
 *     set after 1003 ms          (or: not set)
 *
 * It waits up to five seconds; the exit status is 0 when the event was set. */
#include <dirent.h>
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

/* "fds 0 1 2\n" and the two signal lines, into `out`. */
static void inherited(char* out, size_t size) {
    size_t used = (size_t)snprintf(out, size, "fds");
    DIR* dir = opendir("/proc/self/fd");
    int fds[64], count = 0;
    for (struct dirent* e; dir != NULL && (e = readdir(dir)) != NULL;) {
        if (e->d_name[0] != '.' && atoi(e->d_name) != dirfd(dir) && count < 64) {
            fds[count++] = atoi(e->d_name);
        }
    }
    if (dir != NULL) closedir(dir);
    for (int i = 0; i < count; ++i) /* in number order */
        for (int j = i + 1; j < count; ++j)
            if (fds[j] < fds[i]) { int t = fds[i]; fds[i] = fds[j]; fds[j] = t; }
    for (int i = 0; i < count && used < size; ++i) used += (size_t)snprintf(out + used, size - used, " %d", fds[i]);
    if (used < size) used += (size_t)snprintf(out + used, size - used, "\n");
    FILE* status = fopen("/proc/self/status", "r");
    char line[256];
    while (status != NULL && fgets(line, sizeof line, status) != NULL && used < size) {
        if (strncmp(line, "SigBlk:", 7) == 0 || strncmp(line, "SigIgn:", 7) == 0)
            used += (size_t)snprintf(out + used, size - used, "%s", line);
    }
    if (status != NULL) fclose(status);
}

int main(int argc, char** argv) {
    char state[1024];
    inherited(state, sizeof state);
    const char* log_path = getenv("SENTIVO_STANDIN_LOG");
    FILE* log = log_path != NULL ? fopen(log_path, "a") : stderr;
    if (log == NULL) return 2;
    setvbuf(log, NULL, _IONBF, 0);
    fprintf(log, "args");
    for (int i = 0; i < argc; ++i) fprintf(log, " %s", argv[i]);
    fprintf(log, "\n%s", state);
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
