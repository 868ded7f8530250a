// A controller for tests of the data store's users: the simulator's own request handling
// (tavik::Controller, as tavik-sim runs it) behind a scripted device node at /dev/ipmi0, so that a
// test sees every request and can bend a reply. Only inside an nsfixture body whose /dev is
// private (ipmitest::MountPrivateDev); the files are written under the body's private /tmp.
#ifndef QELVO_FWINFO_TESTS_STORE_CONTROLLER_H
#define QELVO_FWINFO_TESTS_STORE_CONTROLLER_H

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "controller.h"
#include "ipmi_testing.h"

namespace fwtest {

using Bytes = std::vector<uint8_t>;

// A data store request as the controller received it.
struct StoreRequest {
  uint8_t op = 0;
  Bytes data;           // everything after the IANA number and the operation
  uint32_t offset = 0;  // read and write
  unsigned count = 0;   // read: the count asked for; write: the bytes carried
  std::string name;     // open (the 25-byte field, up to its first zero), query size, delete
};

class StoreController {
 public:
  // May change (or drop, with nullopt) the simulator's reply to a request.
  using Hook = std::function<void(const ipmisim::Packet &req, std::optional<Bytes> &reply)>;

  // files: data store files and their content; settings: further simulator settings (faults).
  explicit StoreController(const std::map<std::string, Bytes> &files,
                           const std::vector<std::pair<std::string, std::string>> &settings = {}, Hook hook = nullptr,
                           const std::string &device = "/dev/ipmi0");

  bool ok() const { return ok_; }
  const std::string &error() const { return error_; }
  std::vector<StoreRequest> Requests() const;
  std::vector<StoreRequest> Requests(uint8_t op) const;
  // Every request of any command, as received.
  std::vector<ipmisim::Packet> Packets() const { return fake_->Requests(); }
  // The store's current content of a file (null when there is none).
  std::optional<Bytes> File(const std::string &name);

 private:
  std::unique_ptr<tavik::Controller> sim_;
  std::unique_ptr<ipmitest::FakeController> fake_;
  Hook hook_;
  bool ok_ = false;
  std::string error_;
};

// Bytes 0, 1, 2, ... of the given length (mod 251, so that chunks differ).
Bytes Pattern(size_t n, uint8_t seed = 1);
Bytes ReadAll(const std::string &path);

}  // namespace fwtest

#endif  // QELVO_FWINFO_TESTS_STORE_CONTROLLER_H
