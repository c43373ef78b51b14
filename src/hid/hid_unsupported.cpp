// HID devices are classified but cannot be opened yet. The open refuses plainly, so no HID slot
// ever becomes visible; the other operations answer the same way should one be reached.
#include "hid.h"

#include "../jni/raise.h"

static const char kNotSupported[] = "HID devices are not supported yet";

int32_t USBPortOpen(JNIEnv* env, PortSlot*) {
    raiseIOException(env, kNotSupported);
    return -1;
}

int32_t USBPortClose(JNIEnv* env, USBDev*) {
    raiseIOException(env, kNotSupported);
    return -1;
}

int32_t USBPortRead(JNIEnv* env, USBDev*, jbyteArray, jint) {
    raiseIOException(env, kNotSupported);
    return -1;
}

int32_t USBPortWrite(JNIEnv* env, USBDev*, jbyteArray, jint) {
    raiseIOException(env, kNotSupported);
    return -1;
}

int32_t USBPortPurge(JNIEnv* env, USBDev*, jboolean, jboolean) {
    raiseIOException(env, kNotSupported);
    return -1;
}

int32_t USBPortGetReadCount(JNIEnv* env, USBDev*) {
    raiseIOException(env, kNotSupported);
    return -1;
}

// No HID port ever opens here, so there is nothing to interrupt.
void USBPortInterrupt(USBDev*) {}
