// A fake host for the hidraw and usblp providers: a sysfs and /dev tree shaped like the kernel's,
// under a temporary root that the platform's host root points at, and the far ends of its nodes.
// A node is a Unix SOCK_SEQPACKET socket: bidirectional and keeping report boundaries, as hidraw.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

using Bytes = std::vector<uint8_t>;

// Report descriptors of real devices.
extern const Bytes kBootKeyboard;     // no report IDs, no input values
extern const Bytes kBootMouse;        // no report IDs, X and Y values
extern const Bytes kPosDisplay;       // vendor page, input report 2 and output report 3, 63 bytes
extern const Bytes kTruncated;        // ends inside an item

class FakeUsbHost {
public:
    FakeUsbHost();   // a fresh tree; the host root points at it
    ~FakeUsbHost();  // the host root back at "/", the tree removed
    FakeUsbHost(const FakeUsbHost&) = delete;
    FakeUsbHost& operator=(const FakeUsbHost&) = delete;

    const std::string& root() const { return root_; }

    // A USB device on its own port with `interfaces` interfaces in its configuration.
    struct UsbDevice {
        std::string dir, port;
    };
    UsbDevice AddDevice(unsigned vid, unsigned pid, int interfaces);
    // A HID interface of `device` with the node hidraw<node>: sysfs entries only.
    void AddHidraw(const UsbDevice& device, int interface, unsigned node, const Bytes& descriptor,
                   unsigned vid, unsigned pid);
    // A printer interface of `device` with the node lp<node>: sysfs entries only.
    void AddPrinter(const UsbDevice& device, int interface, unsigned node);
    // The node's class entry goes, as when the kernel removes the device.
    void RemoveClassEntry(const std::string& cls, const std::string& node);

    // <root>/dev/<name>
    std::string Dev(const std::string& name) const { return root_ + "/dev/" + name; }
    // Writes `text` to <root>/<path> (for files a test shapes by hand).
    void WriteFile(const std::string& path, const std::string& text) const;

private:
    std::string root_;
    int ports_ = 0, hidDevices_ = 0;
};

// The far end of a device node: listens at the node's path; the provider's open connects.
class Peer {
public:
    explicit Peer(const std::string& path);
    ~Peer();
    Peer(const Peer&) = delete;
    Peer& operator=(const Peer&) = delete;

    bool Accept(int timeoutMs);  // takes the connection of an open
    bool Send(const Bytes& report);
    // One message, or false when none comes within timeoutMs.
    bool Receive(Bytes* report, int timeoutMs);
    // True once the library has closed the node, within timeoutMs; messages before are dropped.
    bool AwaitHangup(int timeoutMs);
    void Hangup();         // the device is unplugged: the connection ends
    void StopListening();  // no device behind the node any more; the socket file stays

private:
    std::string path_;
    int listener_ = -1, conn_ = -1;
};

// HANDLE-free helpers over /proc: the threads of this process, and CPU ticks (utime + stime) of
// the process or of its thread named `comm`.
int ThreadCount();
long ProcessTicks();
long ThreadTicks(const std::string& comm);
