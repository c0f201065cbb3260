// The control's machine-wide settings: text values under
// HKEY_LOCAL_MACHINE "SOFTWARE\Sorvik". The key belongs to the installer:
// these helpers open it and never create it.
#pragma once

#include <string>

namespace velmora {

// The value as REG_SZ text of at most 259 bytes; anything else (no key, no
// value, another type, too long) gives the empty text.
std::string ReadSettingValue(const std::string& name);

// Writes `text` under `root`\`key` when root is "HKEY_LOCAL_MACHINE" and
// the key exists. An existing string value keeps its type (REG_SZ or
// REG_EXPAND_SZ); anything else becomes REG_SZ. True when written.
bool WriteSettingValue(const std::string& root, const std::string& key, const std::string& name,
                       const std::string& text);

// Stores `text` as REG_SZ under "SOFTWARE\Sorvik" (key opened with full
// access, not created). True when written.
bool StoreSettingValue(const std::string& name, const std::string& text);

}  // namespace velmora
