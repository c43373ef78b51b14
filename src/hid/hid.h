// The USB HID backend's operations as the entry points call them.
#pragma once

#include <jni.h>

#include "../ports/port_table.h"

// Part of the library's load: the receive packets' pool empty and its lock made.
void InitPacketPool(void);

int32_t USBPortOpen(JNIEnv* env, PortSlot* slot);
int32_t USBPortClose(JNIEnv* env, USBDev* dev);
// The first step of a close, repeated until the calls inside the port have left: sets the stop
// flag, signals the stop event and cancels the device's pending I/O, so that reads, writes and
// their waits return at once.
void USBPortInterrupt(USBDev* dev);
int32_t USBPortRead(JNIEnv* env, USBDev* dev, jbyteArray buffer, jint count);
int32_t USBPortWrite(JNIEnv* env, USBDev* dev, jbyteArray buffer, jint count);
int32_t USBPortPurge(JNIEnv* env, USBDev* dev, jboolean purgeTx, jboolean purgeRx);
int32_t USBPortGetReadCount(JNIEnv* env, USBDev* dev);
// Waits up to `ms` for received bytes without taking them: 1 when some are queued, 0 when the
// time passed, -1 when the port closed meanwhile; -1 with a message once the receive thread has
// found the device gone and nothing is left to read.
int32_t USBPortAwait(JNIEnv* env, USBDev* dev, DWORD ms);
