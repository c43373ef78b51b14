#include "raise.h"

void raiseIOException(JNIEnv* env, const char* message) {
    jclass cls = env->FindClass("java/io/IOException");
    // Without the class there is no other way to tell Java; the caller's result still says -1.
    if (cls == nullptr) return;
    env->ThrowNew(cls, message);
}
