// CopyCheckedOutFiles and PathExists on real trees in the Wine prefix.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/Raii.h"
#include "tests/workdir/WorkdirTestSupport.h"
#include "tools/uidriver/UiDriver.h"
#include "workdir/FileMigration.h"

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
    RemoveTree(source_);
    RemoveTree(destination_);
    CreateDirectoryW(source_.c_str(), nullptr);
    CreateDirectoryW(destination_.c_str(), nullptr);
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
    std::vector<std::wstring> left = {};
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
       {{L"CheckOut", "<dir>"}, {L"CheckOut\\k.txt", "k"}}, {L"CheckOut\\loop"}},
      {"a locked source answered Yes keeps the old file; the next one is replaced",
       {{L"a.txt", "new a"}, {L"b.txt", "new b"}}, {{L"a.txt", "old a"}, {L"b.txt", "old b"}}, Spelling::kOther,
       {}, L"a.txt", {}, 2, {{L"a.txt", "old a"}, {L"b.txt", "new b"}}, {L"a.txt"}},
      {"a read-only destination answered Yes is kept",
       {{L"a.txt", "new a"}}, {{L"a.txt", "old a"}}, Spelling::kOther, {}, {}, L"a.txt", 1,
       {{L"a.txt", "old a"}}, {L"a.txt"}},
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

}  // namespace
}  // namespace velmora::test
