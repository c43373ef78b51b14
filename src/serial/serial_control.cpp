#include <string.h>

#include "../fail/holders.h"
#include "../fail/raise.h"
#include "serial.h"

namespace {

int32_t RaiseWithCode(JNIEnv* env, const char* format) {
    raiseIOExceptionf(env, format, static_cast<int>(GetLastError()));
    return -1;
}

// "%0x04" has no width: the code in lower-case hex without leading zeros, then a literal "04".
void RaiseWithHexCode(JNIEnv* env, const char* format) {
    raiseIOExceptionf(env, format, static_cast<unsigned>(GetLastError()));
}

bool ValidBaud(jint baud) {
    switch (baud) {
        case 1200: case 2400: case 4800: case 9600: case 19200:
        case 38400: case 56000: case 57600: case 115200:
            return true;
        default:
            return false;
    }
}

}  // namespace

int32_t SetPortParams(JNIEnv* env, USBDev* dev, jint baud, jint dataBits, jint stopBits,
                      jint parity) {
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    if (!GetCommState(dev->hDevice, &dcb)) return RaiseWithCode(env, "GetCommState error %d on port");

    // All four are checked before anything reaches the port: a refused call changes nothing.
    if (!ValidBaud(baud)) {
        raiseIOException(env, "SetPortParams: Invalid baud rate");
        return -1;
    }
    dcb.BaudRate = static_cast<DWORD>(baud);
    if (dataBits < 5 || dataBits > 8) {
        raiseIOException(env, "SetPortParams: Invalid databits");
        return -1;
    }
    dcb.ByteSize = static_cast<BYTE>(dataBits);
    if (stopBits == 1) {
        dcb.StopBits = ONESTOPBIT;
    } else if (stopBits == 2) {
        dcb.StopBits = TWOSTOPBITS;
    } else {
        raiseIOException(env, "SetPortParams: Invalid stopbits");
        return -1;
    }
    if (parity == 0) {
        dcb.Parity = NOPARITY;
        dcb.fParity = 0;
    } else if (parity == 1) {
        dcb.Parity = ODDPARITY;
        dcb.fParity = 1;
    } else if (parity == 2) {
        dcb.Parity = EVENPARITY;
        dcb.fParity = 1;
    } else {
        raiseIOException(env, "SetPortParams: Invalid parity");
        return -1;
    }

    if (!SetCommState(dev->hDevice, &dcb)) return RaiseWithCode(env, "SetCommState error %d on port");
    return 0;
}

int32_t SerialPortPurge(JNIEnv* env, USBDev* dev, jboolean purgeTx, jboolean purgeRx) {
    DWORD flags = 0;
    if (JniTrue(purgeTx)) flags |= PURGE_TXABORT | PURGE_TXCLEAR;
    if (JniTrue(purgeRx)) flags |= PURGE_RXABORT | PURGE_RXCLEAR;
    if (!PurgeComm(dev->hDevice, flags)) {
        RaiseWithHexCode(env, "PurgeComm: GetLastError = %0x04\n");
        return -1;
    }
    return 0;
}

int32_t SerialPortGetReadCount(JNIEnv* env, USBDev* dev) {
    DWORD errors = 0;
    COMSTAT stat;
    memset(&stat, 0, sizeof stat);
    // Also clears a line error, which lifts the refusal of reads and writes that follows it.
    if (!ClearCommError(dev->hDevice, &errors, &stat)) {
        return RaiseWithCode(env, "ClearCommError %d on port");
    }
    return static_cast<int32_t>(stat.cbInQue);
}

int32_t SerialSetHWFlowControl(JNIEnv* env, USBDev* dev, jboolean on) {
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    if (!GetCommState(dev->hDevice, &dcb)) return RaiseWithCode(env, "GetCommState error %d on port");
    if (JniTrue(on)) {
        // Output waits for CTS; RTS is held on rather than handshaken, so input is never
        // throttled.
        dcb.fOutxCtsFlow = 1;
        dcb.fRtsControl = RTS_CONTROL_ENABLE;
    } else {
        dcb.fOutxCtsFlow = 0;
        dcb.fRtsControl = RTS_CONTROL_DISABLE;
    }
    if (!SetCommState(dev->hDevice, &dcb)) return RaiseWithCode(env, "SetCommState error %d on port");
    return 0;
}

DWORD SerialGetModemStatus(JNIEnv* env, HANDLE hDevice) {
    DWORD status = 0;
    if (!GetCommModemStatus(hDevice, &status)) {
        RaiseWithHexCode(env, "GetCommModemStatus: GetLastError = %0x04\n");
        return 0;
    }
    return status;
}

int32_t SerialEscapeFunction(JNIEnv* env, HANDLE hDevice, DWORD code) {
    if (!EscapeCommFunction(hDevice, code)) {
        RaiseWithHexCode(env, "EscapeCommFunction: GetLastError = %0x04\n");
        return -1;
    }
    return 0;
}
