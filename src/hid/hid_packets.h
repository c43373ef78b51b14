// Receive packets and the queues they move between: one library-wide pool of spare packets and
// one receive queue per open HID port. A packet is always in exactly one place: the pool, a
// receive queue, the hand of a receive thread or the hand of a read.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include "../platform/win32.h"
#include "../ports/port_records.h"

#define RX_PACKET_COUNT 20

extern PacketQueue FreePacketPool;

// Whom the pool serves: the HID ports opened and not yet gone, and the packets made for them.
// Guarded by the pool's lock. Packets are never freed, so `owned` only grows, and only while
// more than owned / RX_PACKET_COUNT ports are open at once.
struct PacketPoolShare {
    int32_t ports;
    int32_t owned;
};
extern PacketPoolShare PoolShare;

// Empties the record only; the packets it held are not looked at.
void InitQueue(PacketQueue* queue);
void LockQueue(PacketQueue* queue);
void UnlockQueue(PacketQueue* queue);
void AppendPacket(PacketQueue* queue, RxPacket* packet);
// The head packet, or null; the packet's `next` is left as it was.
RxPacket* PopPacket(PacketQueue* queue);
// Every packet of the queue back to the pool, in queue order, one queue lock at a time.
void FlushQueue(PacketQueue* queue);

// Run by every HID open: counts the new port and makes only the packets that bring the pool's
// packets up to RX_PACKET_COUNT for each port it serves. The pool is never emptied, since the
// receive threads of open ports take from it and give back to it at any time.
void InitUSB(void);
// A port counted by InitUSB is gone: its open failed, or its close has given back every
// packet it held. Its packets stay in the pool for the next port.
void ReleasePoolShare(void);

// How packets are made; a test replaces it to fail chosen allocations. Null restores malloc.
typedef void* (*PacketAllocator)(size_t size);
void SetPacketAllocator(PacketAllocator allocator);
