#include "slp_service_agent.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace slp {

namespace {

slpwire::Header ReplyHeader(const slpwire::Header& rq, uint8_t function) {
  slpwire::Header h;
  h.function = function;
  h.xid = rq.xid;
  h.lang = rq.lang;
  return h;
}

}  // namespace

ServiceAgent::~ServiceAgent() {
  if (fd_ >= 0) close(fd_);
}

bool ServiceAgent::Open(const std::string& interface_address, std::string* error, uint16_t port) {
  in_addr iface;
  if (inet_pton(AF_INET, interface_address.c_str(), &iface) != 1) {
    *error = "not an IPv4 address: " + interface_address;
    return false;
  }
  const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return false;
  }
  const int on = 1;
  sockaddr_in local;
  std::memset(&local, 0, sizeof local);
  local.sin_family = AF_INET;
  local.sin_port = htons(port);
  local.sin_addr.s_addr = htonl(INADDR_ANY);
  ip_mreq mreq;
  inet_pton(AF_INET, slpwire::kMulticastGroup, &mreq.imr_multiaddr);
  mreq.imr_interface = iface;
  const char* step = nullptr;
  if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) != 0) {
    step = "SO_REUSEADDR";
  } else if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
    step = "bind";
  } else if (setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &mreq, sizeof mreq) != 0) {
    // Joined on the interface's own address, so no multicast route is needed.
    step = "join the SLP multicast group";
  }
  if (step != nullptr) {
    *error = std::string(step) + ": " + std::strerror(errno);
    close(fd);
    return false;
  }
  if (fd_ >= 0) close(fd_);
  fd_ = fd;
  address_ = interface_address;
  return true;
}

void ServiceAgent::HandleReadable() {
  for (;;) {
    uint8_t buf[65536];
    sockaddr_in from;
    socklen_t from_len = sizeof from;
    const ssize_t n = recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &from_len);
    if (n < 0) {
      if (errno == EINTR) continue;
      return;  // EAGAIN: all read
    }
    const std::vector<uint8_t> reply = Answer(buf, static_cast<size_t>(n));
    if (!reply.empty()) {
      sendto(fd_, reply.data(), reply.size(), 0, reinterpret_cast<sockaddr*>(&from), from_len);
    }
  }
}

bool ServiceAgent::InPrList(const std::string& pr_list) const {
  for (const std::string& a : slpwire::SplitList(pr_list)) {
    if (a == address_) return true;
  }
  return false;
}

std::vector<uint8_t> ServiceAgent::Answer(const uint8_t* msg, size_t len) const {
  slpwire::Header h;
  const uint8_t* body;
  size_t body_len;
  if (!slpwire::DecodeHeader(msg, len, &h, &body, &body_len)) return {};
  switch (h.function) {
    case slpwire::kSrvRqst:
      return AnswerSrvRqst(h, body, body_len);
    case slpwire::kAttrRqst:
      return AnswerAttrRqst(h, body, body_len);
    default:
      return {};  // replies, registrations, DA and type requests: not an SA's business here
  }
}

std::vector<uint8_t> ServiceAgent::AnswerSrvRqst(const slpwire::Header& h, const uint8_t* body, size_t len) const {
  const bool multicast = (h.flags & slpwire::kRequestMcast) != 0;
  slpwire::SrvRqst rq;
  slpwire::SrvRply reply;
  if (!slpwire::Decode(body, len, &rq)) {
    if (multicast) return {};
    reply.error = slpwire::kParseError;
    return slpwire::Encode(ReplyHeader(h, slpwire::kSrvRply), reply);
  }
  if (InPrList(rq.pr_list)) return {};
  bool any_scope = false;
  for (const Service& s : services_) {
    if (!slpwire::ScopesIntersect(rq.scope_list, s.scopes)) continue;
    any_scope = true;
    if (!slpwire::ServiceTypeMatches(rq.service_type, slpwire::ServiceTypeOfUrl(s.url))) continue;
    const int match = slpwire::FilterMatches(rq.predicate, s.attributes);
    if (match < 0) {
      if (multicast) return {};
      reply.urls.clear();
      reply.error = slpwire::kParseError;
      return slpwire::Encode(ReplyHeader(h, slpwire::kSrvRply), reply);
    }
    if (match == 1) reply.urls.push_back({s.lifetime, s.url});
  }
  if (reply.urls.empty()) {
    if (multicast) return {};
    if (!any_scope) reply.error = slpwire::kScopeNotSupported;
  }
  slpwire::Header rh = ReplyHeader(h, slpwire::kSrvRply);
  std::vector<uint8_t> out = slpwire::Encode(rh, reply);
  while (out.size() > slpwire::kMaxDatagram && !reply.urls.empty()) {
    reply.urls.pop_back();
    rh.flags = slpwire::kOverflow;
    out = slpwire::Encode(rh, reply);
  }
  return out;
}

std::vector<uint8_t> ServiceAgent::AnswerAttrRqst(const slpwire::Header& h, const uint8_t* body, size_t len) const {
  const bool multicast = (h.flags & slpwire::kRequestMcast) != 0;
  slpwire::AttrRqst rq;
  slpwire::AttrRply reply;
  if (!slpwire::Decode(body, len, &rq)) {
    if (multicast) return {};
    reply.error = slpwire::kParseError;
    return slpwire::Encode(ReplyHeader(h, slpwire::kAttrRply), reply);
  }
  if (InPrList(rq.pr_list)) return {};
  const bool by_type = rq.url.find("://") == std::string::npos;
  bool found = false, any_scope = false;
  std::string attrs;
  for (const Service& s : services_) {
    if (!slpwire::ScopesIntersect(rq.scope_list, s.scopes)) continue;
    any_scope = true;
    const bool match = by_type ? slpwire::ServiceTypeMatches(rq.url, slpwire::ServiceTypeOfUrl(s.url))
                               : slpwire::EqualFold(rq.url, s.url);
    if (!match) continue;
    found = true;
    const std::string kept = slpwire::FilterAttributes(s.attributes, rq.tag_list);
    if (!kept.empty()) attrs += (attrs.empty() ? "" : ",") + kept;
  }
  if (!found) {
    if (multicast) return {};
    if (!any_scope) reply.error = slpwire::kScopeNotSupported;
  }
  reply.attr_list = attrs;
  slpwire::Header rh = ReplyHeader(h, slpwire::kAttrRply);
  std::vector<uint8_t> out = slpwire::Encode(rh, reply);
  if (out.size() > slpwire::kMaxDatagram) {
    reply.attr_list.clear();
    rh.flags = slpwire::kOverflow;
    out = slpwire::Encode(rh, reply);
  }
  return out;
}

}  // namespace slp
