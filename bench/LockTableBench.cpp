// Lock question cost and table footprint with 10,000 locks of 10 tasks each,
// in the worst layout (all in one project) and a spread one, beside a flat
// hash set of project and task asked the same questions; then the widest
// record shape, a full task list of 1,600 four-letter UIDs: memory per record
// against its text, and records stored per second; and how many allocations
// storing a new usual record takes, counted by the program's own operator
// new. Prints figures; the checks are on answers only.
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
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

// The limit of a lock question: every (project, task) of the same locks in
// one open-addressed table, built once: probes touch only an array of
// hashes, the texts are compared on a match. It knows no holders (no lock
// here is the asker's) and no key order, only whether some asked task is
// locked.
class FlatTaskSet {
 public:
  explicit FlatTaskSet(size_t tasks) {
    size_t capacity = 16;
    while (capacity < 2 * tasks) capacity *= 2;
    hashes_.resize(capacity);
    entries_.resize(capacity);
  }

  void Add(int32_t project, std::string_view task) {
    const uint64_t hash = Hash(project, task);
    size_t i = hash & (hashes_.size() - 1);
    for (; hashes_[i] != 0; i = (i + 1) & (hashes_.size() - 1)) {
      if (Matches(i, hash, project, task)) return;
    }
    hashes_[i] = hash;
    entries_[i] = Entry{project, static_cast<uint32_t>(text_.size()), static_cast<uint32_t>(task.size())};
    text_.append(task);
  }

  // Whether some piece of the comma list `tasks` is locked in `project`.
  bool AnyLocked(int32_t project, std::string_view tasks) const {
    for (size_t start = 0;;) {
      const size_t comma = tasks.find(',', start);
      if (Contains(project, tasks.substr(start, comma - start))) return true;
      if (comma == std::string_view::npos) return false;
      start = comma + 1;
    }
  }

 private:
  struct Entry {
    int32_t project;
    uint32_t offset;
    uint32_t length;
  };

  // Eight bytes at a time; never 0, which marks a free slot.
  static uint64_t Hash(int32_t project, std::string_view task) {
    constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
    uint64_t hash = (static_cast<uint64_t>(static_cast<uint32_t>(project)) << 32 | task.size()) * kMultiplier;
    size_t at = 0;
    for (; at + 8 <= task.size(); at += 8) {
      uint64_t word;
      std::memcpy(&word, task.data() + at, 8);
      hash = (hash ^ word) * kMultiplier;
      hash ^= hash >> 29;
    }
    for (; at < task.size(); ++at) hash = (hash ^ static_cast<uint8_t>(task[at])) * kMultiplier;
    hash ^= hash >> 32;
    return hash | 1;
  }

  bool Matches(size_t slot, uint64_t hash, int32_t project, std::string_view task) const {
    const Entry& entry = entries_[slot];
    return hashes_[slot] == hash && entry.project == project &&
           std::string_view(text_).substr(entry.offset, entry.length) == task;
  }

  bool Contains(int32_t project, std::string_view task) const {
    const uint64_t hash = Hash(project, task);
    for (size_t i = hash & (hashes_.size() - 1); hashes_[i] != 0; i = (i + 1) & (hashes_.size() - 1)) {
      if (Matches(i, hash, project, task)) return true;
    }
    return false;
  }

  std::vector<uint64_t> hashes_;
  std::vector<Entry> entries_;
  std::string text_;
};

bool Run(const char* layout, int projects) {
  constexpr int kLocks = 10000;
  constexpr int kQueries = 2000;
  LockTable table;
  FlatTaskSet flat(kLocks * 10);
  std::vector<TaskLockRecord> records;
  for (int i = 0; i < kLocks; ++i) {
    records.push_back(TaskLockRecord{"user" + std::to_string(i % 50), "User", i % projects, Tasks(i)});
  }
  const auto storeStart = std::chrono::steady_clock::now();
  for (const TaskLockRecord& record : records) table.Store(record);
  const double storeUs =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - storeStart).count() * 1e6 / kLocks;
  for (int i = 0; i < kLocks; ++i) {
    const std::string tasks = Tasks(i);
    for (size_t start = 0, comma; start <= tasks.size(); start = comma + 1) {
      comma = std::min(tasks.find(',', start), tasks.size());
      flat.Add(i % projects, std::string_view(tasks).substr(start, comma - start));
    }
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
  size_t flatBlocked = 0;
  const auto flatStart = std::chrono::steady_clock::now();
  for (const auto& [project, tasks] : queries) {
    if (flat.AnyLocked(project, tasks)) ++flatBlocked;
  }
  const double flatSeconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - flatStart).count();

  const double queryUs = seconds * 1e6 / kQueries, flatUs = flatSeconds * 1e6 / kQueries;
  std::printf("%-12s locks=%zu memory=%.1f MiB  store new=%.2f us  query=%.2f us  flat set=%.2f us\n", layout,
              table.size(), table.MemoryBytes() / (1024.0 * 1024.0), storeUs, queryUs, flatUs);
  if (projects == 25) {
#ifdef _WIN32
    const char* where = "under Wine";
#else
    const char* where = "natively";
#endif
    std::printf("@summary | CheckTaskLock's question with %d locks, %d projects: the lock table / a flat hash set of "
                "project and task (velmora_lock_bench, %s) | %.2f / %.2f us (ratio %.1f) |\n",
                kLocks, projects, where, queryUs, flatUs, flatUs > 0 ? queryUs / flatUs : 0.0);
  }
  return table.size() == kLocks && blocked == kQueries / 2 && flatBlocked == blocked;
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
