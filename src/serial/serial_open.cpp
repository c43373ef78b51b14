#include <stdio.h>
#include <string.h>

#include "../fail/raise.h"
#include "serial.h"

namespace {

// Formats the failing step's message with its error code, lets the device go, then raises: a
// failed open never keeps the port held.
int32_t FailOpen(JNIEnv* env, HANDLE h, const char* format) {
    const int error = static_cast<int>(GetLastError());
    CloseHandle(h);
    raiseIOExceptionf(env, format, error);
    return -1;
}

}  // namespace

int32_t SerialPortOpen(JNIEnv* env, PortSlot* slot, bool overlapped) {
    // Room for any name the table accepts: long device paths (/dev/serial/by-id/...) are real.
    char device[MAX_PORT_NAME + 1];
    snprintf(device, sizeof device, "%s", slot->name);
    // The table leads POSIX names to COM names, which only name devices where COM names are the
    // device namespace. Elsewhere "/dev/ttyS4" is that device, and mapping it would open another.
    if (kComNamesAreDevices) MapSerialPortName(device);

    const DWORD flags = FILE_FLAG_WRITE_THROUGH | FILE_FLAG_NO_BUFFERING |
                        (overlapped ? FILE_FLAG_OVERLAPPED : 0);
    HANDLE h = CreateFileA(device, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, flags,
                           nullptr);
    slot->dev.hDevice = h;
    slot->dev.overlappedIo = overlapped ? 1 : 0;
    if (h == INVALID_HANDLE_VALUE) {
        raiseIOExceptionf(env, "CreateFile error %d on port", static_cast<int>(GetLastError()));
        return -1;
    }

    if (!PurgeComm(h, PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR)) {
        return FailOpen(env, h, "PurgeComm error %d on port");
    }

    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    if (!GetCommState(h, &dcb)) return FailOpen(env, h, "GetCommState error %d on port");
    dcb.BaudRate = 9600;
    dcb.ByteSize = 8;
    dcb.Parity = NOPARITY;
    dcb.StopBits = ONESTOPBIT;
    dcb.XonChar = 0;
    dcb.XoffChar = 0;
    dcb.fBinary = 1;
    dcb.fParity = 0;
    dcb.fOutxCtsFlow = 0;
    dcb.fOutxDsrFlow = 0;
    dcb.fDtrControl = DTR_CONTROL_ENABLE;
    dcb.fDsrSensitivity = 0;
    dcb.fOutX = 0;
    dcb.fInX = 0;
    dcb.fErrorChar = 0;
    dcb.fNull = 0;
    dcb.fRtsControl = RTS_CONTROL_ENABLE;
    dcb.fAbortOnError = 1;
    if (!SetCommState(h, &dcb)) return FailOpen(env, h, "SetCommState error %d on port");

    if (!SetupComm(h, SERIAL_QUEUE_SIZE, SERIAL_QUEUE_SIZE)) {
        return FailOpen(env, h, "SetupComm error %d on port");
    }

    DWORD errors = 0;
    COMSTAT stat;
    memset(&stat, 0, sizeof stat);
    if (!ClearCommError(h, &errors, &stat)) {
        return FailOpen(env, h, "ClearCommError error %d on port");
    }

    // A read call returns at once with whatever has arrived; with nothing there it waits up to
    // SERIAL_READ_WAIT_MS for the first byte. Reads never block without limit.
    COMMTIMEOUTS timeouts;
    timeouts.ReadIntervalTimeout = MAXDWORD;
    timeouts.ReadTotalTimeoutMultiplier = MAXDWORD;
    timeouts.ReadTotalTimeoutConstant = SERIAL_READ_WAIT_MS;
    timeouts.WriteTotalTimeoutMultiplier = 0;
    timeouts.WriteTotalTimeoutConstant = SERIAL_WRITE_TIMEOUT_MS;
    if (!SetCommTimeouts(h, &timeouts)) {
        return FailOpen(env, h, "SetCommTimeouts error %d on port");
    }

    if (!EscapeCommFunction(h, SETDTR)) {
        return FailOpen(env, h, "EscapeCommFunction SETDTR error %d on port");
    }
    if (!EscapeCommFunction(h, SETRTS)) {
        return FailOpen(env, h, "EscapeCommFunction SETRTS error %d on port");
    }
    return 0;
}

int32_t SerialPortClose(JNIEnv* env, USBDev* dev) {
    if (!CloseHandle(dev->hDevice)) {
        raiseIOExceptionf(env, "CloseHandle: GetLastError=%d", static_cast<int>(GetLastError()));
        return -1;
    }
    return 0;
}

void SerialPortInterrupt(USBDev* dev) { CancelTransfers(dev->hDevice, nullptr); }
