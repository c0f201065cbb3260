// The development AppServer as the control meets it: created by CLSID with
// class context 23 after regsvr32, arguments packed as VT_ARRAY|VT_VARIANT,
// results read through the ADO 2.x vtables. Each test has its own copy of
// the sample data, named by the environment variable.
#include <windows.h>
#include <ole2.h>
#include <adoint_backcompat.h>
#include <wrl/client.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <future>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "appserver_h.h"
#include "common/Raii.h"
#include "tools/devappserver/DataFile.h"

namespace {

using Microsoft::WRL::ComPtr;
using velmora::UniqueBstr;
using velmora::UniqueFindHandle;
using velmora::UniqueHkey;
using velmora::UniqueVariant;
using velmora::devappserver::kBadDataFile;
using velmora::devappserver::kDataFileKey;
using velmora::devappserver::kDataFileValue;
using velmora::devappserver::kDataFileVariable;

constexpr DWORD kClassContext = 23;
constexpr GUID kIidRecordset = {0x00000556, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr GUID kIidRecordset6 = {0x00001556, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x6D, 0x2E, 0xA4}};
constexpr HRESULT kNoCurrentRecord = static_cast<HRESULT>(0x800A0BCD);
constexpr HRESULT kItemNotFound = static_cast<HRESULT>(0x800A0CC1);

std::wstring W(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

std::string U(const wchar_t* wide, size_t length) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), nullptr, 0, nullptr, nullptr);
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide, static_cast<int>(length), out.data(), n, nullptr, nullptr);
  return out;
}

// Values as the tests compare them: the kind shows, so a Boolean column is
// not mistaken for the text "true".
std::string Render(const VARIANT& v) {
  switch (V_VT(&v)) {
    case VT_NULL: return "NULL";
    case VT_BOOL: return V_BOOL(&v) == VARIANT_TRUE ? "#true" : "#false";
    case VT_I4: return "#" + std::to_string(V_I4(&v));
    case VT_BSTR: return U(V_BSTR(&v), SysStringLen(V_BSTR(&v)));
    default: return "vt" + std::to_string(V_VT(&v));
  }
}

using Arg = std::variant<std::string, LONG>;

// VT_ARRAY|VT_VARIANT, lower bound 0, as the control packs arguments.
void Pack(const std::vector<Arg>& args, VARIANT* out) {
  VariantInit(out);
  if (args.empty()) return;
  SAFEARRAY* array = SafeArrayCreateVector(VT_VARIANT, 0, static_cast<ULONG>(args.size()));
  for (LONG i = 0; i < static_cast<LONG>(args.size()); ++i) {
    UniqueVariant element;
    if (const auto* text = std::get_if<std::string>(&args[i])) {
      V_VT(element.get()) = VT_BSTR;
      V_BSTR(element.get()) = SysAllocString(W(*text).c_str());
    } else {
      V_VT(element.get()) = VT_I4;
      V_I4(element.get()) = std::get<LONG>(args[i]);
    }
    SafeArrayPutElement(array, &i, element.get());
  }
  V_VT(out) = VT_ARRAY | VT_VARIANT;
  V_ARRAY(out) = array;
}

void CallerContext(VARIANT* out) {
  Pack({std::string("zhangwei"), std::string("127.0.0.1"), std::string("PC-01"),
        std::string("00-11-22-33-44-55-66-77")},
       out);
}

std::string ErrorDescription() {
  ComPtr<IErrorInfo> info;
  if (GetErrorInfo(0, &info) != S_OK || !info) return "(no error info)";
  UniqueBstr text;
  info->GetDescription(text.put());
  return U(text.get(), text.length());
}

using Rows = std::vector<std::vector<std::pair<std::string, std::string>>>;

// Every row, walked the way a script walks: MoveFirst, then until EOF.
Rows ReadAll(_ADORecordset* rs) {
  Rows rows;
  ComPtr<ADOFields> fields;
  EXPECT_EQ(S_OK, rs->get_Fields(&fields));
  long count = 0;
  EXPECT_EQ(S_OK, fields->get_Count(&count));
  EXPECT_EQ(S_OK, rs->MoveFirst());
  for (VARIANT_BOOL eof = VARIANT_FALSE; rs->get_EOF(&eof) == S_OK && eof == VARIANT_FALSE; rs->MoveNext()) {
    rows.emplace_back();
    for (long i = 0; i < count; ++i) {
      UniqueVariant index, value;
      V_VT(index.get()) = VT_I4;
      V_I4(index.get()) = i;
      ComPtr<ADOField> field;
      UniqueBstr name;
      EXPECT_EQ(S_OK, fields->get_Item(*index.get(), &field));
      EXPECT_EQ(S_OK, field->get_Name(name.put()));
      EXPECT_EQ(S_OK, field->get_Value(value.get()));
      rows.back().emplace_back(U(name.get(), name.length()), Render(*value.get()));
    }
  }
  return rows;
}

std::string Column(const Rows& rows, size_t row, const std::string& name) {
  for (const auto& [column, value] : rows.at(row))
    if (column == name) return value;
  return "(no column " + name + ")";
}

class DevAppServer : public testing::Test {
 protected:
  void SetUp() override {
    wchar_t temp[MAX_PATH];
    GetTempPathW(MAX_PATH, temp);
    static int serial = 0;
    folder_ = std::wstring(temp) + L"das-" + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++serial);
    ASSERT_TRUE(CreateDirectoryW(folder_.c_str(), nullptr));
    data_ = folder_ + L"\\appserver.json";
    ASSERT_TRUE(CopyFileW(SamplePath().c_str(), data_.c_str(), FALSE));
    SetEnvironmentVariableW(kDataFileVariable, data_.c_str());
  }
  void TearDown() override {
    SetEnvironmentVariableW(kDataFileVariable, nullptr);
    for (const std::wstring& name : FolderFiles()) DeleteFileW((folder_ + L"\\" + name).c_str());
    RemoveDirectoryW(folder_.c_str());
  }

  static std::wstring SamplePath() {
    wchar_t exe[MAX_PATH];
    GetModuleFileNameW(nullptr, exe, MAX_PATH);
    std::wstring path = exe;
    return path.substr(0, path.find_last_of(L'\\') + 1) + L"appserver.json";
  }
  std::vector<std::wstring> FolderFiles() const {
    std::vector<std::wstring> names;
    WIN32_FIND_DATAW found;
    UniqueFindHandle find(FindFirstFileW((folder_ + L"\\*").c_str(), &found));
    if (!find) return names;
    do {
      if (!(found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) names.push_back(found.cFileName);
    } while (FindNextFileW(find.get(), &found));
    return names;
  }
  void WriteData(const std::string& bytes) {
    std::ofstream(U(data_.data(), data_.size()), std::ios::binary | std::ios::trunc) << bytes;
  }
  std::string ReadData() const {
    std::ifstream in(U(data_.data(), data_.size()), std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  // A new instance per command, as the control makes one.
  HRESULT Execute(LONG code, const std::vector<Arg>& args, VARIANT* result, bool withContext = true) {
    ComPtr<IAppServer> server;
    HRESULT hr = CoCreateInstance(CLSID_AppServer, nullptr, kClassContext, IID_IAppServer, &server);
    EXPECT_EQ(S_OK, hr) << "is devappserver.dll registered?";
    if (FAILED(hr)) return hr;
    UniqueVariant caller, packed;
    if (withContext) CallerContext(caller.get());
    else V_VT(caller.get()) = VT_NULL;
    Pack(args, packed.get());
    return server->Execute(code, *caller.get(), *packed.get(), result);
  }
  ComPtr<_ADORecordset> Query(LONG code, const std::vector<Arg>& args) {
    UniqueVariant result;
    EXPECT_EQ(S_OK, Execute(code, args, result.get())) << ErrorDescription();
    ComPtr<_ADORecordset> rs;
    EXPECT_EQ(VT_DISPATCH, V_VT(result.get()));
    if (V_VT(result.get()) == VT_DISPATCH) {
      EXPECT_EQ(S_OK, V_DISPATCH(result.get())->QueryInterface(kIidRecordset, reinterpret_cast<void**>(rs.GetAddressOf())));
    }
    return rs;
  }
  Rows QueryRows(LONG code, const std::vector<Arg>& args) {
    ComPtr<_ADORecordset> rs = Query(code, args);
    return rs ? ReadAll(rs.Get()) : Rows{};
  }

  std::wstring folder_;
  std::wstring data_;
};

TEST_F(DevAppServer, EveryQueryAnswersFromTheSampleData) {
  using S = std::string;
  struct Case {
    const char* what;
    LONG code;
    std::vector<Arg> args;
    size_t rows;
    std::vector<std::pair<const char*, const char*>> firstRow;
  };
  const Case cases[] = {
      {"right password", 140, {S("zhangwei"), S("zw2026")}, 1,
       {{"UPDATESERVER", "127.0.0.1"}, {"帐号", "zhangwei"}, {"姓名", "张伟"}, {"FTPIP", "127.0.0.1"},
        {"USERNAME", "velmora"}, {"PASSWORD", "ftp-velmora"}, {"管理专业", "JG,JZ"},
        {"管理专业名称", "结构,建筑"}, {"本地路径", "C:\\Velmora\\zhangwei"}}},
      {"wrong password", 140, {S("zhangwei"), S("ZW2026")}, 0, {}},
      {"unknown account", 140, {S("nobody"), S("")}, 0, {}},
      {"empty password and NULL columns", 140, {S("wangfang"), S("")}, 1,
       {{"姓名", "王芳"}, {"管理专业", "NULL"}}},
      {"functions of a user", 128, {S("zhangwei")}, 3,
       {{"功能编码", "F101"}, {"功能名称", "任务分解"}, {"序号", "#1"}, {"只读", "#false"}, {"备注", "NULL"}}},
      {"functions of nobody", 128, {S("")}, 0, {}},
      {"project roles", 153, {S("lina"), S("P2026-001")}, 1,
       {{"是否是设计负责人", "#false"}, {"是否是设计者", "#true"}, {"是否能制作计划", "#false"},
        {"项目名称", "滨江大桥施工图设计"}}},
      {"project roles, other project", 153, {S("lina"), S("P1999")}, 0, {}},
      {"task roles, user first", 154, {S("zhangwei"), S("T-101"), S("P2026-001"), S("JG"), S("lina"), 3L}, 1,
       {{"专业编码", "JG"}, {"部门名称", "结构设计所"}, {"角色名称", "设计负责人"}, {"角色ID", "#3"},
        {"参与角色", "3,17"}, {"是否是设计负责人", "#true"}, {"项目名称", "滨江大桥施工图设计"}}},
      {"task roles, task and project swapped", 154, {S("zhangwei"), S("P2026-001"), S("T-101"), S(""), S(""), 0L},
       0, {}},
      {"signature", 160, {S("T-101"), S("zhangwei"), S("3"), S("0")}, 1, {{"签字", "张伟"}}},
      {"shared signature", 160, {S("T-101"), S("zhangwei"), S("18"), S("01")}, 1, {{"签字", "李娜（共享）"}}},
      {"no signature in that role", 160, {S("T-101"), S("zhangwei"), S("17"), S("0")}, 0, {}},
      {"file server", 163, {S("P2026-001")}, 1,
       {{"文件服务器", "127.0.0.1"}, {"登录用户", "velmora"}, {"登录口令", "ftp-velmora"}}},
      {"file server of an unknown project", 163, {S("P1999")}, 0, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Rows rows = QueryRows(c.code, c.args);
    ASSERT_EQ(c.rows, rows.size());
    for (const auto& [column, value] : c.firstRow) EXPECT_EQ(value, Column(rows, 0, column)) << column;
  }
}

TEST_F(DevAppServer, ServerClockIsFixedByTheDataOrIsLocalTime) {
  UniqueVariant now;
  ASSERT_EQ(S_OK, Execute(155, {}, now.get()));
  ASSERT_EQ(VT_BSTR, V_VT(now.get()));
  std::string text = Render(*now.get());
  ASSERT_EQ(19u, text.size()) << text;
  for (size_t at : {4, 7}) EXPECT_EQ('-', text[at]);
  EXPECT_EQ(' ', text[10]);
  for (size_t at : {13, 16}) EXPECT_EQ(':', text[at]);

  WriteData("\xEF\xBB\xBF" R"({"clock": "2005-03-07 08:09:10"})");  // as Notepad saves UTF-8
  UniqueVariant fixed;
  ASSERT_EQ(S_OK, Execute(155, {}, fixed.get()));
  EXPECT_EQ("2005-03-07 08:09:10", Render(*fixed.get()));
}

TEST_F(DevAppServer, PasswordChangeIsWrittenBackAndSurvivesANewInstance) {
  UniqueVariant result;
  ASSERT_EQ(S_OK, Execute(141, {std::string("zhangwei"), std::string("zw2026"), std::string("新密码'1")}, result.get()))
      << ErrorDescription();
  EXPECT_EQ(VT_EMPTY, V_VT(result.get()));
  EXPECT_EQ(1u, QueryRows(140, {std::string("zhangwei"), std::string("新密码'1")}).size());
  EXPECT_EQ(0u, QueryRows(140, {std::string("zhangwei"), std::string("zw2026")}).size());
  Rows other = QueryRows(140, {std::string("lina"), std::string("ln2026")});
  ASSERT_EQ(1u, other.size());
  EXPECT_EQ("李娜", Column(other, 0, "姓名"));
  // The temporary file was moved over the data file, not left beside it;
  // the lock file stays for the next change.
  EXPECT_EQ((std::vector<std::wstring>{L"appserver.json", L"appserver.json.lock"}), FolderFiles());
}

TEST_F(DevAppServer, PasswordChangeKeepsTheFilesByteOrderMarkAndLineEnds) {
  std::string sample = ReadData(), crlf;
  for (char c : sample) crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
  const struct {
    const char* what;
    std::string content;
    bool bom, cr;
  } cases[] = {{"as Notepad saves", "\xEF\xBB\xBF" + crlf, true, true}, {"plain", sample, false, false}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    WriteData(c.content);
    UniqueVariant result;
    ASSERT_EQ(S_OK, Execute(141, {std::string("lina"), std::string("ln2026"), std::string("x")}, result.get()))
        << ErrorDescription();
    const std::string after = ReadData();
    EXPECT_EQ(c.bom, after.rfind("\xEF\xBB\xBF", 0) == 0);
    const size_t lineFeeds = std::count(after.begin(), after.end(), '\n');
    EXPECT_GT(lineFeeds, 10u);
    EXPECT_EQ(c.cr ? lineFeeds : 0, static_cast<size_t>(std::count(after.begin(), after.end(), '\r')));
    EXPECT_EQ(1u, QueryRows(140, {std::string("lina"), std::string("x")}).size());
  }
}

// Two clients, each with its own server object, change two accounts in
// turns: a change lost to the other's write-back would make the next old
// password wrong.
TEST_F(DevAppServer, PasswordChangesAtTheSameMomentAllLand) {
  constexpr int kChanges = 25;
  auto changes = [this](const std::string& account, std::string old) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    int landed = 0;
    for (int i = 1; i <= kChanges; ++i, ++landed) {
      const std::string next = account + std::to_string(i);
      UniqueVariant result;
      if (Execute(141, {account, old, next}, result.get()) != S_OK) break;
      old = next;
    }
    CoUninitialize();
    return landed;
  };
  auto zhang = std::async(std::launch::async, changes, "zhangwei", "zw2026");
  auto li = std::async(std::launch::async, changes, "lina", "ln2026");
  EXPECT_EQ(kChanges, zhang.get());
  EXPECT_EQ(kChanges, li.get());
  const std::string last = std::to_string(kChanges);
  EXPECT_EQ(1u, QueryRows(140, {std::string("zhangwei"), "zhangwei" + last}).size());
  EXPECT_EQ(1u, QueryRows(140, {std::string("lina"), "lina" + last}).size());
}

TEST_F(DevAppServer, RefusedPasswordChangeLeavesTheFileAlone) {
  const std::string before = ReadData();
  struct Case {
    const char* account;
    const char* old;
    const char* fragment;
  } const cases[] = {{"zhangwei", "wrong", "old password"}, {"nobody", "", "no account"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.account);
    UniqueVariant result;
    EXPECT_EQ(E_ACCESSDENIED, Execute(141, {std::string(c.account), std::string(c.old), std::string("x")}, result.get()));
    EXPECT_NE(std::string::npos, ErrorDescription().find(c.fragment)) << ErrorDescription();
    EXPECT_EQ(VT_EMPTY, V_VT(result.get()));
  }
  EXPECT_EQ(before, ReadData());
}

TEST_F(DevAppServer, DamagedDataFileGivesAClearErrorNamingTheFile) {
  struct Case {
    const char* what;
    std::optional<std::string> content;  // none: no file at all
    HRESULT hr;
    const char* fragment;
  } const cases[] = {
      {"missing file", std::nullopt, HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), "cannot open"},
      {"nested a million deep", std::string(1000000, '[') + std::string(1000000, ']'), kBadDataFile,
       "must be a JSON object"},
      {"cut short", R"({"accounts": [ {"account": "a", )", kBadDataFile, "line 1"},
      {"syntax error on line 3", "{\n\"accounts\": [],\n\"functions\": [,]\n}", kBadDataFile, "line 3"},
      {"not UTF-8", "{\"clock\": \"\xff\xfe\"}", kBadDataFile, "parse error"},
      {"not an object", "[]", kBadDataFile, "must be a JSON object"},
      {"unknown section", R"({"acounts": []})", kBadDataFile, "unknown member \"acounts\""},
      {"missing key", R"({"accounts": [{"account": "a"}]})", kBadDataFile, "accounts[0]: \"password\" is missing"},
      {"misspelt column", R"({"fileServers": [{"project": "p", "文件服务": "x"}]})", kBadDataFile,
       "fileServers[0]: unknown member \"文件服务\""},
      {"fraction in a column", R"({"taskRoles": [{"account": "a", "project": "p", "task": "t", "角色ID": 1.5}]})",
       kBadDataFile, "taskRoles[0].角色ID: must be"},
      {"role given as text", R"({"signatures": [{"id": "t", "role": "3"}]})", kBadDataFile,
       "signatures[0].role: must be a whole number"},
      {"two notes in one object", "{\n  \"#\": \"a\",\n  \"#\": \"b\"\n}", kBadDataFile,
       "line 3, column 3: \"#\" is given twice in one object (first at line 2, column 3)"},
      {"password twice in one record",
       R"({"accounts": [{"account": "a", "password": "", "password": "x"}]})", kBadDataFile,
       "line 1, column 48: \"password\" is given twice in one object (first at line 1, column 32)"},
      {"same account twice",
       R"({"accounts": [{"account": "a", "password": ""}, {"account": "a", "password": "x"}]})", kBadDataFile,
       "accounts[1]: account \"a\" is already given in accounts[0]"},
  };
  const std::string path = U(data_.data(), data_.size());
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    if (c.content) WriteData(*c.content);
    else DeleteFileW(data_.c_str());
    UniqueVariant result;
    EXPECT_EQ(c.hr, Execute(140, {std::string("a"), std::string("")}, result.get()));
    EXPECT_EQ(VT_EMPTY, V_VT(result.get()));
    std::string description = ErrorDescription();
    EXPECT_EQ(0u, description.find(path)) << description;
    EXPECT_NE(std::string::npos, description.find(c.fragment)) << description;
  }
}

TEST_F(DevAppServer, BadCommandsAndArgumentsAreRefused) {
  struct Case {
    const char* what;
    LONG code;
    std::vector<Arg> args;
    HRESULT hr;
    const char* fragment;
  } const cases[] = {
      {"unknown command", 999, {}, E_NOTIMPL, "command 999 is not known"},
      {"too few arguments", 154, {std::string("zhangwei"), std::string("T-101")}, E_INVALIDARG,
       "command 154 takes 6 arguments, 2 given"},
      {"arguments for the clock", 155, {std::string("x")}, E_INVALIDARG, "takes 0 arguments"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    UniqueVariant result;
    EXPECT_EQ(c.hr, Execute(c.code, c.args, result.get()));
    EXPECT_NE(std::string::npos, ErrorDescription().find(c.fragment)) << ErrorDescription();
  }
}

TEST_F(DevAppServer, DataFileComesFromTheVariableThenTheRegistry) {
  {
    UniqueHkey key;
    ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExW(HKEY_LOCAL_MACHINE, kDataFileKey, 0, nullptr, 0, KEY_SET_VALUE,
                                             nullptr, key.put(), nullptr));
    ASSERT_EQ(ERROR_SUCCESS, RegSetValueExW(key.get(), kDataFileValue, 0, REG_SZ,
                                            reinterpret_cast<const BYTE*>(data_.c_str()),
                                            static_cast<DWORD>((data_.size() + 1) * sizeof(wchar_t))));
  }

  SetEnvironmentVariableW(kDataFileVariable, nullptr);
  EXPECT_EQ(1u, QueryRows(163, {std::string("P2026-001")}).size()) << "from the registry";

  SetEnvironmentVariableW(kDataFileVariable, (folder_ + L"\\elsewhere.json").c_str());
  UniqueVariant result;
  EXPECT_EQ(HRESULT_FROM_WIN32(ERROR_FILE_NOT_FOUND), Execute(163, {std::string("P2026-001")}, result.get()));
  EXPECT_NE(std::string::npos, ErrorDescription().find("elsewhere.json"));

  RegDeleteKeyW(HKEY_LOCAL_MACHINE, kDataFileKey);
}

TEST_F(DevAppServer, RecordsetMovesAndRefusesLikeAdo) {
  ComPtr<_ADORecordset> rs = Query(128, {std::string("zhangwei")});
  ASSERT_TRUE(rs);
  ComPtr<IUnknown> other;
  EXPECT_EQ(E_NOINTERFACE, rs->QueryInterface(kIidRecordset6, reinterpret_cast<void**>(other.GetAddressOf())))
      << "the 6.x vtable differs on 64-bit Windows";

  ADO_LONGPTR count = 0;
  EXPECT_EQ(S_OK, rs->get_RecordCount(&count));
  EXPECT_EQ(3, count);
  UniqueVariant name, value;
  V_VT(name.get()) = VT_BSTR;
  V_BSTR(name.get()) = SysAllocString(W("功能名称").c_str());
  EXPECT_EQ(S_OK, rs->get_Collect(*name.get(), value.get()));
  EXPECT_EQ("任务分解", Render(*value.get()));
  for (int i = 0; i < 3; ++i) EXPECT_EQ(S_OK, rs->MoveNext());
  VARIANT_BOOL eof = VARIANT_FALSE;
  EXPECT_EQ(S_OK, rs->get_EOF(&eof));
  EXPECT_EQ(VARIANT_TRUE, eof);
  UniqueVariant past;
  EXPECT_EQ(kNoCurrentRecord, rs->get_Collect(*name.get(), past.get()));
  EXPECT_EQ(kNoCurrentRecord, rs->MoveNext());

  ComPtr<ADOFields> fields;
  ASSERT_EQ(S_OK, rs->get_Fields(&fields));
  ComPtr<ADOField> field;
  UniqueVariant missing;
  V_VT(missing.get()) = VT_BSTR;
  V_BSTR(missing.get()) = SysAllocString(L"NoSuchColumn");
  EXPECT_EQ(kItemNotFound, fields->get_Item(*missing.get(), &field));
}

TEST_F(DevAppServer, RecordsetLateBindingFollowsAdoNamesAndDefaults) {
  ComPtr<_ADORecordset> rs = Query(140, {std::string("zhangwei"), std::string("zw2026")});
  ASSERT_TRUE(rs);
  struct Name {
    const wchar_t* name;
    DISPID id;
  } const names[] = {{L"eof", 0x3ee},      {L"MOVENEXT", 0x3fa}, {L"movefirst", 0x3fc}, {L"RecordCount", 0x3f2},
                     {L"Fields", DISPID_VALUE}, {L"collect", DISPID_COLLECT}};
  for (const Name& n : names) {
    DISPID id = 0;
    LPOLESTR list[] = {const_cast<LPOLESTR>(n.name)};
    EXPECT_EQ(S_OK, rs->GetIDsOfNames(IID_NULL, list, 1, 0, &id)) << U(n.name, wcslen(n.name));
    EXPECT_EQ(n.id, id) << U(n.name, wcslen(n.name));
  }
  DISPID id = 0;
  LPOLESTR unknown[] = {const_cast<LPOLESTR>(L"Sort")};
  EXPECT_EQ(DISP_E_UNKNOWNNAME, rs->GetIDsOfNames(IID_NULL, unknown, 1, 0, &id));

  // rs("updateserver") is rs.Fields.Item(...), whose default is Value.
  UniqueVariant column, field, value;
  V_VT(column.get()) = VT_BSTR;
  V_BSTR(column.get()) = SysAllocString(L"updateserver");
  DISPPARAMS call = {column.get(), nullptr, 1, 0};
  ASSERT_EQ(S_OK, rs->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_METHOD | DISPATCH_PROPERTYGET, &call, field.get(),
                             nullptr, nullptr));
  ASSERT_EQ(VT_DISPATCH, V_VT(field.get()));
  DISPPARAMS none = {nullptr, nullptr, 0, 0};
  ASSERT_EQ(S_OK, V_DISPATCH(field.get())->Invoke(DISPID_VALUE, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, value.get(),
                                               nullptr, nullptr));
  EXPECT_EQ("127.0.0.1", Render(*value.get()));
}

}  // namespace
