// Network namespaces for tests that send real datagrams.
//
// Inside an nsfixture body:
//
//   nettest::EnterNewNetns();                 // this process: a namespace with only loopback
//   nettest::Peer node("tvk0", "169.254.95.101/24", "169.254.95.118/24", [] {
//     ... runs in a child process in a namespace of its own, linked to ours ...
//   });
//   ASSERT_TRUE(node.ok());
//
// The peer's namespace, its end of the link and the process vanish when the Peer is destroyed
// (the child is killed and reaped; the link goes with the namespace).
#ifndef QELVO_PLATFORM_NETNS_TESTING_H
#define QELVO_PLATFORM_NETNS_TESTING_H

#include <sys/types.h>

#include <functional>
#include <string>
#include <vector>

namespace nettest {

// Moves the calling process into a new network namespace and brings its loopback up. Only in a
// process the test owns (an nsfixture body); a fatal test failure when it cannot.
void EnterNewNetns();

// Runs argv and waits at most timeout_ms for it; returns its exit status, or -1 when it could not
// be run or was killed at the time-out. Its standard output and error go to *output when given.
int RunCommand(const std::vector<std::string>& argv, std::string* output = nullptr, int timeout_ms = 10000);

// A child process in a new network namespace, linked to the caller's by a veth pair: "<name>h" on
// our side with host_cidr, "<name>n" on its side with peer_cidr, both up. body runs in the child
// once the link is up (the child ends when it returns).
class Peer {
 public:
  Peer(const std::string& name, const std::string& host_cidr, const std::string& peer_cidr,
       std::function<void()> body);
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  bool ok() const { return ok_; }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  bool ok_ = false;
};

}  // namespace nettest

#endif  // QELVO_PLATFORM_NETNS_TESTING_H
