// The one place where automation text (UTF-16 BSTR) and the object's
// multibyte text (the calling thread's ANSI code page, GBK on target
// systems) are converted.
#pragma once

#include <windows.h>
#include <oleauto.h>
#include <string>

namespace velmora {

// A null or empty BSTR gives the empty text.
std::string ToMultiByte(BSTR text);
std::string ToMultiByte(const wchar_t* text, int length);

std::wstring ToWide(const std::string& text);

// Allocates a new BSTR for the caller; E_OUTOFMEMORY when allocation fails.
HRESULT ToBstr(const std::string& text, BSTR* out);

}  // namespace velmora
