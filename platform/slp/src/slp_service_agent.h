// An SLPv2 service agent (RFC 2608) for the services of one host, as a controller runs it: it
// answers service requests (SrvRqst) and attribute requests (AttrRqst) for the services
// registered with it, on UDP port 427 and the SLP multicast group joined on one interface.
//
// Multicast requests are answered only when something matches and the agent is not in the
// request's previous-responder list; unicast requests always get a reply (with an error code
// when they do not parse). Datagrams that are not well-formed SLPv2 requests are dropped.
//
//   slp::ServiceAgent sa;
//   sa.Register({"service:management-hardware.Qelvo:tavik://169.254.95.118",
//                "(cimxml-port-https=5989),(cimxml-port-http=5988)"});
//   if (!sa.Open("169.254.95.118", &error)) ...
//   poll on sa.fd(); sa.HandleReadable() when it is readable.
#ifndef QELVO_PLATFORM_SLP_SERVICE_AGENT_H
#define QELVO_PLATFORM_SLP_SERVICE_AGENT_H

#include <cstdint>
#include <string>
#include <vector>

#include "slp_wire.h"

namespace slp {

struct Service {
  std::string url;         // "service:<type>://<address>[...]"
  std::string attributes;  // an attribute list, "(tag=value),(tag=value),keyword"
  uint16_t lifetime = 10800;
  std::string scopes = "DEFAULT";
};

class ServiceAgent {
 public:
  ServiceAgent() = default;
  ~ServiceAgent();
  ServiceAgent(const ServiceAgent&) = delete;
  ServiceAgent& operator=(const ServiceAgent&) = delete;

  void Register(const Service& service) { services_.push_back(service); }

  // Binds UDP port `port` on all addresses and joins the SLP multicast group on the interface
  // that holds interface_address, which is also the address the agent knows itself by in
  // previous-responder lists.
  bool Open(const std::string& interface_address, std::string* error, uint16_t port = 427);
  int fd() const { return fd_; }

  // Reads every datagram waiting on the socket and answers it.
  void HandleReadable();

  // The reply to one request datagram, or nothing (empty) when none is due.
  std::vector<uint8_t> Answer(const uint8_t* msg, size_t len) const;

 private:
  std::vector<uint8_t> AnswerSrvRqst(const slpwire::Header& h, const uint8_t* body, size_t len) const;
  std::vector<uint8_t> AnswerAttrRqst(const slpwire::Header& h, const uint8_t* body, size_t len) const;
  bool InPrList(const std::string& pr_list) const;

  std::vector<Service> services_;
  std::string address_;
  int fd_ = -1;
};

}  // namespace slp

#endif  // QELVO_PLATFORM_SLP_SERVICE_AGENT_H
