#include "smbios_gen.h"

#include <algorithm>
#include <cstring>

namespace smbiosgen {

namespace {

void Le(std::vector<uint8_t> &v, uint64_t x, int bytes) {
  for (int i = 0; i < bytes; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}

uint8_t Checksum(const uint8_t *p, size_t n) {
  uint8_t sum = 0;
  for (size_t i = 0; i < n; ++i) sum = static_cast<uint8_t>(sum + p[i]);
  return static_cast<uint8_t>(-sum);
}

bool AtLeast(const ServerOptions &o, int major, int minor) {
  return o.major > major || (o.major == major && o.minor >= minor);
}

}  // namespace

std::string SystemSerial(int node) { return "QV24N0" + std::to_string(100 + node); }

std::vector<uint8_t> SystemUuid(int node) {
  return {0x51, 0x4c, 0x56, 0x4f, 0x9a, 0x2b, 0x4e, 0x11, 0x8c, 0x3d, 0x00, 0x1b, 0x21, 0x7e, 0x40,
          static_cast<uint8_t>(node)};
}

uint16_t TableBuilder::Add(uint8_t type, const std::vector<uint8_t> &formatted, const std::vector<std::string> &strings) {
  std::vector<uint8_t> s = {type, static_cast<uint8_t>(4 + formatted.size())};
  Le(s, handle_, 2);
  s.insert(s.end(), formatted.begin(), formatted.end());
  for (const std::string &str : strings) {
    s.insert(s.end(), str.begin(), str.end());
    s.push_back(0);
  }
  if (strings.empty()) s.push_back(0);
  s.push_back(0);
  max_size_ = std::max(max_size_, s.size());
  table_.insert(table_.end(), s.begin(), s.end());
  ++count_;
  return handle_++;
}

void TableBuilder::AddRaw(const std::vector<uint8_t> &bytes, int structures) {
  table_.insert(table_.end(), bytes.begin(), bytes.end());
  count_ += structures;
}

std::vector<uint8_t> TableBuilder::Image(uint8_t major, uint8_t minor, int count) const {
  std::vector<uint8_t> ep(kEntryPointSize, 0);
  std::memcpy(ep.data(), "_SM_", 4);
  ep[5] = static_cast<uint8_t>(kEntryPointSize);
  ep[6] = major;
  ep[7] = minor;
  ep[8] = static_cast<uint8_t>(max_size_);
  ep[9] = static_cast<uint8_t>(max_size_ >> 8);
  std::memcpy(ep.data() + 16, "_DMI_", 5);
  ep[22] = static_cast<uint8_t>(table_.size());
  ep[23] = static_cast<uint8_t>(table_.size() >> 8);
  // The table lies just past the entry point.
  ep[24] = static_cast<uint8_t>(kEntryPointSize);
  const uint16_t n = static_cast<uint16_t>(count < 0 ? count_ : count);
  ep[28] = static_cast<uint8_t>(n);
  ep[29] = static_cast<uint8_t>(n >> 8);
  ep[30] = static_cast<uint8_t>((major & 0x0f) << 4 | (minor & 0x0f));
  ep[21] = Checksum(ep.data() + 16, 15);
  ep[4] = Checksum(ep.data(), kEntryPointSize);
  std::vector<uint8_t> image = ep;
  image.insert(image.end(), table_.begin(), table_.end());
  return image;
}

std::vector<uint8_t> BuildServerTable(const ServerOptions &o) {
  TableBuilder t;
  const std::string node = std::to_string(o.node);
  const bool v25 = AtLeast(o, 2, 5), v26 = AtLeast(o, 2, 6), v27 = AtLeast(o, 2, 7), v30 = AtLeast(o, 3, 0),
             v31 = AtLeast(o, 3, 1), v32 = AtLeast(o, 3, 2);

  // BIOS information: vendor, version, release date; E800 segment, 16 MB ROM.
  std::vector<uint8_t> bios = {1, 2, 0x00, 0xe8, 3, 0xff};
  Le(bios, 0x000000001bcb9880ull, 8);                 // characteristics
  bios.insert(bios.end(), {0x03, v27 ? uint8_t{0x0d} : uint8_t{0x05}});  // ACPI, USB legacy; BBS boot order, content distribution, UEFI
  bios.insert(bios.end(), {1, 7, 0xff, 0xff});        // BIOS 1.7, no embedded controller
  if (v31) Le(bios, 0x0010, 2);                       // extended ROM size: 16 MB
  t.Add(0, bios, {"Qelvo", "Qelvo BIOS [" + o.bios_version + "] VNL24", "03/14/2024"});

  // System: manufacturer, product, version, serial, UUID, power switch wake-up, SKU, family.
  std::vector<uint8_t> system = {1, 2, 3, 4};
  const std::vector<uint8_t> uuid = SystemUuid(o.node);
  system.insert(system.end(), uuid.begin(), uuid.end());
  system.insert(system.end(), {0x06, 5, 6});
  const uint16_t chassis_handle = static_cast<uint16_t>(t.next_handle() + 2);
  t.Add(1, system, {"Qelvo", "Qelvo Varnel V24", "01", SystemSerial(o.node), "VNL24-BASE", "Qelvo Varnel"});

  // Baseboard: hosting board, replaceable, in the chassis, motherboard, no contained objects.
  std::vector<uint8_t> board = {1, 2, 3, 4, 5, 0x09, 6};
  Le(board, chassis_handle, 2);
  board.insert(board.end(), {0x0a, 0});
  t.Add(2, board, {"Qelvo", "VNL24-MB", "Rev B2", "QVB" + node + "00427", "none", "Node " + node});

  // Chassis: rack mount, safe states, 2U, two power cords, no contained elements.
  std::vector<uint8_t> chassis = {1, 0x17, 2, 3, 4, 0x03, 0x03, 0x03, 0x03};
  Le(chassis, 0, 4);
  chassis.insert(chassis.end(), {2, 2, 0, 0});
  std::vector<std::string> chassis_strings = {"Qelvo", "none", "QVC" + node + "00918", "none"};
  if (v27) {
    chassis.push_back(5);
    chassis_strings.push_back("VNL24");
  }
  t.Add(3, chassis, chassis_strings);

  // Two processors of a generic kind (family and socket "other").
  for (int cpu = 0; cpu < 2; ++cpu) {
    std::vector<uint8_t> p = {1, 0x03, 0x01, 2};
    Le(p, 0x0000000000000000ull, 8);                   // processor ID: none given
    p.insert(p.end(), {3, 0x8c});                      // version string, 1.2 V
    Le(p, 100, 2);
    Le(p, 4000, 2);
    Le(p, 2400, 2);
    p.insert(p.end(), {0x41, 0x01});                   // populated and enabled; socket "other"
    Le(p, 0xffff, 2);
    Le(p, 0xffff, 2);
    Le(p, 0xffff, 2);
    p.insert(p.end(), {4, 5, 6});                      // serial, asset tag, part number
    if (v25) {
      p.insert(p.end(), {16, 16, 32});
      Le(p, 0x00fc, 2);
    }
    if (v26) Le(p, 0x0001, 2);                         // processor family 2: "other"
    if (v30) {
      Le(p, 16, 2);
      Le(p, 16, 2);
      Le(p, 32, 2);
    }
    t.Add(4, p, {"CPU " + std::to_string(cpu + 1), "CPU Manufacturer", "Server Processor 16C @ 2.40GHz", "none",
                 "none", "none"});
  }

  // Memory: one array on the system board with four DIMMs of 16 GB.
  std::vector<uint8_t> array = {0x03, 0x03, 0x06};
  Le(array, 0x20000000, 4);  // 512 GB in KB
  Le(array, 0xfffe, 2);
  Le(array, 4, 2);
  if (v27) Le(array, 0, 8);
  const uint16_t array_handle = t.Add(16, array, {});
  for (int dimm = 0; dimm < 4; ++dimm) {
    std::vector<uint8_t> m;
    Le(m, array_handle, 2);
    Le(m, 0xfffe, 2);
    Le(m, 72, 2);
    Le(m, 64, 2);
    Le(m, 16384, 2);                                   // MB
    m.insert(m.end(), {0x09, 0, 1, 2, 0x1a});          // DIMM, locators, DDR4
    Le(m, 0x0080, 2);                                  // synchronous
    Le(m, 2933, 2);
    m.insert(m.end(), {3, 4, 5, 6});
    if (v26) m.push_back(0x02);                        // two ranks
    if (v27) {
      Le(m, 0, 4);
      Le(m, 2933, 2);
    }
    if (AtLeast(o, 2, 8)) {
      Le(m, 1200, 2);
      Le(m, 1200, 2);
      Le(m, 1200, 2);
    }
    if (v32) m.resize(0x54 - 4, 0);                    // 3.2 technology and module fields, unknown
    t.Add(17, m, {"DIMM " + std::to_string(dimm + 1), "CPU" + std::to_string(dimm / 2 + 1), "DIMM Manufacturer",
                  "4A2C9E" + std::to_string(10 + dimm), "none", "RDIMM-16G-2933"});
  }
  std::vector<uint8_t> mapped;
  Le(mapped, 0, 4);
  Le(mapped, 0x03ffffff, 4);  // 64 GB in KB, less one
  Le(mapped, array_handle, 2);
  mapped.push_back(4);
  if (v27) {
    Le(mapped, 0, 8);
    Le(mapped, 0, 8);
  }
  t.Add(19, mapped, {});

  // System slots: designation, type, width, usage, length, ID, characteristics; from 2.6 the
  // segment, bus and device/function (0xff: no device behind the slot).
  struct Slot {
    const char *name;
    uint8_t type, width, usage, lanes;
    uint16_t id;
    uint8_t bus, devfn;
  };
  const Slot slots[] = {{"PCIe Slot 1", 0xb6, 0x0d, 0x04, 16, 1, 0x1a, 0x00},
                        {"PCIe Slot 2", 0xb5, 0x0b, 0x04, 8, 2, 0x3b, 0x00},
                        {"PCIe Slot 3", 0xb5, 0x0b, 0x04, 8, 3, 0x5d, 0x10},
                        {"PCIe Slot 4", 0xb5, 0x0b, 0x03, 8, 4, 0xff, 0xff}};
  for (const Slot &s : slots) {
    std::vector<uint8_t> f = {1, s.type, s.width, s.usage, 0x04};
    Le(f, s.id, 2);
    f.insert(f.end(), {0x04, 0x01});
    if (v26) {
      Le(f, s.bus == 0xff ? 0xffff : 0, 2);
      f.insert(f.end(), {s.bus, s.devfn});
    }
    if (v32) f.insert(f.end(), {s.lanes, 0});          // data bus width in lanes, no peers
    t.Add(9, f, {s.name});
  }

  // OEM strings: the controller's and the diagnostics' versions, each first in a structure of its
  // own; the platform's build notes (more than ten strings); for 2.5 the slot locations.
  t.Add(11, {1}, {"Tavik [" + o.controller_version + "]"});
  t.Add(11, {1}, {"Diagnostics [" + o.diagnostics_version + "]"});
  const std::vector<std::string> notes = {"Qelvo Platform", "Board ID VNL24", "CPLD 3.04", "PSU 1 FW 1.2.4",
                                          "PSU 2 FW 1.2.4", "Backplane 2.10", "LOM 1.8.0", "FPGA 0.9",
                                          "Mgmt Engine 4.4", "Power FW 5.04", "Security 1.0", "Build VNL24-2024-03"};
  t.Add(11, {static_cast<uint8_t>(notes.size())}, notes);
  if (o.major == 2 && o.minor == 5) {
    for (const Slot &s : slots) {
      char text[80];
      std::snprintf(text, sizeof text, "$T9 SID:0x%04x SegGrp:0x0000 B:0x%02x D:0x%02x F:0x%x", s.id,
                    s.bus == 0xff ? 0 : s.bus, s.devfn == 0xff ? 0 : s.devfn >> 3,
                    s.devfn == 0xff ? 0 : s.devfn & 7);
      t.Add(11, {1}, {text});
    }
  }

  // System boot: no errors. IPMI device: KCS at I/O 0xCA2 (the 16-byte form, without interrupt).
  t.Add(32, {0, 0, 0, 0, 0, 0, 0}, {});
  std::vector<uint8_t> ipmi = {0x01, 0x20, 0x20, 0xff};
  Le(ipmi, 0x0ca3, 8);
  t.Add(38, ipmi, {});
  if (v26) t.Add(41, {1, 0x85, 1, 0, 0, 0x19, 0x00}, {"Onboard LAN 1"});

  t.Add(127, {}, {});
  return t.Image(o.major, o.minor);
}

std::vector<Recorded> RecordedTables() {
  std::vector<Recorded> r;
  auto add = [&r](const char *file, uint8_t major, uint8_t minor) {
    ServerOptions o;
    o.major = major;
    o.minor = minor;
    r.push_back({file, o});
  };
  add("smbios-2.4.bin", 2, 4);
  add("smbios-2.5.bin", 2, 5);
  add("smbios-2.7.bin", 2, 7);
  add("smbios-3.2.bin", 3, 2);
  return r;
}

}  // namespace smbiosgen
