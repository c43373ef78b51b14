/*
 * The per-call benchmark's baseline: native methods of the class PlainPort that make the same
 * system calls as the library's PortGetReadCount, PortIsCTS and PortWrite do on a
 * pseudo-terminal, with nothing around them. bench/run_bench.sh BUILD syscalls compares the two
 * under strace; when the library's calls change, this file follows them.
 */
#define _DEFAULT_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <jni.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "plain_tty.h"

/* What one write hands to the kernel at most; the benchmark writes 64 bytes. */
#define PLAIN_MAX_WRITE 4096

/* Opened and set up as the library's open and PortSetParams(9600, 8, 1, 0) leave a terminal
 * (plain_tty.h). Returns the descriptor, or -errno. */
JNIEXPORT jint JNICALL Java_PlainPort_open(JNIEnv* env, jclass cls, jstring path) {
    (void)cls;
    if (path == NULL) {
        return -EINVAL;
    }
    const char* name = (*env)->GetStringUTFChars(env, path, NULL);
    if (name == NULL) {
        return -ENOMEM;
    }
    int fd = plain_tty_open(name);
    (*env)->ReleaseStringUTFChars(env, path, name);
    return fd;
}

JNIEXPORT jint JNICALL Java_PlainPort_close(JNIEnv* env, jclass cls, jint fd) {
    (void)env;
    (void)cls;
    return close(fd) == 0 ? 0 : -1;
}

/* The bytes waiting to be read; the library also asks for the transmit queue, so this does. */
JNIEXPORT jint JNICALL Java_PlainPort_getReadCount(JNIEnv* env, jclass cls, jint fd) {
    (void)env;
    (void)cls;
    int in = 0, out = 0;
    if (ioctl(fd, FIONREAD, &in) != 0) {
        return -1;
    }
    if (ioctl(fd, TIOCOUTQ, &out) != 0) {
        out = 0;
    }
    return in;
}

/* A pseudo-terminal has no modem lines and the library answers CTS on without asking. */
JNIEXPORT jboolean JNICALL Java_PlainPort_isCTS(JNIEnv* env, jclass cls, jint fd) {
    (void)env;
    (void)cls;
    (void)fd;
    return JNI_TRUE;
}

/* Writes the first count bytes of buffer; 0 when all went out, -1 otherwise. A full queue is
 * waited out, as the library does, but the drained far end should never let that happen. */
JNIEXPORT jint JNICALL Java_PlainPort_write(JNIEnv* env, jclass cls, jint fd, jbyteArray buffer,
                                            jint count) {
    (void)cls;
    if (buffer == NULL || count <= 0 || count > PLAIN_MAX_WRITE ||
        (*env)->GetArrayLength(env, buffer) < count) {
        return -1;
    }
    jbyte bytes[PLAIN_MAX_WRITE];
    (*env)->GetByteArrayRegion(env, buffer, 0, count, bytes);
    size_t sent = 0;
    while (sent < (size_t)count) {
        ssize_t r = write(fd, bytes + sent, (size_t)count - sent);
        if (r > 0) {
            sent += (size_t)r;
        } else if (r < 0 && errno != EINTR) {
            if (errno != EAGAIN) {
                return -1;
            }
            struct pollfd p = {fd, POLLOUT, 0};
            if (poll(&p, 1, 1000) <= 0) {
                return -1;
            }
        }
    }
    return 0;
}
