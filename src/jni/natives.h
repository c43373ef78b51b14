// The native methods as the virtual machine binds them, by their JNI short names.
#pragma once

#include <jni.h>

#define CALDRIX(name) Java_com_vorant_jpos_tavrolink_caldrix_##name
#define PORT_NATIVE(name) Java_com_vorant_jpos_tavrolink_port_NativePort_##name
#define WATCH_NATIVE(name) Java_com_vorant_jpos_tavrolink_port_NativeWatch_##name

extern "C" {
JNIEXPORT jint JNICALL CALDRIX(PortOpen)(JNIEnv*, jclass, jstring);
JNIEXPORT jint JNICALL CALDRIX(PortClose)(JNIEnv*, jclass, jint);
JNIEXPORT jint JNICALL CALDRIX(PortRead)(JNIEnv*, jclass, jint, jbyteArray, jint);
JNIEXPORT jint JNICALL CALDRIX(PortWrite)(JNIEnv*, jclass, jint, jbyteArray, jint);
JNIEXPORT jint JNICALL CALDRIX(PortSetParams)(JNIEnv*, jclass, jint, jint, jint, jint, jint, jint);
JNIEXPORT jint JNICALL CALDRIX(PortPurge)(JNIEnv*, jclass, jint, jboolean, jboolean);
JNIEXPORT jint JNICALL CALDRIX(PortGetReadCount)(JNIEnv*, jclass, jint);
JNIEXPORT jboolean JNICALL CALDRIX(PortIsCTS)(JNIEnv*, jclass, jint);
JNIEXPORT jboolean JNICALL CALDRIX(PortIsDSR)(JNIEnv*, jclass, jint);
JNIEXPORT jboolean JNICALL CALDRIX(PortIsRI)(JNIEnv*, jclass, jint);
JNIEXPORT jboolean JNICALL Java_tellspan_devices_tavrolink_caldrix_PortIsCD(JNIEnv*, jclass, jint);
JNIEXPORT jboolean JNICALL CALDRIX(PortIsDTR)(JNIEnv*, jclass, jint) noexcept;
JNIEXPORT jboolean JNICALL CALDRIX(PortIsRTS)(JNIEnv*, jclass, jint) noexcept;
JNIEXPORT jint JNICALL CALDRIX(PortSetRTS)(JNIEnv*, jclass, jint, jboolean);
JNIEXPORT jint JNICALL CALDRIX(PortSetDTR)(JNIEnv*, jclass, jint, jboolean);
JNIEXPORT jint JNICALL CALDRIX(PortSetHWFlowControl)(JNIEnv*, jclass, jint, jboolean);
JNIEXPORT jint JNICALL CALDRIX(GetMACAddress)(JNIEnv*, jclass, jbyteArray);

JNIEXPORT jint JNICALL PORT_NATIVE(open)(JNIEnv*, jclass, jstring);
JNIEXPORT jint JNICALL PORT_NATIVE(await)(JNIEnv*, jclass, jint, jint);

JNIEXPORT jint JNICALL WATCH_NATIVE(open)(JNIEnv*, jclass);
JNIEXPORT jint JNICALL WATCH_NATIVE(await)(JNIEnv*, jclass, jint, jint);
JNIEXPORT void JNICALL WATCH_NATIVE(stop)(JNIEnv*, jclass, jint);
JNIEXPORT void JNICALL WATCH_NATIVE(close)(JNIEnv*, jclass, jint);
JNIEXPORT jstring JNICALL WATCH_NATIVE(scan)(JNIEnv*, jclass);
}

// The library's load, which DllMain runs on attach: the port table and the backends' shared
// state. A program that links the library's objects without the entry point calls it itself.
void on_library_load(void);
