// usblanset on hosts built in network namespaces: node controllers (the controller simulator, a
// silent node, a node announcing a crafted address) behind fresh USB links named vusbN, and the
// host's network commands. The commands usblanset ran are read back from the commands' trace.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "listings.h"
#include "netns_testing.h"
#include "nsfixture.h"
#include "sim_process.h"
#include "slp_service_agent.h"
#include "tavik_discovery.h"

namespace {

const char kTrace[] = "/tmp/esxcfg.trace";

std::string Octet(int n) { return std::to_string(95 + n); }

int64_t NowMs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000 + ts.tv_nsec / 1000000;
}

int Sh(const std::string &line, std::string *out = nullptr) {
  return nettest::RunCommand({"sh", "-c", "PATH=" NETCMDS_DIR ":$PATH; " + line}, out, 60000);
}

// Node n behind the host's link vusb<n>, which has no address: the node is 169.254.(95+n).118/16
// in a namespace of its own and runs body (which must not return).
class Node {
 public:
  Node(int n, std::function<void()> body) {
    const std::string tmp = "usbl" + std::to_string(n);
    peer_ = std::make_unique<nettest::Peer>(tmp, "169.254.250." + std::to_string(n) + "/32",
                                            "169.254." + Octet(n) + ".118/16", body);
    const std::string v = "vusb" + std::to_string(n);
    ok_ = peer_->ok() && Sh("ip link set " + tmp + "h down && ip addr flush dev " + tmp + "h && ip link set " +
                            tmp + "h name " + v + " && ip link set " + v + " up") == 0;
  }
  // A controller simulator of the given SLP generation.
  static std::unique_ptr<Node> Controller(int n, int nodes, int generation) {
    const std::string ready = "/tmp/node" + std::to_string(n) + ".ready";
    auto node = std::make_unique<Node>(n, [=] {
      const std::string args[] = {tavikt::SimPath(), "--node", std::to_string(n), "--nodes", std::to_string(nodes),
                                  "--ipmi-socket", "/tmp/ipmi" + std::to_string(n), "--slp-address",
                                  "169.254." + Octet(n) + ".118", "--generation", std::to_string(generation),
                                  "--ready-file", ready};
      std::vector<char *> argv;
      for (const std::string &a : args) argv.push_back(const_cast<char *>(a.c_str()));
      argv.push_back(nullptr);
      execv(argv[0], argv.data());
    });
    const int64_t deadline = NowMs() + 20000;
    while (node->ok_ && access(ready.c_str(), F_OK) != 0 && NowMs() < deadline) usleep(20000);
    node->ok_ = node->ok_ && access(ready.c_str(), F_OK) == 0;
    return node;
  }
  // A node whose SLP agent announces url.
  static std::unique_ptr<Node> Announcing(int n, const std::string &url) {
    return std::make_unique<Node>(n, [=] {
      slp::ServiceAgent sa;
      sa.Register({url, "(cimxml-port-http=5988)"});
      std::string error;
      if (!sa.Open("169.254." + Octet(n) + ".118", &error)) _exit(1);
      for (;;) {
        pollfd pfd = {sa.fd(), POLLIN, 0};
        if (poll(&pfd, 1, -1) > 0) sa.HandleReadable();
      }
    });
  }
  static std::unique_ptr<Node> Silent(int n) {
    return std::make_unique<Node>(n, [] {
      for (;;) pause();
    });
  }
  bool ok() const { return ok_; }

 private:
  std::unique_ptr<nettest::Peer> peer_;
  bool ok_ = false;
};

struct UsblansetRun {
  int rc;
  std::vector<std::string> commands;  // as the trace shows them
  std::vector<std::string> changes;   // the commands that are no listings
};

UsblansetRun RunUsblanset() {
  UsblansetRun r;
  std::string out;
  r.rc = nettest::RunCommand({"env", std::string("PATH=" NETCMDS_DIR ":") + std::getenv("PATH"),
                              std::string("ESXCFG_TRACE_FILE=") + kTrace, USBLANSET_PROGRAM},
                             &out, 120000);
  std::ifstream in(kTrace);
  for (std::string line; std::getline(in, line);) {
    r.commands.push_back(line);
    if (line.size() < 3 || line.compare(line.size() - 3, 3, " -l") != 0) r.changes.push_back(line);
  }
  unlink(kTrace);
  return r;
}

// "port group address netmask" per VMkernel NIC.
std::string Vmknics() {
  std::string out;
  Sh("esxcfg-vmknic -l | awk 'NR > 1 {print $2, $4, $5}'", &out);
  return out;
}

bool Contains(const std::vector<std::string> &lines, const std::string &line) {
  for (const std::string &l : lines) {
    if (l == line) return true;
  }
  return false;
}

std::string Join(const std::vector<std::string> &lines) {
  std::string s;
  for (const std::string &l : lines) s += l + "\n";
  return s;
}

TEST(UsbLanSet, FreshLinksGetSwitchPortGroupAndVmknicOnce) {
  const struct {
    int nodes, generation;
  } hosts[] = {{1, 1}, {2, 2}, {3, 1}, {4, 2}};
  for (const auto &host : hosts) {
    SCOPED_TRACE(std::to_string(host.nodes) + " nodes, SLP generation " + std::to_string(host.generation));
    nsfixture::Options opts;
    opts.timeout_seconds = 240;
    nsfixture::Run(
        [&] {
          ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
          std::vector<std::unique_ptr<Node>> nodes;
          for (int n = 0; n < host.nodes; ++n) {
            nodes.push_back(Node::Controller(n, host.nodes, host.generation));
            ASSERT_TRUE(nodes.back()->ok()) << "node " << n;
          }
          UsblansetRun first = RunUsblanset();
          EXPECT_EQ(0, first.rc);
          std::vector<std::string> expected;
          std::string vmknics;
          for (int n = 0; n < host.nodes; ++n) {
            const std::string d = std::to_string(n), sw = "vSwitchUSB" + d, pg = "TAVIK_Network" + d;
            expected.push_back("esxcfg-vswitch -a " + sw);
            expected.push_back("esxcfg-vswitch --link=vusb" + d + " " + sw);
            expected.push_back("esxcfg-vswitch --add-pg=" + pg + " " + sw);
            expected.push_back("esxcfg-vmknic -a -i 169.254.30.3" + d + " -n 255.255.0.0 -p " + pg);
            expected.push_back("esxcfg-vmknic -i 169.254." + Octet(n) + ".101 -n 255.255.255.0 -p " + pg);
            vmknics += pg + " 169.254." + Octet(n) + ".101 255.255.255.0\n";
          }
          EXPECT_EQ(Join(expected), Join(first.changes));
          EXPECT_EQ(vmknics, Vmknics());

          // The controller access library finds each controller from its vmknic.
          for (int n = 0; n < host.nodes; ++n) {
            const std::string bind = "169.254." + Octet(n) + ".101";
            char addr[20] = {}, http[20] = {}, https[20] = {};
            EXPECT_EQ(0, util_init_slp_discovery(bind.c_str(), addr, sizeof addr, http, sizeof http, https)) << n;
            EXPECT_EQ("169.254." + Octet(n) + ".118", std::string(addr));
            EXPECT_STREQ("5988", http);
            EXPECT_STREQ("5989", https);
          }

          UsblansetRun second = RunUsblanset();
          EXPECT_EQ(0, second.rc);
          EXPECT_EQ("", Join(second.changes)) << "a configured host is left as it is";
          EXPECT_FALSE(second.commands.empty());
          EXPECT_EQ(vmknics, Vmknics());
        },
        opts);
  }
}

// A host with a configured link that vanishes, a switch that lost its NIC, a silent node, a node
// announcing a shell command as its address and a NIC without a table entry.
TEST(UsbLanSet, RepairsTheHostAndTrustsNothingItCannotCheck) {
  nsfixture::Options opts;
  opts.timeout_seconds = 240;
  nsfixture::Run(
      [] {
        ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
        auto node1 = Node::Controller(1, 2, 1);
        ASSERT_TRUE(node1->ok());
        ASSERT_EQ(0, RunUsblanset().rc);
        ASSERT_EQ(0, Sh("ip link del vusb1"));

        auto silent = Node::Silent(0);
        auto crafted = Node::Announcing(3, "service:management-hardware.Qelvo:tavik://169.254.;>/tmp/q;.1");
        ASSERT_TRUE(silent->ok() && crafted->ok());
        std::string out;
        ASSERT_EQ(0, Sh("ip link add vusb7 type veth peer name other7 && esxcfg-vswitch -a vSwitchUSB2 && "
                        "esxcfg-vswitch --add-pg=TAVIK_Network2 vSwitchUSB2 && "
                        "esxcfg-vmknic -a -i 169.254.97.101 -n 255.255.255.0 -p TAVIK_Network2",
                        &out))
            << out;

        UsblansetRun r = RunUsblanset();
        EXPECT_EQ(1, r.rc) << "vusb7 has no switch, port group or address";
        const std::string changes = Join(r.changes);
        EXPECT_EQ(0u, changes.find("esxcfg-vmknic -d TAVIK_Network2\nesxcfg-vswitch -d vSwitchUSB2\n"
                                   "esxcfg-vmknic -d TAVIK_Network1\n"))
            << changes;
        EXPECT_EQ(std::string::npos, changes.find("vusb7")) << changes;
        EXPECT_EQ(std::string::npos, changes.find_first_of(";>")) << changes;
        EXPECT_NE(0, access("/tmp/q", F_OK)) << "the announced address ran a command";
        EXPECT_EQ("TAVIK_Network0 169.254.95.101 255.255.255.0\nTAVIK_Network3 169.254.98.101 255.255.255.0\n",
                  Vmknics());
        Sh("esxcfg-vswitch -l | awk -F' ' {'print $1, $6'} | grep vSwitch; ip -o link show vSwitchUSB2", &out);
        EXPECT_EQ("vSwitchUSB1 vusb1\nvSwitchUSB0 vusb0\nvSwitchUSB3 vusb3\n", out.substr(0, out.find("Device")))
            << "the vanished NIC keeps its switch; the broken switch is gone from the host too: " << out;

        // Without vusb7 every NIC counts as configured, the silent one at its default address.
        ASSERT_EQ(0, Sh("ip link del vusb7"));
        r = RunUsblanset();
        EXPECT_EQ(0, r.rc);
        EXPECT_TRUE(Contains(r.changes, "esxcfg-vmknic -i 169.254.95.101 -n 255.255.255.0 -p TAVIK_Network0"))
            << Join(r.changes);
      },
      opts);
}

// A switch listing of 7500 switches whose USB uplinks vanished, close to the most a listing may
// print: each switch's port groups are not looked for by reading the whole listing again.
TEST(UsbLanSet, ManyVanishedSwitchesCostOneReading) {
  nsfixture::Run([] {
    std::string listing;
    for (int i = 0; i < 7500; ++i) {
      listing += "Switch\nsw" + std::to_string(i) + " 128 1 128 1500 vusb3\n  PortGroup\n";
      if (i == 17) listing += "  PG_a 0 0 vusb3\n  PG_b 0 0 vusb3\n";
    }
    listing += "Switch Name Num Ports\nkept 128 1 128 1500 vmnic0\n\n  PortGroup Name\n  PG_kept 0 0 vmnic0\n";
    std::ofstream("/tmp/listing") << listing;
    ASSERT_EQ(0, mkdir("/tmp/bin", 0755));
    const char *const scripts[][2] = {
        {"esxcfg-nics", "exit 0\n"},
        {"esxcfg-vswitch", "[ \"$1\" = -l ] && exec cat /tmp/listing\n"},
        {"esxcfg-vmknic", ""},
    };
    for (const auto &s : scripts) {
      const std::string path = std::string("/tmp/bin/") + s[0];
      std::ofstream(path) << "#!/bin/sh\n" << s[1] << "echo " << s[0] << " \"$@\" >> /tmp/changes\n";
      ASSERT_EQ(0, chmod(path.c_str(), 0755));
    }
    auto children_cpu = [] {
      rusage ru;
      getrusage(RUSAGE_CHILDREN, &ru);
      return ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
    };
    const double before = children_cpu();
    ASSERT_EQ(0, nettest::RunCommand({"env", std::string("PATH=/tmp/bin:") + std::getenv("PATH"), USBLANSET_PROGRAM},
                                     nullptr, 120000));
    EXPECT_LT(children_cpu() - before, 1.0) << "seconds of CPU";
    std::stringstream changes;
    changes << std::ifstream("/tmp/changes").rdbuf();
    EXPECT_EQ("esxcfg-vmknic -d PG_a\nesxcfg-vmknic -d PG_b\n", changes.str());
  });
}

// The readers' limits, which the hosts above do not reach.
TEST(UsbLanSet, ListingsThatDoNotFitAreRefused) {
  std::string names;
  for (int i = 0; i < 29; ++i) names += "vusb0\n";  // "vusb0;" 29 times: 174 characters
  const std::string longest = "vusb" + std::string(USB_NIC_LIST_SIZE - 1 - 174 - 5, '9');
  char list[USB_NIC_LIST_SIZE];
  ASSERT_TRUE(usblan::make_nic_list(names + longest + "\n", list));
  EXPECT_EQ(USB_NIC_LIST_SIZE - 1u, std::strlen(list));
  EXPECT_EQ(30u, usblan::split_nic_list(list).size());
  EXPECT_FALSE(usblan::make_nic_list(names + longest + "9\n", list)) << "a list one longer is refused";
  EXPECT_STREQ("", list);

  EXPECT_TRUE(usblan::lines_fit("x\n" + std::string(USB_LINE_SIZE - 2, 'a') + "\n"));
  EXPECT_FALSE(usblan::lines_fit("x\n" + std::string(USB_LINE_SIZE - 1, 'a') + "\nvusb0\n"));
  EXPECT_FALSE(usblan::lines_fit(std::string(USB_LINE_SIZE, 'a')));

  for (const char *bad : {"169.254.1.256", "169.254.1", "169.254.1.1.1", "169.254.01.1", "169.254.1.1 ",
                          "169.254.1.1;x", "169.253.1.1", "169.254..1", "169.254.1.+1", ""}) {
    char host[20] = "untouched";
    EXPECT_FALSE(usblan::host_address(bad, host, sizeof host)) << bad;
    EXPECT_STREQ("untouched", host);
  }
  char host[20];
  ASSERT_TRUE(usblan::host_address("169.254.96.118", host, sizeof host));
  EXPECT_STREQ("169.254.96.101", host);
  EXPECT_FALSE(usblan::host_address("169.254.255.255", host, 14)) << "169.254.255.101 needs 16 bytes";

  // A switch with several uplinks keeps them; one whose only USB uplink is another NIC's is broken.
  const std::vector<usblan::SwitchStep> steps = usblan::failed_switch_steps(
      "Switch Ports\nvSwitchUSB1 vmnic0,vusb1\n \nPortGroup Ports\nTAVIK_Network1 \n"
      "Switch Ports\nvSwitchUSB2 vusb21\n \nPortGroup Ports\nA \nB \n \nSwitch Ports\nvSwitchUSB vusb0\n");
  ASSERT_EQ(3u, steps.size());
  EXPECT_FALSE(steps[0].delete_switch);
  EXPECT_EQ("A", steps[0].name);
  EXPECT_EQ("B", steps[1].name);
  EXPECT_TRUE(steps[2].delete_switch);
  EXPECT_EQ("vSwitchUSB2", steps[2].name);
}

}  // namespace
