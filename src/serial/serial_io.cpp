#include <stdio.h>

#include "../jni/holders.h"
#include "../jni/raise.h"
#include "serial.h"

int32_t SerialPortRead(JNIEnv* env, USBDev* dev, jbyteArray buffer, jint count) {
    if (count <= 0 || !ArrayHolds(env, buffer, count)) {
        raiseIOException(env, "Invalid read count");
        return -1;
    }
    ScopedByteElements elems(env, buffer);
    if (elems.get() == nullptr) return -1;  // the VM has raised OutOfMemoryError

    // Ask for everything still missing each time; the port's time-outs end a call early with
    // what has arrived, and a call that brings nothing ends the read.
    char message[64];
    int32_t result = 0;
    DWORD total = 0;
    DWORD remaining = static_cast<DWORD>(count);
    while (total < static_cast<DWORD>(count)) {
        DWORD got = 0;
        BOOL ok = ReadFile(dev->hDevice, elems.get() + total, remaining, &got, nullptr);
        if (got == 0) break;
        if (!ok) {
            snprintf(message, sizeof message, "ReadFile error %d on port",
                     static_cast<int>(GetLastError()));
            result = -1;
            break;
        }
        // Never trust a count beyond what was asked: it would run past the array.
        if (got > remaining) got = remaining;
        total += got;
        remaining -= got;
    }
    elems.Release();
    if (result == -1) {
        raiseIOException(env, message);
        return -1;
    }
    return static_cast<int32_t>(total);
}

int32_t SerialPortWrite(JNIEnv* env, USBDev* dev, jbyteArray buffer, jint count) {
    if (count <= 0 || !ArrayHolds(env, buffer, count)) {
        raiseIOException(env, "Invalid write count");
        return -1;
    }
    ScopedByteElements elems(env, buffer);
    if (elems.get() == nullptr) return -1;

    char message[96];
    bool failed = false;
    jint written = 0;
    for (jint offset = 0; offset < count; offset += SERIAL_WRITE_CHUNK) {
        DWORD chunk = static_cast<DWORD>(count - offset);
        if (chunk > SERIAL_WRITE_CHUNK) chunk = SERIAL_WRITE_CHUNK;
        DWORD done = 0;
        if (!WriteFile(dev->hDevice, elems.get() + offset, chunk, &done, nullptr)) {
            snprintf(message, sizeof message, "WriteFile: GetLastError=%d",
                     static_cast<int>(GetLastError()));
            failed = true;
            break;
        }
        if (done != chunk) {
            snprintf(message, sizeof message,
                     "Number of bytes written [%d] != number of bytes requested [%d]",
                     static_cast<int>(done), static_cast<int>(chunk));
            failed = true;
            break;
        }
        written += static_cast<jint>(done);
        // Paces large blocks into the driver; the last chunk pauses too when it is full.
        if (chunk == SERIAL_WRITE_CHUNK) Sleep(SERIAL_CHUNK_PAUSE_MS);
    }
    elems.Release();
    if (failed) {
        raiseIOException(env, message);
        return -1;
    }
    return written == count ? 0 : -1;
}
