// The device watch: arrivals and removals of the ports the listing gives, told without polling.
// Window messages are not worth emulating over POSIX, so the watch is an interface of its own
// with one implementation per system: kernel device events on a netlink socket (watch_linux.cpp),
// device notifications to a message-only window (watch_windows.cpp). It says only which kinds of
// port changed; the caller lists them again and compares, so a lost, doubled or unknown event
// can never make a wrong notice.
#pragma once

#include <stdint.h>

#include <string>

namespace caldrix_watch {

// Kinds of port, as bits of an answer.
enum : int32_t { kSerial = 1, kHid = 2, kPrinter = 4, kAllKinds = 7 };

// How many watches may be open at once in a process.
constexpr int32_t kMaxWatches = 16;

// Starts a watch: its id (0 or more), or -1 with *error the system's code of what failed.
int32_t OpenWatch(uint32_t* error);

// Waits until ports of some kinds came or went since the last answer (answers their bits), `ms`
// pass (0; INFINITE is 0xFFFFFFFF: no limit), or the watch is stopped or not open (-1). It
// blocks in the system with no periodic wakeup.
int32_t AwaitWatch(int32_t id, uint32_t ms);

// Ends a wait on the watch at once, from any thread; later waits answer -1. Does nothing for an
// id that is not open.
void StopWatch(int32_t id);

// Stops the watch and gives back what it holds once no wait is inside. Its id may then be handed
// out again. Does nothing for an id that is not open.
void CloseWatch(int32_t id);

}  // namespace caldrix_watch
