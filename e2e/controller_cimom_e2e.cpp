// The controller's CIMOM as a host sees it through its LAN-over-USB link, with wbemcli and curl:
// the controller's software, accounts, HTTPS verified against the simulated host's authority,
// classes, associations and the interop namespace.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

#include "e2e_support.h"

namespace {

using e2e::Result;

std::string Env(const char* name) {
  const char* v = std::getenv(name);
  return v != nullptr ? v : "";
}

std::string Base(const std::string& scheme, const std::string& account) {
  return scheme + "://" + account + "@169.254.95.118:" + (scheme == "https" ? "5989" : "5988");
}

TEST(ControllerCimom, ServesTheControllersSoftwareToTheHost) {
  const std::string own = Env("SIMHOST_TAVIK_ACCOUNT"), fallback = Env("SIMHOST_TAVIK_DEFAULT_ACCOUNT");
  ASSERT_FALSE(own.empty()) << "simhost started no controller CIMOM";
  ASSERT_FALSE(fallback.empty());

  // The firmware the CIMOM shows is the one the controller reports over IPMI.
  const Result mc = e2e::Run({"ipmitool", "-I", "open", "mc", "info"});
  ASSERT_EQ(mc.status, 0) << mc.Describe();
  const size_t at = mc.out.find("Firmware Revision");
  ASSERT_NE(at, std::string::npos) << mc.out;
  std::string revision = mc.out.substr(mc.out.find(':', at) + 1);
  revision = revision.substr(revision.find_first_not_of(' '));
  revision = revision.substr(0, revision.find('\n'));

  Result r = e2e::Wbem("ei", "root/cimv2:CIM_SoftwareIdentity", {}, {"-nl"}, Base("http", own));
  ASSERT_EQ(r.status, 0) << r.Describe();
  bool found = false;
  for (const e2e::Object& o : e2e::ParseObjects(r.out)) {
    if (o.Get("InstanceID") != "Tavik") continue;
    found = true;
    EXPECT_EQ(revision, o.Get("VersionString"));
  }
  EXPECT_TRUE(found) << r.out;

  // Both accounts, over HTTPS verified against the simulated host's trust store; a wrong
  // password is refused.
  for (const std::string& account : {own, fallback}) {
    r = e2e::Wbem("ein", "root/interop:CIM_Namespace", {}, {}, Base("https", account));
    EXPECT_EQ(r.status, 0) << r.Describe();
    EXPECT_EQ(2u, e2e::Lines(r.out).size()) << r.out;
  }
  r = e2e::Run({"curl", "-s", "-o", "/dev/null", "-w", "%{http_code}", "-u", own.substr(0, own.find(':')) + ":wrong",
                "-X", "POST", "--data", "x", "https://169.254.95.118:5989/cimom"});
  EXPECT_EQ(r.out, "401") << r.Describe();
  r = e2e::Run({"curl", "-s", "-o", "/dev/null", "--cacert", "/etc/ssl/certs/ca-certificates.crt",
                "https://169.254.95.118:5989/cimom"});
  EXPECT_EQ(r.status, 0) << "the controller's certificate chains to the host's authority: " << r.Describe();

  // Classes with their qualifiers, and the class names of the namespace.
  r = e2e::Wbem("gc", "root/cimv2:CIM_SoftwareIdentity", {}, {}, Base("http", own));
  EXPECT_EQ(r.status, 0) << r.Describe();
  EXPECT_NE(r.out.find("InstanceID"), std::string::npos) << r.out;
  r = e2e::Wbem("ecn", "root/cimv2:CIM_ComputerSystem", {}, {}, Base("http", own));
  EXPECT_NE(r.out.find("Qelvo_ManagementController"), std::string::npos) << r.Describe();

  // The controller's firmware through the association to the controller.
  r = e2e::Wbem("ain",
                "root/cimv2:Qelvo_ManagementController.CreationClassName=\"Qelvo_ManagementController\","
                "Name=\"TAVIK-0\"",
                {}, {"-ac", "CIM_ElementSoftwareIdentity"}, Base("http", own));
  EXPECT_EQ(r.status, 0) << r.Describe();
  EXPECT_NE(r.out.find("CIM_SoftwareIdentity.InstanceID=\"Tavik\""), std::string::npos) << r.out;

  // The host CIMOM is signed by the same authority and verifies without options.
  r = e2e::Wbem("ecn", "qelvo/cimv2:CIM_ManagedElement", {}, {}, e2e::kHttps);
  EXPECT_EQ(r.status, 0) << r.Describe();
}

}  // namespace
