// CreateFileA over the device providers, and the file and comm calls on the handles it makes.
#include <algorithm>
#include <exception>
#include <mutex>
#include <new>
#include <vector>

#include "handles.h"
#include "provider.h"

namespace caldrix_posix {

// ---- what a device does not support ------------------------------------------------------------

static BOOL Refuse(DWORD* error) {
    if (error != nullptr) *error = ERROR_INVALID_FUNCTION;
    return FALSE;
}

BOOL Device::Read(void*, DWORD, DWORD*, DWORD* error) { return Refuse(error); }
BOOL Device::Write(const void*, DWORD, DWORD*, DWORD* error) { return Refuse(error); }
BOOL Device::GetCommState(DCB*, DWORD* error) { return Refuse(error); }
BOOL Device::SetCommState(const DCB*, DWORD* error) { return Refuse(error); }
BOOL Device::SetupComm(DWORD, DWORD, DWORD* error) { return Refuse(error); }
BOOL Device::GetCommTimeouts(COMMTIMEOUTS*, DWORD* error) { return Refuse(error); }
BOOL Device::SetCommTimeouts(const COMMTIMEOUTS*, DWORD* error) { return Refuse(error); }
BOOL Device::PurgeComm(DWORD, DWORD* error) { return Refuse(error); }
BOOL Device::ClearCommError(DWORD*, COMSTAT*, DWORD* error) { return Refuse(error); }
BOOL Device::GetCommModemStatus(DWORD*, DWORD* error) { return Refuse(error); }
BOOL Device::EscapeCommFunction(DWORD, DWORD* error) { return Refuse(error); }
BOOL Device::Close(DWORD*) { return TRUE; }
void Device::Cancel(IoCompletion*) {}

BOOL Device::StartRead(void* buf, DWORD n, IoCompletion* done, DWORD* error) {
    DWORD got = 0, code = ERROR_SUCCESS;
    const BOOL ok = Read(buf, n, &got, &code);
    if (!ok && got == 0) {
        if (error != nullptr) *error = code != ERROR_SUCCESS ? code : ERROR_GEN_FAILURE;
        return FALSE;
    }
    done->Complete(got, ok ? ERROR_SUCCESS : code);
    return TRUE;
}

BOOL Device::StartWrite(const void* buf, DWORD n, IoCompletion* done, DWORD* error) {
    DWORD put = 0, code = ERROR_SUCCESS;
    if (!Write(buf, n, &put, &code)) {
        if (error != nullptr) *error = code != 0 ? code : ERROR_GEN_FAILURE;
        return FALSE;
    }
    done->Complete(put, ERROR_SUCCESS);
    return TRUE;
}

// ---- providers ---------------------------------------------------------------------------------

namespace {

struct ProviderList {
    std::mutex lock;
    std::vector<DeviceProvider*> registered;  // most recent first
};

ProviderList& Providers() {
    static ProviderList* list = new ProviderList;
    return *list;
}

}  // namespace

void RegisterDeviceProvider(DeviceProvider* provider) {
    if (provider == nullptr) return;
    ProviderList& list = Providers();
    std::lock_guard<std::mutex> guard(list.lock);
    auto& r = list.registered;
    r.erase(std::remove(r.begin(), r.end(), provider), r.end());
    r.insert(r.begin(), provider);
}

void UnregisterDeviceProvider(DeviceProvider* provider) {
    ProviderList& list = Providers();
    std::lock_guard<std::mutex> guard(list.lock);
    auto& r = list.registered;
    r.erase(std::remove(r.begin(), r.end(), provider), r.end());
}

// The registered providers, most recent first. Netbios walks them too.
std::vector<DeviceProvider*> RegisteredProviders() {
    ProviderList& list = Providers();
    std::lock_guard<std::mutex> guard(list.lock);
    return list.registered;
}

// ---- file handles ------------------------------------------------------------------------------

namespace {

// An open device behind a file handle. CloseHandle closes the device at once, even while a
// call on another thread is still inside it: the device makes such a call return (a terminal
// wakes its waits), and the call's own reference keeps the object alive until it has. Calls
// that had not reached the device yet are refused with ERROR_INVALID_HANDLE.
struct FileObject : HandleObject {
    FileObject(std::unique_ptr<Device> d, bool isOverlapped)
        : HandleObject(HandleKind::File), device(std::move(d)), overlapped(isOverlapped) {}
    ~FileObject() override {
        if (!closed) {  // never registered: nobody else has seen the device
            DWORD ignored = ERROR_SUCCESS;
            device->Close(&ignored);
        }
    }

    BOOL HandleClosed(DWORD* error) override {
        {
            std::lock_guard<std::mutex> guard(state);
            closed = true;
        }
        return device->Close(error);
    }

    bool Closed() {
        std::lock_guard<std::mutex> guard(state);
        return closed;
    }

    const std::unique_ptr<Device> device;
    const bool overlapped;
    std::mutex state;
    bool closed = false;
    // A handle opened without FILE_FLAG_OVERLAPPED runs one call at a time, as Windows does
    // for synchronous handles: a read waiting for data holds back a write on the same handle.
    std::mutex io;
};

// One call on a file handle, from look-up to return.
class FileCall {
public:
    explicit FileCall(HANDLE h) : file_(Lookup<FileObject>(h, HandleKind::File)) {
        if (!file_) return;
        if (!file_->overlapped) io_ = std::unique_lock<std::mutex>(file_->io);
        if (file_->Closed()) {  // closed while this call waited its turn: as if it came after
            if (io_.owns_lock()) io_.unlock();
            file_.reset();
            SetLastError(ERROR_INVALID_HANDLE);
        }
    }
    FileCall(const FileCall&) = delete;
    FileCall& operator=(const FileCall&) = delete;

    explicit operator bool() const { return file_ != nullptr; }
    Device& device() const { return *file_->device; }

private:
    std::shared_ptr<FileObject> file_;
    std::unique_lock<std::mutex> io_;  // released before file_ lets the object go
};

BOOL Fail(DWORD error) {
    SetLastError(error);
    return FALSE;
}

// Runs one device method on the handle's device, turning its answer into the Win32 one.
template <typename Call>
BOOL Dispatch(HANDLE h, Call&& call) {
    try {
        FileCall file(h);
        if (!file) return FALSE;
        DWORD error = ERROR_SUCCESS;
        if (call(file.device(), &error)) return TRUE;
        return Fail(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
    } catch (const std::bad_alloc&) {
        return Fail(ERROR_NOT_ENOUGH_MEMORY);
    } catch (const std::exception&) {
        return Fail(ERROR_GEN_FAILURE);
    }
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
        std::vector<DeviceProvider*> providers = RegisteredProviders();
        providers.push_back(&TtyProvider());
        for (DeviceProvider* provider : providers) {
            std::unique_ptr<Device> device;
            DWORD error = ERROR_SUCCESS;
            switch (provider->OpenWithCreation(name, access, shareMode, creation, flags, &device,
                                               &error)) {
            case OpenResult::NotMine:
                continue;
            case OpenResult::Failed:
                SetLastError(error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE);
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

// Overlapped transfers are refused for now: no device here completes I/O asynchronously yet.
BOOL ReadFile(HANDLE file, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED overlapped) {
    if (read != nullptr) *read = 0;
    return Dispatch(file, [&](Device& device, DWORD* error) -> BOOL {
        if (overlapped != nullptr || read == nullptr) {
            *error = ERROR_INVALID_PARAMETER;
            return FALSE;
        }
        if (buffer == nullptr && toRead != 0) {
            *error = ERROR_NOACCESS;
            return FALSE;
        }
        DWORD got = 0;
        const BOOL ok = device.Read(buffer, toRead, &got, error);
        *read = std::min(got, toRead);
        return ok;
    });
}

BOOL WriteFile(HANDLE file, LPCVOID buffer, DWORD toWrite, LPDWORD written,
               LPOVERLAPPED overlapped) {
    if (written != nullptr) *written = 0;
    return Dispatch(file, [&](Device& device, DWORD* error) -> BOOL {
        if (overlapped != nullptr || written == nullptr) {
            *error = ERROR_INVALID_PARAMETER;
            return FALSE;
        }
        if (buffer == nullptr && toWrite != 0) {
            *error = ERROR_NOACCESS;
            return FALSE;
        }
        DWORD done = 0;
        const BOOL ok = device.Write(buffer, toWrite, &done, error);
        *written = std::min(done, toWrite);
        return ok;
    });
}

// The comm calls check their pointers before the handle, as the Windows wrappers do, and hand
// the device only valid pointers.

BOOL GetCommState(HANDLE file, LPDCB dcb) {
    if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Dispatch(file, [&](Device& d, DWORD* error) { return d.GetCommState(dcb, error); });
}

BOOL SetCommState(HANDLE file, LPDCB dcb) {
    if (dcb == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Dispatch(file, [&](Device& d, DWORD* error) { return d.SetCommState(dcb, error); });
}

BOOL SetupComm(HANDLE file, DWORD inQueue, DWORD outQueue) {
    return Dispatch(file, [&](Device& d, DWORD* error) {
        return d.SetupComm(inQueue, outQueue, error);
    });
}

BOOL GetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
    return Dispatch(file, [&](Device& d, DWORD* error) {
        return d.GetCommTimeouts(timeouts, error);
    });
}

BOOL SetCommTimeouts(HANDLE file, LPCOMMTIMEOUTS timeouts) {
    if (timeouts == nullptr) return Fail(ERROR_INVALID_PARAMETER);
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
    if (modemStatus == nullptr) return Fail(ERROR_INVALID_PARAMETER);
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
