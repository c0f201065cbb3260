// The file version in a Windows DLL's version resource, read on the build
// host: the installer packages carry it in their File table so that Windows
// Installer compares our DLLs by version with a copy already on disk.
#pragma once

#include <optional>
#include <string>

namespace velmora::package {

struct FileVersionResult {
  std::optional<std::string> version;  // "major.minor.build.revision"
  std::string error;
};

// `image` is the whole file, PE32 or PE32+.
FileVersionResult ReadFileVersion(const std::string& image);

}  // namespace velmora::package
