// The library's load: the port table, then what the backends share, before any native runs.
#include <stdio.h>

#include "../hid/hid.h"
#include "../ports/port_table.h"
#include "natives.h"

void on_library_load(void) {
    InitPortTable();
    InitPacketPool();
    printf(" caldrix: on_library_load: \n");
    fflush(stdout);
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        ReadOsVersion();
        on_library_load();
    }
    return TRUE;
}
