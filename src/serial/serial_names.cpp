#include <string.h>

#include "serial.h"

namespace {

struct SerialName {
    const char* given;
    const char* device;
};

// POSIX-style names a device service may pass, and the COM device each one means. There are no
// rows for ttyS2 and ttyS3.
const SerialName SerialNameTable[] = {
    {"/dev/ttyS0", "COM1:"},  {"/dev/ttyS1", "COM2:"},  {"/dev/ttyS4", "COM3:"},
    {"/dev/ttyS5", "COM4:"},  {"/dev/ttyS6", "COM5:"},  {"/dev/ttyS7", "COM6:"},
    {"/dev/ttyS8", "COM7:"},  {"/dev/ttyS9", "COM8:"},  {"/dev/ttyS10", "COM9:"},
    {"/dev/ttyS11", "COM10:"},
};

}  // namespace

void MapSerialPortName(char* buffer) {
    for (size_t row = 0; row < sizeof SerialNameTable / sizeof SerialNameTable[0]; ++row) {
        if (strcmp(buffer, SerialNameTable[row].given) != 0) continue;
        // COM10 and above are reachable on NT only through the device namespace.
        if (row == 9 && OsVersionInfo.dwPlatformId == VER_PLATFORM_WIN32_NT) {
            strcpy(buffer, "\\\\.\\COM10");
        } else {
            strcpy(buffer, SerialNameTable[row].device);
        }
        return;
    }
}
