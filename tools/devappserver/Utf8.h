// Text at the server's edges: the data file is UTF-8, automation text is
// UTF-16. The shared conversion module does the work; these name the code
// page once for the whole server.
#pragma once

#include <string>

#include "common/Text.h"

namespace velmora::devappserver {

inline std::wstring Widen(const std::string& text) { return ToWide(text, CP_UTF8); }
inline std::string Narrow(const wchar_t* text, size_t length) {
  return length > 0x7fffffff ? std::string() : ToMultiByte(text, static_cast<int>(length), CP_UTF8);
}
inline std::string Narrow(const std::wstring& text) { return ToMultiByte(text, CP_UTF8); }
// A new BSTR for the caller; E_OUTOFMEMORY when it cannot be allocated.
inline HRESULT ToBstr(const std::string& text, BSTR* out) { return velmora::ToBstr(text, out, CP_UTF8); }

}  // namespace velmora::devappserver
