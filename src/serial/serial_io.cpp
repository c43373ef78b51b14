#include <string.h>

#include "../fail/holders.h"
#include "../fail/raise.h"
#include "serial.h"

namespace {

// One ReadFile or WriteFile on the port, to its end. A port object's handle is overlapped: the
// transfer then waits on its own event beside the close signal, and a close cancels it from this
// thread, which needs no CancelIoEx (XP has none for another thread's transfer).
BOOL Transfer(USBDev* dev, bool write, void* bytes, DWORD n, DWORD* moved) {
    if (!dev->overlappedIo) {
        return write ? WriteFile(dev->hDevice, bytes, n, moved, nullptr)
                     : ReadFile(dev->hDevice, bytes, n, moved, nullptr);
    }
    *moved = 0;
    OVERLAPPED ov;
    memset(&ov, 0, sizeof ov);
    ov.hEvent = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (ov.hEvent == nullptr) return FALSE;
    BOOL ok = write ? WriteFile(dev->hDevice, bytes, n, nullptr, &ov)
                    : ReadFile(dev->hDevice, bytes, n, nullptr, &ov);
    if (ok || GetLastError() == ERROR_IO_PENDING) {
        const HANDLE waits[2] = {ov.hEvent, dev->hClosing};
        if (!ok && WaitForMultipleObjects(2, waits, FALSE, INFINITE) != WAIT_OBJECT_0) {
            CancelTransfers(dev->hDevice, &ov);
        }
        ok = GetOverlappedResult(dev->hDevice, &ov, moved, TRUE);
    }
    const DWORD error = GetLastError();
    CloseHandle(ov.hEvent);
    SetLastError(error);
    return ok;
}

// The close signal, looked at without waiting.
bool Closing(const USBDev* dev) { return WaitForSingleObject(dev->hClosing, 0) == WAIT_OBJECT_0; }

}  // namespace

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
        BOOL ok = Transfer(dev, false, elems.get() + total, ask, &got);
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
    enum { kWritten, kWriteFailed, kShortWrite, kClosed } outcome = kWritten;
    // Counts down the bytes left: an offset stepped by whole chunks could pass INT_MAX for
    // counts near it.
    const jbyte* next = elems.get();
    DWORD left = static_cast<DWORD>(count);
    while (left > 0) {
        const DWORD chunk = left < SERIAL_WRITE_CHUNK ? left : SERIAL_WRITE_CHUNK;
        DWORD done = 0;
        if (!Transfer(dev, true, const_cast<jbyte*>(next), chunk, &done)) {
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
        // Paces large blocks into the driver; the last chunk pauses too when it is full. A close
        // ends the pause, and the chunks still to come are not sent.
        if (chunk == SERIAL_WRITE_CHUNK &&
            WaitForSingleObject(dev->hClosing, SERIAL_CHUNK_PAUSE_MS) == WAIT_OBJECT_0 &&
            left > 0) {
            outcome = kClosed;
            break;
        }
    }
    elems.Release();
    // As a write on a closed handle answers: -1 with nothing raised.
    if (outcome == kClosed) return -1;
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

int32_t SerialPortAwait(JNIEnv* env, USBDev* dev, DWORD ms) {
    // A synchronous handle cannot wait beside a write on Windows; the rule is the same everywhere
    // so that code behaves alike on every build.
    if (!dev->overlappedIo) {
        raiseIOException(env, "Port was not opened for waiting");
        return -1;
    }
    for (;;) {
        const DWORD started = GetTickCount();
        switch (WaitCommInput(dev->hDevice, dev->hClosing, ms)) {
        case WAIT_OBJECT_0:
            return 1;
        case WAIT_TIMEOUT:
            return 0;
        case WAIT_OBJECT_0 + 1: {
            if (Closing(dev)) return -1;
            // Cancelled without a close (a purge of the input): wait out the rest of the time.
            const DWORD spent = GetTickCount() - started;
            if (ms != INFINITE) ms = spent >= ms ? 0 : ms - spent;
            continue;
        }
        default:
            if (Closing(dev)) return -1;
            raiseIOExceptionf(env, "WaitCommEvent error %d on port",
                              static_cast<int>(GetLastError()));
            return -1;
        }
    }
}
