#include "port_list.h"

#include <ctype.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

#include <algorithm>
#include <map>
#include <memory>

#include "hid/hid_search.h"
#include "ports/classify.h"
#include "serial/serial.h"

#ifndef CALDRIX_PORTS_VERSION
#define CALDRIX_PORTS_VERSION "unknown"
#endif

namespace caldrix_ports {
namespace {

const char kUsage[] = "usage: caldrix-ports [--json] [--hid-only]\n";

// The device paths of a class in the order the open walks them, skipping those it skips. False
// with *error set when the walk itself fails.
bool InterfacePaths(const GUID& cls, std::vector<std::string>* paths, std::string* error) {
    InterfaceWalk walk(cls);
    while (walk.Next()) paths->push_back(walk.Path());
    if (walk.Error() == ERROR_NO_MORE_ITEMS) return true;
    *error = std::string(walk.FailedStep()) + " error " + std::to_string(walk.Error());
    return false;
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

// A name as the library classifies it, with its match text and what it opens: the interface the
// open's own search reaches, empty when none. False when the library refuses the name.
bool Classify(const HidLibrary* hid, Name* n) {
    std::unique_ptr<PortSlot> slot(new PortSlot());
    if (n->name.size() > MAX_PORT_NAME || SetDeviceInfo(n->name.c_str(), slot.get()) != 0)
        return false;
    char match[MAX_PORT_NAME + 1];
    BuildMatchText(slot.get(), match, sizeof match);
    n->match = match;
    InterfaceWalk walk(InterfaceClass(hid, slot->dev.deviceType == DEVICE_USBPTR));
    n->opens = SeekInterface(&walk, match, slot->dev.instance) ? walk.Path() : "";
    return true;
}

// The texts of a device path that name its interface more closely than vendor and product, the
// shorter first: the hardware id between its first two '#' ("&mi_xx" and "&colNN" included), then
// that with the instance id and the '#' after it, so that "hidraw1" is not found in "hidraw10".
std::vector<std::string> PathTexts(const std::string& path) {
    std::vector<std::string> out;
    const size_t id = path.find('#');
    const size_t end = id == std::string::npos ? id : path.find('#', id + 1);
    if (end == std::string::npos) return out;
    out.push_back(path.substr(id + 1, end - id - 1));
    const size_t instanceEnd = path.find('#', end + 1);
    if (instanceEnd != std::string::npos) out.push_back(path.substr(id + 1, instanceEnd - id));
    return out;
}

// The keyword name whose match text is `text`: '&' written as '+', in upper case as the vendor and
// product names are (the match text is lower case whatever the name's case).
std::string KeywordName(bool printer, const std::string& text) {
    std::string name = printer ? "USBPTR: " : "USBHID: ";
    for (char c : text)
        name += c == '&' ? '+' : static_cast<char>(toupper(static_cast<unsigned char>(c)));
    return name;
}

// The names PortOpen takes for a device path of one class, each with what it opens. The vendor
// and product names when they open this interface; where they open another one first (another
// collection or interface of the device, or another such device), the first of the path's own
// texts that opens this one; where none does, the vendor and product names with what they open.
std::vector<Name> NamesFor(const HidLibrary* hid, const std::string& path, bool printer) {
    std::vector<Name> names;
    const int vid = HexAfter(path, "vid_");
    const int pid = HexAfter(path, "pid_");
    if (vid < 0 || pid < 0) return names;
    char text[2][VID_PID_NAME_SIZE];
    const int count = VidPidNames(static_cast<unsigned>(vid), static_cast<unsigned>(pid), printer,
                                  text);
    for (int i = 0; i < count; ++i) {
        Name n{text[i], "", ""};
        if (Classify(hid, &n)) names.push_back(n);
    }
    if (std::all_of(names.begin(), names.end(), [&](const Name& n) { return n.opens == path; }))
        return names;
    for (const std::string& own : PathTexts(path)) {
        Name n{KeywordName(printer, own), "", ""};
        if (Classify(hid, &n) && n.opens == path) return {n};
    }
    return names;
}

}  // namespace

std::vector<SerialPort> ComPorts(const std::vector<std::pair<std::string, std::string>>& rows) {
    std::map<int, SerialPort> ports;
    for (const auto& row : rows) {
        const std::string& com = row.second;
        if (com.size() < 4 || com.compare(0, 3, "COM") != 0 ||
            com.find_first_not_of("0123456789", 3) != std::string::npos || com.size() > 12) {
            continue;
        }
        const int number = atoi(com.c_str() + 3);
        SerialPort port{ComNeedsDeviceNamespace(number) ? "\\\\.\\" + com : com, {},
                        row.first};
        if (const char* posix = PosixNameForCom(number)) port.names.push_back(posix);
        ports[number] = port;
    }
    std::vector<SerialPort> out;
    for (auto& entry : ports) out.push_back(entry.second);
    return out;
}

void ListInterfaces(Listing* out) {
    const HidLibrary* hid = LoadHidLibrary();
    if (hid == nullptr) {
        // Every HID and printer open fails the same way ("HID load error").
        out->hidError = "hid.dll could not be loaded, so no HID or USB printer port opens";
        return;
    }
    std::vector<std::string> hidPaths, printerPaths;
    std::string error;
    if (!InterfacePaths(InterfaceClass(hid, false), &hidPaths, &error) ||
        !InterfacePaths(InterfaceClass(hid, true), &printerPaths, &error)) {
        out->hidError = "the interfaces could not be listed: " + error;
        return;
    }
    for (const std::string& p : hidPaths) {
        out->hid.push_back(Interface{p, NamesFor(hid, p, false)});
    }
    for (const std::string& p : printerPaths) {
        out->printers.push_back(Interface{p, NamesFor(hid, p, true)});
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
    // --hid-only leaves the serial part out, and the version with it: the interfaces alone.
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

std::string ScanJson() {
    Listing listing;
    listing.serial = ListSerialPorts();
    ListInterfaces(&listing);
    return FormatJson(listing, CALDRIX_PORTS_VERSION);
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
    ReadOsVersion();  // as the library's load does: it decides how COM10 and above are named
    if (listing.withSerial) listing.serial = ListSerialPorts();
    ListInterfaces(&listing);
    const std::string text = json ? FormatJson(listing, CALDRIX_PORTS_VERSION)
                                  : FormatText(listing, CALDRIX_PORTS_VERSION);
    fputs(text.c_str(), out);
    return fflush(out) == 0 ? 0 : 1;
}

}  // namespace caldrix_ports
