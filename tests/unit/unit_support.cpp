#include "unit_support.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "platform/posix/provider.h"

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

std::string LayOutMonitorHost(const char* prefix) {
    std::string dir = std::string("/tmp/") + prefix + "-XXXXXX";
    if (mkdtemp(&dir[0]) == nullptr) {
        ADD_FAILURE() << "mkdtemp: " << strerror(errno);
        return std::string();
    }
    const std::string folder = dir + "/Calbrest/Sentivo";
    EXPECT_EQ(system(("mkdir -p " + folder).c_str()), 0);
    EXPECT_EQ(symlink(CALDRIX_STANDIN_PATH, (folder + "/Sentivo.exe").c_str()), 0);
    setenv("SENTIVO_STANDIN_LOG", (dir + "/standin.log").c_str(), 1);
    caldrix_posix::SetHostRoot(dir);
    return dir;
}

long VoluntarySwitches(long tid, char* state) {
    const std::string path = "/proc/self/task/" + std::to_string(tid) + "/status";
    FILE* f = fopen(path.c_str(), "r");
    long n = -1;
    char line[256];
    while (f != nullptr && fgets(line, sizeof line, f) != nullptr) {
        if (state != nullptr) sscanf(line, "State: %c", state);
        sscanf(line, "voluntary_ctxt_switches: %ld", &n);
    }
    if (f != nullptr) fclose(f);
    return n;
}

bool AwaitAsleep(long tid) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    char state = '?';
    while (VoluntarySwitches(tid, &state), state != 'S') {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::yield();
    }
    return true;
}
