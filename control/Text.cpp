#include "control/Text.h"

#include <oleauto.h>

namespace velmora {

std::string ToMultiByte(const wchar_t* text, int length) {
  if (!text || length <= 0) return {};
  int bytes = WideCharToMultiByte(CP_THREAD_ACP, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(CP_THREAD_ACP, 0, text, length, &out[0], bytes, nullptr, nullptr);
  return out;
}

std::string ToMultiByte(BSTR text) {
  return text ? ToMultiByte(text, static_cast<int>(SysStringLen(text))) : std::string();
}

std::wstring ToWide(const std::string& text) {
  if (text.empty()) return {};
  int n = static_cast<int>(text.size());
  int chars = MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), n, nullptr, 0);
  if (chars <= 0) return {};
  std::wstring out(static_cast<size_t>(chars), L'\0');
  MultiByteToWideChar(CP_THREAD_ACP, 0, text.data(), n, &out[0], chars);
  return out;
}

HRESULT ToBstr(const std::string& text, BSTR* out) {
  std::wstring wide = ToWide(text);
  *out = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  return *out ? S_OK : E_OUTOFMEMORY;
}

}  // namespace velmora
