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
// directory, "*" a link to a file, "!" a directory that cannot be listed,
// "?" one that is gone by the time it is listed, and "%" one whose listing
// breaks off after the entries given for it. Entries are listed in the
// order they were given.
class FakeFileSystem : public MigrationFileSystem {
 public:
  explicit FakeFileSystem(const std::vector<std::wstring>& paths) {
    for (std::wstring path : paths) {
      const wchar_t mark = path.back();
      const bool link = mark == L'@' || mark == L'*';
      const bool directory = mark == L'@' || mark == L'\\' || mark == L'!' || mark == L'?' || mark == L'%';
      if (link || directory) path.pop_back();
      const size_t cut = path.rfind(L'\\');
      children_[path.substr(0, cut)].push_back(DirEntry{path.substr(cut + 1), directory, link, path.size()});
      if (mark == L'\\' || mark == L'%') dirs_.insert(path);
      if (mark == L'!') status_[path] = Listing::kUnreadable;
      if (mark == L'?') status_[path] = Listing::kMissing;
      if (mark == L'%') status_[path] = Listing::kCutShort;
    }
  }
  Listing List(const std::wstring& d) override {
    auto status = status_.find(d);
    Listing listing;
    if (status != status_.end()) listing.status = status->second;
    if (listing.status == Listing::kComplete || listing.status == Listing::kCutShort) listing.entries = children_[d];
    return listing;
  }
  bool IsDirectory(const std::wstring& p) override { return dirs_.count(p) > 0; }

 private:
  std::map<std::wstring, std::vector<DirEntry>> children_;
  std::map<std::wstring, Listing::Status> status_;
  std::set<std::wstring> dirs_;
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
        out.push_back(L"leave " + s.relative + L" (" + StayReasonText(s.reason) + L")");
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
       {L"leave f.lnk (链接未跟随)", L"mkdir D\\CheckOut", L"leave CheckOut\\loop (链接未跟随)",
        L"copy S\\CheckOut\\k.txt > D\\CheckOut\\k.txt"}},
      {"a linked CheckOut is left behind whole",
       {L"S\\CheckOut@"},
       1,
       {L"leave CheckOut (链接未跟随)"}},
      {"a directory that cannot be read is left behind and not created",
       {L"S\\CheckOut\\", L"S\\CheckOut\\closed!", L"S\\CheckOut\\open\\", L"S\\CheckOut\\open\\o.txt"},
       1,
       {L"mkdir D\\CheckOut", L"leave CheckOut\\closed (无法读取)", L"mkdir D\\CheckOut\\open",
        L"copy S\\CheckOut\\open\\o.txt > D\\CheckOut\\open\\o.txt"}},
      {"names outside any ANSI code page pass through whole",
       {L"S\\CheckOut\\", L"S\\CheckOut\\한글\\", L"S\\CheckOut\\한글\\图纸😀.dwg"},
       1,
       {L"mkdir D\\CheckOut", L"mkdir D\\CheckOut\\한글", L"copy S\\CheckOut\\한글\\图纸😀.dwg > D\\CheckOut\\한글\\图纸😀.dwg"}},
      {"a directory gone since its parent was listed is not taken as empty",
       {L"S\\CheckOut\\", L"S\\CheckOut\\d.?"},
       1,
       {L"mkdir D\\CheckOut", L"leave CheckOut\\d. (无法读取)"}},
      {"a listing that broke off keeps what it read and says the rest stayed",
       {L"S\\CheckOut\\", L"S\\CheckOut\\p%", L"S\\CheckOut\\p\\1.dwg"},
       1,
       {L"mkdir D\\CheckOut", L"mkdir D\\CheckOut\\p", L"leave CheckOut\\p (目录未能读完)",
        L"copy S\\CheckOut\\p\\1.dwg > D\\CheckOut\\p\\1.dwg"}},
      {"staged copies, live or left by a killed migration, are never the user's files",
       {L"S\\~velmora-1a4-0.tmp", L"S\\CheckOut\\", L"S\\CheckOut\\~VELMORA-x.TMP", L"S\\CheckOut\\~velmora.tmp"},
       1,
       {L"mkdir D\\CheckOut", L"copy S\\CheckOut\\~velmora.tmp > D\\CheckOut\\~velmora.tmp"}},
      {"names ending in a dot or a space pass through as they are",
       {L"S\\a", L"S\\a.", L"S\\CheckOut\\", L"S\\CheckOut\\d. \\", L"S\\CheckOut\\d. \\f "},
       1,
       {L"copy S\\a > D\\a", L"copy S\\a. > D\\a.", L"mkdir D\\CheckOut", L"mkdir D\\CheckOut\\d. ",
        L"copy S\\CheckOut\\d. \\f  > D\\CheckOut\\d. \\f "}},
      {"missing or empty source", {L"E\\"}, 1, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    FakeFileSystem fs(c.tree);
    EXPECT_EQ(Describe(PlanMigration(L"S", L"D", fs, c.depth)), c.steps);
    EXPECT_TRUE(PlanMigration(L"E", L"D", fs, c.depth).empty());
  }
  // A previous directory that is there but cannot be read, or only in
  // part, keeps its files and says so; one that is not there has none.
  FakeFileSystem unreadable({L"S!"}), cut({L"S%", L"S\\a.txt"}), missing({L"S?"});
  EXPECT_EQ(Describe(PlanMigration(L"S", L"D", unreadable)), std::vector<std::wstring>{L"leave  (无法读取)"});
  EXPECT_EQ(Describe(PlanMigration(L"S", L"D", cut)),
            (std::vector<std::wstring>{L"leave  (目录未能读完)", L"copy S\\a.txt > D\\a.txt"}));
  EXPECT_TRUE(PlanMigration(L"S", L"D", missing).empty());
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

TEST(MigrationReportTest, MessageCountsTheFilesListsTheFirstFiveWithTheirReasonAndSaysWhereTheyAre) {
  const std::wstring head = L" 个文件未能迁移到新的工作目录，仍保留在原目录\nC:\\old\\temp 中：";
  const LeftBehind held{L"CheckOut\\한글😀.dwg", StayReason::kInUse};
  const struct {
    std::vector<LeftBehind> left;
    std::wstring text;
  } cases[] = {
      {{{L"a.txt", StayReason::kReadOnly}}, L"1" + head + L"\na.txt（只读）"},
      {{{L"", StayReason::kUnreadable}}, L"1" + head + L"\nC:\\old\\temp（无法读取）"},
      {{{L"1", StayReason::kDiskFull}, {L"2", StayReason::kLink}, {L"3", StayReason::kCutShort},
        {L"4", StayReason::kCancelled}, held},
       L"5" + head + L"\n1（磁盘空间不足）\n2（链接未跟随）\n3（目录未能读完）\n4（已取消）\nCheckOut\\한글😀.dwg（被其他程序占用）"},
      {std::vector<LeftBehind>(7, {L"x", StayReason::kInUse}),
       L"7" + head + L"\nx（被其他程序占用）\nx（被其他程序占用）\nx（被其他程序占用）\nx（被其他程序占用）\nx（被其他程序占用）\n……"},
  };
  for (const auto& c : cases) EXPECT_EQ(NotMigratedMessage(L"C:\\old\\temp", c.left), c.text);
}

TEST(MigrationReportTest, EachWin32ErrorHasOneReason) {
  const struct {
    uint32_t error;
    bool readOnly;
    StayReason reason;
  } cases[] = {
      {32, false, StayReason::kInUse},       {33, false, StayReason::kInUse},      {5, true, StayReason::kReadOnly},
      {5, false, StayReason::kNoAccess},     {112, false, StayReason::kDiskFull},  {39, false, StayReason::kDiskFull},
      {1920, false, StayReason::kLink},      {30, false, StayReason::kUnreadable}, {64, false, StayReason::kUnreadable},
      {1235, false, StayReason::kCancelled}, {87, false, StayReason::kFailed},     {0, false, StayReason::kFailed},
  };
  for (const auto& c : cases) EXPECT_EQ(ReasonForError(c.error, c.readOnly), c.reason) << c.error;
  EXPECT_STREQ(StayReasonText(StayReason::kFailed), L"无法复制");
}

TEST(StagedFileTest, NamesCarryTheStagingProcessAndAreKnownAgain) {
  EXPECT_EQ(StagedFileName(0x1a4, 0), L"~velmora-1a4-0.tmp");
  EXPECT_EQ(StagedFileOwner(StagedFileName(0xffffffff, 0x2b)), 0xffffffffu);
  const struct {
    std::wstring name;
    bool staging;
    std::optional<uint32_t> owner;
  } cases[] = {
      {L"~velmora-1a4-0.tmp", true, 0x1a4},  {L"~VELMORA-1A4-F.TMP", true, 0x1a4},
      {L"~velmora-x-0.tmp", true, {}},       {L"~velmora-1a4.tmp", true, {}},
      {L"~velmora-123456789-0.tmp", true, {}}, {L"~velmora--0.tmp", true, {}},
      {L"~velmora-1-.tmp", true, {}},        {L"~velmora-1-2.tmp.dwg", false, {}},
      {L"velmora-1-2.tmp", false, {}},       {L"~velmora.tmp", false, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(std::string(c.name.begin(), c.name.end()));
    EXPECT_EQ(IsStagingName(c.name), c.staging);
    EXPECT_EQ(StagedFileOwner(c.name), c.owner);
  }
}

TEST(ExtendedPathTest, FullPathsTakeTheFormThatKeepsEveryNameAsItIs) {
  const struct {
    std::wstring path, extended;
  } cases[] = {
      {L"C:\\old\\temp\\a.", L"\\\\?\\C:\\old\\temp\\a."},
      {L"d:\\x ", L"\\\\?\\d:\\x "},
      {L"C:", L"\\\\?\\C:\\"},
      {L"\\\\srv\\share\\d.", L"\\\\?\\UNC\\srv\\share\\d."},
      {L"\\\\?\\C:\\x", L"\\\\?\\C:\\x"},
      {L"\\\\.\\pipe\\p", L"\\\\.\\pipe\\p"},
      {L"rel\\x", L"rel\\x"},
      {L"C:rel", L"C:rel"},
  };
  for (const auto& c : cases) EXPECT_EQ(ExtendedPath(c.path), c.extended);
}

TEST(MigrationProgressTest, CountsReadAsFilesAndBytesDoneOfTheTotal) {
  FakeFileSystem fs({L"S\\a.txt", L"S\\CheckOut\\", L"S\\CheckOut\\bb.dwg", L"S\\x@"});
  const MigrationCounts totals = TotalsOf(PlanMigration(L"S", L"D", fs));
  EXPECT_EQ(totals.filesTotal, 2u);
  EXPECT_EQ(totals.bytesTotal, std::wstring(L"S\\a.txt").size() + std::wstring(L"S\\CheckOut\\bb.dwg").size());
  const struct {
    MigrationCounts counts;
    std::wstring text;
    int permille;
  } cases[] = {
      {{0, 0, 0, 0}, L"已复制 0 / 0 个文件，0 字节 / 0 字节", 0},
      {{1, 4, 1023, 4096}, L"已复制 1 / 4 个文件，1023 字节 / 4.0 KB", 249},
      {{3, 10, 1536 * 1024, 20ull << 20}, L"已复制 3 / 10 个文件，1.5 MB / 20.0 MB", 75},
      {{2, 2, 1ull << 30, 1ull << 30}, L"已复制 2 / 2 个文件，1.0 GB / 1.0 GB", 1000},
      {{1, 2, 0, 0}, L"已复制 1 / 2 个文件，0 字节 / 0 字节", 500},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(ProgressText(c.counts), c.text);
    EXPECT_EQ(ProgressPermille(c.counts), c.permille);
  }
}

// A chain of directories "d" below CheckOut, with one file at the bottom.
class DeepFileSystem : public MigrationFileSystem {
 public:
  explicit DeepFileSystem(size_t levels) : levels_(levels) {}
  Listing List(const std::wstring& d) override {
    Listing listing;
    if (d.compare(0, 1, L"S") != 0) return listing;
    const size_t depth = static_cast<size_t>(std::count(d.begin(), d.end(), L'\\'));
    if (depth == 0) {
      listing.entries = {{L"CheckOut", true}};
    } else if (depth < levels_) {
      listing.entries = {{L"d", true}};
    } else {
      listing.entries = {{L"leaf.txt", false}};
    }
    return listing;
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
