// The installer packages' registry rows, made from the same scripts and IDL
// as the DLL: what a copy beside the other build leaves to it, and how the
// keys that self-registration deletes whole are marked.
#include "registration/PackageRegistry.h"

#include <gtest/gtest.h>

#include <fstream>
#include <set>
#include <sstream>

namespace velmora::package {
namespace {

constexpr char kLibId[] = "{7B5EBE0A-22F7-4F31-B259-854E16051A11}";
constexpr char kClassKey[] = "CLSID\\{6F8CE04A-2B73-4FC3-BD65-271617EBF709}";

std::string ReadSource(const char* relative) {
  std::ifstream in(std::string(VELMORA_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<Row> AllRows(bool besideOther) {
  std::vector<Row> rows;
  for (const char* script : {"resources/VelmoraApp.rgs", "resources/VelmoraCtl.rgs"}) {
    rgs::ParseResult parsed = rgs::Parse(ReadSource(script), {{"MODULE", "[#dll]"}, {"APPID", "{APP}"}});
    EXPECT_TRUE(parsed.script) << parsed.error;
    if (!parsed.script) continue;
    for (const Row& row : ScriptRows(*parsed.script, besideOther)) rows.push_back(row);
  }
  IdlResult facts = ReadTypeLibFacts(ReadSource("resources/velmora.idl"));
  EXPECT_TRUE(facts.facts) << facts.error;
  if (facts.facts) {
    for (const Row& row : TypeLibRows(*facts.facts, {"[#dll]", "[DIR]", "win32", besideOther})) rows.push_back(row);
  }
  return rows;
}

std::set<std::string> Described(const std::vector<Row>& rows) {
  std::set<std::string> out;
  for (const Row& r : rows) out.insert(r.root + ":" + r.key + "|" + r.name + "=" + r.value);
  return out;
}

TEST(PackageRegistry, TypeLibFactsComeFromTheLibraryAndItsAutomationInterfaces) {
  IdlResult r = ReadTypeLibFacts(ReadSource("resources/velmora.idl"));
  ASSERT_TRUE(r.facts) << r.error;
  EXPECT_EQ(kLibId, r.facts->libid);
  EXPECT_EQ(1, r.facts->major);
  EXPECT_EQ(0, r.facts->minor);
  EXPECT_EQ(0x409u, r.facts->lcid);
  EXPECT_EQ("Velmora 1.0 Type Library", r.facts->helpString);
  // The coclass's "[default] interface ..." references are not declarations.
  ASSERT_EQ(2u, r.facts->interfaces.size());
  EXPECT_EQ("{D1FD56F4-8860-4CFB-A96D-0049BFD33F98}", r.facts->interfaces[0].iid);
  EXPECT_EQ("IVelmoraCtl", r.facts->interfaces[0].name);
  EXPECT_FALSE(r.facts->interfaces[0].dispatchOnly);
  EXPECT_EQ("_IVelmoraCtlEvents", r.facts->interfaces[1].name);
  EXPECT_TRUE(r.facts->interfaces[1].dispatchOnly);
}

TEST(PackageRegistry, BrokenIdlIsRefusedWithAReason) {
  const struct {
    const char* idl;
    const char* error;
  } cases[] = {
      {"[uuid(D1FD56F4-8860-4CFB-A96D-0049BFD33F98), dual] interface I : IDispatch {};", "no library"},
      {"[uuid(7B5EBE0A-22F7-4F31-B259-854E16051A11)] library L {};", "no version"},
      {"[uuid(7B5EBE0A-22F7-4F31-B259-854E16051A1), version(1.0)] library L {};", "malformed uuid"},
      {"[uuid(7B5EBE0A-22F7-4F31-B259-854E16051A11), version(1.0)] library L {};\n"
       "[uuid(7B5EBE0A-22F7-4F31-B259-854E16051A12), version(1.0)] library M {};", "more than one library"},
  };
  for (const auto& c : cases) {
    IdlResult r = ReadTypeLibFacts(c.idl);
    EXPECT_FALSE(r.facts) << c.idl;
    EXPECT_NE(std::string::npos, r.error.find(c.error)) << r.error;
  }
}

TEST(PackageRegistry, ACopyOnItsOwnWritesWhatSelfRegistrationWrites) {
  std::set<std::string> rows = Described(AllRows(false));
  const std::string lib = std::string("HKCR:TypeLib\\") + kLibId + "\\1.0";
  for (const std::string& expected : {
           std::string("HKCR:AppID\\{APP}|=Velmora"),
           std::string("HKCR:AppID\\Velmora.DLL|AppID={APP}"),
           std::string("HKCR:Velmora.VelmoraCtrl\\CurVer|=Velmora.VelmoraCtrl.1"),
           // Deleted with its subtree on removal, as the script's ForceRemove.
           std::string("HKCR:") + kClassKey + "|*=",
           std::string("HKCR:") + kClassKey + "\\Programmable|*=",
           std::string("HKCR:") + kClassKey + "\\InprocServer32|=[#dll]",
           std::string("HKCR:") + kClassKey + "\\InprocServer32|ThreadingModel=Apartment",
           lib + "|=Velmora 1.0 Type Library",
           lib + "\\HELPDIR|=[DIR]",
           lib + "\\409\\win32|=[#dll]",
           std::string("HKCR:Interface\\{D1FD56F4-8860-4CFB-A96D-0049BFD33F98}\\ProxyStubClsid32|="
                       "{00020424-0000-0000-C000-000000000046}"),
           std::string("HKCR:Interface\\{FD9E7D55-B149-460D-A397-1AE7D5C16B9C}\\ProxyStubClsid32|="
                       "{00020420-0000-0000-C000-000000000046}"),
       }) {
    EXPECT_EQ(1u, rows.count(expected)) << expected;
  }
  // Keys that are never removed get no row of their own.
  for (const Row& r : AllRows(false)) {
    EXPECT_NE("AppID", r.key);
    EXPECT_NE("CLSID", r.key);
  }
}

TEST(PackageRegistry, ACopyBesideTheOtherBuildWritesOnlyItsOwnViewAndPlatform) {
  for (const Row& r : AllRows(true)) {
    const bool own = r.key.rfind(kClassKey, 0) == 0 || r.key.rfind("Interface\\", 0) == 0 ||
                     r.key == std::string("TypeLib\\") + kLibId + "\\1.0\\409\\win32";
    EXPECT_TRUE(own) << r.key;
  }
  std::set<std::string> alone = Described(AllRows(false)), beside = Described(AllRows(true));
  EXPECT_EQ(1u, beside.count(std::string("HKCR:") + kClassKey + "\\InprocServer32|=[#dll]"));
  EXPECT_EQ(alone.size() - 10, beside.size());  // 7 ProgID and AppID rows, 3 of the library's version key
}

}  // namespace
}  // namespace velmora::package
