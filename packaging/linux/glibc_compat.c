// Lets the packaged libcaldrix.so load on glibc 2.28 (Debian 10/11, Ubuntu 20.04, RHEL 8) although
// it is built against a newer one.
//
// Linking libstdc++ and libgcc statically removes the dependency on a new C++ runtime, but their
// objects and ours still ask glibc for symbols at the versions current when they were built. The
// link renames every such reference X to __wrap_X (-Wl,--wrap=X). Where glibc still exports X at
// an old version, pin_glibc.sh writes a stub that goes there; the functions that are newer than
// 2.28 (or data, or renamed since) are answered here, with equivalents built from old ones.
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <link.h>
#include <pthread.h>
#include <stdint.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

// The first versions of the symbols used below (aarch64 starts at 2.17 for all, 32-bit ARM with
// the hard-float ABI at 2.4), and the structure version the old stat entry points take.
#if defined(__x86_64__)
#define CALDRIX_GLIBC_BASE "GLIBC_2.2.5"
#define CALDRIX_GLIBC_COND "GLIBC_2.3.2"
#define CALDRIX_STAT_VER 1
#elif defined(__aarch64__)
#define CALDRIX_GLIBC_BASE "GLIBC_2.17"
#define CALDRIX_GLIBC_COND "GLIBC_2.17"
#define CALDRIX_STAT_VER 0
#elif defined(__arm__) && defined(__ARM_PCS_VFP)
#define CALDRIX_GLIBC_BASE "GLIBC_2.4"
#define CALDRIX_GLIBC_COND "GLIBC_2.4"
#define CALDRIX_STAT_VER 3
#else
#error "no glibc baseline versions known for this architecture"
#endif

#define CALDRIX_VISIBLE __attribute__((visibility("hidden")))

#if defined(_FILE_OFFSET_BITS) && _FILE_OFFSET_BITS == 64 && !defined(__LP64__)
// A 32-bit build with 64-bit file offsets calls stat64, fstat64 and lstat64, real functions since
// 2.33 as well; before, the header turned them into __xstat64 and its kin, still exported.
int caldrix_old___xstat64(int ver, const char* path, struct stat* st);
int caldrix_old___fxstat64(int ver, int fd, struct stat* st);
int caldrix_old___lxstat64(int ver, const char* path, struct stat* st);
__asm__(".symver caldrix_old___xstat64, __xstat64@" CALDRIX_GLIBC_BASE);
__asm__(".symver caldrix_old___fxstat64, __fxstat64@" CALDRIX_GLIBC_BASE);
__asm__(".symver caldrix_old___lxstat64, __lxstat64@" CALDRIX_GLIBC_BASE);
CALDRIX_VISIBLE int __wrap_stat64(const char* path, struct stat* st);
CALDRIX_VISIBLE int __wrap_stat64(const char* path, struct stat* st) {
    return caldrix_old___xstat64(CALDRIX_STAT_VER, path, st);
}
CALDRIX_VISIBLE int __wrap_fstat64(int fd, struct stat* st);
CALDRIX_VISIBLE int __wrap_fstat64(int fd, struct stat* st) {
    return caldrix_old___fxstat64(CALDRIX_STAT_VER, fd, st);
}
CALDRIX_VISIBLE int __wrap_lstat64(const char* path, struct stat* st);
CALDRIX_VISIBLE int __wrap_lstat64(const char* path, struct stat* st) {
    return caldrix_old___lxstat64(CALDRIX_STAT_VER, path, st);
}
#else
// stat, fstat and lstat became real functions in 2.33; before, the header turned them into
// __xstat, __fxstat and __lxstat, which are still exported.
int caldrix_old___xstat(int ver, const char* path, struct stat* st);
int caldrix_old___fxstat(int ver, int fd, struct stat* st);
int caldrix_old___lxstat(int ver, const char* path, struct stat* st);
__asm__(".symver caldrix_old___xstat, __xstat@" CALDRIX_GLIBC_BASE);
__asm__(".symver caldrix_old___fxstat, __fxstat@" CALDRIX_GLIBC_BASE);
__asm__(".symver caldrix_old___lxstat, __lxstat@" CALDRIX_GLIBC_BASE);
CALDRIX_VISIBLE int __wrap_stat(const char* path, struct stat* st);
CALDRIX_VISIBLE int __wrap_stat(const char* path, struct stat* st) {
    return caldrix_old___xstat(CALDRIX_STAT_VER, path, st);
}
CALDRIX_VISIBLE int __wrap_fstat(int fd, struct stat* st);
CALDRIX_VISIBLE int __wrap_fstat(int fd, struct stat* st) {
    return caldrix_old___fxstat(CALDRIX_STAT_VER, fd, st);
}
CALDRIX_VISIBLE int __wrap_lstat(const char* path, struct stat* st);
CALDRIX_VISIBLE int __wrap_lstat(const char* path, struct stat* st) {
    return caldrix_old___lxstat(CALDRIX_STAT_VER, path, st);
}
#endif

// Since 2.32 libstdc++ skips atomic reference counts while this reads non-zero. Zero means
// "maybe threads": always the atomic path, which is what an older glibc gets as well.
CALDRIX_VISIBLE char __wrap___libc_single_threaded = 0;

// pthread_cond_clockwait (2.30): a wait against CLOCK_MONOTONIC, which std::condition_variable
// uses for its timed waits. The old call waits against CLOCK_REALTIME, so the monotonic deadline
// becomes the same distance from now on the real-time clock. A clock step during the wait can end
// it early or late; callers of a timed wait check the clock again when it returns. Only
// std::condition_variable calls it, on condition variables with the default (real-time) clock.
int caldrix_old_pthread_cond_timedwait(pthread_cond_t* c, pthread_mutex_t* m,
                                       const struct timespec* deadline);
__asm__(".symver caldrix_old_pthread_cond_timedwait, pthread_cond_timedwait@" CALDRIX_GLIBC_COND);
CALDRIX_VISIBLE int __wrap_pthread_cond_clockwait(pthread_cond_t* c, pthread_mutex_t* m,
                                                  clockid_t clock, const struct timespec* deadline);
CALDRIX_VISIBLE int __wrap_pthread_cond_clockwait(pthread_cond_t* c, pthread_mutex_t* m,
                                                  clockid_t clock,
                                                  const struct timespec* deadline) {
    if (clock == CLOCK_REALTIME) return caldrix_old_pthread_cond_timedwait(c, m, deadline);
    if (clock != CLOCK_MONOTONIC) return EINVAL;
    struct timespec now, real;
    clock_gettime(CLOCK_MONOTONIC, &now);
    clock_gettime(CLOCK_REALTIME, &real);
    long long left = (long long)(deadline->tv_sec - now.tv_sec) * 1000000000LL +
                     (deadline->tv_nsec - now.tv_nsec);
    if (left < 0) left = 0;
    long long ns = real.tv_nsec + left % 1000000000LL;
    struct timespec at;
    at.tv_sec = real.tv_sec + (time_t)(left / 1000000000LL) + (time_t)(ns / 1000000000LL);
    at.tv_nsec = (long)(ns % 1000000000LL);
    return caldrix_old_pthread_cond_timedwait(c, m, &at);
}

// _dl_find_object (2.35): the unwinder's way to find the exception tables of the code at an
// address. The same answer comes from walking the loaded objects' program headers. 32-bit ARM
// unwinds from its own exception index rather than .eh_frame, and glibc answers with that.
#if defined(__arm__)
#define CALDRIX_EH_SEGMENT PT_ARM_EXIDX
#else
#define CALDRIX_EH_SEGMENT PT_GNU_EH_FRAME
#endif
struct caldrix_find_query {
    uintptr_t pc;
    struct dl_find_object* out;
    int found;
};

static int caldrix_find_object_in(struct dl_phdr_info* info, size_t size, void* data) {
    (void)size;
    struct caldrix_find_query* q = (struct caldrix_find_query*)data;
    uintptr_t lo = UINTPTR_MAX, hi = 0, eh = 0;
    int eh_count = 0;
    int contains = 0;
    for (int i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)* ph = &info->dlpi_phdr[i];
        uintptr_t start = info->dlpi_addr + ph->p_vaddr;
        if (ph->p_type == PT_LOAD) {
            if (q->pc >= start && q->pc < start + ph->p_memsz) contains = 1;
            if (start < lo) lo = start;
            if (start + ph->p_memsz > hi) hi = start + ph->p_memsz;
        } else if (ph->p_type == CALDRIX_EH_SEGMENT) {
            eh = start;
            eh_count = (int)(ph->p_memsz / 8);  // ARM's index entries are two words
        }
    }
    if (!contains) return 0;
    q->out->dlfo_flags = 0;
    q->out->dlfo_map_start = (void*)lo;
    q->out->dlfo_map_end = (void*)hi;
    q->out->dlfo_link_map = NULL;
    q->out->dlfo_eh_frame = (void*)eh;
#if DLFO_STRUCT_HAS_EH_COUNT
    q->out->dlfo_eh_count = eh_count;
#else
    (void)eh_count;
#endif
    q->found = 1;
    return 1;
}

CALDRIX_VISIBLE int __wrap__dl_find_object(void* address, struct dl_find_object* result);
CALDRIX_VISIBLE int __wrap__dl_find_object(void* address, struct dl_find_object* result) {
    struct caldrix_find_query q = {(uintptr_t)address, result, 0};
    dl_iterate_phdr(caldrix_find_object_in, &q);
    return q.found ? 0 : -1;
}

// arc4random (2.36) is only reachable through std::random_device, which the library never uses;
// it is still answered properly, from the kernel's generator as glibc does.
CALDRIX_VISIBLE uint32_t __wrap_arc4random(void);
CALDRIX_VISIBLE uint32_t __wrap_arc4random(void) {
    uint32_t v;
    if (getentropy(&v, sizeof v) == 0) return v;
    int fd = open("/dev/urandom", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        ssize_t n = read(fd, &v, sizeof v);
        close(fd);
        if (n == (ssize_t)sizeof v) return v;
    }
    abort();  // as glibc's arc4random does when no randomness is to be had
}
