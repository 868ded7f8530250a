/*
 * libFuzzer target for the SLPv2 reply decoding of the user agent: the header of a datagram,
 * then the body of a service reply (SrvRply) or attribute reply (AttrRply) as its function
 * says.
 *
 * Seeds: fuzz/corpus/slp_reply (whole datagrams).
 */
#include <cstddef>
#include <cstdint>

#include "slp_wire.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  slpwire::Header h;
  const uint8_t *body = nullptr;
  size_t body_len = 0;
  if (!slpwire::DecodeHeader(data, size, &h, &body, &body_len)) return 0;
  if (h.function == slpwire::kSrvRply) {
    slpwire::SrvRply reply;
    slpwire::Decode(body, body_len, &reply);
  } else if (h.function == slpwire::kAttrRply) {
    slpwire::AttrRply reply;
    slpwire::Decode(body, body_len, &reply);
  }
  return 0;
}
