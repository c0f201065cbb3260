// The driver against a real modal dialog running on another thread.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <memory>

#include "tests/uidriver/TestDialog.h"
#include "tools/uidriver/UiDriver.h"

namespace velmora::ui::test {
namespace {

using ::testing::ElementsAre;

constexpr DWORD kWaitMs = 10000;

class DialogDriverTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ui_ = std::make_unique<UiThread>([this] { return ShowTestDialog(record_); });
    dialog_ = WaitForWindow(kDialogCaption, kWaitMs, L"#32770", ui_->ThreadId());
    ASSERT_NE(dialog_, nullptr) << "dialog never showed";
  }

  // Declared first so the record outlives the dialog's thread.
  DialogRecord record_;
  std::unique_ptr<UiThread> ui_;
  HWND dialog_ = nullptr;
};

TEST_F(DialogDriverTest, TypedTextAndSelectionReachTheDialogOnOk) {
  EXPECT_THAT(ComboItems(dialog_, kServerCombo), ElementsAre(L"北京服务器", L"上海服务器", L"广州服务器"));
  EXPECT_EQ(ComboSelection(dialog_, kServerCombo), 0);

  ASSERT_TRUE(TypeInto(dialog_, kNameEdit, L"张三 Zhang"));
  EXPECT_EQ(ReadText(dialog_, kNameEdit), L"张三 Zhang");
  EXPECT_GE(record_.nameChanges.load(), 1) << "typing must notify the dialog";

  // The dialog hears of the pick once, with the new item already selected.
  ASSERT_TRUE(SelectComboItem(dialog_, kServerCombo, 2));
  EXPECT_EQ(record_.selectionChanges.load(), 1);
  EXPECT_EQ(record_.selectionSeen.load(), 2);
  EXPECT_EQ(ComboSelection(dialog_, kServerCombo), 2);

  ASSERT_TRUE(PressButton(dialog_, IDOK));
  EXPECT_EQ(ui_->Wait(kWaitMs), IDOK);
  EXPECT_EQ(record_.name, L"张三 Zhang");
  EXPECT_EQ(record_.server, 2);
  EXPECT_TRUE(WaitForWindowGone(dialog_, kWaitMs));
}

TEST_F(DialogDriverTest, CancelByLabelEndsWithIdCancel) {
  ASSERT_TRUE(TypeInto(dialog_, kNameEdit, L"李四"));
  ASSERT_TRUE(PressButtonByText(dialog_, L"取消"));
  EXPECT_EQ(ui_->Wait(kWaitMs), IDCANCEL);
  EXPECT_TRUE(record_.name.empty()) << "Cancel must not run the OK path";
  EXPECT_TRUE(WaitForWindowGone(dialog_, kWaitMs));
}

TEST_F(DialogDriverTest, TypingReplacesTextAndKeepsTheEditsRules) {
  ASSERT_TRUE(TypeInto(dialog_, kNameEdit, L"旧的名字"));
  ASSERT_TRUE(TypeInto(dialog_, kNameEdit, L"王五"));
  EXPECT_EQ(ReadText(dialog_, kNameEdit), L"王五");
  ASSERT_TRUE(TypeInto(dialog_, kNameEdit, L""));
  EXPECT_EQ(ReadText(dialog_, kNameEdit), L"");

  // A pasted or typed text stops at the edit's limit.
  ASSERT_TRUE(TypeInto(dialog_, kCodeEdit, L"12345678"));
  EXPECT_EQ(ReadText(dialog_, kCodeEdit), L"123456");

  // Keys go through the edit one by one: letters refused, the limit holds.
  ASSERT_TRUE(TypeInto(dialog_, kCodeEdit, L""));
  ASSERT_TRUE(TypeKeys(dialog_, kCodeEdit, L"1a2b3"));
  EXPECT_EQ(ReadText(dialog_, kCodeEdit), L"123");
  ASSERT_TRUE(TypeKeys(dialog_, kCodeEdit, L"4567"));
  EXPECT_EQ(ReadText(dialog_, kCodeEdit), L"123456");

  ASSERT_TRUE(TypeInto(dialog_, kNameEdit, L"赵六"));
  ASSERT_TRUE(PressButtonByText(dialog_, L"确定"));
  EXPECT_EQ(ui_->Wait(kWaitMs), IDOK);
  EXPECT_EQ(record_.code, L"123456");
}

TEST_F(DialogDriverTest, RefusesWhatAPersonCouldNotDo) {
  EXPECT_FALSE(TypeInto(dialog_, kNoteEdit, L"改")) << "read-only edit";
  EXPECT_EQ(ReadText(dialog_, kNoteEdit), L"只读说明");
  EXPECT_FALSE(TypeInto(dialog_, IDOK, L"x")) << "not an edit";
  EXPECT_FALSE(TypeInto(dialog_, 4242, L"x")) << "no such control";
  EXPECT_FALSE(PressButton(dialog_, kHelpButton)) << "disabled button";
  EXPECT_FALSE(PressButtonByText(dialog_, L"帮助"));
  EXPECT_FALSE(PressButtonByText(dialog_, L"登录")) << "no such label";
  EXPECT_FALSE(PressButton(dialog_, kNameEdit)) << "not a button";
  EXPECT_FALSE(SelectComboItem(dialog_, kServerCombo, 3));
  EXPECT_FALSE(SelectComboItem(dialog_, kServerCombo, -1));
  EXPECT_EQ(record_.selectionChanges.load(), 0);
  EXPECT_EQ(ComboSelection(dialog_, kServerCombo), 0);
  EXPECT_TRUE(ComboItems(dialog_, 4242).empty());
}

// OK with no name opens a message box from the dialog procedure: the press
// must not wait for it, and the dialog behind it cannot be pressed.
TEST_F(DialogDriverTest, ModalBoxFromAPressIsDrivenToo) {
  ASSERT_TRUE(PressButton(dialog_, IDOK));
  std::optional<MessageBoxInfo> box = WaitForMessageBox(kEmptyNameCaption, kWaitMs, ui_->ThreadId());
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, kEmptyNameText);
  EXPECT_FALSE(PressButton(dialog_, IDOK)) << "dialog is disabled behind the box";
  EXPECT_FALSE(TypeInto(dialog_, kNameEdit, L"x"));

  ASSERT_TRUE(AnswerMessageBox(box->hwnd, IDOK));
  ASSERT_TRUE(WaitForWindowGone(box->hwnd, kWaitMs));
  EXPECT_FALSE(ui_->Wait(0)) << "the dialog stays open";
  EXPECT_TRUE(IsWindow(dialog_));

  // Enabled again once the box has gone.
  ASSERT_TRUE(TypeInto(dialog_, kNameEdit, L"孙七"));
  ASSERT_TRUE(PressButton(dialog_, IDOK));
  EXPECT_EQ(ui_->Wait(kWaitMs), IDOK);
  EXPECT_EQ(record_.name, L"孙七");
}

TEST_F(DialogDriverTest, FindsWindowsOnlyByExactCaptionAndClass) {
  EXPECT_EQ(WaitForWindow(kDialogCaption, 0), dialog_);
  EXPECT_EQ(WaitForWindow(kDialogCaption, 0, L"#32770", ui_->ThreadId()), dialog_);
  EXPECT_EQ(WaitForWindow(kDialogCaption, 200, nullptr, GetCurrentThreadId()), nullptr)
      << "another thread's window";
  const DWORD thread = ui_->ThreadId();
  EXPECT_EQ(WaitForWindow(L"系统", 200, nullptr, thread), nullptr) << "prefix of the caption";
  EXPECT_EQ(WaitForWindow(kDialogCaption + L" ", 200, nullptr, thread), nullptr);
  EXPECT_EQ(WaitForWindow(kDialogCaption, 200, L"Button", thread), nullptr);
  EXPECT_EQ(WindowText(dialog_), kDialogCaption);
  EXPECT_FALSE(WaitForWindowGone(dialog_, 200));
}

// A test that stops half way leaves its dialog, and even a box over it, to
// the thread's owner, which must close both so the process can end.
TEST(UiThreadTest, LeftoverDialogAndBoxAreClosed) {
  DialogRecord record;
  HWND dialog = nullptr;
  HWND box = nullptr;
  {
    UiThread ui([&record] { return ShowTestDialog(record); });
    dialog = WaitForWindow(kDialogCaption, kWaitMs, L"#32770", ui.ThreadId());
    ASSERT_NE(dialog, nullptr);
    ASSERT_TRUE(PressButton(dialog, IDOK));
    std::optional<MessageBoxInfo> info = WaitForMessageBox(kEmptyNameCaption, kWaitMs, ui.ThreadId());
    ASSERT_TRUE(info);
    box = info->hwnd;
  }
  EXPECT_FALSE(IsWindow(box));
  EXPECT_FALSE(IsWindow(dialog));
}

TEST(UiThreadTest, ReturnsTheBodysResult) {
  UiThread ui([] { return INT_PTR{42}; });
  EXPECT_EQ(ui.Wait(kWaitMs), 42);
  EXPECT_NE(ui.ThreadId(), GetCurrentThreadId());
}

TEST(NormalizeLabelTest, IgnoresAcceleratorMarks) {
  EXPECT_EQ(NormalizeLabel(L"是(&Y)"), L"是");
  EXPECT_EQ(NormalizeLabel(L"是(Y)"), L"是");
  EXPECT_EQ(NormalizeLabel(L"&OK"), L"OK");
  EXPECT_EQ(NormalizeLabel(L"确定"), L"确定");
  EXPECT_EQ(NormalizeLabel(L"Save && Exit"), L"Save & Exit");
  EXPECT_EQ(NormalizeLabel(L"(&A)"), L"(A)") << "nothing left to name the button";
  EXPECT_EQ(NormalizeLabel(L"浏览(&B)..."), L"浏览(B)...");
}

}  // namespace
}  // namespace velmora::ui::test
