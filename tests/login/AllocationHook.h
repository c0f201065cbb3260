// The test program's own operator new and delete, for the boundary tests.
// Every block comes from a heap of its own, so a memory scan can tell the
// program's C++ allocations (the control's among them: it is linked in)
// from the system's; freed blocks can be kept as their owner left them
// (the heap would write its own bookkeeping over their first bytes). On
// the armed thread each allocation is counted, the n-th can be refused with
// std::bad_alloc, and the blocks made there are counted while they live,
// so a leak shows. Allocations inside Windows' (or
// Wine's) own DLLs and the development AppServer do not pass through here.
#pragma once

#include <windows.h>

#include <cstddef>

namespace velmora::test::alloc {

// The heap every block of this program's operator new comes from.
HANDLE Heap();

// Counts the calling thread's allocations from now on and refuses the
// `failAt`-th (0: none), or with `every` each `failAt`-th. One thread at a
// time.
void Arm(size_t failAt, bool every = false);
// Stops counting; how many allocations were asked for while armed.
size_t Disarm();
// Whether a refusal happened during the last arming.
bool Refused();
// Blocks made while armed and not yet freed (by any thread).
long long Outstanding();

// While on, freed blocks stay allocated and untouched; turning it off
// wipes and frees them.
void KeepFreedBlocks(bool keep);
// Whether the heap block starting at `block` is one kept after being freed.
bool IsKeptBlock(const void* block);

}  // namespace velmora::test::alloc
