// tavik-cimom-settings: what a node's CIMOM takes from the node's simulator settings. Reads the
// same options as tavik-sim (--config FILE, --KEY VALUE, ...) and prints, one "key=value" per line:
//
//   account=USER:PASSWORD      the controller's derived account (empty when the user ID has
//                              bytes an HTTP Basic account cannot carry)
//   default_account=USERID:... the controller's default account
//   firmware=1.42              the firmware version
//   generation=1               the interface generation
//   http_port=5988             the CIM-XML ports the controller announces
//   https_port=5989
//
// tavik-nodes starts the node's CIMOM with these values.
#include <cstdio>
#include <string>

#include "controller.h"
#include "qelvo_config.h"
#include "sim_config.h"

namespace {

// The user ID as text, when every byte up to the first zero byte is a printable character other
// than ':' (which separates user and password in Basic authentication).
bool UserText(const std::array<uint8_t, 8>& id, std::string* out) {
  out->clear();
  for (uint8_t b : id) {
    if (b == 0) break;
    if (b < 0x21 || b > 0x7e || b == ':') return false;
    out->push_back(static_cast<char>(b));
  }
  return !out->empty();
}

}  // namespace

int main(int argc, char** argv) {
  tavik::Config cfg;
  bool print_account = false;
  std::string error;
  if (!tavik::ParseCommandLine(argc, argv, &cfg, &print_account, &error)) {
    std::fprintf(stderr, "tavik-cimom-settings: %s\n", error.c_str());
    return 2;
  }
  std::string user;
  if (UserText(cfg.user_id, &user)) {
    std::printf("account=%s:%s\n", user.c_str(), tavik::DerivePassword(cfg.user_id).c_str());
  } else {
    std::fprintf(stderr, "tavik-cimom-settings: the user ID cannot be an account name; only the default account\n");
    std::printf("account=\n");
  }
  std::printf("default_account=USERID:%s\n", QELVO_TAVIK_DEFAULT_PASSWORD);
  std::printf("firmware=%s\n", cfg.firmware.c_str());
  std::printf("generation=%d\n", cfg.generation);
  std::printf("http_port=%d\n", cfg.http_port);
  std::printf("https_port=%d\n", cfg.https_port);
  return 0;
}
