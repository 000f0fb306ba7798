// The channel's kernel objects and clock for the native build (see
// channel/sync.h), made of the C++ thread library so that the channel life
// runs under ASan, UBSan and TSan. Every object lives in one table under one
// lock with one condition variable: a wait re-checks its objects whenever
// anything is set, released or ends. Handles are checked against the table,
// so a wait on, or a close of, a handle that is not open fails as it does on
// Windows. Named objects of the same kind share one object, as on Windows
// within one process.
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "channel/sync.h"
#include "native_sync_control.h"

namespace {

enum class Kind { Event, Mutex, Thread };

struct Object {
    Kind kind;
    std::string name;
    bool set = false;             // event: set; thread: ended
    std::thread::id holder;       // mutex: its holder, empty when free
    uint32_t depth = 0;           // mutex: times taken by the holder
    bool abandoned = false;       // mutex: its holder ended holding it
};

std::mutex g_lock;
std::condition_variable g_changed;
// Open handles: each handle is a key of its own; objects may be shared.
std::map<Handle, std::shared_ptr<Object>> g_handles;
std::atomic<double> g_scale{1.0};
uint32_t g_nextThreadId = 1;
const auto g_epoch = std::chrono::steady_clock::now();

std::chrono::nanoseconds Scaled(uint32_t milliseconds) {
    return std::chrono::nanoseconds(static_cast<int64_t>(milliseconds * 1e6 * g_scale.load()));
}

Handle Open(std::shared_ptr<Object> object) {
    // A fresh address for every handle, never reused while it is open.
    Handle handle = new char;
    g_handles.emplace(handle, std::move(object));
    return handle;
}

std::shared_ptr<Object> Find(Handle handle) {
    const auto at = g_handles.find(handle);
    return at == g_handles.end() ? nullptr : at->second;
}

Handle Create(Kind kind, const char* name) {
    std::lock_guard<std::mutex> hold(g_lock);
    if (name != nullptr) {
        for (const auto& [handle, object] : g_handles) {
            if (object->name != name) continue;
            // A name held by an object of another kind cannot be created.
            return object->kind == kind ? Open(object) : nullptr;
        }
    }
    auto object = std::make_shared<Object>();
    object->kind = kind;
    if (name != nullptr) object->name = name;
    return Open(std::move(object));
}

// Takes the object for the calling thread if it is set (or free); the
// result for index `i`, or kWaitTimeout when it is not.
uint32_t TryTake(Object& object, uint32_t i) {
    switch (object.kind) {
        case Kind::Event:
        case Kind::Thread:
            return object.set ? kWaitObject0 + i : kWaitTimeout;
        case Kind::Mutex: {
            const std::thread::id me = std::this_thread::get_id();
            if (object.depth != 0 && object.holder != me) return kWaitTimeout;
            object.holder = me;
            ++object.depth;
            if (!object.abandoned) return kWaitObject0 + i;
            object.abandoned = false;
            return kWaitAbandoned0 + i;
        }
    }
    return kWaitFailed;
}

// A thread that ends holding mutexes leaves them abandoned, as on Windows.
void AbandonHeldBy(std::thread::id thread) {
    for (auto& [handle, object] : g_handles) {
        if (object->kind != Kind::Mutex || object->depth == 0 || object->holder != thread) continue;
        object->depth = 0;
        object->holder = std::thread::id();
        object->abandoned = true;
    }
}

}  // namespace

Handle SyncCreateEvent(const char* name) { return Create(Kind::Event, name); }

Handle SyncCreateMutex(const char* name) { return Create(Kind::Mutex, name); }

bool SyncSetEvent(Handle event) {
    std::lock_guard<std::mutex> hold(g_lock);
    const auto object = Find(event);
    if (object == nullptr || object->kind != Kind::Event) return false;
    object->set = true;
    g_changed.notify_all();
    return true;
}

bool SyncReleaseMutex(Handle mutex) {
    std::lock_guard<std::mutex> hold(g_lock);
    const auto object = Find(mutex);
    if (object == nullptr || object->kind != Kind::Mutex || object->depth == 0 ||
        object->holder != std::this_thread::get_id()) {
        return false;
    }
    if (--object->depth == 0) object->holder = std::thread::id();
    g_changed.notify_all();
    return true;
}

bool SyncClose(Handle handle) {
    std::lock_guard<std::mutex> hold(g_lock);
    const auto at = g_handles.find(handle);
    if (at == g_handles.end()) return false;
    g_handles.erase(at);
    delete static_cast<char*>(handle);
    return true;
}

unsigned long SyncThreadExit(unsigned long code, void*) { return code; }

Handle SyncStartThread(SyncThreadMain main, void* argument, uint32_t, uint32_t* id, void** moduleHeld) {
    *moduleHeld = nullptr;  // no module to hold natively
    std::shared_ptr<Object> object;
    Handle handle;
    {
        std::lock_guard<std::mutex> hold(g_lock);
        object = std::make_shared<Object>();
        object->kind = Kind::Thread;
        handle = Open(object);
        if (id != nullptr) *id = g_nextThreadId++;
    }
    std::thread([object, main, argument] {
        main(argument);
        std::lock_guard<std::mutex> hold(g_lock);
        AbandonHeldBy(std::this_thread::get_id());
        object->set = true;
        g_changed.notify_all();
    }).detach();
    return handle;
}

uint32_t SyncWaitAny(const Handle* handles, uint32_t count, uint32_t milliseconds) {
    std::unique_lock<std::mutex> hold(g_lock);
    const auto deadline = std::chrono::steady_clock::now() + Scaled(milliseconds);
    for (;;) {
        for (uint32_t i = 0; i < count; ++i) {
            const auto object = Find(handles[i]);
            if (object == nullptr) return kWaitFailed;
            const uint32_t result = TryTake(*object, i);
            if (result != kWaitTimeout) return result;
        }
        if (milliseconds == kWaitForever) {
            g_changed.wait(hold);
        } else if (g_changed.wait_until(hold, deadline) == std::cv_status::timeout) {
            // One last look: what was set just as the time ran out counts.
            for (uint32_t i = 0; i < count; ++i) {
                const auto object = Find(handles[i]);
                if (object == nullptr) return kWaitFailed;
                const uint32_t result = TryTake(*object, i);
                if (result != kWaitTimeout) return result;
            }
            return kWaitTimeout;
        }
    }
}

uint32_t SyncWaitOne(Handle handle, uint32_t milliseconds) { return SyncWaitAny(&handle, 1, milliseconds); }

void SyncSleep(uint32_t milliseconds) { std::this_thread::sleep_for(Scaled(milliseconds)); }

uint64_t SyncNowMilliseconds() {
    const double real = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - g_epoch).count();
    return static_cast<uint64_t>(real / g_scale.load());
}

namespace native_sync {

void SetTimeScale(double scale) { g_scale.store(scale); }

int LiveObjects() {
    std::lock_guard<std::mutex> hold(g_lock);
    return static_cast<int>(g_handles.size());
}

}  // namespace native_sync
