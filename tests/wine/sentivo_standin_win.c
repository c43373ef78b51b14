/* A stand-in for the sensor-monitor program under Wine, for tests. Installed at
 * C:\Calbrest\Sentivo\Sentivo.exe, it records its command line, opens (or makes) the manual-reset
 * event of its device ("Sentivo" and its argument without the slash), and records how long after
 * its start the event was set, in standin.log beside itself:
 *
 *     args Sentivo.exe /AIO
 *     opened SentivoAIO
 *     set after 1003 ms          (or: not set)
 */
#include <stdio.h>
#include <string.h>
#include <windows.h>

int main(int argc, char** argv) {
    char log_path[MAX_PATH];
    DWORD n = GetModuleFileNameA(NULL, log_path, MAX_PATH);
    if (n == 0 || n >= MAX_PATH) return 2;
    char* slash = strrchr(log_path, '\\');
    if (slash == NULL || (size_t)(slash - log_path) + 13 >= MAX_PATH) return 2;
    strcpy(slash + 1, "standin.log");
    FILE* log = fopen(log_path, "a");
    if (log == NULL) return 2;
    fprintf(log, "args %s\n", GetCommandLineA());
    fflush(log);
    if (argc < 2) return 2;

    char name[64];
    snprintf(name, sizeof name, "Sentivo%s", argv[1][0] == '/' ? argv[1] + 1 : argv[1]);
    const DWORD start = GetTickCount();
    HANDLE ev = CreateEventA(NULL, TRUE, FALSE, name);
    if (ev == NULL) {
        fprintf(log, "open %s failed %lu\n", name, (unsigned long)GetLastError());
        fclose(log);
        return 2;
    }
    fprintf(log, "opened %s\n", name);
    fflush(log);
    const DWORD r = WaitForSingleObject(ev, 5000);
    if (r == WAIT_OBJECT_0) {
        fprintf(log, "set after %lu ms\n", (unsigned long)(GetTickCount() - start));
    } else {
        fprintf(log, "not set\n");
    }
    CloseHandle(ev);
    fclose(log);
    return r == WAIT_OBJECT_0 ? 0 : 1;
}
