// The records a port's slot holds for its receive side: a received packet and the queue packets
// wait in. Only their layout lives here; how packets are made, queued and pooled is the HID
// backend's (src/hid/hid_packets.h).
#pragma once

#include <stdint.h>

#include "../platform/win32.h"

#define RX_PAYLOAD_SIZE 800

struct RxPacket {
    RxPacket* next;
    uint8_t status;
    int32_t length;
    uint8_t payload[RX_PAYLOAD_SIZE];
};

struct PacketQueue {
    RxPacket* head;
    RxPacket* tail;
    int32_t count;
    int32_t byteTotal;
    HANDLE hQueueLock;
};
