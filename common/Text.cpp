#include "common/Text.h"

#include <climits>

namespace velmora {
namespace {

// Lengths beyond int are not text this object handles; they convert to
// nothing rather than to a truncated string.
bool FitsInt(size_t n) { return n <= static_cast<size_t>(INT_MAX); }

}  // namespace

std::string ToMultiByte(const wchar_t* text, int length, UINT codePage) {
  if (!text || length <= 0) return {};
  int bytes = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return {};
  std::string out(static_cast<size_t>(bytes), '\0');
  WideCharToMultiByte(codePage, 0, text, length, &out[0], bytes, nullptr, nullptr);
  return out;
}

SecretText ToSecretMultiByte(const wchar_t* text, int length, UINT codePage) {
  SecretText out;
  if (!text || length <= 0) return out;
  int bytes = WideCharToMultiByte(codePage, 0, text, length, nullptr, 0, nullptr, nullptr);
  if (bytes <= 0) return out;
  WideCharToMultiByte(codePage, 0, text, length, out.Overwrite(static_cast<size_t>(bytes)), bytes, nullptr, nullptr);
  return out;
}

std::string ToMultiByte(BSTR text) {
  return text ? ToMultiByte(text, static_cast<int>(SysStringLen(text))) : std::string();
}

std::string ToMultiByte(const std::wstring& text, UINT codePage) {
  if (!FitsInt(text.size())) return {};
  return ToMultiByte(text.data(), static_cast<int>(text.size()), codePage);
}

std::wstring ToWide(const std::string& text, UINT codePage) {
  if (text.empty() || !FitsInt(text.size())) return {};
  int n = static_cast<int>(text.size());
  int chars = MultiByteToWideChar(codePage, 0, text.data(), n, nullptr, 0);
  if (chars <= 0) return {};
  std::wstring out(static_cast<size_t>(chars), L'\0');
  MultiByteToWideChar(codePage, 0, text.data(), n, &out[0], chars);
  return out;
}

HRESULT ToBstr(std::string_view text, BSTR* out, UINT codePage) {
  *out = nullptr;
  int chars = 0;
  if (!text.empty() && FitsInt(text.size())) {
    chars = MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    if (chars < 0) chars = 0;
  }
  BSTR result = SysAllocStringLen(nullptr, static_cast<UINT>(chars));
  if (!result) return E_OUTOFMEMORY;
  if (chars > 0) MultiByteToWideChar(codePage, 0, text.data(), static_cast<int>(text.size()), result, chars);
  *out = result;
  return S_OK;
}

}  // namespace velmora
