// The simulated HID and printer devices, and a hid.dll that may refuse to load. Their state is
// guarded by the simulation's one lock; completions are always delivered after that lock is let go, since a completion may end
// in the handle layer closing the device.
#include "sim_hid.h"

#include <string.h>
#include <strings.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "core.h"

namespace caldrix_sim {

using caldrix_posix::Device;
using caldrix_posix::DeviceFails;
using caldrix_posix::OpenFails;
using caldrix_posix::HidDescriptor;
using caldrix_posix::HidFieldCaps;
using caldrix_posix::HidReportKind;
using caldrix_posix::IoCompletion;
using caldrix_posix::OpenResult;

namespace {

struct PendingRead {
    void* buf;
    DWORD n;
    IoCompletion* done;
};

struct PendingWrite {
    DWORD n;
    IoCompletion* done;
    uint64_t id;
};

// One device's state beside what tests see: the transfers waiting in it.
struct HidState {
    std::shared_ptr<HidDevice> device;
    std::deque<PendingRead> reads;
    std::vector<PendingWrite> writes;
};

struct HidSim {
    std::vector<std::shared_ptr<HidState>> devices;
    bool libraryMissing = false;
    uint64_t nextWrite = 1;
};

HidSim& H() {
    static HidSim* sim = new HidSim;
    return *sim;
}

std::shared_ptr<HidState> StateOf(const HidDevice& device) {
    for (const auto& s : H().devices)
        if (s->device.get() == &device) return s;
    return nullptr;
}

// Completions gathered under the lock, delivered after it.
struct Done {
    IoCompletion* done;
    DWORD bytes, error;
};

void Deliver(const std::vector<Done>& list) {
    for (const Done& d : list) d.done->Complete(d.bytes, d.error);
}

class SimHid : public Device {
public:
    explicit SimHid(std::shared_ptr<HidState> s) : s_(std::move(s)) {}

    BOOL StartRead(void* buf, DWORD n, IoCompletion* done, DWORD* error) override {
        std::vector<Done> now;
        {
            auto guard = LockSim();
            HidDevice& d = *s_->device;
            if (DWORD injected = RecordCall("ReadFile", d.path, {n})) return DeviceFails(error, injected);
            if (d.unplugged) return DeviceFails(error, ERROR_DEVICE_NOT_CONNECTED);
            if (!d.reports.empty()) {
                now.push_back(Done{done, Take(d, buf, n), ERROR_SUCCESS});
            } else {
                s_->reads.push_back(PendingRead{buf, n, done});
                ++d.pendingReads;
                SimChanged().notify_all();
            }
        }
        Deliver(now);
        return TRUE;
    }

    BOOL StartWrite(const void* buf, DWORD n, IoCompletion* done, DWORD* error) override {
        std::vector<Done> now;
        {
            auto guard = LockSim();
            HidDevice& d = *s_->device;
            if (DWORD injected = RecordCall("WriteFile", d.path, {n})) return DeviceFails(error, injected);
            if (d.unplugged) return DeviceFails(error, ERROR_DEVICE_NOT_CONNECTED);
            if (d.writeMode == WriteMode::Fail) return DeviceFails(error, d.writeError);
            const uint8_t* bytes = static_cast<const uint8_t*>(buf);
            d.writes.emplace_back(bytes, bytes + n);
            switch (d.writeMode) {
                case WriteMode::Complete:
                    now.push_back(Done{done, n, ERROR_SUCCESS});
                    break;
                case WriteMode::Short:
                    now.push_back(Done{done, n > d.shortBy ? n - d.shortBy : 0, ERROR_SUCCESS});
                    break;
                case WriteMode::Delayed:
                case WriteMode::Never: {
                    const uint64_t id = H().nextWrite++;
                    s_->writes.push_back(PendingWrite{n, done, id});
                    ++d.pendingWrites;
                    SimChanged().notify_all();
                    if (d.writeMode == WriteMode::Delayed) CompleteLater(id, d.writeDelayMs);
                    break;
                }
                case WriteMode::Fail:
                    break;
            }
        }
        Deliver(now);
        return TRUE;
    }

    void Cancel(IoCompletion* which) override {
        std::vector<Done> ended;
        {
            auto guard = LockSim();
            RecordCall("Cancel", s_->device->path);
            EndLocked(*s_, which, ERROR_OPERATION_ABORTED, &ended);
            SimChanged().notify_all();
        }
        Deliver(ended);
    }

    BOOL GetHidDescriptor(HidDescriptor* out, DWORD* error) override {
        auto guard = LockSim();
        if (DWORD injected = RecordCall("HidD_GetPreparsedData", s_->device->path)) {
            return DeviceFails(error, injected);
        }
        *out = s_->device->descriptor;
        return TRUE;
    }

    BOOL Close(DWORD* error) override {
        auto guard = LockSim();
        --s_->device->openNow;
        if (DWORD injected = RecordCall("CloseHandle", s_->device->path)) return DeviceFails(error, injected);
        return TRUE;
    }

    // Ends the chosen pending transfer (all with null) with `error`. Caller holds the lock.
    static void EndLocked(HidState& s, IoCompletion* which, DWORD error, std::vector<Done>* out) {
        auto end = [&](auto& pending, int& count) {
            for (auto it = pending.begin(); it != pending.end();) {
                if (which != nullptr && it->done != which) {
                    ++it;
                    continue;
                }
                out->push_back(Done{it->done, 0, error});
                --count;
                it = pending.erase(it);
            }
        };
        end(s.reads, s.device->pendingReads);
        end(s.writes, s.device->pendingWrites);
    }

    // Moves the oldest report into a read of n bytes. Caller holds the lock.
    static DWORD Take(HidDevice& d, void* buf, DWORD n) {
        std::vector<uint8_t> report = std::move(d.reports.front());
        d.reports.pop_front();
        const DWORD k = std::min<DWORD>(n, static_cast<DWORD>(report.size()));
        if (k > 0) memcpy(buf, report.data(), k);
        return k;
    }

private:
    // A delayed write completes from a thread of the simulation, unless cancelled first.
    void CompleteLater(uint64_t id, DWORD ms) {
        std::shared_ptr<HidState> s = s_;
        std::thread([s, id, ms] {
            std::vector<Done> out;
            {
                auto guard = LockSim();
                const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
                auto pending = [&] {
                    return std::find_if(s->writes.begin(), s->writes.end(),
                                        [&](const PendingWrite& w) { return w.id == id; });
                };
                SimChanged().wait_until(guard, until, [&] { return pending() == s->writes.end(); });
                auto it = pending();
                if (it == s->writes.end()) return;  // cancelled meanwhile
                out.push_back(Done{it->done, it->n, ERROR_SUCCESS});
                --s->device->pendingWrites;
                s->writes.erase(it);
            }
            Deliver(out);
        }).detach();
    }

    const std::shared_ptr<HidState> s_;
};

struct HidKind : Kind {
    OpenResult OpenLocked(const char* name, DWORD, DWORD, DWORD, std::unique_ptr<Device>* out,
                          DWORD* error) override {
        for (const auto& s : H().devices) {
            // Windows matches device paths without regard to case.
            if (strcasecmp(s->device->path.c_str(), name) != 0) continue;
            if (s->device->unplugged) return OpenFails(error, ERROR_FILE_NOT_FOUND);
            out->reset(new SimHid(s));
            ++s->device->opens;
            ++s->device->openNow;
            return OpenResult::Opened;
        }
        return OpenResult::NotMine;
    }

    void InterfacesLocked(std::vector<caldrix_posix::DeviceInterface>* out) override {
        for (const auto& s : H().devices) {
            if (!s->device->unplugged) out->push_back({s->device->cls, s->device->path});
        }
    }

    bool RefuseLibraryLocked(const char* name, DWORD* error) override {
        RecordCall("LoadLibraryA", name);
        if (!H().libraryMissing) return false;
        *error = ERROR_MOD_NOT_FOUND;
        return true;
    }

    void ResetLocked() override {
        // Devices still open keep their state; the simulation just stops listing them.
        H().devices.clear();
        H().libraryMissing = false;
    }
};

const KindRegistration registration(new HidKind, kHidRank);

}  // namespace

HidDevice& AddHid(const std::string& path, const GUID& cls) {
    auto guard = LockSim();
    for (const auto& s : H().devices)
        if (s->device->path == path) return *s->device;
    auto s = std::make_shared<HidState>();
    s->device = std::make_shared<HidDevice>();
    s->device->path = path;
    s->device->cls = cls;
    H().devices.push_back(s);
    return *s->device;
}

void AddInputValue(HidDevice& device, uint8_t reportId, uint16_t usagePage, uint16_t usage) {
    auto guard = LockSim();
    HidFieldCaps c;
    memset(&c, 0, sizeof c);
    c.kind = HidReportKind::Input;
    c.reportId = reportId;
    c.usagePage = usagePage;
    c.usageMin = c.usageMax = usage;
    c.bitSize = 8;
    c.reportCount = 63;
    c.isAbsolute = true;
    device.descriptor.caps.push_back(c);
}

void PushReport(HidDevice& device, const std::vector<uint8_t>& report) {
    std::vector<Done> now;
    {
        auto guard = LockSim();
        std::shared_ptr<HidState> s = StateOf(device);
        device.reports.push_back(report);
        if (s && !s->reads.empty()) {
            PendingRead r = s->reads.front();
            s->reads.pop_front();
            --device.pendingReads;
            now.push_back(Done{r.done, SimHid::Take(device, r.buf, r.n), ERROR_SUCCESS});
        }
        SimChanged().notify_all();
    }
    Deliver(now);
}

void Unplug(HidDevice& device) {
    std::vector<Done> ended;
    {
        auto guard = LockSim();
        device.unplugged = true;
        if (std::shared_ptr<HidState> s = StateOf(device)) {
            SimHid::EndLocked(*s, nullptr, ERROR_DEVICE_NOT_CONNECTED, &ended);
        }
        SimChanged().notify_all();
    }
    Deliver(ended);
}

bool AwaitPendingReads(const HidDevice& device, int count, int timeoutMs) {
    auto guard = LockSim();
    return SimChanged().wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                 [&] { return device.pendingReads >= count; });
}

bool AwaitPendingWrites(const HidDevice& device, int count, int timeoutMs) {
    auto guard = LockSim();
    return SimChanged().wait_for(guard, std::chrono::milliseconds(timeoutMs),
                                 [&] { return device.pendingWrites >= count; });
}

void SetHidLibraryMissing(bool missing) {
    auto guard = LockSim();
    H().libraryMissing = missing;
}

}  // namespace caldrix_sim
