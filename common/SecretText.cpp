#include "common/SecretText.h"

namespace velmora {

// Writes through a volatile pointer, as SecureZeroMemory does: the stores
// are to memory about to be freed, which the optimiser may otherwise drop.
void WipeBytes(void* bytes, size_t size) noexcept {
  volatile unsigned char* p = static_cast<volatile unsigned char*>(bytes);
  while (size--) *p++ = 0;
}

}  // namespace velmora
