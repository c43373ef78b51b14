#include "unit_support.h"

#include <mutex>

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD, LPVOID);

void LoadLibraryOnce() {
    static std::once_flag once;
    std::call_once(once, [] { DllMain(nullptr, DLL_PROCESS_ATTACH, nullptr); });
}

void ResetPortTable() {
    for (int i = 1; i < PORT_TABLE_SIZE; ++i) {
        PortSlot* slot = &PortTable[i];
        if (slot->kind == PORT_KIND_FREE) continue;
        if (slot->kind == PORT_KIND_SERIAL && slot->dev.hDevice != nullptr &&
            slot->dev.hDevice != INVALID_HANDLE_VALUE) {
            CloseHandle(slot->dev.hDevice);
        }
        FreePortSlot(slot);
    }
}

uint32_t DcbFlags(const DCB& dcb) {
    uint32_t flags;
    std::memcpy(&flags, reinterpret_cast<const char*>(&dcb) + 2 * sizeof(DWORD), sizeof flags);
    return flags;
}

void LibraryTest::SetUp() {
    LoadLibraryOnce();
    SimulatedPlatformTest::SetUp();
    ResetPortTable();
}

void LibraryTest::TearDown() {
    ResetPortTable();
    EXPECT_EQ(jni.OutstandingStrings(), 0) << "string characters not given back";
    EXPECT_EQ(jni.OutstandingElements(), 0) << "array elements not given back";
    SimulatedPlatformTest::TearDown();
}

jint LibraryTest::OpenSerial(const std::string& name, sim::SerialDevice** device) {
    sim::SerialDevice& dev = sim::AddSerial(name);
    if (device) *device = &dev;
    jint handle = Open(name);
    sim::ClearCalls();
    return handle;
}
