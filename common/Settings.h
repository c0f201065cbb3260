// The control's machine-wide settings: text values under
// HKEY_LOCAL_MACHINE "SOFTWARE\Sorvik". The key belongs to the installer:
// these helpers open it and never create it.
#pragma once

#include <windows.h>

#include <string>

namespace velmora {

// Opens HKEY_LOCAL_MACHINE\`path` with `wanted`, the access the control has
// always asked for. Windows refuses that with access denied to an ordinary
// user, to whom the installed key grants only reading and setting values;
// the key is then opened with `needed`, what the step really does. A user
// with full access sees no change. Returns the registry's error code.
LONG OpenSettingsKey(const char* path, REGSAM wanted, REGSAM needed, HKEY* key);

// How keys are opened: RegOpenKeyExA unless a test stands in an opener
// that refuses access as Windows would (nullptr puts RegOpenKeyExA back).
using KeyOpener = LONG (*)(HKEY root, const char* path, REGSAM access, HKEY* key);
void SetKeyOpenerForTests(KeyOpener opener);

// The value as REG_SZ text of at most 259 bytes; anything else (no key, no
// value, another type, too long) gives the empty text.
std::string ReadSettingValue(const std::string& name);

// Writes `text` under `root`\`key` when root is "HKEY_LOCAL_MACHINE" and
// the key exists. An existing string value keeps its type (REG_SZ or
// REG_EXPAND_SZ); anything else becomes REG_SZ. True when written.
bool WriteSettingValue(const std::string& root, const std::string& key, const std::string& name,
                       const std::string& text);

// Stores `text` as REG_SZ under "SOFTWARE\Sorvik" (key opened with full
// access, else for setting values; not created). True when written.
bool StoreSettingValue(const std::string& name, const std::string& text);

}  // namespace velmora
