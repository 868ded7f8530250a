// The IPMI side of one node's controller: what it answers to each request that reaches it over
// the host's system interface. Completion codes follow the IPMI specification (0xC1 unknown
// command, 0xC7 bad request length, 0xC9 parameter out of range, 0xCC invalid data field); the
// OEM commands answer as described in README.md.
#ifndef QELVO_PLATFORM_TAVIK_CONTROLLER_H
#define QELVO_PLATFORM_TAVIK_CONTROLLER_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "sim_config.h"

namespace tavik {

// The controller's account password for an 8-byte user ID, derived with the configured
// 62-character alphabet (the same derivation the host performs).
std::string DerivePassword(const std::array<uint8_t, 8>& user_id);

// The multi-node complex descriptor the controller serves (empty for a standalone server).
std::vector<uint8_t> BuildComplexDescriptor(const Config& cfg);

// The node's SMBIOS 2.7 server table (entry point and structures), made by the SMBIOS generator
// with the configured controller firmware in its OEM string.
std::vector<uint8_t> BuildSmbiosImage(const Config& cfg);

// The SLP service URL and attribute list of the controller's service agent.
std::string SlpServiceUrl(const Config& cfg);
std::string SlpAttributes(const Config& cfg);

class Controller {
 public:
  // Files named in cfg.files are read here; false with *error when one cannot be read.
  bool Init(const Config& cfg, std::string* error);

  // The reply data (completion code first) to a request, or nothing when the controller stays
  // silent.
  std::optional<std::vector<uint8_t>> Handle(uint8_t netfn, uint8_t cmd, const std::vector<uint8_t>& data);

  const std::vector<uint8_t>& descriptor() const { return descriptor_; }
  const std::vector<uint8_t>* file(const std::string& name) const;

 private:
  std::vector<uint8_t> App(uint8_t cmd, const std::vector<uint8_t>& data);
  std::vector<uint8_t> ReadDescriptor(const std::vector<uint8_t>& data);
  std::vector<uint8_t> NodeInfo(const std::vector<uint8_t>& data);
  std::vector<uint8_t> DataStore(const std::vector<uint8_t>& data);
  std::vector<uint8_t> MasterWriteRead(const std::vector<uint8_t>& data);

  struct OpenFile {
    std::string name;
    uint8_t access;
  };

  Config cfg_;
  std::vector<uint8_t> descriptor_;
  std::map<std::string, std::vector<uint8_t>> files_;
  std::map<std::string, std::vector<uint8_t>> defaults_;
  std::map<uint32_t, OpenFile> handles_;
  uint32_t next_handle_ = 1;
};

}  // namespace tavik

#endif  // QELVO_PLATFORM_TAVIK_CONTROLLER_H
