#include "controller.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "qelvo_config.h"
#include "smbios_gen.h"

namespace tavik {

namespace {

// Network functions (requests) and commands.
constexpr uint8_t kNetfnApp = 0x06;
constexpr uint8_t kNetfnOemGroup = 0x2e;
constexpr uint8_t kNetfnPartition = 0x30;
constexpr uint8_t kNetfnAccount = 0x3a;

constexpr uint8_t kCmdGetDeviceId = 0x01;
constexpr uint8_t kCmdGetSelfTest = 0x04;
constexpr uint8_t kCmdGetDeviceGuid = 0x08;
constexpr uint8_t kCmdGetSystemGuid = 0x37;
constexpr uint8_t kCmdMasterWriteRead = 0x52;
constexpr uint8_t kCmdReadDescriptor = 0x50;
constexpr uint8_t kCmdNodeInfo = 0x72;
constexpr uint8_t kCmdUserId = 0x64;
constexpr uint8_t kCmdDataStore = 0x90;

// Completion codes.
constexpr uint8_t kOk = 0x00;
constexpr uint8_t kNodeBusy = 0xc0;
constexpr uint8_t kInvalidCommand = 0xc1;
constexpr uint8_t kBadLength = 0xc7;
constexpr uint8_t kOutOfRange = 0xc9;
constexpr uint8_t kMoreData = 0xca;
constexpr uint8_t kInvalidField = 0xcc;
constexpr uint8_t kI2cNak = 0x83;

// Data store operations and status codes.
enum : uint8_t { kOpen = 1, kRead = 2, kWrite = 3, kWriteDefaults = 4, kClose = 5, kQuerySize = 6, kDelete = 7 };
constexpr uint8_t kDsAccess = 0x0a;
constexpr uint8_t kDsWrite = 0x0b;
constexpr uint8_t kDsRead = 0x0c;
constexpr uint8_t kDsLimit = 0x0d;
constexpr size_t kMaxOpenFiles = 64;
constexpr size_t kMaxFileSize = 65535;

// The KVM device behind the master write-read.
constexpr uint8_t kKvmBus = 0xf5;
constexpr uint8_t kKvmSlave = 0x68;

void PutLe(std::vector<uint8_t>& out, uint32_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) out.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

uint32_t GetLe(const std::vector<uint8_t>& in, size_t at, int bytes) {
  uint32_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint32_t>(in[at + static_cast<size_t>(i)]) << (8 * i);
  return v;
}

}  // namespace

// ---------------------------------------------------------------------------------------------

std::string DerivePassword(const std::array<uint8_t, 8>& id) {
  static const char kAlphabet[] = QELVO_PASSWORD_ALPHABET;
  static_assert(sizeof kAlphabet == 63, "the alphabet has 62 characters");
  uint32_t w[4];
  for (int i = 0; i < 4; ++i) w[i] = static_cast<uint32_t>(id[2 * i] << 8 | id[2 * i + 1]);
  const uint32_t products[2] = {w[0] * w[2], w[1] * w[3]};
  std::string password;
  for (uint32_t p : products) {
    for (int shift = 24; shift >= 0; shift -= 8) password += kAlphabet[((p >> shift) & 0xff) % 62];
  }
  return password;
}

std::vector<uint8_t> BuildComplexDescriptor(const Config& cfg) {
  if (cfg.nodes < 2) return {};
  std::vector<uint8_t> d = {0x01, 4, 'Q', 'C', 'P', 'X', 0x02, 2, 0x5a, 0x01, 0x03, 1, static_cast<uint8_t>(cfg.nodes)};
  for (int n = 0; n < cfg.nodes; ++n) {
    std::vector<uint8_t> rec;
    const std::vector<uint8_t> uuid = smbiosgen::SystemUuid(n);
    rec.push_back(0x80);
    rec.push_back(16);
    rec.insert(rec.end(), uuid.begin(), uuid.end());
    const std::string serial = smbiosgen::SystemSerial(n);
    rec.push_back(0x81);
    rec.push_back(8);
    rec.insert(rec.end(), serial.begin(), serial.begin() + 8);
    uint16_t sum = 0;
    for (uint8_t b : uuid) sum = static_cast<uint16_t>(sum + b);
    rec.insert(rec.end(), {0x82, 2, static_cast<uint8_t>(sum), static_cast<uint8_t>(sum >> 8)});
    const int partition = cfg.PartitionOf(n);
    const int logical = cfg.LogicalIdOf(n);
    rec.insert(rec.end(), {0x83, 1, 0x01,                                                    // type: compute node
                           0x84, 1, 0x01,                                                    // power: on
                           0x85, 1, static_cast<uint8_t>(logical),                           //
                           0x86, 1, static_cast<uint8_t>(partition),                         //
                           0x87, 1, static_cast<uint8_t>(cfg.PartitionSize(partition)),      //
                           0x88, 1, static_cast<uint8_t>(logical == 0 ? 0x01 : 0x00)});      // primary
    d.push_back(0xf0);
    d.push_back(static_cast<uint8_t>(rec.size()));
    d.insert(d.end(), rec.begin(), rec.end());
  }
  return d;
}

std::vector<uint8_t> BuildSmbiosImage(const Config& cfg) {
  smbiosgen::ServerOptions o;  // SMBIOS 2.7
  o.node = cfg.node;
  o.controller_version = "TVK" + cfg.firmware + "-7";
  return smbiosgen::BuildServerTable(o);
}

std::string SlpServiceUrl(const Config& cfg) {
  return std::string("service:management-hardware.Qelvo:") + (cfg.generation == 2 ? "tavik2" : "tavik") + "://" +
         cfg.slp_address;
}

std::string SlpAttributes(const Config& cfg) {
  const std::string https = std::to_string(cfg.https_port), http = std::to_string(cfg.http_port);
  const std::string node = std::to_string(cfg.node);
  std::string attrs;
  if (cfg.generation == 2) {
    attrs = "(service-id=tavik2-node" + node + "),(node-id=" + node + ")";
    if (!cfg.faults.slp_no_ports) attrs += ",(cimxml-https=tcp:" + https + ":/cimom),(cimxml-http=tcp:" + http + ":/cimom)";
  } else {
    attrs = "(template-type=management-hardware.Qelvo),(service-id=tavik-node" + node + ")";
    if (!cfg.faults.slp_no_ports) attrs += ",(cimxml-port-https=" + https + "),(cimxml-port-http=" + http + ")";
    attrs += ",(node-id=" + node + ")";
  }
  return attrs;
}

// ---------------------------------------------------------------------------------------------

bool Controller::Init(const Config& cfg, std::string* error) {
  cfg_ = cfg;
  descriptor_ = BuildComplexDescriptor(cfg);
  files_["smbios-table"] = BuildSmbiosImage(cfg);
  for (const auto& f : cfg.files) {
    std::ifstream in(f.second, std::ios::binary);
    if (!in) {
      *error = "cannot read " + f.second + " for data store file " + f.first;
      return false;
    }
    std::vector<uint8_t> content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (content.size() > kMaxFileSize) {
      *error = f.second + " is larger than a data store file can be";
      return false;
    }
    files_[f.first] = std::move(content);
  }
  defaults_ = files_;
  return true;
}

const std::vector<uint8_t>* Controller::file(const std::string& name) const {
  auto it = files_.find(name);
  return it == files_.end() ? nullptr : &it->second;
}

std::optional<std::vector<uint8_t>> Controller::Handle(uint8_t netfn, uint8_t cmd, const std::vector<uint8_t>& data) {
  if (cfg_.faults.silent.count({netfn, cmd}) != 0) return std::nullopt;
  auto forced = cfg_.faults.completion.find({netfn, cmd});
  if (forced != cfg_.faults.completion.end()) return std::vector<uint8_t>{forced->second};
  switch (netfn) {
    case kNetfnApp:
      return App(cmd, data);
    case kNetfnAccount:
      if (cmd != kCmdUserId) break;
      if (!data.empty()) return std::vector<uint8_t>{kBadLength};
      {
        std::vector<uint8_t> reply = {kOk};
        reply.insert(reply.end(), cfg_.user_id.begin(), cfg_.user_id.begin() + (cfg_.faults.short_user_id ? 4 : 8));
        return reply;
      }
    case kNetfnPartition:
      if (cmd == kCmdReadDescriptor) return ReadDescriptor(data);
      if (cmd == kCmdNodeInfo) return NodeInfo(data);
      break;
    case kNetfnOemGroup:
      if (cmd == kCmdDataStore) return DataStore(data);
      break;
    default:
      break;
  }
  return std::vector<uint8_t>{kInvalidCommand};
}

std::vector<uint8_t> Controller::App(uint8_t cmd, const std::vector<uint8_t>& data) {
  switch (cmd) {
    case kCmdGetDeviceId: {
      if (!data.empty()) return {kBadLength};
      const size_t dot = cfg_.firmware.find('.');
      const int major = std::stoi(cfg_.firmware.substr(0, dot));
      const std::string minor = cfg_.firmware.substr(dot + 1);
      std::vector<uint8_t> r = {kOk,
                                0x20,  // device id
                                0x01,  // device revision
                                static_cast<uint8_t>(major & 0x7f),
                                static_cast<uint8_t>((minor[0] - '0') << 4 | (minor[1] - '0')),
                                0x02,   // IPMI 2.0
                                0xbf};  // chassis, bridge, event generator/receiver, FRU, SEL, SDR, sensors
      PutLe(r, QELVO_VENDOR_IANA, 3);
      PutLe(r, 0x7c01, 2);  // product id
      PutLe(r, 0x00000007, 4);  // auxiliary firmware revision: the build
      return r;
    }
    case kCmdGetSelfTest:
      if (!data.empty()) return {kBadLength};
      return {kOk, 0x55, 0x00};
    case kCmdGetDeviceGuid:
    case kCmdGetSystemGuid: {
      if (!data.empty()) return {kBadLength};
      std::vector<uint8_t> r = {kOk};
      const std::vector<uint8_t> uuid = smbiosgen::SystemUuid(cfg_.node);
      r.insert(r.end(), uuid.begin(), uuid.end());
      return r;
    }
    case kCmdMasterWriteRead:
      return MasterWriteRead(data);
    default:
      return {kInvalidCommand};
  }
}

std::vector<uint8_t> Controller::MasterWriteRead(const std::vector<uint8_t>& data) {
  if (data.size() < 3) return {kBadLength};
  const uint8_t bus = data[0], slave = data[1], count = data[2];
  if (bus != kKvmBus || slave != kKvmSlave || cfg_.faults.kvm_absent) return {kI2cNak};
  std::vector<uint8_t> r = {kOk};
  const std::vector<uint8_t> written(data.begin() + 3, data.end());
  const bool version_query = written == std::vector<uint8_t>{0x1d, 0x01, 0x00};
  for (size_t i = 0; i < count; ++i) {
    uint8_t b = 0;
    if (cfg_.faults.kvm_ff) {
      b = 0xff;
    } else if (version_query && i < cfg_.kvm_version.size()) {
      b = static_cast<uint8_t>(cfg_.kvm_version[i]);
    }
    r.push_back(b);
  }
  return r;
}

std::vector<uint8_t> Controller::ReadDescriptor(const std::vector<uint8_t>& data) {
  if (descriptor_.empty()) return {kInvalidCommand};  // a standalone server has no complex
  if (data.size() != 3) return {kBadLength};
  const size_t offset = data[0] | static_cast<size_t>(data[1]) << 8;
  const int count = data[2];
  if (count == 0 || offset >= descriptor_.size()) return {kInvalidField};
  if (count > cfg_.faults.descriptor_max_count) return {kOutOfRange};
  const size_t n = std::min({static_cast<size_t>(count), static_cast<size_t>(cfg_.faults.descriptor_chunk),
                             descriptor_.size() - offset});
  const size_t next = offset + n;
  const bool last = next == descriptor_.size();
  std::vector<uint8_t> r = {last ? kOk : kMoreData, static_cast<uint8_t>(last ? 0 : next >> 8),
                            static_cast<uint8_t>(last ? 0 : next & 0xff)};
  r.insert(r.end(), descriptor_.begin() + static_cast<std::ptrdiff_t>(offset),
           descriptor_.begin() + static_cast<std::ptrdiff_t>(next));
  return r;
}

std::vector<uint8_t> Controller::NodeInfo(const std::vector<uint8_t>& data) {
  if (!data.empty()) return {kBadLength};
  return {kOk, static_cast<uint8_t>(cfg_.Standalone() ? 1 : 0), static_cast<uint8_t>(cfg_.LogicalIdOf(cfg_.node)),
          static_cast<uint8_t>(cfg_.PartitionOf(cfg_.node))};
}

std::vector<uint8_t> Controller::DataStore(const std::vector<uint8_t>& data) {
  if (data.size() < 4) return {kBadLength};
  if (GetLe(data, 0, 3) != (QELVO_VENDOR_IANA & 0xffffff)) return {kInvalidField};
  const uint8_t op = data[3];
  std::vector<uint8_t> r = {kOk, data[0], data[1], data[2]};
  auto status = [&r](uint8_t code) {
    r[0] = code;
    return r;
  };
  auto by_handle = [this](const std::vector<uint8_t>& d) { return handles_.find(GetLe(d, 4, 4)); };
  const size_t limit = static_cast<size_t>(cfg_.faults.datastore_max_chunk);

  switch (op) {
    case kOpen: {
      // access, characteristics, size (16 bits and two zero bytes, or 32 bits), create, request
      // byte, 25 name bytes, a zero byte
      if (data.size() != 38) return status(kBadLength);
      const uint8_t access = data[4], create = data[10];
      const char* name_bytes = reinterpret_cast<const char*>(&data[12]);
      const std::string name(name_bytes, strnlen(name_bytes, kMaxFileName));
      if (name.empty() || access == 0 || access > 3 || create > 1) return status(kInvalidField);
      if (files_.count(name) == 0) {
        if (create == 0) return status(kDsAccess);
        files_[name];
      }
      if (handles_.size() >= kMaxOpenFiles) return status(kDsLimit);
      const uint32_t handle = next_handle_++;
      handles_[handle] = {name, access};
      PutLe(r, handle, 4);
      return r;
    }
    case kRead: {
      if (data.size() != 14) return status(kBadLength);
      auto h = by_handle(data);
      if (h == handles_.end()) return status(kDsRead);
      if ((h->second.access & 1) == 0) return status(kDsAccess);
      const size_t offset = GetLe(data, 8, 4), count = data[12];
      if (count > limit) return status(kNodeBusy);
      const std::vector<uint8_t>& content = files_[h->second.name];
      if (offset > content.size()) return status(kDsRead);
      const size_t n = std::min(count, content.size() - offset);
      PutLe(r, static_cast<uint32_t>(n), 2);
      r.insert(r.end(), content.begin() + static_cast<std::ptrdiff_t>(offset),
               content.begin() + static_cast<std::ptrdiff_t>(offset + n));
      return r;
    }
    case kWrite: {
      if (data.size() < 12) return status(kBadLength);
      auto h = by_handle(data);
      if (h == handles_.end()) return status(kDsWrite);
      if ((h->second.access & 2) == 0) return status(kDsAccess);
      const size_t offset = GetLe(data, 8, 4), count = data.size() - 12;
      if (count > limit) return status(kNodeBusy);
      std::vector<uint8_t>& content = files_[h->second.name];
      if (offset > content.size()) return status(kDsWrite);
      if (offset + count > kMaxFileSize) return status(kDsLimit);
      if (offset + count > content.size()) content.resize(offset + count);
      std::copy(data.begin() + 12, data.end(), content.begin() + static_cast<std::ptrdiff_t>(offset));
      r.push_back(static_cast<uint8_t>(count));
      return r;
    }
    case kWriteDefaults:
    case kClose: {
      if (data.size() != 8) return status(kBadLength);
      auto h = by_handle(data);
      if (h == handles_.end()) return status(kDsAccess);
      if (op == kClose) {
        handles_.erase(h);
      } else {
        if ((h->second.access & 2) == 0) return status(kDsAccess);
        auto def = defaults_.find(h->second.name);
        files_[h->second.name] = def == defaults_.end() ? std::vector<uint8_t>() : def->second;
      }
      return r;
    }
    case kQuerySize:
    case kDelete: {
      const std::string name(data.begin() + 4, data.end());
      if (name.empty() || name.find('\0') != std::string::npos) return status(kInvalidField);
      auto f = files_.find(name);
      if (f == files_.end()) return status(kDsAccess);
      if (op == kQuerySize) {
        PutLe(r, static_cast<uint32_t>(f->second.size()), 4);
      } else {
        files_.erase(f);
        for (auto it = handles_.begin(); it != handles_.end();) {
          it = it->second.name == name ? handles_.erase(it) : std::next(it);
        }
      }
      return r;
    }
    default:
      return status(kInvalidField);
  }
}

}  // namespace tavik
