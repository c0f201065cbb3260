#include "messaging/LockTable.h"

#include <algorithm>
#include <unordered_set>

#include "messaging/CommaList.h"

namespace velmora::msg {

namespace {

std::string_view TasksOf(const std::string& key, uint32_t tasksOffset) {
  return std::string_view(key).substr(tasksOffset);
}

// FNV-1a: cheap, and good enough since every hit is confirmed.
uint64_t HashTask(std::string_view task) {
  uint64_t hash = 14695981039346656037ull;
  for (char c : task) {
    hash ^= static_cast<unsigned char>(c);
    hash *= 1099511628211ull;
  }
  return hash;
}

// Distinct hashes of a list's pieces ("t1,t1" is indexed once).
std::vector<uint64_t> TaskHashes(std::string_view tasks) {
  std::vector<uint64_t> hashes;
  for (std::string_view piece : SplitCommaListViews(tasks)) hashes.push_back(HashTask(piece));
  std::sort(hashes.begin(), hashes.end());
  hashes.erase(std::unique(hashes.begin(), hashes.end()), hashes.end());
  return hashes;
}

size_t HeapBytes(const std::string& text) {
  // Short texts live inside the string object itself.
  return text.capacity() > 15 ? text.capacity() + 1 : 0;
}

// Allocation bookkeeping of one tree or hash node.
constexpr size_t kNodeOverhead = 32;

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

void LockTable::Store(const TaskLockRecord& record) {
  std::string key = LockKey(record);
  const auto existing = records_.find(key);
  if (existing != records_.end()) Erase(existing);

  Entry entry;
  entry.projectId = record.projectId;
  entry.accountLength = static_cast<uint32_t>(record.account.size());
  entry.tasksOffset = static_cast<uint32_t>(key.size() - record.tasks.size());
  entry.displayName = record.displayName;
  const auto inserted = records_.emplace(std::move(key), std::move(entry)).first;
  Index(inserted);
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
                             const std::string& tasks) {
  const auto project = projects_.find(projectId);
  if (project == projects_.end()) return 0;
  const std::string slotAccount = SlotText(account, kAccountSlot);
  std::vector<RecordIt> doomed;
  for (std::string_view piece : SplitCommaListViews(tasks)) {
    const auto postings = project->second.find(HashTask(piece));
    if (postings == project->second.end()) continue;
    for (RecordIt it : postings->second) {
      if (IsHeldBy(it, slotAccount) && ListsTask(it, piece)) doomed.push_back(it);
    }
  }
  std::sort(doomed.begin(), doomed.end(), KeyOrder());
  doomed.erase(std::unique(doomed.begin(), doomed.end()), doomed.end());
  for (RecordIt it : doomed) Erase(it);
  return doomed.size();
}

std::optional<TaskLockRecord> LockTable::FindBlockingRecord(const std::string& account,
                                                            int32_t projectId,
                                                            const std::string& tasks) const {
  const std::optional<RecordIt> found = FindBlocking(account, projectId, tasks);
  if (!found) return std::nullopt;
  return ToRecord(*found);
}

std::string LockTable::FindBlockingHolder(const std::string& account, int32_t projectId,
                                          const std::string& tasks) const {
  const std::optional<RecordIt> found = FindBlocking(account, projectId, tasks);
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
             HeapBytes(entry.displayName);
  }
  for (const auto& [projectId, index] : projects_) {
    (void)projectId;
    bytes += kNodeOverhead + sizeof(std::pair<const int32_t, TaskIndex>) +
             index.bucket_count() * sizeof(void*);
    for (const auto& [hash, postings] : index) {
      (void)hash;
      bytes += kNodeOverhead + sizeof(TaskIndex::value_type) +
               postings.capacity() * sizeof(RecordIt);
    }
  }
  return bytes;
}

void LockTable::Index(RecordIt it) {
  TaskIndex& index = projects_[it->second.projectId];
  for (uint64_t hash : TaskHashes(TasksOf(it->first, it->second.tasksOffset))) {
    Postings& postings = index[hash];
    postings.insert(std::lower_bound(postings.begin(), postings.end(), it, KeyOrder()), it);
  }
}

void LockTable::Unindex(RecordIt it) {
  const auto project = projects_.find(it->second.projectId);
  if (project == projects_.end()) return;
  TaskIndex& index = project->second;
  for (uint64_t hash : TaskHashes(TasksOf(it->first, it->second.tasksOffset))) {
    const auto postings = index.find(hash);
    if (postings == index.end()) continue;
    Postings& list = postings->second;
    const auto at = std::lower_bound(list.begin(), list.end(), it, KeyOrder());
    if (at != list.end() && *at == it) list.erase(at);
    if (list.empty()) index.erase(postings);
  }
  if (index.empty()) projects_.erase(project);
}

void LockTable::Erase(RecordIt it) {
  Unindex(it);
  records_.erase(it);
}

std::optional<LockTable::RecordIt> LockTable::FindBlocking(const std::string& account,
                                                           int32_t projectId,
                                                           const std::string& tasks) const {
  const auto project = projects_.find(projectId);
  if (project == projects_.end()) return std::nullopt;
  const std::string slotAccount = SlotText(account, kAccountSlot);
  std::optional<RecordIt> best;
  std::unordered_set<std::string_view> asked;
  for (std::string_view piece : SplitCommaListViews(tasks)) {
    if (!asked.insert(piece).second) continue;
    const auto postings = project->second.find(HashTask(piece));
    if (postings == project->second.end()) continue;
    // Postings are in key order: the first one not held by the asker is this
    // piece's candidate, and nothing past the best so far can win.
    for (RecordIt it : postings->second) {
      if (best && !(it->first < (*best)->first)) break;
      if (IsHeldBy(it, slotAccount) || !ListsTask(it, piece)) continue;
      best = it;
      break;
    }
  }
  return best;
}

bool LockTable::IsHeldBy(RecordIt it, const std::string& slotAccount) {
  const std::string holder = it->first.substr(0, it->second.accountLength);
  return SlotText(holder, kAccountSlot) == slotAccount;
}

bool LockTable::ListsTask(RecordIt it, std::string_view task) {
  for (std::string_view piece : SplitCommaListViews(TasksOf(it->first, it->second.tasksOffset))) {
    if (piece == task) return true;
  }
  return false;
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
