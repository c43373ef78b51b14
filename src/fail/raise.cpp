#include "raise.h"

#include <stdarg.h>
#include <stdio.h>

void raiseIOException(JNIEnv* env, const char* message) {
    jclass cls = env->FindClass("java/io/IOException");
    // Without the class there is no other way to tell Java; the caller's result still says -1.
    if (cls == nullptr) return;
    env->ThrowNew(cls, message);
}

void raiseIOExceptionf(JNIEnv* env, const char* format, ...) {
    char message[RAISE_MESSAGE_SIZE];
    va_list args;
    va_start(args, format);
    vsnprintf(message, sizeof message, format, args);
    va_end(args);
    raiseIOException(env, message);
}
