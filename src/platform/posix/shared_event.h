/* Named events shared between processes on POSIX hosts, as Win32 named events are: the library
 * makes them with CreateEventA(name), and a program of another process (the sensor monitor) opens
 * the same event by the same name, waits on it and sees the library set it.
 *
 * An event lives in a POSIX shared-memory object private to the user (mode 0600, named after the
 * user id and the event name, under /dev/shm) and lasts while some process holds it: the last close removes it.
 * A monitor program includes this header and links nothing else:
 *
 *     caldrix_shared_event ev;
 *     int existed;
 *     if (caldrix_event_open("SentivoAIO", 1, 0, &ev, &existed) == 0) {
 *         if (caldrix_event_wait(&ev, 5000) == 0) ... the library has set it ...
 *         caldrix_event_close(&ev);
 *     }
 *
 * Functions answer 0 on success, else an errno value (ETIMEDOUT for a wait that ran out).
 */
#ifndef CALDRIX_SHARED_EVENT_H
#define CALDRIX_SHARED_EVENT_H

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <sched.h>
#include <stdint.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#define CALDRIX_EVENT_MAGIC 0x43455631u /* "CEV1": the record is initialised */
#define CALDRIX_EVENT_PATH_MAX 240

/* The record in shared memory. Its layout is shared by every program that includes this header. */
typedef struct {
    uint32_t magic;
    uint32_t refs;         /* handles open on the event, over all processes */
    uint32_t manualReset;
    uint32_t signalled;    /* read and cleared with atomics; set under `lock` */
    uint32_t removed;      /* unlinked by its last close: openers make a new one */
    pthread_mutex_t lock;  /* process-shared and robust */
    pthread_cond_t changed;
} caldrix_event_record;

typedef struct {
    caldrix_event_record* record;
    char path[CALDRIX_EVENT_PATH_MAX];
} caldrix_shared_event;

/* The shared-memory name of an event: the user id keeps users apart, and every byte of the name
 * that is not a letter or digit is written in hex, so no name can reach another object. */
static inline int caldrix_event_path(const char* name, char* path, size_t size) {
    int n = snprintf(path, size, "/caldrix-event-%u-", (unsigned)geteuid());
    if (n < 0 || (size_t)n >= size) return ENAMETOOLONG;
    size_t at = (size_t)n;
    for (const unsigned char* p = (const unsigned char*)name; *p != 0; ++p) {
        const int plain = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') ||
                          (*p >= '0' && *p <= '9');
        if (at + (plain ? 1 : 3) >= size) return ENAMETOOLONG;
        if (plain) {
            path[at++] = (char)*p;
        } else {
            static const char hex[] = "0123456789abcdef";
            path[at++] = '_';
            path[at++] = hex[*p >> 4];
            path[at++] = hex[*p & 15];
        }
    }
    path[at] = 0;
    return 0;
}

/* shm_open and shm_unlink, written out: on Linux they are /dev/shm, and calling it directly keeps
 * the library loadable on older C libraries, where they live in librt. */
static inline int caldrix_event_shm_open(const char* path, int flags, mode_t mode) {
    char file[CALDRIX_EVENT_PATH_MAX + 16];
    snprintf(file, sizeof file, "/dev/shm%s", path);
    return open(file, flags | O_NOFOLLOW, mode);
}

static inline void caldrix_event_shm_unlink(const char* path) {
    char file[CALDRIX_EVENT_PATH_MAX + 16];
    snprintf(file, sizeof file, "/dev/shm%s", path);
    unlink(file);
}

static inline int caldrix_event_lock(caldrix_event_record* r) {
    int rc = pthread_mutex_lock(&r->lock);
    if (rc == EOWNERDEAD) { /* a process died holding it; the record itself is still whole */
        pthread_mutex_consistent(&r->lock);
        rc = 0;
    }
    return rc;
}

static inline int caldrix_event_init(caldrix_event_record* r, int manualReset, int initialState) {
    pthread_mutexattr_t ma;
    pthread_condattr_t ca;
    pthread_mutexattr_init(&ma);
    pthread_mutexattr_setpshared(&ma, PTHREAD_PROCESS_SHARED);
    pthread_mutexattr_setrobust(&ma, PTHREAD_MUTEX_ROBUST);
    int rc = pthread_mutex_init(&r->lock, &ma);
    pthread_mutexattr_destroy(&ma);
    if (rc != 0) return rc;
    pthread_condattr_init(&ca);
    pthread_condattr_setpshared(&ca, PTHREAD_PROCESS_SHARED);
    pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
    rc = pthread_cond_init(&r->changed, &ca);
    pthread_condattr_destroy(&ca);
    if (rc != 0) return rc;
    r->refs = 1;
    r->manualReset = manualReset ? 1u : 0u;
    r->signalled = initialState ? 1u : 0u;
    r->removed = 0;
    __atomic_store_n(&r->magic, CALDRIX_EVENT_MAGIC, __ATOMIC_RELEASE);
    return 0;
}

/* Opens the event of that name, or makes it (manual- or auto-reset, set or not) when no process
 * holds one; *existed tells which. An object of that name that belongs to another user or that
 * others may write is refused with EACCES. */
static inline int caldrix_event_open(const char* name, int manualReset, int initialState,
                                     caldrix_shared_event* ev, int* existed) {
    int rc = caldrix_event_path(name, ev->path, sizeof ev->path);
    if (rc != 0) return rc;
    for (int attempt = 0; attempt < 100; ++attempt) {
        int fd = caldrix_event_shm_open(ev->path, O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        const int made = fd >= 0;
        if (!made) {
            if (errno != EEXIST) return errno;
            fd = caldrix_event_shm_open(ev->path, O_RDWR | O_CLOEXEC, 0);
            if (fd < 0) {
                if (errno == ENOENT) continue; /* removed meanwhile: make it anew */
                return errno;
            }
            struct stat st;
            if (fstat(fd, &st) != 0 || st.st_uid != geteuid() || (st.st_mode & 077) != 0) {
                close(fd);
                return EACCES;
            }
            /* Its maker may not have sized it yet. */
            for (int wait = 0; st.st_size < (off_t)sizeof(caldrix_event_record); ++wait) {
                if (wait == 1000 || fstat(fd, &st) != 0) {
                    close(fd);
                    return EAGAIN;
                }
                sched_yield();
            }
        } else if (ftruncate(fd, sizeof(caldrix_event_record)) != 0) {
            rc = errno;
            close(fd);
            caldrix_event_shm_unlink(ev->path);
            return rc;
        }
        void* map = mmap(NULL, sizeof(caldrix_event_record), PROT_READ | PROT_WRITE, MAP_SHARED,
                         fd, 0);
        rc = errno;
        close(fd);
        if (map == MAP_FAILED) {
            if (made) caldrix_event_shm_unlink(ev->path);
            return rc;
        }
        caldrix_event_record* r = (caldrix_event_record*)map;
        if (made) {
            rc = caldrix_event_init(r, manualReset, initialState);
            if (rc != 0) {
                munmap(map, sizeof *r);
                caldrix_event_shm_unlink(ev->path);
                return rc;
            }
            ev->record = r;
            *existed = 0;
            return 0;
        }
        for (int wait = 0; __atomic_load_n(&r->magic, __ATOMIC_ACQUIRE) != CALDRIX_EVENT_MAGIC;
             ++wait) {
            if (wait == 1000) {
                munmap(map, sizeof *r);
                return EAGAIN;
            }
            sched_yield();
        }
        if (caldrix_event_lock(r) != 0) {
            munmap(map, sizeof *r);
            return EAGAIN;
        }
        const int removed = r->removed != 0;
        if (!removed) r->refs++;
        pthread_mutex_unlock(&r->lock);
        if (removed) { /* its last holder closed it after we found it */
            munmap(map, sizeof *r);
            continue;
        }
        ev->record = r;
        *existed = 1;
        return 0;
    }
    return EAGAIN;
}

static inline int caldrix_event_set(caldrix_shared_event* ev) {
    caldrix_event_record* r = ev->record;
    int rc = caldrix_event_lock(r);
    if (rc != 0) return rc;
    __atomic_store_n(&r->signalled, 1u, __ATOMIC_RELEASE);
    pthread_cond_broadcast(&r->changed);
    pthread_mutex_unlock(&r->lock);
    return 0;
}

static inline void caldrix_event_reset(caldrix_shared_event* ev) {
    __atomic_store_n(&ev->record->signalled, 0u, __ATOMIC_RELEASE);
}

/* Takes the signal if the event is set: true for a manual-reset event that is set, and for an
 * auto-reset one whose signal this call cleared. Never waits. */
static inline int caldrix_event_try(caldrix_shared_event* ev) {
    caldrix_event_record* r = ev->record;
    if (r->manualReset) return __atomic_load_n(&r->signalled, __ATOMIC_ACQUIRE) != 0;
    uint32_t one = 1u;
    return __atomic_compare_exchange_n(&r->signalled, &one, 0u, 0, __ATOMIC_ACQ_REL,
                                       __ATOMIC_ACQUIRE);
}

/* Waits up to timeoutMs (negative: without limit) for the event to be set. */
static inline int caldrix_event_wait(caldrix_shared_event* ev, int timeoutMs) {
    caldrix_event_record* r = ev->record;
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    if (timeoutMs >= 0) {
        until.tv_sec += timeoutMs / 1000;
        until.tv_nsec += (long)(timeoutMs % 1000) * 1000000L;
        if (until.tv_nsec >= 1000000000L) {
            until.tv_sec += 1;
            until.tv_nsec -= 1000000000L;
        }
    }
    int rc = caldrix_event_lock(r);
    if (rc != 0) return rc;
    while (!caldrix_event_try(ev)) {
        rc = timeoutMs < 0 ? pthread_cond_wait(&r->changed, &r->lock)
                           : pthread_cond_timedwait(&r->changed, &r->lock, &until);
        if (rc == EOWNERDEAD) {
            pthread_mutex_consistent(&r->lock);
            rc = 0;
        }
        if (rc == ETIMEDOUT) {
            rc = caldrix_event_try(ev) ? 0 : ETIMEDOUT;
            break;
        }
        if (rc != 0) break;
    }
    pthread_mutex_unlock(&r->lock);
    return rc;
}

/* Lets the event go; the last close in any process removes it. */
static inline void caldrix_event_close(caldrix_shared_event* ev) {
    caldrix_event_record* r = ev->record;
    if (r == NULL) return;
    if (caldrix_event_lock(r) == 0) {
        if (--r->refs == 0) {
            r->removed = 1;
            caldrix_event_shm_unlink(ev->path);
        }
        pthread_mutex_unlock(&r->lock);
    }
    munmap(r, sizeof *r);
    ev->record = NULL;
}

#endif /* CALDRIX_SHARED_EVENT_H */
