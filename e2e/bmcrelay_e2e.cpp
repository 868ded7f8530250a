// simhost-options: --nodes 2
//
// The controllers of two nodes seen through the host CIMOM and the pass-through provider, with
// wbemcli: every read answers as wbemcli pointed straight at that node's controller answers
// (namespaces translated), changes and method calls reach the controller, and the provider's
// own answers (filtered classes, a node without a controller, restricted-association mode). The
// host CIMOM loads the provider's function tables, which carry version 100, as they are.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <string>
#include <vector>

#include "e2e_support.h"

namespace {

using e2e::Result;

std::string Controller(int node) {
  const char *account = std::getenv("SIMHOST_TAVIK_DEFAULT_ACCOUNT");
  return "http://" + std::string(account != nullptr ? account : "") + "@169.254." + std::to_string(95 + node) +
         ".118:5988";
}

std::string HostNs(int node, const std::string &suffix) { return "qelvo/tavik" + std::to_string(node) + "/" + suffix; }

void ReplaceAll(std::string &s, const std::string &from, const std::string &to) {
  for (size_t at = s.find(from); at != std::string::npos; at = s.find(from, at + to.size()))
    s.replace(at, from.size(), to);
}

// One object line of wbemcli as a sorted list of its parts, so that two answers compare alike
// whatever order keys and properties come in: the text is cut at commas and blanks outside
// quotes, and at the "." after a path's class ("ns:Class.Key=..."), also of nested references.
std::string CanonicalLine(std::string line, int node) {
  line = line.substr(line.find('/') + 1);  // the CIMOM's host name
  ReplaceAll(line, "root/cimv2", HostNs(node, "cimv2"));
  ReplaceAll(line, "root/interop", HostNs(node, "interop"));
  std::vector<std::string> parts(1);
  bool quoted = false, after_colon = false;
  for (size_t i = 0; i < line.size(); ++i) {
    const char c = line[i];
    if (quoted) {
      parts.back() += c;
      if (c == '\\' && i + 1 < line.size()) parts.back() += line[++i];
      else if (c == '"') quoted = false;
      continue;
    }
    if (c == '"') quoted = true;
    if (c == ':') after_colon = true;
    if (c == ',' || c == ' ' || (c == '.' && after_colon)) {
      after_colon = false;
      parts.emplace_back();
      continue;
    }
    if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_' && c != ':') after_colon = false;
    parts.back() += c;
  }
  std::sort(parts.begin(), parts.end());
  std::string out;
  for (const std::string &p : parts) out += p + "|";
  return out;
}

std::vector<std::string> Canonical(const std::string &out, int node) {
  std::vector<std::string> lines;
  for (const std::string &l : e2e::Lines(out)) lines.push_back(CanonicalLine(l, node));
  std::sort(lines.begin(), lines.end());
  return lines;
}

// wbemcli on the host and on the controller of `node` with the same request.
void ExpectSameAnswer(const std::string &op, int node, const std::string &suffix, const std::string &object,
                      const std::vector<std::string> &host_options, const std::vector<std::string> &direct_options,
                      const std::vector<std::string> &extra = {}) {
  SCOPED_TRACE(op + " " + HostNs(node, suffix) + ":" + object);
  const Result host = e2e::Wbem(op, HostNs(node, suffix) + ":" + object, extra, host_options);
  const Result direct = e2e::Wbem(op, "root/" + suffix + ":" + object, extra, direct_options, Controller(node));
  ASSERT_EQ(0, host.status) << host.Describe();
  ASSERT_EQ(0, direct.status) << direct.Describe();
  EXPECT_FALSE(e2e::Lines(direct.out).empty()) << direct.Describe();
  EXPECT_EQ(Canonical(direct.out, node), Canonical(host.out, node)) << host.out << "\n--- the controller's:\n"
                                                                    << direct.out;
}

const char kManager0[] =
    "Qelvo_ManagementController.CreationClassName=\"Qelvo_ManagementController\",Name=\"TAVIK-0\"";
const char kManager1[] =
    "Qelvo_ManagementController.CreationClassName=\"Qelvo_ManagementController\",Name=\"TAVIK-1\"";
const char kNode1[] = "Qelvo_ComputerSystem.CreationClassName=\"Qelvo_ComputerSystem\",Name=\"QLV-NODE-1\"";
const char kFirmware[] = "CIM_SoftwareIdentity.InstanceID=\"Tavik\"";

TEST(PassThrough, TheHostShowsEachControllerAsItIs) {
  struct Case {
    const char *op;
    int node;
    const char *suffix, *object;
    std::vector<std::string> options, extra;
  } cases[] = {
      // wbemcli asks with DeepInheritance: the subclass instance's own properties come back only
      // when the flags reached the controller.
      {"ei", 1, "cimv2", "CIM_SoftwareIdentity", {}, {}},
      {"ein", 0, "cimv2", "CIM_SoftwareIdentity", {}, {}},
      {"ei", 1, "interop", "CIM_Namespace", {}, {}},
      {"ein", 0, "interop", "CIM_Namespace", {}, {}},
      {"ei", 0, "cimv2", "Qelvo_ManagementController", {}, {}},
      {"gi", 1, "cimv2", "CIM_SoftwareIdentity.InstanceID=\"BIOS\"", {}, {"VersionString,ElementName"}},
      {"ai", 0, "cimv2", kManager0, {}, {}},
      {"ain", 1, "cimv2", kManager1, {"-ac", "CIM_InstalledSoftwareIdentity"}, {}},
      {"ri", 0, "cimv2", kFirmware, {}, {}},
      {"rin", 1, "cimv2", kNode1, {}, {}},
      {"ri", 1, "cimv2", kManager1, {"-ar", "System"}, {}},
  };
  for (const Case &c : cases) ExpectSameAnswer(c.op, c.node, c.suffix, c.object, c.options, c.options, c.extra);

  // The filtered classes answer nothing, though the controller has instances of them.
  for (const char *cls : {"CIM_AccountSettingData", "CIM_BIOSAttribute"}) {
    Result r = e2e::Wbem("ei", HostNs(0, "cimv2") + ":" + cls);
    EXPECT_EQ(0, r.status) << r.Describe();
    EXPECT_EQ("", r.out) << cls;
    r = e2e::Wbem("ein", std::string("root/cimv2:") + cls, {}, {}, Controller(0));
    EXPECT_FALSE(e2e::Lines(r.out).empty()) << r.Describe();
  }

  // No controller behind node 2.
  const Result r = e2e::Wbem("ei", HostNs(2, "cimv2") + ":CIM_SoftwareIdentity");
  EXPECT_NE(0, r.status);
  EXPECT_NE(std::string::npos, r.err.find("CIM_ERR_ACCESS_DENIED: Fails to connect to Tavik")) << r.Describe();

  // Restricted-association mode: the association class and the role the requests leave out are
  // the mode's defaults.
  ASSERT_TRUE(e2e::WriteFile("/tmp/CERT_FLAG", ""));
  ExpectSameAnswer("ain", 0, "cimv2", kManager0, {}, {"-ac", "CIM_ElementSoftwareIdentity"});
  ExpectSameAnswer("rin", 1, "cimv2", kFirmware, {}, {"-ar", "InstalledSoftware"});
  const Result refused = e2e::Wbem("ain", HostNs(0, "cimv2") + ":CIM_BIOSAttribute.InstanceID=\"Tavik:BIOS:Turbo\"");
  EXPECT_NE(std::string::npos, refused.err.find("Fails to connect to Tavik")) << refused.Describe();
  unlink("/tmp/CERT_FLAG");
}

TEST(PassThrough, ChangesAndMethodCallsReachTheController) {
  const std::string host = HostNs(1, "cimv2") + ":Qelvo_AlertRecipient.Name=\"ops\"";
  const std::string direct = "root/cimv2:Qelvo_AlertRecipient.Name=\"ops\"";
  auto on_controller = [&] { return e2e::Wbem("gi", direct, {}, {"-nl"}, Controller(1)); };

  Result r = e2e::Wbem("ci", host, {"Name=ops,Address=10.0.0.9,Enabled=true,Severities=2,3"});
  ASSERT_EQ(0, r.status) << r.Describe();
  EXPECT_NE(std::string::npos, r.out.find(HostNs(1, "cimv2") + ":Qelvo_AlertRecipient.Name=\"ops\"")) << r.out;
  std::vector<e2e::Object> got = e2e::ParseObjects(on_controller().out);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ("10.0.0.9", got[0].Get("Address"));
  EXPECT_EQ("2,3", got[0].Get("Severities"));

  r = e2e::Wbem("mi", host, {"Address=10.0.0.10"});
  ASSERT_EQ(0, r.status) << r.Describe();
  got = e2e::ParseObjects(on_controller().out);
  ASSERT_EQ(1u, got.size());
  EXPECT_EQ("10.0.0.10", got[0].Get("Address"));
  EXPECT_EQ("TRUE", got[0].Get("Enabled"));

  r = e2e::Wbem("di", host);
  ASSERT_EQ(0, r.status) << r.Describe();
  EXPECT_NE(0, on_controller().status) << "deleted on the controller";
  r = e2e::Wbem("di", host);
  EXPECT_NE(std::string::npos, r.err.find("CIM_ERR_NOT_FOUND")) << "the controller's own answer: " << r.Describe();

  // A reference, a list and an interval to node 1's controller and back, in the host's terms.
  const std::string loopback = HostNs(1, "cimv2") +
                               ":Qelvo_LoopbackService.SystemCreationClassName=\"Qelvo_ManagementController\","
                               "SystemName=\"TAVIK-1\",CreationClassName=\"Qelvo_LoopbackService\",Name=\"Loopback\"";
  const e2e::MethodAnswer a = e2e::ParseMethod(e2e::Wbem(
      "cm", loopback, {"Loopback.Element=" + std::string(kFirmware) + ",Lines=a,b,Interval=00000001020304.000005:000"},
      {"-nl"}));
  ASSERT_TRUE(a.ok) << a.raw;
  EXPECT_EQ("0", a.return_value);
  EXPECT_EQ(HostNs(1, "cimv2") + ":" + kFirmware, a.out.at("Element")) << a.raw;
  EXPECT_EQ("a,b", a.out.at("Lines"));
  EXPECT_EQ("00000001020304.000005:000", a.out.at("Interval"));
}

}  // namespace
