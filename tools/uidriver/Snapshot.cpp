#include "tools/uidriver/UiDriver.h"

#include <vector>

#include "common/Raii.h"

namespace velmora::ui {
namespace {

bool WriteAll(HANDLE file, const void* data, DWORD size) {
  DWORD written = 0;
  return WriteFile(file, data, size, &written, nullptr) && written == size;
}

bool WriteBmp(const std::wstring& path, const BITMAPINFOHEADER& header, const void* bits,
              DWORD bitsSize) {
  BITMAPFILEHEADER file = {};
  file.bfType = 0x4D42;  // "BM"
  file.bfOffBits = sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER);
  file.bfSize = file.bfOffBits + bitsSize;
  UniqueFile out(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                             FILE_ATTRIBUTE_NORMAL, nullptr));
  if (!out.valid()) return false;
  return WriteAll(out.get(), &file, sizeof(file)) &&
         WriteAll(out.get(), &header, sizeof(header)) && WriteAll(out.get(), bits, bitsSize);
}

bool HasPendingPaint(HWND window) {
  if (GetUpdateRect(window, nullptr, FALSE)) return true;
  for (HWND child = GetWindow(window, GW_CHILD); child; child = GetWindow(child, GW_HWNDNEXT)) {
    if (IsWindowVisible(child) && HasPendingPaint(child)) return true;
  }
  return false;
}

// Gives the window's thread the chance to finish painting what was just
// typed or selected; a window that never settles is captured as it is.
void WaitForPaint(HWND window) {
  const ULONGLONG deadline = GetTickCount64() + kReplyTimeoutMs;
  DWORD_PTR ignored;
  while (HasPendingPaint(window) && GetTickCount64() < deadline &&
         SendMessageTimeoutW(window, WM_NULL, 0, 0, SMTO_ABORTIFHUNG, kReplyTimeoutMs, &ignored)) {
    Sleep(20);
  }
}

}  // namespace

bool SaveWindowBitmap(HWND window, const std::wstring& bmpPath) {
  RECT rect;
  if (!IsWindow(window)) return false;
  WaitForPaint(window);
  if (!GetWindowRect(window, &rect)) return false;
  const LONG width = rect.right - rect.left;
  const LONG height = rect.bottom - rect.top;
  if (width <= 0 || height <= 0) return false;

  velmora::WindowDc screen(nullptr, GetDC(nullptr));
  if (!screen.get()) return false;
  UniqueMemoryDc memory(CreateCompatibleDC(screen.get()));
  if (!memory.get()) return false;

  BITMAPINFO info = {};
  BITMAPINFOHEADER& header = info.bmiHeader;
  header.biSize = sizeof(header);
  header.biWidth = width;
  header.biHeight = height;  // bottom-up, as BMP files store rows
  header.biPlanes = 1;
  header.biBitCount = 24;
  header.biCompression = BI_RGB;
  void* bits = nullptr;
  UniqueGdiObject dib(CreateDIBSection(memory.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
  if (!dib.get() || !bits) return false;
  {
    SelectionScope selected(memory.get(), dib.get());
    if (!selected.ok()) return false;
    PatBlt(memory.get(), 0, 0, width, height, WHITENESS);
    // The window paints itself into our bitmap, so windows in front of it
    // do not show; where it cannot, take what the screen shows.
    // Copy what the window shows from its own DC, which holds its pixels
    // even when something covers it; the screen is the fallback.
    velmora::WindowDc own(window, GetWindowDC(window));
    if (!own.get() || !BitBlt(memory.get(), 0, 0, width, height, own.get(), 0, 0, SRCCOPY)) {
      if (!BitBlt(memory.get(), 0, 0, width, height, screen.get(), rect.left, rect.top, SRCCOPY)) {
        return false;
      }
    }
    GdiFlush();
  }
  const DWORD stride = (static_cast<DWORD>(width) * 3 + 3) & ~3u;
  header.biSizeImage = stride * static_cast<DWORD>(height);
  return WriteBmp(bmpPath, header, bits, header.biSizeImage);
}

}  // namespace velmora::ui
