#include "messaging/LockTable.h"

#include <algorithm>
#include <array>
#include <cstring>

namespace velmora::msg {

namespace {

std::string_view TasksOf(const std::string& key, uint32_t tasksOffset) {
  return std::string_view(key).substr(tasksOffset);
}

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

size_t HeapBytes(const std::string& text) {
  // Short texts live inside the string object itself.
  return text.capacity() > 15 ? text.capacity() + 1 : 0;
}

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

std::vector<uint64_t> MakeFilter(const std::vector<uint64_t>& hashes) {
  const size_t words = (hashes.size() * kFilterBitsPerTask + 63) / 64;
  std::vector<uint64_t> filter(words);
  for (uint64_t hash : hashes) {
    for (size_t probe = 0; probe < kFilterProbes; ++probe) {
      const size_t bit = FilterBit(hash, probe, words * 64);
      filter[bit / 64] |= uint64_t{1} << (bit % 64);
    }
  }
  return filter;
}

}  // namespace

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
    // and the indexes stand.
    existing->second.displayName.assign(lock.displayName);
    return;
  }

  Entry entry;
  entry.projectId = lock.projectId;
  entry.accountLength = static_cast<uint32_t>(keyScratch_.find('\0'));
  entry.tasksOffset = static_cast<uint32_t>(keyScratch_.size() - lock.tasks.size());
  entry.displayName.assign(lock.displayName);
  // A list of its own rather than the scratch one: filters then land apart
  // from the keys in memory, and the walk over wide locks stays fast.
  std::vector<uint64_t> hashes;
  TaskHashes(lock.tasks, hashes);
  if (IsWide(hashes.size())) entry.filter = MakeFilter(hashes);
  // The formed key goes into the table as it is; the next one is formed in
  // a new buffer, the one allocation a new record's key needs anyway.
  const auto inserted = records_.emplace(std::move(keyScratch_), std::move(entry)).first;
  try {
    Index(inserted, hashes);
  } catch (...) {
    // Half indexed, the lock would be held yet reported free for some of
    // its tasks: without the memory to index it, it is not stored at all.
    Unindex(inserted, hashes);
    records_.erase(inserted);
    throw;
  }
}

size_t LockTable::RemoveProject(int32_t projectId) {
  size_t removed = 0;
  for (auto it = records_.begin(); it != records_.end();) {
    if (it->second.projectId == projectId) {
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
  std::vector<RecordIt> doomed;
  const AskedPieces pieces(tasks);
  for (const auto& [hash, piece] : pieces) {
    const auto postings = project->second.tasks.find(hash);
    if (postings == project->second.tasks.end()) continue;
    for (RecordIt it : postings->second) {
      if (IsHeldBy(it, account) && ListsTask(it, piece)) doomed.push_back(it);
    }
  }
  for (RecordIt it : project->second.wide) {
    if (!IsHeldBy(it, account)) continue;
    for (const auto& [hash, piece] : pieces) {
      if (MayListTask(it, hash) && ListsTask(it, piece)) {
        doomed.push_back(it);
        break;
      }
    }
  }
  std::sort(doomed.begin(), doomed.end(), KeyOrder());
  doomed.erase(std::unique(doomed.begin(), doomed.end()), doomed.end());
  if (isOwn) {
    doomed.erase(std::remove_if(doomed.begin(), doomed.end(),
                                [&](RecordIt it) { return !isOwn(ToRecord(it)); }),
                 doomed.end());
  }
  for (RecordIt it : doomed) {
    if (removed) removed->push_back(ToRecord(it));
    Erase(it);
  }
  return doomed.size();
}

std::optional<TaskLockRecord> LockTable::FindBlockingRecord(const std::string& account,
                                                            int32_t projectId,
                                                            const std::string& tasks,
                                                            const OwnLockCheck& isOwn) const {
  const std::optional<RecordIt> found = FindBlocking(account, projectId, tasks, isOwn);
  if (!found) return std::nullopt;
  return ToRecord(*found);
}

std::string LockTable::FindBlockingHolder(const std::string& account, int32_t projectId,
                                          const std::string& tasks) const {
  const std::optional<RecordIt> found = FindBlocking(account, projectId, tasks, nullptr);
  if (!found) return std::string();
  return (*found)->first.substr(0, (*found)->second.accountLength);
}

void LockTable::ForEach(const std::function<void(const TaskLockRecord&)>& visit) const {
  for (auto it = records_.begin(); it != records_.end(); ++it) visit(ToRecord(it));
}

void LockTable::Clear() {
  projects_.clear();
  records_.clear();
}

size_t LockTable::MemoryBytes() const {
  size_t bytes = sizeof(*this) + projects_.bucket_count() * sizeof(void*);
  for (const auto& [key, entry] : records_) {
    bytes += kNodeOverhead + sizeof(Records::value_type) + HeapBytes(key) +
             HeapBytes(entry.displayName) + entry.filter.capacity() * sizeof(uint64_t);
  }
  for (const auto& [projectId, project] : projects_) {
    (void)projectId;
    const TaskIndex& index = project.tasks;
    bytes += kNodeOverhead + sizeof(std::pair<const int32_t, ProjectIndex>) +
             index.bucket_count() * sizeof(void*) + project.wide.capacity() * sizeof(RecordIt);
    for (const auto& [hash, postings] : index) {
      (void)hash;
      bytes += kNodeOverhead + sizeof(TaskIndex::value_type) +
               postings.capacity() * sizeof(RecordIt);
    }
  }
  return bytes;
}

void LockTable::Index(RecordIt it, const std::vector<uint64_t>& hashes) {
  ProjectIndex& project = projects_[it->second.projectId];
  if (!it->second.filter.empty()) {
    Postings& wide = project.wide;
    wide.insert(std::lower_bound(wide.begin(), wide.end(), it, KeyOrder()), it);
    return;
  }
  TaskIndex& index = project.tasks;
  for (uint64_t hash : hashes) {
    Postings& postings = index[hash];
    postings.insert(std::lower_bound(postings.begin(), postings.end(), it, KeyOrder()), it);
  }
}

void LockTable::Unindex(RecordIt it) {
  TaskHashes(TasksOf(it->first, it->second.tasksOffset), hashScratch_);
  Unindex(it, hashScratch_);
}

void LockTable::Unindex(RecordIt it, const std::vector<uint64_t>& hashes) {
  const auto project = projects_.find(it->second.projectId);
  if (project == projects_.end()) return;
  if (!it->second.filter.empty()) {
    Postings& wide = project->second.wide;
    const auto at = std::lower_bound(wide.begin(), wide.end(), it, KeyOrder());
    if (at != wide.end() && *at == it) wide.erase(at);
  }
  TaskIndex& index = project->second.tasks;
  for (uint64_t hash : hashes) {
    const auto postings = index.find(hash);
    if (postings == index.end()) continue;
    Postings& list = postings->second;
    const auto at = std::lower_bound(list.begin(), list.end(), it, KeyOrder());
    if (at != list.end() && *at == it) list.erase(at);
    if (list.empty()) index.erase(postings);
  }
  if (index.empty() && project->second.wide.empty()) projects_.erase(project);
}

void LockTable::Erase(RecordIt it) {
  Unindex(it);
  records_.erase(it);
}

std::optional<LockTable::RecordIt> LockTable::FindBlocking(const std::string& account,
                                                           int32_t projectId,
                                                           const std::string& tasks,
                                                           const OwnLockCheck& isOwn) const {
  const auto project = projects_.find(projectId);
  if (project == projects_.end()) return std::nullopt;
  const auto blocks = [&](RecordIt it) {
    return !IsHeldBy(it, account) || (isOwn && !isOwn(ToRecord(it)));
  };
  std::optional<RecordIt> best;
  const AskedPieces pieces(tasks);
  for (const auto& [hash, piece] : pieces) {
    const auto postings = project->second.tasks.find(hash);
    if (postings == project->second.tasks.end()) continue;
    // Postings are in key order: the first one not held by the asker is this
    // piece's candidate, and nothing past the best so far can win.
    for (RecordIt it : postings->second) {
      if (best && (it == *best || !(it->first < (*best)->first))) break;
      if (!ListsTask(it, piece) || !blocks(it)) continue;
      best = it;
      break;
    }
  }
  for (RecordIt it : project->second.wide) {
    if (best && !(it->first < (*best)->first)) break;
    bool listed = false;
    for (const auto& [hash, piece] : pieces) {
      if (MayListTask(it, hash) && ListsTask(it, piece)) {
        listed = true;
        break;
      }
    }
    if (listed && blocks(it)) {
      best = it;
      break;
    }
  }
  return best;
}

bool LockTable::IsHeldBy(RecordIt it, const std::string& account) {
  return std::string_view(it->first).substr(0, it->second.accountLength) == account;
}

bool LockTable::MayListTask(RecordIt it, uint64_t taskHash) {
  const std::vector<uint64_t>& filter = it->second.filter;
  for (size_t probe = 0; probe < kFilterProbes; ++probe) {
    const size_t bit = FilterBit(taskHash, probe, filter.size() * 64);
    if (!(filter[bit / 64] >> (bit % 64) & 1)) return false;
  }
  return true;
}

bool LockTable::ListsTask(RecordIt it, std::string_view task) {
  // Walked in place: a wide lock's list is long, and splitting it into
  // pieces for every question would allocate each time.
  const std::string_view list = TasksOf(it->first, it->second.tasksOffset);
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

TaskLockRecord LockTable::ToRecord(RecordIt it) {
  TaskLockRecord record;
  record.account = it->first.substr(0, it->second.accountLength);
  record.displayName = it->second.displayName;
  record.projectId = it->second.projectId;
  record.tasks = it->first.substr(it->second.tasksOffset);
  return record;
}

int LockCheckResult(const std::string& holder, const std::string& account) {
  return holder.empty() || holder == account ? 1 : 0;
}

}  // namespace velmora::msg
