// Text at the server's edges: the data file is UTF-8, automation text is
// UTF-16. Both directions take the code page, so the one conversion rule
// lives here; BSTRs are allocated at their final size.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>

namespace velmora::devappserver {

std::wstring Widen(const std::string& text, UINT codePage = CP_UTF8);
std::string Narrow(const wchar_t* text, size_t length, UINT codePage = CP_UTF8);
inline std::string Narrow(const std::wstring& text) { return Narrow(text.data(), text.size()); }
// A new BSTR for the caller; E_OUTOFMEMORY when it cannot be allocated.
HRESULT ToBstr(const std::string& text, BSTR* out, UINT codePage = CP_UTF8);

}  // namespace velmora::devappserver
