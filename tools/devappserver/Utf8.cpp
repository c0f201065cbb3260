#include "tools/devappserver/Utf8.h"

#include <climits>

namespace velmora::devappserver {

std::wstring Widen(const std::string& text, UINT codePage) {
  if (text.empty() || text.size() > INT_MAX) return {};
  int length = static_cast<int>(text.size());
  int n = MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0);
  if (n <= 0) return {};
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), length, &out[0], n);
  return out;
}

std::string Narrow(const wchar_t* text, size_t length, UINT codePage) {
  if (!text || length == 0 || length > INT_MAX) return {};
  int n = WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  if (n <= 0) return {};
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(codePage, 0, text, static_cast<int>(length), &out[0], n, nullptr, nullptr);
  return out;
}

HRESULT ToBstr(const std::string& text, BSTR* out, UINT codePage) {
  *out = nullptr;
  if (text.size() > INT_MAX) return E_OUTOFMEMORY;
  int length = static_cast<int>(text.size());
  int n = length ? MultiByteToWideChar(codePage, 0, text.data(), length, nullptr, 0) : 0;
  BSTR b = SysAllocStringLen(nullptr, static_cast<UINT>(n));
  if (!b) return E_OUTOFMEMORY;
  if (n) MultiByteToWideChar(codePage, 0, text.data(), length, b, n);
  *out = b;
  return S_OK;
}

}  // namespace velmora::devappserver
