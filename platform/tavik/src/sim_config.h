// The configuration of one controller simulator (one node), from a file of "key = value" lines
// and from the command line ("--key value" or "--key=value", applied in order; "--config FILE"
// reads a file at that point). The keys are listed in README.md.
#ifndef QELVO_PLATFORM_TAVIK_SIM_CONFIG_H
#define QELVO_PLATFORM_TAVIK_SIM_CONFIG_H

#include <array>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace tavik {

constexpr int kMaxNodes = 8;
constexpr size_t kMaxFileName = 25;  // what an open request can carry

// Misbehaviour switched on for tests.
struct Faults {
  std::set<std::pair<uint8_t, uint8_t>> silent;                // (netfn, cmd) never answered
  std::map<std::pair<uint8_t, uint8_t>, uint8_t> completion;  // (netfn, cmd) answered with this code only
  bool short_user_id = false;     // the user ID reply carries 4 of its 8 bytes
  int descriptor_max_count = 255;  // descriptor reads asking for more get 0xC9
  int descriptor_chunk = 255;      // at most this many descriptor bytes per reply (0xCA chains)
  int datastore_max_chunk = 255;   // data store reads and writes of more bytes get 0xC0
  bool kvm_absent = false;         // master write-read to the KVM device gets 0x83 (no acknowledge)
  bool kvm_ff = false;             // the KVM device answers 0xFF bytes
  bool slp_no_ports = false;       // the SLP attribute list carries no CIM-XML port
};

struct Config {
  int node = 0;                  // index of this node in the complex
  int nodes = 1;                 // nodes in the complex; 1 is a standalone server without descriptor
  std::vector<int> partitions;   // partition of each node (default: all in partition 0)
  int standalone = -1;           // -1: 1 when the node is alone in its partition
  std::string ipmi_socket;       // default /dev/ipmi<node>
  std::string slp_address;       // empty: no SLP agent
  int generation = 1;            // 1: service type ...:tavik, 2: ...:tavik2
  std::array<uint8_t, 8> user_id{};
  bool user_id_set = false;      // default "TVKADM" and the node number in two digits
  std::string firmware = "1.42";  // controller firmware version (major.minor)
  std::string kvm_version = "CKV1.21.3";
  int http_port = 5988;
  int https_port = 5989;
  std::map<std::string, std::string> files;  // data store file name -> host file with its content
  std::string ready_file;        // written once the simulator serves
  bool verbose = false;          // log every request to standard error
  Faults faults;

  // Applies one setting; false with *error set when key or value is not valid.
  bool Set(const std::string& key, const std::string& value, std::string* error);
  // Reads a configuration file.
  bool Load(const std::string& path, std::string* error);
  // Checks the whole and fills the defaults that depend on other keys.
  bool Finish(std::string* error);

  int PartitionOf(int n) const { return partitions.empty() ? 0 : partitions[static_cast<size_t>(n)]; }
  // Rank of node n among the nodes of its partition (its logical id).
  int LogicalIdOf(int n) const;
  int PartitionSize(int partition) const;
  bool Standalone() const;
};

// Parses the command line into cfg. Returns false with *error set on a bad option. Sets
// *print_account for --print-account.
bool ParseCommandLine(int argc, char** argv, Config* cfg, bool* print_account, std::string* error);

}  // namespace tavik

#endif  // QELVO_PLATFORM_TAVIK_SIM_CONFIG_H
