// SetupAPI, the HID class library and process and module calls of the POSIX subset (setupapi.h,
// hidsdi.h, hidpi.h, processthreadsapi.h, libloaderapi.h), with the Windows SDK's names, types and
// layouts. Included by win32_posix.h.
#pragma once

#include <stddef.h>
#include <stdint.h>

// ---- GUIDs --------------------------------------------------------------------------------------
typedef struct _GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
} GUID, *LPGUID;
typedef const GUID* LPCGUID;

// ---- SetupAPI -----------------------------------------------------------------------------------
typedef void* HWND;
typedef void* HDEVINFO;
typedef const char* PCSTR;
typedef DWORD* PDWORD;

#define DIGCF_DEFAULT 0x00000001u
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_PROFILE 0x00000008u
#define DIGCF_DEVICEINTERFACE 0x00000010u
#define SPINT_ACTIVE 0x00000001u
#define ANYSIZE_ARRAY 1
#define ERROR_INVALID_USER_BUFFER 1784u
#define ERROR_MOD_NOT_FOUND 126u
#define ERROR_PROC_NOT_FOUND 127u

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_A {
    DWORD cbSize;
    CHAR DevicePath[ANYSIZE_ARRAY];
} SP_DEVICE_INTERFACE_DETAIL_DATA_A, *PSP_DEVICE_INTERFACE_DETAIL_DATA_A;

// The interfaces the providers list; with DIGCF_ALLCLASSES every class, else those of `cls`.
HDEVINFO SetupDiGetClassDevsA(const GUID* cls, PCSTR enumerator, HWND parent, DWORD flags);
// The index-th interface of class `cls` in the set; ERROR_NO_MORE_ITEMS past the last.
// data->cbSize must be sizeof(SP_DEVICE_INTERFACE_DATA), as Windows checks.
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO set, PSP_DEVINFO_DATA device, const GUID* cls,
                                 DWORD index, PSP_DEVICE_INTERFACE_DATA data);
// The interface's device path. Without room for it: ERROR_INSUFFICIENT_BUFFER and the size
// needed in *required; detail->cbSize must be sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A).
BOOL SetupDiGetDeviceInterfaceDetailA(HDEVINFO set, PSP_DEVICE_INTERFACE_DATA data,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_A detail, DWORD size,
                                      PDWORD required, PSP_DEVINFO_DATA device);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO set);

// ---- HID class library --------------------------------------------------------------------------
typedef LONG NTSTATUS;
typedef USHORT USAGE;
typedef USHORT* PUSHORT;
typedef UCHAR BOOLEAN;
typedef struct _HIDP_PREPARSED_DATA* PHIDP_PREPARSED_DATA;

typedef enum _HIDP_REPORT_TYPE { HidP_Input, HidP_Output, HidP_Feature } HIDP_REPORT_TYPE;

#define HIDP_STATUS_SUCCESS ((NTSTATUS)0x00110000)
#define HIDP_STATUS_INVALID_PREPARSED_DATA ((NTSTATUS)0xC0110001)
#define HIDP_STATUS_INVALID_REPORT_TYPE ((NTSTATUS)0xC0110002)
#define HIDP_STATUS_USAGE_NOT_FOUND ((NTSTATUS)0xC0110004)
#define HIDP_STATUS_BUFFER_TOO_SMALL ((NTSTATUS)0xC0110007)

typedef struct _HIDP_VALUE_CAPS {
    USAGE UsagePage;
    UCHAR ReportID;
    BOOLEAN IsAlias;
    USHORT BitField;
    USHORT LinkCollection;
    USAGE LinkUsage;
    USAGE LinkUsagePage;
    BOOLEAN IsRange;
    BOOLEAN IsStringRange;
    BOOLEAN IsDesignatorRange;
    BOOLEAN IsAbsolute;
    BOOLEAN HasNull;
    UCHAR Reserved;
    USHORT BitSize;
    USHORT ReportCount;
    USHORT Reserved2[5];
    ULONG UnitsExp;
    ULONG Units;
    LONG LogicalMin, LogicalMax;
    LONG PhysicalMin, PhysicalMax;
    union {
        struct {
            USAGE UsageMin, UsageMax;
            USHORT StringMin, StringMax;
            USHORT DesignatorMin, DesignatorMax;
            USHORT DataIndexMin, DataIndexMax;
        } Range;
        struct {
            USAGE Usage, Reserved1;
            USHORT StringIndex, Reserved2;
            USHORT DesignatorIndex, Reserved3;
            USHORT DataIndex, Reserved4;
        } NotRange;
    };
} HIDP_VALUE_CAPS, *PHIDP_VALUE_CAPS;

void HidD_GetHidGuid(LPGUID guid);
// The device's parsed report descriptor; FALSE for a handle that is no HID device.
BOOLEAN HidD_GetPreparsedData(HANDLE device, PHIDP_PREPARSED_DATA* data);
BOOLEAN HidD_FreePreparsedData(PHIDP_PREPARSED_DATA data);
// The value capabilities of one report type, in descriptor order, filtered by usage page, link
// collection and usage (0: any). *length: room on entry; on return the number that match, of which
// as many as there was room for are given (HIDP_STATUS_BUFFER_TOO_SMALL when that is fewer).
NTSTATUS HidP_GetSpecificValueCaps(HIDP_REPORT_TYPE type, USAGE usagePage, USHORT linkCollection,
                                   USAGE usage, PHIDP_VALUE_CAPS caps, PUSHORT length,
                                   PHIDP_PREPARSED_DATA data);

// ---- modules ------------------------------------------------------------------------------------
typedef void (*FARPROC)(void);
// "hid.dll" (any letter case) is this subset's own HID class library; nothing else loads.
HMODULE LoadLibraryA(LPCSTR name);
FARPROC GetProcAddress(HMODULE module, LPCSTR name);
BOOL FreeLibrary(HMODULE module);

// ---- processes ----------------------------------------------------------------------------------
typedef struct _STARTUPINFOA {
    DWORD cb;
    LPSTR lpReserved;
    LPSTR lpDesktop;
    LPSTR lpTitle;
    DWORD dwX, dwY, dwXSize, dwYSize, dwXCountChars, dwYCountChars, dwFillAttribute, dwFlags;
    WORD wShowWindow, cbReserved2;
    BYTE* lpReserved2;
    HANDLE hStdInput, hStdOutput, hStdError;
} STARTUPINFOA, *LPSTARTUPINFOA;

typedef struct _PROCESS_INFORMATION {
    HANDLE hProcess;
    HANDLE hThread;
    DWORD dwProcessId;
    DWORD dwThreadId;
} PROCESS_INFORMATION, *LPPROCESS_INFORMATION;

// Starts `application` (a Windows path: backslashes are separators, and a path without a drive
// names a file under the host root) with argv split from `commandLine` as Windows programs split
// it. No search along PATH. hProcess is waitable until the program ends; the library reaps it, so
// no zombie is left whether or not anybody waits.
BOOL CreateProcessA(LPCSTR application, LPSTR commandLine, LPSECURITY_ATTRIBUTES processAttributes,
                    LPSECURITY_ATTRIBUTES threadAttributes, BOOL inheritHandles, DWORD flags,
                    LPVOID environment, LPCSTR currentDirectory, LPSTARTUPINFOA startup,
                    LPPROCESS_INFORMATION info);
