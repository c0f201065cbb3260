// Whole sessions of a control on a thread of its own, whose dialogs the UI
// driver answers from the test's thread, against the development AppServer
// and a reference message server: the prefix state a session needs
// (TempFilePath, the AppServer's data file, the host's INI file) and the
// driving steps. Shared by the login session tests and the boundary tests.
#pragma once

#include <gtest/gtest.h>

#include <windows.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "tools/uidriver/UiDriver.h"
#include "velmora_h.h"

namespace velmora::test {

class SessionTest : public ::testing::Test {
 protected:
  // A fresh directory whose temp\ is TempFilePath, an INI file naming one
  // server (测试中心) whose message server is `messageIp`, and `accounts` as
  // the AppServer's data file.
  void Prepare(const std::string& messageIp, std::string_view accounts);
  void TearDown() override;

  // Runs `session` on a thread of its own, with a control created there;
  // the control is released when the session returns.
  void Start(std::function<void(IVelmoraCtl*)> session);
  // Login with the prepared INI file.
  HRESULT Login(IVelmoraCtl* control, VARIANT_BOOL* value);

  HWND LoginDialog();
  // Fills the login dialog and presses OK; `accepted` waits for it to
  // close, so that the next dialog found is a new one.
  void Submit(const std::wstring& account, const std::wstring& password, bool accepted = true);
  // Answers the next message box of `caption`, which must say `text`.
  void Answer(const wchar_t* caption, const std::wstring& text);
  // Waits for the session to end; a low-disk warning of the test machine
  // is answered on the way.
  void Finish();

  std::wstring root_, data_, ini_;
  std::string temp_;
  std::unique_ptr<ui::UiThread> ui_;
};

}  // namespace velmora::test
