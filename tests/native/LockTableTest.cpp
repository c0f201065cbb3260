#include "messaging/LockTable.h"

#include <gtest/gtest.h>

#include <vector>

namespace velmora::msg {
namespace {

TaskLockRecord Lock(const std::string& account, int32_t project, const std::string& tasks,
                    const std::string& name = "") {
  return TaskLockRecord{account, name, project, tasks};
}

// Records as "account/project/tasks", in table order.
std::vector<std::string> KeysInOrder(const LockTable& table) {
  std::vector<std::string> keys;
  table.ForEach([&](const TaskLockRecord& r) {
    keys.push_back(r.account + "/" + std::to_string(r.projectId) + "/" + r.tasks);
  });
  return keys;
}

TEST(LockTable, KeepsOneRecordPerKeyInByteOrder) {
  LockTable table;
  table.Store(Lock("bob", 1, "t1", "first"));
  table.Store(Lock("amy", 1, "t2"));
  table.Store(Lock("\xC0\xEE", 1, "t3"));  // high bytes sort after ASCII
  table.Store(Lock("bob", 1, "t1", "second"));

  EXPECT_EQ(table.size(), 3u);
  EXPECT_EQ(KeysInOrder(table), (std::vector<std::string>{"amy/1/t2", "bob/1/t1", "\xC0\xEE" "/1/t3"}));
  std::vector<std::string> names;
  table.ForEach([&](const TaskLockRecord& r) { names.push_back(r.displayName); });
  EXPECT_EQ(names[1], "second");
}

TEST(LockTable, RecordsWhoseFieldsGlueToOneTextStayApart) {
  // Each of these would have read "amy123" with the fields glued together.
  LockTable table;
  table.Store(Lock("amy", 1, "23"));
  table.Store(Lock("amy", 12, "3"));
  table.Store(Lock("amy1", 2, "3"));
  EXPECT_EQ(KeysInOrder(table), (std::vector<std::string>{"amy/1/23", "amy/12/3", "amy1/2/3"}));
  EXPECT_EQ(table.FindBlockingHolder("bob", 1, "23"), "amy");
  EXPECT_EQ(table.FindBlockingHolder("amy", 2, "3"), "amy1");
  // Of two blockers the smaller account is named, "amy" before "amy1".
  table.Store(Lock("amy", 2, "3,4"));
  EXPECT_EQ(table.FindBlockingHolder("bob", 2, "3"), "amy");
}
TEST(LockTable, BlockingRulesOwnAccountOtherProjectAndIntersection) {
  LockTable table;
  table.Store(Lock("me", 7, "t1,t2"));
  table.Store(Lock("other", 7, "t3"));

  EXPECT_EQ(table.FindBlockingHolder("me", 7, "t1"), "");   // own lock
  EXPECT_EQ(table.FindBlockingHolder("me", 8, "t3"), "");   // other project
  EXPECT_EQ(table.FindBlockingHolder("me", 7, "t4"), "");   // no shared task
  EXPECT_EQ(table.FindBlockingHolder("me", 7, "T3"), "");   // case matters
  EXPECT_EQ(table.FindBlockingHolder("me", 7, "t4,t3"), "other");
  EXPECT_EQ(table.FindBlockingHolder("you", 7, "t2"), "me");
}

TEST(LockTable, SmallestBlockingKeyWins) {
  LockTable table;
  table.Store(Lock("bob", 3, "x,t1"));
  table.Store(Lock("amy", 3, "t1,y"));
  table.Store(Lock("aaa", 3, "t9"));
  EXPECT_EQ(table.FindBlockingHolder("carl", 3, "t1"), "amy");
  // The order holds across pieces too: amy blocks through t1 and bob through x.
  EXPECT_EQ(table.FindBlockingHolder("carl", 3, "x,t1"), "amy");
  // Once amy asks, her own lock is skipped and bob comes next.
  EXPECT_EQ(table.FindBlockingHolder("amy", 3, "t1"), "bob");
}

TEST(LockTable, EmptyPiecesBlockButEmptyListsNever) {
  LockTable table;
  table.Store(Lock("bob", 1, "a,"));
  table.Store(Lock("eve", 1, ""));
  EXPECT_EQ(table.FindBlockingHolder("me", 1, "b,"), "bob");
  EXPECT_EQ(table.FindBlockingHolder("me", 1, ""), "");
}

TEST(LockTable, HolderIsComparedExactlySoACutAccountNeverPassesAnotherUsersLock) {
  // engineer01's lock came back through the record cut to 9 bytes.
  LockTable table;
  table.Store(Lock("engineer0", 5, "t1"));
  EXPECT_EQ(table.FindBlockingHolder("engineer02", 5, "t1"), "engineer0");
  EXPECT_EQ(table.FindBlockingHolder("engineer01", 5, "t1"), "engineer0");  // own lock, cut
  EXPECT_EQ(table.FindBlockingHolder("engineer0", 5, "t1"), "");
  // A check may refuse to own a lock of the asker's text; then it blocks.
  const auto notMine = [](const TaskLockRecord&) { return false; };
  EXPECT_EQ(table.FindBlockingRecord("engineer0", 5, "t1", notMine)->account, "engineer0");
}

TEST(LockTable, WideLocksAnswerLikeNarrowOnesAndCostLittleMoreThanTheirText) {
  // 1,600 four-letter tasks: the shape that cost nine times its datagram.
  std::string wide;
  for (int t = 0; t < 1600; ++t) wide += (t ? "," : "") + std::string("t") + std::to_string(1000 + t);
  LockTable table;
  size_t text = 0;
  for (int i = 0; i < 20; ++i) {
    const TaskLockRecord lock = Lock("u" + std::to_string(i), i % 2, wide, "Name");
    table.Store(lock);
    text += lock.account.size() + lock.displayName.size() + lock.tasks.size();
  }
  table.Store(Lock("a", 0, "t2599,x"));  // narrow, smaller key than every wide lock
  EXPECT_LE(table.MemoryBytes(), 2 * text);

  // Indexed task by task, the most tasks of the shortest kind still cost
  // less than the datagram they came in.
  LockTable indexed;
  std::string shortest;
  for (int t = 0; t < 64; ++t) shortest += (t ? "," : "") + std::to_string(t);
  indexed.Store(Lock("u", 1, shortest));
  EXPECT_LE(indexed.MemoryBytes(), kLockDatagramSize);

  EXPECT_EQ(table.FindBlockingHolder("me", 1, "nope,t1700"), "u1");
  EXPECT_EQ(table.FindBlockingHolder("me", 0, "t2599"), "a");
  EXPECT_EQ(table.FindBlockingHolder("a", 0, "t2599"), "u0");
  EXPECT_EQ(table.FindBlockingHolder("me", 0, "t999,t2600,t100"), "");
  EXPECT_EQ(table.FindBlockingHolder("u1", 1, "t1000"), "u11");
  EXPECT_EQ(table.RemoveHeld("u1", 1, "t1000"), 1u);
  EXPECT_EQ(table.FindBlockingHolder("me", 1, "t1000"), "u11");
  EXPECT_EQ(table.RemoveProject(1), 9u);
  EXPECT_EQ(table.FindBlockingHolder("me", 1, "t1000"), "");
}
TEST(LockTable, RemoveProjectDropsOnlyThatProject) {
  LockTable table;
  table.Store(Lock("bob", 7, "t1"));
  table.Store(Lock("amy", 7, "t2"));
  table.Store(Lock("amy", 8, "t1"));
  EXPECT_EQ(table.RemoveProject(7), 2u);
  EXPECT_EQ(table.size(), 1u);
  EXPECT_EQ(table.FindBlockingHolder("me", 7, "t1,t2"), "");
  EXPECT_EQ(table.FindBlockingHolder("me", 8, "t1"), "amy");
  EXPECT_EQ(table.RemoveProject(7), 0u);

  table.Store(Lock("bob", 7, "t1"));
  EXPECT_EQ(table.FindBlockingHolder("me", 7, "t1"), "bob");
}

TEST(LockTable, RemoveHeldTakesOnlyTheAccountsIntersectingLocks) {
  LockTable table;
  table.Store(Lock("bob", 1, "t1,t2"));
  table.Store(Lock("bob", 1, "t5"));
  table.Store(Lock("bob", 2, "t1"));
  table.Store(Lock("amy", 1, "t1"));
  EXPECT_EQ(table.RemoveHeld("bob", 1, "t2,t9"), 1u);
  EXPECT_EQ(KeysInOrder(table), (std::vector<std::string>{"amy/1/t1", "bob/1/t5", "bob/2/t1"}));
  EXPECT_EQ(table.RemoveHeld("bob", 1, "t1"), 0u);
}

TEST(LockTable, IndexStaysConsistentThroughReplaceAndRemove) {
  LockTable table;
  for (int i = 0; i < 50; ++i) {
    table.Store(Lock("u" + std::to_string(i % 5), i % 3, "t" + std::to_string(i) + ",shared"));
  }
  for (int i = 0; i < 50; i += 2) table.RemoveHeld("u" + std::to_string(i % 5), i % 3, "t" + std::to_string(i));
  table.RemoveProject(1);
  size_t project2 = 0;
  std::string firstOther;
  table.ForEach([&](const TaskLockRecord& r) {
    if (r.projectId == 2) {
      ++project2;
      if (firstOther.empty() && r.account != "u0") firstOther = r.account;
    }
  });
  ASSERT_GT(project2, 0u);
  EXPECT_EQ(table.FindBlockingHolder("u0", 2, "shared"), firstOther);
  EXPECT_EQ(table.FindBlockingHolder("zz", 1, "shared"), "");
}

TEST(LockTable, LongAndRepeatingAskedListsFindTheBlockerWhereverItIs) {
  LockTable table;
  table.Store(Lock("bob", 1, "t38"));
  table.Store(Lock("amy", 1, "t2,t40"));
  std::string many;
  for (int i = 0; i < 40; ++i) many += (i ? ",t" : "t") + std::to_string(i + 100);
  const struct {
    std::string asked;
    std::string holder;
  } cases[] = {
      {many + ",t38", "bob"},              // past the pieces kept on the stack
      {"t38,t38,t38," + many, "bob"},      // repeats ahead of a long list
      {many + ",t38," + many + ",t40", "amy"},  // the smaller key wins from far back
      {many + "," + many, ""},
  };
  for (const auto& c : cases) EXPECT_EQ(table.FindBlockingHolder("me", 1, c.asked), c.holder) << c.asked.size();
  // Stored again with another name: one record, still found by its tasks.
  table.Store(Lock("bob", 1, "t38", "Bob again"));
  EXPECT_EQ(table.size(), 2u);
  EXPECT_EQ(table.FindBlockingRecord("me", 1, "t38")->displayName, "Bob again");
}

TEST(LockTable, CopiesAnswerOnTheirOwn) {
  LockTable original;
  original.Store(Lock("bob", 1, "t1"));
  LockTable copy = original;
  original.RemoveProject(1);
  original.Store(Lock("amy", 1, "t1"));
  EXPECT_EQ(copy.FindBlockingHolder("me", 1, "t1"), "bob");
  copy = original;
  original.Clear();
  EXPECT_EQ(copy.FindBlockingHolder("me", 1, "t1"), "amy");
  EXPECT_EQ(copy.RemoveHeld("amy", 1, "t1"), 1u);
  EXPECT_TRUE(copy.empty());
}

TEST(LockTable, ALongerNameGivenAgainKeepsTheLockWhereItWas) {
  std::string wide;
  for (int t = 0; t < 100; ++t) wide += (t ? ",w" : "w") + std::to_string(t);
  const std::string longName(40, 'L');  // more than a received record's slot holds
  for (const std::string& tasks : {std::string("t1,shared"), wide, std::string()}) {
    LockTable table;
    table.Store(Lock("bob", 1, tasks, "short"));
    table.Store(Lock("amy", 1, "shared"));
    table.Store(Lock("bob", 1, tasks, longName));
    const std::string asked = tasks.empty() ? "t1" : tasks.substr(0, tasks.find(','));
    EXPECT_EQ(table.size(), 2u);
    EXPECT_EQ(KeysInOrder(table).back(), "bob/1/" + tasks);
    if (tasks.empty()) continue;
    EXPECT_EQ(table.FindBlockingRecord("me", 1, asked)->displayName, longName) << tasks.size();
    EXPECT_EQ(table.RemoveHeld("bob", 1, asked), 1u) << tasks.size();
    EXPECT_EQ(table.FindBlockingHolder("me", 1, asked + ",shared"), "amy") << tasks.size();
  }
}

// Stores and removals in random order, each question checked against the
// first lock in key order that lists an asked task and is not the asker's.
TEST(LockTable, AnswersAgreeWithAWalkInKeyOrderThroughStoresAndRemovals) {
  uint32_t seed = 12345;
  const auto next = [&](uint32_t below) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 8) % below;
  };
  const auto tasks = [&] {
    std::string list;
    for (uint32_t n = 1 + next(4); n > 0; --n) list += (list.empty() ? "t" : ",t") + std::to_string(next(40));
    return list;
  };
  LockTable table;
  for (int step = 0; step < 3000; ++step) {
    const std::string account = "u" + std::to_string(next(5));
    const int32_t project = static_cast<int32_t>(next(2));
    const uint32_t op = next(10);
    if (op < 6) {
      table.Store(Lock(account, project, tasks()));
    } else if (op < 9) {
      table.RemoveHeld(account, project, tasks());
    } else if (next(20) == 0) {
      table.RemoveProject(project);
    }
    const std::string asked = tasks();
    std::string expected;
    table.ForEach([&](const TaskLockRecord& r) {
      if (!expected.empty() || r.projectId != project || r.account == account) return;
      for (size_t a = 0; a != std::string::npos;) {
        const size_t comma = asked.find(',', a);
        const std::string piece = asked.substr(a, comma == std::string::npos ? comma : comma - a);
        if (("," + r.tasks + ",").find("," + piece + ",") != std::string::npos) expected = r.account;
        a = comma == std::string::npos ? comma : comma + 1;
      }
    });
    ASSERT_EQ(table.FindBlockingHolder(account, project, asked), expected) << "step " << step;
  }
}

TEST(LockCheckResult, FreeWhenNobodyOrTheAskerIsNamed) {
  EXPECT_EQ(LockCheckResult("", "me"), 1);
  EXPECT_EQ(LockCheckResult("me", "me"), 1);
  EXPECT_EQ(LockCheckResult("bob", "me"), 0);
}

}  // namespace
}  // namespace velmora::msg
