#include "tools/msgserver/TableFlow.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace velmora::msgserver {
namespace {

using std::chrono::milliseconds;

// One step of a client's answers: 'c' a check goes out, 'a' an answer comes
// (each step `ms` after the last), 'x' the wait is given up at its deadline.
struct Step {
  char what;
  int ms = 0;
};

struct FlowCase {
  const char* name;
  bool checkPending;
  std::vector<Step> steps;
  std::string windowRead;  // per 'a' step: 1 it answered the window, r it revived a silent client
  int window;
  bool waiting;
  bool silent;
};

TEST(TableFlow, WindowGrowsShrinksResendsAndFallsSilentAsAnswersCome) {
  const std::vector<FlowCase> cases = {
      {"prompt answers grow the window to the largest", false,
       {{'c'}, {'a', 1}, {'c'}, {'a', 1}, {'c'}, {'a', 1}, {'c'}, {'a', 1}, {'c'}, {'a', 1}},
       "11111", TableFlow::kLargestWindow, false, false},
      {"a middling answer keeps the window", false, {{'c'}, {'a', 50}}, "1", TableFlow::kFirstWindow,
       false, false},
      {"a slow answer halves it", false, {{'c'}, {'a', 150}}, "1", TableFlow::kFirstWindow / 2, false,
       false},
      {"an answer with no check out answers nothing", false, {{'a', 1}, {'c'}, {'a', 1}}, "01",
       TableFlow::kFirstWindow + 1, false, false},
      {"an alive check pending at the start is answered first", true, {{'c'}, {'a', 1}, {'a', 1}}, "01",
       TableFlow::kFirstWindow + 1, false, false},
      {"a missed answer halves the window; a late one is not owed", false,
       {{'c'}, {'x'}, {'a', 1}, {'c'}, {'a', 1}}, "01", TableFlow::kFirstWindow / 2 + 1, false, false},
      {"late answers are each taken for their own check", false,
       {{'c'}, {'x'}, {'c'}, {'a', 1}, {'a', 1}}, "01", TableFlow::kFirstWindow / 2 + 1, false, false},
      {"after a lost check, a miss that met an answer ends the lag", false,
       {{'c'}, {'x'}, {'c'}, {'a', 1}, {'x'}, {'c'}, {'a', 1}}, "01", 2, false, false},
      {"misses in a row make the client silent", false, {{'c'}, {'x'}, {'c'}, {'x'}, {'c'}, {'x'}}, "", 1,
       false, true},
      {"a silent client that answers is revived and waited for no more", false,
       {{'c'}, {'x'}, {'c'}, {'x'}, {'c'}, {'x'}, {'a', 5000}}, "r", 1, false, false},
      {"a silent client's last check is given up on after the tail", false,
       {{'c'}, {'x'}, {'c'}, {'x'}, {'c'}, {'x'}, {'c'}, {'x'}}, "", 1, false, true},
      {"an answer between misses keeps it answering", false,
       {{'c'}, {'x'}, {'c'}, {'x'}, {'a', 1}, {'c'}, {'x'}}, "0", 1, false, false},
      {"waiting after a check", false, {{'c'}}, "", TableFlow::kFirstWindow, true, false},
  };
  for (const FlowCase& c : cases) {
    TableFlow flow(c.checkPending);
    Clock::time_point now{};
    std::string windowRead;
    for (const Step& step : c.steps) {
      now += milliseconds(step.ms);
      if (step.what == 'c') flow.CheckSent(now);
      if (step.what == 'a') windowRead += "01r"[static_cast<int>(flow.Answered(now))];
      if (step.what == 'x') {
        ASSERT_TRUE(flow.deadline()) << c.name;
        EXPECT_FALSE(flow.Expire(*flow.deadline() - milliseconds(1))) << c.name;
        now = *flow.deadline();
        EXPECT_TRUE(flow.Expire(now)) << c.name;
      }
    }
    EXPECT_EQ(windowRead, c.windowRead) << c.name;
    EXPECT_EQ(flow.window(), c.window) << c.name;
    EXPECT_EQ(flow.waiting(), c.waiting) << c.name;
    EXPECT_EQ(flow.silent(), c.silent) << c.name;
  }
}

TEST(TableFlow, EachMissDoublesTheWaitUpToTheLongest) {
  TableFlow flow;
  Clock::time_point now{};
  for (const int ms : {250, 500, 1000}) {
    flow.CheckSent(now);
    EXPECT_EQ(*flow.deadline() - now, milliseconds(ms));
    now = *flow.deadline();
    flow.Expire(now);
    flow.Answered(now);  // late: keeps it from falling silent
  }
  flow.CheckSent(now);
  EXPECT_EQ(*flow.deadline() - now, TableFlow::kLongestBound);
  for (int miss = 0; miss < TableFlow::kSilentAfter; ++miss) {
    now = *flow.deadline();
    flow.Expire(now);
    flow.CheckSent(now);
  }
  EXPECT_EQ(*flow.deadline() - now, TableFlow::kSilentTail);
}

TEST(TableFlow, TwoWindowsAndTheirChecksFitAStockBuffer) {
  const size_t window = TableFlow::kLargestWindow * BufferCharge(msg::kLockDatagramSize) +
                        BufferCharge(msg::kShortDatagramSize);
  EXPECT_LE(2 * window, kStockReceiveBuffer);
  EXPECT_GT(2 * (window + BufferCharge(msg::kLockDatagramSize)), kStockReceiveBuffer);
}

}  // namespace
}  // namespace velmora::msgserver
