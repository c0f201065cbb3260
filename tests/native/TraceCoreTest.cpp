#include "common/TraceCore.h"

#include <gtest/gtest.h>

namespace velmora::trace {
namespace {

// One event is one line, whatever its detail or a quoted text holds.
TEST(TraceLine, HasTheStampThreadAndKindAndNeverBreaks) {
  const Stamp stamp{2026, 5, 4, 9, 15, 2, 7};
  EXPECT_EQ(FormatLine(stamp, 4242, "box", std::string("a\r\nb\tc\x7f\0", 8)),
            "2026-05-04 09:15:02.007 t=4242 box a\\r\\nb\\tc\\x7F\\x00\n");
  EXPECT_EQ(FormatLine(stamp, 1, "trace", ""), "2026-05-04 09:15:02.007 t=1 trace\n");
  std::string out;
  AppendQuoted(out, "say \"\xE7\xB3\xBB\"\\\n");
  AppendHresult(out, static_cast<int32_t>(0x80004005));
  AppendMilliseconds(out, 1234007);
  EXPECT_EQ(out, "\"say \\\"\xE7\xB3\xBB\\\"\\\\\\n\" hr=0x80004005 ms=1234.007");
}

TEST(TraceRoll, BeforeALineWouldPassTheLimitButNeverOnAnEmptyFile) {
  EXPECT_FALSE(ShouldRoll(90, 10, 100));
  EXPECT_TRUE(ShouldRoll(91, 10, 100));
  EXPECT_FALSE(ShouldRoll(0, 500, 100));
  EXPECT_TRUE(ShouldRoll(1, 500, 100));
}

}  // namespace
}  // namespace velmora::trace
