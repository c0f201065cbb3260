// Lock question cost and table footprint with 10,000 locks of 10 tasks each,
// in the worst layout (all in one project) and a spread one. Prints figures;
// the checks are on answers only.
#include <chrono>
#include <cstdio>
#include <string>
#include <utility>
#include <vector>

#include "messaging/LockTable.h"

namespace {

using velmora::msg::LockTable;
using velmora::msg::TaskLockRecord;

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

}  // namespace

int main() {
  const bool ok = Run("one project", 1) && Run("25 projects", 25);
  return ok ? 0 : 1;
}
