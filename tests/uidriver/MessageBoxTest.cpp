// Reading and answering the system's message boxes, shown on another thread.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "tools/uidriver/UiDriver.h"

namespace velmora::ui {
namespace {

using ::testing::ElementsAre;

constexpr DWORD kWaitMs = 10000;

UiThread ShowBox(const wchar_t* text, const wchar_t* caption, UINT type) {
  return UiThread([=] { return static_cast<INT_PTR>(MessageBoxW(nullptr, text, caption, type)); });
}

std::vector<std::wstring> Normalized(const std::vector<std::wstring>& labels) {
  std::vector<std::wstring> out;
  for (const std::wstring& label : labels) out.push_back(NormalizeLabel(label));
  return out;
}

TEST(MessageBoxTest, InformationBoxShowsTextOkAndItsIcon) {
  UiThread ui = ShowBox(L"用户名不能为空！", L"系统", MB_OK | MB_ICONINFORMATION);
  std::optional<MessageBoxInfo> box = WaitForMessageBox(L"系统", kWaitMs, ui.ThreadId());
  ASSERT_TRUE(box);
  EXPECT_EQ(box->caption, L"系统");
  EXPECT_EQ(box->text, L"用户名不能为空！");
  EXPECT_THAT(box->buttonIds, ElementsAre(IDOK));
  EXPECT_THAT(Normalized(box->buttons), ElementsAre(L"确定"));
  EXPECT_TRUE(box->hasIcon);
  EXPECT_EQ(box->icon, MessageIcon::Information);

  ASSERT_TRUE(AnswerMessageBox(box->hwnd, IDOK));
  EXPECT_EQ(ui.Wait(kWaitMs), IDOK);
  EXPECT_TRUE(WaitForWindowGone(box->hwnd, kWaitMs));
}

TEST(MessageBoxTest, YesNoQuestionAnsweredNo) {
  UiThread ui = ShowBox(L"是否保存修改？\n第二行", L"系统 询问", MB_YESNO | MB_ICONQUESTION);
  std::optional<MessageBoxInfo> box = WaitForMessageBox(L"系统 询问", kWaitMs, ui.ThreadId());
  ASSERT_TRUE(box);
  EXPECT_EQ(box->text, L"是否保存修改？\n第二行");
  EXPECT_THAT(box->buttonIds, ElementsAre(IDYES, IDNO));
  EXPECT_THAT(Normalized(box->buttons), ElementsAre(L"是", L"否"));
  EXPECT_EQ(box->icon, MessageIcon::Question);

  EXPECT_FALSE(AnswerMessageBox(box->hwnd, IDCANCEL)) << "the box has no Cancel";
  ASSERT_TRUE(AnswerMessageBox(box->hwnd, IDNO));
  EXPECT_EQ(ui.Wait(kWaitMs), IDNO);
}

TEST(MessageBoxTest, BoxWithoutIconAnsweredByLabel) {
  UiThread ui = ShowBox(L"确认删除？", L"系统 删除", MB_OKCANCEL);
  std::optional<MessageBoxInfo> box = WaitForMessageBox(L"系统 删除", kWaitMs, ui.ThreadId());
  ASSERT_TRUE(box);
  EXPECT_FALSE(box->hasIcon);
  EXPECT_EQ(box->icon, MessageIcon::None);
  EXPECT_THAT(box->buttonIds, ElementsAre(IDOK, IDCANCEL));
  ASSERT_TRUE(PressButtonByText(box->hwnd, L"取消"));
  EXPECT_EQ(ui.Wait(kWaitMs), IDCANCEL);
}

TEST(MessageBoxTest, TellsTheStandardIconsApart) {
  const struct {
    UINT style;
    MessageIcon icon;
  } cases[] = {
      {MB_ICONINFORMATION, MessageIcon::Information},
      {MB_ICONQUESTION, MessageIcon::Question},
      {MB_ICONWARNING, MessageIcon::Warning},
      {MB_ICONERROR, MessageIcon::Error},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.icon));
    UiThread ui = ShowBox(L"图标", L"系统 图标", MB_OK | c.style);
    std::optional<MessageBoxInfo> box = WaitForMessageBox(L"系统 图标", kWaitMs, ui.ThreadId());
    ASSERT_TRUE(box);
    EXPECT_EQ(box->icon, c.icon);
    ASSERT_TRUE(AnswerMessageBox(box->hwnd, IDOK));
    ASSERT_EQ(ui.Wait(kWaitMs), IDOK);
    ASSERT_TRUE(WaitForWindowGone(box->hwnd, kWaitMs)) << "next box shares the caption";
  }
}

TEST(MessageBoxTest, NoBoxMeansNothing) {
  EXPECT_FALSE(WaitForMessageBox(L"没有这个窗口", 200));
  EXPECT_FALSE(ReadMessageBox(nullptr));
}

}  // namespace
}  // namespace velmora::ui
