// The controller CIMOM's instance store: the shipped classes and instances load for both
// generations, and a faulty instance file is refused with its place and reason.
#include "instance_store.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <sstream>

namespace {

using tavikstore::Store;

std::string Read(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

std::string Replace(std::string text, const std::string& what, const std::string& with) {
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + with.size()))
    text.replace(at, what.size(), with);
  return text;
}

// An instance file as tavik-nodes prepares it for node 1.
Store::Text Node1(const std::string& name) {
  std::string t = Read(std::string(TAVIK_CIMOM_DIR) + "/instances/" + name);
  t = Replace(Replace(Replace(t, "@NODE@", "1"), "@ADDRESS@", "169.254.96.118"), "@FIRMWARE@", "3.05");
  return {name, t};
}

TEST(InstanceStore, ShippedInstancesLoadForBothGenerations) {
  const Store::Text schema = {"tavik.mof", Read(std::string(TAVIK_CIMOM_DIR) + "/schema/tavik.mof")};
  for (const char* gen : {"gen1.mof", "gen2.mof"}) {
    SCOPED_TRACE(gen);
    Store store;
    std::string error;
    ASSERT_TRUE(store.LoadTexts({schema}, {Node1("common.mof"), Node1(gen)}, &error)) << error;
    std::vector<std::string> versions;
    store.Enumerate("root/cimv2", "CIM_SoftwareIdentity", [&](const CMPIInstance* i) {
      CMPIData d = i->ft->getProperty(i, "VersionString", nullptr);
      versions.push_back(d.value.string->ft->getCharPtr(d.value.string, nullptr));
    });
    EXPECT_NE(versions.end(), std::find(versions.begin(), versions.end(), "3.05")) << "the node's firmware";
    int namespaces = 0;
    store.Enumerate("root/interop", "CIM_Namespace", [&](const CMPIInstance*) { ++namespaces; });
    EXPECT_EQ(2, namespaces);
  }
}

TEST(InstanceStore, FaultyInstanceFilesAreRefusedWithTheirPlace) {
  const Store::Text schema = {"classes.mof",
                              "class T_Thing { [Key] string Name; uint8 Level; string Tags[]; };\n"
                              "[Association] class T_Link { [Key] T_Thing REF A; [Key] T_Thing REF B; };\n"};
  struct Case {
    const char* text;
    const char* error;  // part of the message
  } cases[] = {
      {"instance of T_Thing { Name = \"a\"; Level = 3; Tags = {\"x\", \"y\"}; };", ""},
      {"instance of T_Nothing { Name = \"a\"; };", "f.mof:1: no class T_Nothing"},
      {"\n\ninstance of T_Thing { Name = \"a\"; Colour = 3; };", "f.mof:3: class T_Thing has no property Colour"},
      {"instance of T_Thing { Name = \"a\"; Level = 300; };", "T_Thing.Level"},
      {"instance of T_Thing { Name = \"a\"; Tags = \"x\"; };", "Tags is an array"},
      {"instance of T_Thing { Level = 1; };", "Name"},
      {"instance of T_Thing { Name = \"a\"; };\ninstance of T_Thing { Name = \"a\"; };", "a second"},
      {"instance of T_Link { A = $Missing; B = $Missing; };", "unknown alias $Missing"},
      {"instance of T_Thing { Name = \"a\" }", "f.mof:1: expected ';'"},
      {"instance of T_Thing { Name = \"a; };", "unterminated string"},
      {"instance of T_Thing { Name = \"\\x0\"; };", "\\x0 is not a valid character"},
      {"class T_Other { };", "expected an instance declaration"},
      {"/* open", "unterminated comment"},
      {"instance of T_Thing as $A { Name = \"a\"; };\ninstance of T_Thing as $B { Name = \"b\"; };\n"
       "instance of T_Link { A = $A; B = $B; };",
       ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.text);
    Store store;
    std::string error;
    const bool ok = store.LoadTexts({schema}, {{"f.mof", c.text}}, &error);
    if (*c.error == '\0') {
      EXPECT_TRUE(ok) << error;
    } else {
      EXPECT_FALSE(ok);
      EXPECT_NE(std::string::npos, error.find(c.error)) << error;
    }
  }
}

}  // namespace
