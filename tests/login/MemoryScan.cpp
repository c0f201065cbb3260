#include "tests/login/MemoryScan.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "tests/login/AllocationHook.h"
#include "tools/uidriver/UiDriver.h"

namespace velmora::test {
namespace {

bool Readable(const MEMORY_BASIC_INFORMATION& region) {
  constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                              PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;
  return region.State == MEM_COMMIT && (region.Protect & kReadable) && !(region.Protect & PAGE_GUARD);
}

std::string Hex(uintptr_t value) {
  char text[32];
  std::snprintf(text, sizeof text, "0x%llx", static_cast<unsigned long long>(value));
  return text;
}

HANDLE CRuntimeHeap() {
  using GetHeap = intptr_t(__cdecl*)();
  HMODULE crt = GetModuleHandleW(L"msvcrt.dll");
  auto get = crt ? reinterpret_cast<GetHeap>(GetProcAddress(crt, "_get_heap_handle")) : nullptr;
  return get ? reinterpret_cast<HANDLE>(get()) : nullptr;
}

std::string HeapName(HANDLE heap) {
  if (heap == alloc::Heap()) return "the test program's C++ heap";
  if (heap == GetProcessHeap()) return "the process heap";
  if (heap == CRuntimeHeap()) return "the C runtime heap (malloc; the development AppServer's C++ objects)";
  return "heap " + Hex(reinterpret_cast<uintptr_t>(heap));
}

// Which of the process's heaps holds `address`, and in which block.
bool FindInHeaps(uintptr_t address, HANDLE* owner, std::string* where) {
  HANDLE heaps[256];
  const DWORD count = std::min<DWORD>(GetProcessHeaps(256, heaps), 256);
  for (DWORD i = 0; i < count; ++i) {
    if (!HeapLock(heaps[i])) continue;
    PROCESS_HEAP_ENTRY entry{};
    bool inRegion = false;
    std::string block;
    while (HeapWalk(heaps[i], &entry)) {
      const auto start = reinterpret_cast<uintptr_t>(entry.lpData);
      if (entry.wFlags & PROCESS_HEAP_REGION) {
        inRegion = inRegion || (address >= start && address < reinterpret_cast<uintptr_t>(entry.Region.lpLastBlock));
        continue;
      }
      if (address >= start && address < start + entry.cbData) {
        const bool busy = entry.wFlags & PROCESS_HEAP_ENTRY_BUSY;
        block = !busy                                                  ? "a free block"
                : heaps[i] == alloc::Heap() && alloc::IsKeptBlock(entry.lpData) ? "a block its owner freed"
                                                                       : "a block in use";
        block += " of " + std::to_string(entry.cbData) + " bytes, at offset " + std::to_string(address - start);
        break;
      }
    }
    HeapUnlock(heaps[i]);
    if (block.empty() && !inRegion) continue;
    *owner = heaps[i];
    *where = HeapName(heaps[i]) + ", " + (block.empty() ? std::string("outside its blocks") : block);
    return true;
  }
  return false;
}

std::string RegionName(uintptr_t address) {
  MEMORY_BASIC_INFORMATION region{};
  if (!VirtualQuery(reinterpret_cast<void*>(address), &region, sizeof region)) return "unknown memory";
  if (region.Type == MEM_IMAGE) {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(static_cast<HMODULE>(region.AllocationBase), path, MAX_PATH);
    char name[MAX_PATH * 2] = {};
    WideCharToMultiByte(CP_UTF8, 0, path, -1, name, sizeof name, nullptr, nullptr);
    return std::string("the image of ") + name;
  }
  MEMORY_BASIC_INFORMATION stack{};
  const int local = 0;
  if (VirtualQuery(&local, &stack, sizeof stack) && stack.AllocationBase == region.AllocationBase) {
    return "the scanning thread's stack";
  }
  return std::string(region.Type == MEM_MAPPED ? "mapped" : "private") + " memory allocated at " +
         Hex(reinterpret_cast<uintptr_t>(region.AllocationBase));
}

}  // namespace

SecretNeedle::SecretNeedle(const char* const volatile* pieces, size_t count) {
  size_t length = 0;
  for (size_t i = 0; i < count; ++i) length += std::strlen(pieces[i]);
  multibyteSize_ = length;
  wideSize_ = length * 2;
  pageSize_ = multibyteSize_ + wideSize_ + 1;
  page_ = static_cast<unsigned char*>(VirtualAlloc(nullptr, pageSize_, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (!page_) return;
  // Byte by byte through volatile reads: the compiler must not fold the
  // pieces into one constant in the program's image.
  size_t at = 0;
  for (size_t i = 0; i < count; ++i) {
    for (const volatile char* c = pieces[i]; *c; ++c, ++at) {
      page_[at] = static_cast<unsigned char>(*c);
      page_[multibyteSize_ + 2 * at] = static_cast<unsigned char>(*c);  // ASCII: the UTF-16 low byte
      page_[multibyteSize_ + 2 * at + 1] = 0;
    }
  }
}

SecretNeedle::~SecretNeedle() {
  if (!page_) return;
  SecureZeroMemory(page_, pageSize_);
  VirtualFree(page_, 0, MEM_RELEASE);
}

bool SecretNeedle::TypeInto(HWND dialog, int controlId) const {
  if (!page_) return false;
  for (size_t i = 0; i < multibyteSize_; ++i) {
    if (!ui::TypeKeys(dialog, controlId, std::wstring(1, static_cast<wchar_t>(page_[i])))) return false;
  }
  return true;
}

bool SecretNeedle::Matches(BSTR text) const {
  return page_ && text && SysStringByteLen(text) == wideSize_ &&
         std::memcmp(text, page_ + multibyteSize_, wideSize_) == 0;
}

BSTR SecretNeedle::NewBstr() const {
  if (!page_) return nullptr;
  return SysAllocStringByteLen(reinterpret_cast<const char*>(page_ + multibyteSize_), static_cast<UINT>(wideSize_));
}

std::vector<MemoryHit> SecretNeedle::Scan() const {
  std::vector<MemoryHit> hits;
  if (!page_ || multibyteSize_ < 2) return hits;
  // Searched without its first character: a plain string cleared in place
  // keeps the rest of a short text in its own small buffer.
  const struct {
    const char* form;
    const unsigned char* text;
    size_t size;
    size_t unit;
  } needles[] = {{"multibyte", page_, multibyteSize_, 1}, {"UTF-16", page_ + multibyteSize_, wideSize_, 2}};

  // Each region is copied through a buffer of the scan's own, which holds
  // the text while it is searched, is skipped like the needle's page, and
  // is wiped when done.
  constexpr size_t kChunk = 1 << 20;
  const size_t overlap = wideSize_;
  auto* buffer =
      static_cast<unsigned char*>(VirtualAlloc(nullptr, kChunk + overlap, MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
  if (!buffer) return hits;
  const auto skip = [&](uintptr_t base) {
    return base == reinterpret_cast<uintptr_t>(page_) || base == reinterpret_cast<uintptr_t>(buffer);
  };

  SYSTEM_INFO system{};
  GetSystemInfo(&system);
  auto at = reinterpret_cast<uintptr_t>(system.lpMinimumApplicationAddress);
  const auto end = reinterpret_cast<uintptr_t>(system.lpMaximumApplicationAddress);
  MEMORY_BASIC_INFORMATION region{};
  while (at < end && VirtualQuery(reinterpret_cast<void*>(at), &region, sizeof region)) {
    const auto base = reinterpret_cast<uintptr_t>(region.BaseAddress);
    at = base + region.RegionSize;
    if (!Readable(region) || skip(reinterpret_cast<uintptr_t>(region.AllocationBase))) continue;
    for (size_t offset = 0; offset < region.RegionSize; offset += kChunk) {
      const size_t length = std::min<size_t>(kChunk + overlap, region.RegionSize - offset);
      SIZE_T read = 0;
      if (!ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<void*>(base + offset), buffer, length, &read)) {
        continue;
      }
      for (const auto& needle : needles) {
        const unsigned char* tail = needle.text + needle.unit;
        const unsigned char* from = buffer;
        const unsigned char* stop = buffer + read;
        while ((from = std::search(from, stop, tail, needle.text + needle.size)) != stop) {
          const size_t position = static_cast<size_t>(from - buffer);
          const bool whole = position >= needle.unit && std::equal(needle.text, tail, from - needle.unit);
          if (position < kChunk) {
            hits.push_back({base + offset + position - needle.unit, needle.form, whole ? "" : "all but the first character: ",
                            false});
          }
          ++from;
        }
      }
    }
  }
  SecureZeroMemory(buffer, kChunk + overlap);
  VirtualFree(buffer, 0, MEM_RELEASE);

  for (MemoryHit& hit : hits) {
    HANDLE heap = nullptr;
    std::string where;
    if (!FindInHeaps(hit.address, &heap, &where)) where = RegionName(hit.address);
    hit.where += where;
    // A BSTR: its length in bytes just before the characters.
    UINT32 prefix = 0;
    SIZE_T read = 0;
    const bool bstr = hit.form == "UTF-16" &&
                      ReadProcessMemory(GetCurrentProcess(), reinterpret_cast<void*>(hit.address - 4), &prefix,
                                        sizeof prefix, &read) &&
                      prefix == wideSize_;
    if (bstr) hit.where += " (a BSTR of exactly the text)";
    hit.control = heap == alloc::Heap() || bstr;
  }
  return hits;
}

std::string Describe(const MemoryHit& hit) {
  char address[32];
  std::snprintf(address, sizeof address, "0x%llx", static_cast<unsigned long long>(hit.address));
  return hit.form + " at " + address + ": " + hit.where;
}

}  // namespace velmora::test
