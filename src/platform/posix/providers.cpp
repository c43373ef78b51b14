// The registry of device providers: those tests register in front of the host's, each with its
// hooks. CreateFileA, SetupAPI, Netbios, LoadLibraryA and CreateProcessA walk it.
#include <algorithm>
#include <mutex>
#include <vector>

#include "handles.h"
#include "provider.h"

namespace caldrix_posix {

namespace {

struct ProviderList {
    std::mutex lock;
    std::vector<Registration> registered;  // most recent first
};

ProviderList& Providers() {
    static ProviderList* list = new ProviderList;
    return *list;
}

}  // namespace

void RegisterDeviceProvider(DeviceProvider* provider, ProviderHooks* hooks) {
    if (provider == nullptr) return;
    UnregisterDeviceProvider(provider);
    ProviderList& list = Providers();
    std::lock_guard<std::mutex> guard(list.lock);
    list.registered.insert(list.registered.begin(), Registration{provider, hooks});
}

void UnregisterDeviceProvider(DeviceProvider* provider) {
    ProviderList& list = Providers();
    std::lock_guard<std::mutex> guard(list.lock);
    auto& r = list.registered;
    r.erase(std::remove_if(r.begin(), r.end(),
                           [&](const Registration& e) { return e.provider == provider; }),
            r.end());
}

std::vector<Registration> Registrations() {
    ProviderList& list = Providers();
    std::lock_guard<std::mutex> guard(list.lock);
    return list.registered;
}

std::vector<DeviceProvider*> RegisteredProviders() {
    std::vector<DeviceProvider*> out;
    for (const Registration& e : Registrations()) out.push_back(e.provider);
    return out;
}

std::vector<ProviderHooks*> RegisteredHooks() {
    std::vector<ProviderHooks*> out;
    for (const Registration& e : Registrations()) {
        if (e.hooks != nullptr) out.push_back(e.hooks);
    }
    return out;
}

}  // namespace caldrix_posix
