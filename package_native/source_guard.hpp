// A source file cut short while it is mapped makes every read past its new end a SIGBUS, which
// would kill the process. The guard keeps a fixed table of registered mappings and a process-wide
// SIGBUS handler: a fault inside a registered range maps zero pages over the rest of that range,
// flags it and returns, so the read is retried and sees zeros; the readers look at the flag when
// they finish (and at their periodic checks) and fail instead of using what they read. Any other
// SIGBUS goes to the action that was there before.
//
// No Python here: the table and the handler are plain C++, usable from any thread. The handler
// touches only atomics and makes only async-signal-safe calls (a raw mmap, sigaction, raise).
#pragma once

#include <cstddef>
#include <cstdint>

namespace quorle::native::source_guard {

/// How many mappings can be guarded at once (each holds an open descriptor, so a process rarely
/// has more).
inline constexpr std::size_t SLOTS = 1024;

/// Installs the handler unless it is the current SIGBUS action; the action it replaces becomes
/// the one to hand other faults to. Cheap: call it before each guarded read, since others
/// (faulthandler, test runners) may have installed theirs over it meanwhile.
void ensure_installed();

/// Registers [begin, begin + length) (a page-aligned mapping) and its owner; the slot, or -1 when
/// the table is full. Call right after mapping, and unregister before unmapping.
int add(const void* begin, std::size_t length, const void* owner);
void remove(int slot);

/// Whether a read in the slot's range has faulted since it was registered.
bool faulted(int slot);

/// The slot whose range holds `p`, or -1. Stable while the caller keeps the mapping alive.
int find(const void* p);
/// The owner given to add(); null for a free slot.
const void* owner(int slot);

}  // namespace quorle::native::source_guard
