// The controllers of a simulated host with their CIMOMs, as a test starts them: inside an
// nsfixture body with a private /dev (ipmitest::MountPrivateDev) and, after
// nettest::EnterNewNetns(), a network namespace of its own.
//
//   tavikt::ControllerHost host({.nodes = 1, .switches = {"--no-https"}});
//   ASSERT_TRUE(host.ok()) << host.error();
//   ... cmciConnect(tavikt::ControllerHost::Address(0).c_str(), "http", "5988", ...) ...
//
// The constructor makes the host's certificate authority (/tmp/tavik-ca), adds it to the trust
// store of the body's private /etc, and runs tavik-nodes up with the built simulator and CIMOM;
// the destructor runs tavik-nodes down.
#ifndef QELVO_PLATFORM_TAVIK_CONTROLLER_HOST_H
#define QELVO_PLATFORM_TAVIK_CONTROLLER_HOST_H

#include <string>
#include <vector>

namespace tavikt {

struct HostOptions {
  int nodes = 1;
  int generation = 1;
  // tavik-nodes switches: --no-https, --no-http, --untrusted-cert, --refuse-account.
  std::vector<std::string> switches;
  // Options for every node's simulator (--fault ..., --https-port ..., --verbose).
  std::vector<std::string> sim_options;
};

class ControllerHost {
 public:
  explicit ControllerHost(const HostOptions& options);
  ~ControllerHost();
  ControllerHost(const ControllerHost&) = delete;
  ControllerHost& operator=(const ControllerHost&) = delete;

  bool ok() const { return ok_; }
  const std::string& error() const { return error_; }

  // The controller's own account of node n, "USER:PASSWORD".
  std::string Account(int n) const;
  // The default account every controller accepts, "USERID:PASSWORD".
  static std::string DefaultAccount();
  // 169.254.(95+n).118 and 169.254.(95+n).101.
  static std::string Address(int n);
  static std::string BindAddress(int n);
  // The simulator's and the CIMOM's logs of node n.
  std::string SimLog(int n) const;
  std::string CimomLog(int n) const;
  // The host's certificate authority (PEM file).
  static const char* AuthorityFile();

 private:
  HostOptions options_;
  bool ok_ = false;
  std::string error_;
};

}  // namespace tavikt

#endif  // QELVO_PLATFORM_TAVIK_CONTROLLER_HOST_H
