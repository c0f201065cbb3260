// Edit locks known to one party, ordered by key (LockKey, byte-wise) and
// indexed by project and task UID so a lock question costs a few lookups
// however many locks are held.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "messaging/Records.h"

namespace velmora::msg {

class LockTable {
 public:
  LockTable() = default;
  // The indexes point into the table's own records, so a copy is rebuilt
  // rather than copied member by member.
  LockTable(const LockTable& other);
  LockTable& operator=(const LockTable& other);
  LockTable(LockTable&&) = default;
  LockTable& operator=(LockTable&&) = default;

  // Adds the record, replacing one stored under the same key.
  void Store(const TaskLockRecord& record);

  // Removes every lock of the project; returns how many went.
  size_t RemoveProject(int32_t projectId);

  // Removes the locks held by `account` in the project whose task list
  // intersects `tasks`; returns how many went. Other holders are untouched.
  size_t RemoveHeld(const std::string& account, int32_t projectId, const std::string& tasks);

  // The first lock in key order of `projectId` whose task list intersects
  // `tasks` and whose holder is not `account`. The account is compared as it
  // reads back from a record's account slot, so a user with an account too
  // long for that slot is not blocked by their own locks.
  std::optional<TaskLockRecord> FindBlockingRecord(const std::string& account, int32_t projectId,
                                                   const std::string& tasks) const;

  // Holder account of FindBlockingRecord, or "" when nothing blocks.
  std::string FindBlockingHolder(const std::string& account, int32_t projectId,
                                 const std::string& tasks) const;

  // Visits every lock in key order.
  void ForEach(const std::function<void(const TaskLockRecord&)>& visit) const;

  size_t size() const { return records_.size(); }
  bool empty() const { return records_.empty(); }
  void Clear();

  // Rough heap footprint of the table and its indexes, for sizing checks.
  size_t MemoryBytes() const;

 private:
  // The key holds account, project id and task list; an entry remembers
  // where they sit in it instead of keeping second copies.
  struct Entry {
    int32_t projectId = 0;
    uint32_t accountLength = 0;
    uint32_t tasksOffset = 0;
    std::string displayName;
  };
  using Records = std::map<std::string, Entry>;
  using RecordIt = Records::const_iterator;
  struct KeyOrder {
    bool operator()(RecordIt a, RecordIt b) const { return a->first < b->first; }
  };
  // Task UIDs are indexed by a 64-bit hash, which keeps the index small; a
  // hit is confirmed against the lock's own task list before it counts.
  struct TaskHash {
    size_t operator()(uint64_t hash) const { return static_cast<size_t>(hash); }
  };
  using Postings = std::vector<RecordIt>;  // in key order
  using TaskIndex = std::unordered_map<uint64_t, Postings, TaskHash>;

  void Index(RecordIt it);
  void Unindex(RecordIt it);
  void Erase(RecordIt it);
  std::optional<RecordIt> FindBlocking(const std::string& account, int32_t projectId,
                                       const std::string& tasks) const;
  static bool IsHeldBy(RecordIt it, const std::string& slotAccount);
  static bool ListsTask(RecordIt it, std::string_view task);
  static TaskLockRecord ToRecord(RecordIt it);

  Records records_;
  std::unordered_map<int32_t, TaskIndex> projects_;
};

// Outcome of a lock question from the holder FindBlockingHolder gave: 1 when
// nobody else is named (empty, or the asking account itself), else 0.
int LockCheckResult(const std::string& holder, const std::string& account);

}  // namespace velmora::msg
