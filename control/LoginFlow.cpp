#include "control/LoginFlow.h"

#include <windows.h>

#include <wrl/client.h>

#include <cstring>
#include <utility>

#include "common/DialogHelpers.h"
#include "common/Raii.h"
#include "common/Settings.h"
#include "common/Text.h"
#include "common/Trace.h"
#include "appserver/ServerCall.h"
#include "messaging/MessageChannel.h"
#include "workdir/FileMigration.h"
#include "workdir/WorkingDirectoryDialog.h"

namespace velmora {

namespace {

// The text stored as UpdateServer: a database NULL (or nothing) is no
// server, a number its decimal text, anything else its text where it has one.
std::string UpdateServerText(VARIANT* value) {
  if (V_VT(value) == VT_NULL || V_VT(value) == VT_EMPTY) return {};
  if (FAILED(VariantChangeTypeEx(value, value, LOCALE_INVARIANT, VARIANT_ALPHABOOL, VT_BSTR))) return {};
  return ToMultiByte(V_BSTR(value));
}

// The first row as the login reads it; a failed count already fails the
// row. The column names are UTF-8, as the login core looks them up.
void ReadFirstRow(IDispatch* recordset, HRESULT counted, login::AccountCheck* check) {
  check->rowStatus = counted;
  if (FAILED(check->rowStatus)) return;
  check->rowStatus = appserver::MoveFirst(recordset);
  if (FAILED(check->rowStatus)) return;
  Microsoft::WRL::ComPtr<IDispatch> fields;
  check->rowStatus = appserver::GetFields(recordset, fields.GetAddressOf());
  if (FAILED(check->rowStatus)) return;
  static const char* const kColumns[] = {"帐号", "姓名", "FTPIP", "USERNAME", "PASSWORD",
                                         "管理专业", "管理专业名称", "本地路径"};
  for (const char* column : kColumns) {
    login::ColumnText& text = check->columns[column];
    text.status = appserver::ReadColumnText(fields.Get(), column, &text.text);
  }
}

// "register outcome=registered cycles=1 ms=...": the end of a login's
// registration, however it ended.
void TraceRegistration(login::RegistrationResult result, int cycles, const trace::Stopwatch& watch) {
  trace::Event("register", [&](std::string& d) {
    static const char* const kNames[] = {"registered", "in-use-elsewhere", "gave-up", "unanswered"};
    d = "outcome=";
    d += kNames[static_cast<int>(result)];
    if (cycles == 0) d += " channel=not-started";
    d += " cycles=" + std::to_string(cycles);
    trace::AppendMilliseconds(d, watch.Microseconds());
  });
}

}  // namespace

login::AccountCheck CheckAccountOnServer(const std::string& account, const SecretText& password) {
  login::AccountCheck check;
  Microsoft::WRL::ComPtr<IDispatch> recordset;
  check.status = appserver::CheckAccount(account, password, recordset.GetAddressOf());
  if (FAILED(check.status)) return check;
  LONG count = 0;
  const HRESULT counted = appserver::GetRecordCount(recordset.Get(), &count);
  if (SUCCEEDED(counted)) check.recordCount = count;
  if (check.recordCount && *check.recordCount == 0) return check;
  UniqueVariant updateServer;
  if (FAILED(appserver::GetCollect(recordset.Get(), L"UPDATESERVER", updateServer.put()))) {
    return check;  // the dialog stays open without a word: no row is needed
  }
  check.updateServer = UpdateServerText(updateServer.get());
  ReadFirstRow(recordset.Get(), counted, &check);
  return check;
}

LoginResult RunLogin(MessageChannel& channel, LoginState& state, const std::string& iniPath,
                     const CheckAccountFn& checkAccount) {
  LoginResult result;
  std::optional<login::AccountCheck> check;
  SecretText password;
  std::string account;
  // Shown since OK, until this returns: the dialog has closed, and the
  // registration may take seconds with nothing of ours on screen.
  std::optional<WaitCursor> busy;
  {
    LoginDialog dialog(iniPath, checkAccount);
    if (dialog.Run(GetActiveWindow()) != IDOK) {
      result.value = kLoginCancelled;
      return result;
    }
    busy = dialog.TakeWaitCursor();
    account = dialog.Account();
    password = dialog.TakePassword();
    check = dialog.Result();
    state.MessageIP = dialog.MessageIp();
  }
  if (RegisterOnChannel(channel, account, state.MessageIP) == login::RegistrationResult::InUseElsewhere) {
    result.value = kLoginInUseElsewhere;
    return result;
  }

  login::UserFields fields;
  // The dialog ends with OK only after a check that reached the server.
  const login::Status filled = check ? login::FillUserFields(*check, password, &fields) : E_UNEXPECTED;
  password.clear();
  // A failed row still leaves what was read before the failure.
  state.UserID = fields.userId;
  state.UserName = fields.userName;
  state.FtpIP = fields.ftpIp;
  state.FtpUserName = fields.ftpUserName;
  state.FtpPassword = std::move(fields.ftpPassword);
  state.ManagedSpecialty = fields.managedSpecialty;
  state.ManageSpecNames = fields.manageSpecNames;
  state.LocalFilePath = fields.localFilePath;
  state.Password = std::move(fields.password);
  result.hr = filled;
  if (!login::Failed(filled)) result.value = VARIANT_TRUE;

  SettleWorkingDirectory(&state.LocalFilePath);
  return result;
}

login::RegistrationResult RegisterOnChannel(MessageChannel& channel, const std::string& account,
                                            const std::string& messageIp) {
  const trace::Stopwatch watch;
  int cycles = 0;
  channel.SetServerAddress(messageIp);
  if (channel.Start(0) != 1) {
    TraceRegistration(login::RegistrationResult::GaveUp, cycles, watch);
    return login::RegistrationResult::GaveUp;
  }
  const login::RegistrationSteps steps{
      [&] {
        ++cycles;
        trace::Event("register",
                     [&](std::string& d) { d = "cycle=" + std::to_string(cycles) + " server=" + messageIp; });
        channel.RequestPeerList();
      },
      [&](const std::string& name) { return channel.FindPeer(name); },
      [&](const msg::Ipv4& address) { return channel.IsOwnAddress(address); },
      [&](const std::string& name) { return channel.Register(name, messageIp) == 1; },
      [&] { return channel.ServerDatagramsReceived(); },
  };
  const login::RegistrationOutcome outcome = login::RunRegistrationCycle(account, steps);
  TraceRegistration(outcome.result, cycles, watch);
  if (outcome.result == login::RegistrationResult::InUseElsewhere) {
    ShowMessage(GetActiveWindow(),
                L"你已经在" + ToWide(msg::FormatIpv4(outcome.elsewhere)) + L"登录使用本系统，不能两台机器上同时登录使用！",
                kCaptionSystemPrompt, MB_ICONINFORMATION);
  }
  return outcome.result;
}

bool SettleWorkingDirectory(std::string* localFilePath) {
  UniqueHkey key;
  if (OpenSettingsKey("SOFTWARE\\Sorvik", KEY_ALL_ACCESS, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
    ShowMessage(nullptr, std::wstring(L"注册表不能打开!"), kCaptionSystemPrompt, MB_OK);
    return false;
  }
  char buffer[260] = {};
  DWORD type = 0;
  DWORD size = sizeof buffer;
  std::optional<std::string> stored;
  if (RegQueryValueExA(key.get(), "TempFilePath", nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) ==
          ERROR_SUCCESS &&
      type == REG_SZ) {
    stored = std::string(buffer, strnlen(buffer, size));
  }
  if (login::IsUsableTempFilePath(stored, [](const std::string& path) { return PathExists(path); })) {
    std::optional<uint64_t> freeBytes;
    ULARGE_INTEGER available{};
    if (GetDiskFreeSpaceExA(login::DiskRoot(*stored).c_str(), &available, nullptr, nullptr)) {
      freeBytes = available.QuadPart;
    }
    if (std::optional<uint64_t> mebibytes = login::LowSpaceWarning(freeBytes)) {
      ShowMessage(nullptr,
                  L"您的临时目录的剩余磁盘空间仅剩" + std::to_wstring(*mebibytes) + L"M\n请清理磁盘。\n建议100M以上！",
                  kCaptionSystemPrompt, MB_ICONEXCLAMATION);
    }
    *localFilePath = *stored + "\\";
    return true;
  }
  std::string chosen;
  // Without a working directory the host cannot go on. (A fault that ended
  // the dialog comes out of it as the exception it was, not as a Cancel.)
  if (!ChooseWorkingDirectory(&chosen)) ExitProcess(0);
  *localFilePath = chosen + "\\";
  return true;
}

}  // namespace velmora
