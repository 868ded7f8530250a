// Test helpers for code that talks to the IPMI device.
//
// Inside an nsfixture body (a private mount namespace):
//
//   TEST(Transport, AnswersGetDeviceId) {
//     nsfixture::Run([] {
//       ipmitest::MountPrivateDev();
//       ipmitest::FakeController bmc("/dev/ipmi0", [](const ipmisim::Packet& req) {
//         return ipmitest::Reaction{{ipmitest::Response(req, {0x00, 0x20})}};
//       });
//       int fd = open("/dev/ipmi0", O_RDWR);   // served by the interposer linked into the test
//       ...
//     });
//   }
//
// A test executable gets the driver stand-in by linking the target ipmi_interpose (the preload's
// code, interposing open/ioctl/read/write/close in the executable itself).
#ifndef QELVO_PLATFORM_IPMI_TESTING_H
#define QELVO_PLATFORM_IPMI_TESTING_H

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "ipmi_sim_wire.h"

namespace ipmitest {

// Covers /dev with an empty tmpfs and binds the usual nodes back (null, zero, full, random,
// urandom, tty, ptmx, pts, shm and the fd links), so that a test owns what else lies in /dev.
// Only inside a private mount namespace; reports a fatal test failure when it cannot.
void MountPrivateDev();

// A response message to req carrying data (the completion code first).
ipmisim::Packet Response(const ipmisim::Packet& req, const std::vector<uint8_t>& data);

// What the fake does for one request: send these messages in order, then close the connection
// when close is set. No messages and no close is silence.
struct Reaction {
  std::vector<ipmisim::Packet> messages;
  bool close = false;
};

// A scripted controller on a device node: listens on the SOCK_SEQPACKET socket at path and
// answers every request of every connection through handler, on its own thread. The handler runs
// on that thread. Stops, closes every connection and removes the node when destroyed.
class FakeController {
 public:
  using Handler = std::function<Reaction(const ipmisim::Packet& request)>;

  FakeController(std::string path, Handler handler);
  ~FakeController();
  FakeController(const FakeController&) = delete;
  FakeController& operator=(const FakeController&) = delete;

  // The requests received so far, in order.
  std::vector<ipmisim::Packet> Requests() const;
  // The event subscription states the clients sent, in order.
  std::vector<bool> EventSubscriptions() const;
  // Sends msg unprompted to every open connection.
  void Push(const ipmisim::Packet& msg);
  // Connections accepted so far.
  int Connections() const { return connections_.load(); }

 private:
  void Serve();

  std::string path_;
  Handler handler_;
  int listen_fd_ = -1;
  int wake_[2] = {-1, -1};
  std::atomic<int> connections_{0};
  mutable std::mutex mu_;
  std::vector<ipmisim::Packet> requests_;
  std::vector<bool> subscriptions_;
  std::vector<ipmisim::Packet> pushes_;
  std::thread thread_;
};

}  // namespace ipmitest

#endif  // QELVO_PLATFORM_IPMI_TESTING_H
