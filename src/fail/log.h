// The library's log lines (" USBPortOpen ", " caldrix: on_library_load: ", ...): standard output
// by default, as they always were. A native printf escapes System.setOut and every logging
// framework, so where they go is a setting: "stdout", "stderr" or "off", from the environment
// variable CALDRIX_LOG when the library loads, or from the system property caldrix.log when a VM
// loads it (the property wins).
#pragma once

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
void LogLine(const char* format, ...);

// Sends later lines where `setting` says; false, with nothing changed, for a null or unknown one.
bool SetLogTarget(const char* setting);
