// Reading, writing, counting and purging a HID port. Reads take what the receive thread has
// queued and never wait on the device; writes go out in chunks of overlapped WriteFile calls.
#include <stdio.h>
#include <string.h>

#include "../fail/holders.h"
#include "../fail/log.h"
#include "../fail/raise.h"
#include "hid.h"
#include "hid_internal.h"

namespace {

// The port's device lock, which reads and writes take so that they run one at a time.
void LockUSBDev(USBDev* dev) { WaitForSingleObject(dev->hLock, INFINITE); }

void UnlockUSBDev(USBDev* dev) { ReleaseMutex(dev->hLock); }

// Takes `delta` off (or adds it to) the receive queue's byte total; the receive thread adds to
// it at any time.
void AdjustQueuedBytes(USBDev* dev, int32_t delta) {
    LockQueue(&dev->rxQueue);
    dev->rxQueue.byteTotal += delta;
    UnlockQueue(&dev->rxQueue);
}

// Sends one chunk and answers the return code of the write line: 0 when the write ended in
// time (or its wait failed), 1 when it did not end within the wait, 2 when WriteFile refused
// it. *done gets the bytes the device took.
int WriteChunk(USBDev* dev, const uint8_t* bytes, DWORD n, DWORD* done) {
    OVERLAPPED* ov = &dev->writeOverlapped;
    *done = 0;
    ResetEvent(dev->hWriteEvent);
    if (WriteFile(dev->hDevice, bytes, n, done, ov)) {
        GetOverlappedResult(dev->hDevice, ov, done, FALSE);
        return 0;
    }
    if (GetLastError() != ERROR_IO_PENDING) return 2;
    const HANDLE waits[2] = {dev->hWriteEvent, dev->hStopEvent};
    switch (WaitForMultipleObjects(2, waits, FALSE, HID_WRITE_WAIT_MS)) {
    case WAIT_OBJECT_0:
        GetOverlappedResult(dev->hDevice, ov, done, TRUE);
        return 0;
    case WAIT_TIMEOUT:
        // Cancelled and finished before the buffer or the record is used again; it has failed
        // whatever it moved meanwhile.
        CancelAndAwait(dev->hDevice, ov);
        *done = 0;
        return 1;
    case WAIT_OBJECT_0 + 1:
        // The port is closing: the write ends now, with what the device took before the cancel.
        PassStopOn(dev);
        *done = CancelAndAwait(dev->hDevice, ov);
        return 0;
    default:
        *done = CancelAndAwait(dev->hDevice, ov);
        return 0;
    }
}

}  // namespace

int32_t USBPortRead(JNIEnv* env, USBDev* dev, jbyteArray buffer, jint count) {
    ScopedByteElements elems(env, buffer, count, "Invalid read count");
    if (elems.get() == nullptr) return -1;
    uint8_t* out = reinterpret_cast<uint8_t*>(elems.get());

    LockUSBDev(dev);
    int32_t delivered = 0;
    while (delivered < count) {
        RxPacket* packet;
        if (dev->packetOffset != 0) {
            packet = dev->curPacket;
            AdjustQueuedBytes(dev, -packet->length);
        } else {
            packet = PopPacket(&dev->rxQueue);
            if (packet == nullptr) break;
            dev->savedLength = packet->length;
        }
        const int32_t wanted = count - delivered;
        const int32_t remaining = packet->length;
        if (remaining > wanted) {
            memcpy(out + delivered, packet->payload + dev->packetOffset, wanted);
            dev->packetOffset = static_cast<uint16_t>(dev->packetOffset + wanted);
            packet->length = remaining - wanted;
            dev->curPacket = packet;
            AdjustQueuedBytes(dev, remaining - wanted);
            delivered = count;
            break;
        }
        memcpy(out + delivered, packet->payload + dev->packetOffset, remaining);
        delivered += remaining;
        packet->status = 0;
        packet->length = dev->savedLength;
        dev->packetOffset = 0;
        dev->curPacket = nullptr;
        AppendPacket(&FreePacketPool, packet);
    }
    UnlockUSBDev(dev);
    elems.Release();
    return delivered;
}

int32_t USBPortWrite(JNIEnv* env, USBDev* dev, jbyteArray buffer, jint count) {
    ScopedByteElements elems(env, buffer, count, "Invalid write count");
    if (elems.get() == nullptr) return -1;
    const uint8_t* in = reinterpret_cast<const uint8_t*>(elems.get());

    // A USBHID device takes its report ID in front of every report.
    const DWORD prefix = dev->deviceType == DEVICE_USBHID ? 1 : 0;
    uint8_t chunkBuffer[HID_WRITE_CHUNK + 1];
    bool failed = false;
    jint written = 0;

    LockUSBDev(dev);
    for (WriteChunks chunks(count); chunks.More(); chunks.Next()) {
        // A close has begun: the rest is not sent.
        if (StopRequested(dev)) {
            failed = true;
            break;
        }
        const DWORD chunk = static_cast<DWORD>(chunks.Size());
        memset(chunkBuffer, 0, sizeof chunkBuffer);
        if (prefix != 0) chunkBuffer[0] = static_cast<uint8_t>(dev->reportId & 0xFF);
        memcpy(chunkBuffer + prefix, in + chunks.Offset(), chunk);

        DWORD done = 0;
        const int retcode = WriteChunk(dev, chunkBuffer, chunk + prefix, &done);
        if (retcode != 0) {
            LogLine(" USBPortWrite: WriteFile retcode = %d  pUSBDev = %X \n", retcode,
                   static_cast<unsigned>(reinterpret_cast<uintptr_t>(dev)));
        }
        if (static_cast<int64_t>(done) - prefix != static_cast<int64_t>(chunk)) {
            failed = true;
            break;
        }
        written += static_cast<jint>(chunk);
        // Paces large blocks into the device, the last full chunk too; a close ends the pause,
        // and the chunks still to come are then not sent.
        if (chunk == HID_WRITE_CHUNK && WaitForStop(dev, HID_CHUNK_PAUSE_MS) &&
            written < count) {
            failed = true;
            break;
        }
    }
    UnlockUSBDev(dev);
    elems.Release();
    if (failed) {
        raiseIOException(env, "Number of bytes written != number of bytes requested");
        return -1;
    }
    return written == count ? 0 : -1;
}

int32_t USBPortGetReadCount(JNIEnv*, USBDev* dev) {
    LockQueue(&dev->rxQueue);
    const int32_t queued = dev->rxQueue.byteTotal;
    UnlockQueue(&dev->rxQueue);
    return queued;
}

// A packet a read has split stays with the port: its rest is delivered by the next read.
int32_t USBPortPurge(JNIEnv*, USBDev* dev, jboolean, jboolean purgeRx) {
    if (JniTrue(purgeRx)) FlushQueue(&dev->rxQueue);
    return 0;
}

int32_t USBPortAwait(JNIEnv* env, USBDev* dev, DWORD ms) {
    const DWORD started = GetTickCount();
    const HANDLE waits[2] = {dev->hDataEvent, dev->hStopEvent};
    for (;;) {
        // Reset before looking: bytes queued after the look set it again.
        ResetEvent(dev->hDataEvent);
        if (USBPortGetReadCount(env, dev) > 0) return 1;
        if (StopRequested(dev)) return -1;
        if (const DWORD failure = __atomic_load_n(&dev->rxFailure, __ATOMIC_ACQUIRE)) {
            raiseIOExceptionf(env, "ReadFile error %d on port", static_cast<int>(failure));
            return -1;
        }
        DWORD left = INFINITE;
        if (ms != INFINITE) {
            const DWORD spent = GetTickCount() - started;
            left = spent >= ms ? 0 : ms - spent;
        }
        switch (WaitForMultipleObjects(2, waits, FALSE, left)) {
        case WAIT_OBJECT_0:
            continue;
        case WAIT_TIMEOUT:
            return 0;
        case WAIT_OBJECT_0 + 1:
            PassStopOn(dev);
            return -1;
        default:
            return -1;
        }
    }
}
