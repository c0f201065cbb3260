// The one place where automation text (UTF-16 BSTR) and multibyte text are
// converted. The object works in the calling thread's ANSI code page (GBK on
// the systems it serves); other code pages (UTF-8 for registrar scripts and
// data files) are named by the caller.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

#include "common/SecretText.h"

namespace velmora {

// A null or empty BSTR gives the empty text.
std::string ToMultiByte(BSTR text);
std::string ToMultiByte(const wchar_t* text, int length, UINT codePage = CP_THREAD_ACP);
std::string ToMultiByte(const std::wstring& text, UINT codePage = CP_THREAD_ACP);

std::wstring ToWide(const std::string& text, UINT codePage = CP_THREAD_ACP);

// The same conversion for a password: converted straight into its final,
// wiping buffer, so no plain copy is made on the way.
SecretText ToSecretMultiByte(const wchar_t* text, int length, UINT codePage = CP_THREAD_ACP);

// Allocates a new BSTR for the caller, converted straight into its final
// buffer; E_OUTOFMEMORY when allocation fails.
HRESULT ToBstr(std::string_view text, BSTR* out, UINT codePage = CP_THREAD_ACP);

}  // namespace velmora
