#include "registration/RgsScript.h"

#include <cctype>

namespace velmora::rgs {
namespace {

class Parser {
 public:
  Parser(const std::string& text, const std::map<std::string, std::string>& repl)
      : text_(text), repl_(repl) {}

  ParseResult Run() {
    ParseResult result;
    Script script;
    std::string token;
    if (!Next(&token) || !Expect("{")) return Fail(result, "expected a root key and '{'");
    script.root = token;
    if (!ParseBody(&script.keys, nullptr)) return Fail(result, error_);
    std::string rest;
    if (Next(&rest)) return Fail(result, "text after the root key's '}'");
    result.script = std::move(script);
    return result;
  }

 private:
  ParseResult& Fail(ParseResult& r, const std::string& what) {
    r.error = "line " + std::to_string(line_) + ": " + (error_.empty() ? what : error_);
    return r;
  }

  // Reads one token: a brace, '=', a quoted text or a bare word.
  bool Next(std::string* token, bool* quoted = nullptr) {
    if (hasPending_) {
      *token = pending_;
      if (quoted) *quoted = pendingQuoted_;
      hasPending_ = false;
      return true;
    }
    while (pos_ < text_.size() && std::isspace(static_cast<unsigned char>(text_[pos_]))) {
      if (text_[pos_] == '\n') ++line_;
      ++pos_;
    }
    if (pos_ >= text_.size()) return false;
    if (quoted) *quoted = false;
    char c = text_[pos_];
    if (c == '{' && IsGuidAt(pos_)) {  // a key named by a GUID, braces and all
      *token = text_.substr(pos_, kGuidLength);
      pos_ += kGuidLength;
      return true;
    }
    if (c == '{' || c == '}' || c == '=') {
      *token = std::string(1, c);
      ++pos_;
      return true;
    }
    if (c == '\'') {
      std::string raw;
      ++pos_;
      for (;;) {
        if (pos_ >= text_.size()) {
          error_ = "unterminated quoted text";
          return false;
        }
        if (text_[pos_] == '\'') {
          if (pos_ + 1 < text_.size() && text_[pos_ + 1] == '\'') {  // '' is a quote
            raw += '\'';
            pos_ += 2;
            continue;
          }
          ++pos_;
          break;
        }
        if (text_[pos_] == '\n') ++line_;
        raw += text_[pos_++];
      }
      if (quoted) *quoted = true;
      return Substitute(raw, token);
    }
    size_t start = pos_;
    while (pos_ < text_.size() && !std::isspace(static_cast<unsigned char>(text_[pos_])) &&
           text_[pos_] != '{' && text_[pos_] != '}' && text_[pos_] != '=' && text_[pos_] != '\'') {
      ++pos_;
    }
    return Substitute(text_.substr(start, pos_ - start), token);
  }

  static constexpr size_t kGuidLength = 38;  // {8-4-4-4-12}

  bool IsGuidAt(size_t at) const {
    if (text_.size() - at < kGuidLength) return false;
    for (size_t i = 0; i < kGuidLength; ++i) {
      char c = text_[at + i];
      bool ok = (i == 0) ? c == '{'
                : (i == 37) ? c == '}'
                : (i == 9 || i == 14 || i == 19 || i == 24) ? c == '-'
                : std::isxdigit(static_cast<unsigned char>(c)) != 0;
      if (!ok) return false;
    }
    return true;
  }

  void PushBack(const std::string& token, bool quoted) {
    pending_ = token;
    pendingQuoted_ = quoted;
    hasPending_ = true;
  }

  bool Expect(const char* what) {
    std::string t;
    bool quoted = false;
    if (!Next(&t, &quoted) || quoted || t != what) {
      if (error_.empty()) error_ = std::string("expected '") + what + "'";
      return false;
    }
    return true;
  }

  bool Substitute(const std::string& raw, std::string* out) {
    out->clear();
    for (size_t i = 0; i < raw.size(); ++i) {
      if (raw[i] != '%') {
        *out += raw[i];
        continue;
      }
      size_t end = raw.find('%', i + 1);
      if (end == std::string::npos) {
        error_ = "unterminated %marker%";
        return false;
      }
      std::string name = raw.substr(i + 1, end - i - 1);
      if (name.empty()) {
        *out += '%';
      } else {
        auto it = repl_.find(name);
        if (it == repl_.end()) {
          error_ = "unknown marker %" + name + "%";
          return false;
        }
        *out += it->second;
      }
      i = end;
    }
    return true;
  }

  // "= s 'text'": only string values are written by this component.
  bool ParseStringValue(std::string* value) {
    std::string type;
    bool quoted = false;
    if (!Next(&type, &quoted) || quoted || type != "s") {
      if (error_.empty()) error_ = "only string values (= s '...') are supported";
      return false;
    }
    if (!Next(value, &quoted) || !quoted) {
      if (error_.empty()) error_ = "expected a quoted value";
      return false;
    }
    return true;
  }

  // Keys (and, inside a key, named values) up to the closing brace.
  bool ParseBody(std::vector<Key>* keys, Key* owner) {
    for (;;) {
      std::string t;
      bool quoted = false;
      if (!Next(&t, &quoted)) {
        if (error_.empty()) error_ = "missing '}'";
        return false;
      }
      if (!quoted && t == "}") return true;
      if (!quoted && owner && (t == "val" || t == "Val")) {
        std::string name, value;
        if (!Next(&name) || !Expect("=") || !ParseStringValue(&value)) return false;
        owner->values.emplace_back(name, value);
        continue;
      }
      Key key;
      while (!quoted && (t == "NoRemove" || t == "ForceRemove")) {
        (t == "NoRemove" ? key.noRemove : key.forceRemove) = true;
        if (!Next(&t, &quoted)) {
          if (error_.empty()) error_ = "expected a key name";
          return false;
        }
      }
      if (!quoted && (t == "{" || t == "}" || t == "=")) {
        error_ = "expected a key name, found '" + t + "'";
        return false;
      }
      key.name = t;
      std::string after;
      bool afterQuoted = false;
      if (!Next(&after, &afterQuoted)) {
        if (error_.empty()) error_ = "missing '}'";
        return false;
      }
      if (!afterQuoted && after == "=") {
        std::string value;
        if (!ParseStringValue(&value)) return false;
        key.defaultValue = value;
        if (!Next(&after, &afterQuoted)) {
          if (error_.empty()) error_ = "missing '}'";
          return false;
        }
      }
      if (!afterQuoted && after == "{") {
        if (!ParseBody(&key.children, &key)) return false;
      } else {
        PushBack(after, afterQuoted);
      }
      keys->push_back(std::move(key));
    }
  }

  const std::string& text_;
  const std::map<std::string, std::string>& repl_;
  size_t pos_ = 0;
  int line_ = 1;
  std::string error_;
  std::string pending_;
  bool pendingQuoted_ = false;
  bool hasPending_ = false;
};

}  // namespace

ParseResult Parse(const std::string& text, const std::map<std::string, std::string>& replacements) {
  return Parser(text, replacements).Run();
}

}  // namespace velmora::rgs
