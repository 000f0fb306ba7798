// The table of live channels (see live_channels.h).
#include "channel/live_channels.h"

#include <atomic>

#include "channel/sync.h"

namespace {

ChannelSlot g_slots[kMaxLiveChannels];
int32_t g_instanceCount;

// A lock that needs no initialisation (the library does nothing when it is
// loaded) and works on every Windows the host runs on. It is held only for a
// scan of the table; nothing inside it blocks or logs.
long g_tableLock;

class TableLock {
public:
    TableLock() {
        for (unsigned spins = 0;; ++spins) {
            long expected = 0;
            if (std::atomic_ref<long>(g_tableLock).compare_exchange_strong(expected, 1, std::memory_order_acquire))
                break;
            SyncSleep(spins < 64 ? 0 : 1);
        }
    }
    ~TableLock() { std::atomic_ref<long>(g_tableLock).store(0, std::memory_order_release); }
    TableLock(const TableLock&) = delete;
    TableLock& operator=(const TableLock&) = delete;
};

// The ports the driver opened, by record (see NoteOwnPort).
struct OwnPort {
    const VpiChannel* channel;
    Handle port;
};
OwnPort g_ownPorts[kMaxLiveChannels];

ChannelSlot* FindLocked(const VpiChannel* channel) {
    for (ChannelSlot& slot : g_slots) {
        if (slot.state != SlotState::Free && slot.channel == channel) return &slot;
    }
    return nullptr;
}

}  // namespace

StartClaim ClaimForStart(VpiChannel* channel, ChannelSlot** slot, int32_t* number) {
    TableLock hold;
    if (ChannelSlot* own = FindLocked(channel)) {
        *number = own->number;
        if (own->state != SlotState::Idle) return StartClaim::Started;
        own->state = SlotState::Starting;
        *slot = own;
        return StartClaim::Again;
    }
    for (int32_t i = 0; i < kMaxLiveChannels; ++i) {
        ChannelSlot& empty = g_slots[i];
        if (empty.state != SlotState::Free) continue;
        empty = ChannelSlot{};
        empty.channel = channel;
        empty.state = SlotState::Starting;
        empty.number = i + 1;
        ++g_instanceCount;
        *slot = &empty;
        *number = empty.number;
        return StartClaim::Fresh;
    }
    return StartClaim::Full;
}

void SettleStart(ChannelSlot* slot, bool running) {
    TableLock hold;
    slot->state = running ? SlotState::Running : SlotState::Idle;
}

ChannelSlot* ClaimForEnd(VpiChannel* channel) {
    TableLock hold;
    ChannelSlot* slot = FindLocked(channel);
    if (slot == nullptr || (slot->state != SlotState::Running && slot->state != SlotState::Idle)) return nullptr;
    slot->state = SlotState::Ending;
    return slot;
}

int32_t ReleaseSlot(ChannelSlot* slot) {
    TableLock hold;
    *slot = ChannelSlot{};
    return --g_instanceCount;
}

int32_t InstanceCount() {
    TableLock hold;
    return g_instanceCount;
}

bool NoteOwnPort(const VpiChannel* channel, Handle port) {
    TableLock hold;
    OwnPort* free = nullptr;
    for (OwnPort& own : g_ownPorts) {
        if (own.channel == channel) {
            own.port = port;
            return true;
        }
        if (own.channel == nullptr && free == nullptr) free = &own;
    }
    if (free == nullptr) return false;
    *free = OwnPort{channel, port};
    return true;
}

bool TakeOwnPort(const VpiChannel* channel, Handle port) {
    TableLock hold;
    for (OwnPort& own : g_ownPorts) {
        if (own.channel != channel) continue;
        const bool ours = own.port == port;
        own = OwnPort{nullptr, nullptr};
        return ours;
    }
    return false;
}
