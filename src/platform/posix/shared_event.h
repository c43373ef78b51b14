/* Named events shared between processes on POSIX hosts, as Win32 named events are: the library
 * makes them with CreateEventA(name), and a program of another process (the sensor monitor) opens
 * the same event by the same name, waits on it and sees the library set it.
 *
 * An event is a small file, a record mapped into every process that holds it, in a folder that
 * only the user may write. Every process finds that folder by the same rule:
 *   1. "caldrix" in $XDG_RUNTIME_DIR, when that is a folder of the user's, mode 0700, not a symlink;
 *   2. else ".caldrix" in the user's home ($HOME, or the password entry's), when the home belongs
 *      to the user or to root and no one else may write it;
 *   3. else "/dev/shm/caldrix-<uid>".
 * The folder is made with mode 0700; made or found, it is opened without following a symlink and
 * used only if it is the user's own folder, and the records are reached through that descriptor.
 * No other user can put anything in the first two; the third lies in a folder that everyone may
 * write, so another user can block it, and then no event can be made (an error, not a hang): an
 * account that runs the library should have a home or a runtime folder.
 *
 * Every holder keeps a shared lock on byte 1 of the record's file (an open-file-description lock,
 * which the kernel drops when the holder dies), so a process that can lock that byte exclusively
 * knows that no holder is alive and starts the record afresh: a killed holder leaves no set state
 * behind. Byte 0 is held exclusively for the few steps of an open or a close. The record's space
 * is reserved before it is written, so a full file system is an error (ENOSPC) rather than a
 * SIGBUS. The last close removes the file.
 *
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
#include <pwd.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#ifndef F_OFD_SETLK /* Linux's values, for includers that did not ask for the GNU extensions */
#define F_OFD_SETLK 37
#endif

#define CALDRIX_EVENT_MAGIC 0x43455632u /* "CEV2": the record is initialised */
#define CALDRIX_EVENT_FILE_MAX 240
#define CALDRIX_EVENT_GATE_BYTE 0       /* held exclusively while opening or closing */
#define CALDRIX_EVENT_HOLDERS_BYTE 1    /* held shared by every holder */
#define CALDRIX_EVENT_OPEN_WAIT_MS 2000 /* for another process's open or close of the same event */
#define CALDRIX_EVENT_CLOSE_WAIT_MS 100 /* a close that cannot wait leaves the file to the next open */
#define CALDRIX_EVENT_SET_WAIT_MS 1000  /* for the record's mutex, to wake waiters */
#define CALDRIX_EVENT_WAIT_SLICE_MS 100 /* waiters look again this often, in case a wake-up was lost */

/* The record in the file. Its layout is shared by every program that includes this header. */
typedef struct {
    uint32_t magic;
    uint32_t manualReset;
    uint32_t signalled;    /* read, set and cleared with atomics */
    uint32_t unused;
    pthread_mutex_t lock;  /* process-shared and robust; orders a set against a waiter's sleep */
    pthread_cond_t changed;
} caldrix_event_record;

typedef struct {
    caldrix_event_record* record;
    int dir;  /* the records' folder */
    int fd;   /* the record's file, which carries this holder's lock */
    char file[CALDRIX_EVENT_FILE_MAX];
} caldrix_shared_event;

/* The file name of an event: every byte of the name that is not a letter or digit is written in
 * hex, so no name can reach another file. */
static inline int caldrix_event_file_name(const char* name, char* file, size_t size) {
    static const char hex[] = "0123456789abcdef";
    size_t at = 0;
    if (size < 7) return ENAMETOOLONG;
    memcpy(file, "event-", 6);
    at = 6;
    for (const unsigned char* p = (const unsigned char*)name; *p != 0; ++p) {
        const int plain = (*p >= 'a' && *p <= 'z') || (*p >= 'A' && *p <= 'Z') ||
                          (*p >= '0' && *p <= '9');
        if (at + (plain ? 1 : 3) >= size) return ENAMETOOLONG;
        if (plain) {
            file[at++] = (char)*p;
        } else {
            file[at++] = '_';
            file[at++] = hex[*p >> 4];
            file[at++] = hex[*p & 15];
        }
    }
    file[at] = 0;
    return 0;
}

/* The folder `name` in the folder `base`, made if missing, opened if it is the user's own folder
 * (not a symlink); a descriptor, or -1 with errno. */
static inline int caldrix_event_private_dir(int base, const char* name) {
    if (mkdirat(base, name, 0700) != 0 && errno != EEXIST) return -1;
    const int fd = openat(base, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || st.st_uid != geteuid() ||
        ((st.st_mode & 07777) != 0700 && fchmod(fd, 0700) != 0)) {
        close(fd);
        errno = EACCES;
        return -1;
    }
    return fd;
}

/* The base folder of a rule (0 runtime folder, 1 home, 2 /dev/shm), if it passes the rule's test;
 * -1 otherwise. In /dev/shm, which all may write, only the private folder in it is trusted. */
static inline int caldrix_event_base(const char* path, int rule) {
    if (path == NULL || path[0] != '/') return -1;
    const int fd = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC | (rule == 0 ? O_NOFOLLOW : 0));
    if (fd < 0) return -1;
    struct stat st;
    const int fit = fstat(fd, &st) == 0 &&
                    (rule == 0   ? st.st_uid == geteuid() && (st.st_mode & 0777) == 0700
                     : rule == 1 ? (st.st_uid == geteuid() || st.st_uid == 0) && (st.st_mode & 022) == 0
                                 : 1);
    if (!fit) {
        close(fd);
        return -1;
    }
    return fd;
}

/* Opens the folder of the records by the rule above; a descriptor, or -1 with errno. Its path goes
 * to `path` when that is not null. */
static inline int caldrix_event_folder(char* path, size_t size) {
    char home[1024];
    char shm[64];
    const char* bases[3] = {getenv("XDG_RUNTIME_DIR"), getenv("HOME"), "/dev/shm"};
    const char* names[3] = {"caldrix", ".caldrix", shm};
    snprintf(shm, sizeof shm, "caldrix-%u", (unsigned)geteuid());
    if (bases[1] == NULL) {
        struct passwd pw;
        struct passwd* found = NULL;
        if (getpwuid_r(geteuid(), &pw, home, sizeof home, &found) == 0 && found != NULL) {
            bases[1] = found->pw_dir;
        }
    }
    int error = EACCES;
    for (int rule = 0; rule < 3; ++rule) {
        const int base = caldrix_event_base(bases[rule], rule);
        if (base < 0) continue;
        const int dir = caldrix_event_private_dir(base, names[rule]);
        error = errno;
        close(base);
        if (dir >= 0) {
            if (path != NULL) snprintf(path, size, "%s/%s", bases[rule], names[rule]);
            return dir;
        }
    }
    errno = error;
    return -1;
}

/* The path of an event's file, for messages and tests; makes the folder if missing. */
static inline int caldrix_event_locate(const char* name, char* path, size_t size) {
    char file[CALDRIX_EVENT_FILE_MAX];
    int rc = caldrix_event_file_name(name, file, sizeof file);
    if (rc != 0) return rc;
    const int dir = caldrix_event_folder(path, size);
    if (dir < 0) return errno;
    close(dir);
    const size_t used = strlen(path);
    if (used + 1 + strlen(file) >= size) return ENAMETOOLONG;
    snprintf(path + used, size - used, "/%s", file);
    return 0;
}

static inline void caldrix_event_add_ms(struct timespec* t, long ms) {
    t->tv_sec += ms / 1000;
    t->tv_nsec += (ms % 1000) * 1000000L;
    if (t->tv_nsec >= 1000000000L) {
        t->tv_sec += 1;
        t->tv_nsec -= 1000000000L;
    }
}

static inline int caldrix_event_before(const struct timespec* a, const struct timespec* b) {
    return a->tv_sec < b->tv_sec || (a->tv_sec == b->tv_sec && a->tv_nsec < b->tv_nsec);
}

/* Locks (F_WRLCK, F_RDLCK) or unlocks (F_UNLCK) one byte of the file for this open file
 * description, trying for up to waitMs: another process's lock cannot be waited on with a limit. */
static inline int caldrix_event_lock_byte(int fd, short type, off_t at, int waitMs) {
#ifdef SYS_fcntl64
    /* 32-bit: the kernel reads these commands' record with 64-bit offsets, which C libraries
     * before glibc 2.29 passed on unconverted from a program built with 32-bit ones. */
    struct {
        short l_type, l_whence;
        long long l_start, l_len;
        int l_pid;
    } fl = {type, SEEK_SET, at, 1, 0};
#define CALDRIX_EVENT_FCNTL(fd, cmd, fl) syscall(SYS_fcntl64, fd, cmd, fl)
#else
    struct flock fl;
    memset(&fl, 0, sizeof fl);
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = at;
    fl.l_len = 1;
#define CALDRIX_EVENT_FCNTL(fd, cmd, fl) fcntl(fd, cmd, fl)
#endif
    struct timespec now, until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    caldrix_event_add_ms(&until, waitMs);
    for (;;) {
        if (CALDRIX_EVENT_FCNTL(fd, F_OFD_SETLK, &fl) == 0) return 0;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) return errno;
        clock_gettime(CLOCK_MONOTONIC, &now);
        if (!caldrix_event_before(&now, &until)) return ETIMEDOUT;
        const struct timespec nap = {0, 1000000L};
        nanosleep(&nap, NULL);
    }
}
#undef CALDRIX_EVENT_FCNTL

/* Takes the record's mutex, waiting up to waitMs. Never without limit: its holder is another
 * process, which may be stopped while it has it. */
static inline int caldrix_event_lock(caldrix_event_record* r, int waitMs) {
    /* Tried first: the usual free mutex, or one whose holder died, costs no clock (and thread
     * sanitizers follow EOWNERDEAD through this call and pthread_mutex_lock only). */
    int rc = pthread_mutex_trylock(&r->lock);
    if (rc == EBUSY) {
        struct timespec until;
        clock_gettime(CLOCK_REALTIME, &until);
        caldrix_event_add_ms(&until, waitMs);
        rc = pthread_mutex_timedlock(&r->lock, &until);
    }
    if (rc == EOWNERDEAD) { /* a holder died holding it; the record itself is still whole */
        pthread_mutex_consistent(&r->lock);
        rc = 0;
    }
    return rc;
}

static inline int caldrix_event_init(caldrix_event_record* r, int manualReset, int initialState) {
    pthread_mutexattr_t ma;
    pthread_condattr_t ca;
    memset(r, 0, sizeof *r);
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
    r->manualReset = manualReset ? 1u : 0u;
    r->signalled = initialState ? 1u : 0u;
    __atomic_store_n(&r->magic, CALDRIX_EVENT_MAGIC, __ATOMIC_RELEASE);
    return 0;
}

/* Attaches to the record of the file `fd`, whose gate this process holds: makes it afresh (as
 * given) when no holder is alive, else takes it as it is. Leaves this holder's lock taken. */
static inline int caldrix_event_attach(caldrix_shared_event* ev, int fd, int manualReset,
                                       int initialState, int* existed) {
    const size_t size = sizeof(caldrix_event_record);
    const int alone = caldrix_event_lock_byte(fd, F_WRLCK, CALDRIX_EVENT_HOLDERS_BYTE, 0) == 0;
    int rc = 0;
    if (alone) {
        rc = posix_fallocate(fd, 0, (off_t)size); /* after this, writing the record cannot fault */
    } else {
        struct stat st;
        rc = fstat(fd, &st) != 0 ? errno : st.st_size < (off_t)size ? EPROTO : 0;
        if (rc == 0) rc = caldrix_event_lock_byte(fd, F_RDLCK, CALDRIX_EVENT_HOLDERS_BYTE, 0);
    }
    if (rc != 0) return rc;
    void* map = mmap(NULL, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    if (map == MAP_FAILED) return errno;
    caldrix_event_record* r = (caldrix_event_record*)map;
    if (alone) {
        rc = caldrix_event_init(r, manualReset, initialState);
        /* Turning the exclusive lock into a shared one is one step, so no opener finds it free. */
        if (rc == 0) rc = caldrix_event_lock_byte(fd, F_RDLCK, CALDRIX_EVENT_HOLDERS_BYTE, 0);
    } else if (__atomic_load_n(&r->magic, __ATOMIC_ACQUIRE) != CALDRIX_EVENT_MAGIC) {
        rc = EPROTO; /* held by a program built with another layout */
    }
    if (rc != 0) {
        munmap(map, size);
        return rc;
    }
    ev->record = r;
    *existed = !alone;
    return 0;
}

/* Opens the event of that name, or makes it (manual- or auto-reset, set or not) when no living
 * process holds one; *existed tells which. A file of that name that is not the user's private
 * regular file is refused with EACCES. */
static inline int caldrix_event_open(const char* name, int manualReset, int initialState,
                                     caldrix_shared_event* ev, int* existed) {
    ev->record = NULL;
    int rc = caldrix_event_file_name(name, ev->file, sizeof ev->file);
    if (rc != 0) return rc;
    ev->dir = caldrix_event_folder(NULL, 0);
    if (ev->dir < 0) return errno;
    for (int attempt = 0; attempt < 100; ++attempt) {
        ev->fd = openat(ev->dir, ev->file, O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC,
                        0600);
        if (ev->fd < 0) {
            rc = errno == ELOOP ? EACCES : errno;
            break;
        }
        struct stat st;
        if (fstat(ev->fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid() ||
            (st.st_mode & 077) != 0) {
            rc = EACCES;
            break;
        }
        rc = caldrix_event_lock_byte(ev->fd, F_WRLCK, CALDRIX_EVENT_GATE_BYTE,
                                     CALDRIX_EVENT_OPEN_WAIT_MS);
        if (rc != 0) break;
        if (fstat(ev->fd, &st) != 0 || st.st_nlink == 0) { /* its last holder removed it meanwhile */
            close(ev->fd);
            ev->fd = -1;
            continue;
        }
        rc = caldrix_event_attach(ev, ev->fd, manualReset, initialState, existed);
        if (rc != 0 && caldrix_event_lock_byte(ev->fd, F_WRLCK, CALDRIX_EVENT_HOLDERS_BYTE, 0) == 0) {
            unlinkat(ev->dir, ev->file, 0); /* no holder: leave no half-made file */
        }
        caldrix_event_lock_byte(ev->fd, F_UNLCK, CALDRIX_EVENT_GATE_BYTE, 0);
        if (rc == 0) return 0;
        break;
    }
    if (rc == 0) rc = EAGAIN;
    if (ev->fd >= 0) close(ev->fd);
    close(ev->dir);
    return rc;
}

/* Sets the event. The flag is set at once; the mutex, when it can be had, only makes sure that a
 * waiter about to sleep is woken (waiters also look again every CALDRIX_EVENT_WAIT_SLICE_MS). */
static inline int caldrix_event_set(caldrix_shared_event* ev) {
    caldrix_event_record* r = ev->record;
    __atomic_store_n(&r->signalled, 1u, __ATOMIC_RELEASE);
    const int rc = caldrix_event_lock(r, CALDRIX_EVENT_SET_WAIT_MS);
    if (rc != 0) return rc;
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

/* The milliseconds from now to `until` on the monotonic clock, rounded up; 0 once past. */
static inline int caldrix_event_ms_left(const struct timespec* until) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    if (!caldrix_event_before(&now, until)) return 0;
    const long long ns = (long long)(until->tv_sec - now.tv_sec) * 1000000000LL +
                         (until->tv_nsec - now.tv_nsec);
    return (int)((ns + 999999LL) / 1000000LL);
}

/* Waits up to timeoutMs (negative: without limit) for the event to be set. The mutex is tried
 * for a slice at a time and the flag looked at between tries, so a holder stopped while it has
 * the mutex neither keeps this wait past its time-out nor hides a set from it (a set stores the
 * flag before it tries for the mutex). Only pthread_cond_timedwait's own re-take after a sleep
 * has no limit, and the mutex is taken that late only by a set or a wait, for a few steps. */
static inline int caldrix_event_wait(caldrix_shared_event* ev, int timeoutMs) {
    caldrix_event_record* r = ev->record;
    struct timespec until, slice;
    clock_gettime(CLOCK_MONOTONIC, &until);
    if (timeoutMs >= 0) caldrix_event_add_ms(&until, timeoutMs);
    for (;;) {
        if (caldrix_event_try(ev)) return 0;
        clock_gettime(CLOCK_MONOTONIC, &slice);
        if (timeoutMs >= 0 && !caldrix_event_before(&slice, &until)) return ETIMEDOUT;
        caldrix_event_add_ms(&slice, CALDRIX_EVENT_WAIT_SLICE_MS);
        const struct timespec* end =
            timeoutMs >= 0 && !caldrix_event_before(&slice, &until) ? &until : &slice;
        int rc = caldrix_event_lock(r, caldrix_event_ms_left(end));
        if (rc == ETIMEDOUT) continue;
        if (rc != 0) return rc;
        /* Looked at again under the mutex: a set from now on waits for the sleep below. */
        const int taken = caldrix_event_try(ev);
        if (!taken) {
            rc = pthread_cond_timedwait(&r->changed, &r->lock, end);
            if (rc == EOWNERDEAD) {
                pthread_mutex_consistent(&r->lock);
                rc = 0;
            }
        }
        pthread_mutex_unlock(&r->lock);
        if (taken) return 0;
        if (rc != 0 && rc != ETIMEDOUT) return rc;
    }
}

/* Lets the event go; the last holder removes its file. */
static inline void caldrix_event_close(caldrix_shared_event* ev) {
    if (ev->record == NULL) return;
    munmap(ev->record, sizeof *ev->record);
    ev->record = NULL;
    if (caldrix_event_lock_byte(ev->fd, F_WRLCK, CALDRIX_EVENT_GATE_BYTE,
                                CALDRIX_EVENT_CLOSE_WAIT_MS) == 0 &&
        caldrix_event_lock_byte(ev->fd, F_WRLCK, CALDRIX_EVENT_HOLDERS_BYTE, 0) == 0) {
        unlinkat(ev->dir, ev->file, 0);
    }
    close(ev->fd); /* drops this holder's locks */
    close(ev->dir);
}

#endif /* CALDRIX_SHARED_EVENT_H */
