// How every failure reaches Java: a java/io/IOException raised in the calling thread.
#pragma once

#include <jni.h>

void raiseIOException(JNIEnv* env, const char* message);

// The message formatted as printf would into a fixed buffer of RAISE_MESSAGE_SIZE bytes: a
// longer one is cut, never allocated, so a failure path cannot fail again on memory.
#define RAISE_MESSAGE_SIZE 128
#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void raiseIOExceptionf(JNIEnv* env, const char* format, ...);
