#include "control/LoginFlow.h"

#include <windows.h>

#include <cstring>

#include "common/DialogHelpers.h"
#include "common/Raii.h"
#include "common/Text.h"
#include "messaging/MessageChannel.h"
#include "workdir/FileMigration.h"
#include "workdir/WorkingDirectoryDialog.h"

namespace velmora {

login::RegistrationResult RegisterOnChannel(MessageChannel& channel, const std::string& account,
                                            const std::string& messageIp) {
  channel.SetServerAddress(messageIp);
  if (channel.Start(0) != 1) return login::RegistrationResult::GaveUp;
  const login::RegistrationSteps steps{
      [&] { channel.RequestPeerList(); },
      [&](const std::string& name) { return channel.FindPeer(name); },
      [&](const msg::Ipv4& address) { return channel.IsOwnAddress(address); },
      [&](const std::string& name) { return channel.Register(name, messageIp) == 1; },
  };
  const login::RegistrationOutcome outcome = login::RunRegistrationCycle(account, steps);
  if (outcome.result == login::RegistrationResult::InUseElsewhere) {
    ShowMessage(GetActiveWindow(),
                L"你已经在" + ToWide(msg::FormatIpv4(outcome.elsewhere)) + L"登录使用本系统，不能两台机器上同时登录使用！",
                kCaptionSystemPrompt, MB_ICONINFORMATION);
  }
  return outcome.result;
}

bool SettleWorkingDirectory(std::string* localFilePath) {
  UniqueHkey key;
  if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Sorvik", 0, KEY_ALL_ACCESS, key.put()) != ERROR_SUCCESS) {
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
  // Without a working directory the host cannot go on.
  if (!ChooseWorkingDirectory(&chosen)) ExitProcess(0);
  *localFilePath = chosen + "\\";
  return true;
}

}  // namespace velmora
