// The class definitions and registrations the CIMOM reads for this library's providers agree
// with what the providers serve.
#include <gtest/gtest.h>

#include <cimxml/mof.h>

#include <fstream>
#include <map>
#include <sstream>
#include <string>

namespace {

std::map<std::string, std::string> Registration(const std::string &path, std::string *section) {
  std::ifstream in(path);
  std::map<std::string, std::string> fields;
  std::string line;
  while (std::getline(in, line)) {
    const size_t a = line.find_first_not_of(" \t");
    if (a == std::string::npos) continue;
    line = line.substr(a);
    if (line[0] == '[') {
      *section = line.substr(1, line.find(']') - 1);
    } else if (line.find(':') != std::string::npos) {
      const size_t colon = line.find(':');
      const size_t v = line.find_first_not_of(" \t", colon + 1);
      fields[line.substr(0, colon)] = v == std::string::npos ? "" : line.substr(v);
    }
  }
  return fields;
}

TEST(ClassDefinitions, EachClassHasItsKeyAndValueAndIsRegisteredForItsProvider) {
  struct Expect {
    const char *cls, *key, *value, *provider;
  };
  for (const Expect &e : {Expect{"QelvoSG_SmbiosInfo", "SmbiosID", "SmbiosRawData", "SmbiosInfoProvider"},
                          Expect{"QelvoSG_BMCElement", "BmcID", "BmcVersion", "BMCVersionProvider"},
                          Expect{"QelvoSG_DiagnosticVPD", "PDraviID", "PDraviVersion", "PDraviVersionProvider"},
                          Expect{"QelvoSG_SystemBIOSElement", "BIOSID", "BIOSVersion", "BiosVersionProvider"}}) {
    SCOPED_TRACE(e.cls);
    const std::string base = std::string(QELVO_MOF_DIR) + "/" + e.cls;
    const cimxml::MofFile mof = cimxml::parse_mof_file(base + ".mof");
    const cimxml::ClassDecl *cls = mof.find_class(e.cls);
    ASSERT_NE(nullptr, cls);
    EXPECT_EQ((std::vector<std::string>{e.key}), cls->key_names());
    ASSERT_NE(nullptr, cls->property(e.value));
    EXPECT_EQ(cimxml::CimType::String, cls->property(e.value)->type);
    EXPECT_EQ(cimxml::CimType::String, cls->property(e.key)->type);

    std::string section;
    auto reg = Registration(base + ".reg", &section);
    EXPECT_EQ(e.cls, section);
    EXPECT_EQ(e.provider, reg["provider"]);
    EXPECT_EQ("fwinfo", reg["location"]);
    EXPECT_EQ("instance", reg["type"]);
    EXPECT_EQ("root/qelvosd", reg["namespace"]);
  }
}

}  // namespace
