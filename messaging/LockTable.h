// Edit locks known to one party, ordered by key (LockKey, byte-wise) and
// indexed by project and task UID so a lock question costs a few lookups
// however many locks are held. A lock with many short task UIDs is not
// indexed task by task, which would cost many times its text, but carries a
// small bit filter of its tasks instead.
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
  // The same, read in place from a received record; a record already held
  // (a table sent again) costs a lookup and no allocation.
  void Store(const TaskLockView& lock);

  // Removes every lock of the project; returns how many went.
  size_t RemoveProject(int32_t projectId);

  // Says whether a lock whose holder text equals the asker's account really
  // is the asker's, where the text alone cannot tell.
  using OwnLockCheck = std::function<bool(const TaskLockRecord& lock)>;

  // Removes the locks held by `account` (and owned by the asker, when
  // `isOwn` is given) in the project whose task list intersects `tasks`;
  // returns how many went, and hands them to `removed` when given. Other
  // holders are untouched.
  size_t RemoveHeld(const std::string& account, int32_t projectId, const std::string& tasks,
                    std::vector<TaskLockRecord>* removed = nullptr,
                    const OwnLockCheck& isOwn = nullptr);

  // The first lock in key order of `projectId` whose task list intersects
  // `tasks` and whose holder is not `account`, compared exactly: an account
  // too long for the record's slot is blocked by its own locks, which come
  // back cut, rather than let another user's lock pass. With `isOwn`, a lock
  // of the asker's account text counts as the asker's only when it agrees.
  std::optional<TaskLockRecord> FindBlockingRecord(const std::string& account, int32_t projectId,
                                                   const std::string& tasks,
                                                   const OwnLockCheck& isOwn = nullptr) const;

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
  // where they sit in it instead of keeping second copies. `filter` is set
  // for wide locks only: two bytes per distinct task.
  struct Entry {
    int32_t projectId = 0;
    uint32_t accountLength = 0;
    uint32_t tasksOffset = 0;
    std::string displayName;
    std::vector<uint64_t> filter;
  };
  // Transparent order: a key formed in a scratch buffer is looked up as is.
  using Records = std::map<std::string, Entry, std::less<>>;
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
  struct ProjectIndex {
    TaskIndex tasks;  // narrow locks, by task
    Postings wide;    // wide locks, looked at one by one through their filters
  };

  void Index(RecordIt it, const std::vector<uint64_t>& hashes);
  void Unindex(RecordIt it);
  // Takes nothing: finds and erases only, so it can undo a failed Index.
  void Unindex(RecordIt it, const std::vector<uint64_t>& hashes);
  void Erase(RecordIt it);
  std::optional<RecordIt> FindBlocking(const std::string& account, int32_t projectId,
                                       const std::string& tasks, const OwnLockCheck& isOwn) const;
  static bool IsHeldBy(RecordIt it, const std::string& account);
  static bool ListsTask(RecordIt it, std::string_view task);
  static bool MayListTask(RecordIt it, uint64_t taskHash);
  static TaskLockRecord ToRecord(RecordIt it);

  Records records_;
  std::unordered_map<int32_t, ProjectIndex> projects_;
  // Reused by every Store and removal, so a steady stream of records
  // allocates only for what it adds.
  std::string keyScratch_;
  std::vector<uint64_t> hashScratch_;
};

// Outcome of a lock question from the holder FindBlockingHolder gave: 1 when
// nobody else is named (empty, or the asking account itself), else 0.
int LockCheckResult(const std::string& holder, const std::string& account);

}  // namespace velmora::msg
