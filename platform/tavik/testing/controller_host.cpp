// Starting and stopping a simulated host's controllers and CIMOMs for tests (see the header).
#include "controller_host.h"

#include <fstream>
#include <sstream>

#include "netns_testing.h"
#include "qelvo_config.h"
#include "sim_process.h"

namespace tavikt {

namespace {

constexpr char kState[] = "/tmp/tavik-nodes";
constexpr char kAuthority[] = "/tmp/tavik-ca";

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace

ControllerHost::ControllerHost(const HostOptions& options) : options_(options) {
  std::string out;
  if (nettest::RunCommand({TAVIK_CERTS_SCRIPT, "ca", kAuthority}, &out, 30000) != 0 ||
      nettest::RunCommand({TAVIK_CERTS_SCRIPT, "trust", kAuthority}, &out, 30000) != 0) {
    error_ = "cannot make the certificate authority: " + out;
    return;
  }
  std::vector<std::string> argv = {NodesScriptPath(), "up",        "--state-dir", kState,
                                   "--nodes",         std::to_string(options.nodes),
                                   "--generation",    std::to_string(options.generation),
                                   "--sim",           SimPath(),   "--cimhost",   CIMHOST_PATH,
                                   "--ca",            kAuthority};
  argv.insert(argv.end(), options.switches.begin(), options.switches.end());
  if (!options.sim_options.empty()) {
    argv.push_back("--");
    argv.insert(argv.end(), options.sim_options.begin(), options.sim_options.end());
  }
  if (nettest::RunCommand(argv, &out, 120000) != 0) {
    error_ = "tavik-nodes up failed: " + out;
    for (int n = 0; n < options.nodes; ++n) error_ += "\n" + SimLog(n) + CimomLog(n);
    return;
  }
  ok_ = true;
}

ControllerHost::~ControllerHost() {
  nettest::RunCommand({NodesScriptPath(), "down", "--state-dir", kState}, nullptr, 60000);
}

std::string ControllerHost::Account(int n) const {
  std::vector<std::string> argv = {SimPath(), "--node", std::to_string(n), "--nodes", std::to_string(options_.nodes)};
  argv.insert(argv.end(), options_.sim_options.begin(), options_.sim_options.end());
  argv.push_back("--print-account");
  std::string out;
  if (nettest::RunCommand(argv, &out) != 0) return std::string();
  // "USER PASSWORD\n"
  const size_t blank = out.find(' ');
  if (blank == std::string::npos) return std::string();
  return out.substr(0, blank) + ":" + out.substr(blank + 1, out.find('\n') - blank - 1);
}

std::string ControllerHost::DefaultAccount() { return std::string("USERID:") + QELVO_TAVIK_DEFAULT_PASSWORD; }

std::string ControllerHost::Address(int n) { return "169.254." + std::to_string(95 + n) + ".118"; }
std::string ControllerHost::BindAddress(int n) { return "169.254." + std::to_string(95 + n) + ".101"; }

std::string ControllerHost::SimLog(int n) const {
  return ReadAll(std::string(kState) + "/node" + std::to_string(n) + ".log");
}
std::string ControllerHost::CimomLog(int n) const {
  return ReadAll(std::string(kState) + "/node" + std::to_string(n) + "-cimom/cimom.log");
}

const char* ControllerHost::AuthorityFile() { return "/tmp/tavik-ca/ca.pem"; }

}  // namespace tavikt
