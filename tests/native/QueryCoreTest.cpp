// What the server queries decide from the values read: the clock text's
// reformatting (also on short and irregular texts, under the sanitizers)
// and the role list lookup.
#include <gtest/gtest.h>

#include "appserver/QueryCore.h"

namespace velmora::appserver {
namespace {

// GBK's two-byte characters start with 0x81..0xFE.
bool GbkLead(unsigned char c) { return c >= 0x81 && c <= 0xFE; }
const DateUnits kUnits{"Y", "M", "D", "h", "m", "s"};

TEST(ServerDate, SeparatorsBecomeUnitsOnlyWhenTheyAreWholeCharacters) {
  const std::pair<std::string, std::string> cases[] = {
      {"2005-03-07 08:09:10", "2005Y03M07D08h09m10s"},
      {"2005-03-07 08:09:", "2005Y03M07D08h09ms"},          // 17 bytes: the shortest with all five
      {"2005-03-07 08:0", "2005-03-07 08:0"},               // shorter: unchanged
      {"", ""},
      {"2005-03-07 08:09:10.250", "2005Y03M07D08h09m10.250s"},
      {"2005\xc4\xea" "03-07 08:09:10", "2005\xc4\xea" "03-07 08:09:10"},  // a two-byte character at 4
      {"200\xc4\xea" "-03-07 08:09:10", "200\xc4\xea" "-03-07 08:09:10"},  // its trail byte at 4
      {std::string(16, '\xc4') + "\xea", std::string(16, '\xc4') + "\xea"},
      {std::string(17, '\xc4'), std::string(17, '\xc4')},  // a lead byte with no trail at 16
  };
  for (const auto& [in, out] : cases) EXPECT_EQ(out, FormatServerDate(in, kUnits, &GbkLead)) << in;
}

TEST(Signature, RoleTextsAndListItemsCompareExactly) {
  EXPECT_EQ("-1", RoleIdText(-1));
  EXPECT_EQ("17", RoleIdText(17));
  EXPECT_EQ("01", ShareFlagText(-1));
  EXPECT_EQ("0", ShareFlagText(1));
  EXPECT_EQ("0", ShareFlagText(0));
  EXPECT_TRUE(InRolesContains("3,17", "17"));
  EXPECT_FALSE(InRolesContains("3, 17", "17"));
  EXPECT_TRUE(InRolesContains("3, 17", " 17"));
  EXPECT_FALSE(InRolesContains("317", "17"));
  EXPECT_TRUE(InRolesContains("3,,17", ""));
  EXPECT_FALSE(InRolesContains("", ""));
}

}  // namespace
}  // namespace velmora::appserver
