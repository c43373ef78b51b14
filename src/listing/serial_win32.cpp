// Serial ports on Windows: the rows of the SERIALCOMM registry map, named by ComPorts.
#include <string>
#include <utility>
#include <vector>

#include "platform/win32.h"
#include "port_list.h"

namespace caldrix_ports {

std::vector<SerialPort> ListSerialPorts(const std::string&, const std::string&) {
    std::vector<std::pair<std::string, std::string>> rows;
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
        rows.emplace_back(value, reinterpret_cast<char*>(data));
    }
    RegCloseKey(key);
    return ComPorts(rows);
}

}  // namespace caldrix_ports
