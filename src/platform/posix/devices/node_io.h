// Device nodes behind file handles (hidraw, usblp): overlapped transfers that one I/O thread per
// process finishes. The thread waits in epoll on every node that has a transfer pending and on
// nothing else, so an idle port costs no processor time and no call gets a thread of its own.
#pragma once

#include <bitset>
#include <memory>

#include "../provider.h"

namespace caldrix_posix {

struct NodeIo;

class NodeDevice : public Device {
public:
    // Takes `fd`, opened non-blocking. `bridge`: the node is a socket that keeps message
    // boundaries (a user-space device bridge or a test peer); a read of 0 bytes from it means the
    // far end has gone, where a device node would have reported an error. `access` is what the
    // handle was opened for: transfers it does not allow are refused as Windows refuses them.
    NodeDevice(int fd, bool bridge, DWORD access);
    ~NodeDevice() override;

    // False with *error when the I/O thread cannot be had (the device is then unusable).
    bool Ready(DWORD* error) const;

    BOOL Read(void* buf, DWORD n, DWORD* got, DWORD* error) override;
    BOOL Write(const void* buf, DWORD n, DWORD* done, DWORD* error) override;
    BOOL StartRead(void* buf, DWORD n, IoCompletion* done, DWORD* error) override;
    BOOL StartWrite(const void* buf, DWORD n, IoCompletion* done, DWORD* error) override;
    void Cancel(IoCompletion* which) override;
    BOOL Close(DWORD* error) override;

protected:
    int fd() const;
    // Reads place the node's bytes after this many zero bytes: hidraw gives the reports of a
    // device without report IDs without the ID byte that Windows puts first. Set before any
    // transfer starts.
    void SetReadPrefix(DWORD zeros);
    // Reads complete only with reports whose first byte (as the node gives it) is set in
    // `accepted`; others are dropped. hidraw gives every open handle a copy of every report, and
    // a handle on one top-level collection takes that collection's reports only. Set before any
    // transfer starts.
    void SetReportFilter(const std::bitset<256>& accepted);
    // Writes move every byte, over several system calls if the node takes them in parts (a
    // printer's stream); a report node takes a write whole or not at all.
    void SetStream(bool stream);

private:
    std::shared_ptr<NodeIo> io_;
};

}  // namespace caldrix_posix
