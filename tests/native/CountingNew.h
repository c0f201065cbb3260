// Counts every allocation of the program that includes this: it replaces
// the global operator new, so exactly one source file of a program may
// include it. Portable, so the same counter serves native tests and the
// benchmarks built for Windows.
#pragma once

#include <atomic>
#include <cstdlib>
#include <new>

namespace velmora::test {

inline std::atomic<long> g_allocations{0};

inline long Allocations() { return g_allocations.load(std::memory_order_relaxed); }

}  // namespace velmora::test

// Both ends go to malloc and free, which the compiler cannot see through
// inlined code.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t size) {
  velmora::test::g_allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size ? size : 1)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
