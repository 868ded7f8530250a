#include "multinode.h"

#include <dirent.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "ipmi.h"

namespace {

constexpr unsigned char kNetfnPartition = 0x30;
constexpr unsigned char kCmdReadDescriptor = 0x50;
constexpr unsigned char kCmdNodeInfo = 0x72;

constexpr unsigned char kLastChunk = 0x00;
constexpr unsigned char kMoreData = 0xca;
constexpr unsigned char kCountTooLarge = 0xc9;

constexpr int kFirstCount = 255;
constexpr int kFallbackCount = 58;  // what a KCS interface always carries
constexpr size_t kInitialBuffer = 128;

// One descriptor chunk request. The reply area holds the longest reply (count + 3 bytes).
struct ChunkReader {
  int fd;
  unsigned char reply[IPMI_REPLY_MAX];
  unsigned short reply_len = 0;

  bool Ask(unsigned offset, int count) {
    const unsigned char req[3] = {static_cast<unsigned char>(offset & 0xff), static_cast<unsigned char>(offset >> 8),
                                  static_cast<unsigned char>(count)};
    std::memset(reply, 0, sizeof reply);
    reply_len = sizeof reply;
    return send_kcs_IPMI_command(fd, kCmdReadDescriptor, req, sizeof req, reply, &reply_len, kNetfnPartition) == 0;
  }

  // Asks for offset, halving the count (never below 1) while the controller answers that it is
  // too large.
  bool AskHalving(unsigned offset, int *count) {
    bool ok = Ask(offset, *count);
    while (ok && reply[0] == kCountTooLarge && *count > 1) {
      *count = *count / 2 > 1 ? *count / 2 : 1;
      ok = Ask(offset, *count);
    }
    return ok;
  }
};

// Stores a node's sub-record; false on a length error.
bool StoreSubRecord(node_entry *node, unsigned char type, unsigned char len, const unsigned char *value) {
  auto one = [&](unsigned char *field) {
    if (len != 1) return false;
    *field = value[0];
    return true;
  };
  switch (type) {
    case 0x80:
      if (len != sizeof node->uuid) return false;
      std::memcpy(node->uuid, value, len);
      return true;
    case 0x81:
      if (len != sizeof node->serial) return false;
      std::memcpy(node->serial, value, len);
      return true;
    case 0x82:
      if (len != sizeof node->uuid_checksum) return false;
      std::memcpy(node->uuid_checksum, value, len);
      return true;
    case 0x83:
      return one(&node->type);
    case 0x84:
      return one(&node->power_state);
    case 0x85:
      return one(&node->logical_id);
    case 0x86:
      return one(&node->partition_id);
    case 0x87:
      return one(&node->partition_count);
    case 0x88:
      return one(&node->partition_flags);
    default:
      return true;  // unknown sub-records are skipped
  }
}

bool ParseNode(node_entry *node, const unsigned char *rec, size_t len) {
  size_t pos = 0;
  while (pos < len) {
    if (len - pos < 2 || len - pos - 2 < rec[pos + 1]) return false;  // a sub-record cut short
    if (!StoreSubRecord(node, rec[pos], rec[pos + 1], rec + pos + 2)) return false;
    pos += 2 + rec[pos + 1];
  }
  return true;
}

}  // namespace

int read_complex_descriptor(int fd, unsigned char **descriptor, int *size) {
  if (descriptor == nullptr || size == nullptr) return -1;
  unsigned char *buf = static_cast<unsigned char *>(std::calloc(kInitialBuffer, 1));
  if (buf == nullptr) return -1;
  size_t capacity = kInitialBuffer, used = 0;

  ChunkReader rd{fd, {}, 0};
  int count = kFirstCount;
  bool ok = rd.Ask(0, count);
  if (!ok || (rd.reply[0] != kLastChunk && rd.reply[0] != kMoreData)) {
    count = kFallbackCount;
    ok = rd.AskHalving(0, &count);
  }
  bool done = false;
  while (ok) {
    const unsigned char code = rd.reply[0];
    if ((code != kLastChunk && code != kMoreData) || rd.reply_len <= 2) break;
    const unsigned next = static_cast<unsigned>(rd.reply[1]) << 8 | rd.reply[2];
    const size_t n = rd.reply_len - 3u;
    // A chunk that brings nothing while announcing more would be asked for without end; the
    // descriptor cannot outgrow its 16-bit offsets.
    if (code == kMoreData && n == 0) break;
    if (used + n > MULTINODE_MAX_DESCRIPTOR) break;
    if (capacity - used < n) {
      unsigned char *grown = static_cast<unsigned char *>(std::realloc(buf, capacity + rd.reply_len));
      if (grown == nullptr) break;
      buf = grown;
      capacity += rd.reply_len;
    }
    std::memcpy(buf + used, rd.reply + 3, n);
    used += n;
    if (code == kLastChunk) {
      done = true;
      break;
    }
    if (next == 0) break;
    ok = rd.AskHalving(next, &count);
  }
  if (!done) {
    std::free(buf);
    return -1;
  }
  *descriptor = buf;
  *size = static_cast<int>(used);
  return 0;
}

int parse_complex_descriptor(const unsigned char *descriptor, int size, complex_data *complex) {
  if (complex == nullptr || (descriptor == nullptr && size > 0) || size < 0) return -1;
  std::memset(complex->signature, 0, sizeof complex->signature);
  const size_t len = static_cast<size_t>(size);
  bool have_count = false;
  int nodes_seen = 0;
  size_t pos = 0;
  while (pos < len) {
    // A record whose header or value runs past the end is an error, not a read past the buffer.
    if (len - pos < 2 || len - pos - 2 < descriptor[pos + 1]) return -1;
    const unsigned char type = descriptor[pos];
    const unsigned char rlen = descriptor[pos + 1];
    const unsigned char *value = descriptor + pos + 2;
    switch (type) {
      case 0x01:
        if (rlen != sizeof complex->signature) return -1;
        std::memcpy(complex->signature, value, rlen);
        break;
      case 0x02:
        if (rlen != sizeof complex->complex_id) return -1;
        std::memcpy(complex->complex_id, value, rlen);
        break;
      case 0x03:
        // One node count, announced once, and not zero.
        if (rlen != 1 || value[0] == 0 || have_count) return -1;
        complex->complex_node_count = value[0];
        complex->node_list = static_cast<node_entry *>(std::calloc(value[0], sizeof(node_entry)));
        if (complex->node_list == nullptr) return -1;
        have_count = true;
        break;
      case 0xf0:
        // A node record before the node count, or beyond it, has no place in the node list.
        if (!have_count || nodes_seen >= complex->complex_node_count) return -1;
        if (!ParseNode(&complex->node_list[nodes_seen], value, rlen)) return -1;
        ++nodes_seen;
        break;
      default:
        break;  // other records are skipped
    }
    pos += 2u + rlen;
  }
  // Entries the descriptor announced but never described would read as node 0 of partition 0.
  if (!have_count || nodes_seen != complex->complex_node_count) return -1;
  return 0;
}

int get_local_node_info(int fd, unsigned char *standalone, unsigned char *logical_id, unsigned char *partition_id) {
  unsigned char reply[IPMI_REPLY_MAX];
  std::memset(reply, 0, sizeof reply);
  unsigned short reply_len = sizeof reply;
  if (send_kcs_IPMI_command(fd, kCmdNodeInfo, nullptr, 0, reply, &reply_len, kNetfnPartition) != 0 ||
      reply[0] != 0x00 || reply_len <= 3) {
    return -1;
  }
  if (standalone != nullptr) *standalone = reply[1];
  if (logical_id != nullptr) *logical_id = reply[2];
  if (partition_id != nullptr) *partition_id = reply[3];
  return 0;
}

int num_nodes_in_partition(const complex_data *complex, int partition) {
  if (complex == nullptr || complex->node_list == nullptr) return 0;
  int count = 0;
  for (int i = 0; i < complex->complex_node_count; ++i) {
    if (complex->node_list[i].partition_id == partition) ++count;
  }
  return count;
}

int get_lan_over_usb_path(char *list, int capacity, int *count) {
  if (list == nullptr || capacity <= 0 || count == nullptr) return -1;
  list[0] = '\0';
  *count = 0;
  DIR *dir = opendir("/dev");
  if (dir == nullptr) return -1;
  size_t used = 0;
  int result = 0;
  while (dirent *entry = readdir(dir)) {
    if (std::strstr(entry->d_name, "ipmi") == nullptr) continue;
    const int n = std::snprintf(list + used, static_cast<size_t>(capacity) - used, "/dev/%s;", entry->d_name);
    if (n < 0 || used + static_cast<size_t>(n) >= static_cast<size_t>(capacity)) {
      list[used] = '\0';  // the entry that did not fit is not left half in the list
      result = -1;
      break;
    }
    used += static_cast<size_t>(n);
    ++*count;
  }
  if (closedir(dir) != 0) result = -1;
  return result;
}

int setup_multinode(multinode_info *info) {
  if (info == nullptr) return -1;
  int fd = connect_ipmi(IPMI_DEFAULT_DEVICE);
  if (fd < 0) return -1;

  unsigned char *raw = nullptr;
  int raw_size = 0;
  if (read_complex_descriptor(fd, &raw, &raw_size) != 0) {
    info->multinode_supported = 0;
    disconnect_ipmi(fd);
    return -1;
  }
  const int parsed = parse_complex_descriptor(raw, raw_size, &info->parsed_complex);
  std::free(raw);
  if (parsed != 0) {
    info->multinode_supported = 0;
    disconnect_ipmi(fd);
    return -1;
  }
  complex_data &complex = info->parsed_complex;
  info->multinode_supported = 1;
  info->complex_node_count = complex.complex_node_count;

  unsigned char standalone = 0, logical_id = 0, partition_id = 0;
  if (get_local_node_info(fd, &standalone, &logical_id, &partition_id) != 0) {
    disconnect_ipmi(fd);
    info->multinode_supported = 0;
    return -1;
  }
  const int members = num_nodes_in_partition(&complex, partition_id);
  info->partition_node_count = members < MULTINODE_MAX_PARTITION_NODES ? members : MULTINODE_MAX_PARTITION_NODES;

  char list[MULTINODE_DEVICE_LIST_SIZE];
  int devices = 0;
  if (get_lan_over_usb_path(list, sizeof list, &devices) != 0) {
    disconnect_ipmi(fd);
    return -1;
  }

  // Each device answers which node it reaches. A device that cannot be opened ends the walk and
  // leaves the remaining nodes without a device; one that cannot tell its node fails the setup.
  int result = 0;
  char *save = nullptr;
  for (char *path = strtok_r(list, ";", &save); path != nullptr; path = strtok_r(nullptr, ";", &save)) {
    disconnect_ipmi(fd);
    fd = connect_ipmi(path);
    if (fd < 0) break;
    if (get_local_node_info(fd, &standalone, &logical_id, &partition_id) != 0) {
      info->multinode_supported = 0;
      result = -1;
      break;
    }
    const size_t path_len = std::strlen(path);
    for (int i = 0; i < complex.complex_node_count; ++i) {
      node_entry &node = complex.node_list[i];
      if (node.logical_id != logical_id || node.partition_id != partition_id) continue;
      if (path_len < sizeof node.dev_path) std::memcpy(node.dev_path, path, path_len + 1);
      node.is_standalone = standalone;
      if (logical_id == 0) info->primary_index = i;
    }
  }
  disconnect_ipmi(fd);
  return result;
}

void clean_parsed_complex(multinode_info *info) {
  if (info == nullptr) return;
  std::free(info->parsed_complex.node_list);
  info->parsed_complex.node_list = nullptr;
}
