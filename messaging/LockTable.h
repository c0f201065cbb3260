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
#include <memory>
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
  // One allocation per lock: the key (account, project id and task list, see
  // FormLockKey), then the display name in room that any received name fits,
  // so storing a held lock again never reallocates. A wide lock's filter,
  // two bytes per distinct task, comes first, where 64-bit words align.
  struct alignas(uint64_t) Record {
    int32_t projectId = 0;
    uint32_t accountLength = 0;
    uint32_t tasksOffset = 0;
    uint32_t keyLength = 0;
    uint32_t filterWords = 0;  // 0 for a narrow lock
    uint32_t nameRoom = 0;
    uint32_t nameLength = 0;

    const uint64_t* filter() const { return reinterpret_cast<const uint64_t*>(this + 1); }
    uint64_t* filter() { return reinterpret_cast<uint64_t*>(this + 1); }
    const char* text() const { return reinterpret_cast<const char*>(filter() + filterWords); }
    char* text() { return reinterpret_cast<char*>(filter() + filterWords); }
    std::string_view key() const { return std::string_view(text(), keyLength); }
    std::string_view account() const { return key().substr(0, accountLength); }
    std::string_view tasks() const { return key().substr(tasksOffset); }
    std::string_view displayName() const { return std::string_view(text() + keyLength, nameLength); }
    size_t bytes() const { return sizeof(Record) + filterWords * sizeof(uint64_t) + keyLength + nameRoom; }
  };
  struct FreeRecord {
    void operator()(Record* record) const;
  };
  using RecordPtr = std::unique_ptr<Record, FreeRecord>;
  // Keyed by a view of the record's own key, so a key formed in a scratch
  // buffer is looked up as is. Hashed: a record arriving is found or placed
  // without a walk of key comparisons.
  using Records = std::unordered_map<std::string_view, RecordPtr>;
  struct KeyOrder {
    bool operator()(const Record* a, const Record* b) const { return a->key() < b->key(); }
  };
  using Postings = std::vector<const Record*>;  // in key order

  // Task hash to the narrow locks listing it. Open addressing in one array
  // that doubles as it fills, so indexing a lock costs no allocation of its
  // own; a task listed by several locks takes a list from a pool, reused
  // once freed. Task UIDs are indexed by a 64-bit hash, which keeps the index
  // small; a hit is confirmed against the lock's own task list.
  class TaskIndex {
   public:
    // The locks listing a hash, in key order.
    struct Hits {
      const Record* single = nullptr;
      const Record* const* list = nullptr;
      size_t count = 0;
      const Record* const* begin() const { return list ? list : &single; }
      const Record* const* end() const { return begin() + count; }
    };
    Hits Find(uint64_t hash) const;
    // Leaves the index as it was when it throws.
    void Add(uint64_t hash, const Record* record);
    // Takes nothing, so it can undo a failed Add.
    void Remove(uint64_t hash, const Record* record);
    // Puts `now` where `was` is; both have the same key. Takes nothing.
    void Replace(uint64_t hash, const Record* was, const Record* now);
    bool empty() const { return used_ == 0; }
    size_t MemoryBytes() const;

   private:
    // `ref` is 0 for a free slot, the record, or a pool list's number
    // shifted left with the low bit set.
    struct Slot {
      uint64_t hash;
      uintptr_t ref;
    };
    size_t Probe(uint64_t hash) const;  // the slot holding `hash`, or the free one it would take
    void Grow();
    void Vacate(size_t at);

    std::vector<Slot> slots_;
    size_t used_ = 0;
    std::vector<Postings> lists_;
    std::vector<uint32_t> freeLists_;
  };
  struct ProjectIndex {
    TaskIndex tasks;  // narrow locks, by task
    Postings wide;    // wide locks, looked at one by one through their filters
  };

  void Index(const Record* record, const std::vector<uint64_t>& hashes);
  void Unindex(const Record* record);
  // Takes nothing: finds and erases only, so it can undo a failed Index.
  void Unindex(const Record* record, const std::vector<uint64_t>& hashes);
  void Erase(const Record* record);
  const Record* FindBlocking(const std::string& account, int32_t projectId, const std::string& tasks,
                             const OwnLockCheck& isOwn) const;
  static bool IsHeldBy(const Record* record, const std::string& account);
  static bool ListsTask(const Record* record, std::string_view task);
  static bool MayListTask(const Record* record, uint64_t taskHash);
  static TaskLockRecord ToRecord(const Record* record);

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
