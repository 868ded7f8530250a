// The network commands on a network namespace of their own: the listings as the host's shell
// pipelines cut them, the links they really make, and the requests they refuse without changing
// anything.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>

#include "netns_testing.h"
#include "nsfixture.h"

namespace {

struct Out {
  int rc;
  std::string text;
};

// A shell command line with the commands first on PATH.
Out Sh(const std::string &line) {
  Out o;
  o.rc = nettest::RunCommand({"sh", "-c", std::string("PATH=" NETCMDS_DIR ":$PATH; ") + line}, &o.text);
  return o;
}

std::string Slurp(const char *path) {
  std::ifstream in(path);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

// Accepts TCP connections on 169.254.95.118:7 until killed.
[[noreturn]] void Listen() {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(7);
  inet_pton(AF_INET, "169.254.95.118", &a.sin_addr);
  if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 4) != 0) _exit(1);
  for (;;) close(accept(fd, nullptr, nullptr));
}

// Connects from `from` to the listener; true once the connection is made.
bool Reaches(const char *from) {
  const int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in local{}, peer{};
  local.sin_family = peer.sin_family = AF_INET;
  inet_pton(AF_INET, from, &local.sin_addr);
  peer.sin_port = htons(7);
  inet_pton(AF_INET, "169.254.95.118", &peer.sin_addr);
  const bool ok = bind(fd, reinterpret_cast<sockaddr *>(&local), sizeof local) == 0 &&
                  connect(fd, reinterpret_cast<sockaddr *>(&peer), sizeof peer) == 0;
  close(fd);
  return ok;
}

TEST(NetCommands, BuildListAndTearDownTheHostNetwork) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    // vusb0 leads to a node at 169.254.95.118; vusb1 is a link with nobody behind it.
    nettest::Peer node("usbx", "169.254.95.1/24", "169.254.95.118/24", Listen);
    ASSERT_TRUE(node.ok());
    ASSERT_EQ(0, Sh("ip addr flush dev usbxh && ip link set usbxh down && ip link set usbxh name vusb0 && "
                    "ip link add vusb1 type veth peer name other1")
                     .rc);

    Out o = Sh("esxcfg-nics -l");
    ASSERT_EQ(0, o.rc) << o.text;
    EXPECT_EQ(0u, o.text.find("Name    PCI          Driver      Link Speed      Duplex MAC Address       MTU    "
                              "Description\n"))
        << o.text;
    EXPECT_EQ("vusb0\nvusb1\n", Sh("esxcfg-nics -l | grep vusb | cut -d' ' -f 1").text);

    o = Sh("esxcfg-vswitch -a vSwitchUSB0 && esxcfg-vswitch --link=vusb0 vSwitchUSB0 && "
           "esxcfg-vswitch --add-pg=TAVIK_Network0 vSwitchUSB0 && "
           "esxcfg-vmknic -a -i 169.254.30.30 -n 255.255.0.0 -p TAVIK_Network0");
    ASSERT_EQ(0, o.rc) << o.text;
    EXPECT_EQ("Switch Ports\nvSwitchUSB0 vusb0\n \nPortGroup Ports\nTAVIK_Network0 \n \n",
              Sh("esxcfg-vswitch -l | awk -F' ' {'print $1, $6'}").text);
    EXPECT_EQ("vSwitchUSB0\nTAVIK_Network0\n", Sh("esxcfg-vswitch -l | grep vusb0 | cut -c1-16 | tr -d ' '").text);
    EXPECT_EQ("vmk0 TAVIK_Network0 IPv4 169.254.30.30 255.255.0.0 169.254.255.255 65535 true STATIC\n",
              Sh("esxcfg-vmknic -l | grep TAVIK_Network0 | awk '{print $1, $2, $3, $4, $5, $6, $9, $10, $11}'").text);

    o = Sh("esxcfg-vmknic -i 169.254.95.101 -n 255.255.255.0 -p TAVIK_Network0 && ip -o -4 addr show dev vmk0 && "
           "ip -o link show master vSwitchUSB0");
    ASSERT_EQ(0, o.rc) << o.text;
    EXPECT_NE(std::string::npos, o.text.find("inet 169.254.95.101/24 brd 169.254.95.255")) << o.text;
    EXPECT_NE(std::string::npos, o.text.find(" vusb0@")) << o.text;
    EXPECT_NE(std::string::npos, o.text.find(" vmk0-port@vmk0: ")) << o.text;
    EXPECT_TRUE(Reaches("169.254.95.101")) << "the vmknic reaches the node through the switch";

    // Refused requests change neither the configuration nor the links.
    const std::string config = Slurp("/etc/vmware/esx.conf");
    const std::string links = Sh("ip -o link | cut -d: -f2 | sort").text;
    const struct {
      const char *command, *message;
    } refused[] = {
        {"esxcfg-vswitch -a vSwitchUSB0", "already exists"},
        {"esxcfg-vswitch -a 'bad;name'", "invalid virtual switch name"},
        {"esxcfg-vswitch --link=vusb1 vSwitchUSB9", "No such virtual switch: vSwitchUSB9"},
        {"esxcfg-vswitch --link=vusb7 vSwitchUSB0", "No such physical NIC: vusb7"},
        {"esxcfg-vswitch --link=vusb0 vSwitchUSB0", "already linked"},
        {"esxcfg-vswitch --add-pg=TAVIK_Network0 vSwitchUSB0", "already exists"},
        {"esxcfg-vswitch -d vSwitchUSB0", "in use"},
        {"esxcfg-vswitch --del-pg=TAVIK_Network0 vSwitchUSB0", "in use"},
        {"esxcfg-vmknic -a -i 169.254.30.31 -n 255.255.0.0 -p TAVIK_Network9", "No such port group"},
        {"esxcfg-vmknic -a -i 169.254.30.31 -n 255.255.0.0 -p TAVIK_Network0", "already exists"},
        {"esxcfg-vmknic -i 169.254.300.1 -n 255.255.255.0 -p TAVIK_Network0", "invalid IP address"},
        {"esxcfg-vmknic -i 169.254.95.7 -n 255.0.255.0 -p TAVIK_Network0", "invalid netmask"},
        {"esxcfg-vmknic -d TAVIK_Network9", "No VMkernel NIC"},
        {"esxcfg-vmknic -a -i 169.254.1.1 -p TAVIK_Network0", "usage"},
        {"esxcfg-vswitch -x", "usage"},
        {"esxcfg-nics", "usage"},
    };
    for (const auto &r : refused) {
      o = Sh(r.command);
      EXPECT_NE(0, o.rc) << r.command;
      EXPECT_NE(std::string::npos, o.text.find(r.message)) << r.command << ": " << o.text;
    }
    EXPECT_EQ(config, Slurp("/etc/vmware/esx.conf"));
    EXPECT_EQ(links, Sh("ip -o link | cut -d: -f2 | sort").text);

    o = Sh("esxcfg-vmknic -d TAVIK_Network0 && esxcfg-vswitch -d vSwitchUSB0 && esxcfg-vswitch -l && "
           "ip -o link show master vSwitchUSB0; ip -o link | cut -d: -f2 | tr -d '\\n'");
    EXPECT_EQ(0, o.rc) << o.text;
    EXPECT_EQ(std::string::npos, o.text.find("vmk0")) << o.text;
    EXPECT_EQ(std::string::npos, o.text.find("vSwitchUSB0 ")) << o.text;
    EXPECT_NE(std::string::npos, o.text.find(" vusb0@")) << "a NIC outlives its switch: " << o.text;

    std::ofstream("/etc/vmware/esx.conf", std::ios::app) << "/net/vswitch/child[0001]/colour = \"red\"\n";
    o = Sh("esxcfg-vswitch -l");
    EXPECT_NE(0, o.rc);
    EXPECT_NE(std::string::npos, o.text.find("line 1 is not a valid network setting")) << o.text;
  });
}

}  // namespace
