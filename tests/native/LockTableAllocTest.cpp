// How many allocations storing a lock costs, counted by this program's own
// operator new: a new usual record takes at most three, one already held
// none.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "messaging/LockTable.h"
#include "tests/native/CountingNew.h"

namespace velmora::msg {
namespace {

// Ten task UIDs of the usual shape, none shared with another lock.
std::string UsualTasks(int lock) {
  std::string tasks;
  for (int t = 0; t < 10; ++t) {
    tasks += (t ? ",{" : "{") + std::to_string(lock) + "-" + std::to_string(t) + "-0000-task-uid}";
  }
  return tasks;
}

TEST(LockTableAllocations, ANewUsualRecordTakesAtMostThreeAndAHeldOneNone) {
  constexpr int kLocks = 10000;
  std::vector<TaskLockRecord> records;
  std::vector<TaskLockRecord> renamed;
  for (int i = 0; i < kLocks; ++i) {
    records.push_back({"user" + std::to_string(i % 50), "Holder " + std::to_string(i), i % 25, UsualTasks(i)});
    renamed.push_back(records.back());
    renamed.back().displayName = std::string(kLockDisplayNameSlot - 1, 'n');  // the longest a slot holds
  }
  const auto viewed = [](LockTable& table, const TaskLockRecord& r) { table.Store(TaskLockView::Of(r)); };
  const auto whole = [](LockTable& table, const TaskLockRecord& r) { table.Store(r); };
  const struct {
    const char* what;
    void (*store)(LockTable&, const TaskLockRecord&);
  } paths[] = {{"read in place", viewed}, {"record", whole}};

  for (const auto& path : paths) {
    LockTable table;
    const auto perRecord = [&](const std::vector<TaskLockRecord>& batch) {
      const long before = test::Allocations();
      for (const TaskLockRecord& r : batch) path.store(table, r);
      return static_cast<double>(test::Allocations() - before) / kLocks;
    };
    EXPECT_LE(perRecord(records), 3.0) << path.what;
    EXPECT_EQ(perRecord(records), 0.0) << path.what << ": held already";
    EXPECT_EQ(perRecord(renamed), 0.0) << path.what << ": held, another name";
    EXPECT_EQ(table.size(), static_cast<size_t>(kLocks));
    EXPECT_EQ(table.FindBlockingRecord("me", 7, "{7-3-0000-task-uid}")->displayName, renamed[7].displayName);
  }
}

}  // namespace
}  // namespace velmora::msg
