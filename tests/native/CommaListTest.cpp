#include "common/CommaList.h"

#include <gtest/gtest.h>

namespace velmora::msg {
namespace {

using Pieces = std::vector<std::string>;

TEST(SplitCommaList, EmptyPiecesCountAndEmptyTextHasNone) {
  EXPECT_EQ(SplitCommaList(""), Pieces{});
  EXPECT_EQ(SplitCommaList(","), (Pieces{"", ""}));
  EXPECT_EQ(SplitCommaList("a,"), (Pieces{"a", ""}));
  EXPECT_EQ(SplitCommaList(",a"), (Pieces{"", "a"}));
  EXPECT_EQ(SplitCommaList("a,,b"), (Pieces{"a", "", "b"}));
  EXPECT_EQ(SplitCommaList(" a , b"), (Pieces{" a ", " b"}));
}

TEST(ListsIntersect, MatchesWholePiecesByteForByte) {
  EXPECT_TRUE(ListsIntersect("a,b", "b,c"));
  EXPECT_FALSE(ListsIntersect("a", "A"));
  EXPECT_FALSE(ListsIntersect("ab", "a,b"));
  EXPECT_FALSE(ListsIntersect("t1", "t1 "));
  EXPECT_TRUE(ListsIntersect("a,", "b,"));  // through their empty pieces
  EXPECT_TRUE(ListsIntersect("\xD6\xD0", "x,\xD6\xD0"));
}

TEST(ListsIntersect, EmptyListIntersectsNothing) {
  EXPECT_FALSE(ListsIntersect("", ""));
  EXPECT_FALSE(ListsIntersect("", ","));
  EXPECT_FALSE(ListsIntersect("a", ""));
}

}  // namespace
}  // namespace velmora::msg
