// How every failure reaches Java: a java/io/IOException raised in the calling thread.
#pragma once

#include <jni.h>

void raiseIOException(JNIEnv* env, const char* message);
