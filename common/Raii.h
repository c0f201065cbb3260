// One owner per Win32/COM resource: one template (UniqueHandleT, in
// common/UniqueHandle.h) and a traits line per kind of resource. Every
// owner moves, resets, releases (hands its value over) and gives out its
// address for an out-parameter, freeing what it held first. VARIANTs, being values rather than handles,
// have the one owner of their own shape.
#pragma once

#include <winsock2.h>
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <shtypes.h>

#include <cstddef>
#include <utility>

#include "common/UniqueHandle.h"

// Evaluates an HRESULT expression once and returns it when it failed; the
// owners release whatever the function had taken.
#define RETURN_IF_FAILED(expr)              \
  do {                                      \
    const HRESULT velmoraHr_ = (expr);      \
    if (FAILED(velmoraHr_)) return velmoraHr_; \
  } while (0)

namespace velmora {

struct HandleTraits {  // kernel objects that use null as "none"
  static HANDLE invalid() { return nullptr; }
  static void close(HANDLE h) { CloseHandle(h); }
};
struct FindHandleTraits {
  static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { FindClose(h); }
};
struct HkeyTraits {
  static HKEY invalid() { return nullptr; }
  static void close(HKEY h) { RegCloseKey(h); }
};
struct FileHandleTraits {  // CreateFile's "none" is INVALID_HANDLE_VALUE
  static HANDLE invalid() { return INVALID_HANDLE_VALUE; }
  static void close(HANDLE h) { CloseHandle(h); }
};
struct GdiObjectTraits {
  static HGDIOBJ invalid() { return nullptr; }
  static void close(HGDIOBJ h) { DeleteObject(h); }
};
struct MemoryDcTraits {  // DCs we created, as opposed to borrowed ones
  static HDC invalid() { return nullptr; }
  static void close(HDC h) { DeleteDC(h); }
};
struct SocketTraits {
  static SOCKET invalid() { return INVALID_SOCKET; }
  static void close(SOCKET s) { closesocket(s); }
};
struct BstrTraits {
  static BSTR invalid() { return nullptr; }
  static void close(BSTR b) { SysFreeString(b); }
};
struct SafeArrayTraits {
  static SAFEARRAY* invalid() { return nullptr; }
  static void close(SAFEARRAY* a) { SafeArrayDestroy(a); }
};
struct IdListTraits {  // shell ID lists come from the task allocator
  static LPITEMIDLIST invalid() { return nullptr; }
  static void close(LPITEMIDLIST p) { CoTaskMemFree(p); }
};

using UniqueHandle = UniqueHandleT<HANDLE, HandleTraits>;
using UniqueFindHandle = UniqueHandleT<HANDLE, FindHandleTraits>;
using UniqueFile = UniqueHandleT<HANDLE, FileHandleTraits>;
using UniqueHkey = UniqueHandleT<HKEY, HkeyTraits>;
using UniqueGdiObject = UniqueHandleT<HGDIOBJ, GdiObjectTraits>;
using UniqueMemoryDc = UniqueHandleT<HDC, MemoryDcTraits>;
using UniqueSocket = UniqueHandleT<SOCKET, SocketTraits>;
// COM references are held in Microsoft::WRL::ComPtr.
using UniqueSafeArray = UniqueHandleT<SAFEARRAY*, SafeArrayTraits>;

// A BSTR owned by us until release() hands it to the caller.
class UniqueBstr : public UniqueHandleT<BSTR, BstrTraits> {
 public:
  using UniqueHandleT::UniqueHandleT;
  UINT length() const { return get() ? SysStringLen(get()) : 0; }
};

// How a VARIANT owner lets go of its value.
struct VariantClearTraits {
  static void clear(VARIANT* v) { VariantClear(v); }
};

// A VARIANT owned by us: cleared on reset and destruction; release() hands
// the value over (the caller then clears it).
template <typename Traits>
class BasicUniqueVariant {
 public:
  BasicUniqueVariant() { VariantInit(&v_); }
  BasicUniqueVariant(const BasicUniqueVariant&) = delete;
  BasicUniqueVariant& operator=(const BasicUniqueVariant&) = delete;
  BasicUniqueVariant(BasicUniqueVariant&& o) noexcept : v_(o.release()) {}
  BasicUniqueVariant& operator=(BasicUniqueVariant&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }
  ~BasicUniqueVariant() { Traits::clear(&v_); }

  VARIANT* get() { return &v_; }
  const VARIANT* get() const { return &v_; }
  VARTYPE type() const { return V_VT(&v_); }
  VARIANT* put() { Traits::clear(&v_); return &v_; }
  // Takes ownership of `value` (a VARIANT nobody else will clear).
  void reset(const VARIANT& value) { Traits::clear(&v_); v_ = value; }
  void reset() { Traits::clear(&v_); }
  VARIANT release() {
    VARIANT out = v_;
    VariantInit(&v_);
    return out;
  }

 private:
  VARIANT v_;
};
using UniqueVariant = BasicUniqueVariant<VariantClearTraits>;

// The elements of a one-dimensional SAFEARRAY, locked for as long as the
// view lives. ok() is false when the array is null, not one-dimensional,
// not of element type T's size, or cannot be locked.
template <typename T>
class SafeArrayView {
 public:
  explicit SafeArrayView(SAFEARRAY* array) {
    if (!array || SafeArrayGetDim(array) != 1 || SafeArrayGetElemsize(array) != sizeof(T)) return;
    LONG lower = 0, upper = -1;
    if (FAILED(SafeArrayGetLBound(array, 1, &lower)) || FAILED(SafeArrayGetUBound(array, 1, &upper))) return;
    if (FAILED(SafeArrayLock(array))) return;
    array_ = array;
    data_ = static_cast<T*>(array->pvData);
    size_ = upper >= lower ? static_cast<size_t>(static_cast<LONGLONG>(upper) - lower + 1) : 0;
  }
  SafeArrayView(const SafeArrayView&) = delete;
  SafeArrayView& operator=(const SafeArrayView&) = delete;
  ~SafeArrayView() { if (array_) SafeArrayUnlock(array_); }

  bool ok() const { return array_ != nullptr; }
  size_t size() const { return size_; }
  T& operator[](size_t i) const { return data_[i]; }
  T* begin() const { return data_; }
  T* end() const { return data_ + size_; }

 private:
  SAFEARRAY* array_ = nullptr;
  T* data_ = nullptr;
  size_t size_ = 0;
};
using UniqueIdList = UniqueHandleT<LPITEMIDLIST, IdListTraits>;

// Texts that may hold a password are wiped before they are freed: the
// automation cache hands freed strings out again as they are.
inline void WipeBstr(BSTR text) {
  if (text) SecureZeroMemory(text, SysStringByteLen(text));
}
struct SecretBstrTraits {
  static BSTR invalid() { return nullptr; }
  static void close(BSTR text) {
    WipeBstr(text);
    SysFreeString(text);
  }
};
// A BSTR that may hold a password, wiped before it is freed.
using SecretBstr = UniqueHandleT<BSTR, SecretBstrTraits>;
// The texts a VARIANT owns: a BSTR, or those of a one-dimensional array of
// BSTRs or VARIANTs (arguments travel as such arrays). References are not
// the VARIANT's own and are left alone.
inline void WipeVariantText(VARIANT* v) {
  if (V_VT(v) == VT_BSTR) {
    WipeBstr(V_BSTR(v));
  } else if (V_VT(v) == (VT_ARRAY | VT_BSTR)) {
    SafeArrayView<BSTR> texts(V_ARRAY(v));
    if (texts.ok()) for (BSTR text : texts) WipeBstr(text);
  } else if (V_VT(v) == (VT_ARRAY | VT_VARIANT)) {
    SafeArrayView<VARIANT> elements(V_ARRAY(v));
    if (elements.ok()) for (VARIANT& element : elements) WipeVariantText(&element);
  }
}
struct SecretVariantTraits {
  static void clear(VARIANT* v) {
    WipeVariantText(v);
    VariantClear(v);
  }
};
using SecretVariant = BasicUniqueVariant<SecretVariantTraits>;

// A window's DC from GetDC/GetWindowDC, given back with ReleaseDC.
class WindowDc {
 public:
  WindowDc(HWND window, HDC dc) : window_(window), dc_(dc) {}
  WindowDc(const WindowDc&) = delete;
  WindowDc& operator=(const WindowDc&) = delete;
  ~WindowDc() { if (dc_) ReleaseDC(window_, dc_); }
  HDC get() const { return dc_; }

 private:
  HWND window_;
  HDC dc_;
};

// Selects an object into a DC for one scope and puts the old one back, so
// the object is free to be deleted afterwards.
class SelectionScope {
 public:
  SelectionScope(HDC dc, HGDIOBJ object) : dc_(dc), old_(SelectObject(dc, object)) {}
  SelectionScope(const SelectionScope&) = delete;
  SelectionScope& operator=(const SelectionScope&) = delete;
  ~SelectionScope() { if (ok()) SelectObject(dc_, old_); }
  bool ok() const { return old_ && old_ != HGDI_ERROR; }

 private:
  HDC dc_;
  HGDIOBJ old_;
};

// Critical section with scoped locking; never taken twice by one thread.
class CriticalSection {
 public:
  CriticalSection() { InitializeCriticalSection(&cs_); }
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;
  ~CriticalSection() { DeleteCriticalSection(&cs_); }
  void lock() { EnterCriticalSection(&cs_); }
  void unlock() { LeaveCriticalSection(&cs_); }

 private:
  CRITICAL_SECTION cs_;
};

}  // namespace velmora
