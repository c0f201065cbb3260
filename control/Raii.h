// One owner per Win32/COM resource. Each wrapper releases what it holds on
// every path; get()/put() hand the raw value to APIs that fill or read it.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <shtypes.h>
#include <utility>

namespace velmora {

// BSTR owned by us until release() hands it to the caller.
class UniqueBstr {
 public:
  UniqueBstr() = default;
  explicit UniqueBstr(BSTR b) : b_(b) {}
  UniqueBstr(const UniqueBstr&) = delete;
  UniqueBstr& operator=(const UniqueBstr&) = delete;
  UniqueBstr(UniqueBstr&& o) noexcept : b_(o.release()) {}
  UniqueBstr& operator=(UniqueBstr&& o) noexcept { reset(o.release()); return *this; }
  ~UniqueBstr() { reset(); }

  BSTR get() const { return b_; }
  BSTR* put() { reset(); return &b_; }
  BSTR release() { return std::exchange(b_, nullptr); }
  void reset(BSTR b = nullptr) { if (b_) SysFreeString(b_); b_ = b; }
  UINT length() const { return b_ ? SysStringLen(b_) : 0; }

 private:
  BSTR b_ = nullptr;
};

class UniqueVariant {
 public:
  UniqueVariant() { VariantInit(&v_); }
  UniqueVariant(const UniqueVariant&) = delete;
  UniqueVariant& operator=(const UniqueVariant&) = delete;
  ~UniqueVariant() { VariantClear(&v_); }
  VARIANT* get() { return &v_; }
  const VARIANT* get() const { return &v_; }
  VARIANT* put() { VariantClear(&v_); return &v_; }

 private:
  VARIANT v_;
};

class UniqueSafeArray {
 public:
  UniqueSafeArray() = default;
  explicit UniqueSafeArray(SAFEARRAY* sa) : sa_(sa) {}
  UniqueSafeArray(const UniqueSafeArray&) = delete;
  UniqueSafeArray& operator=(const UniqueSafeArray&) = delete;
  ~UniqueSafeArray() { if (sa_) SafeArrayDestroy(sa_); }
  SAFEARRAY* get() const { return sa_; }
  SAFEARRAY* release() { return std::exchange(sa_, nullptr); }

 private:
  SAFEARRAY* sa_ = nullptr;
};

// Generic closer for handle-like values with an "invalid" sentinel.
template <typename T, typename Traits>
class UniqueHandleT {
 public:
  UniqueHandleT() = default;
  explicit UniqueHandleT(T h) : h_(h) {}
  UniqueHandleT(const UniqueHandleT&) = delete;
  UniqueHandleT& operator=(const UniqueHandleT&) = delete;
  UniqueHandleT(UniqueHandleT&& o) noexcept : h_(o.release()) {}
  UniqueHandleT& operator=(UniqueHandleT&& o) noexcept { reset(o.release()); return *this; }
  ~UniqueHandleT() { reset(); }

  T get() const { return h_; }
  T* put() { reset(); return &h_; }
  T release() { return std::exchange(h_, Traits::invalid()); }
  bool valid() const { return h_ != Traits::invalid(); }
  explicit operator bool() const { return valid(); }
  void reset(T h = Traits::invalid()) {
    if (h_ != Traits::invalid()) Traits::close(h_);
    h_ = h;
  }

 private:
  T h_ = Traits::invalid();
};

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

struct IdListTraits {  // shell ID lists come from the task allocator
  static LPITEMIDLIST invalid() { return nullptr; }
  static void close(LPITEMIDLIST p) { CoTaskMemFree(p); }
};
template <typename I>
struct ComTraits {  // one counted reference
  static I* invalid() { return nullptr; }
  static void close(I* p) { p->Release(); }
};

using UniqueHandle = UniqueHandleT<HANDLE, HandleTraits>;
using UniqueFindHandle = UniqueHandleT<HANDLE, FindHandleTraits>;
using UniqueFile = UniqueHandleT<HANDLE, FileHandleTraits>;
using UniqueHkey = UniqueHandleT<HKEY, HkeyTraits>;
using UniqueGdiObject = UniqueHandleT<HGDIOBJ, GdiObjectTraits>;
using UniqueMemoryDc = UniqueHandleT<HDC, MemoryDcTraits>;
using UniqueIdList = UniqueHandleT<LPITEMIDLIST, IdListTraits>;
template <typename I>
using UniqueCom = UniqueHandleT<I*, ComTraits<I>>;

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
