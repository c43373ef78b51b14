// CreateFileA over the device providers, and the file and comm calls on the handles it makes.
#include <algorithm>
#include <atomic>
#include <exception>
#include <mutex>
#include <new>
#include <vector>

#include "handles.h"
#include "provider.h"

namespace caldrix_posix {

// ---- what a device does not support ------------------------------------------------------------

static BOOL Unsupported(DWORD* error) { return DeviceFails(error, ERROR_INVALID_FUNCTION); }

BOOL Device::Read(void*, DWORD, DWORD*, DWORD* error) { return Unsupported(error); }
BOOL Device::Write(const void*, DWORD, DWORD*, DWORD* error) { return Unsupported(error); }
BOOL Device::GetCommState(DCB*, DWORD* error) { return Unsupported(error); }
BOOL Device::SetCommState(const DCB*, DWORD* error) { return Unsupported(error); }
BOOL Device::SetupComm(DWORD, DWORD, DWORD* error) { return Unsupported(error); }
BOOL Device::GetCommTimeouts(COMMTIMEOUTS*, DWORD* error) { return Unsupported(error); }
BOOL Device::SetCommTimeouts(const COMMTIMEOUTS*, DWORD* error) { return Unsupported(error); }
BOOL Device::PurgeComm(DWORD, DWORD* error) { return Unsupported(error); }
BOOL Device::ClearCommError(DWORD*, COMSTAT*, DWORD* error) { return Unsupported(error); }
BOOL Device::GetCommModemStatus(DWORD*, DWORD* error) { return Unsupported(error); }
BOOL Device::EscapeCommFunction(DWORD, DWORD* error) { return Unsupported(error); }
BOOL Device::Close(DWORD*) { return TRUE; }
void Device::Cancel(IoCompletion*) {}
BOOL Device::GetHidDescriptor(HidDescriptor*, DWORD* error) { return Unsupported(error); }
BOOL Device::WaitInput(DWORD, DWORD*, DWORD* error) { return Unsupported(error); }

BOOL Device::StartRead(void* buf, DWORD n, IoCompletion* done, DWORD* error) {
    DWORD got = 0, code = ERROR_SUCCESS;
    const BOOL ok = Read(buf, n, &got, &code);
    if (!ok && got == 0) return DeviceFails(error, code);  // StartTransfer maps a missing code
    done->Complete(got, ok ? ERROR_SUCCESS : code);
    return TRUE;
}

BOOL Device::StartWrite(const void* buf, DWORD n, IoCompletion* done, DWORD* error) {
    DWORD put = 0, code = ERROR_SUCCESS;
    if (!Write(buf, n, &put, &code)) return DeviceFails(error, code);
    done->Complete(put, ERROR_SUCCESS);
    return TRUE;
}

// ---- file handles ------------------------------------------------------------------------------
//
// The rules of calls on a file handle live here, once, for every device:
//  * the device is entered through three lanes, each taken by one call at a time: reads
//    (ReadFile), writes (WriteFile) and the comm calls. A read, a write and a comm call may be
//    inside at once, as POSIX allows; Windows would run the calls on a synchronous handle one
//    after another, so that a read waiting for its first byte holds back every write. A lane is
//    held by a synchronous call for its whole length, by an overlapped transfer while it starts;
//    Cancel alone comes in from any thread;
//  * calls inside and overlapped transfers pending are counted;
//  * CloseHandle refuses new calls and cancels what is in progress. The device is closed at once
//    when nothing is in progress, else by whichever call or transfer leaves last, so no device is
//    closed or freed under a call.

namespace {

// OVERLAPPED.Internal while a transfer is pending, and how an error is kept there afterwards.
constexpr ULONG_PTR kStatusPending = 0x103;
constexpr ULONG_PTR kErrorMark = 0xC0000000u;

struct FileObject;

// Which calls wait for each other: one read, one write and one comm call may be inside at once.
enum Lane { kReadLane, kWriteLane, kCommLane, kLanes };

// One overlapped transfer. Two owners: the starter and the device's completion; the last to let
// go deletes it. As on Windows, it signals the event it was started with: the caller may reuse
// the record with another event as soon as it sees the transfer done.
struct Transfer final : IoCompletion {
    Transfer(std::shared_ptr<FileObject> f, LPOVERLAPPED o, std::shared_ptr<HandleObject> e)
        : file(std::move(f)), ov(o), event(std::move(e)) {}
    void Complete(DWORD bytes, DWORD error) override;
    void Release() {
        if (owners.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }

    std::shared_ptr<FileObject> file;
    LPOVERLAPPED const ov;  // compared, never touched, once the transfer has completed
    const std::shared_ptr<HandleObject> event;  // null when started without one
    std::atomic<int> owners{2};
    std::atomic<bool> done{false};
};

struct FileObject : HandleObject {
    FileObject(std::unique_ptr<Device> d, bool isOverlapped)
        : HandleObject(HandleKind::File), device(std::move(d)), overlapped(isOverlapped) {}
    ~FileObject() override {
        if (!closeClaimed.exchange(true)) {  // never closed: nobody else has seen the device
            DWORD ignored = ERROR_SUCCESS;
            device->Close(&ignored);
        }
    }

    BOOL HandleClosed(DWORD* error) override {
        // Counted like a call while it cancels, so the device is never closed inside Cancel.
        busy.fetch_add(1);
        closed.store(true);
        device->Cancel(nullptr);
        // Whoever finds nothing in progress after the close closes the device: this call, or the
        // call or transfer that leaves last.
        if (busy.fetch_sub(1) == 1 && !closeClaimed.exchange(true)) return device->Close(error);
        return TRUE;
    }

    // A call or transfer enters; false when the handle has been closed.
    bool Enter() {
        busy.fetch_add(1);
        if (!closed.load()) return true;
        Leave();
        return false;
    }

    void Leave() {
        if (busy.fetch_sub(1) == 1 && closed.load() && !closeClaimed.exchange(true)) {
            DWORD ignored = ERROR_SUCCESS;
            device->Close(&ignored);
        }
    }

    // The overlapped transfer started with `ov`, with an owner reference, or null.
    Transfer* FindPending(LPOVERLAPPED ov) {
        std::lock_guard<std::mutex> guard(pendingLock);
        for (Transfer* t : pending) {
            if (t->ov == ov) {
                t->owners.fetch_add(1);
                return t;
            }
        }
        return nullptr;
    }

    const std::unique_ptr<Device> device;
    const bool overlapped;
    std::atomic<int> busy{0};  // calls inside and transfers pending
    std::atomic<bool> closed{false};
    std::atomic<bool> closeClaimed{false};
    std::mutex lanes[kLanes];  // one call at a time in each
    std::mutex pendingLock;
    std::vector<Transfer*> pending;  // overlapped transfers started and not completed
};

void Transfer::Complete(DWORD bytes, DWORD error) {
    {
        std::lock_guard<std::mutex> guard(file->pendingLock);
        auto& p = file->pending;
        p.erase(std::remove(p.begin(), p.end(), this), p.end());
    }
    // The record is the caller's again from here: nothing of it is read or written afterwards.
    PublishCompletion(ov, error == ERROR_SUCCESS ? ULONG_PTR{0} : kErrorMark | error,
                      static_cast<ULONG_PTR>(bytes), event.get());
    done.store(true, std::memory_order_release);
    std::shared_ptr<FileObject> keep = file;  // Release may delete this transfer
    Release();
    keep->Leave();
}

// One call on a file handle, from look-up to return: the handle is looked up, the call counted,
// and the device entered in turn through the call's lane.
class FileCall {
public:
    FileCall(HANDLE h, Lane lane)
        : file_(LookupInto<FileObject>(h, HandleKind::File, &ref_)), lane_(lane) {
        if (file_ == nullptr) return;
        if (!file_->Enter()) {
            file_ = nullptr;
            SetLastError(ERROR_INVALID_HANDLE);
            return;
        }
        file_->lanes[lane_].lock();
    }
    ~FileCall() {
        if (file_ == nullptr) return;
        file_->lanes[lane_].unlock();
        file_->Leave();
    }
    FileCall(const FileCall&) = delete;
    FileCall& operator=(const FileCall&) = delete;

    explicit operator bool() const { return file_ != nullptr; }
    Device& device() const { return *file_->device; }
    FileObject& file() const { return *file_; }
    // Shared ownership of the file, for what outlives the call (an overlapped transfer).
    std::shared_ptr<FileObject> shared() const { return std::static_pointer_cast<FileObject>(ref_); }

private:
    std::shared_ptr<HandleObject> ref_;  // keeps the file alive until after Leave
    FileObject* file_;
    const Lane lane_;
};

// Runs one device method other than a read or write on the handle's device, turning its answer
// into the Win32 one.
template <typename Call>
BOOL Dispatch(HANDLE h, Call&& call) {
    try {
        FileCall file(h, kCommLane);
        if (!file) return FALSE;
        DWORD error = ERROR_SUCCESS;
        if (call(file.device(), &error)) return TRUE;
        return CallFails(OrGeneralFailure(error));
    } catch (const std::bad_alloc&) {
        return CallFails(ERROR_NOT_ENOUGH_MEMORY);
    } catch (const std::exception&) {
        return CallFails(ERROR_GEN_FAILURE);
    }
}

// Starts an overlapped transfer; the Win32 answer of ReadFile/WriteFile on an overlapped handle.
template <typename Start>
BOOL StartTransfer(FileCall& call, LPOVERLAPPED ov, LPDWORD count, Start&& start) {
    const std::shared_ptr<FileObject> file = call.shared();
    // The event is taken now, as Windows takes it: a handle that is no event is refused.
    std::shared_ptr<HandleObject> event;
    if (ov->hEvent != nullptr) {
        event = LookupHandle(ov->hEvent, HandleKind::Event);
        if (!event) return FALSE;
        ResetEventObject(event.get());
    }
    __atomic_store_n(&ov->InternalHigh, ULONG_PTR{0}, __ATOMIC_RELAXED);
    __atomic_store_n(&ov->Internal, kStatusPending, __ATOMIC_RELEASE);
    if (!file->Enter()) return CallFails(ERROR_INVALID_HANDLE);  // counted for the transfer itself
    Transfer* t = new (std::nothrow) Transfer(file, ov, std::move(event));
    if (t == nullptr) {
        file->Leave();
        return CallFails(ERROR_NOT_ENOUGH_MEMORY);
    }
    {
        std::lock_guard<std::mutex> guard(file->pendingLock);
        try {
            file->pending.push_back(t);
        } catch (const std::bad_alloc&) {
            delete t;
            file->Leave();
            return CallFails(ERROR_NOT_ENOUGH_MEMORY);
        }
    }
    DWORD error = ERROR_SUCCESS;
    if (!start(call.device(), t, &error)) {
        error = OrGeneralFailure(error);
        {
            std::lock_guard<std::mutex> guard(file->pendingLock);
            auto& p = file->pending;
            p.erase(std::remove(p.begin(), p.end(), t), p.end());
        }
        __atomic_store_n(&ov->Internal, kErrorMark | error, __ATOMIC_RELEASE);
        delete t;
        file->Leave();
        return CallFails(error);
    }
    // Finished while starting: answered at once, as Windows answers a transfer it completed
    // synchronously (the event is set all the same).
    if (t->done.load(std::memory_order_acquire)) {
        const ULONG_PTR status = __atomic_load_n(&ov->Internal, __ATOMIC_ACQUIRE);
        if (count != nullptr) *count = static_cast<DWORD>(ov->InternalHigh);
        t->Release();
        if (status != 0) return CallFails(static_cast<DWORD>(status & 0xFFFF));
        SetLastError(ERROR_SUCCESS);
        return TRUE;
    }
    t->Release();
    return CallFails(ERROR_IO_PENDING);
}

}  // namespace
}  // namespace caldrix_posix

using namespace caldrix_posix;

HANDLE CreateFileA(LPCSTR name, DWORD access, DWORD shareMode, LPSECURITY_ATTRIBUTES,
                   DWORD creation, DWORD flags, HANDLE) {
    if (name == nullptr || name[0] == '\0') {
        SetLastError(ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    try {
        std::vector<Registration> providers = Registrations();
        for (DeviceProvider* host : {&HidrawProvider(), &UsblpProvider(), &TtyProvider()}) {
            providers.push_back(Registration{host, nullptr});
        }
        for (const Registration& r : providers) {
            std::unique_ptr<Device> device;
            DWORD error = ERROR_SUCCESS;
            OpenResult result = OpenResult::NotMine;
            if (r.hooks != nullptr) {
                result = r.hooks->Opening(name, access, shareMode, creation, flags, &device,
                                          &error);
            }
            if (result == OpenResult::NotMine) {
                result = r.provider->Open(name, access, shareMode, flags, &device, &error);
            }
            switch (result) {
            case OpenResult::NotMine:
                continue;
            case OpenResult::Failed:
                SetLastError(OrGeneralFailure(error));
                return INVALID_HANDLE_VALUE;
            case OpenResult::Opened:
                break;
            }
            if (!device) {
                SetLastError(ERROR_GEN_FAILURE);
                return INVALID_HANDLE_VALUE;
            }
            // From here the file object owns the device and closes it if registering fails.
            auto file = std::make_shared<FileObject>(std::move(device),
                                                     (flags & FILE_FLAG_OVERLAPPED) != 0);
            HANDLE h = RegisterHandle(file);
            if (h == nullptr) return INVALID_HANDLE_VALUE;
            SetLastError(ERROR_SUCCESS);
            return h;
        }
        SetLastError(ERROR_FILE_NOT_FOUND);
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return INVALID_HANDLE_VALUE;
}

namespace {

// ReadFile and WriteFile: an overlapped transfer on an overlapped handle, else one synchronous
// call of the device, `start` or `run` for the direction.
template <typename Start, typename Run>
BOOL MoveBytes(HANDLE file, Lane lane, const void* buffer, DWORD n, LPDWORD count,
               LPOVERLAPPED overlapped, Start&& start, Run&& run) {
    if (count != nullptr) *count = 0;
    try {
        FileCall call(file, lane);
        if (!call) return FALSE;
        if (buffer == nullptr && n != 0) return CallFails(ERROR_NOACCESS);
        if (call.file().overlapped) {
            if (overlapped == nullptr) return CallFails(ERROR_INVALID_PARAMETER);
            return StartTransfer(call, overlapped, count, start);
        }
        if (overlapped != nullptr || count == nullptr) return CallFails(ERROR_INVALID_PARAMETER);
        DWORD moved = 0, error = ERROR_SUCCESS;
        const BOOL ok = run(call.device(), &moved, &error);
        *count = std::min(moved, n);
        if (ok) return TRUE;
        return CallFails(OrGeneralFailure(error));
    } catch (const std::bad_alloc&) {
        return CallFails(ERROR_NOT_ENOUGH_MEMORY);
    }
}

}  // namespace

BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    return MoveBytes(
        file, kReadLane, buffer, toRead, read, overlapped,
        [&](Device& d, IoCompletion* done, DWORD* error) {
            return d.StartRead(buffer, toRead, done, error);
        },
        [&](Device& d, DWORD* got, DWORD* error) { return d.Read(buffer, toRead, got, error); });
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped) {
    return MoveBytes(
        file, kWriteLane, buffer, toWrite, written, overlapped,
        [&](Device& d, IoCompletion* done, DWORD* error) {
            return d.StartWrite(buffer, toWrite, done, error);
        },
        [&](Device& d, DWORD* done, DWORD* error) { return d.Write(buffer, toWrite, done, error); });
}

BOOL GetOverlappedResult(HANDLE file, LPOVERLAPPED overlapped, LPDWORD transferred, BOOL wait) {
    if (overlapped == nullptr || transferred == nullptr) return CallFails(ERROR_INVALID_PARAMETER);
    ULONG_PTR status = __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
    // Seen done, its event is set too: both were published in one step under the lock that
    // every reset and wait takes, so a reset now is never undone by the transfer that ended.
    if (status == kStatusPending) {
        if (!wait) return CallFails(ERROR_IO_INCOMPLETE);
        if (overlapped->hEvent != nullptr) {
            if (WaitForSingleObject(overlapped->hEvent, INFINITE) == WAIT_FAILED) return FALSE;
        } else {
            // Windows waits on the file handle itself; a transfer without an event is rare
            // enough here to be polled for.
            if (!Lookup<FileObject>(file, HandleKind::File)) return FALSE;
            while (__atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE) == kStatusPending) {
                Sleep(1);
            }
        }
        status = __atomic_load_n(&overlapped->Internal, __ATOMIC_ACQUIRE);
        // A manual-reset event set by something else: the transfer is still running.
        if (status == kStatusPending) return CallFails(ERROR_IO_INCOMPLETE);
    }
    *transferred = static_cast<DWORD>(__atomic_load_n(&overlapped->InternalHigh, __ATOMIC_RELAXED));
    if (status != 0) return CallFails(static_cast<DWORD>(status & 0xFFFF));
    return TRUE;
}

BOOL CancelIoEx(HANDLE h, LPOVERLAPPED overlapped) {
    std::shared_ptr<FileObject> file = Lookup<FileObject>(h, HandleKind::File);
    if (!file) return FALSE;
    // Counted like a call, so the device is not closed while Cancel runs; a closed handle has
    // had everything cancelled already.
    if (!file->Enter()) return CallFails(ERROR_INVALID_HANDLE);
    bool found = false;
    if (overlapped != nullptr) {
        if (Transfer* t = file->FindPending(overlapped)) {
            found = true;
            file->device->Cancel(t);
            t->Release();
        }
    } else if (file->busy.load() > 1) {
        found = true;
        file->device->Cancel(nullptr);
    }
    file->Leave();
    if (!found) return CallFails(ERROR_NOT_FOUND);
    return TRUE;
}

// In the read lane: a wait and a read of one port take turns, as the terminal's wake descriptor
// for its input side serves one waiter at a time. A close cancels the wait like a read; `stop`
// is looked at first, and its later setting reaches the wait through that cancel.
DWORD WaitCommInput(HANDLE h, HANDLE stop, DWORD ms) {
    if (stop != nullptr && WaitForSingleObject(stop, 0) == WAIT_OBJECT_0) return WAIT_OBJECT_0 + 1;
    try {
        FileCall call(h, kReadLane);
        if (!call) return WAIT_FAILED;
        DWORD outcome = WAIT_FAILED, error = ERROR_SUCCESS;
        if (call.device().WaitInput(ms, &outcome, &error)) return outcome;
        CallFails(OrGeneralFailure(error));
    } catch (const std::bad_alloc&) {
        CallFails(ERROR_NOT_ENOUGH_MEMORY);
    }
    return WAIT_FAILED;
}

BOOL caldrix_posix::DeviceHidDescriptor(HANDLE h, HidDescriptor* out) {
    return Dispatch(h, [&](Device& d, DWORD* error) { return d.GetHidDescriptor(out, error); });
}

// The comm calls check their pointers before the handle, as the Windows wrappers do, and hand
// the device only valid pointers.

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    if (dcb == nullptr) return CallFails(ERROR_INVALID_PARAMETER);
    return Dispatch(file, [&](Device& d, DWORD* error) { return d.GetCommState(dcb, error); });
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    if (dcb == nullptr) return CallFails(ERROR_INVALID_PARAMETER);
    return Dispatch(file, [&](Device& d, DWORD* error) { return d.SetCommState(dcb, error); });
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
    return Dispatch(file, [&](Device& d, DWORD* error) {
        return d.SetupComm(inQueue, outQueue, error);
    });
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    if (timeouts == nullptr) return CallFails(ERROR_INVALID_PARAMETER);
    return Dispatch(file, [&](Device& d, DWORD* error) {
        return d.GetCommTimeouts(timeouts, error);
    });
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    if (timeouts == nullptr) return CallFails(ERROR_INVALID_PARAMETER);
    return Dispatch(file, [&](Device& d, DWORD* error) {
        return d.SetCommTimeouts(timeouts, error);
    });
}

BOOL PurgeComm(HANDLE file, DWORD flags) {
    return Dispatch(file, [&](Device& d, DWORD* error) { return d.PurgeComm(flags, error); });
}

// Both out-parameters are optional, as on Windows.
BOOL ClearCommError(HANDLE file, LPDWORD errors, LPCOMSTAT stat) {
    return Dispatch(file, [&](Device& d, DWORD* error) -> BOOL {
        DWORD lineErrors = 0;
        COMSTAT status = {};
        if (!d.ClearCommError(&lineErrors, &status, error)) return FALSE;
        if (errors != nullptr) *errors = lineErrors;
        if (stat != nullptr) *stat = status;
        return TRUE;
    });
}

BOOL GetCommModemStatus(HANDLE file, LPDWORD modemStatus) {
    if (modemStatus == nullptr) return CallFails(ERROR_INVALID_PARAMETER);
    return Dispatch(file, [&](Device& d, DWORD* error) -> BOOL {
        DWORD lines = 0;
        if (!d.GetCommModemStatus(&lines, error)) return FALSE;
        *modemStatus = lines;
        return TRUE;
    });
}

BOOL EscapeCommFunction(HANDLE file, DWORD func) {
    return Dispatch(file, [&](Device& d, DWORD* error) { return d.EscapeCommFunction(func, error); });
}
