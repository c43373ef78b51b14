// The handle registry: making, looking up and naming handles, and CloseHandle.
#include "handles.h"

#include <sched.h>
#include <string.h>

#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>

#include "provider.h"

namespace caldrix_posix {
namespace {

// A handle value names an entry of a table and the generation of that entry: a closed handle's
// entry is reused under a new generation, so a stale handle cannot name the object made after it
// was closed (short of wrapping the generation). Look-ups take no process-wide lock: the entry's
// own spin lock guards it for the few instructions that copy its object out. Making and closing
// handles is rare and takes the registry lock.
constexpr uintptr_t kFirstHandle = 0x1000;
constexpr unsigned kIndexBits = 18;  // at most 262144 live handles
constexpr uintptr_t kIndexMask = (uintptr_t{1} << kIndexBits) - 1;
constexpr unsigned kChunkBits = 10;
constexpr size_t kChunkSize = size_t{1} << kChunkBits;
constexpr size_t kChunks = size_t{1} << (kIndexBits - kChunkBits);

struct Entry {
    std::atomic<bool> busy{false};
    uintptr_t value = 0;  // the live handle in this entry, 0 when free
    uintptr_t generation = 0;
    std::shared_ptr<HandleObject> object;
};

class EntryGuard {
public:
    explicit EntryGuard(Entry& e) : e_(e) {
        while (e_.busy.exchange(true, std::memory_order_acquire)) {
            while (e_.busy.load(std::memory_order_relaxed)) sched_yield();
        }
    }
    ~EntryGuard() { e_.busy.store(false, std::memory_order_release); }
    EntryGuard(const EntryGuard&) = delete;
    EntryGuard& operator=(const EntryGuard&) = delete;

private:
    Entry& e_;
};

struct Registry {
    std::mutex lock;  // making and closing handles, the free list, the names
    std::atomic<Entry*> chunks[kChunks] = {};
    size_t used = 0;                // entries ever handed out
    std::vector<uint32_t> freeList;  // closed entries, reused first
    std::unordered_map<std::string, std::weak_ptr<HandleObject>> names;
};

// Never destroyed: detached threads may still close handles while the process exits.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

Entry* EntryOf(Registry& r, HANDLE h) {
    const uintptr_t value = reinterpret_cast<uintptr_t>(h);
    if (value < kFirstHandle || (value & 3) != 0) return nullptr;
    const uintptr_t index = ((value - kFirstHandle) >> 2) & kIndexMask;
    Entry* chunk = r.chunks[index >> kChunkBits].load(std::memory_order_acquire);
    return chunk != nullptr ? &chunk[index & (kChunkSize - 1)] : nullptr;
}

// Caller holds the registry lock. Throws std::bad_alloc when no entry can be had.
HANDLE InsertLocked(Registry& r, std::shared_ptr<HandleObject> object) {
    uint32_t index;
    if (!r.freeList.empty()) {
        index = r.freeList.back();
        r.freeList.pop_back();
    } else {
        if (r.used == (size_t{1} << kIndexBits)) throw std::bad_alloc();
        index = static_cast<uint32_t>(r.used);
        std::atomic<Entry*>& chunk = r.chunks[index >> kChunkBits];
        if (chunk.load(std::memory_order_relaxed) == nullptr) {
            chunk.store(new Entry[kChunkSize], std::memory_order_release);
        }
        ++r.used;
    }
    Entry& e = r.chunks[index >> kChunkBits].load(std::memory_order_relaxed)[index & (kChunkSize - 1)];
    EntryGuard guard(e);
    ++e.generation;
    uintptr_t value = kFirstHandle + (((e.generation << kIndexBits) | index) << 2);
    if (value < kFirstHandle) {  // the generation wrapped the address space
        e.generation = 0;
        value = kFirstHandle + (uintptr_t{index} << 2);
    }
    e.value = value;
    e.object = std::move(object);
    return reinterpret_cast<HANDLE>(value);
}

}  // namespace

HANDLE RegisterHandle(std::shared_ptr<HandleObject> object) {
    if (!object) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    Registry& r = TheRegistry();
    try {
        std::lock_guard<std::mutex> guard(r.lock);
        return InsertLocked(r, std::move(object));
    } catch (const std::bad_alloc&) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
}

std::shared_ptr<HandleObject> LookupAnyHandle(HANDLE h) {
    std::shared_ptr<HandleObject> found;
    if (Entry* e = EntryOf(TheRegistry(), h)) {
        EntryGuard guard(*e);
        if (e->value == reinterpret_cast<uintptr_t>(h)) found = e->object;
    }
    if (!found) SetLastError(ERROR_INVALID_HANDLE);
    return found;
}

std::shared_ptr<HandleObject> LookupHandle(HANDLE h, HandleKind kind) {
    std::shared_ptr<HandleObject> found = LookupAnyHandle(h);
    if (found && found->kind != kind) {
        found.reset();
        SetLastError(ERROR_INVALID_HANDLE);
    }
    return found;
}

HANDLE CreateNamedHandle(LPCSTR name, HandleKind kind,
                         const std::function<std::shared_ptr<HandleObject>()>& make) {
    // Windows treats an empty name as no name.
    if (name != nullptr && name[0] == '\0') name = nullptr;
    if (name != nullptr && strnlen(name, 261) > 260) {
        SetLastError(ERROR_FILENAME_EXCED_RANGE);
        return nullptr;
    }
    Registry& r = TheRegistry();
    // Declared first, so that objects are let go after the lock: letting one go may wait on
    // another process, as making one may.
    std::shared_ptr<HandleObject> object;
    std::shared_ptr<HandleObject> made;
    HANDLE h = nullptr;
    DWORD result = ERROR_SUCCESS;
    // A live object of the name, if any; caller holds the registry lock.
    auto takeLive = [&]() {
        if (name == nullptr) return false;
        auto it = r.names.find(name);
        if (it != r.names.end()) object = it->second.lock();
        if (!object) return false;
        if (object->kind != kind) {
            result = ERROR_INVALID_HANDLE;
        } else {
            h = InsertLocked(r, object);
            result = ERROR_ALREADY_EXISTS;
        }
        return true;
    };
    try {
        {
            std::lock_guard<std::mutex> guard(r.lock);
            if (takeLive()) {
                SetLastError(result);
                return h;
            }
        }
        made = make();  // outside the lock
        if (!made) throw std::bad_alloc();
        std::lock_guard<std::mutex> guard(r.lock);
        // Another thread may have made one of the name meanwhile: that one wins, as if it had
        // been made first.
        if (!takeLive()) {
            object = made;
            h = InsertLocked(r, object);
            if (name != nullptr) {
                // Forget names whose objects are gone, so the map stays as small as the set.
                for (auto it = r.names.begin(); it != r.names.end();) {
                    it = it->second.expired() ? r.names.erase(it) : std::next(it);
                }
                r.names[name] = object;
            }
        }
    } catch (const std::bad_alloc&) {
        result = ERROR_NOT_ENOUGH_MEMORY;
        h = nullptr;
    }
    // A handle made before a failed name insert stays valid; only a failure with no handle fails.
    if (h == nullptr && result == ERROR_SUCCESS) result = ERROR_NOT_ENOUGH_MEMORY;
    SetLastError(result);
    return h;
}

}  // namespace caldrix_posix

using namespace caldrix_posix;

BOOL CloseHandle(HANDLE h) {
    Registry& r = TheRegistry();
    Entry* e = EntryOf(r, h);
    std::shared_ptr<HandleObject> object;
    if (e != nullptr) {
        std::lock_guard<std::mutex> guard(r.lock);
        {
            EntryGuard entry(*e);
            if (e->value == reinterpret_cast<uintptr_t>(h)) {
                object = std::move(e->object);
                e->object.reset();
                e->value = 0;
            }
        }
        if (object) {
            const uintptr_t index = ((reinterpret_cast<uintptr_t>(h) - kFirstHandle) >> 2) & kIndexMask;
            try {
                r.freeList.push_back(static_cast<uint32_t>(index));
            } catch (const std::bad_alloc&) {
                // The entry stays unused; the table is large.
            }
        }
    }
    if (!object) return CallFails(ERROR_INVALID_HANDLE);
    // Outside the lock: closing a device may take time, and the object may be destroyed here.
    DWORD error = ERROR_SUCCESS;
    if (!object->HandleClosed(&error)) return CallFails(OrGeneralFailure(error));
    return TRUE;
}

