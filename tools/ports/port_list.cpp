#include "port_list.h"

#include <ctype.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <memory>

#include "hid/hid_internal.h"
#include "ports/classify.h"

#ifndef CALDRIX_PORTS_VERSION
#define CALDRIX_PORTS_VERSION "unknown"
#endif

namespace caldrix_ports {
namespace {

// GUID_DEVINTERFACE_USBPRINT, the class a USBPTR open searches.
const GUID kUsbPrinterClass = {0x28D78FAD, 0x5A12, 0x11D1,
                               {0xAE, 0x5B, 0x00, 0x00, 0xF8, 0x03, 0xA8, 0xC2}};
// DIGCF_PRESENT | DIGCF_ALLCLASSES | DIGCF_DEVICEINTERFACE, as the open asks.
const DWORD kClassDevsFlags = 0x16;

const char kUsage[] = "usage: caldrix-ports [--json] [--hid-only]\n";

// The device paths of a class in the order the open walks them, skipping those it skips (no
// detail to be had). False with *error set when the walk itself fails.
bool InterfacePaths(const GUID& cls, std::vector<std::string>* paths, std::string* error) {
    GUID asked = cls;
    HDEVINFO set = SetupDiGetClassDevsA(&asked, nullptr, nullptr, kClassDevsFlags);
    if (set == INVALID_HANDLE_VALUE) {
        *error = "SetupDiGetClassDevsA error " + std::to_string(GetLastError());
        return false;
    }
    bool ok = true;
    for (DWORD index = 0;; ++index) {
        SP_DEVICE_INTERFACE_DATA iface;
        memset(&iface, 0, sizeof iface);
        iface.cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        if (!SetupDiEnumDeviceInterfaces(set, nullptr, &asked, index, &iface)) {
            const DWORD code = GetLastError();
            if (code != ERROR_NO_MORE_ITEMS) {
                *error = "SetupDiEnumDeviceInterfaces error " + std::to_string(code);
                ok = false;
            }
            break;
        }
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailA(set, &iface, nullptr, 0, &required, nullptr);
        if (required <= offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_A, DevicePath) + 1) continue;
        // One zero byte past what was asked for keeps the path terminated.
        std::unique_ptr<void, decltype(&free)> room(calloc(1, required + 1), &free);
        if (!room) {
            *error = "out of memory";
            ok = false;
            break;
        }
        auto* detail = static_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_A*>(room.get());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_A);
        if (SetupDiGetDeviceInterfaceDetailA(set, &iface, detail, required, nullptr, nullptr)) {
            paths->push_back(detail->DevicePath);
        }
    }
    SetupDiDestroyDeviceInfoList(set);
    return ok;
}

// The four hex digits after `key` (case ignored) in path, or -1.
int HexAfter(const std::string& path, const char* key) {
    std::string lower(path);
    for (char& c : lower) c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    const size_t at = lower.find(key);
    if (at == std::string::npos || at + strlen(key) + 4 > lower.size()) return -1;
    int value = 0;
    for (size_t i = at + strlen(key); i < at + strlen(key) + 4; ++i) {
        const char c = lower[i];
        if (!isxdigit(static_cast<unsigned char>(c))) return -1;
        value = value * 16 + (isdigit(static_cast<unsigned char>(c)) ? c - '0' : c - 'a' + 10);
    }
    return value;
}

void AppendJsonString(std::string* out, const std::string& s) {
    *out += '"';
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            *out += '\\';
            *out += static_cast<char>(c);
        } else if (c < 0x20) {
            char esc[8];
            snprintf(esc, sizeof esc, "\\u%04x", c);
            *out += esc;
        } else {
            *out += static_cast<char>(c);
        }
    }
    *out += '"';
}

void AppendJsonOrNull(std::string* out, const std::string& s) {
    if (s.empty()) {
        *out += "null";
    } else {
        AppendJsonString(out, s);
    }
}

void TextInterfaces(std::string* out, const std::vector<Interface>& list, const char* what,
                    const std::string& version) {
    if (list.empty()) {
        *out += "caldrix " + version + " sees no " + what + ".\n";
        return;
    }
    *out += "caldrix " + version + " sees these " + what +
            "; PortOpen opens the first one whose device path contains a name's match text:\n";
    for (const Interface& i : list) {
        *out += i.path + "\n";
        if (i.names.empty()) {
            *out += "    no name opens it: its path has no vid_XXXX and pid_XXXX\n";
        }
        for (const Name& n : i.names) {
            *out += "    " + n.name + "  (matches \"" + n.match + "\"";
            if (n.opens.empty()) {
                *out += "; no path contains it, so this name opens nothing";
            } else if (n.opens != i.path) {
                *out += "; it opens " + n.opens + " first";
            }
            *out += ")\n";
        }
    }
}

void JsonInterfaces(std::string* out, const std::vector<Interface>& list) {
    *out += '[';
    for (size_t k = 0; k < list.size(); ++k) {
        const Interface& i = list[k];
        *out += k == 0 ? "{\"path\":" : ",{\"path\":";
        AppendJsonString(out, i.path);
        *out += ",\"names\":[";
        for (size_t j = 0; j < i.names.size(); ++j) {
            *out += j == 0 ? "{\"name\":" : ",{\"name\":";
            AppendJsonString(out, i.names[j].name);
            *out += ",\"match\":";
            AppendJsonString(out, i.names[j].match);
            *out += ",\"opens\":";
            AppendJsonOrNull(out, i.names[j].opens);
            *out += '}';
        }
        *out += "]}";
    }
    *out += ']';
}

}  // namespace

std::vector<Name> NamesFor(const std::string& path, bool printer,
                           const std::vector<std::string>& all) {
    std::vector<Name> names;
    const int vid = HexAfter(path, "vid_");
    const int pid = HexAfter(path, "pid_");
    if (vid < 0 || pid < 0) return names;
    char text[64];
    if (!printer) {
        snprintf(text, sizeof text, "/USB/0x%04x/0x%04x", vid, pid);
        names.push_back(Name{text, "", ""});
    }
    snprintf(text, sizeof text, "%s: VID_%04X+PID_%04X", printer ? "USBPTR" : "USBHID", vid, pid);
    names.push_back(Name{text, "", ""});
    // The library's own classification and match text, so what is printed is what it does.
    std::unique_ptr<PortSlot> slot(new PortSlot());
    for (Name& n : names) {
        *slot = PortSlot();
        if (SetDeviceInfo(n.name.c_str(), slot.get()) != 0) continue;
        char match[MAX_PORT_NAME + 1];
        BuildMatchText(slot.get(), match, sizeof match);
        n.match = match;
        for (const std::string& candidate : all) {
            if (strstr(candidate.c_str(), match) != nullptr) {
                n.opens = candidate;
                break;
            }
        }
    }
    return names;
}

void ListInterfaces(Listing* out) {
    const HidLibrary* hid = LoadHidLibrary();
    if (hid == nullptr) {
        // Every HID and printer open fails the same way ("HID load error").
        out->hidError = "hid.dll could not be loaded, so no HID or USB printer port opens";
        return;
    }
    GUID hidClass;
    hid->GetHidGuid(&hidClass);
    std::vector<std::string> hidPaths, printerPaths;
    std::string error;
    if (!InterfacePaths(hidClass, &hidPaths, &error) ||
        !InterfacePaths(kUsbPrinterClass, &printerPaths, &error)) {
        out->hidError = "the interfaces could not be listed: " + error;
        return;
    }
    for (const std::string& p : hidPaths) {
        out->hid.push_back(Interface{p, NamesFor(p, false, hidPaths)});
    }
    for (const std::string& p : printerPaths) {
        out->printers.push_back(Interface{p, NamesFor(p, true, printerPaths)});
    }
}

std::string FormatText(const Listing& listing, const std::string& version) {
    std::string out;
    if (listing.withSerial) {
        if (listing.serial.empty()) {
            out += "caldrix " + version + " sees no serial ports.\n";
        } else {
            out += "caldrix " + version +
                   " sees these serial ports; PortOpen takes any name listed for a port:\n";
            for (const SerialPort& p : listing.serial) {
                out += p.device + (p.detail.empty() ? "" : "  (" + p.detail + ")") + "\n";
                for (const std::string& n : p.names) out += "    " + n + "\n";
            }
        }
    }
    if (!listing.hidError.empty()) {
        out += "caldrix " + version + " cannot list HID interfaces or USB printers: " +
               listing.hidError + ".\n";
        return out;
    }
    TextInterfaces(&out, listing.hid, "HID interfaces", version);
    TextInterfaces(&out, listing.printers, "USB printer interfaces", version);
    return out;
}

std::string FormatJson(const Listing& listing, const std::string& version) {
    std::string out = "{";
    // Without the serial part the members are those the Java lister adds to its own object.
    if (listing.withSerial) {
        out += "\"version\":";
        AppendJsonString(&out, version);
        out += ",\"serial\":[";
        for (size_t k = 0; k < listing.serial.size(); ++k) {
            const SerialPort& p = listing.serial[k];
            out += k == 0 ? "{\"device\":" : ",{\"device\":";
            AppendJsonString(&out, p.device);
            out += ",\"names\":[";
            AppendJsonString(&out, p.device);
            for (const std::string& n : p.names) {
                out += ',';
                AppendJsonString(&out, n);
            }
            out += "],\"detail\":";
            AppendJsonOrNull(&out, p.detail);
            out += '}';
        }
        out += "],";
    }
    out += "\"hid\":";
    JsonInterfaces(&out, listing.hid);
    out += ",\"printers\":";
    JsonInterfaces(&out, listing.printers);
    out += ",\"hidError\":";
    AppendJsonOrNull(&out, listing.hidError);
    out += "}\n";
    return out;
}

int Run(int argc, const char* const* argv, FILE* out, FILE* err) {
    bool json = false;
    Listing listing;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--json") {
            json = true;
        } else if (a == "--hid-only") {
            listing.withSerial = false;
        } else if (a == "--help" || a == "-h") {
            fputs(kUsage, out);
            return 0;
        } else {
            fprintf(err, "caldrix-ports: unknown argument \"%s\"\n%s", argv[i], kUsage);
            return 2;
        }
    }
    if (listing.withSerial) listing.serial = ListSerialPorts();
    ListInterfaces(&listing);
    const std::string text = json ? FormatJson(listing, CALDRIX_PORTS_VERSION)
                                  : FormatText(listing, CALDRIX_PORTS_VERSION);
    fputs(text.c_str(), out);
    return fflush(out) == 0 ? 0 : 1;
}

}  // namespace caldrix_ports
