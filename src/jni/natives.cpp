// The exported native methods: look the handle up, dispatch by port kind, pass the answer on.
#include <jni.h>
#include <stdio.h>

#include "../fail/holders.h"
#include "../fail/log.h"
#include "../fail/raise.h"
#include "../hid/hid.h"
#include "../host/mac_address.h"
#include "../ports/port_table.h"
#include "../serial/serial.h"
#include "natives.h"

namespace {

const jboolean kInvalidHandleLine = 0xFF;

jboolean ModemBit(JNIEnv* env, jint handle, DWORD bit, jboolean hidAnswer) {
    SlotRef ref(handle);
    if (ref.get() == nullptr) return kInvalidHandleLine;
    if (!ref.serial()) return hidAnswer;
    return (SerialGetModemStatus(env, ref.dev()->hDevice) & bit) ? 1 : 0;
}

// PortOpen, and the port object's open, whose serial handle is overlapped.
jint OpenPort(JNIEnv* env, jstring name, bool overlapped) {
    int32_t handle = 0;
    if (ClaimPortSlot(env, name, &handle) != 0) return -1;
    // Not yet visible to other calls: only this thread touches the slot until it is published.
    PortSlot* slot = &PortTable[handle];
    int32_t result;
    if (slot->kind == PORT_KIND_SERIAL) {
        result = SerialPortOpen(env, slot, overlapped);
    } else {
        LogLine(" USBPortOpen \n");
        result = USBPortOpen(env, slot);
    }
    if (result == -1) {
        FreePortSlot(slot);
        return -1;
    }
    PublishPortSlot(handle);
    return handle;
}

}  // namespace

extern "C" {

JNIEXPORT jint JNICALL CALDRIX(PortOpen)(JNIEnv* env, jclass, jstring name) {
    return OpenPort(env, name, false);
}

JNIEXPORT jint JNICALL CALDRIX(PortClose)(JNIEnv* env, jclass, jint handle) {
    SlotRef ref(handle);
    if (ref.get() == nullptr) return -1;
    // A close already under way owns the slot; this one is a close of a closed handle.
    if (!BeginClosePortSlot(ref.get(), ref.serial() ? SerialPortInterrupt : USBPortInterrupt)) {
        return -1;
    }
    int32_t result = ref.serial() ? SerialPortClose(env, ref.dev()) : USBPortClose(env, ref.dev());
    ref.Free();
    return result;
}

JNIEXPORT jint JNICALL CALDRIX(PortRead)(JNIEnv* env, jclass, jint handle, jbyteArray buffer,
                                         jint count) {
    SlotRef ref(handle);
    if (ref.get() == nullptr) return -1;
    return ref.serial() ? SerialPortRead(env, ref.dev(), buffer, count)
                        : USBPortRead(env, ref.dev(), buffer, count);
}

JNIEXPORT jint JNICALL CALDRIX(PortWrite)(JNIEnv* env, jclass, jint handle, jbyteArray buffer,
                                          jint count) {
    SlotRef ref(handle);
    if (ref.get() == nullptr) return -1;
    return ref.serial() ? SerialPortWrite(env, ref.dev(), buffer, count)
                        : USBPortWrite(env, ref.dev(), buffer, count);
}

JNIEXPORT jint JNICALL CALDRIX(PortSetParams)(JNIEnv* env, jclass, jint handle, jint baud,
                                              jint dataBits, jint stopBits, jint parity, jint) {
    SlotRef ref(handle);
    if (ref.get() == nullptr) return -1;
    if (!ref.serial()) return 0;
    return SetPortParams(env, ref.dev(), baud, dataBits, stopBits, parity);
}

JNIEXPORT jint JNICALL CALDRIX(PortPurge)(JNIEnv* env, jclass, jint handle, jboolean purgeTx,
                                          jboolean purgeRx) {
    SlotRef ref(handle);
    if (ref.get() == nullptr) return -1;
    return ref.serial() ? SerialPortPurge(env, ref.dev(), purgeTx, purgeRx)
                        : USBPortPurge(env, ref.dev(), purgeTx, purgeRx);
}

JNIEXPORT jint JNICALL CALDRIX(PortGetReadCount)(JNIEnv* env, jclass, jint handle) {
    SlotRef ref(handle);
    if (ref.get() == nullptr) return -1;
    return ref.serial() ? SerialPortGetReadCount(env, ref.dev())
                        : USBPortGetReadCount(env, ref.dev());
}

JNIEXPORT jboolean JNICALL CALDRIX(PortIsCTS)(JNIEnv* env, jclass, jint handle) {
    return ModemBit(env, handle, MS_CTS_ON, 1);
}

JNIEXPORT jboolean JNICALL CALDRIX(PortIsDSR)(JNIEnv* env, jclass, jint handle) {
    return ModemBit(env, handle, MS_DSR_ON, 0);
}

JNIEXPORT jboolean JNICALL CALDRIX(PortIsRI)(JNIEnv* env, jclass, jint handle) {
    return ModemBit(env, handle, MS_RING_ON, 0);
}

JNIEXPORT jboolean JNICALL Java_tellspan_devices_tavrolink_caldrix_PortIsCD(JNIEnv* env, jclass,
                                                                            jint handle) {
    return ModemBit(env, handle, MS_RLSD_ON, 0);
}

// One routine under two names: the outputs are reported as always on. The alias names the
// target's symbol, which 32-bit Windows decorates for __stdcall.
#if defined(_WIN32) && !defined(_WIN64)
#define PORT_IS_DTR_SYMBOL "Java_com_vorant_jpos_tavrolink_caldrix_PortIsDTR@12"
#else
#define PORT_IS_DTR_SYMBOL "Java_com_vorant_jpos_tavrolink_caldrix_PortIsDTR"
#endif
JNIEXPORT jboolean JNICALL CALDRIX(PortIsDTR)(JNIEnv*, jclass, jint) noexcept { return 1; }
JNIEXPORT jboolean JNICALL CALDRIX(PortIsRTS)(JNIEnv*, jclass, jint) noexcept
    __attribute__((alias(PORT_IS_DTR_SYMBOL)));

JNIEXPORT jint JNICALL CALDRIX(PortSetRTS)(JNIEnv* env, jclass, jint handle, jboolean on) {
    SlotRef ref(handle);
    if (ref.get() == nullptr) return -1;
    if (!ref.serial()) return 0;
    return SerialEscapeFunction(env, ref.dev()->hDevice, JniTrue(on) ? SETRTS : CLRRTS);
}

JNIEXPORT jint JNICALL CALDRIX(PortSetDTR)(JNIEnv* env, jclass, jint handle, jboolean on) {
    SlotRef ref(handle);
    if (ref.get() == nullptr) return -1;
    if (!ref.serial()) return 0;
    return SerialEscapeFunction(env, ref.dev()->hDevice, JniTrue(on) ? SETDTR : CLRDTR);
}

JNIEXPORT jint JNICALL CALDRIX(PortSetHWFlowControl)(JNIEnv* env, jclass, jint handle,
                                                     jboolean on) {
    SlotRef ref(handle);
    if (ref.get() == nullptr) return -1;
    if (!ref.serial()) return 0;
    return SerialSetHWFlowControl(env, ref.dev(), on);
}

JNIEXPORT jint JNICALL CALDRIX(GetMACAddress)(JNIEnv* env, jclass, jbyteArray address) {
    return GetMACAddress(env, address);
}

// The port object's natives, in a class of their own so the fixed ones stay as they are.

JNIEXPORT jint JNICALL PORT_NATIVE(open)(JNIEnv* env, jclass, jstring name) {
    return OpenPort(env, name, true);
}

JNIEXPORT jint JNICALL PORT_NATIVE(await)(JNIEnv* env, jclass, jint handle, jint timeoutMs) {
    if (timeoutMs < 0) {
        raiseIOException(env, "Invalid wait time-out");
        return -1;
    }
    SlotRef ref(handle);
    if (ref.get() == nullptr) return -1;
    const DWORD ms = static_cast<DWORD>(timeoutMs);
    return ref.serial() ? SerialPortAwait(env, ref.dev(), ms) : USBPortAwait(env, ref.dev(), ms);
}

}  // extern "C"
