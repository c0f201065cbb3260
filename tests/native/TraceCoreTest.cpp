#include "common/TraceCore.h"

#include <gtest/gtest.h>

#include <cwchar>
#include <string>

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

// Whole lines only, and never a roll of an empty file.
TEST(TraceRoll, StopsABatchBeforeTheLineThatWouldPassTheLimit) {
  const struct {
    uint64_t fileBytes;
    std::string lines;
    size_t taken;
  } cases[] = {
      {0, "aaaa\nbbbb\n", 10},        // all fit
      {90, "aaaa\nbbbb\n", 10},       // exactly to the limit
      {91, "aaaa\nbbbb\n", 5},        // the second would pass it
      {96, "aaaa\nbbbb\n", 0},        // roll first
      {0, "x" /* no newline */, 1},
      {0, std::string(150, 'x') + "\nb\n", 151},  // too long for any file: written alone, once
      {1, std::string(150, 'x') + "\n", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.fileBytes) + " + " + c.lines.substr(0, 12));
    EXPECT_EQ(BytesBeforeRoll(c.fileBytes, c.lines, 100), c.taken);
  }
}

// The writer is woken once per run of lines; a full queue drops and counts,
// and the count goes with the next take, once.
TEST(TraceQueue, DropsAndCountsWhatFindsItFullAndHandsTheCountOnce) {
  LineQueue queue;
  LineBuffer batch;
  ASSERT_TRUE(queue.Allocate(10));
  ASSERT_TRUE(batch.Allocate(10));
  EXPECT_EQ(queue.Add("abc\n"), LineQueue::Added::kFirst);
  EXPECT_EQ(queue.Add("defg\n"), LineQueue::Added::kQueued);
  EXPECT_EQ(queue.Add("hi\n"), LineQueue::Added::kDropped);
  EXPECT_EQ(queue.Add("j\n"), LineQueue::Added::kDropped);
  queue.CountDropped();
  EXPECT_EQ(queue.TakeInto(batch), 3u);
  EXPECT_EQ(batch.Text(), "abc\ndefg\n");
  EXPECT_EQ(queue.TakeInto(batch), 0u) << "a batch not yet written is not taken over";
  EXPECT_EQ(batch.Text(), "abc\ndefg\n");
  batch.Clear();
  EXPECT_EQ(queue.Add(std::string(11, 'x')), LineQueue::Added::kDropped) << "longer than the queue";
  EXPECT_EQ(queue.Add("k\n"), LineQueue::Added::kFirst);
  EXPECT_EQ(queue.TakeInto(batch), 1u);
  EXPECT_EQ(batch.Text(), "k\n");
  batch.Clear();
  EXPECT_EQ(queue.TakeInto(batch), 0u);
  EXPECT_TRUE(batch.Empty());
}

TEST(TraceLock, OneNamePerPathWhateverItsLength) {
  const std::wstring longPath = L"C:\\" + std::wstring(5000, L'A') + L"\\TRACE.LOG";
  const std::wstring name = LockName(L"C:\\USERS\\A\\TRACE.LOG");
  EXPECT_EQ(name, LockName(L"C:\\USERS\\A\\TRACE.LOG"));
  EXPECT_NE(name, LockName(L"C:\\USERS\\B\\TRACE.LOG"));
  EXPECT_EQ(name.rfind(L"Local\\Velmora.Trace.", 0), 0u);
  for (const std::wstring& n : {name, LockName(longPath)}) {
    EXPECT_EQ(n.size(), name.size());
    EXPECT_EQ(n.find(L'\\', 6), std::wstring::npos);
  }
}

TEST(TracePolicyPath, OnlyAFullPathWithEveryVariableExpanded) {
  const struct {
    const wchar_t* path;
    bool usable;
  } cases[] = {
      {L"C:\\Users\\a\\AppData\\Local\\Velmora\\trace.log", true},
      {L"d:/logs/trace.log", true},
      {L"\\\\server\\share\\trace.log", true},
      {L"%LOCALAPPDATA%\\Velmora\\trace.log", false},  // not defined for this account
      {L"C:\\Temp\\%NOPE%\\trace.log", false},
      {L"trace.log", false},
      {L"\\trace.log", false},
      {L"C:trace.log", false},
      {L"", false},
  };
  for (const auto& c : cases) EXPECT_EQ(IsUsableExpandedPath(c.path), c.usable) << std::string(c.path, c.path + std::wcslen(c.path));
}

}  // namespace
}  // namespace velmora::trace
