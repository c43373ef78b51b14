// The simulated network adapters: the list NetBIOS sees, and every Netbios command recorded so
// that any of them can be failed with a chosen return code.
#include <string>
#include <vector>

#include "core.h"
#include "sim_provider.h"

namespace caldrix_sim {

using caldrix_posix::Adapter;

namespace {

struct AdapterKind : Kind {
    bool adaptersSet = false;
    std::vector<Adapter> adapters;

    bool NetbiosCommandLocked(UCHAR command, UCHAR lana, UCHAR* retcode) override {
        if (DWORD injected = RecordCall("Netbios", std::string(), {command, lana})) {
            *retcode = static_cast<UCHAR>(injected);
            return true;
        }
        return false;
    }

    bool AdaptersLocked(std::vector<Adapter>* out) override {
        if (!adaptersSet) return false;
        *out = adapters;
        return true;
    }

    void ResetLocked() override {
        adaptersSet = false;
        adapters.clear();
    }
};

AdapterKind& Adapters() {
    static AdapterKind* kind = new AdapterKind;
    return *kind;
}

const KindRegistration registration(&Adapters(), kAdapterRank);

}  // namespace

void SetAdapters(const std::vector<Adapter>& adapters) {
    auto guard = LockSim();
    Adapters().adaptersSet = true;
    Adapters().adapters = adapters;
}

}  // namespace caldrix_sim
