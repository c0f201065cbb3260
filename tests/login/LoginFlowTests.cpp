// Settling the working directory after the account check: a usable stored
// directory is taken as is, anything else asks for one.
#include <gtest/gtest.h>

#include <windows.h>
#include <objbase.h>

#include <memory>

#include "control/LoginFlow.h"
#include "resources/resource.h"
#include "tests/workdir/WorkdirTestSupport.h"
#include "tools/uidriver/UiDriver.h"

namespace velmora::test {
namespace {

class SettleTest : public ::testing::Test {
 protected:
  void SetUp() override {
    RemoveTree(L"C:\\data");
    MakeTree(L"C:", {{L"data\\", ""}, {L"data\\work\\", ""}, {L"data\\temp\\", ""}, {L"data\\temp\\a.txt", "a"}});
  }
  void TearDown() override {
    ui_.reset();
    RemoveTree(L"C:\\data");
    DeleteTempFilePath();
  }

  void Settle() {
    local_ = "unset";
    ui_ = std::make_unique<ui::UiThread>([this] {
      CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
      const bool settled = SettleWorkingDirectory(&local_);
      CoUninitialize();
      return static_cast<INT_PTR>(settled);
    });
  }

  std::string local_;
  std::unique_ptr<ui::UiThread> ui_;
};

TEST_F(SettleTest, TakesAUsableDirectoryAndAsksForAnyOther) {
  const struct {
    std::string stored;
    bool usable;
  } cases[] = {
      {"C:\\data\\temp", true},
      {"C:\\data\\TEMP", false},  // exists, but not spelled "temp"
      {"C:\\data\\gone\\temp", false},
      {"", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.stored);
    DeleteTempFilePath();
    if (!c.stored.empty()) SetTempFilePath(REG_SZ, c.stored + '\0');
    Settle();
    if (c.usable) {
      // A nearly full disk on the test machine only adds a warning.
      EXPECT_EQ(ui_->WaitAnswering(kWaitMs, L"系统提示", IDOK), TRUE);
      EXPECT_EQ(local_, c.stored + "\\");
      continue;
    }
    HWND dialog = ui::WaitForWindow(L"本地工作目录设置", kWaitMs, L"#32770", ui_->ThreadId());
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(ui::ReadText(dialog, IDC_WORKDIR_PATH), L"") << "starts empty";
    ASSERT_TRUE(ui::PressButton(dialog, IDC_WORKDIR_BROWSE));
    HWND browser = ui::WaitForWindow(L"请选择目录", kWaitMs, L"#32770", ui_->ThreadId());
    ASSERT_NE(browser, nullptr);
    ASSERT_TRUE(SelectFolderOnC(GetDlgItem(browser, IDC_FOLDER_TREE), {L"data", L"work"}));
    ASSERT_TRUE(ui::PressButton(browser, IDOK));
    ASSERT_TRUE(ui::WaitForWindowGone(browser, kWaitMs));
    ASSERT_TRUE(ui::PressButton(dialog, IDOK));
    EXPECT_EQ(ui_->Wait(kWaitMs), TRUE);
    EXPECT_EQ(local_, "C:\\data\\work\\temp\\");
  }
}

}  // namespace
}  // namespace velmora::test
