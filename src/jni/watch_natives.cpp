// The device watch's natives, in the port package's class of their own: a watch per Java watch,
// and the listing its rescans read.
#include <jni.h>

#include <new>
#include <string>

#include "../fail/raise.h"
#include "../listing/port_list.h"
#include "../listing/watch.h"
#include "natives.h"

extern "C" {

JNIEXPORT jint JNICALL WATCH_NATIVE(open)(JNIEnv* env, jclass) {
    uint32_t error = 0;
    const int32_t id = caldrix_watch::OpenWatch(&error);
    if (id < 0) raiseIOExceptionf(env, "Device watch error %d", static_cast<int>(error));
    return id;
}

JNIEXPORT jint JNICALL WATCH_NATIVE(await)(JNIEnv* env, jclass, jint watch, jint timeoutMs) {
    if (timeoutMs < 0) {
        raiseIOException(env, "Invalid wait time-out");
        return -1;
    }
    return caldrix_watch::AwaitWatch(watch, static_cast<uint32_t>(timeoutMs));
}

JNIEXPORT void JNICALL WATCH_NATIVE(stop)(JNIEnv*, jclass, jint watch) {
    caldrix_watch::StopWatch(watch);
}

JNIEXPORT void JNICALL WATCH_NATIVE(close)(JNIEnv*, jclass, jint watch) {
    caldrix_watch::CloseWatch(watch);
}

JNIEXPORT jstring JNICALL WATCH_NATIVE(scan)(JNIEnv* env, jclass) {
    try {
        return env->NewStringUTF(caldrix_ports::ScanJson().c_str());
    } catch (const std::bad_alloc&) {
        raiseIOException(env, "Device listing: out of memory");
        return nullptr;
    }
}

}  // extern "C"
