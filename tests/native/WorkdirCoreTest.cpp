// The migration walk on a fake file system, and the centring arithmetic.
#include <gtest/gtest.h>
#include <pthread.h>

#include <algorithm>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "common/Centring.h"
#include "workdir/MigrationPlan.h"

namespace velmora {
namespace {

// Paths as given; a trailing backslash marks a directory. Entries are
// listed in the order they were given.
class FakeFileSystem : public MigrationFileSystem {
 public:
  explicit FakeFileSystem(const std::vector<std::string>& paths) {
    for (std::string path : paths) {
      const bool dir = path.back() == '\\';
      if (dir) path.pop_back();
      const size_t cut = path.rfind('\\');
      children_[path.substr(0, cut)].push_back(DirEntry{path.substr(cut + 1), dir});
      (dir ? dirs_ : files_).insert(path);
    }
  }
  std::vector<DirEntry> List(const std::string& d) override { return children_[d]; }
  bool IsDirectory(const std::string& p) override { return dirs_.count(p) > 0; }
  bool Exists(const std::string& p) override { return dirs_.count(p) || files_.count(p); }

 private:
  std::map<std::string, std::vector<DirEntry>> children_;
  std::set<std::string> dirs_, files_;
};

std::vector<std::string> Describe(const std::vector<MigrationStep>& plan) {
  std::vector<std::string> out;
  for (const MigrationStep& s : plan) {
    if (s.kind == MigrationStep::kCreateDirectory) {
      out.push_back("mkdir " + s.destination);
    } else {
      out.push_back((s.kind == MigrationStep::kAskThenCopy ? "ask " : "copy ") + s.source + " > " + s.destination);
    }
  }
  return out;
}

TEST(MigrationPlanTest, CopiesTopLevelFilesAndTheCheckOutSubtreeOnly) {
  const struct {
    const char* name;
    std::vector<std::string> tree;
    int depth;
    std::vector<std::string> steps;
  } cases[] = {
      {"own files and CheckOut, in listing order, directories first",
       {"S\\a.txt", "S\\CheckOut\\", "S\\CheckOut\\p\\", "S\\CheckOut\\p\\q.dwg", "S\\Other\\", "S\\Other\\r.txt",
        "S\\z.txt"},
       1,
       {"copy S\\a.txt > D\\a.txt", "mkdir D\\CheckOut", "mkdir D\\CheckOut\\p",
        "copy S\\CheckOut\\p\\q.dwg > D\\CheckOut\\p\\q.dwg", "copy S\\z.txt > D\\z.txt"}},
      {"the name's case matters; dot entries are skipped",
       {"S\\.\\", "S\\..\\", "S\\checkout\\", "S\\checkout\\x.txt", "S\\CHECKOUT\\", "S\\b.txt"},
       1,
       {"copy S\\b.txt > D\\b.txt"}},
      {"an existing file is asked about, an existing directory reused",
       {"S\\a.txt", "S\\CheckOut\\", "S\\CheckOut\\n.txt", "D\\", "D\\a.txt", "D\\CheckOut\\"},
       1,
       {"ask S\\a.txt > D\\a.txt", "copy S\\CheckOut\\n.txt > D\\CheckOut\\n.txt"}},
      {"a neighbour that shares the prefix does not stand in for the directory",
       {"S\\CheckOut\\", "S\\CheckOut\\q.dwg", "D\\", "D\\CheckOut.bak"},
       1,
       {"mkdir D\\CheckOut", "copy S\\CheckOut\\q.dwg > D\\CheckOut\\q.dwg"}},
      {"below the top every directory is descended",
       {"S\\x\\", "S\\x\\y.txt"},
       2,
       {"mkdir D\\x", "copy S\\x\\y.txt > D\\x\\y.txt"}},
      {"missing or empty source", {"E\\"}, 1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFileSystem fs(c.tree);
    EXPECT_EQ(Describe(PlanMigration("S", "D", fs, c.depth)), c.steps);
    EXPECT_TRUE(PlanMigration("E", "D", fs, c.depth).empty());
  }
}

// A chain of directories "d" below CheckOut, with one file at the bottom.
class DeepFileSystem : public MigrationFileSystem {
 public:
  explicit DeepFileSystem(size_t levels) : levels_(levels) {}
  std::vector<DirEntry> List(const std::string& d) override {
    if (d.compare(0, 1, "S") != 0) return {};
    const size_t depth = static_cast<size_t>(std::count(d.begin(), d.end(), '\\'));
    if (depth == 0) return {{"CheckOut", true}};
    if (depth < levels_) return {{"d", true}};
    return {{"leaf.txt", false}};
  }
  bool IsDirectory(const std::string&) override { return false; }
  bool Exists(const std::string&) override { return false; }

 private:
  size_t levels_;
};

// Far deeper than a 256 KiB stack allows one frame per level.
TEST(MigrationPlanTest, DeepTreeIsWalkedOnASmallStack) {
  struct Run {
    size_t steps = 0;
    std::string last;
  } run;
  constexpr size_t kLevels = 3000;
  pthread_attr_t attributes;
  pthread_attr_init(&attributes);
  pthread_attr_setstacksize(&attributes, 256 * 1024);
  pthread_t thread;
  ASSERT_EQ(pthread_create(&thread, &attributes, [](void* arg) -> void* {
              auto* r = static_cast<Run*>(arg);
              DeepFileSystem fs(kLevels);
              std::vector<MigrationStep> plan = PlanMigration("S", "D", fs);
              r->steps = plan.size();
              r->last = plan.back().destination;
              return nullptr;
            }, &run), 0);
  pthread_join(thread, nullptr);
  pthread_attr_destroy(&attributes);
  EXPECT_EQ(run.steps, kLevels + 1);
  EXPECT_EQ(run.last.size(), std::string("D\\CheckOut").size() + 2 * (kLevels - 1) + std::string("\\leaf.txt").size());
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
