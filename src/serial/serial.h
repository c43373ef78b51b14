// The serial backend: RS-232 ports through the Win32 communications API.
#pragma once

#include <jni.h>

#include "../ports/port_table.h"

#define SERIAL_WORK_BUFFER 100
#define SERIAL_WRITE_CHUNK 8192
#define SERIAL_CHUNK_PAUSE_MS 250
#define SERIAL_QUEUE_SIZE 1024
#define SERIAL_WRITE_TIMEOUT_MS 5000
// With nothing waiting, a read waits this long for the first byte; once it has bytes it never
// waits again (see SerialPortOpen and SerialPortRead).
#define SERIAL_READ_WAIT_MS 100

// Rewrites a POSIX serial name in place with its COM device name; other names stay as they are.
// `buffer` must hold at least 10 bytes (the longest device name and its NUL). The open applies it
// only where COM names are the device namespace (kComNamesAreDevices).
void MapSerialPortName(char* buffer);
// COM10 and above are reachable on NT only through the device namespace, as \\.\COM10.
bool ComNeedsDeviceNamespace(int number);
// The POSIX-style name the table leads to COM<number>, or null when none does.
const char* PosixNameForCom(int number);

// `overlapped`: the port object's open, whose reads and waits never hold up its writes (on
// Windows a synchronous handle runs one call at a time).
int32_t SerialPortOpen(JNIEnv* env, PortSlot* slot, bool overlapped);
int32_t SerialPortClose(JNIEnv* env, USBDev* dev);
// Ends the calls in progress on the port at once: a waiting read returns what it has, a blocked
// write fails with its message and code 995. For the close, which then waits for them to leave.
void SerialPortInterrupt(USBDev* dev);

int32_t SerialPortRead(JNIEnv* env, USBDev* dev, jbyteArray buffer, jint count);
// Waits up to `ms` for input without reading it: 1 when bytes (or a line error) wait, 0 when the
// time passed, -1 when the port closed meanwhile; -1 with a message when the device failed, or
// when the port was not opened for waiting.
int32_t SerialPortAwait(JNIEnv* env, USBDev* dev, DWORD ms);
int32_t SerialPortWrite(JNIEnv* env, USBDev* dev, jbyteArray buffer, jint count);

int32_t SetPortParams(JNIEnv* env, USBDev* dev, jint baud, jint dataBits, jint stopBits,
                      jint parity);
int32_t SerialPortPurge(JNIEnv* env, USBDev* dev, jboolean purgeTx, jboolean purgeRx);
int32_t SerialPortGetReadCount(JNIEnv* env, USBDev* dev);
int32_t SerialSetHWFlowControl(JNIEnv* env, USBDev* dev, jboolean on);
DWORD SerialGetModemStatus(JNIEnv* env, HANDLE hDevice);
int32_t SerialEscapeFunction(JNIEnv* env, HANDLE hDevice, DWORD code);
