#include "tests/login/AllocationHook.h"

#include <atomic>
#include <cstdint>
#include <new>

namespace velmora::test::alloc {
namespace {

// Each block starts with a header: a tag saying whether it is counted (or
// kept after being freed) and the link of the kept list. Its size keeps
// the alignment the heap gives (16 bytes) for what follows.
struct Header {
  size_t tag;
  Header* nextKept;
};
constexpr size_t kHeader = 16;
static_assert(sizeof(Header) <= kHeader);

void* DataOf(Header* header) { return reinterpret_cast<char*>(header) + kHeader; }
Header* HeaderOf(void* data) { return reinterpret_cast<Header*>(static_cast<char*>(data) - kHeader); }
constexpr size_t kCounted = 0x636f756e;  // "coun"
constexpr size_t kPlain = 0x706c6169;    // "plai"
constexpr size_t kKept = 0x6b657074;     // "kept"

std::atomic<void*> g_heap{nullptr};
std::atomic<DWORD> g_armedThread{0};
std::atomic<size_t> g_calls{0};
std::atomic<size_t> g_failAt{0};
std::atomic<bool> g_every{false};
std::atomic<bool> g_refused{false};
std::atomic<long long> g_outstanding{0};
std::atomic<bool> g_keepFreed{false};
SRWLOCK g_keptLock = SRWLOCK_INIT;
Header* g_kept = nullptr;

void* Allocate(size_t size) noexcept {
  bool counted = false;
  if (g_armedThread.load() == GetCurrentThreadId()) {
    const size_t call = ++g_calls, failAt = g_failAt.load();
    if (failAt && (call == failAt || (g_every.load() && call % failAt == 0))) {
      g_refused = true;
      return nullptr;
    }
    counted = true;
  }
  if (size > SIZE_MAX - kHeader) return nullptr;
  auto* header = static_cast<Header*>(HeapAlloc(Heap(), 0, size + kHeader));
  if (!header) return nullptr;
  header->tag = counted ? kCounted : kPlain;
  header->nextKept = nullptr;
  if (counted) ++g_outstanding;
  return DataOf(header);
}

void Free(void* p) noexcept {
  if (!p) return;
  Header* header = HeaderOf(p);
  if (header->tag == kCounted) --g_outstanding;
  if (g_keepFreed.load()) {
    // Left as its last owner left it, for the memory scan to judge.
    header->tag = kKept;
    AcquireSRWLockExclusive(&g_keptLock);
    header->nextKept = g_kept;
    g_kept = header;
    ReleaseSRWLockExclusive(&g_keptLock);
    return;
  }
  header->tag = 0;
  HeapFree(Heap(), 0, header);
}

}  // namespace

HANDLE Heap() {
  void* heap = g_heap.load();
  if (heap) return heap;
  // The first allocation may come before main, from any thread.
  void* created = HeapCreate(0, 0, 0);
  if (!g_heap.compare_exchange_strong(heap, created)) {
    HeapDestroy(created);
    return heap;
  }
  return created;
}

void Arm(size_t failAt, bool every) {
  g_calls = 0;
  g_failAt = failAt;
  g_every = every;
  g_refused = false;
  g_armedThread = GetCurrentThreadId();
}

size_t Disarm() {
  g_armedThread = 0;
  return g_calls.load();
}

bool Refused() { return g_refused.load(); }
long long Outstanding() { return g_outstanding.load(); }

void KeepFreedBlocks(bool keep) {
  g_keepFreed = keep;
  if (keep) return;
  AcquireSRWLockExclusive(&g_keptLock);
  Header* kept = g_kept;
  g_kept = nullptr;
  ReleaseSRWLockExclusive(&g_keptLock);
  while (kept) {
    Header* next = kept->nextKept;
    // Whatever the blocks held is of no use to anyone now.
    SecureZeroMemory(kept, HeapSize(Heap(), 0, kept));
    HeapFree(Heap(), 0, kept);
    kept = next;
  }
}

bool IsKeptBlock(const void* block) {
  return block && static_cast<const Header*>(block)->tag == kKept;
}

}  // namespace velmora::test::alloc

using velmora::test::alloc::Allocate;
using velmora::test::alloc::Free;

void* operator new(size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new[](size_t size) {
  if (void* p = Allocate(size)) return p;
  throw std::bad_alloc();
}
void* operator new(size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void* operator new[](size_t size, const std::nothrow_t&) noexcept { return Allocate(size); }
void operator delete(void* p) noexcept { Free(p); }
void operator delete[](void* p) noexcept { Free(p); }
void operator delete(void* p, size_t) noexcept { Free(p); }
void operator delete[](void* p, size_t) noexcept { Free(p); }
void operator delete(void* p, const std::nothrow_t&) noexcept { Free(p); }
void operator delete[](void* p, const std::nothrow_t&) noexcept { Free(p); }
