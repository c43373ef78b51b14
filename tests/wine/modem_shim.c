/* Modem lines for pseudo-terminals, preloaded into Wine for the serial tests.
 *
 * A pty has no modem lines: the kernel refuses TIOCMGET and friends on it, so Wine reports
 * EscapeCommFunction and GetCommModemStatus as unsupported and a serial open through caldrix
 * stops at its SETDTR step. This library answers those requests for pty slaves instead:
 *
 *   - DTR and RTS are kept per device, set and read back through TIOCMSET/TIOCMBIS/TIOCMBIC and
 *     TIOCMGET, so every handle on one pty sees the same lines (as with a real port);
 *   - CTS, DSR, DCD and RI are the far end's lines; the test decides them by writing letters to
 *     the file named by CALDRIX_MODEM_INPUTS: C = CTS, S = DSR, D = DCD, R = RI. No file, or no
 *     letter, means the line is off. A '!' in the file turns this library off: the requests go
 *     to the kernel, which refuses them as it does on any pty. The file is read on every
 *     request, so the test can change the lines between calls without talking to this library;
 *   - after every change of DTR or RTS the file named by CALDRIX_MODEM_OUTPUTS is rewritten with
 *     the lines now on ("DTR RTS", "DTR", "RTS" or nothing), so the test can see what the port
 *     drives without a modem-control query of its own (Wine has none for the output lines).
 *
 * Every other request, and every request on a file that is no pty slave, goes to the real
 * ioctl untouched. Built once per word size: 32-bit for the i386 Wine loader, 64-bit for wine64. */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <termios.h>
#include <unistd.h>

/* Unix98 pty slaves: majors 136 to 143. */
#define PTY_SLAVE_MAJOR_FIRST 136
#define PTY_SLAVE_MAJOR_LAST 143

#define MAX_DEVICES 16
#define OUTPUT_LINES (TIOCM_DTR | TIOCM_RTS)

struct device_lines {
    dev_t rdev;
    int outputs;
    int used;
};

static struct device_lines devices[MAX_DEVICES];
static pthread_mutex_t devices_lock = PTHREAD_MUTEX_INITIALIZER;

typedef int (*ioctl_fn)(int, unsigned long, ...);

static ioctl_fn real_ioctl_fn;
static ioctl_fn real_ioctl_time64_fn;
static pthread_once_t real_once = PTHREAD_ONCE_INIT;

static void find_real(void) {
    real_ioctl_fn = (ioctl_fn)dlsym(RTLD_NEXT, "ioctl");
    real_ioctl_time64_fn = (ioctl_fn)dlsym(RTLD_NEXT, "__ioctl_time64");
}

static int is_pty_slave(int fd, dev_t* rdev) {
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISCHR(st.st_mode)) return 0;
    unsigned int maj = major(st.st_rdev);
    if (maj < PTY_SLAVE_MAJOR_FIRST || maj > PTY_SLAVE_MAJOR_LAST) return 0;
    *rdev = st.st_rdev;
    return 1;
}

/* The entry of a device, created with both outputs off; null when the table is full. Called
 * with devices_lock held. */
static struct device_lines* lines_of(dev_t rdev) {
    for (int i = 0; i < MAX_DEVICES; i++) {
        if (devices[i].used && devices[i].rdev == rdev) return &devices[i];
    }
    for (int i = 0; i < MAX_DEVICES; i++) {
        if (!devices[i].used) {
            devices[i].used = 1;
            devices[i].rdev = rdev;
            devices[i].outputs = 0;
            return &devices[i];
        }
    }
    return NULL;
}

#define SHIM_OFF (-1)

/* The far end's lines as TIOCM bits, or SHIM_OFF. */
static int far_end_lines(void) {
    const char* path = getenv("CALDRIX_MODEM_INPUTS");
    if (path == NULL) return 0;
    /* Plain syscalls only: this runs inside Wine's ioctl path and must not recurse into it. */
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[16];
    ssize_t n = read(fd, text, sizeof text);
    close(fd);
    int lines = 0;
    for (ssize_t i = 0; i < n; i++) {
        switch (text[i]) {
            case 'C': lines |= TIOCM_CTS; break;
            case 'S': lines |= TIOCM_DSR; break;
            case 'D': lines |= TIOCM_CAR; break;
            case 'R': lines |= TIOCM_RNG; break;
            case '!': return SHIM_OFF;
            default: break;
        }
    }
    return lines;
}

static void publish_outputs(int outputs) {
    const char* path = getenv("CALDRIX_MODEM_OUTPUTS");
    if (path == NULL) return;
    int fd = open(path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    const char* text = (outputs & TIOCM_DTR) ? ((outputs & TIOCM_RTS) ? "DTR RTS" : "DTR")
                                             : ((outputs & TIOCM_RTS) ? "RTS" : "");
    ssize_t ignored = write(fd, text, strlen(text));
    (void)ignored;
    close(fd);
}

static int modem_request(dev_t rdev, unsigned long request, int* arg, int far_end) {
    if (arg == NULL) {
        errno = EFAULT;
        return -1;
    }
    pthread_mutex_lock(&devices_lock);
    struct device_lines* dev = lines_of(rdev);
    if (dev == NULL) {
        pthread_mutex_unlock(&devices_lock);
        errno = ENOMEM;
        return -1;
    }
    switch (request) {
        case TIOCMGET: *arg = dev->outputs | far_end; break;
        case TIOCMSET: dev->outputs = *arg & OUTPUT_LINES; break;
        case TIOCMBIS: dev->outputs |= *arg & OUTPUT_LINES; break;
        case TIOCMBIC: dev->outputs &= ~(*arg & OUTPUT_LINES); break;
        default: break;
    }
    if (request != TIOCMGET) publish_outputs(dev->outputs);
    pthread_mutex_unlock(&devices_lock);
    return 0;
}

static int shim_ioctl(int fd, unsigned long request, void* arg) {
    dev_t rdev;
    switch (request) {
        case TIOCMGET:
        case TIOCMSET:
        case TIOCMBIS:
        case TIOCMBIC:
            if (is_pty_slave(fd, &rdev)) {
                int far_end = far_end_lines();
                if (far_end != SHIM_OFF) return modem_request(rdev, request, (int*)arg, far_end);
            }
            break;
        default:
            break;
    }
    pthread_once(&real_once, find_real);
    ioctl_fn real = real_ioctl_fn;
    if (real == NULL) {
        errno = ENOSYS;
        return -1;
    }
    return real(fd, request, arg);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    return shim_ioctl(fd, request, arg);
}

#if defined(__i386__)
/* 32-bit programs built with 64-bit time_t call ioctl under this name. */
int __ioctl_time64(int fd, unsigned long request, ...);
int __ioctl_time64(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (request == TIOCMGET || request == TIOCMSET || request == TIOCMBIS || request == TIOCMBIC) {
        return shim_ioctl(fd, request, arg);
    }
    pthread_once(&real_once, find_real);
    if (real_ioctl_time64_fn == NULL) return shim_ioctl(fd, request, arg);
    return real_ioctl_time64_fn(fd, request, arg);
}
#endif
