#include "tools/devappserver/DataSet.h"

#include <algorithm>
#include <cstring>
#include <limits>
#include <map>
#include <memory>

namespace velmora::devappserver {
namespace {

using Json = nlohmann::ordered_json;

// How a record member that selects rows is written and compared with the
// command argument (always text on the wire).
enum class KeyKind {
  Text,     // a JSON string, equal to the argument
  Integer,  // a JSON whole number, equal to the argument read as decimal
  Flag,     // optional true/false (default false); the argument "01" or "1" is true
};

struct Key {
  const char* member;
  KeyKind kind;
};

struct Section {
  const char* name;
  std::vector<Key> keys;
  std::vector<const char*> columns;
  // A column filled from a key member instead of a member of its own.
  const char* derivedColumn = nullptr;
  const char* derivedFrom = nullptr;
};

const Section kAccounts{"accounts",
                        {{"account", KeyKind::Text}, {"password", KeyKind::Text}},
                        {"UPDATESERVER", "帐号", "姓名", "FTPIP", "USERNAME", "PASSWORD", "管理专业",
                         "管理专业名称", "本地路径"},
                        "帐号",
                        "account"};
const Section kFunctions{"functions",
                         {{"account", KeyKind::Text}},
                         {"功能编码", "功能名称", "序号", "只读", "备注"}};
const Section kProjectRoles{"projectRoles",
                            {{"account", KeyKind::Text}, {"project", KeyKind::Text}},
                            {"是否是设计负责人", "是否是设计者", "是否能制作计划", "项目名称"}};
const Section kTaskRoles{"taskRoles",
                         {{"account", KeyKind::Text}, {"project", KeyKind::Text}, {"task", KeyKind::Text}},
                         {"专业编码", "专业名称", "部门编码", "部门名称", "管理角色", "管理专业",
                          "管理专业名称", "角色名称", "角色类型", "角色ID", "参与角色", "是否是设计负责人",
                          "是否是设计者", "是否能制作计划", "项目名称"}};
const Section kSignatures{"signatures",
                          {{"id", KeyKind::Text}, {"role", KeyKind::Integer}, {"share", KeyKind::Flag}},
                          {"签字"}};
const Section kFileServers{"fileServers", {{"project", KeyKind::Text}}, {"文件服务器", "登录用户", "登录口令"}};

const Section* const kSections[] = {&kAccounts,  &kFunctions,  &kProjectRoles,
                                    &kTaskRoles, &kSignatures, &kFileServers};

// A query: which section, how many arguments, and which argument each key
// is compared with. Arguments not named here are accepted and unused.
struct Query {
  int32_t code;
  size_t argCount;
  const Section* section;
  std::vector<std::pair<const char*, size_t>> match;  // key member, argument index
};

const Query kQueries[] = {
    {128, 1, &kFunctions, {{"account", 0}}},
    {140, 2, &kAccounts, {{"account", 0}, {"password", 1}}},
    {153, 2, &kProjectRoles, {{"account", 0}, {"project", 1}}},
    {154, 6, &kTaskRoles, {{"account", 0}, {"task", 1}, {"project", 2}}},
    {160, 4, &kSignatures, {{"id", 0}, {"role", 2}, {"share", 3}}},
    {163, 1, &kFileServers, {{"project", 0}}},
};

constexpr int32_t kChangePassword = 141;
constexpr int32_t kServerClock = 155;

bool IsComment(const std::string& member) { return !member.empty() && member[0] == '#'; }

bool IsInt32(const Json& v) {
  if (v.is_number_unsigned()) return v.get<uint64_t>() <= static_cast<uint64_t>(std::numeric_limits<int32_t>::max());
  if (!v.is_number_integer()) return false;
  int64_t n = v.get<int64_t>();
  return n >= std::numeric_limits<int32_t>::min() && n <= std::numeric_limits<int32_t>::max();
}

const Key* FindKey(const Section& s, const std::string& member) {
  for (const Key& k : s.keys)
    if (member == k.member) return &k;
  return nullptr;
}

bool IsColumnMember(const Section& s, const std::string& member) {
  if (s.derivedColumn && member == s.derivedColumn) return false;
  return std::any_of(s.columns.begin(), s.columns.end(), [&](const char* c) { return member == c; });
}

// Checks one record; returns the fault text, empty when the record is sound.
std::string CheckRecord(const Section& s, const Json& record, const std::string& where) {
  if (!record.is_object()) return where + ": must be an object";
  for (const auto& [member, value] : record.items()) {
    if (IsComment(member)) continue;
    if (const Key* key = FindKey(s, member)) {
      bool ok = key->kind == KeyKind::Text ? value.is_string()
                : key->kind == KeyKind::Integer ? IsInt32(value)
                                                : value.is_boolean();
      if (!ok) {
        const char* want = key->kind == KeyKind::Text ? "text" : key->kind == KeyKind::Integer ? "a whole number"
                                                                                                 : "true or false";
        return where + "." + member + ": must be " + want;
      }
    } else if (IsColumnMember(s, member)) {
      if (!(value.is_null() || value.is_boolean() || value.is_string() || IsInt32(value)))
        return where + "." + member + ": must be text, a whole number, true, false or null";
    } else {
      return where + ": unknown member \"" + member + "\"";
    }
  }
  for (const Key& k : s.keys)
    if (k.kind != KeyKind::Flag && !record.contains(k.member))
      return where + ": \"" + k.member + "\" is missing";
  return {};
}

std::string CheckDocument(const Json& doc) {
  if (!doc.is_object()) return "the document must be a JSON object";
  for (const auto& [member, value] : doc.items()) {
    if (IsComment(member)) continue;
    if (member == "clock") {
      if (!value.is_string()) return "clock: must be text";
      continue;
    }
    auto section = std::find_if(std::begin(kSections), std::end(kSections),
                                [&](const Section* s) { return member == s->name; });
    if (section == std::end(kSections)) return "unknown member \"" + member + "\"";
    if (!value.is_array()) return member + ": must be an array";
    for (size_t i = 0; i < value.size(); ++i) {
      std::string fault = CheckRecord(**section, value[i], member + "[" + std::to_string(i) + "]");
      if (!fault.empty()) return fault;
    }
  }
  // 141 changes one account: names must be unique.
  if (doc.contains("accounts")) {
    const Json& accounts = doc["accounts"];
    for (size_t i = 0; i < accounts.size(); ++i)
      for (size_t j = 0; j < i; ++j)
        if (accounts[i]["account"] == accounts[j]["account"])
          return "accounts[" + std::to_string(i) + "]: account \"" + accounts[i]["account"].get<std::string>() +
                 "\" is already given in accounts[" + std::to_string(j) + "]";
  }
  return {};
}

constexpr char kByteOrderMark[] = "\xEF\xBB\xBF";

bool StartsWithByteOrderMark(const std::string& text) { return text.compare(0, 3, kByteOrderMark) == 0; }

// Line and column (from 1; the column in characters) of the string token
// with this ordinal among all strings of a sound document, names and values
// alike, in document order.
std::string StringPosition(const std::string& text, size_t ordinal) {
  size_t line = 1, column = 1, seen = 0;
  bool inString = false, escaped = false;
  for (size_t i = StartsWithByteOrderMark(text) ? 3 : 0; i < text.size(); ++i) {
    const char c = text[i];
    if (inString) {
      if (escaped) escaped = false;
      else if (c == '\\') escaped = true;
      else if (c == '"') inString = false;
    } else if (c == '"') {
      if (seen++ == ordinal) break;
      inString = true;
    }
    if (c == '\n') {
      ++line;
      column = 1;
    } else if ((static_cast<unsigned char>(c) & 0xC0) != 0x80) {
      ++column;
    }
  }
  return "line " + std::to_string(line) + ", column " + std::to_string(column);
}

// Watches the parser for a member name given twice in one object; names are
// told apart by their ordinal among the document's strings.
class RepeatWatch {
 public:
  bool operator()(int, Json::parse_event_t event, Json& parsed) {
    switch (event) {
      case Json::parse_event_t::object_start:
        open_.emplace_back();
        break;
      case Json::parse_event_t::object_end:
        if (!open_.empty()) open_.pop_back();
        break;
      case Json::parse_event_t::key: {
        const std::string& name = parsed.get_ref<const std::string&>();
        auto [at, fresh] = open_.back().emplace(name, strings_);
        if (!fresh && !found_) found_ = Repeat{name, at->second, strings_};
        ++strings_;
        break;
      }
      case Json::parse_event_t::value:
        if (parsed.is_string()) ++strings_;
        break;
      default:
        break;
    }
    return true;
  }

  // The first repeat, said with both places; empty when there is none.
  std::string Fault(const std::string& text) const {
    if (!found_) return {};
    return StringPosition(text, found_->again) + ": \"" + found_->name + "\" is given twice in one object (first at " +
           StringPosition(text, found_->first) + ")";
  }

 private:
  struct Repeat {
    std::string name;
    size_t first, again;
  };
  std::vector<std::map<std::string, size_t>> open_;  // names of each open object
  size_t strings_ = 0;
  std::optional<Repeat> found_;
};

bool KeyMatches(const Key& key, const Json& record, const std::string& arg) {
  switch (key.kind) {
    case KeyKind::Text:
      return record[key.member].get_ref<const std::string&>() == arg;
    case KeyKind::Integer:
      return std::to_string(record[key.member].get<int64_t>()) == arg;
    case KeyKind::Flag: {
      bool want = arg == "01" || arg == "1";
      bool have = record.contains(key.member) && record[key.member].get<bool>();
      return want == have;
    }
  }
  return false;
}

Cell ToCell(const Json& v) {
  if (v.is_boolean()) return v.get<bool>();
  if (v.is_number()) return static_cast<int32_t>(v.get<int64_t>());
  if (v.is_string()) return v.get<std::string>();
  return std::monostate{};
}

Table Select(const Json& doc, const Query& q, const std::vector<std::string>& args) {
  const Section& s = *q.section;
  Table table;
  table.columns.assign(s.columns.begin(), s.columns.end());
  if (!doc.contains(s.name)) return table;
  for (const Json& record : doc[s.name]) {
    bool selected = std::all_of(q.match.begin(), q.match.end(), [&](const auto& m) {
      return KeyMatches(*FindKey(s, m.first), record, args[m.second]);
    });
    if (!selected) continue;
    std::vector<Cell> row;
    row.reserve(s.columns.size());
    for (const char* column : s.columns) {
      const char* member = (s.derivedColumn && std::strcmp(column, s.derivedColumn) == 0) ? s.derivedFrom : column;
      row.push_back(record.contains(member) ? ToCell(record[member]) : Cell{});
    }
    table.rows.push_back(std::move(row));
  }
  return table;
}

Reply Failed(Fault fault, std::string message) {
  Reply r;
  r.fault = fault;
  r.message = std::move(message);
  return r;
}

std::string ArgCountFault(int32_t code, size_t want, size_t got) {
  return "command " + std::to_string(code) + " takes " + std::to_string(want) + " argument" +
         (want == 1 ? "" : "s") + ", " + std::to_string(got) + " given";
}

}  // namespace

std::optional<DataSet> DataSet::Parse(const std::string& utf8, std::string* error) {
  Json doc;
  // Shared by the copies the parser makes of it.
  auto watch = std::make_shared<RepeatWatch>();
  try {
    doc = Json::parse(utf8, [watch](int depth, Json::parse_event_t event, Json& parsed) {
      return (*watch)(depth, event, parsed);
    });
  } catch (const Json::parse_error& e) {
    // "[json.exception.parse_error.101] parse error at line 3, column 5: ..."
    std::string what = e.what();
    size_t end = what.find("] ");
    *error = end == std::string::npos ? what : what.substr(end + 2);
    return std::nullopt;
  }
  std::string fault = watch->Fault(utf8);
  if (fault.empty()) fault = CheckDocument(doc);
  if (!fault.empty()) {
    *error = std::move(fault);
    return std::nullopt;
  }
  const size_t newline = utf8.find('\n');
  const bool crlf = newline != std::string::npos && newline > 0 && utf8[newline - 1] == '\r';
  return DataSet(std::move(doc), StartsWithByteOrderMark(utf8), crlf);
}

bool DataSet::Changes(int32_t code) { return code == kChangePassword; }

Reply DataSet::Execute(int32_t code, const std::vector<std::string>& args, const std::string& now) {
  if (code == kChangePassword) return ChangePassword(args);
  if (code == kServerClock) {
    if (!args.empty()) return Failed(Fault::BadArguments, ArgCountFault(code, 0, args.size()));
    Reply r;
    r.text = doc_.contains("clock") ? doc_["clock"].get<std::string>() : now;
    return r;
  }
  for (const Query& q : kQueries) {
    if (q.code != code) continue;
    if (args.size() != q.argCount) return Failed(Fault::BadArguments, ArgCountFault(code, q.argCount, args.size()));
    Reply r;
    r.table = Select(doc_, q, args);
    return r;
  }
  return Failed(Fault::UnknownCommand, "command " + std::to_string(code) + " is not known");
}

Reply DataSet::ChangePassword(const std::vector<std::string>& args) {
  if (args.size() != 3) return Failed(Fault::BadArguments, ArgCountFault(kChangePassword, 3, args.size()));
  const std::string& account = args[0];
  if (doc_.contains("accounts")) {
    for (Json& record : doc_["accounts"]) {
      if (record["account"].get_ref<const std::string&>() != account) continue;
      if (record["password"].get_ref<const std::string&>() != args[1])
        return Failed(Fault::AccessDenied, "the old password of account \"" + account + "\" is wrong");
      record["password"] = args[2];
      Reply r;
      r.changed = true;
      return r;
    }
  }
  return Failed(Fault::AccessDenied, "there is no account \"" + account + "\"");
}

std::string DataSet::Serialize() const {
  // Invalid UTF-8 cannot reach the document (the parser and the shell's
  // conversion refuse it); replace rather than throw all the same.
  // Strings come out escaped, so every line feed here ends a line.
  std::string text = doc_.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
  if (crlf_) {
    std::string lines;
    lines.reserve(text.size() + text.size() / 16);
    for (char c : text) {
      if (c == '\n') lines += '\r';
      lines += c;
    }
    text.swap(lines);
  }
  return byteOrderMark_ ? kByteOrderMark + text : text;
}

}  // namespace velmora::devappserver
