// The simulator as a process: real ipmitool through the preload library, its life cycle, and the
// script that starts the nodes of a simulated host in network namespaces.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <linux/ipmi.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "controller.h"
#include "ipmi_testing.h"
#include "netns_testing.h"
#include "nsfixture.h"
#include "qelvo_config.h"
#include "sim_process.h"
#include "slp.h"

namespace {

using tavikt::SimProcess;

int Ipmitool(const std::vector<std::string>& args, std::string* out) {
  std::vector<std::string> argv = {"env", std::string("LD_PRELOAD=") + IPMI_PRELOAD_PATH, "ipmitool", "-I", "open"};
  argv.insert(argv.end(), args.begin(), args.end());
  return nettest::RunCommand(argv, out, 30000);
}

// One exchange on an open device (the test executable serves the node through the interposer).
std::vector<uint8_t> Exchange(int fd, uint8_t netfn, uint8_t cmd, std::vector<uint8_t> data = {}) {
  ipmi_system_interface_addr addr = {IPMI_SYSTEM_INTERFACE_ADDR_TYPE, IPMI_BMC_CHANNEL, 0};
  ipmi_req req = {};
  req.addr = reinterpret_cast<unsigned char*>(&addr);
  req.addr_len = sizeof addr;
  req.msgid = netfn << 8 | cmd;
  req.msg.netfn = netfn;
  req.msg.cmd = cmd;
  req.msg.data = data.empty() ? nullptr : data.data();
  req.msg.data_len = static_cast<unsigned short>(data.size());
  if (ioctl(fd, IPMICTL_SEND_COMMAND, &req) != 0) return {};
  pollfd pfd = {fd, POLLIN, 0};
  if (poll(&pfd, 1, 5000) != 1) return {};
  unsigned char buf[272];
  ipmi_addr from;
  ipmi_recv recv = {};
  recv.addr = reinterpret_cast<unsigned char*>(&from);
  recv.addr_len = sizeof from;
  recv.msg.data = buf;
  recv.msg.data_len = sizeof buf;
  if (ioctl(fd, IPMICTL_RECEIVE_MSG_TRUNC, &recv) != 0) return {};
  EXPECT_EQ(req.msgid, recv.msgid);
  EXPECT_EQ(netfn | 1, recv.msg.netfn);
  return {buf, buf + recv.msg.data_len};
}

bool IsSocket(const char* path) {
  struct stat st;
  return lstat(path, &st) == 0 && S_ISSOCK(st.st_mode);
}

TEST(TavikSim, IpmitoolTalksToItThroughThePreload) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    SimProcess node0({"--nodes", "2", "--node", "0"});
    ASSERT_TRUE(node0.ok());
    std::string out;

    ASSERT_EQ(0, Ipmitool({"mc", "info"}, &out)) << out;
    EXPECT_NE(std::string::npos, out.find("Firmware Revision         : 1.42")) << out;
    EXPECT_NE(std::string::npos, out.find("Manufacturer ID           : " + std::to_string(QELVO_VENDOR_IANA))) << out;
    // The enterprise number is no organisation's: ipmitool names no manufacturer for it.
    EXPECT_NE(std::string::npos, out.find("Manufacturer Name         : Unknown")) << out;

    ASSERT_EQ(0, Ipmitool({"raw", "0x06", "0x01"}, &out)) << out;
    char iana[16];
    snprintf(iana, sizeof iana, "%02x %02x %02x", QELVO_VENDOR_IANA & 0xff, (QELVO_VENDOR_IANA >> 8) & 0xff,
             (QELVO_VENDOR_IANA >> 16) & 0xff);
    EXPECT_EQ(" 20 01 01 42 02 bf " + std::string(iana) + " 01 7c 07 00 00 00\n", out);

    ASSERT_EQ(0, Ipmitool({"raw", "0x3a", "0x64"}, &out)) << out;
    EXPECT_EQ(" 54 56 4b 41 44 4d 30 30\n", out) << "the user ID TVKADM00";

    ASSERT_EQ(0, Ipmitool({"raw", "0x30", "0x72"}, &out)) << out;
    EXPECT_EQ(" 00 00 00\n", out) << "node 0: not standalone, logical id 0, partition 0";

    ASSERT_EQ(0, Ipmitool({"raw", "0x06", "0x52", "0xf5", "0x68", "0x10", "0x1d", "0x01", "0x00"}, &out)) << out;
    EXPECT_EQ(" 43 4b 56 31 2e 32 31 2e 33 00 00 00 00 00 00 00\n", out) << "the KVM version CKV1.21.3";

    EXPECT_EQ(1, Ipmitool({"raw", "0x3a", "0x99"}, &out));
    EXPECT_NE(std::string::npos, out.find("rsp=0xc1")) << out;
  });
}

TEST(TavikSim, ServesSeveralClientsAndSurvivesGarbage) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    SimProcess node({"--node", "1", "--nodes", "2", "--ipmi-socket", "/dev/ipmi5"});
    ASSERT_TRUE(node.ok());
    EXPECT_TRUE(IsSocket("/dev/ipmi5"));

    const int raw = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    std::strcpy(sa.sun_path, "/dev/ipmi5");
    ASSERT_EQ(0, connect(raw, reinterpret_cast<sockaddr*>(&sa), sizeof sa));
    const char garbage[] = "\x01 this is no request";
    ASSERT_GT(send(raw, garbage, sizeof garbage, 0), 0);
    ASSERT_GT(send(raw, "", 0, 0), -1);

    const int a = open("/dev/ipmi5", O_RDWR);
    const int b = open("/dev/ipmi5", O_RDWR);
    ASSERT_GE(a, 0);
    ASSERT_GE(b, 0);
    for (int round = 0; round < 20; ++round) {
      EXPECT_EQ((std::vector<uint8_t>{0, 0, 1, 0}), Exchange(a, 0x30, 0x72));
      EXPECT_EQ((std::vector<uint8_t>{0, 'T', 'V', 'K', 'A', 'D', 'M', '0', '1'}), Exchange(b, 0x3a, 0x64));
    }
    close(a);
    close(b);
    close(raw);
  });
}

TEST(TavikSim, StopsCleanlyAndNeverReplacesOtherFiles) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    {
      SimProcess node({});
      ASSERT_TRUE(node.ok());
      EXPECT_TRUE(IsSocket("/dev/ipmi0"));
      const int status = node.Stop();
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
      EXPECT_NE(0, access("/dev/ipmi0", F_OK)) << "the node is removed";
    }
    {
      std::ofstream("/dev/ipmi0") << "not a socket";
      std::string out;
      EXPECT_EQ(1, nettest::RunCommand({tavikt::SimPath(), "--ready-file", "/tmp/r"}, &out)) << out;
      std::ifstream in("/dev/ipmi0");
      std::string text;
      std::getline(in, text);
      EXPECT_EQ("not a socket", text);
      EXPECT_NE(0, access("/tmp/r", F_OK));
    }
    std::string out;
    EXPECT_EQ(2, nettest::RunCommand({tavikt::SimPath(), "--nodes", "9"}, &out)) << out;
    EXPECT_EQ(2, nettest::RunCommand({tavikt::SimPath(), "--node", "2", "--nodes", "2"}, &out)) << out;
    EXPECT_EQ(2, nettest::RunCommand({tavikt::SimPath(), "--fault"}, &out)) << out;

    ASSERT_EQ(0, nettest::RunCommand({tavikt::SimPath(), "--node", "3", "--nodes", "4", "--print-account"}, &out));
    EXPECT_EQ("TVKADM03 " + tavik::DerivePassword({'T', 'V', 'K', 'A', 'D', 'M', '0', '3'}) + "\n", out);
  });
}

// ---------------------------------------------------------------------------------------------
// The nodes of a simulated host.

struct Nodes {
  explicit Nodes(const std::vector<std::string>& up_args) {
    std::vector<std::string> argv = {tavikt::NodesScriptPath(), "up", "--state-dir", "/tmp/nodes", "--sim",
                                     tavikt::SimPath()};
    argv.insert(argv.end(), up_args.begin(), up_args.end());
    status = nettest::RunCommand(argv, &output, 60000);
  }
  ~Nodes() { Down(); }
  int Down() {
    std::string out;
    return nettest::RunCommand({tavikt::NodesScriptPath(), "down", "--state-dir", "/tmp/nodes"}, &out, 30000);
  }
  pid_t Pid(int node) const {
    std::ifstream in("/tmp/nodes/node" + std::to_string(node) + ".pid");
    pid_t pid = -1;
    in >> pid;
    return pid;
  }

  int status;
  std::string output;
};

struct Found {
  std::vector<std::string> urls;
  std::vector<std::string> attrs;
};

SLPBoolean OnUrl(SLPHandle, const char* url, unsigned short, SLPError err, void* cookie) {
  if (err == SLP_OK && url != nullptr) static_cast<Found*>(cookie)->urls.push_back(url);
  return SLP_TRUE;
}

SLPBoolean OnAttrs(SLPHandle, const char* attrs, SLPError err, void* cookie) {
  if (err == SLP_OK && attrs != nullptr) static_cast<Found*>(cookie)->attrs.push_back(attrs);
  return SLP_TRUE;
}

Found Discover(const char* iface, const char* type) {
  Found f;
  SLPHandle h = nullptr;
  EXPECT_EQ(SLP_OK, SLPOpen("", SLP_FALSE, &h));
  EXPECT_EQ(SLP_OK, SLPAssociateIFList(h, iface));
  EXPECT_EQ(SLP_OK, SLPFindSrvs(h, type, "", "", OnUrl, &f));
  if (f.urls.size() == 1) {
    EXPECT_EQ(SLP_OK, SLPFindAttrs(h, f.urls[0].c_str(), "", "", OnAttrs, &f));
  }
  SLPClose(h);
  return f;
}

bool Alive(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat;
  std::getline(in, stat);
  const size_t paren = stat.rfind(") ");
  return paren != std::string::npos && stat[paren + 2] != 'Z';
}

TEST(TavikNodes, EachNodeGetsItsLinkItsAgentAndItsDevice) {
  nsfixture::Run([] {
        ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
        ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
        pid_t pids[2];
        {
          Nodes nodes({"--nodes", "2"});
          ASSERT_EQ(0, nodes.status) << nodes.output;
          pids[0] = nodes.Pid(0);
          pids[1] = nodes.Pid(1);
          ASSERT_GT(pids[0], 0);
          ASSERT_GT(pids[1], 0);
          EXPECT_TRUE(IsSocket("/dev/ipmi0"));
          EXPECT_TRUE(IsSocket("/dev/ipmi1"));

          const Found n0 = Discover("169.254.95.101", "management-hardware.Qelvo:tavik");
          EXPECT_EQ(std::vector<std::string>{"service:management-hardware.Qelvo:tavik://169.254.95.118"}, n0.urls);
          ASSERT_EQ(1u, n0.attrs.size());
          EXPECT_NE(std::string::npos, n0.attrs[0].find("(cimxml-port-https=5989),(cimxml-port-http=5988)"));
          const Found n1 = Discover("169.254.96.101", "management-hardware.Qelvo:tavik");
          EXPECT_EQ(std::vector<std::string>{"service:management-hardware.Qelvo:tavik://169.254.96.118"}, n1.urls);

          for (int n = 0; n < 2; ++n) {
            const int fd = open(("/dev/ipmi" + std::to_string(n)).c_str(), O_RDWR);
            ASSERT_GE(fd, 0);
            EXPECT_EQ((std::vector<uint8_t>{0, 0, static_cast<uint8_t>(n), 0}), Exchange(fd, 0x30, 0x72)) << n;
            close(fd);
          }
          std::string out;
          EXPECT_EQ(0, nettest::RunCommand({"ip", "link", "show", "tvk1h"}, &out)) << out;
          EXPECT_EQ(0, nodes.Down());
        }
        EXPECT_FALSE(Alive(pids[0]));
        EXPECT_FALSE(Alive(pids[1]));
        EXPECT_NE(0, access("/dev/ipmi0", F_OK));
        EXPECT_NE(0, access("/dev/ipmi1", F_OK));
        std::string out;
        EXPECT_NE(0, nettest::RunCommand({"ip", "link", "show", "tvk0h"}, &out)) << "the links are gone";
        EXPECT_NE(0, nettest::RunCommand({"ip", "link", "show", "tvk1h"}, &out)) << "the links are gone";
  });
}

TEST(TavikNodes, SecondGenerationAndNodeOptions) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    ASSERT_EQ(0, mkdir("/tmp/conf", 0755));
    std::ofstream("/tmp/conf/node0.conf") << "user-id = NODEZERO\n";
    Nodes nodes({"--nodes", "1", "--generation", "2", "--config-dir", "/tmp/conf", "--", "--fault", "kvm-ff"});
    ASSERT_EQ(0, nodes.status) << nodes.output;
    EXPECT_TRUE(Discover("169.254.95.101", "management-hardware.Qelvo:tavik").urls.empty());
    const Found f = Discover("169.254.95.101", "management-hardware.Qelvo:tavik2");
    EXPECT_EQ(std::vector<std::string>{"service:management-hardware.Qelvo:tavik2://169.254.95.118"}, f.urls);
    ASSERT_EQ(1u, f.attrs.size());
    EXPECT_NE(std::string::npos, f.attrs[0].find("(cimxml-https=tcp:5989:/cimom)"));

    const int fd = open("/dev/ipmi0", O_RDWR);
    ASSERT_GE(fd, 0);
    EXPECT_EQ((std::vector<uint8_t>{0, 'N', 'O', 'D', 'E', 'Z', 'E', 'R', 'O'}), Exchange(fd, 0x3a, 0x64));
    EXPECT_EQ(0xff, Exchange(fd, 0x06, 0x52, {0xf5, 0x68, 0x10, 0x1d, 0x01, 0x00}).at(1));
    EXPECT_EQ((std::vector<uint8_t>{0, 1, 0, 0}), Exchange(fd, 0x30, 0x72)) << "a standalone server";
    close(fd);
  });
}

TEST(TavikNodes, AFailedStartLeavesNothingBehind) {
  nsfixture::Run([] {
    ASSERT_NO_FATAL_FAILURE(ipmitest::MountPrivateDev());
    ASSERT_NO_FATAL_FAILURE(nettest::EnterNewNetns());
    Nodes bad({"--nodes", "2", "--", "--fault", "no-such-fault"});
    EXPECT_NE(0, bad.status);
    EXPECT_NE(std::string::npos, bad.output.find("did not start")) << bad.output;
    std::string out;
    EXPECT_NE(0, nettest::RunCommand({"ip", "link", "show", "tvk0h"}, &out));
    EXPECT_NE(0, access("/tmp/nodes/node0.pid", F_OK));
    Nodes too_many({"--nodes", "5"});
    EXPECT_NE(0, too_many.status);
  });
}

}  // namespace
