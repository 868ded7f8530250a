// Packets exchanged between the IPMI device stand-in (the preload library, which plays the
// driver's part in the client process) and a controller simulator.
//
// Device rule: an IPMI device path ("/dev/ipmi0", "/dev/ipmi1", "/dev/ipmidev/0", ...) that names
// a listening UNIX socket of type SOCK_SEQPACKET is served by whatever listens there. Opening the
// path connects to it; each connection is one driver "user" (one open file of the device). A path
// that names a character device is left to the real driver.
//
// One packet per datagram, all integers little-endian:
//
//   request  (client -> controller), sent for IPMICTL_SEND_COMMAND:
//     0      kind = 1
//     1..4   address type (0x0c system interface, 0x01 IPMB, 0x41 IPMB broadcast)
//     5..6   channel
//     7      slave address (IPMB; 0 for the system interface)
//     8      LUN
//     9..16  message id (the caller's)
//     17..20 sequence number: the driver's own number of the request on this connection
//     21     network function
//     22     command
//     23..24 data length (at most 272)
//     25..   data
//
//   message  (controller -> client), queued for IPMICTL_RECEIVE_MSG(_TRUNC):
//     0      kind = 2
//     1..4   receive type (1 response, 2 event, 3 command)
//     5..    as a request from offset 1: address, message id, sequence number (a response's
//            is its request's; 0 in anything else), network function (the response's: request
//            | 1), command, data length, data (a response's data starts with the completion
//            code)
//
//   events   (client -> controller), sent for IPMICTL_SET_GETS_EVENTS_CMD:
//     0      kind = 3
//     1      1 when the client wants events, 0 when not
//
// Nothing else travels on the connection. A packet that does not decode is dropped by its reader.
#ifndef QELVO_PLATFORM_IPMI_SIM_WIRE_H
#define QELVO_PLATFORM_IPMI_SIM_WIRE_H

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace ipmisim {

constexpr size_t kMaxData = 272;  // IPMI_MAX_MSG_LENGTH of the driver
constexpr size_t kHeaderSize = 25;
constexpr size_t kMaxPacket = kHeaderSize + 4 + kMaxData;

enum Kind : uint8_t { kRequest = 1, kMessage = 2, kGetsEvents = 3 };

enum AddrType : int32_t { kSystemInterface = 0x0c, kIpmb = 0x01, kIpmbBroadcast = 0x41 };
enum RecvType : int32_t { kResponse = 1, kEvent = 2, kCommand = 3 };

constexpr int16_t kBmcChannel = 0x0f;

struct Address {
  int32_t type = kSystemInterface;
  int16_t channel = kBmcChannel;
  uint8_t slave_addr = 0;
  uint8_t lun = 0;
};

// A request or a received message; recv_type is used for messages only.
struct Packet {
  Kind kind = kRequest;
  int32_t recv_type = kResponse;
  Address addr;
  int64_t msgid = 0;
  uint32_t seq = 0;  // see the layout above
  uint8_t netfn = 0;
  uint8_t cmd = 0;
  uint16_t data_len = 0;
  uint8_t data[kMaxData] = {};
  bool gets_events = false;  // kGetsEvents only
};

// The response message to req: its address, message id and sequence number, the response's
// network function (req's | 1), its command, and len bytes of data (the completion code first),
// cut to kMaxData.
inline Packet ResponseTo(const Packet& req, const uint8_t* data, size_t len) {
  Packet msg;
  msg.kind = kMessage;
  msg.recv_type = kResponse;
  msg.addr = req.addr;
  msg.msgid = req.msgid;
  msg.seq = req.seq;
  msg.netfn = static_cast<uint8_t>(req.netfn | 1);
  msg.cmd = req.cmd;
  msg.data_len = static_cast<uint16_t>(len < kMaxData ? len : kMaxData);
  if (msg.data_len > 0) std::memcpy(msg.data, data, msg.data_len);
  return msg;
}

namespace detail {
inline void Put(uint8_t* p, uint64_t v, int bytes) {
  for (int i = 0; i < bytes; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline uint64_t Get(const uint8_t* p, int bytes) {
  uint64_t v = 0;
  for (int i = 0; i < bytes; ++i) v |= static_cast<uint64_t>(p[i]) << (8 * i);
  return v;
}
}  // namespace detail

// Writes pkt into out (kMaxPacket bytes); returns the packet's length, or 0 when pkt is invalid
// (data longer than kMaxData).
inline size_t Encode(const Packet& pkt, uint8_t* out) {
  using detail::Put;
  out[0] = pkt.kind;
  if (pkt.kind == kGetsEvents) {
    out[1] = pkt.gets_events ? 1 : 0;
    return 2;
  }
  if (pkt.data_len > kMaxData) return 0;
  size_t off = 1;
  if (pkt.kind == kMessage) {
    Put(out + off, static_cast<uint32_t>(pkt.recv_type), 4);
    off += 4;
  } else if (pkt.kind != kRequest) {
    return 0;
  }
  Put(out + off, static_cast<uint32_t>(pkt.addr.type), 4);
  Put(out + off + 4, static_cast<uint16_t>(pkt.addr.channel), 2);
  out[off + 6] = pkt.addr.slave_addr;
  out[off + 7] = pkt.addr.lun;
  Put(out + off + 8, static_cast<uint64_t>(pkt.msgid), 8);
  Put(out + off + 16, pkt.seq, 4);
  out[off + 20] = pkt.netfn;
  out[off + 21] = pkt.cmd;
  Put(out + off + 22, pkt.data_len, 2);
  std::memcpy(out + off + 24, pkt.data, pkt.data_len);
  return off + 24 + pkt.data_len;
}

// Reads a packet; false when buf does not hold exactly one well-formed packet.
inline bool Decode(const uint8_t* buf, size_t len, Packet* pkt) {
  using detail::Get;
  if (len < 1) return false;
  pkt->kind = static_cast<Kind>(buf[0]);
  if (pkt->kind == kGetsEvents) {
    if (len != 2 || buf[1] > 1) return false;
    pkt->gets_events = buf[1] == 1;
    return true;
  }
  size_t off = 1;
  if (pkt->kind == kMessage) {
    if (len < off + 4) return false;
    pkt->recv_type = static_cast<int32_t>(Get(buf + off, 4));
    off += 4;
  } else if (pkt->kind != kRequest) {
    return false;
  }
  if (len < off + 24) return false;
  pkt->addr.type = static_cast<int32_t>(Get(buf + off, 4));
  pkt->addr.channel = static_cast<int16_t>(Get(buf + off + 4, 2));
  pkt->addr.slave_addr = buf[off + 6];
  pkt->addr.lun = buf[off + 7];
  pkt->msgid = static_cast<int64_t>(Get(buf + off + 8, 8));
  pkt->seq = static_cast<uint32_t>(Get(buf + off + 16, 4));
  pkt->netfn = buf[off + 20];
  pkt->cmd = buf[off + 21];
  const size_t n = Get(buf + off + 22, 2);
  if (n > kMaxData || len != off + 24 + n) return false;
  pkt->data_len = static_cast<uint16_t>(n);
  std::memcpy(pkt->data, buf + off + 24, n);
  return true;
}

}  // namespace ipmisim

#endif  // QELVO_PLATFORM_IPMI_SIM_WIRE_H
