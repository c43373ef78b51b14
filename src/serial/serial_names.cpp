// The serial names the library answers to on Windows: the POSIX-style names a device service may
// pass, the COM port each one means, and how a COM port is named so that it opens. The port
// lister shows the same names from here.
#include <stdio.h>
#include <string.h>

#include "serial.h"

namespace {

struct SerialName {
    const char* given;
    int com;
};

// There are no rows for ttyS2 and ttyS3.
const SerialName SerialNameTable[] = {
    {"/dev/ttyS0", 1},  {"/dev/ttyS1", 2},  {"/dev/ttyS4", 3}, {"/dev/ttyS5", 4},
    {"/dev/ttyS6", 5},  {"/dev/ttyS7", 6},  {"/dev/ttyS8", 7}, {"/dev/ttyS9", 8},
    {"/dev/ttyS10", 9}, {"/dev/ttyS11", 10},
};

}  // namespace

bool ComNeedsDeviceNamespace(int number) {
    return number >= 10 && OsVersionInfo.dwPlatformId == VER_PLATFORM_WIN32_NT;
}

const char* PosixNameForCom(int number) {
    for (const SerialName& row : SerialNameTable) {
        if (row.com == number) return row.given;
    }
    return nullptr;
}

void MapSerialPortName(char* buffer) {
    for (const SerialName& row : SerialNameTable) {
        if (strcmp(buffer, row.given) != 0) continue;
        // Both forms fit the 10 bytes the caller has: "\\.\COM10" and "COM10:".
        snprintf(buffer, 10, ComNeedsDeviceNamespace(row.com) ? "\\\\.\\COM%d" : "COM%d:",
                 row.com);
        return;
    }
}
