// How long moving the working directory takes: thousands of small checked-out
// files (spread over folders, and all in one folder), the same files again
// into a destination that holds them all (every replacement answered Yes),
// and 1 GiB in 100 files. Prints figures; the checks are on what arrived,
// never on times. Everything it writes is removed again.
//   velmora_migration_bench [--small]
#include <windows.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bench/BenchSupport.h"
#include "common/Raii.h"
#include "workdir/FileMigration.h"

namespace {

using velmora::CopyCheckedOutFiles;
using velmora::MigrationReport;

struct Totals {
  size_t files = 0;
  unsigned long long bytes = 0;
};

// Counts and removes, or only counts, everything below `root`.
Totals Walk(const std::wstring& root, bool remove) {
  Totals totals;
  std::vector<std::wstring> pending{root}, directories;
  while (!pending.empty()) {
    const std::wstring folder = pending.back();
    pending.pop_back();
    directories.push_back(folder);
    WIN32_FIND_DATAW found{};
    velmora::UniqueFindHandle search(FindFirstFileW((folder + L"\\*").c_str(), &found));
    if (!search) continue;
    do {
      const std::wstring name = found.cFileName;
      if (name == L"." || name == L"..") continue;
      if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
        pending.push_back(folder + L"\\" + name);
        continue;
      }
      ++totals.files;
      totals.bytes += (static_cast<unsigned long long>(found.nFileSizeHigh) << 32) | found.nFileSizeLow;
      if (remove) DeleteFileW((folder + L"\\" + name).c_str());
    } while (FindNextFileW(search.get(), &found));
  }
  if (remove) {
    for (auto it = directories.rbegin(); it != directories.rend(); ++it) RemoveDirectoryW(it->c_str());
  }
  return totals;
}

bool WriteFileOfSize(const std::wstring& path, unsigned long long size) {
  velmora::UniqueFile file(CreateFileW(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
  if (!file) return false;
  static std::vector<char> block(1 << 20, 'v');
  while (size > 0) {
    const DWORD chunk = static_cast<DWORD>(size < block.size() ? size : block.size());
    DWORD written = 0;
    if (!WriteFile(file.get(), block.data(), chunk, &written, nullptr) || written != chunk) return false;
    size -= chunk;
  }
  return true;
}

// `count` files in CheckOut, `perFolder` to a folder, together `bytes` long.
Totals MakeSource(const std::wstring& source, size_t count, size_t perFolder, unsigned long long bytes) {
  CreateDirectoryW(source.c_str(), nullptr);
  CreateDirectoryW((source + L"\\CheckOut").c_str(), nullptr);
  for (size_t i = 0; i < count; ++i) {
    const std::wstring folder = source + L"\\CheckOut\\d" + std::to_wstring(i / perFolder);
    if (i % perFolder == 0) CreateDirectoryW(folder.c_str(), nullptr);
    const unsigned long long size = bytes / count + (i < bytes % count ? 1 : 0);
    if (!WriteFileOfSize(folder + L"\\f" + std::to_wstring(i) + L".dwg", size)) return {};
  }
  return Walk(source, false);
}

double Seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

// The limit a migration is measured against: the same tree copied by the
// system's own copy, one call a file, with the walk and the folders and
// nothing else. False when a file did not arrive.
bool BareCopy(const std::wstring& from, const std::wstring& to) {
  if (!CreateDirectoryW(to.c_str(), nullptr)) return false;
  WIN32_FIND_DATAW found{};
  velmora::UniqueFindHandle search(FindFirstFileW((from + L"\\*").c_str(), &found));
  if (!search) return false;
  bool ok = true;
  do {
    const std::wstring name = found.cFileName;
    if (name == L"." || name == L"..") continue;
    if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) {
      ok = BareCopy(from + L"\\" + name, to + L"\\" + name) && ok;
    } else {
      ok = CopyFileW((from + L"\\" + name).c_str(), (to + L"\\" + name).c_str(), TRUE) && ok;
    }
  } while (FindNextFileW(search.get(), &found));
  return ok;
}

struct Shape {
  const char* label;
  size_t files;
  size_t perFolder;
  unsigned long long bytes;
};

// One migration into a new destination beside a bare copy of the same
// tree, then the migration again over it with
// every replacement answered Yes. True when both brought every file.
bool Run(const std::wstring& root, const Shape& shape, bool replaceToo) {
  const std::wstring source = root + L"\\old", destination = root + L"\\new";
  Walk(root, true);
  CreateDirectoryW(root.c_str(), nullptr);
  const Totals made = MakeSource(source, shape.files, shape.perFolder, shape.bytes);
  CreateDirectoryW(destination.c_str(), nullptr);
  size_t questions = 0;
  auto yes = [&](const std::wstring&) {
    ++questions;
    return true;
  };

  // Each twice, in turn, the better time kept: the one that goes second
  // meets the first one's writes still on their way to the disk.
  const std::wstring bare = root + L"\\bare";
  double limit = 0, first = 0;
  bool ok = made.files == shape.files;
  MigrationReport report;
  Totals arrived;
  for (int round = 0; round < 2; ++round) {
    auto start = std::chrono::steady_clock::now();
    ok = BareCopy(source, bare) && ok;
    const double bareTook = Seconds(std::chrono::steady_clock::now() - start);
    limit = round == 0 ? bareTook : std::min(limit, bareTook);
    Walk(bare, true);
    Walk(destination, true);
    CreateDirectoryW(destination.c_str(), nullptr);
    start = std::chrono::steady_clock::now();
    report = CopyCheckedOutFiles(source, destination, yes);
    const double took = Seconds(std::chrono::steady_clock::now() - start);
    first = round == 0 ? took : std::min(first, took);
    arrived = Walk(destination, false);
    ok = ok && report.notMigrated.empty() && questions == 0 && arrived.files == made.files &&
         arrived.bytes == made.bytes;
  }
  std::printf("%-44s %8.2f s  %8.0f files/s  %8.1f MiB/s\n", shape.label, first, made.files / first,
              made.bytes / (1024.0 * 1024.0) / first);
  std::printf("%-44s %8.2f s  (the migration takes %.2f times as long)\n", "  the same by a bare CopyFileW loop", limit,
              first / limit);
  velmora::bench::Summary(std::string("Migration, ") + shape.label + ", new destination / bare CopyFileW loop (goal 1.3)",
                          velmora::bench::Format("%.2f s / %.2f s = %.2f", first, limit, first / limit));

  if (replaceToo) {
    const auto start = std::chrono::steady_clock::now();
    report = CopyCheckedOutFiles(source, destination, yes);
    const double again = Seconds(std::chrono::steady_clock::now() - start);
    arrived = Walk(destination, false);
    ok = ok && report.notMigrated.empty() && questions == made.files && arrived.files == made.files &&
         arrived.bytes == made.bytes;
    std::printf("%-44s %8.2f s  %8.0f files/s\n", "  the same again, every replacement answered Yes", again,
                made.files / again);
  }
  ok = ok && Walk(source, false).files == made.files;
  Walk(root, true);
  if (!ok) std::printf("  FAILED: not every file arrived, or the source changed\n");
  return ok;
}

}  // namespace

int main(int argc, char** argv) {
  const bool small = argc > 1 && std::strcmp(argv[1], "--small") == 0;
  wchar_t temp[MAX_PATH] = {};
  GetTempPathW(MAX_PATH, temp);
  const std::wstring root = std::wstring(temp) + L"velmora-migration-bench";
  constexpr unsigned long long kGiB = 1ull << 30;
  const Shape shapes[] = {
      {small ? "200 small files, 100 to a folder" : "5,000 small files, 100 to a folder", small ? 200u : 5000u,
       100, small ? 200u * 1024 : 5000ull * 1024},
      {small ? "200 small files in one folder" : "5,000 small files in one folder", small ? 200u : 5000u,
       small ? 200u : 5000u, small ? 200u * 1024 : 5000ull * 1024},
      {small ? "8 MiB in 4 files" : "1 GiB in 100 files", small ? 4u : 100u, 100, small ? 8ull << 20 : kGiB},
  };
  std::printf("Working-directory migration (CheckOut files of 1 KiB unless stated), new destination:\n");
  bool ok = true;
  ok = Run(root, shapes[0], true) && ok;
  ok = Run(root, shapes[1], false) && ok;
  ok = Run(root, shapes[2], false) && ok;
  return ok ? 0 : 1;
}
