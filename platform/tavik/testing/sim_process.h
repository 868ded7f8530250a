// A controller simulator (tavik-sim) run by a test, inside an nsfixture body whose /dev is
// private (ipmitest::MountPrivateDev) so that the simulator can put its device node there.
//
//   tavikt::SimProcess node({"--nodes", "2", "--node", "0"});
//   ASSERT_TRUE(node.ok());            // serving /dev/ipmi0 (or the --ipmi-socket given)
//
// The destructor stops the simulator (SIGTERM, SIGKILL after 5 s) and reaps it.
#ifndef QELVO_PLATFORM_TAVIK_SIM_PROCESS_H
#define QELVO_PLATFORM_TAVIK_SIM_PROCESS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace tavikt {

// The built simulator and the script that starts the nodes of a simulated host.
const char* SimPath();
const char* NodesScriptPath();

class SimProcess {
 public:
  explicit SimProcess(const std::vector<std::string>& args);
  ~SimProcess();
  SimProcess(const SimProcess&) = delete;
  SimProcess& operator=(const SimProcess&) = delete;

  bool ok() const { return ok_; }
  pid_t pid() const { return pid_; }
  // Sends SIGTERM and waits at most timeout_ms; returns the wait status, or -1 when it had to be
  // killed.
  int Stop(int timeout_ms = 5000);

 private:
  pid_t pid_ = -1;
  bool ok_ = false;
  std::string ready_;
};

}  // namespace tavikt

#endif  // QELVO_PLATFORM_TAVIK_SIM_PROCESS_H
