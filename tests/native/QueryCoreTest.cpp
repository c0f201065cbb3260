// What the server queries decide from the values read: the clock text's
// reformatting (also on short and irregular texts, under the sanitizers),
// the role list lookup and the all-or-nothing flags.
#include <gtest/gtest.h>

#include <map>

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

// A row of texts; a missing name fails to read.
class MapRow : public RowReader {
 public:
  explicit MapRow(std::map<std::string, std::string> cells) : cells_(std::move(cells)) {}
  bool ReadText(const char* column, std::string& target) override {
    auto it = cells_.find(column);
    if (it == cells_.end()) return false;
    target = it->second;
    return true;
  }
  bool ReadUInt(const char* column, long& target) override {
    auto it = cells_.find(column);
    if (it == cells_.end()) return false;
    target = std::stol(it->second);
    return true;
  }
  bool FetchValue(const char* column, int slot) override { return ReadText(column, fetched_[slot]); }
  void StoreFlag(int slot, short& target) override { target = fetched_[slot] == "1" ? -1 : 0; }

 private:
  std::map<std::string, std::string> cells_;
  std::string fetched_[kFlagCount];
};

struct Login {
  std::string texts[21];
  long roleId = -1;
  short flags[3] = {-1, -1, -1};
  QueryState state{texts[0],  texts[1],  texts[2],  texts[3],  texts[4],  texts[5],  texts[6],
                   texts[7],  texts[8],  texts[9],  texts[10], texts[11], texts[12], texts[13],
                   texts[14], roleId,    flags[0],  flags[1],  flags[2],  texts[15], texts[16],
                   texts[17], texts[18], texts[19], texts[20]};
};

TEST(RoleRow, FlagsAndProjectNameNeedAllThreeFlagColumns) {
  Login login;
  login.state.ProjectName = "old";
  MapRow partial({{kFlagColumns[0], "0"}, {kFlagColumns[2], "0"}, {kProjectNameColumn, "new"}});
  ReadFlagsAndProjectName(partial, login.state);
  EXPECT_EQ(-1, login.flags[0]);
  EXPECT_EQ("old", login.state.ProjectName);

  MapRow full({{kFlagColumns[0], "0"}, {kFlagColumns[1], "1"}, {kFlagColumns[2], "0"}, {kProjectNameColumn, "new"}});
  ReadFlagsAndProjectName(full, login.state);
  EXPECT_EQ(0, login.flags[0]);
  EXPECT_EQ(-1, login.flags[1]);
  EXPECT_EQ(0, login.flags[2]);
  EXPECT_EQ("new", login.state.ProjectName);
}

}  // namespace
}  // namespace velmora::appserver
