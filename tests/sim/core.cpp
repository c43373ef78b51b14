// The core of the simulated device provider: the provider registered in front of the real ones,
// the call record, failure injection and recorded pauses. One lock guards all simulated state,
// so tests may drive it from several threads. What each kind of device does lives in its own
// file (serial.cpp, hid.cpp, adapters.cpp, process.cpp); the provider asks the registered kinds.
#include "core.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>

#include "sim_provider.h"

namespace caldrix_sim {

using caldrix_posix::Adapter;
using caldrix_posix::Device;
using caldrix_posix::DeviceProvider;
using caldrix_posix::ProviderHooks;
using caldrix_posix::OpenResult;

namespace {

struct Failure {
    std::string fn;
    DWORD error;
    int remaining;  // calls of fn until it fires, this one included
};

struct State {
    std::mutex lock;
    std::condition_variable changed;  // a call recorded, a latch opened or a cancel
    std::multimap<KindRank, Kind*> kinds;
    std::vector<Failure> failures;
    std::vector<Call> calls;
};

// Never destroyed: device handles may outlive a test and close during exit.
State& S() {
    static State* state = new State;
    return *state;
}

// Caller holds the lock. Records the call; answers the error it must fail with, or 0.
DWORD Record(State& s, const char* fn, const std::string& device,
             std::vector<uint64_t> args = {}) {
    s.calls.push_back(Call{fn, device, std::move(args)});
    s.changed.notify_all();
    DWORD error = 0;
    bool fired = false;
    for (auto it = s.failures.begin(); it != s.failures.end();) {
        if (it->fn != fn) {
            ++it;
            continue;
        }
        if (--it->remaining > 0) {
            ++it;
        } else if (!fired) {
            fired = true;
            error = it->error;
            it = s.failures.erase(it);
        } else {
            it->remaining = 1;  // two failures aimed at one call: the later one takes the next
            ++it;
        }
    }
    return fired ? (error != 0 ? error : ERROR_GEN_FAILURE) : 0;
}

// A device provider for the adapters and interfaces the kinds have, and hooks for the calls that
// reach no device: every CreateFileA, Netbios command, LoadLibraryA and CreateProcessA.
class SimProvider : public DeviceProvider, public ProviderHooks {
public:
    // Every open is answered in Opening, which sees the creation disposition and is asked first.
    OpenResult Open(const char*, DWORD, DWORD, DWORD, std::unique_ptr<Device>*, DWORD*) override {
        return OpenResult::NotMine;
    }

    // Sees every name, its own and the host's, so that any CreateFileA can be recorded and
    // failed.
    OpenResult Opening(const char* name, DWORD access, DWORD shareMode, DWORD creation,
                       DWORD flags, std::unique_ptr<Device>* out, DWORD* error) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        if (DWORD injected = Record(s, "CreateFileA", name, {access, shareMode, creation, flags})) {
            *error = injected;
            return OpenResult::Failed;
        }
        for (const auto& k : s.kinds) {
            const OpenResult r = k.second->OpenLocked(name, access, shareMode, flags, out, error);
            if (r != OpenResult::NotMine) return r;
        }
        return OpenResult::NotMine;
    }

    void Interfaces(std::vector<caldrix_posix::DeviceInterface>* out) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        for (const auto& k : s.kinds) k.second->InterfacesLocked(out);
    }

    bool RefuseLibrary(const char* name, DWORD* error) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        for (const auto& k : s.kinds) {
            if (k.second->RefuseLibraryLocked(name, error)) return true;
        }
        return false;
    }

    bool ProcessStart(const char* application, const char* path, const char* commandLine,
                      DWORD* error) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        for (const auto& k : s.kinds) {
            if (k.second->ProcessStartLocked(application, path, commandLine, error)) return true;
        }
        return false;
    }

    bool NetbiosCommand(UCHAR command, UCHAR lana, UCHAR* retcode) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        for (const auto& k : s.kinds) {
            if (k.second->NetbiosCommandLocked(command, lana, retcode)) return true;
        }
        return false;
    }

    bool Adapters(std::vector<Adapter>* out) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        for (const auto& k : s.kinds) {
            if (k.second->AdaptersLocked(out)) return true;
        }
        return false;
    }
};

SimProvider& Provider() {
    static SimProvider* provider = new SimProvider;
    return *provider;
}

void RecordSleep(DWORD milliseconds) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    Record(s, "Sleep", std::string(), {milliseconds});
}

}  // namespace

KindRegistration::KindRegistration(Kind* kind, KindRank rank) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    s.kinds.emplace(rank, kind);
}

std::unique_lock<std::mutex> LockSim() { return std::unique_lock<std::mutex>(S().lock); }
std::condition_variable& SimChanged() { return S().changed; }
DWORD RecordCall(const char* fn, const std::string& device, std::vector<uint64_t> args) {
    return Record(S(), fn, device, std::move(args));
}

void Install() {
    caldrix_posix::RegisterDeviceProvider(&Provider(), &Provider());
    caldrix_posix::SetSleepHook(RecordSleep);
}

void Uninstall() {
    caldrix_posix::UnregisterDeviceProvider(&Provider());
    caldrix_posix::SetSleepHook(nullptr);
}

void Reset() {
    State& s = S();
    for (const auto& k : s.kinds) k.second->ResetLocked();
    s.failures.clear();
    s.calls.clear();
}

// An occurrence below 1 means the next call.
void Fail(const std::string& fn, DWORD error, int occurrence) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failures.push_back(Failure{fn, error, std::max(occurrence, 1)});
}

bool AwaitCalls(const std::string& fn, size_t count, int timeoutMs) {
    State& s = S();
    std::unique_lock<std::mutex> guard(s.lock);
    return s.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs), [&] {
        size_t n = 0;
        for (const Call& c : s.calls) n += c.fn == fn;
        return n >= count;
    });
}

// Not locked: read it while no other thread is calling into the simulation.
const std::vector<Call>& Calls() { return S().calls; }

std::vector<Call> CallsOf(const std::string& fn) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    std::vector<Call> out;
    for (const Call& c : s.calls) {
        if (c.fn == fn) out.push_back(c);
    }
    return out;
}

void ClearCalls() {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    s.calls.clear();
}

std::vector<DWORD> Sleeps() {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    std::vector<DWORD> out;
    for (const Call& c : s.calls) {
        if (c.fn == "Sleep" && !c.args.empty()) out.push_back(static_cast<DWORD>(c.args[0]));
    }
    return out;
}

}  // namespace caldrix_sim
