// The replacements in glibc_compat.c against the real functions of the glibc this is built on.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <pthread.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

int __wrap__dl_find_object(void* address, struct dl_find_object* result);
int __wrap_pthread_cond_clockwait(pthread_cond_t* c, pthread_mutex_t* m, clockid_t clock,
                                  const struct timespec* deadline);
#if defined(_FILE_OFFSET_BITS) && _FILE_OFFSET_BITS == 64 && !defined(__LP64__)
#define __wrap_stat __wrap_stat64  // a 32-bit build with 64-bit file offsets calls these
#define __wrap_fstat __wrap_fstat64
#define __wrap_lstat __wrap_lstat64
#endif
int __wrap_stat(const char* path, struct stat* st);
int __wrap_fstat(int fd, struct stat* st);
int __wrap_lstat(const char* path, struct stat* st);
uint32_t __wrap_arc4random(void);

static int failures;

#define CHECK(cond, ...)                  \
    do {                                  \
        if (!(cond)) {                    \
            fprintf(stderr, __VA_ARGS__); \
            fputc('\n', stderr);          \
            failures++;                   \
        }                                 \
    } while (0)

static long long now_ns(clockid_t clock) {
    struct timespec t;
    clock_gettime(clock, &t);
    return (long long)t.tv_sec * 1000000000LL + t.tv_nsec;
}

static void finds_objects_as_glibc_does(void) {
    // Code of this program, of libc, and an address in no object at all.
    void* addresses[] = {(void*)&finds_objects_as_glibc_does, (void*)&printf, (void*)16};
    for (int i = 0; i < 3; i++) {
        struct dl_find_object want, got;
        memset(&want, 0, sizeof want);
        memset(&got, 0, sizeof got);
        int w = _dl_find_object(addresses[i], &want);
        int g = __wrap__dl_find_object(addresses[i], &got);
        CHECK(w == g, "_dl_find_object(%p): %d, replacement %d", addresses[i], w, g);
        if (w == 0 && g == 0) {
            CHECK(want.dlfo_eh_frame == got.dlfo_eh_frame,
                  "_dl_find_object(%p): eh_frame %p, replacement %p", addresses[i],
                  want.dlfo_eh_frame, got.dlfo_eh_frame);
            CHECK(want.dlfo_map_start == got.dlfo_map_start,
                  "_dl_find_object(%p): map start %p, replacement %p", addresses[i],
                  want.dlfo_map_start, got.dlfo_map_start);
#if DLFO_STRUCT_HAS_EH_COUNT
            CHECK(want.dlfo_eh_count == got.dlfo_eh_count,
                  "_dl_find_object(%p): %d index entries, replacement %d", addresses[i],
                  want.dlfo_eh_count, got.dlfo_eh_count);
#endif
        }
    }
}

static void monotonic_waits_end_at_their_deadline(void) {
    pthread_cond_t c = PTHREAD_COND_INITIALIZER;
    pthread_mutex_t m = PTHREAD_MUTEX_INITIALIZER;
    pthread_mutex_lock(&m);
    long long start = now_ns(CLOCK_MONOTONIC);
    struct timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_nsec += 50 * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec++;
        deadline.tv_nsec -= 1000000000L;
    }
    int r;
    while ((r = __wrap_pthread_cond_clockwait(&c, &m, CLOCK_MONOTONIC, &deadline)) == 0) {
    }
    long long waited = now_ns(CLOCK_MONOTONIC) - start;
    CHECK(r == ETIMEDOUT, "clockwait: %d, not ETIMEDOUT", r);
    CHECK(waited >= 49000000LL && waited < 1000000000LL, "clockwait of 50 ms took %lld ns", waited);

    // A deadline already past ends the wait at once.
    r = __wrap_pthread_cond_clockwait(&c, &m, CLOCK_MONOTONIC, &(struct timespec){0, 0});
    CHECK(r == ETIMEDOUT, "clockwait with a past deadline: %d", r);
    r = __wrap_pthread_cond_clockwait(&c, &m, CLOCK_PROCESS_CPUTIME_ID, &deadline);
    CHECK(r == EINVAL, "clockwait on a CPU clock: %d, not EINVAL", r);
    pthread_mutex_unlock(&m);
}

static void stat_family_answers_as_glibc_does(void) {
    struct stat want, got;
    CHECK(stat("/proc/self/exe", &want) == 0 && __wrap_stat("/proc/self/exe", &got) == 0 &&
              want.st_ino == got.st_ino && want.st_size == got.st_size,
          "stat differs");
    CHECK(lstat("/proc/self/exe", &want) == 0 && __wrap_lstat("/proc/self/exe", &got) == 0 &&
              want.st_mode == got.st_mode && S_ISLNK(got.st_mode),
          "lstat differs");
    CHECK(fstat(0, &want) == 0 && __wrap_fstat(0, &got) == 0 && want.st_ino == got.st_ino,
          "fstat differs");
    errno = 0;
    CHECK(__wrap_stat("/nonexistent/caldrix", &got) == -1 && errno == ENOENT,
          "stat of a missing file: errno %d", errno);
}

static void random_numbers_vary(void) {
    uint32_t a = __wrap_arc4random(), b = __wrap_arc4random(), c = __wrap_arc4random();
    CHECK(!(a == b && b == c), "arc4random: the same number three times");
}

int main(void) {
    finds_objects_as_glibc_does();
    monotonic_waits_end_at_their_deadline();
    stat_family_answers_as_glibc_does();
    random_numbers_vary();
    if (failures == 0) printf("glibc_compat: all replacements answer as glibc does\n");
    return failures == 0 ? 0 : 1;
}
