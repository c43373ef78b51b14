// GetVersionExA: the version record of the Windows this subset stands for.
#include <string.h>

#include "win32_posix.h"

BOOL GetVersionExA(LPOSVERSIONINFOA info) {
    if (info == nullptr) {
        SetLastError(ERROR_NOACCESS);
        return FALSE;
    }
    // OSVERSIONINFOA, or OSVERSIONINFOEXA with its eight extra bytes.
    const DWORD size = info->dwOSVersionInfoSize;
    if (size != sizeof(OSVERSIONINFOA) && size != sizeof(OSVERSIONINFOA) + 8) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    memset(reinterpret_cast<char*>(info) + sizeof(DWORD), 0, size - sizeof(DWORD));
    info->dwMajorVersion = 6;
    info->dwMinorVersion = 1;
    info->dwBuildNumber = 7601;
    info->dwPlatformId = VER_PLATFORM_WIN32_NT;
    strcpy(info->szCSDVersion, "Service Pack 1");
    if (size > sizeof(OSVERSIONINFOA)) {
        // wServicePackMajor = 1, the rest 0 but wProductType = VER_NT_WORKSTATION.
        unsigned char* ex = reinterpret_cast<unsigned char*>(info) + sizeof(OSVERSIONINFOA);
        const WORD servicePack = 1;
        memcpy(ex, &servicePack, sizeof servicePack);
        ex[6] = 1;
    }
    return TRUE;
}
