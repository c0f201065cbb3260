// The folder browser and the working-directory dialog, shown on a thread of
// their own and driven through the UI driver.
#include <gtest/gtest.h>

#include <cstdlib>
#include <functional>
#include <memory>

#include "common/Raii.h"
#include "common/Text.h"
#include "resources/resource.h"
#include "tests/workdir/WorkdirTestSupport.h"
#include "tools/uidriver/UiDriver.h"
#include "workdir/FolderBrowserDialog.h"
#include "workdir/WorkingDirectoryDialog.h"

namespace velmora::test {
namespace {

const std::wstring kBrowserCaption = L"请选择目录";
const std::wstring kSettingsCaption = L"本地工作目录设置";
const std::wstring kData = L"C:\\data";

// The dialogs run in an apartment, as on the control's thread.
std::unique_ptr<ui::UiThread> OnUiThread(std::function<INT_PTR()> body) {
  return std::make_unique<ui::UiThread>([body] {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    INT_PTR result = body();
    CoUninitialize();
    return result;
  });
}

// Keeps a picture of a dialog when VELMORA_SCREENSHOT_DIR names a folder.
void Snapshot(HWND window, const wchar_t* name) {
  const wchar_t* dir = _wgetenv(L"VELMORA_SCREENSHOT_DIR");
  if (dir) ui::SaveWindowBitmap(window, std::wstring(dir) + L"\\" + name);
}

class WorkdirDialogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    DeleteTempFilePath();
    RemoveTree(kData);
    MakeTree(L"C:", {{L"data\\", ""}, {L"data\\work\\", ""}});
  }
  void TearDown() override {
    ui_.reset();
    RemoveTree(kData);
    DeleteTempFilePath();
  }

  HWND Wait(const std::wstring& caption) { return ui::WaitForWindow(caption, kWaitMs, L"#32770", ui_->ThreadId()); }

  // The folder browser on its own; what it yields goes to chosen_.
  HWND OpenBrowser() {
    ui_ = OnUiThread([this] {
      FolderBrowserDialog browser;
      INT_PTR result = browser.Run(nullptr);
      chosen_ = browser.ResultPath();
      return result;
    });
    return Wait(kBrowserCaption);
  }

  // Opens the browser from the working-directory dialog and picks C:\data\work.
  bool BrowseToWork(HWND dialog, bool snapshot = false) {
    if (!ui::PressButton(dialog, IDC_WORKDIR_BROWSE)) return false;
    HWND browser = Wait(kBrowserCaption);
    if (!browser || !SelectFolderOnC(GetDlgItem(browser, IDC_FOLDER_TREE), {L"data", L"work"})) return false;
    if (snapshot) Snapshot(browser, L"folder-browser.bmp");
    return ui::PressButton(browser, IDOK) && ui::WaitForWindowGone(browser, kWaitMs);
  }

  std::unique_ptr<ui::UiThread> ui_;
  std::string chosen_;
};

TEST_F(WorkdirDialogTest, BrowserOpensOnTheFirstRootAndListsEachLevelOnce) {
  HWND dialog = OpenBrowser();
  ASSERT_NE(dialog, nullptr);
  HWND tree = GetDlgItem(dialog, IDC_FOLDER_TREE);
  auto roots = ui::TreeChildren(tree, nullptr);
  ASSERT_FALSE(roots.empty());
  HTREEITEM first = roots.front().first;
  EXPECT_EQ(ui::SelectedTreeItem(tree), first);
  EXPECT_TRUE(ui::TreeItemExpanded(tree, first));
  const auto firstChildren = ui::TreeChildren(tree, first);
  EXPECT_FALSE(firstChildren.empty());

  // Collapsing and expanding again lists nothing twice.
  auto [computer, driveC] = FindComputerAndDriveC(tree);
  ASSERT_NE(driveC, nullptr);
  ui::ExpandTreeItem(tree, driveC);
  const auto onC = ui::TreeChildren(tree, driveC);
  for (HTREEITEM item : {first, computer, driveC}) {
    ui::ExpandTreeItem(tree, item, TVE_COLLAPSE);
    ui::ExpandTreeItem(tree, item, TVE_EXPAND);
  }
  EXPECT_EQ(ui::TreeChildren(tree, first), firstChildren);
  EXPECT_EQ(ui::TreeChildren(tree, driveC), onC);
  EXPECT_NE(ui::FindTreeChild(tree, driveC, L"data"), nullptr);

  // OK with nothing selected does nothing.
  ASSERT_TRUE(ui::SelectTreeItem(tree, nullptr));
  ASSERT_EQ(ui::SelectedTreeItem(tree), nullptr);
  ASSERT_TRUE(ui::PressButton(dialog, IDOK));
  EXPECT_FALSE(ui_->Wait(500));
  ASSERT_TRUE(ui::PressButton(dialog, IDCANCEL));
  EXPECT_EQ(ui_->Wait(kWaitMs), IDCANCEL);
  EXPECT_EQ(chosen_, "");
}

TEST_F(WorkdirDialogTest, BrowserYieldsAFileSystemPathOrRefuses) {
  const struct {
    const char* name;
    std::vector<std::wstring> below;  // below drive C:
    bool computer;                    // pick the computer itself instead
    std::string result;               // empty: refused with a message
  } cases[] = {
      {"a folder", {L"data", L"work"}, false, "C:\\data\\work"},
      {"a drive root", {}, false, "C:"},
      {"a virtual folder", {}, true, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    chosen_ = "unset";
    HWND dialog = OpenBrowser();
    ASSERT_NE(dialog, nullptr);
    HWND tree = GetDlgItem(dialog, IDC_FOLDER_TREE);
    if (c.computer) {
      ASSERT_TRUE(ui::SelectTreeItem(tree, FindComputerAndDriveC(tree).first));
    } else {
      ASSERT_TRUE(SelectFolderOnC(tree, c.below));
    }
    ASSERT_TRUE(ui::PressButton(dialog, IDOK));
    if (!c.result.empty()) {
      EXPECT_EQ(ui_->Wait(kWaitMs), IDOK);
      EXPECT_EQ(chosen_, c.result);
      continue;
    }
    std::optional<ui::MessageBoxInfo> box = ui::WaitForMessageBox(L"系统提示", kWaitMs, ui_->ThreadId());
    ASSERT_TRUE(box);
    EXPECT_EQ(box->text, L"未选中目录！");
    EXPECT_EQ(box->buttonIds, std::vector<int>{IDOK});
    ASSERT_TRUE(ui::AnswerMessageBox(box->hwnd, IDOK));
    ASSERT_TRUE(ui::WaitForWindowGone(box->hwnd, kWaitMs));
    EXPECT_TRUE(IsWindow(dialog)) << "stays open";
    ASSERT_TRUE(ui::PressButton(dialog, IDCANCEL));
    EXPECT_EQ(ui_->Wait(kWaitMs), IDCANCEL);
    EXPECT_EQ(chosen_, "");
  }
}

TEST_F(WorkdirDialogTest, ShowsOnlyAStoredStringThatFits) {
  const struct {
    const char* name;
    DWORD type;
    std::string bytes;  // nothing stored when empty
    std::wstring shown;
  } cases[] = {
      {"text", REG_SZ, std::string("D:\\work\\temp", 13), L"D:\\work\\temp"},
      {"not a string", REG_DWORD, std::string("\x01\x02\x03\x04", 4), L""},
      {"expandable string", REG_EXPAND_SZ, std::string("D:\\x", 5), L""},
      {"260 bytes with the terminator fit", REG_SZ, std::string(259, 'a') + '\0', std::wstring(259, L'a')},
      {"261 do not", REG_SZ, std::string(260, 'a') + '\0', L""},
      {"absent", REG_SZ, "", L""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    DeleteTempFilePath();
    if (!c.bytes.empty()) SetTempFilePath(c.type, c.bytes);
    const std::optional<std::string> before = StoredTempFilePath();
    ui_ = OnUiThread([] { return ShowWorkingDirectorySettings(); });
    HWND dialog = Wait(kSettingsCaption);
    ASSERT_NE(dialog, nullptr);
    EXPECT_EQ(ui::ReadText(dialog, IDC_WORKDIR_PATH), c.shown);
    EXPECT_FALSE(ui::TypeInto(dialog, IDC_WORKDIR_PATH, L"x")) << "read-only";
    ASSERT_TRUE(ui::PressButton(dialog, IDCANCEL));
    EXPECT_EQ(ui_->Wait(kWaitMs), IDCANCEL);
    EXPECT_EQ(StoredTempFilePath(), before) << "Cancel stores nothing";
  }
}

TEST_F(WorkdirDialogTest, OkWithoutAChoiceSaysSoAndStaysOpen) {
  ui_ = OnUiThread([] { return ShowWorkingDirectorySettings(); });
  HWND dialog = Wait(kSettingsCaption);
  ASSERT_NE(dialog, nullptr);
  Snapshot(dialog, L"working-directory.bmp");
  ASSERT_TRUE(ui::PressButton(dialog, IDOK));
  std::optional<ui::MessageBoxInfo> box = ui::WaitForMessageBox(L"系统提示", kWaitMs, ui_->ThreadId());
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, L"临时目录为空");
  EXPECT_EQ(box->icon, ui::MessageIcon::Information);
  EXPECT_EQ(box->buttonIds, std::vector<int>{IDOK});
  ASSERT_TRUE(ui::AnswerMessageBox(box->hwnd, IDOK));
  ASSERT_TRUE(ui::WaitForWindowGone(box->hwnd, kWaitMs));
  EXPECT_FALSE(ui_->Wait(0));
  ASSERT_TRUE(ui::PressButton(dialog, IDCANCEL));
  EXPECT_EQ(ui_->Wait(kWaitMs), IDCANCEL);
  EXPECT_EQ(StoredTempFilePath(), std::nullopt);
}

TEST_F(WorkdirDialogTest, OkOnTheStoredChoiceCreatesItAndStoresItAgain) {
  SetTempFilePath(REG_SZ, std::string("C:\\data\\work\\temp", 18));
  ui_ = OnUiThread([] { return ShowWorkingDirectorySettings(); });
  HWND dialog = Wait(kSettingsCaption);
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(ui::PressButton(dialog, IDOK));
  EXPECT_EQ(ui_->Wait(kWaitMs), IDOK);
  EXPECT_EQ(StoredTempFilePath(), "C:\\data\\work\\temp");
  EXPECT_EQ(ReadTree(L"C:\\data\\work"), (std::map<std::wstring, std::string>{{L"temp", "<dir>"}}));
}

// A new choice is created and stored, and the old directory's own files and
// CheckOut subtree follow it.
TEST_F(WorkdirDialogTest, BrowsedChoiceIsCreatedStoredAndReceivesTheFiles) {
  MakeTree(kData, {{L"old\\", ""}, {L"old\\temp\\", ""}, {L"old\\temp\\a.txt", "a"},
                   {L"old\\temp\\CheckOut\\", ""}, {L"old\\temp\\CheckOut\\q.dwg", "q"},
                   {L"old\\temp\\Other\\", ""}, {L"old\\temp\\Other\\r.txt", "r"}});
  SetTempFilePath(REG_SZ, std::string("C:\\data\\old\\temp", 17));
  ui_ = OnUiThread([] { return ShowWorkingDirectorySettings(); });
  HWND dialog = Wait(kSettingsCaption);
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(BrowseToWork(dialog, true));
  EXPECT_EQ(ui::ReadText(dialog, IDC_WORKDIR_PATH), L"C:\\data\\work\\temp");
  Snapshot(dialog, L"working-directory-chosen.bmp");
  ASSERT_TRUE(ui::PressButton(dialog, IDOK));
  EXPECT_EQ(ui_->Wait(kWaitMs), IDOK);
  EXPECT_EQ(StoredTempFilePath(), "C:\\data\\work\\temp");
  EXPECT_EQ(ReadTree(L"C:\\data\\work\\temp"),
            (std::map<std::wstring, std::string>{{L"a.txt", "a"}, {L"CheckOut", "<dir>"}, {L"CheckOut\\q.dwg", "q"}}));
  EXPECT_EQ(ReadTree(L"C:\\data\\old\\temp").size(), 5u) << "the source stays";
}

// The new directory is stored before the copy, so a file that could not
// follow is named in one message after it.
TEST_F(WorkdirDialogTest, FilesLeftBehindAreNamedInOneMessageAfterTheCopy) {
  MakeTree(kData, {{L"old\\", ""}, {L"old\\temp\\", ""}, {L"old\\temp\\a.txt", "a"},
                   {L"old\\temp\\CheckOut\\", ""}, {L"old\\temp\\CheckOut\\held.dwg", "h"}});
  SetTempFilePath(REG_SZ, std::string("C:\\data\\old\\temp", 17));
  UniqueFile held(CreateFileW(L"C:\\data\\old\\temp\\CheckOut\\held.dwg", GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0,
                              nullptr));
  ASSERT_TRUE(held);
  ui_ = OnUiThread([] { return ShowWorkingDirectorySettings(); });
  HWND dialog = Wait(kSettingsCaption);
  ASSERT_NE(dialog, nullptr);
  ASSERT_TRUE(BrowseToWork(dialog));
  ASSERT_TRUE(ui::PressButton(dialog, IDOK));
  std::optional<ui::MessageBoxInfo> box = ui::WaitForMessageBox(L"系统提示", kWaitMs, ui_->ThreadId());
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, L"1 个文件未能迁移到新的工作目录，仍保留在原目录\nC:\\data\\old\\temp 中：\nCheckOut\\held.dwg（被其他程序占用）");
  EXPECT_EQ(box->icon, ui::MessageIcon::Information);
  EXPECT_EQ(box->buttonIds, std::vector<int>{IDOK});
  EXPECT_EQ(StoredTempFilePath(), "C:\\data\\work\\temp") << "stored before the copy";
  Snapshot(box->hwnd, L"not-migrated.bmp");
  ASSERT_TRUE(ui::AnswerMessageBox(box->hwnd, IDOK));
  EXPECT_EQ(ui_->Wait(kWaitMs), IDOK);
  held.reset();
  EXPECT_EQ(ReadTree(L"C:\\data\\work\\temp"),
            (std::map<std::wstring, std::string>{{L"a.txt", "a"}, {L"CheckOut", "<dir>"}}));
  EXPECT_EQ(ReadTree(L"C:\\data\\old\\temp").size(), 3u) << "the source stays";
}

TEST_F(WorkdirDialogTest, StoresNothingWhenTheChoiceIsUnchangedOrCancelled) {
  const struct {
    const char* name;
    std::string stored;
    int button;
    INT_PTR result;
  } cases[] = {
      {"browsed to the stored choice, then OK", "C:\\data\\work\\temp", IDOK, IDOK},
      {"browsed elsewhere, then Cancel", "C:\\data\\old\\temp", IDCANCEL, IDCANCEL},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SetTempFilePath(REG_SZ, c.stored + '\0');
    ui_ = OnUiThread([] { return ShowWorkingDirectorySettings(); });
    HWND dialog = Wait(kSettingsCaption);
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(BrowseToWork(dialog));
    // Marks the value, so any write from here on shows.
    SetTempFilePath(REG_SZ, std::string("marker", 7));
    ASSERT_TRUE(ui::PressButton(dialog, c.button));
    EXPECT_EQ(ui_->Wait(kWaitMs), c.result);
    EXPECT_EQ(StoredTempFilePath(), "marker");
    EXPECT_EQ(GetFileAttributesW(L"C:\\data\\work\\temp"), INVALID_FILE_ATTRIBUTES) << "nothing created";
  }
}

TEST_F(WorkdirDialogTest, LoginsChoiceStartsEmptyAndHandsBackTheChoice) {
  SetTempFilePath(REG_SZ, std::string("C:\\data\\old\\temp", 17));
  bool chose = false;
  ui_ = OnUiThread([this, &chose] {
    chose = ChooseWorkingDirectory(&chosen_);
    return INT_PTR{chose};
  });
  HWND dialog = Wait(kSettingsCaption);
  ASSERT_NE(dialog, nullptr);
  EXPECT_EQ(ui::ReadText(dialog, IDC_WORKDIR_PATH), L"");
  ASSERT_TRUE(BrowseToWork(dialog));
  ASSERT_TRUE(ui::PressButton(dialog, IDOK));
  ASSERT_TRUE(ui_->Wait(kWaitMs));
  EXPECT_TRUE(chose);
  EXPECT_EQ(chosen_, "C:\\data\\work\\temp");
  EXPECT_EQ(StoredTempFilePath(), "C:\\data\\work\\temp");
}

}  // namespace
}  // namespace velmora::test
