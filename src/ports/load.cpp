#include <stdio.h>
#include <string.h>

#include "port_table.h"

void on_library_load(void) {
    for (int i = 0; i < PORT_TABLE_SIZE; ++i) {
        memset(PortTable[i].name, 0, sizeof PortTable[i].name);
        PortTable[i].kind = PORT_KIND_FREE;
    }
    // Slot 0 is never handed out, so handles run from 1.
    PortTable[0].kind = PORT_KIND_SERIAL;
    InitPortUse();
    InitPacketPool();
    printf(" caldrix: on_library_load: \n");
    fflush(stdout);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        OsVersionInfo.dwOSVersionInfoSize = sizeof(OSVERSIONINFOA);
        GetVersionExA(&OsVersionInfo);
        on_library_load();
    }
    return TRUE;
}
