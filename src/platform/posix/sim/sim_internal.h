// What the simulated provider's files share: one lock over all simulated state, the call record
// and failure injection, and the HID part's hooks into the provider. Tests use sim_provider.h and
// sim_hid.h instead.
#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "../provider.h"

namespace caldrix_sim {

std::unique_lock<std::mutex> LockSim();
std::condition_variable& SimChanged();  // notified when a call is recorded
// Caller holds the lock. Records the call; answers the error it must fail with, or 0.
DWORD RecordCall(const char* fn, const std::string& device, std::vector<uint64_t> args = {});

// Caller holds the lock.
caldrix_posix::OpenResult OpenHidLocked(const char* name, DWORD access, DWORD shareMode,
                                        DWORD flags, std::unique_ptr<caldrix_posix::Device>* out,
                                        DWORD* error);
void HidInterfacesLocked(std::vector<caldrix_posix::DeviceInterface>* out);
bool RefuseLibraryLocked(const char* name, DWORD* error);
bool ProcessStartLocked(const char* application, const char* path, const char* commandLine,
                        DWORD* error);
void ResetHidLocked();

}  // namespace caldrix_sim
