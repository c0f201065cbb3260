// The migration walk on a fake file system, and the centring arithmetic.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "common/Centring.h"
#include "workdir/MigrationPlan.h"

namespace velmora {
namespace {

// Paths as given; a trailing backslash marks a directory, "@" a link to a
// directory, "*" a link to a file and "!" a directory that cannot be listed. Entries are listed in the order
// they were given.
class FakeFileSystem : public MigrationFileSystem {
 public:
  explicit FakeFileSystem(const std::vector<std::wstring>& paths) {
    for (std::wstring path : paths) {
      const wchar_t mark = path.back();
      const bool link = mark == L'@' || mark == L'*';
      if (link || mark == L'\\' || mark == L'!') path.pop_back();
      const size_t cut = path.rfind(L'\\');
      const bool directory = mark == L'@' || mark == L'\\' || mark == L'!';
      children_[path.substr(0, cut)].push_back(DirEntry{path.substr(cut + 1), directory, link});
      if (mark == L'\\') dirs_.insert(path);
      if (mark == L'!') unreadable_.insert(path);
    }
  }
  std::optional<std::vector<DirEntry>> List(const std::wstring& d) override {
    if (unreadable_.count(d)) return std::nullopt;
    return children_[d];
  }
  bool IsDirectory(const std::wstring& p) override { return dirs_.count(p) > 0; }

 private:
  std::map<std::wstring, std::vector<DirEntry>> children_;
  std::set<std::wstring> dirs_, unreadable_;
};

std::vector<std::wstring> Describe(const std::vector<MigrationStep>& plan) {
  std::vector<std::wstring> out;
  for (const MigrationStep& s : plan) {
    switch (s.kind) {
      case MigrationStep::kCreateDirectory:
        out.push_back(L"mkdir " + s.destination);
        break;
      case MigrationStep::kCopyFile:
        out.push_back(L"copy " + s.source + L" > " + s.destination);
        break;
      case MigrationStep::kLeaveBehind:
        out.push_back(L"leave " + s.relative);
        break;
    }
  }
  return out;
}

TEST(MigrationPlanTest, CopiesTopLevelFilesAndTheCheckOutSubtreeOnly) {
  const struct {
    const char* name;
    std::vector<std::wstring> tree;
    int depth;
    std::vector<std::wstring> steps;
  } cases[] = {
      {"own files and CheckOut, in listing order, directories first",
       {L"S\\a.txt", L"S\\CheckOut\\", L"S\\CheckOut\\p\\", L"S\\CheckOut\\p\\q.dwg", L"S\\Other\\",
        L"S\\Other\\r.txt", L"S\\z.txt"},
       1,
       {L"copy S\\a.txt > D\\a.txt", L"mkdir D\\CheckOut", L"mkdir D\\CheckOut\\p",
        L"copy S\\CheckOut\\p\\q.dwg > D\\CheckOut\\p\\q.dwg", L"copy S\\z.txt > D\\z.txt"}},
      {"the name's case matters; dot entries are skipped",
       {L"S\\.\\", L"S\\..\\", L"S\\checkout\\", L"S\\checkout\\x.txt", L"S\\CHECKOUT\\", L"S\\b.txt"},
       1,
       {L"copy S\\b.txt > D\\b.txt"}},
      {"an existing destination directory is reused; files are copied whether or not they exist there",
       {L"S\\a.txt", L"S\\CheckOut\\", L"S\\CheckOut\\n.txt", L"D\\", L"D\\a.txt", L"D\\CheckOut\\"},
       1,
       {L"copy S\\a.txt > D\\a.txt", L"copy S\\CheckOut\\n.txt > D\\CheckOut\\n.txt"}},
      {"a neighbour that shares the prefix does not stand in for the directory",
       {L"S\\CheckOut\\", L"S\\CheckOut\\q.dwg", L"D\\", L"D\\CheckOut.bak"},
       1,
       {L"mkdir D\\CheckOut", L"copy S\\CheckOut\\q.dwg > D\\CheckOut\\q.dwg"}},
      {"below the top every directory is descended",
       {L"S\\x\\", L"S\\x\\y.txt"},
       2,
       {L"mkdir D\\x", L"copy S\\x\\y.txt > D\\x\\y.txt"}},
      {"links are left behind where they would have been copied, never followed",
       {L"S\\f.lnk*", L"S\\Other@", L"S\\CheckOut\\", L"S\\CheckOut\\loop@", L"S\\CheckOut\\k.txt"},
       1,
       {L"leave f.lnk", L"mkdir D\\CheckOut", L"leave CheckOut\\loop", L"copy S\\CheckOut\\k.txt > D\\CheckOut\\k.txt"}},
      {"a linked CheckOut is left behind whole",
       {L"S\\CheckOut@"},
       1,
       {L"leave CheckOut"}},
      {"a directory that cannot be read is left behind and not created",
       {L"S\\CheckOut\\", L"S\\CheckOut\\closed!", L"S\\CheckOut\\open\\", L"S\\CheckOut\\open\\o.txt"},
       1,
       {L"mkdir D\\CheckOut", L"leave CheckOut\\closed", L"mkdir D\\CheckOut\\open",
        L"copy S\\CheckOut\\open\\o.txt > D\\CheckOut\\open\\o.txt"}},
      {"names outside any ANSI code page pass through whole",
       {L"S\\CheckOut\\", L"S\\CheckOut\\한글\\", L"S\\CheckOut\\한글\\图纸😀.dwg"},
       1,
       {L"mkdir D\\CheckOut", L"mkdir D\\CheckOut\\한글", L"copy S\\CheckOut\\한글\\图纸😀.dwg > D\\CheckOut\\한글\\图纸😀.dwg"}},
      {"missing or empty source", {L"E\\"}, 1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFileSystem fs(c.tree);
    EXPECT_EQ(Describe(PlanMigration(L"S", L"D", fs, c.depth)), c.steps);
    EXPECT_TRUE(PlanMigration(L"E", L"D", fs, c.depth).empty());
  }
  FakeFileSystem unreadable({L"S!"});
  EXPECT_TRUE(PlanMigration(L"S", L"D", unreadable).empty()) << "a source that cannot be read gives no steps";
}

TEST(MigrationPlanTest, StepsKnowTheirPathBelowTheSourceAndTheirName) {
  FakeFileSystem fs({L"S\\CheckOut\\", L"S\\CheckOut\\p\\", L"S\\CheckOut\\p\\q.dwg"});
  const std::vector<MigrationStep> plan = PlanMigration(L"S", L"D", fs);
  ASSERT_EQ(plan.size(), 3u);
  EXPECT_EQ(plan[2].relative, L"CheckOut\\p\\q.dwg");
  EXPECT_EQ(plan[2].name, L"q.dwg");
}

TEST(MigrationIdentityTest, OnlyAKnownNonZeroIdentityProvesTheSameEntry) {
  const FileIdentity a{7, 42}, sameAsA{7, 42}, otherVolume{8, 42}, otherIndex{7, 43}, zero{7, 0};
  const struct {
    std::optional<FileIdentity> left, right;
    bool same;
  } cases[] = {
      {a, sameAsA, true},    {a, otherVolume, false},   {a, otherIndex, false},
      {zero, zero, false},   {a, std::nullopt, false},  {std::nullopt, std::nullopt, false},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(SameEntry(c.left, c.right), c.same);
    EXPECT_EQ(SameEntry(c.right, c.left), c.same);
  }
}

TEST(MigrationReportTest, MessageCountsTheFilesListsTheFirstFiveAndSaysWhereTheyAre) {
  const std::wstring head = L" 个文件未能迁移到新的工作目录，仍保留在原目录\nC:\\old\\temp 中：";
  const struct {
    std::vector<std::wstring> left;
    std::wstring text;
  } cases[] = {
      {{L"a.txt"}, L"1" + head + L"\na.txt"},
      {{L"1", L"2", L"3", L"4", L"CheckOut\\한글😀.dwg"}, L"5" + head + L"\n1\n2\n3\n4\nCheckOut\\한글😀.dwg"},
      {{L"1", L"2", L"3", L"4", L"5", L"6", L"7"}, L"7" + head + L"\n1\n2\n3\n4\n5\n……"},
  };
  for (const auto& c : cases) EXPECT_EQ(NotMigratedMessage(L"C:\\old\\temp", c.left), c.text);
}

// A chain of directories "d" below CheckOut, with one file at the bottom.
class DeepFileSystem : public MigrationFileSystem {
 public:
  explicit DeepFileSystem(size_t levels) : levels_(levels) {}
  std::optional<std::vector<DirEntry>> List(const std::wstring& d) override {
    if (d.compare(0, 1, L"S") != 0) return std::vector<DirEntry>{};
    const size_t depth = static_cast<size_t>(std::count(d.begin(), d.end(), L'\\'));
    if (depth == 0) return std::vector<DirEntry>{{L"CheckOut", true}};
    if (depth < levels_) return std::vector<DirEntry>{{L"d", true}};
    return std::vector<DirEntry>{{L"leaf.txt", false}};
  }
  bool IsDirectory(const std::wstring&) override { return false; }

 private:
  size_t levels_;
};

// Far deeper than a 256 KiB stack allows one frame per level.
TEST(MigrationPlanTest, DeepTreeIsWalkedOnASmallStack) {
  struct Run {
    size_t steps = 0;
    std::wstring last;
  } run;
  constexpr size_t kLevels = 3000;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, [](void* arg) -> void* {
              auto* r = static_cast<Run*>(arg);
              DeepFileSystem fs(kLevels);
              std::vector<MigrationStep> plan = PlanMigration(L"S", L"D", fs);
              r->steps = plan.size();
              r->last = plan.back().destination;
              return nullptr;
            }, &run), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(run.steps, kLevels + 1);
  EXPECT_EQ(run.last.size(),
            std::wstring(L"D\\CheckOut").size() + 2 * (kLevels - 1) + std::wstring(L"\\leaf.txt").size());
}

TEST(CentringTest, CentresOnTheOwnerThenKeepsInsideTheWorkArea) {
  const Box work{0, 0, 1000, 800};
  const struct {
    const char* name;
    Box owner;
    bool hasOwner;
    Box expected;  // for a 200 x 100 dialog
  } cases[] = {
      {"on the owner", {100, 100, 500, 400}, true, {200, 200, 400, 300}},
      {"no owner: on the work area", {}, false, {400, 350, 600, 450}},
      {"past the left and top edges", {-300, -200, -100, -100}, true, {0, 0, 200, 100}},
      {"past the right and bottom edges", {900, 750, 1100, 850}, true, {800, 700, 1000, 800}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    Box got = CentreDialog(Box{50, 50, 250, 150}, c.hasOwner ? &c.owner : nullptr, work);
    EXPECT_EQ(got.left, c.expected.left);
    EXPECT_EQ(got.top, c.expected.top);
    EXPECT_EQ(got.right, c.expected.right);
    EXPECT_EQ(got.bottom, c.expected.bottom);
  }
  // Larger than the work area: its left and top edges win.
  Box big = CentreDialog(Box{0, 0, 1200, 900}, nullptr, work);
  EXPECT_EQ(big.left, 0);
  EXPECT_EQ(big.top, 0);
}

}  // namespace
}  // namespace velmora
