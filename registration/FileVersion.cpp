#include "registration/FileVersion.h"

#include <cstdint>

namespace velmora::package {
namespace {

constexpr uint32_t kVersionType = 16;  // RT_VERSION
constexpr uint32_t kFixedInfoSignature = 0xFEEF04BD;
constexpr uint32_t kSubdirectory = 0x80000000;

// Little-endian reads that fail, rather than run off the end, on a
// truncated or hostile file.
class Image {
 public:
  explicit Image(const std::string& bytes) : bytes_(bytes) {}

  bool U16(uint64_t at, uint32_t* out) const {
    if (at + 2 > bytes_.size()) return false;
    *out = Byte(at) | Byte(at + 1) << 8;
    return true;
  }
  bool U32(uint64_t at, uint32_t* out) const {
    if (at + 4 > bytes_.size()) return false;
    *out = Byte(at) | Byte(at + 1) << 8 | Byte(at + 2) << 16 | static_cast<uint32_t>(Byte(at + 3)) << 24;
    return true;
  }
  bool Matches(uint64_t at, const char* text, size_t size) const {
    return at + size <= bytes_.size() && bytes_.compare(at, size, text, size) == 0;
  }

 private:
  uint32_t Byte(uint64_t at) const { return static_cast<unsigned char>(bytes_[at]); }
  const std::string& bytes_;
};

struct Section {
  uint32_t address, rawSize, rawOffset;
};

FileVersionResult Fail(const std::string& why) { return {std::nullopt, why}; }

}  // namespace

FileVersionResult ReadFileVersion(const std::string& bytes) {
  const Image image(bytes);
  uint32_t pe = 0, sections = 0, optionalSize = 0, magic = 0;
  if (!image.Matches(0, "MZ", 2) || !image.U32(0x3C, &pe) || !image.Matches(pe, "PE\0\0", 4)) {
    return Fail("not a PE file");
  }
  const uint64_t coff = pe + 4, optional = coff + 20;
  if (!image.U16(coff + 2, &sections) || !image.U16(coff + 16, &optionalSize) || !image.U16(optional, &magic)) {
    return Fail("truncated headers");
  }
  // The data directories follow the fields that differ between PE32 and PE32+.
  uint64_t directories = 0;
  if (magic == 0x10b) directories = optional + 96;
  else if (magic == 0x20b) directories = optional + 112;
  else return Fail("unknown optional header");
  uint32_t directoryCount = 0, resources = 0;
  if (!image.U32(directories - 4, &directoryCount) || directoryCount < 3 || directories + 24 > optional + optionalSize ||
      !image.U32(directories + 16, &resources) || resources == 0) {
    return Fail("no resources");
  }

  auto offsetOf = [&](uint64_t rva, uint64_t size, uint64_t* offset) {
    for (uint32_t i = 0; i < sections; ++i) {
      const uint64_t header = optional + optionalSize + 40ull * i;
      Section s{};
      if (!image.U32(header + 12, &s.address) || !image.U32(header + 16, &s.rawSize) ||
          !image.U32(header + 20, &s.rawOffset)) {
        return false;
      }
      if (rva >= s.address && rva + size <= uint64_t{s.address} + s.rawSize) {
        *offset = s.rawOffset + (rva - s.address);
        return true;
      }
    }
    return false;
  };
  uint64_t root = 0;
  if (!offsetOf(resources, 16, &root)) return Fail("resource directory outside the sections");

  // Type RT_VERSION, then its first name and first language.
  uint64_t directory = root;
  uint32_t entry = 0;
  for (int level = 0; level < 3; ++level) {
    uint32_t named = 0, ids = 0;
    if (!image.U16(directory + 12, &named) || !image.U16(directory + 14, &ids)) return Fail("truncated resources");
    bool found = false;
    for (uint32_t i = 0; i < named + ids && !found; ++i) {
      uint32_t name = 0;
      const uint64_t at = directory + 16 + 8ull * i;
      if (!image.U32(at, &name) || !image.U32(at + 4, &entry)) return Fail("truncated resources");
      found = level > 0 || name == kVersionType;
    }
    if (!found) return Fail("no version resource");
    const bool subdirectory = (entry & kSubdirectory) != 0;
    if (subdirectory != (level < 2)) return Fail("malformed resource directory");
    directory = root + (entry & ~kSubdirectory);
  }
  uint32_t dataRva = 0, dataSize = 0;
  uint64_t data = 0;
  if (!image.U32(directory, &dataRva) || !image.U32(directory + 4, &dataSize) || !offsetOf(dataRva, dataSize, &data)) {
    return Fail("version resource outside the sections");
  }

  // VS_VERSIONINFO: three words, the key in UTF-16, padding to a 32-bit
  // boundary, then VS_FIXEDFILEINFO.
  // The literal's own terminator completes the key's 16-bit one.
  static const char kKey[] = "V\0S\0_\0V\0E\0R\0S\0I\0O\0N\0_\0I\0N\0F\0O\0\0";
  constexpr uint64_t kFixedInfo = 40;
  uint32_t valueSize = 0, signature = 0, high = 0, low = 0;
  if (dataSize < kFixedInfo + 16 || !image.Matches(data + 6, kKey, sizeof kKey) ||
      !image.U16(data + 2, &valueSize) || valueSize < 16 || !image.U32(data + kFixedInfo, &signature) ||
      signature != kFixedInfoSignature || !image.U32(data + kFixedInfo + 8, &high) ||
      !image.U32(data + kFixedInfo + 12, &low)) {
    return Fail("malformed version resource");
  }
  return {std::to_string(high >> 16) + "." + std::to_string(high & 0xFFFF) + "." + std::to_string(low >> 16) + "." +
              std::to_string(low & 0xFFFF),
          {}};
}

}  // namespace velmora::package
