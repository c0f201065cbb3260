// Registrar scripts: the brace-nested registry description embedded in the
// DLL. Parsing is portable; applying it to the registry is the Win32 part.
#pragma once

#include <map>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace velmora::rgs {

struct Key {
  std::string name;
  bool noRemove = false;     // never deleted on unregistration
  bool forceRemove = false;  // deleted with its subtree before it is written, and on removal
  std::optional<std::string> defaultValue;
  std::vector<std::pair<std::string, std::string>> values;  // named REG_SZ values
  std::vector<Key> children;
};

struct Script {
  std::string root;  // e.g. "HKCR"
  std::vector<Key> keys;
};

struct ParseResult {
  std::optional<Script> script;
  std::string error;  // with a 1-based line number, when script is empty
};

// Texts are UTF-8. Each %NAME% marker found in `replacements` is replaced in
// keys and values; "%%" stands for a single "%".
ParseResult Parse(const std::string& text, const std::map<std::string, std::string>& replacements);

}  // namespace velmora::rgs
