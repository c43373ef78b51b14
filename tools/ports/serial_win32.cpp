// Serial ports on Windows: the COM ports of the SERIALCOMM registry map, each with the
// POSIX-style name PortOpen translates to it.
#include <stdlib.h>
#include <string.h>

#include <map>

#include "platform/win32.h"
#include "port_list.h"

namespace caldrix_ports {

std::vector<SerialPort> ListSerialPorts(const std::string&, const std::string&) {
    static const char* const kPosixNames[][2] = {
        {"COM1", "/dev/ttyS0"}, {"COM2", "/dev/ttyS1"}, {"COM3", "/dev/ttyS4"},
        {"COM4", "/dev/ttyS5"}, {"COM5", "/dev/ttyS6"}, {"COM6", "/dev/ttyS7"},
        {"COM7", "/dev/ttyS8"}, {"COM8", "/dev/ttyS9"}, {"COM9", "/dev/ttyS10"},
        {"COM10", "/dev/ttyS11"},
    };
    std::map<int, SerialPort> ports;
    HKEY key;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "HARDWARE\\DEVICEMAP\\SERIALCOMM", 0, KEY_READ, &key) !=
        ERROR_SUCCESS) {
        return {};
    }
    for (DWORD index = 0;; ++index) {
        char value[256];
        BYTE data[256];
        DWORD valueSize = sizeof value, dataSize = sizeof data - 1, type = 0;
        const LONG rc =
            RegEnumValueA(key, index, value, &valueSize, nullptr, &type, data, &dataSize);
        if (rc == ERROR_NO_MORE_ITEMS) break;
        if (rc != ERROR_SUCCESS || type != REG_SZ) continue;
        data[dataSize] = '\0';
        const std::string com(reinterpret_cast<char*>(data));
        if (com.compare(0, 3, "COM") != 0) continue;
        const int number = atoi(com.c_str() + 3);
        // COM10 and above are reachable only through the device namespace.
        SerialPort port{number >= 10 ? "\\\\.\\" + com : com, {}, value};
        for (const auto& alias : kPosixNames) {
            if (com == alias[0]) port.names.push_back(alias[1]);
        }
        ports[number] = port;
    }
    RegCloseKey(key);
    std::vector<SerialPort> out;
    for (auto& entry : ports) out.push_back(entry.second);
    return out;
}

}  // namespace caldrix_ports
