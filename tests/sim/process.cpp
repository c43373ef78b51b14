// Simulated process starts: every CreateProcessA is recorded, and may be failed, before the host
// runs anything.
#include <string>
#include <vector>

#include "core.h"
#include "sim_hid.h"

namespace caldrix_sim {

namespace {

struct ProcessKind : Kind {
    std::vector<ProcessStart> starts;

    bool ProcessStartLocked(const char* application, const char* path, const char* commandLine,
                            DWORD* error) override {
        starts.push_back(
            ProcessStart{application, path, commandLine != nullptr ? commandLine : ""});
        if (DWORD injected = RecordCall("CreateProcessA", path)) {
            *error = injected;
            return true;
        }
        return false;  // started for real, if the file is there
    }

    void ResetLocked() override { starts.clear(); }
};

ProcessKind& Processes() {
    static ProcessKind* kind = new ProcessKind;
    return *kind;
}

const KindRegistration registration(&Processes(), kProcessRank);

}  // namespace

std::vector<ProcessStart> ProcessStarts() {
    auto guard = LockSim();
    return Processes().starts;
}

}  // namespace caldrix_sim
