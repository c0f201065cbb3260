// The version the packages write into their File table, read from a PE
// file's version resource: both header layouts, and damaged files refused.
#include "registration/FileVersion.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace velmora::package {
namespace {

void Put(std::string& s, size_t at, uint32_t value, int bytes) {
  for (int i = 0; i < bytes; ++i) s[at + i] = static_cast<char>(value >> (8 * i));
}

// A one-section image whose resources hold one entry of `type`: a
// VS_VERSIONINFO for 1.2.3.4 (as a linker lays it out).
std::string Image(bool pe32plus, uint32_t type) {
  std::string s(0x300, '\0');
  s[0] = 'M', s[1] = 'Z';
  Put(s, 0x3C, 0x40, 4);
  s.replace(0x40, 4, std::string("PE\0\0", 4));
  const size_t coff = 0x44, optional = coff + 20, optionalSize = pe32plus ? 240 : 224;
  const size_t directories = optional + (pe32plus ? 112 : 96);
  Put(s, coff + 2, 1, 2);
  Put(s, coff + 16, optionalSize, 2);
  Put(s, optional, pe32plus ? 0x20b : 0x10b, 2);
  Put(s, directories - 4, 16, 4);
  Put(s, directories + 16, 0x1000, 4);  // resources at RVA 0x1000
  const size_t section = optional + optionalSize;
  Put(s, section + 12, 0x1000, 4);
  Put(s, section + 16, 0x100, 4);
  Put(s, section + 20, 0x200, 4);
  // Type, name and language directories, each with one entry.
  const size_t rsrc = 0x200;
  const uint32_t ids[] = {type, 1, 0x409};
  for (int level = 0; level < 3; ++level) {
    const size_t dir = rsrc + 0x18 * level;
    Put(s, dir + 14, 1, 2);
    Put(s, dir + 16, ids[level], 4);
    Put(s, dir + 20, level < 2 ? (0x18 * (level + 1)) | 0x80000000u : 0x48, 4);
  }
  Put(s, rsrc + 0x48, 0x1000 + 0x58, 4);
  Put(s, rsrc + 0x4C, 92, 4);
  const size_t info = rsrc + 0x58;
  Put(s, info, 92, 2);
  Put(s, info + 2, 52, 2);
  const std::string key = "VS_VERSION_INFO";
  for (size_t i = 0; i < key.size(); ++i) s[info + 6 + 2 * i] = key[i];
  Put(s, info + 40, 0xFEEF04BD, 4);
  Put(s, info + 48, 0x00010002, 4);
  Put(s, info + 52, 0x00030004, 4);
  return s;
}

TEST(PackageFileVersion, ReadsTheFixedFileVersion) {
  const struct {
    const char* what;
    std::string image;
    const char* version;  // nullptr: refused
  } cases[] = {
      {"PE32", Image(false, 16), "1.2.3.4"},
      {"PE32+", Image(true, 16), "1.2.3.4"},
      {"no version resource", Image(true, 3), nullptr},
      {"cut short inside the resource", Image(true, 16).substr(0, 0x284), nullptr},
      {"not a PE file", std::string("MZ") + std::string(0x100, '\0'), nullptr},
  };
  for (const auto& c : cases) {
    FileVersionResult r = ReadFileVersion(c.image);
    if (c.version) {
      EXPECT_EQ(c.version, r.version.value_or(r.error)) << c.what;
    } else {
      EXPECT_FALSE(r.version) << c.what;
      EXPECT_FALSE(r.error.empty()) << c.what;
    }
  }
}

}  // namespace
}  // namespace velmora::package
