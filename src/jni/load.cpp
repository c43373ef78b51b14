// The library's load: the port table, then what the backends share, before any native runs; and
// where the log lines go.
#include <stdlib.h>

#include "../fail/holders.h"
#include "../fail/log.h"
#include "../hid/hid.h"
#include "../ports/port_table.h"
#include "natives.h"

#ifndef _WIN32
// Defined only when a VM is in the process (its launcher makes libjvm's symbols global).
extern "C" jint JNICALL JNI_GetCreatedJavaVMs(JavaVM**, jsize, jsize*) __attribute__((weak));
#endif

namespace {

const char kLoadLine[] = " caldrix: on_library_load: \n";
// Set when a VM loads the library: JNI_OnLoad follows at once and prints the load line after it
// has read caldrix.log, so that the property can send that line elsewhere too.
bool g_loadLineOwed = false;

bool LoadedByVm() {
#ifdef _WIN32
    return GetModuleHandleA("jvm.dll") != nullptr;
#else
    return JNI_GetCreatedJavaVMs != nullptr;
#endif
}

// System.getProperty("caldrix.log") as a log setting; any failure leaves the setting alone.
void ReadLogProperty(JNIEnv* env) {
    jclass system = env->FindClass("java/lang/System");
    jmethodID get = system == nullptr ? nullptr
                                      : env->GetStaticMethodID(system, "getProperty",
                                                               "(Ljava/lang/String;)Ljava/lang/String;");
    jstring key = get == nullptr ? nullptr : env->NewStringUTF("caldrix.log");
    jstring value = key == nullptr ? nullptr
                                   : static_cast<jstring>(
                                         env->CallStaticObjectMethod(system, get, key));
    if (env->ExceptionCheck()) {
        env->ExceptionClear();
        return;
    }
    if (value == nullptr) return;
    ScopedUtfChars chars(env, value);
    SetLogTarget(chars.get());
}

}  // namespace

void on_library_load(void) {
    InitPortTable();
    InitPacketPool();
    SetLogTarget(getenv("CALDRIX_LOG"));
    if (LoadedByVm()) {
        g_loadLineOwed = true;
    } else {
        LogLine("%s", kLoadLine);
    }
}

extern "C" JNIEXPORT jint JNICALL JNI_OnLoad(JavaVM* vm, void*) {
    JNIEnv* env = nullptr;
    if (vm->GetEnv(reinterpret_cast<void**>(&env), JNI_VERSION_1_2) == JNI_OK) {
        ReadLogProperty(env);
    }
    if (g_loadLineOwed) {
        g_loadLineOwed = false;
        LogLine("%s", kLoadLine);
    }
    return JNI_VERSION_1_2;
}

extern "C" BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID) {
    if (reason == DLL_PROCESS_ATTACH) {
        ReadOsVersion();
        on_library_load();
    }
    return TRUE;
}
