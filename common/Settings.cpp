#include "common/Settings.h"

#include <windows.h>

#include <cstring>

#include "common/Raii.h"

namespace velmora {
namespace {

constexpr char kSettingsKey[] = "SOFTWARE\\Sorvik";
constexpr DWORD kValueBytes = 260;

LONG OpenWithRegistry(HKEY root, const char* path, REGSAM access, HKEY* key) {
  return RegOpenKeyExA(root, path, 0, access, key);
}

KeyOpener opener = OpenWithRegistry;

bool SetText(HKEY key, const std::string& name, DWORD type, const std::string& text) {
  // Up to the first NUL, then the terminating zero.
  const size_t length = std::strlen(text.c_str());
  return RegSetValueExA(key, name.c_str(), 0, type, reinterpret_cast<const BYTE*>(text.c_str()),
                        static_cast<DWORD>(length + 1)) == ERROR_SUCCESS;
}

}  // namespace

void SetKeyOpenerForTests(KeyOpener replacement) { opener = replacement ? replacement : OpenWithRegistry; }

LONG OpenSettingsKey(const char* path, REGSAM wanted, REGSAM needed, HKEY* key) {
  const LONG rc = opener(HKEY_LOCAL_MACHINE, path, wanted, key);
  if (rc != ERROR_ACCESS_DENIED || wanted == needed) return rc;
  return opener(HKEY_LOCAL_MACHINE, path, needed, key);
}

std::string ReadSettingValue(const std::string& name) {
  UniqueHkey key;
  if (OpenSettingsKey(kSettingsKey, KEY_ALL_ACCESS, KEY_QUERY_VALUE, key.put()) != ERROR_SUCCESS) {
    return {};
  }
  char buffer[kValueBytes] = {};
  DWORD type = 0;
  DWORD size = sizeof(buffer);
  if (RegQueryValueExA(key.get(), name.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(buffer), &size) !=
          ERROR_SUCCESS ||
      type != REG_SZ) {
    return {};
  }
  // A value stored without its terminator, or with a NUL inside, ends at
  // the first NUL or at what was read.
  size_t length = 0;
  while (length < size && buffer[length] != '\0') ++length;
  if (length == kValueBytes) return {};  // 260 bytes and no room for the terminator
  return std::string(buffer, length);
}

bool WriteSettingValue(const std::string& root, const std::string& key, const std::string& name,
                       const std::string& text) {
  if (root != "HKEY_LOCAL_MACHINE") return false;
  UniqueHkey opened;
  // Querying keeps the type; creating subkeys (in KEY_WRITE) is never used.
  if (OpenSettingsKey(key.c_str(), KEY_READ | KEY_WRITE, KEY_QUERY_VALUE | KEY_SET_VALUE, opened.put()) !=
      ERROR_SUCCESS) {
    return false;
  }
  // Keep a string value's own type; a value of another type would hold
  // text it cannot be read back as, so it becomes REG_SZ.
  DWORD type = REG_NONE;
  DWORD type_kept = REG_SZ;
  if (RegQueryValueExA(opened.get(), name.c_str(), nullptr, &type, nullptr, nullptr) == ERROR_SUCCESS &&
      type == REG_EXPAND_SZ) {
    type_kept = REG_EXPAND_SZ;
  }
  return SetText(opened.get(), name, type_kept, text);
}

bool StoreSettingValue(const std::string& name, const std::string& text) {
  UniqueHkey key;
  if (OpenSettingsKey(kSettingsKey, KEY_ALL_ACCESS, KEY_SET_VALUE, key.put()) != ERROR_SUCCESS) {
    return false;
  }
  return SetText(key.get(), name, REG_SZ, text);
}

}  // namespace velmora
