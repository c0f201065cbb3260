// Lock question cost and table footprint with 10,000 locks of 10 tasks each,
// in the worst layout (all in one project) and a spread one; then the widest
// record shape, a full task list of 1,600 four-letter UIDs: memory per record
// against its text, and records stored per second; and how many allocations
// storing a new usual record takes, counted by the program's own operator
// new. Prints figures; the checks are on answers only.
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "messaging/LockTable.h"
#include "tests/native/CountingNew.h"

namespace {

using velmora::msg::LockTable;
using velmora::msg::TaskLockRecord;
using velmora::msg::TaskLockView;

std::string Tasks(int lock) {
  std::string tasks;
  for (int t = 0; t < 10; ++t) {
    if (t) tasks += ',';
    tasks += "{" + std::to_string(lock) + "-" + std::to_string(t) + "-0000-task-uid}";
  }
  return tasks;
}

bool Run(const char* layout, int projects) {
  constexpr int kLocks = 10000;
  constexpr int kQueries = 2000;
  LockTable table;
  for (int i = 0; i < kLocks; ++i) {
    table.Store(TaskLockRecord{"user" + std::to_string(i % 50), "User", i % projects, Tasks(i)});
  }

  // Half the questions find a blocker, half find none after looking at all
  // ten of their tasks. The texts are made beforehand: only the question is
  // timed.
  std::vector<std::pair<int, std::string>> queries;
  for (int q = 0; q < kQueries; ++q) {
    const int lock = (q * 7919) % kLocks;
    queries.emplace_back(lock % projects, q % 2 ? Tasks(lock) : Tasks(lock + kLocks));
  }
  size_t blocked = 0;
  const auto start = std::chrono::steady_clock::now();
  for (const auto& [project, tasks] : queries) {
    if (!table.FindBlockingHolder("asker", project, tasks).empty()) ++blocked;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  std::printf("%-12s locks=%zu memory=%.1f MiB  query=%.2f us\n", layout, table.size(),
              table.MemoryBytes() / (1024.0 * 1024.0), seconds * 1e6 / kQueries);
  return table.size() == kLocks && blocked == kQueries / 2;
}

// 1,600 four-letter UIDs: 7,999 bytes, as much as the task slot holds.
std::string WideTasks(int lock) {
  std::string tasks;
  for (int t = 0; t < 1600; ++t) {
    if (t) tasks += ',';
    const int uid = (lock * 7 + t) % 9000 + 1000;
    tasks += std::to_string(uid);
  }
  return tasks;
}

bool RunWide() {
  constexpr int kLocks = 2000;
  constexpr int kQueries = 200;
  std::vector<TaskLockRecord> records;
  size_t text = 0;
  for (int i = 0; i < kLocks; ++i) {
    records.push_back(TaskLockRecord{"user" + std::to_string(i), "User", 1, WideTasks(i)});
    text += records.back().account.size() + records.back().displayName.size() + records.back().tasks.size();
  }
  LockTable table;
  const auto start = std::chrono::steady_clock::now();
  for (const TaskLockRecord& record : records) table.Store(record);
  const double storeSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();

  size_t blocked = 0;
  const auto queryStart = std::chrono::steady_clock::now();
  for (int q = 0; q < kQueries; ++q) {
    if (!table.FindBlockingHolder("asker", 1, q % 2 ? "1234,5678" : "zzzz,yyyy").empty()) ++blocked;
  }
  const double querySeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - queryStart).count();

  std::printf("%-12s locks=%zu memory=%.1f KiB per record (%.2f x its text)  store=%.0f records/s  query=%.2f us\n",
              "wide lists", table.size(), table.MemoryBytes() / 1024.0 / kLocks,
              static_cast<double>(table.MemoryBytes()) / static_cast<double>(text), kLocks / storeSeconds,
              querySeconds * 1e6 / kQueries);
  return table.size() == kLocks && blocked == kQueries / 2;
}

// Allocations per new usual record (10 task UIDs, 25 projects, 50 accounts)
// on both paths: a received record read in place, and a record of strings.
// The records are made beforehand: only the stores are counted.
bool RunAllocations() {
  constexpr int kLocks = 10000;
  std::vector<TaskLockRecord> records;
  for (int i = 0; i < kLocks; ++i) {
    records.push_back(TaskLockRecord{"user" + std::to_string(i % 50), "Holder Name " + std::to_string(i % 50),
                                     i % 25, Tasks(i)});
  }
  LockTable viewed;
  long before = velmora::test::Allocations();
  for (const TaskLockRecord& record : records) viewed.Store(TaskLockView::Of(record));
  const double perView = static_cast<double>(velmora::test::Allocations() - before) / kLocks;
  LockTable stored;
  before = velmora::test::Allocations();
  for (const TaskLockRecord& record : records) stored.Store(record);
  const double perRecord = static_cast<double>(velmora::test::Allocations() - before) / kLocks;
  // The same table sent again.
  before = velmora::test::Allocations();
  for (const TaskLockRecord& record : records) viewed.Store(TaskLockView::Of(record));
  const double perHeld = static_cast<double>(velmora::test::Allocations() - before) / kLocks;

  std::printf("allocations per new record=%.2f read in place, %.2f as a record; per record held again=%.2f\n",
              perView, perRecord, perHeld);
  std::printf("@summary | Allocations per new usual lock record stored (10 tasks; read in place / record; held again) "
              "| %.2f / %.2f / %.2f |\n",
              perView, perRecord, perHeld);
  return viewed.size() == kLocks && stored.size() == kLocks;
}

}  // namespace

int main() {
  const bool ok = Run("one project", 1) && Run("25 projects", 25) && RunWide() && RunAllocations();
  return ok ? 0 : 1;
}
