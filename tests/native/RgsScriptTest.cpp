// Registrar scripts as embedded in the DLL: they must parse to exactly the
// keys and values the registry is to receive.
#include "registration/RgsScript.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace velmora::rgs {
namespace {

const std::map<std::string, std::string> kMarkers = {{"MODULE", "C:\\dir\\velmora.dll"},
                                                     {"APPID", "{3726D7AF-4014-4B19-A3B0-18B70FB633F4}"}};

std::string ReadSource(const char* relative) {
  std::ifstream in(std::string(VELMORA_SOURCE_DIR) + "/" + relative, std::ios::binary);
  std::stringstream s;
  s << in.rdbuf();
  return s.str();
}

const Key* Child(const std::vector<Key>& keys, const std::string& name) {
  for (const Key& k : keys) {
    if (k.name == name) return &k;
  }
  return nullptr;
}

TEST(RgsScript, ClassScriptGivesTheClassAndProgIdKeys) {
  ParseResult r = Parse(ReadSource("resources/VelmoraCtl.rgs"), kMarkers);
  ASSERT_TRUE(r.script) << r.error;
  EXPECT_EQ("HKCR", r.script->root);
  ASSERT_EQ(3u, r.script->keys.size());

  const Key* progId = Child(r.script->keys, "Velmora.VelmoraCtrl.1");
  ASSERT_TRUE(progId);
  EXPECT_EQ("VelmoraCtrl Class", progId->defaultValue.value_or(""));
  ASSERT_TRUE(Child(progId->children, "CLSID"));
  EXPECT_EQ("{6F8CE04A-2B73-4FC3-BD65-271617EBF709}", Child(progId->children, "CLSID")->defaultValue.value_or(""));

  const Key* independent = Child(r.script->keys, "Velmora.VelmoraCtrl");
  ASSERT_TRUE(independent);
  EXPECT_EQ("Velmora.VelmoraCtrl.1", Child(independent->children, "CurVer")->defaultValue.value_or(""));

  const Key* clsidRoot = Child(r.script->keys, "CLSID");
  ASSERT_TRUE(clsidRoot);
  EXPECT_TRUE(clsidRoot->noRemove);
  const Key* clsid = Child(clsidRoot->children, "{6F8CE04A-2B73-4FC3-BD65-271617EBF709}");
  ASSERT_TRUE(clsid);
  EXPECT_TRUE(clsid->forceRemove);
  EXPECT_EQ("VelmoraCtrl Class", clsid->defaultValue.value_or(""));
  ASSERT_EQ(1u, clsid->values.size());
  EXPECT_EQ("AppID", clsid->values[0].first);
  EXPECT_EQ("{3726D7AF-4014-4B19-A3B0-18B70FB633F4}", clsid->values[0].second);

  const Key* server = Child(clsid->children, "InprocServer32");
  ASSERT_TRUE(server);
  EXPECT_EQ("C:\\dir\\velmora.dll", server->defaultValue.value_or(""));
  ASSERT_EQ(1u, server->values.size());
  EXPECT_EQ("ThreadingModel", server->values[0].first);
  EXPECT_EQ("Apartment", server->values[0].second);

  const Key* programmable = Child(clsid->children, "Programmable");
  ASSERT_TRUE(programmable);
  EXPECT_FALSE(programmable->defaultValue);
  EXPECT_EQ("{7B5EBE0A-22F7-4F31-B259-854E16051A11}",
            Child(clsid->children, "TypeLib")->defaultValue.value_or(""));
  EXPECT_EQ(5u, clsid->children.size()) << "ProgID, VersionIndependentProgID, Programmable, InprocServer32, TypeLib";
}

TEST(RgsScript, AppIdScriptKeepsTheSharedParent) {
  ParseResult r = Parse(ReadSource("resources/VelmoraApp.rgs"), kMarkers);
  ASSERT_TRUE(r.script) << r.error;
  ASSERT_EQ(1u, r.script->keys.size());
  const Key& appIdRoot = r.script->keys[0];
  EXPECT_EQ("AppID", appIdRoot.name);
  EXPECT_TRUE(appIdRoot.noRemove);
  const Key* appId = Child(appIdRoot.children, "{3726D7AF-4014-4B19-A3B0-18B70FB633F4}");
  ASSERT_TRUE(appId);
  EXPECT_EQ("Velmora", appId->defaultValue.value_or(""));
  const Key* dll = Child(appIdRoot.children, "Velmora.DLL");
  ASSERT_TRUE(dll);
  ASSERT_EQ(1u, dll->values.size());
  EXPECT_EQ("{3726D7AF-4014-4B19-A3B0-18B70FB633F4}", dll->values[0].second);
}

TEST(RgsScript, QuotingAndMarkers) {
  ParseResult r = Parse("HKCR { 'it''s' = s '100%% %MODULE%' { val 'a b' = s '' } }", kMarkers);
  ASSERT_TRUE(r.script) << r.error;
  const Key& k = r.script->keys.at(0);
  EXPECT_EQ("it's", k.name);
  EXPECT_EQ("100% C:\\dir\\velmora.dll", k.defaultValue.value_or(""));
  ASSERT_EQ(1u, k.values.size());
  EXPECT_EQ("a b", k.values[0].first);
  EXPECT_EQ("", k.values[0].second);
}

TEST(RgsScript, BrokenScriptsAreRefusedWithALine) {
  const char* broken[] = {
      "HKCR { a = s 'x' ",               // missing brace
      "HKCR { a = d '1' }",              // non-string value
      "HKCR { a = s 'unterminated }",    // open quote
      "HKCR { a = s '%NOPE%' }",         // unknown marker
      "HKCR { ForceRemove }",            // no key name
      "HKCR { } extra",                  // trailing text
      "HKCR { {6F8CE04A-2B73-4FC3 } }",  // brace that is no GUID
  };
  for (const char* text : broken) {
    ParseResult r = Parse(text, kMarkers);
    EXPECT_FALSE(r.script) << text;
    EXPECT_NE(std::string::npos, r.error.find("line 1")) << text << " -> " << r.error;
  }
  ParseResult multi = Parse("HKCR\n{\n  a = s 'x'\n  b = q\n}\n", kMarkers);
  EXPECT_NE(std::string::npos, multi.error.find("line 4")) << multi.error;
}

}  // namespace
}  // namespace velmora::rgs
