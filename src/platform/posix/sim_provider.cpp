// The simulated device provider. One lock guards all of its state: the devices, the adapters,
// the pending failures and the call record, so tests may drive it from several threads.
//
// Beyond the scripted values, the devices behave as a Windows serial driver does where the
// library depends on it:
//  * SetCommState validates ByteSize (5-8), Parity (0-4) and StopBits (0-2) and drives DTR and
//    RTS from fDtrControl and fRtsControl (ENABLE raises the line, DISABLE drops it);
//  * with fAbortOnError set and commErrors not 0, ReadFile and WriteFile are refused with
//    ERROR_OPERATION_ABORTED, moving no bytes, until ClearCommError clears the errors;
//  * with fOutxCtsFlow set and CTS off, WriteFile times out: success with 0 bytes written;
//  * PurgeComm refuses flags outside the four PURGE_ bits; it never drops scripted reads;
//  * a device is exclusive: any second open while a handle is open is refused.
#include "sim_provider.h"

#include "sim/sim_internal.h"

#include <string.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>

namespace caldrix_sim {

using caldrix_posix::Adapter;
using caldrix_posix::Device;
using caldrix_posix::DeviceProvider;
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
    std::vector<std::shared_ptr<SerialDevice>> serials;
    bool adaptersSet = false;
    std::vector<Adapter> adapters;
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

uint32_t FlagsWord(const DCB& dcb) {
    uint32_t flags;
    memcpy(&flags, reinterpret_cast<const char*>(&dcb) + 2 * sizeof(DWORD), sizeof flags);
    return flags;
}

BOOL FailWith(DWORD* error, DWORD code) {
    *error = code;
    return FALSE;
}

class SimSerial : public Device {
public:
    explicit SimSerial(std::shared_ptr<SerialDevice> dev) : dev_(std::move(dev)) {}

    BOOL Read(void* buf, DWORD n, DWORD* got, DWORD* error) override {
        State& s = S();
        std::unique_lock<std::mutex> guard(s.lock);
        const DWORD injected = Record(s, "ReadFile", dev_->name, {n});
        *got = 0;
        if (!WaitOnLatch(guard, &SerialDevice::holdReads)) {
            return FailWith(error, ERROR_OPERATION_ABORTED);
        }
        if (Aborting()) return FailWith(error, injected != 0 ? injected : ERROR_OPERATION_ABORTED);
        if (!dev_->reads.empty()) {
            std::vector<uint8_t>& chunk = dev_->reads.front();
            const size_t k = std::min<size_t>(n, chunk.size());
            if (k > 0) {
                memcpy(buf, chunk.data(), k);
                chunk.erase(chunk.begin(), chunk.begin() + static_cast<std::ptrdiff_t>(k));
            }
            if (chunk.empty()) dev_->reads.pop_front();
            *got = static_cast<DWORD>(k);
        }
        // A failing read still hands over its bytes, as after a partial transfer.
        if (injected != 0) return FailWith(error, injected);
        return TRUE;
    }

    BOOL Write(const void* buf, DWORD n, DWORD* done, DWORD* error) override {
        State& s = S();
        std::unique_lock<std::mutex> guard(s.lock);
        const DWORD injected = Record(s, "WriteFile", dev_->name, {n});
        *done = 0;
        if (!WaitOnLatch(guard, &SerialDevice::holdWrites)) {
            return FailWith(error, ERROR_OPERATION_ABORTED);
        }
        DWORD limit = n;
        if (!dev_->writeLimits.empty()) {
            limit = std::min(n, dev_->writeLimits.front());
            dev_->writeLimits.pop_front();
        }
        if (injected != 0) return FailWith(error, injected);
        if (Aborting()) return FailWith(error, ERROR_OPERATION_ABORTED);
        if (dev_->dcb.fOutxCtsFlow && (dev_->modemStatus & MS_CTS_ON) == 0) return TRUE;
        const uint8_t* bytes = static_cast<const uint8_t*>(buf);
        if (limit > 0) dev_->written.insert(dev_->written.end(), bytes, bytes + limit);
        *done = limit;
        return TRUE;
    }

    BOOL GetCommState(DCB* dcb, DWORD* error) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        if (DWORD injected = Record(s, "GetCommState", dev_->name)) {
            return FailWith(error, injected);
        }
        *dcb = dev_->dcb;
        return TRUE;
    }

    BOOL SetCommState(const DCB* dcb, DWORD* error) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        if (DWORD injected = Record(s, "SetCommState", dev_->name, {FlagsWord(*dcb)})) {
            return FailWith(error, injected);
        }
        if (dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
            dcb->StopBits > TWOSTOPBITS) {
            return FailWith(error, ERROR_INVALID_PARAMETER);
        }
        dev_->dcb = *dcb;
        if (dcb->fDtrControl == DTR_CONTROL_ENABLE) dev_->dtr = true;
        if (dcb->fDtrControl == DTR_CONTROL_DISABLE) dev_->dtr = false;
        if (dcb->fRtsControl == RTS_CONTROL_ENABLE) dev_->rts = true;
        if (dcb->fRtsControl == RTS_CONTROL_DISABLE) dev_->rts = false;
        return TRUE;
    }

    BOOL SetupComm(DWORD inQueue, DWORD outQueue, DWORD* error) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        if (DWORD injected = Record(s, "SetupComm", dev_->name, {inQueue, outQueue})) {
            return FailWith(error, injected);
        }
        dev_->inQueue = inQueue;
        dev_->outQueue = outQueue;
        return TRUE;
    }

    BOOL GetCommTimeouts(COMMTIMEOUTS* t, DWORD* error) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        if (DWORD injected = Record(s, "GetCommTimeouts", dev_->name)) {
            return FailWith(error, injected);
        }
        *t = dev_->timeouts;
        return TRUE;
    }

    BOOL SetCommTimeouts(const COMMTIMEOUTS* t, DWORD* error) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        if (DWORD injected = Record(s, "SetCommTimeouts", dev_->name,
                                    {t->ReadIntervalTimeout, t->ReadTotalTimeoutMultiplier,
                                     t->ReadTotalTimeoutConstant, t->WriteTotalTimeoutMultiplier,
                                     t->WriteTotalTimeoutConstant})) {
            return FailWith(error, injected);
        }
        dev_->timeouts = *t;
        return TRUE;
    }

    BOOL PurgeComm(DWORD flags, DWORD* error) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        if (DWORD injected = Record(s, "PurgeComm", dev_->name, {flags})) {
            return FailWith(error, injected);
        }
        const DWORD known = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
        if ((flags & ~known) != 0) return FailWith(error, ERROR_INVALID_PARAMETER);
        return TRUE;
    }

    BOOL ClearCommError(DWORD* errors, COMSTAT* stat, DWORD* error) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        if (DWORD injected = Record(s, "ClearCommError", dev_->name)) {
            return FailWith(error, injected);
        }
        *errors = dev_->commErrors;
        dev_->commErrors = 0;
        *stat = COMSTAT{};
        DWORD waiting = 0;
        for (const auto& chunk : dev_->reads) waiting += static_cast<DWORD>(chunk.size());
        stat->cbInQue = waiting;
        stat->fCtsHold = dev_->dcb.fOutxCtsFlow && (dev_->modemStatus & MS_CTS_ON) == 0;
        stat->fDsrHold = dev_->dcb.fOutxDsrFlow && (dev_->modemStatus & MS_DSR_ON) == 0;
        return TRUE;
    }

    BOOL GetCommModemStatus(DWORD* status, DWORD* error) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        if (DWORD injected = Record(s, "GetCommModemStatus", dev_->name)) {
            return FailWith(error, injected);
        }
        *status = dev_->modemStatus;
        return TRUE;
    }

    BOOL EscapeCommFunction(DWORD func, DWORD* error) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        if (DWORD injected = Record(s, "EscapeCommFunction", dev_->name, {func})) {
            return FailWith(error, injected);
        }
        switch (func) {
        case SETDTR:
            dev_->dtr = true;
            return TRUE;
        case CLRDTR:
            dev_->dtr = false;
            return TRUE;
        case SETRTS:
            dev_->rts = true;
            return TRUE;
        case CLRRTS:
            dev_->rts = false;
            return TRUE;
        case SETXOFF:
        case SETXON:
        case SETBREAK:
        case CLRBREAK:
            return TRUE;
        default:
            return FailWith(error, ERROR_INVALID_PARAMETER);
        }
    }

    BOOL Close(DWORD* error) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        const DWORD injected = Record(s, "CloseHandle", dev_->name);
        dev_->open = false;  // closed even when the close reports a failure
        if (injected != 0) return FailWith(error, injected);
        return TRUE;
    }

    void Cancel(caldrix_posix::IoCompletion*) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        Record(s, "Cancel", dev_->name);
        ++cancels_;
        s.changed.notify_all();
    }

private:
    // Waits while the latch is set; false when a cancel ended the wait.
    bool WaitOnLatch(std::unique_lock<std::mutex>& guard, bool SerialDevice::*latch) {
        State& s = S();
        const uint64_t cancelsSeen = cancels_;
        ++dev_->held;
        s.changed.notify_all();
        s.changed.wait(guard, [&] {
            return !((*dev_).*latch) || (!dev_->cancelIgnored && cancels_ != cancelsSeen);
        });
        --dev_->held;
        return !((*dev_).*latch) || dev_->cancelIgnored || cancels_ == cancelsSeen;
    }

    uint64_t cancels_ = 0;  // under the state lock

    // Caller holds the lock.
    bool Aborting() const { return dev_->dcb.fAbortOnError && dev_->commErrors != 0; }

    const std::shared_ptr<SerialDevice> dev_;
};

class SimProvider : public DeviceProvider {
public:
    OpenResult Open(const char* name, DWORD access, DWORD shareMode, DWORD flags,
                    std::unique_ptr<Device>* out, DWORD* error) override {
        return OpenWithCreation(name, access, shareMode, OPEN_EXISTING, flags, out, error);
    }

    // Sees every name, its own and the host's, so that any CreateFileA can be recorded and
    // failed.
    OpenResult OpenWithCreation(const char* name, DWORD access, DWORD shareMode, DWORD creation,
                                DWORD flags, std::unique_ptr<Device>* out,
                                DWORD* error) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        if (DWORD injected = Record(s, "CreateFileA", name, {access, shareMode, creation, flags})) {
            *error = injected;
            return OpenResult::Failed;
        }
        for (const auto& dev : s.serials) {
            if (dev->name != name) continue;
            if (dev->open) {
                *error = ERROR_ACCESS_DENIED;
                return OpenResult::Failed;
            }
            out->reset(new SimSerial(dev));
            dev->open = true;
            ++dev->opens;
            return OpenResult::Opened;
        }
        return OpenHidLocked(name, access, shareMode, flags, out, error);
    }

    void Interfaces(std::vector<caldrix_posix::DeviceInterface>* out) override {
        auto guard = LockSim();
        HidInterfacesLocked(out);
    }

    bool RefuseLibrary(const char* name, DWORD* error) override {
        auto guard = LockSim();
        return RefuseLibraryLocked(name, error);
    }

    bool ProcessStart(const char* application, const char* path, const char* commandLine,
                      DWORD* error) override {
        auto guard = LockSim();
        return ProcessStartLocked(application, path, commandLine, error);
    }

    bool NetbiosCommand(UCHAR command, UCHAR lana, UCHAR* retcode) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        if (DWORD injected = Record(s, "Netbios", std::string(), {command, lana})) {
            *retcode = static_cast<UCHAR>(injected);
            return true;
        }
        return false;
    }

    bool Adapters(std::vector<Adapter>* out) override {
        State& s = S();
        std::lock_guard<std::mutex> guard(s.lock);
        if (!s.adaptersSet) return false;
        *out = s.adapters;
        return true;
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

std::unique_lock<std::mutex> LockSim() { return std::unique_lock<std::mutex>(S().lock); }
std::condition_variable& SimChanged() { return S().changed; }
DWORD RecordCall(const char* fn, const std::string& device, std::vector<uint64_t> args) {
    return Record(S(), fn, device, std::move(args));
}

DCB DefaultDriverDcb() {
    DCB dcb;
    memset(&dcb, 0, sizeof dcb);
    dcb.DCBlength = sizeof(DCB);
    dcb.BaudRate = 1200;
    const uint32_t flags = 0x00000080u    // fTXContinueOnXoff
                           | 0x80000000u;  // a reserved bit
    memcpy(reinterpret_cast<char*>(&dcb) + 2 * sizeof(DWORD), &flags, sizeof flags);
    dcb.XonLim = 2048;
    dcb.XoffLim = 512;
    dcb.ByteSize = 7;
    dcb.Parity = EVENPARITY;
    dcb.StopBits = TWOSTOPBITS;
    dcb.XonChar = 0x11;
    dcb.XoffChar = 0x13;
    dcb.ErrorChar = '?';
    dcb.EofChar = 0x1A;
    dcb.EvtChar = '\r';
    return dcb;
}

void Install() {
    caldrix_posix::RegisterDeviceProvider(&Provider());
    caldrix_posix::SetSleepHook(RecordSleep);
}

void Uninstall() {
    caldrix_posix::UnregisterDeviceProvider(&Provider());
    caldrix_posix::SetSleepHook(nullptr);
}

void Reset() {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    // Handles still open keep their devices; the simulation just stops knowing them.
    s.serials.clear();
    ResetHidLocked();
    s.adaptersSet = false;
    s.adapters.clear();
    s.failures.clear();
    s.calls.clear();
}

// A name already known answers the existing device, so open handles and the test agree on it.
SerialDevice& AddSerial(const std::string& name) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    for (const auto& dev : s.serials) {
        if (dev->name == name) return *dev;
    }
    auto dev = std::make_shared<SerialDevice>();
    dev->name = name;
    dev->dcb = DefaultDriverDcb();
    dev->timeouts = COMMTIMEOUTS{};
    s.serials.push_back(dev);
    return *dev;
}

SerialDevice* FindSerial(const std::string& name) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    for (const auto& dev : s.serials) {
        if (dev->name == name) return dev.get();
    }
    return nullptr;
}

void SetAdapters(const std::vector<Adapter>& adapters) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    s.adaptersSet = true;
    s.adapters = adapters;
}

// An occurrence below 1 means the next call.
void Fail(const std::string& fn, DWORD error, int occurrence) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    s.failures.push_back(Failure{fn, error, std::max(occurrence, 1)});
}

void Release(SerialDevice& device) {
    State& s = S();
    std::lock_guard<std::mutex> guard(s.lock);
    device.holdReads = device.holdWrites = false;
    s.changed.notify_all();
}

bool AwaitHeld(const SerialDevice& device, int count, int timeoutMs) {
    State& s = S();
    std::unique_lock<std::mutex> guard(s.lock);
    return s.changed.wait_for(guard, std::chrono::milliseconds(timeoutMs),
                              [&] { return device.held >= count; });
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
