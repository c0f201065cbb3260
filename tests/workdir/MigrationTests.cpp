// CopyCheckedOutFiles and PathExists on real trees in the Wine prefix.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/Raii.h"
#include "tests/workdir/WorkdirTestSupport.h"
#include "tools/uidriver/UiDriver.h"
#include "resources/resource.h"
#include "workdir/FileMigration.h"
#include "workdir/MigrationProgressWindow.h"

namespace velmora {
void PrintTo(const LeftBehind& left, std::ostream* out) {
  *out << test::Mb(left.relative) << " (" << test::Mb(StayReasonText(left.reason)) << ")";
}
}  // namespace velmora

namespace velmora::test {
namespace {

using Tree = std::map<std::wstring, std::string>;
using Entries = std::vector<std::pair<std::wstring, std::string>>;

class MigrationTest : public ::testing::Test {
 protected:
  void SetUp() override {
    root_ = FreshDirectory(L"migration");
    source_ = root_ + L"\\old";
    destination_ = root_ + L"\\new";
  }
  void TearDown() override { RemoveTree(root_); }
  // Both directories empty again, for the next case of a table.
  void EmptyBoth() {
    RemoveTree(source_);
    RemoveTree(destination_);
    CreateDirectoryW(source_.c_str(), nullptr);
    CreateDirectoryW(destination_.c_str(), nullptr);
  }

  std::wstring root_, source_, destination_;
};

TEST_F(MigrationTest, CopiesOwnFilesAndCheckOutSubtreeAndLeavesTheSource) {
  const struct {
    const char* name;
    Entries source;
    Entries destination;
    Tree expected;
  } cases[] = {
      {"own files and CheckOut; other directories stay behind",
       {{L"a.txt", "a"}, {L"CheckOut\\", ""}, {L"CheckOut\\p\\", ""}, {L"CheckOut\\p\\q.dwg", "q"},
        {L"Other\\", ""}, {L"Other\\r.txt", "r"}},
       {},
       {{L"a.txt", "a"}, {L"CheckOut", "<dir>"}, {L"CheckOut\\p", "<dir>"}, {L"CheckOut\\p\\q.dwg", "q"}}},
      {"checkout in another case is not CheckOut",
       {{L"checkout\\", ""}, {L"checkout\\x.txt", "x"}, {L"b.txt", "b"}},
       {},
       {{L"b.txt", "b"}}},
      {"an existing destination directory is reused",
       {{L"CheckOut\\", ""}, {L"CheckOut\\n.txt", "n"}},
       {{L"CheckOut\\", ""}, {L"CheckOut\\keep.txt", "k"}},
       {{L"CheckOut", "<dir>"}, {L"CheckOut\\keep.txt", "k"}, {L"CheckOut\\n.txt", "n"}}},
      {"CheckOut.bak beside a missing CheckOut does not stop it",
       {{L"CheckOut\\", ""}, {L"CheckOut\\q.dwg", "q"}},
       {{L"CheckOut.bak", "old"}},
       {{L"CheckOut.bak", "old"}, {L"CheckOut", "<dir>"}, {L"CheckOut\\q.dwg", "q"}}},
      {"empty source", {}, {{L"z.txt", "z"}}, {{L"z.txt", "z"}}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EmptyBoth();
    MakeTree(source_, c.source);
    MakeTree(destination_, c.destination);
    const Tree before = ReadTree(source_);
    EXPECT_TRUE(CopyCheckedOutFiles(source_, destination_, nullptr).notMigrated.empty());
    EXPECT_EQ(ReadTree(destination_), c.expected);
    EXPECT_EQ(ReadTree(source_), before);
  }
  // A missing source changes nothing either.
  CopyCheckedOutFiles(root_ + L"\\missing", destination_, nullptr);
  EXPECT_EQ(ReadTree(destination_), (Tree{{L"z.txt", "z"}}));
}

// The real question box, answered No for the first file and Yes for the second.
TEST_F(MigrationTest, AsksBeforeReplacingAndHonoursTheAnswer) {
  MakeTree(root_, {{L"old\\", ""}, {L"old\\a.txt", "new a"}, {L"old\\CheckOut\\", ""},
                   {L"old\\CheckOut\\b.txt", "new b"}, {L"new\\", ""}, {L"new\\a.txt", "old a"},
                   {L"new\\CheckOut\\", ""}, {L"new\\CheckOut\\b.txt", "old b"}});
  ui::UiThread ui([this] {
    return static_cast<INT_PTR>(CopyCheckedOutFiles(source_, destination_, nullptr).notMigrated.size());
  });
  const struct {
    std::wstring file;
    int answer;
  } questions[] = {{L"a.txt", IDNO}, {L"b.txt", IDYES}};
  for (const auto& q : questions) {
    std::optional<ui::MessageBoxInfo> box = ui::WaitForMessageBox(L"系统提示", kWaitMs, ui.ThreadId());
    ASSERT_TRUE(box);
    const std::wstring where = q.file == L"a.txt" ? destination_ + L"\\a.txt" : destination_ + L"\\CheckOut\\b.txt";
    EXPECT_EQ(box->text, where + L"下目录已经有" + q.file + L"文件\n是否替换！");
    EXPECT_EQ(box->buttonIds, (std::vector<int>{IDYES, IDNO}));
    EXPECT_EQ(box->icon, ui::MessageIcon::Information);
    ASSERT_TRUE(ui::AnswerMessageBox(box->hwnd, q.answer));
    ASSERT_TRUE(ui::WaitForWindowGone(box->hwnd, kWaitMs));
  }
  EXPECT_EQ(ui.Wait(kWaitMs), INT_PTR{0}) << "No is the user's choice, not a failure";
  EXPECT_EQ(ReadTree(destination_),
            (Tree{{L"a.txt", "old a"}, {L"CheckOut", "<dir>"}, {L"CheckOut\\b.txt", "new b"}}));
  EXPECT_EQ(ReadTree(source_),
            (Tree{{L"a.txt", "new a"}, {L"CheckOut", "<dir>"}, {L"CheckOut\\b.txt", "new b"}}));
}

struct Job {
  std::wstring from, to;
};

DWORD WINAPI CopyJob(void* arg) {
  auto* job = static_cast<Job*>(arg);
  CopyCheckedOutFiles(job->from, job->to, nullptr);
  return 0;
}

// 600 levels on a 128 KiB stack: a walk with a frame per level (a find
// record, two paths and the question text, some 2 KiB) would need more
// than a default 1 MiB stack. Paths pass MAX_PATH too. Deeper trees make
// Wine's path lookups slow; the native walk test goes to 3000 levels.
TEST_F(MigrationTest, DeepCheckOutTreeIsCopiedOnASmallStack) {
  constexpr int kLevels = 600;
  std::wstring deep = source_ + L"\\CheckOut";
  CreateDirectoryW(source_.c_str(), nullptr);
  CreateDirectoryW(deep.c_str(), nullptr);
  for (int i = 0; i < kLevels; ++i) {
    deep += L"\\d";
    ASSERT_TRUE(CreateDirectoryW(LongPath(deep).c_str(), nullptr)) << "level " << i;
  }
  MakeTree(deep, {{L"leaf.txt", "leaf"}});
  CreateDirectoryW(destination_.c_str(), nullptr);

  Job job{source_, destination_};
  HANDLE thread = CreateThread(
      nullptr, 128 * 1024,
      &CopyJob, &job, STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  ASSERT_NE(thread, nullptr);
  ASSERT_EQ(WaitForSingleObject(thread, 120000), WAIT_OBJECT_0);
  DWORD code = 1;
  GetExitCodeThread(thread, &code);
  CloseHandle(thread);
  EXPECT_EQ(code, 0u);

  std::wstring leaf = destination_ + L"\\CheckOut";
  for (int i = 0; i < kLevels; ++i) leaf += L"\\d";
  EXPECT_NE(GetFileAttributesW(LongPath(leaf + L"\\leaf.txt").c_str()), INVALID_FILE_ATTRIBUTES);
}

// The entries with their text, as ReadTree gives them back.
Tree TreeOf(const Entries& entries) {
  Tree tree;
  for (const auto& [path, text] : entries) {
    if (path.back() == L'\\') {
      tree[path.substr(0, path.size() - 1)] = "<dir>";
    } else {
      tree[path] = text;
    }
  }
  return tree;
}

// `count` small files in CheckOut, a hundred to a directory as a checkout
// would spread them (Wine's name lookups grow with the directory's size;
// the benchmark measures one flat directory too).
Entries ManyFiles(int count) {
  Entries entries{{L"CheckOut\\", ""}};
  for (int i = 0; i < count; ++i) {
    const std::wstring folder = L"CheckOut\\d" + std::to_wstring(i / 100) + L"\\";
    if (i % 100 == 0) entries.emplace_back(folder, "");
    entries.emplace_back(folder + L"f" + std::to_wstring(i) + L".txt", std::to_string(i));
  }
  return entries;
}

// A CheckOut file below five directories of 50 characters.
Entries DeepNames() {
  std::wstring path = L"CheckOut\\";
  Entries entries{{path, ""}};
  for (wchar_t letter : std::wstring(L"vwxyz")) {
    path += std::wstring(50, letter) + L"\\";
    entries.emplace_back(path, "");
  }
  entries.emplace_back(path + L"deep.dwg", "deep");
  return entries;
}

enum class Spelling { kOther, kCase, kShortName, kLinkToSource };

// One migration per tree shape, every replace question answered Yes.
// Afterwards every source file is still there with its text, and the
// destination holds the old directory's own files and CheckOut subtree,
// except what the report names.
TEST_F(MigrationTest, EveryTreeShapeKeepsTheSourceAndReportsWhatStayedBehind) {
  ASSERT_EQ(GetACP(), 936u) << "Hangul and emoji names must be ones the code page cannot hold";
  const Entries plain{{L"a.txt", "a"}, {L"CheckOut\\", ""}, {L"CheckOut\\p\\", ""}, {L"CheckOut\\p\\q.dwg", "q"}};
  const Entries wideNames{{L"说明.txt", "zh"}, {L"😀.txt", "emoji"}, {L"CheckOut\\", ""}, {L"CheckOut\\한글\\", ""},
                          {L"CheckOut\\한글\\图纸 1.dwg", "ko zh"}};
  const struct {
    const char* name;
    Entries source;
    Entries destination;  // there before
    Spelling spelling = Spelling::kOther;
    // Below the common root: a link and the directory it points to.
    std::vector<std::pair<std::wstring, std::wstring>> links = {};
    std::wstring locked = {};    // source file held open without sharing
    std::wstring readOnly = {};  // destination file
    int questions = 0;
    Tree expected = {};  // the destination afterwards
    std::vector<LeftBehind> left = {};
  } cases[] = {
      {"the same directory in other letter case", plain, {}, Spelling::kCase, {}, {}, {}, 0, TreeOf(plain)},
      {"the same directory by its short name", plain, {}, Spelling::kShortName, {}, {}, {}, 0, TreeOf(plain)},
      {"the same directory through a link", plain, {}, Spelling::kLinkToSource, {}, {}, {}, 0, TreeOf(plain)},
      {"the destination's CheckOut is a link to the source's",
       plain, {}, Spelling::kOther, {{L"new\\CheckOut", L"previous-directory\\CheckOut"}}, {}, {}, 0,
       {{L"a.txt", "a"}, {L"CheckOut", "<link>"}}},
      {"a link loop inside CheckOut is not followed",
       {{L"CheckOut\\", ""}, {L"CheckOut\\k.txt", "k"}}, {}, Spelling::kOther,
       {{L"previous-directory\\CheckOut\\loop", L"previous-directory\\CheckOut"}}, {}, {}, 0,
       {{L"CheckOut", "<dir>"}, {L"CheckOut\\k.txt", "k"}}, {{L"CheckOut\\loop", StayReason::kLink}}},
      {"a locked source answered Yes keeps the old file; the next one is replaced",
       {{L"a.txt", "new a"}, {L"b.txt", "new b"}}, {{L"a.txt", "old a"}, {L"b.txt", "old b"}}, Spelling::kOther,
       {}, L"a.txt", {}, 2, {{L"a.txt", "old a"}, {L"b.txt", "new b"}}, {{L"a.txt", StayReason::kInUse}}},
      {"a read-only destination answered Yes is kept",
       {{L"a.txt", "new a"}}, {{L"a.txt", "old a"}}, Spelling::kOther, {}, {}, L"a.txt", 1,
       {{L"a.txt", "old a"}}, {{L"a.txt", StayReason::kReadOnly}}},
      {"Chinese, Hangul and emoji names", wideNames, {}, Spelling::kOther, {}, {}, {}, 0, TreeOf(wideNames)},
      {"paths past 300 characters", DeepNames(), {}, Spelling::kOther, {}, {}, {}, 0, TreeOf(DeepNames())},
      {"5,000 small files", ManyFiles(5000), {}, Spelling::kOther, {}, {}, {}, 0, TreeOf(ManyFiles(5000))},
  };
  const std::wstring source = root_ + L"\\previous-directory";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    RemoveTree(root_);
    CreateDirectoryW(root_.c_str(), nullptr);
    CreateDirectoryW(source.c_str(), nullptr);
    MakeTree(source, c.source);
    std::wstring destination = root_ + L"\\new";
    if (c.spelling == Spelling::kOther) {
      CreateDirectoryW(destination.c_str(), nullptr);
      MakeTree(destination, c.destination);
    } else if (c.spelling == Spelling::kCase) {
      destination = source;
      CharUpperBuffW(&destination[0], static_cast<DWORD>(destination.size()));
    } else if (c.spelling == Spelling::kShortName) {
      wchar_t shortName[MAX_PATH] = {};
      ASSERT_NE(GetShortPathNameW(source.c_str(), shortName, MAX_PATH), 0u);
      destination = shortName;
    } else {
      destination = root_ + L"\\alias";
      ASSERT_TRUE(MakeDirectoryLink(destination, source));
    }
    ASSERT_NE(destination, source);
    for (const auto& [link, target] : c.links) {
      ASSERT_TRUE(MakeDirectoryLink(root_ + L"\\" + link, root_ + L"\\" + target));
    }
    if (!c.readOnly.empty()) SetFileAttributesW((destination + L"\\" + c.readOnly).c_str(), FILE_ATTRIBUTE_READONLY);
    const Tree before = ReadTree(source);
    const Tree made = TreeOf(c.source);
    ASSERT_TRUE(std::includes(before.begin(), before.end(), made.begin(), made.end()));

    UniqueFile lock;
    if (!c.locked.empty()) {
      lock.reset(CreateFileW((source + L"\\" + c.locked).c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(lock);
    }
    int questions = 0;
    const MigrationReport report = CopyCheckedOutFiles(source, destination, [&](const std::wstring&) {
      ++questions;
      return true;
    });
    lock.reset();

    EXPECT_EQ(ReadTree(source), before);
    EXPECT_EQ(ReadTree(destination), c.expected);
    EXPECT_EQ(report.notMigrated, c.left);
    EXPECT_EQ(questions, c.questions);
  }
  EXPECT_GT(source.size() + DeepNames().back().first.size(), 300u);
}

// The existence test comes right before each copy, not from a list made
// up front: a file that appears while a question is open is asked about.
TEST_F(MigrationTest, ADestinationFileThatAppearsDuringAQuestionIsAskedAbout) {
  MakeTree(root_, {{L"old\\", ""}, {L"old\\a.txt", "new a"}, {L"old\\b.txt", "new b"}, {L"new\\", ""},
                   {L"new\\a.txt", "old a"}});
  std::vector<std::wstring> asked;
  const MigrationReport report = CopyCheckedOutFiles(source_, destination_, [&](const std::wstring& question) {
    asked.push_back(question);
    if (asked.size() == 1) MakeTree(destination_, {{L"b.txt", "late b"}});
    return false;
  });
  EXPECT_EQ(asked, (std::vector<std::wstring>{ReplaceQuestionText(destination_ + L"\\a.txt", L"a.txt"),
                                              ReplaceQuestionText(destination_ + L"\\b.txt", L"b.txt")}));
  EXPECT_TRUE(report.notMigrated.empty());
  EXPECT_EQ(ReadTree(destination_), (Tree{{L"a.txt", "old a"}, {L"b.txt", "late b"}}));
}

TEST_F(MigrationTest, PathExistsIsAPrefixTest) {
  MakeTree(root_, {{L"temp.txt", "t"}, {L"dir\\", ""}});
  const struct {
    std::wstring path;
    bool exists;
    bool directory;
  } cases[] = {
      {root_ + L"\\temp", true, false},  // temp.txt is enough
      {root_ + L"\\temp.txt", true, false},
      {root_ + L"\\dir", true, true},
      {root_ + L"\\none", false, false},
      {L"", false, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(Mb(c.path));
    EXPECT_EQ(PathExists(Mb(c.path)), c.exists);
    EXPECT_EQ(DirectoryExists(Mb(c.path)), c.directory);
  }
}

// Names Win32 normalisation would change (a trailing dot or space) are
// copied as they are, beside the names they would be taken for.
TEST_F(MigrationTest, NamesEndingInADotOrASpaceAreCopiedAsTheyAre) {
  const Entries source{{L"a", "plain"}, {L"a.", "dot"}, {L"b ", "space"}, {L"CheckOut\\", ""},
                       {L"CheckOut\\d.\\", ""}, {L"CheckOut\\d.\\f.txt", "in d."}, {L"CheckOut\\e \\", ""},
                       {L"CheckOut\\e \\g.", "in e"}};
  CreateDirectoryW(source_.c_str(), nullptr);
  CreateDirectoryW(destination_.c_str(), nullptr);
  MakeTree(source_, source);
  ASSERT_EQ(ReadTree(source_), TreeOf(source));
  const MigrationReport report = CopyCheckedOutFiles(source_, destination_, nullptr);
  EXPECT_EQ(report.notMigrated, std::vector<LeftBehind>{});
  EXPECT_EQ(ReadTree(destination_), TreeOf(source));
  EXPECT_EQ(ReadTree(source_), TreeOf(source));
}

// Directory listings that fail, wholly or half way, stand in for a
// network drive that drops or a folder without rights.
std::wstring g_refusedDirectory, g_goneDirectory, g_cutDirectory;
HANDLE g_cutSearch = INVALID_HANDLE_VALUE;

bool PatternIs(const wchar_t* pattern, const std::wstring& directory) {
  return !directory.empty() && std::wstring(pattern) == LongPath(directory + L"\\*");
}

HANDLE FaultyFirst(const wchar_t* pattern, WIN32_FIND_DATAW* found) {
  if (PatternIs(pattern, g_refusedDirectory)) {
    SetLastError(ERROR_ACCESS_DENIED);
    return INVALID_HANDLE_VALUE;
  }
  if (PatternIs(pattern, g_goneDirectory)) {
    SetLastError(ERROR_PATH_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
  }
  HANDLE search = FindFirstFileW(pattern, found);
  // A handle value comes back for a later search once closed.
  g_cutSearch = PatternIs(pattern, g_cutDirectory) ? search : INVALID_HANDLE_VALUE;
  return search;
}

BOOL FaultyNext(HANDLE search, WIN32_FIND_DATAW* found) {
  if (search == g_cutSearch) {
    SetLastError(ERROR_NETNAME_DELETED);
    return FALSE;
  }
  return FindNextFileW(search, found);
}

TEST_F(MigrationTest, AListingThatFailsIsReportedWithWhatItLeftBehind) {
  const Entries tree{{L"a.txt", "a"}, {L"CheckOut\\", ""}, {L"CheckOut\\p\\", ""}, {L"CheckOut\\p\\1.dwg", "1"},
                     {L"CheckOut\\p\\2.dwg", "2"}, {L"CheckOut\\q\\", ""}, {L"CheckOut\\q\\3.dwg", "3"}};
  const struct {
    const char* name;
    std::wstring refused, gone, cut;  // below the source
    std::vector<LeftBehind> left;
    Tree expected;
  } cases[] = {
      {"a previous directory that cannot be read", L".", L"", L"", {{L"", StayReason::kUnreadable}}, {}},
      {"a subdirectory that is not found once listed", L"", L"CheckOut\\p", L"",
       {{L"CheckOut\\p", StayReason::kUnreadable}},
       {{L"a.txt", "a"}, {L"CheckOut", "<dir>"}, {L"CheckOut\\q", "<dir>"}, {L"CheckOut\\q\\3.dwg", "3"}}},
      {"a listing that breaks off after its first entry", L"", L"", L"CheckOut\\p",
       {{L"CheckOut\\p", StayReason::kCutShort}},
       {{L"a.txt", "a"}, {L"CheckOut", "<dir>"}, {L"CheckOut\\p", "<dir>"}, {L"CheckOut\\q", "<dir>"},
        {L"CheckOut\\q\\3.dwg", "3"}}},
  };
  const DirectorySearch faulty{&FaultyFirst, &FaultyNext};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EmptyBoth();
    MakeTree(source_, tree);
    auto below = [&](const std::wstring& relative) {
      return relative.empty() ? relative : relative == L"." ? source_ : source_ + L"\\" + relative;
    };
    g_refusedDirectory = below(c.refused);
    g_goneDirectory = below(c.gone);
    g_cutDirectory = below(c.cut);
    g_cutSearch = INVALID_HANDLE_VALUE;
    SetDirectorySearchForTests(&faulty);
    const MigrationReport report = CopyCheckedOutFiles(source_, destination_, nullptr);
    SetDirectorySearchForTests(nullptr);
    EXPECT_EQ(report.notMigrated, c.left);
    // A first entry that is a file (not "." or "..") arrives before the cut.
    Tree arrived = ReadTree(destination_);
    arrived.erase(L"CheckOut\\p\\1.dwg");
    arrived.erase(L"CheckOut\\p\\2.dwg");
    EXPECT_EQ(arrived, c.expected);
    EXPECT_EQ(ReadTree(source_), TreeOf(tree));
  }
}

DWORD ExitedProcessId() {
  wchar_t line[] = L"cmd.exe /c exit";
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(nullptr, line, nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr, &startup, &process)) {
    return 0;
  }
  WaitForSingleObject(process.hProcess, kWaitMs);
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return process.dwProcessId;
}

// Staged files are never user files; those of a migration whose process is
// gone are cleared from the folders copied into; a failed copy deletes only
// the staged file it made itself.
TEST_F(MigrationTest, StagedFilesAreOursOnlyAndTheAbandonedOnesAreCleared) {
  const DWORD exited = ExitedProcessId();
  ASSERT_NE(exited, 0u);
  const std::wstring deadChild = StagedFileName(exited, 3), neverRan = StagedFileName(0x7ffffff0, 0),
                     live = StagedFileName(GetCurrentProcessId(), 0);
  MakeTree(root_, {{L"old\\", ""}, {L"old\\a.txt", "new a"}, {L"old\\b.txt", "b"},
                   {L"old\\" + StagedFileName(exited, 9), "half a copy"}, {L"old\\~velmora-x.tmp", "x"},
                   {L"new\\", ""}, {L"new\\a.txt", "old a"}, {L"new\\" + deadChild, "dead"},
                   {L"new\\" + neverRan, "dead"}, {L"new\\" + live, "not this migration's"}});
  // The locked source fails its copy after a staged name was tried.
  UniqueFile lock(CreateFileW((source_ + L"\\a.txt").c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
  ASSERT_TRUE(lock);
  const MigrationReport report = CopyCheckedOutFiles(source_, destination_, [](const std::wstring&) { return true; });
  lock.reset();
  EXPECT_EQ(report.notMigrated, (std::vector<LeftBehind>{{L"a.txt", StayReason::kInUse}}));
  EXPECT_EQ(ReadTree(destination_),
            (Tree{{L"a.txt", "old a"}, {L"b.txt", "b"}, {live, "not this migration's"}}));
}

// A file copied straight to its name is there whole or not at all: a copy
// stopped partway (Cancel, or a failure thrown from the progress) leaves no
// part of it, staged or not. A whole copy keeps the source's time of last
// write and its read-only mark.
TEST_F(MigrationTest, AFileStoppedPartwayLeavesNothingAndAWholeOneKeepsTimeAndMark) {
  struct StopAt : MigrationProgress {
    int mode;  // 0 never, 1 cancel, 2 throw; once a piece of the big file is in
    bool stop = false;
    explicit StopAt(int m) : mode(m) {}
    void Update(const MigrationCounts& counts, const std::wstring& current) override {
      if (current == L"big.bin" && counts.bytesDone > 0 && mode != 0) stop = true;
      if (stop && mode == 2) throw std::bad_alloc();
    }
    bool Cancelled() override { return stop && mode == 1; }
  };
  const std::string big(3 << 20, 'b');
  for (const int mode : {0, 1, 2}) {
    SCOPED_TRACE(mode);
    EmptyBoth();
    MakeTree(source_, {{L"big.bin", big}});
    const std::wstring from = source_ + L"\\big.bin", to = destination_ + L"\\big.bin";
    FILETIME written{0x12345678, 0x01d00000};
    {
      UniqueFile file(CreateFileW(from.c_str(), FILE_WRITE_ATTRIBUTES, 0, nullptr, OPEN_EXISTING, 0, nullptr));
      ASSERT_TRUE(file && SetFileTime(file.get(), nullptr, nullptr, &written));
    }
    SetFileAttributesW(from.c_str(), FILE_ATTRIBUTE_READONLY);
    StopAt progress(mode);
    const auto ask = [](const std::wstring&) { return true; };
    if (mode == 2) {
      EXPECT_THROW(CopyCheckedOutFiles(source_, destination_, ask, &progress), std::bad_alloc);
    } else {
      const MigrationReport report = CopyCheckedOutFiles(source_, destination_, ask, &progress);
      EXPECT_EQ(report.notMigrated.size(), mode == 1 ? 1u : 0u);
    }
    SetFileAttributesW(from.c_str(), FILE_ATTRIBUTE_NORMAL);
    const Tree arrived = ReadTree(destination_);
    if (mode != 0) {
      EXPECT_TRUE(arrived.empty()) << Mb(arrived.begin()->first);
      continue;
    }
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(to.c_str(), GetFileExInfoStandard, &data));
    EXPECT_EQ(data.nFileSizeLow, big.size());
    EXPECT_TRUE(data.dwFileAttributes & FILE_ATTRIBUTE_READONLY);
    EXPECT_EQ(CompareFileTime(&data.ftLastWriteTime, &written), 0);
    SetFileAttributesW(to.c_str(), FILE_ATTRIBUTE_NORMAL);
  }
}

// The child of the test below: copies into the destination it is given and
// ends its process abruptly once part of the big file is in. Not in the
// fixture, whose set-up would clear the parent's trees.
TEST(MigrationChild, KilledMidCopy) {
  wchar_t paths[2][MAX_PATH] = {};
  if (!GetEnvironmentVariableW(L"VELMORA_KILLED_FROM", paths[0], MAX_PATH) ||
      !GetEnvironmentVariableW(L"VELMORA_KILLED_TO", paths[1], MAX_PATH)) {
    GTEST_SKIP() << "run by the test below";
  }
  struct DieAt : MigrationProgress {
    void Update(const MigrationCounts& counts, const std::wstring&) override {
      if (counts.bytesDone > 0) TerminateProcess(GetCurrentProcess(), 7);
    }
    bool Cancelled() override { return false; }
  } die;
  CopyCheckedOutFiles(paths[0], paths[1], [](const std::wstring&) { return true; }, &die);
}

// A migration whose process is killed partway through a copy leaves no part
// of that file under its name.
TEST_F(MigrationTest, AMigrationKilledMidCopyLeavesNoPartOfTheFile) {
  EmptyBoth();
  MakeTree(source_, {{L"big.bin", std::string(3 << 20, 'k')}});
  wchar_t self[MAX_PATH] = {};
  ASSERT_GT(GetModuleFileNameW(nullptr, self, MAX_PATH), 0u);
  std::wstring line = L"\"" + std::wstring(self) + L"\" --gtest_filter=MigrationChild.KilledMidCopy";
  SetEnvironmentVariableW(L"VELMORA_KILLED_FROM", source_.c_str());
  SetEnvironmentVariableW(L"VELMORA_KILLED_TO", destination_.c_str());
  STARTUPINFOW startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION process{};
  const BOOL started = CreateProcessW(nullptr, &line[0], nullptr, nullptr, FALSE, CREATE_NO_WINDOW, nullptr, nullptr,
                                      &startup, &process);
  SetEnvironmentVariableW(L"VELMORA_KILLED_FROM", nullptr);
  SetEnvironmentVariableW(L"VELMORA_KILLED_TO", nullptr);
  ASSERT_TRUE(started);
  UniqueHandle child(process.hProcess), thread(process.hThread);
  ASSERT_EQ(WaitForSingleObject(child.get(), kWaitMs), WAIT_OBJECT_0);
  DWORD code = 0;
  GetExitCodeProcess(child.get(), &code);
  EXPECT_EQ(code, 7u) << "killed partway, not ended";
  EXPECT_TRUE(ReadTree(destination_).empty());
}

// The real window: a migration still running after half a second shows
// it (here while a replace question is open), Cancel stops it between
// files, and what was not copied is named as left behind. A short one
// shows none.
TEST_F(MigrationTest, ALongMigrationShowsItsProgressAndCanBeCancelled) {
  constexpr int kFiles = 200;
  Entries tree = ManyFiles(kFiles);
  tree.emplace_back(L"CheckOut\\ask.txt", "new");
  CreateDirectoryW(source_.c_str(), nullptr);
  MakeTree(source_, tree);
  MakeTree(root_, {{L"new\\", ""}, {L"new\\CheckOut\\", ""}, {L"new\\CheckOut\\ask.txt", "old"}});
  const long shownBefore = MigrationProgressWindow::WindowsShown();
  MigrationReport report;
  ui::UiThread ui([&] {
    report = CopyCheckedOutFiles(source_, destination_, HWND{nullptr});
    return INT_PTR{1};
  });
  std::optional<ui::MessageBoxInfo> question = ui::WaitForMessageBox(L"系统提示", kWaitMs, ui.ThreadId());
  ASSERT_TRUE(question);
  HWND progress = ui::WaitForWindow(L"正在迁移工作目录", kWaitMs, L"#32770", ui.ThreadId());
  ASSERT_NE(progress, nullptr) << "shown once the migration lasts, question or not";
  EXPECT_NE(ui::ReadText(progress, IDC_MIGRATION_COUNTS).find(L" / " + std::to_wstring(kFiles + 1) + L" 个文件，"),
            std::wstring::npos)
      << Mb(ui::ReadText(progress, IDC_MIGRATION_COUNTS));
  EXPECT_EQ(ui::ReadText(progress, IDC_MIGRATION_FILE), L"CheckOut\\ask.txt");
  ASSERT_TRUE(ui::PressButton(progress, IDCANCEL));
  ASSERT_TRUE(ui::AnswerMessageBox(question->hwnd, IDYES));
  ASSERT_EQ(ui.Wait(kWaitMs), INT_PTR{1});
  EXPECT_FALSE(IsWindow(progress));
  EXPECT_EQ(MigrationProgressWindow::WindowsShown(), shownBefore + 1);

  // Every file is either copied whole or reported; the answered file too
  // stays, since Cancel came before its copy. The source is untouched.
  const Tree source = ReadTree(source_), arrived = ReadTree(destination_);
  EXPECT_EQ(source, TreeOf(tree));
  EXPECT_EQ(arrived.at(L"CheckOut\\ask.txt"), "old");
  size_t copied = 0;
  for (const auto& [path, text] : arrived) {
    EXPECT_EQ(path.find(L"~velmora"), std::wstring::npos) << Mb(path);
    if (text != "<dir>" && path != L"CheckOut\\ask.txt") {
      EXPECT_EQ(text, source.at(path)) << Mb(path);
      ++copied;
    }
  }
  ASSERT_FALSE(report.notMigrated.empty());
  for (const LeftBehind& left : report.notMigrated) {
    EXPECT_EQ(left.reason, StayReason::kCancelled) << Mb(left.relative);
    EXPECT_EQ(arrived.count(left.relative) == 0 || left.relative == L"CheckOut\\ask.txt", true) << Mb(left.relative);
  }
  EXPECT_EQ(copied + report.notMigrated.size(), size_t{kFiles + 1});

  // Three small files: over long before the window would be due.
  RemoveTree(destination_);
  RemoveTree(source_);
  MakeTree(root_, {{L"old\\", ""}, {L"old\\1.txt", "1"}, {L"old\\2.txt", "2"}, {L"old\\3.txt", "3"},
                   {L"new\\", ""}});
  const DWORD start = GetTickCount();
  ui::UiThread small([&] { return static_cast<INT_PTR>(CopyCheckedOutFiles(source_, destination_, HWND{nullptr}).notMigrated.size()); });
  ASSERT_EQ(small.Wait(kWaitMs), INT_PTR{0});
  // Only a machine that stalled past the delay may show it.
  EXPECT_TRUE(MigrationProgressWindow::WindowsShown() == shownBefore + 1 || GetTickCount() - start >= kProgressDelayMs);
  EXPECT_EQ(ReadTree(destination_).size(), 3u);
}

}  // namespace
}  // namespace velmora::test
