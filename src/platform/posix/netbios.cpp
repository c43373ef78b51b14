// Netbios enumeration, reset and adapter status over the adapters a provider lists: the
// simulated ones in tests, otherwise the host's network interfaces (devices/network.cpp).
#include <string.h>

#include <new>
#include <vector>

#include "handles.h"
#include "provider.h"

namespace caldrix_posix {
namespace {

constexpr size_t kMaxAdapters = MAX_LANA + 1;  // what LANA_ENUM can list

std::vector<Adapter> CurrentAdapters() {
    std::vector<Adapter> adapters;
    bool listed = false;
    for (DeviceProvider* provider : RegisteredProviders()) {
        if ((listed = provider->Adapters(&adapters))) break;
        adapters.clear();
    }
    if (!listed) NetworkProvider().Adapters(&adapters);
    if (adapters.size() > kMaxAdapters) adapters.resize(kMaxAdapters);
    return adapters;
}

// "*" padded with zeros or blanks: the local adapter itself.
bool IsLocalName(const UCHAR* name) {
    if (name[0] != '*') return false;
    for (int i = 1; i < NCBNAMSZ; ++i) {
        if (name[i] != 0 && name[i] != ' ') return false;
    }
    return true;
}

UCHAR Run(NCB* ncb) {
    for (ProviderHooks* hooks : RegisteredHooks()) {
        UCHAR retcode = NRC_GOODRET;
        if (hooks->NetbiosCommand(ncb->ncb_command, ncb->ncb_lana_num, &retcode)) {
            return retcode;
        }
    }
    const UCHAR command = ncb->ncb_command & static_cast<UCHAR>(~ASYNCH);
    if (command != NCBENUM && command != NCBRESET && command != NCBASTAT) return NRC_ILLCMD;

    const std::vector<Adapter> adapters = CurrentAdapters();
    if (command == NCBENUM) {
        if (ncb->ncb_buffer == nullptr || ncb->ncb_length < 1 + adapters.size()) {
            return NRC_BUFLEN;
        }
        ncb->ncb_buffer[0] = static_cast<UCHAR>(adapters.size());
        for (size_t i = 0; i < adapters.size(); ++i) {
            ncb->ncb_buffer[1 + i] = static_cast<UCHAR>(i);
        }
        return NRC_GOODRET;
    }

    if (ncb->ncb_lana_num >= adapters.size()) return NRC_BRIDGE;
    const Adapter& adapter = adapters[ncb->ncb_lana_num];
    if (command == NCBRESET) return adapter.resetRetcode;

    // A remote name would need a NetBIOS session the host does not have: no one answers.
    if (!IsLocalName(ncb->ncb_callname)) return NRC_CMDTMO;
    if (ncb->ncb_buffer == nullptr || ncb->ncb_length < sizeof(ADAPTER_STATUS)) return NRC_BUFLEN;
    if (adapter.statusRetcode != NRC_GOODRET) return adapter.statusRetcode;
    ADAPTER_STATUS status;
    memset(&status, 0, sizeof status);
    memcpy(status.adapter_address, adapter.address, sizeof status.adapter_address);
    memcpy(ncb->ncb_buffer, &status, sizeof status);
    ncb->ncb_length = sizeof status;  // the bytes returned: no name table follows
    return NRC_GOODRET;
}

}  // namespace

}  // namespace caldrix_posix

using namespace caldrix_posix;

UCHAR Netbios(PNCB ncb) {
    if (ncb == nullptr) return NRC_INVADDRESS;
    UCHAR retcode;
    try {
        retcode = Run(ncb);
    } catch (const std::bad_alloc&) {
        retcode = NRC_SYSTEM;
    }
    ncb->ncb_retcode = retcode;
    ncb->ncb_cmd_cplt = retcode;
    if ((ncb->ncb_command & ASYNCH) == 0) return retcode;
    // Asynchronous requests complete before the call returns; the caller is still told through
    // its event or completion routine.
    if (ncb->ncb_event != nullptr) SetEvent(ncb->ncb_event);
    if (ncb->ncb_post != nullptr) ncb->ncb_post(ncb);
    return NRC_GOODRET;
}
