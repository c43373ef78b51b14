// The simulated serial devices. Beyond the scripted values, they behave as a Windows serial driver does where the
// library depends on it:
//  * SetCommState validates ByteSize (5-8), Parity (0-4) and StopBits (0-2) and drives DTR and
//    RTS from fDtrControl and fRtsControl (ENABLE raises the line, DISABLE drops it);
//  * with fAbortOnError set and commErrors not 0, ReadFile and WriteFile are refused with
//    ERROR_OPERATION_ABORTED, moving no bytes, until ClearCommError clears the errors;
//  * with fOutxCtsFlow set and CTS off, WriteFile times out: success with 0 bytes written;
//  * PurgeComm refuses flags outside the four PURGE_ bits; it never drops scripted reads;
//  * a device is exclusive: any second open while a handle is open is refused.
#include <string.h>

#include <algorithm>
#include <chrono>
#include <memory>
#include <mutex>

#include "core.h"
#include "sim_provider.h"

namespace caldrix_sim {

using caldrix_posix::Device;
using caldrix_posix::DeviceFails;
using caldrix_posix::OpenFails;
using caldrix_posix::OpenResult;

namespace {

uint32_t FlagsWord(const DCB& dcb) {
    uint32_t flags;
    memcpy(&flags, reinterpret_cast<const char*>(&dcb) + 2 * sizeof(DWORD), sizeof flags);
    return flags;
}

class SimSerial : public Device {
public:
    explicit SimSerial(std::shared_ptr<SerialDevice> dev) : dev_(std::move(dev)) {}

    BOOL Read(void* buf, DWORD n, DWORD* got, DWORD* error) override {
        auto guard = LockSim();
        const DWORD injected = RecordCall("ReadFile", dev_->name, {n});
        *got = 0;
        if (!WaitOnLatch(guard, &SerialDevice::holdReads)) {
            return DeviceFails(error, ERROR_OPERATION_ABORTED);
        }
        if (Aborting()) return DeviceFails(error, injected != 0 ? injected : ERROR_OPERATION_ABORTED);
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
        if (injected != 0) return DeviceFails(error, injected);
        return TRUE;
    }

    BOOL Write(const void* buf, DWORD n, DWORD* done, DWORD* error) override {
        auto guard = LockSim();
        const DWORD injected = RecordCall("WriteFile", dev_->name, {n});
        *done = 0;
        if (!WaitOnLatch(guard, &SerialDevice::holdWrites)) {
            return DeviceFails(error, ERROR_OPERATION_ABORTED);
        }
        DWORD limit = n;
        if (!dev_->writeLimits.empty()) {
            limit = std::min(n, dev_->writeLimits.front());
            dev_->writeLimits.pop_front();
        }
        if (injected != 0) return DeviceFails(error, injected);
        if (Aborting()) return DeviceFails(error, ERROR_OPERATION_ABORTED);
        if (dev_->dcb.fOutxCtsFlow && (dev_->modemStatus & MS_CTS_ON) == 0) return TRUE;
        const uint8_t* bytes = static_cast<const uint8_t*>(buf);
        if (limit > 0) dev_->written.insert(dev_->written.end(), bytes, bytes + limit);
        *done = limit;
        return TRUE;
    }

    BOOL GetCommState(DCB* dcb, DWORD* error) override {
        auto guard = LockSim();
        if (DWORD injected = RecordCall("GetCommState", dev_->name)) {
            return DeviceFails(error, injected);
        }
        *dcb = dev_->dcb;
        return TRUE;
    }

    BOOL SetCommState(const DCB* dcb, DWORD* error) override {
        auto guard = LockSim();
        if (DWORD injected = RecordCall("SetCommState", dev_->name, {FlagsWord(*dcb)})) {
            return DeviceFails(error, injected);
        }
        if (dcb->ByteSize < 5 || dcb->ByteSize > 8 || dcb->Parity > SPACEPARITY ||
            dcb->StopBits > TWOSTOPBITS) {
            return DeviceFails(error, ERROR_INVALID_PARAMETER);
        }
        dev_->dcb = *dcb;
        if (dcb->fDtrControl == DTR_CONTROL_ENABLE) dev_->dtr = true;
        if (dcb->fDtrControl == DTR_CONTROL_DISABLE) dev_->dtr = false;
        if (dcb->fRtsControl == RTS_CONTROL_ENABLE) dev_->rts = true;
        if (dcb->fRtsControl == RTS_CONTROL_DISABLE) dev_->rts = false;
        return TRUE;
    }

    BOOL SetupComm(DWORD inQueue, DWORD outQueue, DWORD* error) override {
        auto guard = LockSim();
        if (DWORD injected = RecordCall("SetupComm", dev_->name, {inQueue, outQueue})) {
            return DeviceFails(error, injected);
        }
        dev_->inQueue = inQueue;
        dev_->outQueue = outQueue;
        return TRUE;
    }

    BOOL GetCommTimeouts(COMMTIMEOUTS* t, DWORD* error) override {
        auto guard = LockSim();
        if (DWORD injected = RecordCall("GetCommTimeouts", dev_->name)) {
            return DeviceFails(error, injected);
        }
        *t = dev_->timeouts;
        return TRUE;
    }

    BOOL SetCommTimeouts(const COMMTIMEOUTS* t, DWORD* error) override {
        auto guard = LockSim();
        if (DWORD injected = RecordCall("SetCommTimeouts", dev_->name,
                                    {t->ReadIntervalTimeout, t->ReadTotalTimeoutMultiplier,
                                     t->ReadTotalTimeoutConstant, t->WriteTotalTimeoutMultiplier,
                                     t->WriteTotalTimeoutConstant})) {
            return DeviceFails(error, injected);
        }
        dev_->timeouts = *t;
        return TRUE;
    }

    BOOL PurgeComm(DWORD flags, DWORD* error) override {
        auto guard = LockSim();
        if (DWORD injected = RecordCall("PurgeComm", dev_->name, {flags})) {
            return DeviceFails(error, injected);
        }
        const DWORD known = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
        if ((flags & ~known) != 0) return DeviceFails(error, ERROR_INVALID_PARAMETER);
        return TRUE;
    }

    BOOL ClearCommError(DWORD* errors, COMSTAT* stat, DWORD* error) override {
        auto guard = LockSim();
        if (DWORD injected = RecordCall("ClearCommError", dev_->name)) {
            return DeviceFails(error, injected);
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
        auto guard = LockSim();
        if (DWORD injected = RecordCall("GetCommModemStatus", dev_->name)) {
            return DeviceFails(error, injected);
        }
        *status = dev_->modemStatus;
        return TRUE;
    }

    BOOL EscapeCommFunction(DWORD func, DWORD* error) override {
        auto guard = LockSim();
        if (DWORD injected = RecordCall("EscapeCommFunction", dev_->name, {func})) {
            return DeviceFails(error, injected);
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
            return DeviceFails(error, ERROR_INVALID_PARAMETER);
        }
    }

    BOOL Close(DWORD* error) override {
        auto guard = LockSim();
        const DWORD injected = RecordCall("CloseHandle", dev_->name);
        dev_->open = false;  // closed even when the close reports a failure
        if (injected != 0) return DeviceFails(error, injected);
        return TRUE;
    }

    // Input is a scripted read still to come or an error to report; with none, the wait lasts
    // until a cancel or its time (Release does not end it: nothing arrives in between).
    BOOL WaitInput(DWORD ms, DWORD* outcome, DWORD* error) override {
        auto guard = LockSim();
        if (DWORD injected = RecordCall("WaitCommInput", dev_->name, {ms})) {
            return DeviceFails(error, injected);
        }
        const uint64_t cancelsSeen = cancels_;
        auto ready = [&] { return !dev_->reads.empty() || dev_->commErrors != 0; };
        auto cancelled = [&] { return cancels_ != cancelsSeen; };
        if (ms == INFINITE) {
            SimChanged().wait(guard, [&] { return ready() || cancelled(); });
        } else {
            SimChanged().wait_for(guard, std::chrono::milliseconds(ms),
                                  [&] { return ready() || cancelled(); });
        }
        *outcome = ready() ? WAIT_OBJECT_0 : cancelled() ? WAIT_OBJECT_0 + 1 : WAIT_TIMEOUT;
        return TRUE;
    }

    void Cancel(caldrix_posix::IoCompletion*) override {
        auto guard = LockSim();
        RecordCall("Cancel", dev_->name);
        ++cancels_;
        SimChanged().notify_all();
    }

private:
    // Waits while the latch is set; false when a cancel ended the wait.
    bool WaitOnLatch(std::unique_lock<std::mutex>& guard, bool SerialDevice::*latch) {
        const uint64_t cancelsSeen = cancels_;
        ++dev_->held;
        SimChanged().notify_all();
        SimChanged().wait(guard, [&] {
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

struct SerialKind : Kind {
    std::vector<std::shared_ptr<SerialDevice>> serials;

    OpenResult OpenLocked(const char* name, DWORD, DWORD, DWORD, std::unique_ptr<Device>* out,
                          DWORD* error) override {
        for (const auto& dev : serials) {
            if (dev->name != name) continue;
            if (dev->open) return OpenFails(error, ERROR_ACCESS_DENIED);
            out->reset(new SimSerial(dev));
            dev->open = true;
            ++dev->opens;
            return OpenResult::Opened;
        }
        return OpenResult::NotMine;
    }

    // Handles still open keep their devices; the simulation just stops knowing them.
    void ResetLocked() override { serials.clear(); }
};

// Never destroyed: device handles may outlive a test and close during exit.
SerialKind& Serials() {
    static SerialKind* kind = new SerialKind;
    return *kind;
}

const KindRegistration registration(&Serials(), kSerialRank);

}  // namespace

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

// A name already known answers the existing device, so open handles and the test agree on it.
SerialDevice& AddSerial(const std::string& name) {
    auto guard = LockSim();
    for (const auto& dev : Serials().serials) {
        if (dev->name == name) return *dev;
    }
    auto dev = std::make_shared<SerialDevice>();
    dev->name = name;
    dev->dcb = DefaultDriverDcb();
    dev->timeouts = COMMTIMEOUTS{};
    Serials().serials.push_back(dev);
    return *dev;
}

SerialDevice* FindSerial(const std::string& name) {
    auto guard = LockSim();
    for (const auto& dev : Serials().serials) {
        if (dev->name == name) return dev.get();
    }
    return nullptr;
}

void Release(SerialDevice& device) {
    auto guard = LockSim();
    device.holdReads = device.holdWrites = false;
    SimChanged().notify_all();
}

bool AwaitHeld(const SerialDevice& device, int count, int timeoutMs) {
    auto guard = LockSim();
    return SimChanged().wait_for(guard, std::chrono::milliseconds(timeoutMs),
                              [&] { return device.held >= count; });
}

}  // namespace caldrix_sim
