#include "common/TraceCore.h"

#include <gtest/gtest.h>

namespace velmora::trace {
namespace {

const Stamp kStamp{2026, 5, 4, 9, 15, 2, 7};

// One event is one line, whatever its detail holds.
TEST(TraceLine, HasTheStampThreadAndKindAndNeverBreaks) {
  const struct {
    const char* kind;
    std::string detail;
    const char* expected;
  } cases[] = {
      {"member", "Login hr=0x00000000 ms=1.000",
       "2026-05-04 09:15:02.007 t=4242 member Login hr=0x00000000 ms=1.000\n"},
      {"trace", "", "2026-05-04 09:15:02.007 t=4242 trace\n"},
      {"box", "a\r\nb\tc\x7f", "2026-05-04 09:15:02.007 t=4242 box a\\r\\nb\\tc\\x7F\n"},
      {"box", std::string("x\0y", 3), "2026-05-04 09:15:02.007 t=4242 box x\\x00y\n"},
      {"box", "\xE7\xB3\xBB\xE7\xBB\x9F", "2026-05-04 09:15:02.007 t=4242 box \xE7\xB3\xBB\xE7\xBB\x9F\n"},
  };
  for (const auto& c : cases) EXPECT_EQ(FormatLine(kStamp, 4242, c.kind, c.detail), c.expected);
}

TEST(TraceLine, QuotedTextsAndNumbersReadBack) {
  std::string out;
  AppendQuoted(out, "say \"hi\"\\now\n");
  EXPECT_EQ(out, "\"say \\\"hi\\\"\\\\now\\n\"");
  out.clear();
  AppendHresult(out, static_cast<int32_t>(0x80004005));
  AppendMilliseconds(out, 1234567);
  AppendMilliseconds(out, 7);
  EXPECT_EQ(out, " hr=0x80004005 ms=1234.567 ms=0.007");
}

TEST(TraceRoll, BeforeALineWouldPassTheLimitButNeverOnAnEmptyFile) {
  const struct {
    uint64_t fileBytes;
    size_t lineBytes;
    bool roll;
  } cases[] = {
      {0, 10, false}, {90, 10, false}, {91, 10, true}, {0, 500, false}, {1, 500, true},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ShouldRoll(c.fileBytes, c.lineBytes, 100), c.roll) << c.fileBytes << "+" << c.lineBytes;
  }
}

}  // namespace
}  // namespace velmora::trace
