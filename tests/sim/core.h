// The core of the simulated provider, shared by its device kinds: one lock over all simulated
// state, the call record with failure injection, and the registry of kinds. Each kind (serial,
// HID, adapters, process starts) lives in a file of its own and registers itself here; the core
// knows none of them. Tests use sim_provider.h and sim_hid.h instead.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/provider.h"

namespace caldrix_sim {

std::unique_lock<std::mutex> LockSim();
std::condition_variable& SimChanged();  // notified when a call is recorded
// Caller holds the lock. Records the call; answers the error it must fail with, or 0.
DWORD RecordCall(const char* fn, const std::string& device, std::vector<uint64_t> args = {});

// One kind of simulated device. The core asks the kinds in rank order, holding the lock, once it
// has recorded the call; the defaults pass the question on.
struct Kind {
    virtual caldrix_posix::OpenResult OpenLocked(const char* name, DWORD access, DWORD shareMode,
                                                 DWORD flags,
                                                 std::unique_ptr<caldrix_posix::Device>* out,
                                                 DWORD* error) {
        (void)name, (void)access, (void)shareMode, (void)flags, (void)out, (void)error;
        return caldrix_posix::OpenResult::NotMine;
    }
    virtual void InterfacesLocked(std::vector<caldrix_posix::DeviceInterface>* out) { (void)out; }
    virtual bool AdaptersLocked(std::vector<caldrix_posix::Adapter>* out) {
        (void)out;
        return false;
    }
    virtual bool NetbiosCommandLocked(UCHAR command, UCHAR lana, UCHAR* retcode) {
        (void)command, (void)lana, (void)retcode;
        return false;
    }
    virtual bool RefuseLibraryLocked(const char* name, DWORD* error) {
        (void)name, (void)error;
        return false;
    }
    virtual bool ProcessStartLocked(const char* application, const char* path,
                                    const char* commandLine, DWORD* error) {
        (void)application, (void)path, (void)commandLine, (void)error;
        return false;
    }
    // Forgets the kind's devices and settings (Reset).
    virtual void ResetLocked() = 0;

protected:
    ~Kind() = default;
};

// Kinds register once, during static initialisation; a lower rank is asked first, so serial
// names are matched before HID paths whatever order the files are linked in.
enum KindRank { kSerialRank, kHidRank, kAdapterRank, kProcessRank };
struct KindRegistration {
    KindRegistration(Kind* kind, KindRank rank);
};

}  // namespace caldrix_sim
