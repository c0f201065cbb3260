// CopyCheckedOutFiles and PathExists on real trees in the Wine prefix.
#include <gtest/gtest.h>

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
    CopyCheckedOutFiles(Mb(source_), Mb(destination_), 1, nullptr);
    EXPECT_EQ(ReadTree(destination_), c.expected);
    EXPECT_EQ(ReadTree(source_), before);
  }
  // A missing source changes nothing either.
  CopyCheckedOutFiles(Mb(root_ + L"\\missing"), Mb(destination_), 1, nullptr);
  EXPECT_EQ(ReadTree(destination_), (Tree{{L"z.txt", "z"}}));
}

// The real question box, answered No for the first file and Yes for the second.
TEST_F(MigrationTest, AsksBeforeReplacingAndHonoursTheAnswer) {
  MakeTree(root_, {{L"old\\", ""}, {L"old\\a.txt", "new a"}, {L"old\\CheckOut\\", ""},
                   {L"old\\CheckOut\\b.txt", "new b"}, {L"new\\", ""}, {L"new\\a.txt", "old a"},
                   {L"new\\CheckOut\\", ""}, {L"new\\CheckOut\\b.txt", "old b"}});
  ui::UiThread ui([this] {
    CopyCheckedOutFiles(Mb(source_), Mb(destination_), 1, nullptr);
    return INT_PTR{0};
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
  ASSERT_TRUE(ui.Wait(kWaitMs));
  EXPECT_EQ(ReadTree(destination_),
            (Tree{{L"a.txt", "old a"}, {L"CheckOut", "<dir>"}, {L"CheckOut\\b.txt", "new b"}}));
  EXPECT_EQ(ReadTree(source_),
            (Tree{{L"a.txt", "new a"}, {L"CheckOut", "<dir>"}, {L"CheckOut\\b.txt", "new b"}}));
}

struct Job {
  std::string from, to;
};

DWORD WINAPI CopyJob(void* arg) {
  auto* job = static_cast<Job*>(arg);
  CopyCheckedOutFiles(job->from, job->to, 1, nullptr);
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

  Job job{Mb(source_), Mb(destination_)};
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
