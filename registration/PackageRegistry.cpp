#include "registration/PackageRegistry.h"

#include <cctype>
#include <cstdio>
#include <map>

namespace velmora::package {
namespace {

// Proxies that the type-library registration names for automation
// interfaces: the type-library marshaler for dual ones, the dispatch
// marshaler for pure dispinterfaces.
constexpr char kTypeLibMarshaler[] = "{00020424-0000-0000-C000-000000000046}";
constexpr char kDispatchMarshaler[] = "{00020420-0000-0000-C000-000000000046}";

// A small reader of IDL: attribute blocks and the declaration they precede.
// Comments and quoted texts are skipped as units.
class IdlReader {
 public:
  explicit IdlReader(const std::string& text) : text_(text) {}

  // Next "[...]" block and the two words after it; false at the end.
  bool NextDeclaration(std::string* attributes, std::string* kind, std::string* name) {
    while (pos_ < text_.size()) {
      if (SkipCommentOrString()) continue;
      if (text_[pos_] != '[') {
        ++pos_;
        continue;
      }
      size_t start = ++pos_;
      int depth = 1;
      while (pos_ < text_.size() && depth > 0) {
        if (SkipCommentOrString()) continue;
        if (text_[pos_] == '[') ++depth;
        if (text_[pos_] == ']') --depth;
        ++pos_;
      }
      *attributes = text_.substr(start, pos_ - start - 1);
      *kind = Word();
      *name = Word();
      return true;
    }
    return false;
  }

 private:
  bool SkipCommentOrString() {
    if (text_.compare(pos_, 2, "//") == 0) {
      size_t end = text_.find('\n', pos_);
      pos_ = end == std::string::npos ? text_.size() : end;
      return true;
    }
    if (text_.compare(pos_, 2, "/*") == 0) {
      size_t end = text_.find("*/", pos_ + 2);
      pos_ = end == std::string::npos ? text_.size() : end + 2;
      return true;
    }
    if (text_[pos_] == '"') {
      for (++pos_; pos_ < text_.size() && text_[pos_] != '"'; ++pos_) {
        if (text_[pos_] == '\\') ++pos_;
      }
      ++pos_;
      return true;
    }
    return false;
  }

  std::string Word() {
    for (;;) {
      while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) ++pos_;
      if (pos_ >= text_.size() || !SkipCommentOrString()) break;
    }
    size_t start = pos_;
    while (pos_ < text_.size() && (std::isalnum(static_cast<unsigned char>(text_[pos_])) || text_[pos_] == '_')) {
      ++pos_;
    }
    return text_.substr(start, pos_ - start);
  }

  const std::string& text_;
  size_t pos_ = 0;
};

// The argument of `name(...)` in an attribute block, or nothing.
std::optional<std::string> Argument(const std::string& attributes, const std::string& name) {
  for (size_t at = attributes.find(name); at != std::string::npos; at = attributes.find(name, at + 1)) {
    bool wordStart = at == 0 || !(std::isalnum(static_cast<unsigned char>(attributes[at - 1])) ||
                                  attributes[at - 1] == '_');
    size_t open = attributes.find_first_not_of(" \t\r\n", at + name.size());
    if (!wordStart || open == std::string::npos || attributes[open] != '(') continue;
    size_t close = attributes.find(')', open);
    if (close == std::string::npos) return std::nullopt;
    std::string arg = attributes.substr(open + 1, close - open - 1);
    size_t first = arg.find_first_not_of(" \t\r\n"), last = arg.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : arg.substr(first, last - first + 1);
  }
  return std::nullopt;
}

bool HasFlag(const std::string& attributes, const std::string& flag) {
  for (size_t at = attributes.find(flag); at != std::string::npos; at = attributes.find(flag, at + 1)) {
    auto boundary = [&](size_t i) {
      return i >= attributes.size() || !(std::isalnum(static_cast<unsigned char>(attributes[i])) || attributes[i] == '_');
    };
    if ((at == 0 || boundary(at - 1)) && boundary(at + flag.size())) return true;
  }
  return false;
}

// A uuid(...) argument as registry keys spell it: braced, upper case.
std::optional<std::string> Guid(const std::string& attributes) {
  std::optional<std::string> raw = Argument(attributes, "uuid");
  if (!raw || raw->size() != 36) return std::nullopt;
  std::string guid = "{";
  for (size_t i = 0; i < raw->size(); ++i) {
    char c = (*raw)[i];
    bool dash = i == 8 || i == 13 || i == 18 || i == 23;
    if (dash ? c != '-' : !std::isxdigit(static_cast<unsigned char>(c))) return std::nullopt;
    guid += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  }
  return guid + "}";
}

std::string Unquote(const std::string& quoted) {
  std::string text;
  for (size_t i = 1; i + 1 < quoted.size(); ++i) {
    if (quoted[i] == '\\' && i + 2 < quoted.size()) ++i;
    text += quoted[i];
  }
  return text;
}

void AddKeyRows(const std::string& root, const std::string& parent, const rgs::Key& k, std::vector<Row>* rows) {
  const std::string key = parent.empty() ? k.name : parent + "\\" + k.name;
  if (k.forceRemove) rows->push_back({root, key, "*", ""});
  if (k.defaultValue) rows->push_back({root, key, "", *k.defaultValue});
  for (const auto& [name, value] : k.values) rows->push_back({root, key, name, value});
  // An empty key of our own still has to exist (e.g. "Programmable").
  if (!k.forceRemove && !k.noRemove && !k.defaultValue && k.values.empty() && k.children.empty()) {
    rows->push_back({root, key, "+", ""});
  }
  for (const rgs::Key& child : k.children) AddKeyRows(root, key, child, rows);
}

}  // namespace

IdlResult ReadTypeLibFacts(const std::string& idl) {
  IdlResult result;
  TypeLibFacts facts;
  bool haveLibrary = false;
  IdlReader reader(idl);
  std::string attributes, kind, name;
  while (reader.NextDeclaration(&attributes, &kind, &name)) {
    if (kind != "library" && kind != "interface" && kind != "dispinterface") continue;
    // A reference inside a coclass ("[default] interface X;") has no uuid.
    if (!Argument(attributes, "uuid")) continue;
    std::optional<std::string> guid = Guid(attributes);
    if (!guid) {
      result.error = kind + " " + name + " has a malformed uuid";
      return result;
    }
    if (kind == "library") {
      if (haveLibrary) {
        result.error = "more than one library";
        return result;
      }
      haveLibrary = true;
      facts.libid = *guid;
      std::optional<std::string> version = Argument(attributes, "version");
      if (!version || std::sscanf(version->c_str(), "%d.%d", &facts.major, &facts.minor) != 2) {
        result.error = "library " + name + " has no version(major.minor)";
        return result;
      }
      std::optional<std::string> lcid = Argument(attributes, "lcid");
      facts.lcid = lcid ? static_cast<unsigned>(std::stoul(*lcid, nullptr, 0)) : 0;
      std::optional<std::string> help = Argument(attributes, "helpstring");
      if (help) facts.helpString = Unquote(*help);
    } else if (kind == "dispinterface" || HasFlag(attributes, "dual") || HasFlag(attributes, "oleautomation")) {
      facts.interfaces.push_back({*guid, name, kind == "dispinterface"});
    }
  }
  if (!haveLibrary) {
    result.error = "no library with a uuid";
    return result;
  }
  result.facts = std::move(facts);
  return result;
}

std::vector<Row> ScriptRows(const rgs::Script& script, bool besideOther) {
  std::vector<Row> rows;
  for (const rgs::Key& key : script.keys) {
    // Only the class key has a view per bitness; the rest is shared.
    if (besideOther && key.name != "CLSID") continue;
    AddKeyRows(script.root, "", key, &rows);
  }
  return rows;
}

std::vector<Row> TypeLibRows(const TypeLibFacts& facts, const Copy& copy) {
  std::vector<Row> rows;
  char version[32], lcid[16];
  std::snprintf(version, sizeof version, "%x.%x", facts.major, facts.minor);
  std::snprintf(lcid, sizeof lcid, "%x", facts.lcid);
  const std::string versionKey = "TypeLib\\" + facts.libid + "\\" + version;
  if (!copy.besideOther) {
    rows.push_back({"HKCR", versionKey, "", facts.helpString});
    rows.push_back({"HKCR", versionKey + "\\FLAGS", "", "0"});
    rows.push_back({"HKCR", versionKey + "\\HELPDIR", "", copy.folderRef});
  }
  rows.push_back({"HKCR", versionKey + "\\" + lcid + "\\" + copy.platform, "", copy.fileRef});
  for (const Interface& i : facts.interfaces) {
    const std::string key = "Interface\\" + i.iid;
    const char* proxy = i.dispatchOnly ? kDispatchMarshaler : kTypeLibMarshaler;
    rows.push_back({"HKCR", key, "*", ""});
    rows.push_back({"HKCR", key, "", i.name});
    rows.push_back({"HKCR", key + "\\ProxyStubClsid", "", proxy});
    rows.push_back({"HKCR", key + "\\ProxyStubClsid32", "", proxy});
    rows.push_back({"HKCR", key + "\\TypeLib", "", facts.libid});
    rows.push_back({"HKCR", key + "\\TypeLib", "Version", version});
  }
  return rows;
}

Row SettingsKeyRow() { return {"HKLM", "SOFTWARE\\Sorvik", "+", ""}; }

}  // namespace velmora::package
