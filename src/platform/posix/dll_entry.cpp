// The shared library's load hook on POSIX: the loader runs this once when the library is
// mapped, as Windows calls DllMain with DLL_PROCESS_ATTACH. Nothing is done at unload.
//
// This object is linked after the library's others, so the loader runs it after their static
// initialisers and DllMain finds them set up.
#include "../win32.h"

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved);

namespace {

__attribute__((constructor)) void AttachProcess() {
    // A library loaded at run time (as a VM loads it) gets no reserved pointer on Windows.
    DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr);
}

}  // namespace
