#ifndef LUMO_NET_MEMORYTUNING_H
#define LUMO_NET_MEMORYTUNING_H

namespace memoryTuning {
// A fast peer's bytes arrive in reads of up to 1 MiB, each in a fresh buffer. The allocator
// would hand those to the system and map them anew every time, and every new page then
// costs a fault; keeping such blocks on its heap makes the receiver keep up with a plain
// copy. Once per process; a no-op where the allocator has no such knobs.
void keepLargeBuffers();
// Gives back to the system what the allocator kept, after peers closed.
void giveBack();
}

#endif
