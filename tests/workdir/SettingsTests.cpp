// The settings helpers against the prefix's HKLM\SOFTWARE\Sorvik.
#include <gtest/gtest.h>

#include <windows.h>

#include "common/Settings.h"
#include "common/Raii.h"
#include "tests/workdir/WorkdirTestSupport.h"

namespace velmora {
namespace {

constexpr char kName[] = "VelmoraSettingsTest";
constexpr char kText[] = "\xB1\xB1\xBE\xA9";  // 北京 in GBK, the prefix's code page

UniqueHkey Sorvik() {
  UniqueHkey key;
  RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Sorvik", 0, KEY_ALL_ACCESS, key.put());
  return key;
}

TEST(SettingsTest, WritesOnlyUnderAnExistingMachineKeyAndKeepsStringTypes) {
  const struct {
    const char* name;
    const char* root;
    const char* key;
    DWORD before;  // REG_NONE: no value yet
    bool written;
    DWORD after;
  } cases[] = {
      {"new value", "HKEY_LOCAL_MACHINE", "SOFTWARE\\Sorvik", REG_NONE, true, REG_SZ},
      {"expandable string keeps its type", "HKEY_LOCAL_MACHINE", "SOFTWARE\\Sorvik", REG_EXPAND_SZ, true,
       REG_EXPAND_SZ},
      {"a number becomes text", "HKEY_LOCAL_MACHINE", "SOFTWARE\\Sorvik", REG_DWORD, true, REG_SZ},
      {"other roots are refused", "HKEY_CURRENT_USER", "SOFTWARE\\Sorvik", REG_NONE, false, REG_NONE},
      {"a missing key is not created", "HKEY_LOCAL_MACHINE", "SOFTWARE\\Sorvik\\Missing", REG_NONE, false,
       REG_NONE},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    UniqueHkey key = Sorvik();
    ASSERT_TRUE(key);
    RegDeleteValueA(key.get(), kName);
    if (c.before != REG_NONE) RegSetValueExA(key.get(), kName, 0, c.before, reinterpret_cast<const BYTE*>("1234"), 4);
    EXPECT_EQ(WriteSettingValue(c.root, c.key, kName, kText), c.written);
    DWORD type = REG_NONE;
    RegQueryValueExA(key.get(), kName, nullptr, &type, nullptr, nullptr);
    EXPECT_EQ(type, c.after);
    if (c.after == REG_SZ) {
      EXPECT_EQ(ReadSettingValue(kName), kText);
    }
    RegDeleteValueA(key.get(), kName);
  }
  UniqueHkey missing;
  EXPECT_NE(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\Sorvik\\Missing", 0, KEY_READ, missing.put()), ERROR_SUCCESS);
}

// Full access is asked for first; an ordinary user's rights on the
// installed key are enough to read and store, and no rights read nothing.
TEST(SettingsTest, AnOrdinaryUsersRightsAreEnough) {
  const struct {
    test::KeyRightsScope::Rights rights;
    bool works;
  } cases[] = {{test::KeyRightsScope::kOrdinaryUser, true}, {test::KeyRightsScope::kNone, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.works ? "ordinary user" : "no rights");
    UniqueHkey key = Sorvik();
    ASSERT_TRUE(key);
    RegDeleteValueA(key.get(), kName);
    RegDeleteValueA(key.get(), "VelmoraStored");
    {
      const test::KeyRightsScope rights(c.rights);
      EXPECT_EQ(StoreSettingValue("VelmoraStored", kText), c.works);
      EXPECT_EQ(WriteSettingValue("HKEY_LOCAL_MACHINE", "SOFTWARE\\Sorvik", kName, kText), c.works);
      EXPECT_EQ(ReadSettingValue("VelmoraStored"), c.works ? kText : "");
    }
    EXPECT_EQ(ReadSettingValue(kName), c.works ? kText : "");
    RegDeleteValueA(key.get(), kName);
    RegDeleteValueA(key.get(), "VelmoraStored");
  }
}

}  // namespace
}  // namespace velmora
