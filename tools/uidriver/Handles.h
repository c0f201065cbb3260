// Owners for the handles the driver takes; each releases on every path.
#pragma once

#include <windows.h>

#include <utility>

namespace velmora::ui {

class FileHandle {
 public:
  explicit FileHandle(HANDLE h) : h_(h) {}
  FileHandle(const FileHandle&) = delete;
  FileHandle& operator=(const FileHandle&) = delete;
  ~FileHandle() { if (valid()) CloseHandle(h_); }
  bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
  HANDLE get() const { return h_; }

 private:
  HANDLE h_;
};

// A window's DC from GetWindowDC/GetDC, given back with ReleaseDC.
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

// A DC we created (CreateCompatibleDC), deleted with DeleteDC.
class MemoryDc {
 public:
  explicit MemoryDc(HDC dc) : dc_(dc) {}
  MemoryDc(const MemoryDc&) = delete;
  MemoryDc& operator=(const MemoryDc&) = delete;
  ~MemoryDc() { if (dc_) DeleteDC(dc_); }
  HDC get() const { return dc_; }

 private:
  HDC dc_;
};

class GdiObject {
 public:
  explicit GdiObject(HGDIOBJ object) : object_(object) {}
  GdiObject(const GdiObject&) = delete;
  GdiObject& operator=(const GdiObject&) = delete;
  ~GdiObject() { if (object_) DeleteObject(object_); }
  HGDIOBJ get() const { return object_; }

 private:
  HGDIOBJ object_;
};

// Selects an object into a DC for one scope and puts the old one back, so
// the object is free to be deleted afterwards.
class Selection {
 public:
  Selection(HDC dc, HGDIOBJ object) : dc_(dc), old_(SelectObject(dc, object)) {}
  Selection(const Selection&) = delete;
  Selection& operator=(const Selection&) = delete;
  ~Selection() { if (old_ && old_ != HGDI_ERROR) SelectObject(dc_, old_); }
  bool ok() const { return old_ && old_ != HGDI_ERROR; }

 private:
  HDC dc_;
  HGDIOBJ old_;
};

}  // namespace velmora::ui
