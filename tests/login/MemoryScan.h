// Looks through the process's committed, readable memory for a secret text
// (or all of it but its first character) and says where each copy lies:
// which heap (a block in use or a freed one), which module's image, or
// other memory. The secret is assembled
// from pieces into a page of its own, which the scan skips and which is
// wiped afterwards, so the test holds no other copy of it.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <string>
#include <vector>

namespace velmora::test {

struct MemoryHit {
  uintptr_t address = 0;
  std::string form;   // "multibyte" or "UTF-16"
  std::string where;  // the heap, image or region it lies in
  // Memory the control allocated: the test program's own C++ heap (the
  // control is linked into it), or a BSTR holding exactly the text (the
  // control's command arguments are such BSTRs; the development AppServer
  // wipes its copies of them too).
  bool control = false;
};

class SecretNeedle {
 public:
  // The text is the concatenation of `pieces` (ASCII), kept in the ANSI
  // code page and in UTF-16.
  explicit SecretNeedle(const char* const volatile* pieces, size_t count);
  ~SecretNeedle();
  SecretNeedle(const SecretNeedle&) = delete;
  SecretNeedle& operator=(const SecretNeedle&) = delete;

  // Types the text one key at a time into an edit of `dialog`.
  bool TypeInto(HWND dialog, int controlId) const;
  // Whether `text` holds exactly the text.
  bool Matches(BSTR text) const;
  // A new BSTR of the text, which the caller wipes before freeing it.
  BSTR NewBstr() const;
  std::vector<MemoryHit> Scan() const;

 private:
  unsigned char* page_ = nullptr;  // multibyte text, then the UTF-16 text
  size_t pageSize_ = 0;
  size_t multibyteSize_ = 0;
  size_t wideSize_ = 0;  // in bytes
};

std::string Describe(const MemoryHit& hit);

}  // namespace velmora::test
