/*
 * libFuzzer target for the controller's SLP service agent: one request datagram as it arrives
 * on UDP port 427, decoded and answered (service and attribute requests, scope lists,
 * previous-responder lists, search filters, attribute tag lists) against the services a
 * controller of either generation registers.
 *
 * Seeds: fuzz/corpus/slp_request (whole datagrams).
 */
#include <cstddef>
#include <cstdint>

#include "slp_service_agent.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  static slp::ServiceAgent *agent = [] {
    auto *a = new slp::ServiceAgent;
    a->Register({"service:management-hardware.Qelvo:tavik://169.254.95.118",
                 "(template-type=management-hardware.Qelvo),(service-id=tavik-node1),(cimxml-port-https=5989),"
                 "(cimxml-port-http=5988),(node-id=1),keyword"});
    a->Register({"service:management-hardware.Qelvo:tavik2://169.254.95.118",
                 "(service-id=tavik2-node1),(node-id=1),(cimxml-https=tcp:5989:/cimom),(cimxml-http=tcp:5988:/cimom)",
                 10800, "DEFAULT,lab"});
    return a;
  }();
  agent->Answer(data, size);
  return 0;
}
