#include "messaging/LockTable.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <new>

namespace velmora::msg {

namespace {

// Eight bytes at a time, then a final mix: a question hashes every piece it
// names, so this is most of what a question costs. Every hit is confirmed
// against the lock's own list, and the values never leave the process.
uint64_t HashTask(std::string_view task) {
  constexpr uint64_t kMultiplier = 0x9E3779B97F4A7C15ull;
  const char* at = task.data();
  size_t left = task.size();
  uint64_t hash = kMultiplier ^ left;
  for (; left >= 8; at += 8, left -= 8) {
    uint64_t word;
    std::memcpy(&word, at, 8);
    hash = (hash ^ word) * kMultiplier;
    hash ^= hash >> 29;
  }
  if (left > 0) {
    // Byte by byte: a memcpy of a variable length is a library call, which
    // under Wine costs more than the whole hash.
    uint64_t word = 0;
    for (size_t i = 0; i < left; ++i) word |= uint64_t{static_cast<unsigned char>(at[i])} << (8 * i);
    hash = (hash ^ word) * kMultiplier;
  }
  hash ^= hash >> 32;
  hash *= 0xD6E8FEB86659FD93ull;
  return hash ^ (hash >> 32);
}

// Distinct hashes of a list's pieces ("t1,t1" is indexed once), into `out`.
void TaskHashes(std::string_view tasks, std::vector<uint64_t>& out) {
  out.clear();
  if (tasks.empty()) return;
  for (size_t start = 0;;) {
    const size_t comma = tasks.find(',', start);
    const size_t end = comma == std::string_view::npos ? tasks.size() : comma;
    out.push_back(HashTask(tasks.substr(start, end - start)));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  std::sort(out.begin(), out.end());
  out.erase(std::unique(out.begin(), out.end()), out.end());
}

// The distinct pieces of an asked list with their hashes. Usual lists stay
// on the stack: a question allocates nothing.
class AskedPieces {
 public:
  struct Piece {
    uint64_t hash;
    std::string_view text;
  };

  explicit AskedPieces(std::string_view tasks) {
    if (tasks.empty()) return;
    for (size_t start = 0;;) {
      const size_t comma = tasks.find(',', start);
      const size_t end = comma == std::string_view::npos ? tasks.size() : comma;
      Add(tasks.substr(start, end - start));
      if (comma == std::string_view::npos) break;
      start = comma + 1;
    }
  }

  const Piece* begin() const { return spill_.empty() ? inline_.data() : spill_.data(); }
  const Piece* end() const { return begin() + size_; }

 private:
  static constexpr size_t kInline = 32;

  void Add(std::string_view text) {
    const Piece piece{HashTask(text), text};
    // Repeats are dropped while the list is short; a long list keeps them,
    // which costs a lookup each and changes no answer.
    if (size_ < kInline) {
      for (size_t i = 0; i < size_; ++i) {
        if (inline_[i].hash == piece.hash && inline_[i].text == text) return;
      }
      inline_[size_++] = piece;
      return;
    }
    if (spill_.empty()) spill_.assign(inline_.begin(), inline_.end());
    spill_.push_back(piece);
    ++size_;
  }

  std::array<Piece, kInline> inline_;
  std::vector<Piece> spill_;
  size_t size_ = 0;
};

// Allocation bookkeeping of one tree or hash node.
constexpr size_t kNodeOverhead = 32;

// An index entry costs tens of bytes per task, so a lock is indexed task by
// task only up to this many distinct tasks: however short they are, that
// stays under the size of the datagram the lock came in. A lock with more is
// wide and carries a filter of its tasks instead.
constexpr size_t kMaxIndexedTasks = 64;

bool IsWide(size_t distinctTasks) { return distinctTasks > kMaxIndexedTasks; }

// Filter bits per distinct task and probes per task: a task the lock does
// not list passes about one time in two hundred, and each pass is confirmed
// against the list.
constexpr size_t kFilterBitsPerTask = 16;
constexpr size_t kFilterProbes = 3;

size_t FilterBit(uint64_t hash, size_t probe, size_t bits) {
  const uint64_t step = (hash >> 32) | 1;
  return static_cast<size_t>((hash + probe * step) % bits);
}

size_t FilterWords(size_t distinctTasks) {
  return IsWide(distinctTasks) ? (distinctTasks * kFilterBitsPerTask + 63) / 64 : 0;
}

void FillFilter(const std::vector<uint64_t>& hashes, uint64_t* filter, size_t words) {
  if (words == 0) return;  // a narrow lock
  std::fill(filter, filter + words, uint64_t{0});
  for (uint64_t hash : hashes) {
    for (size_t probe = 0; probe < kFilterProbes; ++probe) {
      const size_t bit = FilterBit(hash, probe, words * 64);
      filter[bit / 64] |= uint64_t{1} << (bit % 64);
    }
  }
}

// The index keeps between a quarter and half of its slots taken: a task
// that no lock lists, the usual question, ends its probe within a slot or two.
constexpr size_t kFirstSlots = 16;

}  // namespace

void LockTable::FreeRecord::operator()(Record* record) const {
  record->~Record();
  ::operator delete(record);
}

LockTable::LockTable(const LockTable& other) {
  other.ForEach([this](const TaskLockRecord& record) { Store(record); });
}

LockTable& LockTable::operator=(const LockTable& other) {
  if (this != &other) {
    LockTable copy(other);
    *this = std::move(copy);
  }
  return *this;
}

void LockTable::Store(const TaskLockRecord& record) { Store(TaskLockView::Of(record)); }

void LockTable::Store(const TaskLockView& lock) {
  FormLockKey(lock, keyScratch_);
  const auto existing = records_.find(std::string_view(keyScratch_));
  if (existing != records_.end()) {
    // The key holds everything but the display name, so only that changes
    // and the indexes stand. A received name always fits its room.
    Record& held = *existing->second;
    if (lock.displayName.size() <= held.nameRoom) {
      lock.displayName.copy(held.text() + held.keyLength, lock.displayName.size());
      held.nameLength = static_cast<uint32_t>(lock.displayName.size());
      return;
    }
  }

  TaskHashes(lock.tasks, hashScratch_);
  const size_t filterWords = FilterWords(hashScratch_.size());
  const size_t nameRoom = std::max(lock.displayName.size(), kLockDisplayNameSlot);
  const size_t bytes = sizeof(Record) + filterWords * sizeof(uint64_t) + keyScratch_.size() + nameRoom;
  RecordPtr made(new (::operator new(bytes)) Record());
  Record& record = *made;
  record.projectId = lock.projectId;
  record.accountLength = static_cast<uint32_t>(keyScratch_.find('\0'));
  record.tasksOffset = static_cast<uint32_t>(keyScratch_.size() - lock.tasks.size());
  record.keyLength = static_cast<uint32_t>(keyScratch_.size());
  record.filterWords = static_cast<uint32_t>(filterWords);
  record.nameRoom = static_cast<uint32_t>(nameRoom);
  record.nameLength = static_cast<uint32_t>(lock.displayName.size());
  FillFilter(hashScratch_, record.filter(), filterWords);
  keyScratch_.copy(record.text(), keyScratch_.size());
  lock.displayName.copy(record.text() + record.keyLength, lock.displayName.size());

  if (existing != records_.end()) {
    // A name longer than the held record has room for, given by a caller:
    // the new record takes the old one's place everywhere, which moves
    // pointers only and so cannot fail halfway.
    const Record* old = existing->second.get();
    // A lock of no tasks is in no index, and its project may have none.
    const auto project = projects_.find(record.projectId);
    if (project != projects_.end()) {
      Postings& wide = project->second.wide;
      std::replace(wide.begin(), wide.end(), old, static_cast<const Record*>(&record));
      for (uint64_t hash : hashScratch_) project->second.tasks.Replace(hash, old, &record);
    }
    auto node = records_.extract(existing);
    node.key() = record.key();
    node.mapped().swap(made);
    records_.insert(std::move(node));
    return;
  }

  const Record* stored = &record;
  records_.emplace(record.key(), std::move(made));
  try {
    Index(stored, hashScratch_);
  } catch (...) {
    // Half indexed, the lock would be held yet reported free for some of
    // its tasks: without the memory to index it, it is not stored at all.
    Unindex(stored, hashScratch_);
    records_.erase(stored->key());
    throw;
  }
}

size_t LockTable::RemoveProject(int32_t projectId) {
  size_t removed = 0;
  for (auto it = records_.begin(); it != records_.end();) {
    if (it->second->projectId == projectId) {
      it = records_.erase(it);
      ++removed;
    } else {
      ++it;
    }
  }
  projects_.erase(projectId);
  return removed;
}

size_t LockTable::RemoveHeld(const std::string& account, int32_t projectId,
                             const std::string& tasks, std::vector<TaskLockRecord>* removed,
                             const OwnLockCheck& isOwn) {
  const auto project = projects_.find(projectId);
  if (project == projects_.end()) return 0;
  std::vector<const Record*> doomed;
  const AskedPieces pieces(tasks);
  for (const auto& [hash, piece] : pieces) {
    for (const Record* record : project->second.tasks.Find(hash)) {
      if (IsHeldBy(record, account) && ListsTask(record, piece)) doomed.push_back(record);
    }
  }
  for (const Record* record : project->second.wide) {
    if (!IsHeldBy(record, account)) continue;
    for (const auto& [hash, piece] : pieces) {
      if (MayListTask(record, hash) && ListsTask(record, piece)) {
        doomed.push_back(record);
        break;
      }
    }
  }
  std::sort(doomed.begin(), doomed.end(), KeyOrder());
  doomed.erase(std::unique(doomed.begin(), doomed.end()), doomed.end());
  if (isOwn) {
    doomed.erase(std::remove_if(doomed.begin(), doomed.end(),
                                [&](const Record* record) { return !isOwn(ToRecord(record)); }),
                 doomed.end());
  }
  for (const Record* record : doomed) {
    if (removed) removed->push_back(ToRecord(record));
    Erase(record);
  }
  return doomed.size();
}

std::optional<TaskLockRecord> LockTable::FindBlockingRecord(const std::string& account,
                                                            int32_t projectId,
                                                            const std::string& tasks,
                                                            const OwnLockCheck& isOwn) const {
  const Record* found = FindBlocking(account, projectId, tasks, isOwn);
  if (!found) return std::nullopt;
  return ToRecord(found);
}

std::string LockTable::FindBlockingHolder(const std::string& account, int32_t projectId,
                                          const std::string& tasks) const {
  const Record* found = FindBlocking(account, projectId, tasks, nullptr);
  if (!found) return std::string();
  return std::string(found->account());
}

void LockTable::ForEach(const std::function<void(const TaskLockRecord&)>& visit) const {
  Postings inOrder;
  inOrder.reserve(records_.size());
  for (const auto& [key, record] : records_) {
    (void)key;
    inOrder.push_back(record.get());
  }
  std::sort(inOrder.begin(), inOrder.end(), KeyOrder());
  for (const Record* record : inOrder) visit(ToRecord(record));
}

void LockTable::Clear() {
  projects_.clear();
  records_.clear();
}

size_t LockTable::MemoryBytes() const {
  size_t bytes = sizeof(*this) + (projects_.bucket_count() + records_.bucket_count()) * sizeof(void*);
  for (const auto& [key, record] : records_) {
    (void)key;
    bytes += 2 * kNodeOverhead + sizeof(Records::value_type) + record->bytes();
  }
  for (const auto& [projectId, project] : projects_) {
    (void)projectId;
    bytes += kNodeOverhead + sizeof(std::pair<const int32_t, ProjectIndex>) + project.tasks.MemoryBytes() +
             project.wide.capacity() * sizeof(const Record*);
  }
  return bytes;
}

void LockTable::Index(const Record* record, const std::vector<uint64_t>& hashes) {
  ProjectIndex& project = projects_[record->projectId];
  if (record->filterWords > 0) {
    Postings& wide = project.wide;
    wide.insert(std::lower_bound(wide.begin(), wide.end(), record, KeyOrder()), record);
    return;
  }
  for (uint64_t hash : hashes) project.tasks.Add(hash, record);
}

void LockTable::Unindex(const Record* record) {
  TaskHashes(record->tasks(), hashScratch_);
  Unindex(record, hashScratch_);
}

void LockTable::Unindex(const Record* record, const std::vector<uint64_t>& hashes) {
  const auto project = projects_.find(record->projectId);
  if (project == projects_.end()) return;
  if (record->filterWords > 0) {
    Postings& wide = project->second.wide;
    const auto at = std::lower_bound(wide.begin(), wide.end(), record, KeyOrder());
    if (at != wide.end() && *at == record) wide.erase(at);
  } else {
    for (uint64_t hash : hashes) project->second.tasks.Remove(hash, record);
  }
  if (project->second.tasks.empty() && project->second.wide.empty()) projects_.erase(project);
}

void LockTable::Erase(const Record* record) {
  Unindex(record);
  records_.erase(record->key());
}

const LockTable::Record* LockTable::FindBlocking(const std::string& account, int32_t projectId,
                                                 const std::string& tasks,
                                                 const OwnLockCheck& isOwn) const {
  const auto project = projects_.find(projectId);
  if (project == projects_.end()) return nullptr;
  const auto blocks = [&](const Record* record) {
    return !IsHeldBy(record, account) || (isOwn && !isOwn(ToRecord(record)));
  };
  const Record* best = nullptr;
  const AskedPieces pieces(tasks);
  for (const auto& [hash, piece] : pieces) {
    // Postings are in key order: the first one not held by the asker is this
    // piece's candidate, and nothing past the best so far can win.
    for (const Record* record : project->second.tasks.Find(hash)) {
      if (best && (record == best || !(record->key() < best->key()))) break;
      if (!ListsTask(record, piece) || !blocks(record)) continue;
      best = record;
      break;
    }
  }
  for (const Record* record : project->second.wide) {
    if (best && !(record->key() < best->key())) break;
    bool listed = false;
    for (const auto& [hash, piece] : pieces) {
      if (MayListTask(record, hash) && ListsTask(record, piece)) {
        listed = true;
        break;
      }
    }
    if (listed && blocks(record)) {
      best = record;
      break;
    }
  }
  return best;
}

bool LockTable::IsHeldBy(const Record* record, const std::string& account) {
  return record->account() == account;
}

bool LockTable::MayListTask(const Record* record, uint64_t taskHash) {
  const uint64_t* filter = record->filter();
  const size_t bits = size_t{record->filterWords} * 64;
  for (size_t probe = 0; probe < kFilterProbes; ++probe) {
    const size_t bit = FilterBit(taskHash, probe, bits);
    if (!(filter[bit / 64] >> (bit % 64) & 1)) return false;
  }
  return true;
}

bool LockTable::ListsTask(const Record* record, std::string_view task) {
  // Walked in place: a wide lock's list is long, and splitting it into
  // pieces for every question would allocate each time.
  const std::string_view list = record->tasks();
  if (list.empty()) return false;
  size_t start = 0;
  for (;;) {
    const size_t comma = list.find(',', start);
    const size_t end = comma == std::string_view::npos ? list.size() : comma;
    if (list.substr(start, end - start) == task) return true;
    if (comma == std::string_view::npos) return false;
    start = comma + 1;
  }
}

TaskLockRecord LockTable::ToRecord(const Record* record) {
  TaskLockRecord made;
  made.account = std::string(record->account());
  made.displayName = std::string(record->displayName());
  made.projectId = record->projectId;
  made.tasks = std::string(record->tasks());
  return made;
}

// --- the task index ---------------------------------------------------------------

LockTable::TaskIndex::Hits LockTable::TaskIndex::Find(uint64_t hash) const {
  Hits hits;
  if (slots_.empty()) return hits;
  const Slot& slot = slots_[Probe(hash)];
  if (slot.ref == 0) return hits;
  if (slot.ref & 1) {
    const Postings& list = lists_[slot.ref >> 1];
    hits.list = list.data();
    hits.count = list.size();
  } else {
    hits.single = reinterpret_cast<const Record*>(slot.ref);
    hits.count = 1;
  }
  return hits;
}

size_t LockTable::TaskIndex::Probe(uint64_t hash) const {
  const size_t mask = slots_.size() - 1;
  for (size_t at = static_cast<size_t>(hash) & mask;; at = (at + 1) & mask) {
    const Slot& slot = slots_[at];
    if (slot.ref == 0 || slot.hash == hash) return at;
  }
}

void LockTable::TaskIndex::Grow() {
  std::vector<Slot> grown(slots_.empty() ? kFirstSlots : slots_.size() * 2, Slot{0, 0});
  grown.swap(slots_);
  for (const Slot& slot : grown) {
    if (slot.ref != 0) slots_[Probe(slot.hash)] = slot;
  }
}

void LockTable::TaskIndex::Add(uint64_t hash, const Record* record) {
  if ((used_ + 1) * 2 > slots_.size()) Grow();
  const size_t at = Probe(hash);
  Slot& slot = slots_[at];
  const uintptr_t ref = reinterpret_cast<uintptr_t>(record);
  if (slot.ref == 0) {
    slot = Slot{hash, ref};
    ++used_;
    return;
  }
  if (slot.ref & 1) {
    Postings& list = lists_[slot.ref >> 1];
    const auto place = std::lower_bound(list.begin(), list.end(), record, KeyOrder());
    if (place == list.end() || *place != record) list.insert(place, record);
    return;
  }
  const Record* single = reinterpret_cast<const Record*>(slot.ref);
  if (single == record) return;
  // A second lock on the task: a list of its own, a freed one when there is.
  if (freeLists_.empty()) {
    lists_.emplace_back();
    try {
      freeLists_.push_back(static_cast<uint32_t>(lists_.size() - 1));
    } catch (...) {
      lists_.pop_back();
      throw;
    }
  }
  Postings& list = lists_[freeLists_.back()];
  list.reserve(2);
  if (KeyOrder()(record, single)) {
    list.assign({record, single});
  } else {
    list.assign({single, record});
  }
  slot.ref = uintptr_t{freeLists_.back()} << 1 | 1;
  freeLists_.pop_back();
}

void LockTable::TaskIndex::Remove(uint64_t hash, const Record* record) {
  if (slots_.empty()) return;
  const size_t at = Probe(hash);
  Slot& slot = slots_[at];
  if (slot.ref == 0) return;
  if (slot.ref & 1) {
    const uint32_t number = static_cast<uint32_t>(slot.ref >> 1);
    Postings& list = lists_[number];
    const auto place = std::lower_bound(list.begin(), list.end(), record, KeyOrder());
    if (place == list.end() || *place != record) return;
    list.erase(place);
    if (list.size() > 1) return;
    // Back to a single lock: the list goes back to the pool, whose room
    // was reserved when it was made, so this takes nothing.
    slot.ref = reinterpret_cast<uintptr_t>(list.front());
    list.clear();
    freeLists_.push_back(number);
    return;
  }
  if (reinterpret_cast<const Record*>(slot.ref) == record) Vacate(at);
}

void LockTable::TaskIndex::Replace(uint64_t hash, const Record* was, const Record* now) {
  if (slots_.empty()) return;
  Slot& slot = slots_[Probe(hash)];
  if (slot.ref & 1) {
    Postings& list = lists_[slot.ref >> 1];
    std::replace(list.begin(), list.end(), was, now);
  } else if (reinterpret_cast<const Record*>(slot.ref) == was) {
    slot.ref = reinterpret_cast<uintptr_t>(now);
  }
}

void LockTable::TaskIndex::Vacate(size_t at) {
  // Linear probing without tombstones: later slots of the run move up into
  // the gap unless they already sit at or after their home.
  const size_t mask = slots_.size() - 1;
  size_t gap = at;
  for (size_t next = (gap + 1) & mask; slots_[next].ref != 0; next = (next + 1) & mask) {
    const size_t home = static_cast<size_t>(slots_[next].hash) & mask;
    // Movable when its home does not lie cyclically within (gap, next].
    const bool stays = gap <= next ? (gap < home && home <= next) : (gap < home || home <= next);
    if (stays) continue;
    slots_[gap] = slots_[next];
    gap = next;
  }
  slots_[gap] = Slot{0, 0};
  --used_;
}

size_t LockTable::TaskIndex::MemoryBytes() const {
  size_t bytes = slots_.capacity() * sizeof(Slot) + lists_.capacity() * sizeof(Postings) +
                 freeLists_.capacity() * sizeof(uint32_t);
  for (const Postings& list : lists_) bytes += list.capacity() * sizeof(const Record*);
  return bytes;
}

int LockCheckResult(const std::string& holder, const std::string& account) {
  return holder.empty() || holder == account ? 1 : 0;
}

}  // namespace velmora::msg
