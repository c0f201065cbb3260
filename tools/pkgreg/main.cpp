// velmora-pkgreg: the registry entries of one copy of the DLL as a WiX
// include of RegistryValue elements, for the component that installs it.
//   velmora-pkgreg --idl FILE --platform win32|win64 --file FILE_ID
//                  --folder DIR_ID [--beside-other] --id-prefix P
//                  --output OUT.wxi SCRIPT.rgs...
// The settings key's row is named P + "settings", for the package's table
// of permissions to name it.
//   velmora-pkgreg --file-version DLL
// prints the file version of the DLL's version resource, for the package's
// File table.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "registration/AppId.h"
#include "registration/FileVersion.h"
#include "registration/PackageRegistry.h"
#include "registration/RgsScript.h"

namespace {

bool ReadFile(const std::string& path, std::string* text) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::ostringstream buffer;
  buffer << in.rdbuf();
  *text = buffer.str();
  return true;
}

// Registry keys and values are formatted text to the installer: brackets
// would be read as references, and a leading '#' as a number.
std::string Literal(const std::string& text) {
  std::string out = !text.empty() && text[0] == '#' ? "#" : "";
  for (char c : text) {
    if (c == '[') out += "[\\[]";
    else if (c == ']') out += "[\\]]";
    else out += c;
  }
  return out;
}

// Stand-ins for the installer references while the rest of a text is
// made literal.
constexpr char kFileMark[] = "\x01" "F" "\x01";
constexpr char kFolderMark[] = "\x01" "D" "\x01";

std::string Replace(std::string text, const std::string& what, const std::string& with) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size())) {
    text.replace(at, what.size(), with);
  }
  return text;
}

std::string Xml(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      default: out += c;
    }
  }
  return out;
}

int Fail(const std::string& what) {
  std::cerr << "velmora-pkgreg: " << what << "\n";
  return 1;
}

int PrintFileVersion(const std::string& path) {
  std::string image;
  if (!ReadFile(path, &image)) return Fail("cannot read " + path);
  velmora::package::FileVersionResult read = velmora::package::ReadFileVersion(image);
  if (!read.version) return Fail(path + ": " + read.error);
  std::cout << *read.version << "\n";
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--file-version") return PrintFileVersion(argv[2]);
  std::string idlPath, platform, fileId, folderId, idPrefix, outPath;
  bool besideOther = false;
  std::vector<std::string> scripts;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    auto value = [&](std::string* into) {
      if (i + 1 >= argc) return false;
      *into = argv[++i];
      return true;
    };
    bool ok = true;
    if (arg == "--idl") ok = value(&idlPath);
    else if (arg == "--platform") ok = value(&platform);
    else if (arg == "--file") ok = value(&fileId);
    else if (arg == "--folder") ok = value(&folderId);
    else if (arg == "--id-prefix") ok = value(&idPrefix);
    else if (arg == "--output") ok = value(&outPath);
    else if (arg == "--beside-other") besideOther = true;
    else if (arg.rfind("--", 0) == 0) ok = false;
    else scripts.push_back(arg);
    if (!ok) return Fail("bad argument " + arg);
  }
  if (idlPath.empty() || (platform != "win32" && platform != "win64") || fileId.empty() || folderId.empty() ||
      idPrefix.empty() || outPath.empty() || scripts.empty()) {
    return Fail("usage: --idl FILE --platform win32|win64 --file ID --folder ID [--beside-other] "
                "--id-prefix P --output OUT SCRIPT...");
  }

  const velmora::package::Copy copy{kFileMark, kFolderMark, platform, besideOther};
  auto formatted = [&](const std::string& text) {
    return Replace(Replace(Literal(text), kFileMark, "[#" + fileId + "]"), kFolderMark, "[" + folderId + "]");
  };
  std::vector<velmora::package::Row> rows;
  // Self-registration runs the AppID script, then the class script, with
  // the module path and the AppID put in for the markers.
  for (const std::string& path : scripts) {
    std::string text;
    if (!ReadFile(path, &text)) return Fail("cannot read " + path);
    velmora::rgs::ParseResult parsed =
        velmora::rgs::Parse(text, {{"MODULE", copy.fileRef}, {"APPID", velmora::kAppId}});
    if (!parsed.script) return Fail(path + ": " + parsed.error);
    for (auto& row : velmora::package::ScriptRows(*parsed.script, besideOther)) rows.push_back(row);
  }
  std::string idl;
  if (!ReadFile(idlPath, &idl)) return Fail("cannot read " + idlPath);
  velmora::package::IdlResult facts = velmora::package::ReadTypeLibFacts(idl);
  if (!facts.facts) return Fail(idlPath + ": " + facts.error);
  for (auto& row : velmora::package::TypeLibRows(*facts.facts, copy)) rows.push_back(row);
  rows.push_back(velmora::package::SettingsKeyRow());
  const size_t settingsRow = rows.size() - 1;

  std::ostringstream out;
  out << "<?xml version=\"1.0\" encoding=\"utf-8\"?>\n"
      << "<!-- Generated by velmora-pkgreg from the registrar scripts and the IDL. -->\n<Include>\n";
  for (size_t i = 0; i < rows.size(); ++i) {
    const velmora::package::Row& row = rows[i];
    for (const std::string* text : {&row.key, &row.name, &row.value}) {
      if (text->find('$') != std::string::npos) return Fail("'$' in registry text: " + *text);
    }
    const std::string id = i == settingsRow ? "settings" : std::to_string(i);
    out << "  <RegistryValue Id=\"" << idPrefix << id << "\" Root=\"" << row.root << "\" Key=\""
        << Xml(formatted(row.key)) << "\"";
    if (!row.name.empty()) {
      const bool keyMarker = row.name == "*" || row.name == "+";
      out << " Name=\"" << Xml(keyMarker ? row.name : formatted(row.name)) << "\"";
    }
    out << " Type=\"string\" Value=\"" << Xml(formatted(row.value)) << "\"/>\n";
  }
  out << "</Include>\n";

  std::ofstream file(outPath, std::ios::binary | std::ios::trunc);
  file << out.str();
  if (!file.flush()) return Fail("cannot write " + outPath);
  return 0;
}
