#include <string.h>

#include "../fail/holders.h"
#include "../fail/raise.h"
#include "serial.h"

int32_t SerialPortRead(JNIEnv* env, USBDev* dev, jbyteArray buffer, jint count) {
    ScopedByteElements elems(env, buffer, count, "Invalid read count");
    if (elems.get() == nullptr) return -1;

    // Only the first call may wait, and it asks for one byte: the port's time-outs let it wait
    // up to SERIAL_READ_WAIT_MS for that byte and return as soon as it is there. Every later call
    // asks for no more than ClearCommError reports waiting, because a call that asks for more
    // waits out the time-out on some platforms (Wine) with the bytes already in hand. The first
    // call is not sized that way: ClearCommError would clear a line error that fAbortOnError
    // makes the port refuse reads for, and that refusal is the caller's to clear.
    DWORD error = 0;
    int32_t result = 0;
    const DWORD wanted = static_cast<DWORD>(count);
    DWORD total = 0;
    DWORD ask = 1;
    for (;;) {
        DWORD got = 0;
        BOOL ok = ReadFile(dev->hDevice, elems.get() + total, ask, &got, nullptr);
        if (got == 0) break;
        if (!ok) {
            error = GetLastError();
            result = -1;
            break;
        }
        // Never trust a count beyond what was asked: it would run past the array.
        if (got > ask) got = ask;
        total += got;
        if (total == wanted) break;

        // Nothing more waiting, the queue not answering, or a line error: done with what we have.
        DWORD errors = 0;
        COMSTAT stat;
        memset(&stat, 0, sizeof stat);
        if (!ClearCommError(dev->hDevice, &errors, &stat)) break;
        if (errors != 0 || stat.cbInQue == 0) break;
        ask = wanted - total;
        if (ask > stat.cbInQue) ask = stat.cbInQue;
    }
    elems.Release();
    if (result == -1) {
        raiseIOExceptionf(env, "ReadFile error %d on port", static_cast<int>(error));
        return -1;
    }
    return static_cast<int32_t>(total);
}

int32_t SerialPortWrite(JNIEnv* env, USBDev* dev, jbyteArray buffer, jint count) {
    ScopedByteElements elems(env, buffer, count, "Invalid write count");
    if (elems.get() == nullptr) return -1;

    // What failed, kept until the elements are given back: the raise comes after that.
    DWORD error = 0;
    DWORD written = 0;
    DWORD asked = 0;
    enum { kWritten, kWriteFailed, kShortWrite } outcome = kWritten;
    // Counts down the bytes left: an offset stepped by whole chunks could pass INT_MAX for
    // counts near it.
    const jbyte* next = elems.get();
    DWORD left = static_cast<DWORD>(count);
    while (left > 0) {
        const DWORD chunk = left < SERIAL_WRITE_CHUNK ? left : SERIAL_WRITE_CHUNK;
        DWORD done = 0;
        if (!WriteFile(dev->hDevice, next, chunk, &done, nullptr)) {
            error = GetLastError();
            outcome = kWriteFailed;
            break;
        }
        if (done != chunk) {
            written = done;
            asked = chunk;
            outcome = kShortWrite;
            break;
        }
        next += chunk;
        left -= chunk;
        // Paces large blocks into the driver; the last chunk pauses too when it is full.
        if (chunk == SERIAL_WRITE_CHUNK) Sleep(SERIAL_CHUNK_PAUSE_MS);
    }
    elems.Release();
    if (outcome == kWriteFailed) {
        raiseIOExceptionf(env, "WriteFile: GetLastError=%d", static_cast<int>(error));
        return -1;
    }
    if (outcome == kShortWrite) {
        raiseIOExceptionf(env, "Number of bytes written [%d] != number of bytes requested [%d]",
                          static_cast<int>(written), static_cast<int>(asked));
        return -1;
    }
    return 0;
}
