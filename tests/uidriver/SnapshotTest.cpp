// Window pictures: a readable 24-bit BMP of the window's own size.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <set>
#include <vector>

#include "tests/uidriver/TestDialog.h"
#include "tools/uidriver/UiDriver.h"

namespace velmora::ui::test {
namespace {

constexpr DWORD kWaitMs = 10000;

std::wstring TempPath(const wchar_t* name) {
  wchar_t dir[MAX_PATH];
  DWORD length = GetTempPathW(MAX_PATH, dir);
  return std::wstring(dir, length) + name;
}

std::vector<unsigned char> ReadAll(const std::wstring& path) {
  std::ifstream in(std::filesystem::path(path), std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

TEST(SnapshotTest, DialogPictureHasTheWindowsSizeAndContent) {
  DialogRecord record;
  UiThread ui([&record] { return ShowTestDialog(record); });
  HWND dialog = WaitForWindow(kDialogCaption, kWaitMs, L"#32770", ui.ThreadId());
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(TypeInto(dialog, kNameEdit, L"张三"));

  const std::wstring path = TempPath(L"velmora-uidriver-dialog.bmp");
  ASSERT_TRUE(SaveWindowBitmap(dialog, path));
  std::vector<unsigned char> file = ReadAll(path);
  DeleteFileW(path.c_str());

  ASSERT_GT(file.size(), sizeof(BITMAPFILEHEADER) + sizeof(BITMAPINFOHEADER));
  BITMAPFILEHEADER fileHeader;
  BITMAPINFOHEADER header;
  memcpy(&fileHeader, file.data(), sizeof(fileHeader));
  memcpy(&header, file.data() + sizeof(fileHeader), sizeof(header));
  RECT rect;
  GetWindowRect(dialog, &rect);
  EXPECT_EQ(fileHeader.bfType, 0x4D42);
  EXPECT_EQ(header.biWidth, rect.right - rect.left);
  EXPECT_EQ(header.biHeight, rect.bottom - rect.top);
  EXPECT_EQ(header.biBitCount, 24);
  const size_t stride = (static_cast<size_t>(header.biWidth) * 3 + 3) & ~size_t{3};
  EXPECT_EQ(fileHeader.bfSize, file.size());
  ASSERT_EQ(file.size(), fileHeader.bfOffBits + stride * header.biHeight);

  // A painted dialog has face, frame and text colours, not one flat fill.
  std::set<unsigned long> colours;
  for (LONG y = 0; y < header.biHeight; y += 3) {
    const unsigned char* row = file.data() + fileHeader.bfOffBits + y * stride;
    for (LONG x = 0; x < header.biWidth; x += 3) {
      colours.insert(row[3 * x] | row[3 * x + 1] << 8 | static_cast<unsigned long>(row[3 * x + 2]) << 16);
    }
  }
  EXPECT_GE(colours.size(), 3u);
}

TEST(SnapshotTest, FailsWithoutAWindowOrAPlaceToWrite) {
  EXPECT_FALSE(SaveWindowBitmap(nullptr, TempPath(L"velmora-uidriver-none.bmp")));

  DialogRecord record;
  UiThread ui([&record] { return ShowTestDialog(record); });
  HWND dialog = WaitForWindow(kDialogCaption, kWaitMs, L"#32770", ui.ThreadId());
  ASSERT_NE(dialog, nullptr);
  EXPECT_FALSE(SaveWindowBitmap(dialog, TempPath(L"no-such-dir\\x.bmp")));
}

}  // namespace
}  // namespace velmora::ui::test
