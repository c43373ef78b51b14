#include "hid_packets.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "../fail/log.h"
#include "hid.h"

PacketQueue FreePacketPool;
PacketPoolShare PoolShare;

static std::atomic<PacketAllocator> g_allocator{nullptr};

void InitQueue(PacketQueue* queue) {
    queue->head = nullptr;
    queue->tail = nullptr;
    queue->count = 0;
    queue->byteTotal = 0;
}

void LockQueue(PacketQueue* queue) { WaitForSingleObject(queue->hQueueLock, INFINITE); }

void UnlockQueue(PacketQueue* queue) { ReleaseMutex(queue->hQueueLock); }

void AppendPacket(PacketQueue* queue, RxPacket* packet) {
    LockQueue(queue);
    packet->next = nullptr;
    if (queue->tail != nullptr) {
        queue->tail->next = packet;
    } else {
        queue->head = packet;
    }
    queue->tail = packet;
    queue->count++;
    queue->byteTotal += packet->length;
    UnlockQueue(queue);
}

RxPacket* PopPacket(PacketQueue* queue) {
    LockQueue(queue);
    RxPacket* packet = queue->head;
    if (packet != nullptr) {
        queue->head = packet->next;
        queue->count--;
        queue->byteTotal -= packet->length;
    }
    if (queue->head == nullptr) queue->tail = nullptr;
    UnlockQueue(queue);
    return packet;
}

void FlushQueue(PacketQueue* queue) {
    // Each pop is finished before the append starts: no code holds two queue locks.
    while (RxPacket* packet = PopPacket(queue)) AppendPacket(&FreePacketPool, packet);
}

void InitPacketPool(void) {
    InitQueue(&FreePacketPool);
    FreePacketPool.hQueueLock = CreateMutexA(nullptr, FALSE, nullptr);
    PoolShare.ports = 0;
    PoolShare.owned = 0;
}

void InitUSB(void) {
    LogLine(" InitUSB: \n");

    // The packets to make are reserved under the pool's lock, so two opens at once never both
    // make the same shortfall; they are made and appended outside it.
    LockQueue(&FreePacketPool);
    PoolShare.ports++;
    int32_t missing = PoolShare.ports * RX_PACKET_COUNT - PoolShare.owned;
    if (missing < 0) missing = 0;
    PoolShare.owned += missing;
    UnlockQueue(&FreePacketPool);

    const PacketAllocator allocator = g_allocator.load();
    for (int32_t i = 0; i < missing; ++i) {
        const int line = __LINE__ + 1;
        void* block = allocator != nullptr ? allocator(sizeof(RxPacket)) : malloc(sizeof(RxPacket));
        if (block == nullptr) {
            LogLine("%s(%d)InitUSB: malloc() failed for rx packet %d\n", __FILE__, line,
                   static_cast<int>(i));
            LockQueue(&FreePacketPool);
            PoolShare.owned--;
            UnlockQueue(&FreePacketPool);
            continue;
        }
        RxPacket* packet = static_cast<RxPacket*>(block);
        memset(packet, 0, sizeof *packet);
        AppendPacket(&FreePacketPool, packet);
    }
}

void ReleasePoolShare(void) {
    LockQueue(&FreePacketPool);
    if (PoolShare.ports > 0) PoolShare.ports--;
    UnlockQueue(&FreePacketPool);
}

void SetPacketAllocator(PacketAllocator allocator) { g_allocator.store(allocator); }
