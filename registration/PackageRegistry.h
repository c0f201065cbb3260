// The registry rows an installer package writes for one copy of the DLL:
// the registrar scripts' entries and what the type-library registration
// writes, as plain rows, so a package and self-registration cannot disagree.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "registration/RgsScript.h"

namespace velmora::package {

// One Windows Installer registry row. `name` empty is the default value;
// "*" with an empty value creates the key and deletes its subtree on
// removal; "+" creates the key and leaves it to whoever fills it.
struct Row {
  std::string root;  // "HKCR" or "HKLM"
  std::string key;
  std::string name;
  std::string value;  // literal text, or a reference as given by the caller
};

struct Interface {
  std::string iid;   // {...}
  std::string name;
  bool dispatchOnly = false;  // a dispinterface, not a dual one
};

// What the type-library registration writes, read from the IDL the type
// library is compiled from.
struct TypeLibFacts {
  std::string libid;  // {...}
  int major = 0, minor = 0;
  unsigned lcid = 0;
  std::string helpString;
  std::vector<Interface> interfaces;  // dual, oleautomation and dispatch ones only
};

struct IdlResult {
  std::optional<TypeLibFacts> facts;
  std::string error;
};
IdlResult ReadTypeLibFacts(const std::string& idl);

// Where the copy is and which registry entries it owns. With `besideOther`
// this copy sits beside the other bitness's build, which writes the
// entries both share (ProgIDs, AppID, the type library's version key);
// this one writes only its own view's class and interfaces and its
// platform subkey, as self-registration removes only those.
struct Copy {
  std::string fileRef;      // the DLL's path, e.g. "[#dll64]"
  std::string folderRef;    // its folder with a trailing separator, e.g. "[INSTALLDIR]"
  std::string platform;     // "win32" or "win64"
  bool besideOther = false;
};

std::vector<Row> ScriptRows(const rgs::Script& script, bool besideOther);
std::vector<Row> TypeLibRows(const TypeLibFacts& facts, const Copy& copy);
// The key under which the control keeps its settings; it only opens it.
Row SettingsKeyRow();

}  // namespace velmora::package
