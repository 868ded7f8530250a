// The LAN-over-USB setup on a simulated host whose USB links to its two nodes are fresh (host ends
// vusb0 and vusb1 without an address, no network configuration): usblanset gives each link its
// switch, port group and VMkernel NIC beside the controller, the controllers' CIMOMs answer there,
// and a second run changes nothing.
// simhost-options: --nodes 2 --fresh-usb
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "e2e_support.h"

namespace {

using e2e::Result;

const char kTrace[] = "/tmp/usblanset.trace";

// The commands a run of usblanset made that change something (every other one ends in -l).
std::string Changes() {
  std::string changes;
  for (const std::string &line : e2e::Lines(e2e::ReadFile(kTrace))) {
    if (line.size() < 3 || line.compare(line.size() - 3, 3, " -l") != 0) changes += line + "\n";
  }
  unlink(kTrace);
  return changes;
}

TEST(UsbLanSet, FreshLinksReachTheControllers) {
  const char *links = std::getenv("SIMHOST_USB_LINKS");
  if (links == nullptr || std::string(links) != "fresh") {
    GTEST_SKIP() << "the simulated host has no fresh USB links (simhost --nodes 2 --fresh-usb)";
  }
  ASSERT_EQ("vusb0\nvusb1\n", e2e::Sh("esxcfg-nics -l | grep vusb | cut -d' ' -f 1").out);
  EXPECT_EQ("", e2e::Sh("esxcfg-vswitch -l").out) << "an empty configuration";
  EXPECT_EQ("", e2e::Sh("ip -o -4 addr | grep 169.254").out) << "no link-local address on the host yet";

  Result r = e2e::Sh(std::string("ESXCFG_TRACE_FILE=") + kTrace + " usblanset", 120);
  ASSERT_EQ(0, r.status) << r.Describe();
  EXPECT_NE("", Changes());
  EXPECT_EQ("vmk0 TAVIK_Network0 169.254.95.101 255.255.255.0\nvmk1 TAVIK_Network1 169.254.96.101 255.255.255.0\n",
            e2e::Sh("esxcfg-vmknic -l | awk 'NR > 1 {print $1, $2, $4, $5}'").out);
  EXPECT_EQ("vSwitchUSB0 vusb0\nvSwitchUSB1 vusb1\n",
            e2e::Sh("esxcfg-vswitch -l | awk -F' ' {'print $1, $6'} | grep vSwitch").out);

  // Each node's CIMOM answers the account derived from its controller's user ID.
  const std::string sim = std::string(std::getenv("SIMHOST_BUILD")) + "/platform/tavik/tavik-sim";
  for (int n = 0; n < 2; ++n) {
    SCOPED_TRACE("node " + std::to_string(n));
    EXPECT_NE("", e2e::Sh("ip -o -4 addr show dev vmk" + std::to_string(n) + " | grep 'inet 169.254." +
                          std::to_string(95 + n) + ".101/24 '")
                      .out);
    const Result account = e2e::Run({sim, "--node", std::to_string(n), "--nodes", "2", "--print-account"});
    ASSERT_EQ(0, account.status) << account.Describe();
    const std::string user = account.out.substr(0, account.out.find(' '));
    const std::string password = account.out.substr(user.size() + 1, 8);
    const std::string node = "http://" + user + ":" + password + "@169.254." + std::to_string(95 + n) + ".118:5988";
    r = e2e::Wbem("gc", "root/cimv2:CIM_SoftwareIdentity", {}, {"-dx"}, node);
    EXPECT_EQ(0, r.status) << r.Describe();
    EXPECT_NE(std::string::npos, r.err.find("<CLASS NAME=\"CIM_SoftwareIdentity\"")) << r.Describe();
  }

  r = e2e::Sh(std::string("ESXCFG_TRACE_FILE=") + kTrace + " usblanset", 120);
  EXPECT_EQ(0, r.status) << r.Describe();
  EXPECT_EQ("", Changes()) << "a configured host is left as it is";
}

}  // namespace
