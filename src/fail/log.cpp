#include "log.h"

#include <stdarg.h>
#include <stdio.h>
#include <string.h>

#include <atomic>

namespace {

enum Target { kStdout, kStderr, kOff };
std::atomic<int> g_target{kStdout};

}  // namespace

void LogLine(const char* format, ...) {
    const int target = g_target.load(std::memory_order_relaxed);
    if (target == kOff) return;
    FILE* out = target == kStderr ? stderr : stdout;
    va_list args;
    va_start(args, format);
    vfprintf(out, format, args);
    va_end(args);
    fflush(out);
}

bool SetLogTarget(const char* setting) {
    if (setting == nullptr) return false;
    const char* const names[] = {"stdout", "stderr", "off"};
    for (int t = kStdout; t <= kOff; ++t) {
        if (strcmp(setting, names[t]) == 0) {
            g_target.store(t, std::memory_order_relaxed);
            return true;
        }
    }
    return false;
}
