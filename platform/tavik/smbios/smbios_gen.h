// SMBIOS table images for the controller simulator's data store file "smbios-table": the
// 31-byte SMBIOS 2.x entry point (valid checksums, structure count, table address pointing just
// past it) followed by the structure table of a plausible rack server. The generator makes the
// recorded tables kept as test data (tables/) and can make the simulator's own table.
#ifndef QELVO_PLATFORM_TAVIK_SMBIOS_GEN_H
#define QELVO_PLATFORM_TAVIK_SMBIOS_GEN_H

#include <cstdint>
#include <string>
#include <vector>

namespace smbiosgen {

constexpr size_t kEntryPointSize = 31;

// A structure table under construction. Handles are given in order from 0.
class TableBuilder {
 public:
  // Appends a structure: `formatted` is what follows the 4-byte header in the formatted area;
  // `strings` is its string set (none gives the empty set). Returns its handle.
  uint16_t Add(uint8_t type, const std::vector<uint8_t> &formatted, const std::vector<std::string> &strings);
  // Appends raw bytes as they are (for malformed tables in tests); counts as `structures`.
  void AddRaw(const std::vector<uint8_t> &bytes, int structures);
  uint16_t next_handle() const { return handle_; }

  // The entry point for version major.minor, followed by the table. `count` overrides the
  // structure count written into the entry point (negative: the real count).
  std::vector<uint8_t> Image(uint8_t major, uint8_t minor, int count = -1) const;

 private:
  std::vector<uint8_t> table_;
  uint16_t handle_ = 0;
  int count_ = 0;
  size_t max_size_ = 0;
};

// What a server table says.
struct ServerOptions {
  uint8_t major = 2;
  uint8_t minor = 7;
  int node = 0;
  std::string bios_version = "VNB3.18-2";           // type 0 string 2: "Qelvo BIOS [<bios_version>] VNL24"
  std::string controller_version = "TVK1.42-7";     // OEM string "Tavik [<controller_version>]"
  std::string diagnostics_version = "QDG4.12-1";    // OEM string "Diagnostics [<diagnostics_version>]"
};

// The node's system identity, the same in its table and in the controller's other answers (the
// complex descriptor, the device GUID): the serial number (9 characters) and the UUID.
std::string SystemSerial(int node);
std::vector<uint8_t> SystemUuid(int node);

// A server's table: BIOS information, system, baseboard, chassis, two processors, a memory array
// with four memory devices and its mapped address, four system slots, OEM strings (the
// controller's and the diagnostics' versions in square brackets, and for SMBIOS 2.5 the "$T9"
// slot location strings), system boot, IPMI device and (2.6 and later) onboard device
// structures, and the end-of-table structure. Structure layouts follow the version: type 9 is
// 13 bytes up to 2.5, 17 bytes from 2.6 (segment, bus, device/function), 19 bytes from 3.2.
std::vector<uint8_t> BuildServerTable(const ServerOptions &opts);

// The recorded tables kept as test data: file name and the options that make it.
struct Recorded {
  const char *file;
  ServerOptions options;
};
std::vector<Recorded> RecordedTables();

}  // namespace smbiosgen

#endif  // QELVO_PLATFORM_TAVIK_SMBIOS_GEN_H
