#include "sim_config.h"

#include <arpa/inet.h>

#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace tavik {

namespace {

std::string Trim(const std::string& s) {
  size_t b = 0, e = s.size();
  while (b < e && std::isspace(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && std::isspace(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

bool ParseInt(const std::string& text, long lo, long hi, long* out) {
  const std::string t = Trim(text);
  if (t.empty()) return false;
  char* end = nullptr;
  errno = 0;
  const long v = std::strtol(t.c_str(), &end, 0);
  if (errno != 0 || end == nullptr || *end != '\0' || v < lo || v > hi) return false;
  *out = v;
  return true;
}

std::vector<std::string> Split(const std::string& s, char sep) {
  std::vector<std::string> parts;
  std::string part;
  std::istringstream in(s);
  while (std::getline(in, part, sep)) parts.push_back(Trim(part));
  return parts;
}

bool Bad(std::string* error, const std::string& key, const std::string& value, const char* why) {
  *error = key + " = " + value + ": " + why;
  return false;
}

// "NETFN:CMD" or "NETFN:CMD:CODE" in any base strtol takes.
bool ParseCommand(const std::string& value, std::vector<long>* parts, size_t n) {
  const std::vector<std::string> fields = Split(value, ':');
  if (fields.size() != n) return false;
  parts->clear();
  for (const std::string& f : fields) {
    long v;
    if (!ParseInt(f, 0, 255, &v)) return false;
    parts->push_back(v);
  }
  return true;
}

bool SetFault(Faults* f, const std::string& fault, std::string* error) {
  const size_t eq = fault.find('=');
  const std::string name = Trim(fault.substr(0, eq));
  const std::string value = eq == std::string::npos ? "" : Trim(fault.substr(eq + 1));
  std::vector<long> parts;
  long v;
  if (name == "silent" && ParseCommand(value, &parts, 2)) {
    f->silent.insert({static_cast<uint8_t>(parts[0]), static_cast<uint8_t>(parts[1])});
  } else if (name == "completion" && ParseCommand(value, &parts, 3)) {
    f->completion[{static_cast<uint8_t>(parts[0]), static_cast<uint8_t>(parts[1])}] = static_cast<uint8_t>(parts[2]);
  } else if (name == "short-user-id" && value.empty()) {
    f->short_user_id = true;
  } else if (name == "descriptor-max-count" && ParseInt(value, 1, 255, &v)) {
    f->descriptor_max_count = static_cast<int>(v);
  } else if (name == "descriptor-chunk" && ParseInt(value, 1, 255, &v)) {
    f->descriptor_chunk = static_cast<int>(v);
  } else if (name == "datastore-max-chunk" && ParseInt(value, 1, 255, &v)) {
    f->datastore_max_chunk = static_cast<int>(v);
  } else if (name == "kvm-absent" && value.empty()) {
    f->kvm_absent = true;
  } else if (name == "kvm-ff" && value.empty()) {
    f->kvm_ff = true;
  } else if (name == "slp-no-ports" && value.empty()) {
    f->slp_no_ports = true;
  } else {
    return Bad(error, "fault", fault, "unknown fault or bad value");
  }
  return true;
}

}  // namespace

bool Config::Set(const std::string& key, const std::string& raw, std::string* error) {
  const std::string value = Trim(raw);
  long v;
  if (key == "node") {
    if (!ParseInt(value, 0, kMaxNodes - 1, &v)) return Bad(error, key, value, "not a node number");
    node = static_cast<int>(v);
  } else if (key == "nodes") {
    if (!ParseInt(value, 1, kMaxNodes, &v)) return Bad(error, key, value, "not a node count (1 to 8)");
    nodes = static_cast<int>(v);
  } else if (key == "partitions") {
    partitions.clear();
    for (const std::string& p : Split(value, ',')) {
      if (!ParseInt(p, 0, 254, &v)) return Bad(error, key, value, "not a list of partition numbers");
      partitions.push_back(static_cast<int>(v));
    }
  } else if (key == "standalone") {
    if (value == "auto") {
      standalone = -1;
    } else if (ParseInt(value, 0, 1, &v)) {
      standalone = static_cast<int>(v);
    } else {
      return Bad(error, key, value, "auto, 0 or 1");
    }
  } else if (key == "ipmi-socket") {
    if (value.empty() || value[0] != '/') return Bad(error, key, value, "not an absolute path");
    ipmi_socket = value;
  } else if (key == "slp-address") {
    in_addr a;
    if (!value.empty() && inet_pton(AF_INET, value.c_str(), &a) != 1) return Bad(error, key, value, "not an IPv4 address");
    slp_address = value;
  } else if (key == "generation") {
    if (!ParseInt(value, 1, 2, &v)) return Bad(error, key, value, "1 or 2");
    generation = static_cast<int>(v);
  } else if (key == "user-id") {
    if (value.size() == 8) {
      std::memcpy(user_id.data(), value.data(), 8);
    } else if (value.size() == 18 && value.compare(0, 2, "0x") == 0) {
      for (size_t i = 0; i < 8; ++i) {
        const std::string byte = value.substr(2 + 2 * i, 2);
        if (!std::isxdigit(static_cast<unsigned char>(byte[0])) || !std::isxdigit(static_cast<unsigned char>(byte[1]))) {
          return Bad(error, key, value, "not 16 hexadecimal digits");
        }
        user_id[i] = static_cast<uint8_t>(std::strtoul(byte.c_str(), nullptr, 16));
      }
    } else {
      return Bad(error, key, value, "8 characters, or 0x and 16 hexadecimal digits");
    }
    user_id_set = true;
  } else if (key == "firmware") {
    const std::vector<std::string> parts = Split(value, '.');
    long major;
    if (parts.size() != 2 || !ParseInt(parts[0], 0, 127, &major) || parts[1].size() != 2 ||
        !std::isdigit(static_cast<unsigned char>(parts[1][0])) || !std::isdigit(static_cast<unsigned char>(parts[1][1]))) {
      return Bad(error, key, value, "MAJOR.MM (major 0 to 127, two decimal digits)");
    }
    firmware = value;
  } else if (key == "kvm-version") {
    if (value.empty() || value.size() > 16) return Bad(error, key, value, "1 to 16 characters");
    kvm_version = value;
  } else if (key == "http-port" || key == "https-port") {
    if (!ParseInt(value, 1, 65535, &v)) return Bad(error, key, value, "not a port");
    (key == "http-port" ? http_port : https_port) = static_cast<int>(v);
  } else if (key == "file") {
    const size_t eq = value.find('=');
    const std::string name = eq == std::string::npos ? "" : Trim(value.substr(0, eq));
    if (name.empty() || name.size() > kMaxFileName) return Bad(error, key, value, "NAME=PATH with a name of 1 to 25 characters");
    files[name] = Trim(value.substr(eq + 1));
  } else if (key == "ready-file") {
    ready_file = value;
  } else if (key == "verbose") {
    verbose = value.empty() || value == "1";
  } else if (key == "fault") {
    return SetFault(&faults, value, error);
  } else if (key == "config") {
    return Load(value, error);
  } else {
    *error = "unknown key " + key;
    return false;
  }
  return true;
}

bool Config::Load(const std::string& path, std::string* error) {
  std::ifstream in(path);
  if (!in) {
    *error = "cannot read " + path;
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(in, line)) {
    ++number;
    const size_t hash = line.find('#');
    if (hash != std::string::npos) line.erase(hash);
    line = Trim(line);
    if (line.empty()) continue;
    const size_t eq = line.find('=');
    if (eq == std::string::npos) {
      *error = path + ":" + std::to_string(number) + ": not a key = value line";
      return false;
    }
    std::string sub;
    if (!Set(Trim(line.substr(0, eq)), line.substr(eq + 1), &sub)) {
      *error = path + ":" + std::to_string(number) + ": " + sub;
      return false;
    }
  }
  return true;
}

bool Config::Finish(std::string* error) {
  if (node >= nodes) {
    *error = "node " + std::to_string(node) + " is not among the " + std::to_string(nodes) + " nodes";
    return false;
  }
  if (!partitions.empty() && partitions.size() != static_cast<size_t>(nodes)) {
    *error = "partitions must name one partition per node";
    return false;
  }
  if (ipmi_socket.empty()) ipmi_socket = "/dev/ipmi" + std::to_string(node);
  if (!user_id_set) {
    const std::string id = "TVKADM" + std::string(node < 10 ? "0" : "") + std::to_string(node);
    std::memcpy(user_id.data(), id.data(), 8);
  }
  return true;
}

int Config::LogicalIdOf(int n) const {
  int rank = 0;
  for (int i = 0; i < n; ++i) {
    if (PartitionOf(i) == PartitionOf(n)) ++rank;
  }
  return rank;
}

int Config::PartitionSize(int partition) const {
  int count = 0;
  for (int i = 0; i < nodes; ++i) {
    if (PartitionOf(i) == partition) ++count;
  }
  return count;
}

bool Config::Standalone() const {
  return standalone >= 0 ? standalone == 1 : PartitionSize(PartitionOf(node)) == 1;
}

bool ParseCommandLine(int argc, char** argv, Config* cfg, bool* print_account, std::string* error) {
  *print_account = false;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg.compare(0, 2, "--") != 0) {
      *error = "unexpected argument " + arg;
      return false;
    }
    arg.erase(0, 2);
    if (arg == "print-account") {
      *print_account = true;
      continue;
    }
    if (arg == "verbose") {
      cfg->verbose = true;
      continue;
    }
    std::string key = arg, value;
    const size_t eq = arg.find('=');
    if (eq != std::string::npos) {
      key = arg.substr(0, eq);
      value = arg.substr(eq + 1);
    } else if (i + 1 < argc) {
      value = argv[++i];
    } else {
      *error = "--" + key + " needs a value";
      return false;
    }
    if (!cfg->Set(key, value, error)) return false;
  }
  return cfg->Finish(error);
}

}  // namespace tavik
