// Starting the sensor monitor that watches the all-in-one unit and the two displays, and
// signalling it through its named event about a second later.
#include <stdio.h>
#include <string.h>

#include "hid_internal.h"

namespace {

// No drive letter: the program under the root of the current drive. Naming it as the
// application keeps the search path out of it.
const char kMonitorPath[] = "\\Calbrest\\Sentivo\\Sentivo.exe";
const DWORD kSignalDelayMs = 1000;

}  // namespace

void LaunchSensorMonitor(DeviceType type) {
    const char* argument;
    const char* eventName;
    switch (type) {
    case DEVICE_USBAIO:
        argument = "/AIO";
        eventName = "SentivoAIO";
        break;
    case DEVICE_USBLCD1:
        argument = "/LCD1";
        eventName = "SentivoLCD1";
        break;
    case DEVICE_USBLCD2:
        argument = "/LCD2";
        eventName = "SentivoLCD2";
        break;
    default:
        return;
    }
    // CreateProcessA may write to the command line, so it lives in a buffer of our own.
    char commandLine[32];
    snprintf(commandLine, sizeof commandLine, "Sentivo.exe %s", argument);

    STARTUPINFOA startup;
    memset(&startup, 0, sizeof startup);
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process;
    memset(&process, 0, sizeof process);
    // A missing program or a failed start goes unnoticed; the monitor is not ours to watch.
    if (CreateProcessA(kMonitorPath, commandLine, nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                       &startup, &process)) {
        CloseHandle(process.hThread);
        CloseHandle(process.hProcess);
    }

    // Opens the event if the monitor has made it already.
    HANDLE event = CreateEventA(nullptr, TRUE, FALSE, eventName);
    Sleep(kSignalDelayMs);
    if (event != nullptr) {
        SetEvent(event);
        CloseHandle(event);
    }
}
