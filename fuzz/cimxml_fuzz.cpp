/*
 * libFuzzer target for the CIM-XML and MOF readers. The first byte picks the
 * reader; the rest is the input. Every reader must either accept the input
 * or throw cimxml::Error. Accepted requests and classes are written back out
 * and read again.
 *
 * Seeds: fuzz/corpus/cimxml (the selector byte, then a sample input).
 */
#include <cimxml/cimxml.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

namespace {

void check(bool ok) {
  if (!ok) std::abort();
}

void run(unsigned selector, const std::string &in) {
  cimxml::Limits limits;
  limits.max_body = 1u << 20;
  switch (selector % 5) {
    case 0: {
      cimxml::Request r = cimxml::parse_request(in, limits);
      cimxml::ResponseWriter w(r.message_id, r.method, r.intrinsic);
      if (r.instance) w.add_instance(r.instance.get());
      if (r.instance_name) w.add_instance_name(r.instance_name.get());
      for (const auto &p : r.params) w.add_out_param(p.name, p.value.data());
      cimxml::parse_response(w.finish());
      break;
    }
    case 1:
      cimxml::parse_response(in, limits);
      break;
    case 2: {
      cimxml::ClassDecl c = cimxml::parse_class(in, limits);
      std::string x;
      cimxml::write_class(x, c);
      check(cimxml::parse_class(x) == c);
      break;
    }
    case 3:
      cimxml::parse_instance(in, "root/cimv2", limits);
      break;
    default: {
      cimxml::MofFile m = cimxml::parse_mof(in, "fuzz.mof");
      std::string text;
      try {
        text = cimxml::write_mof(m);
      } catch (const cimxml::Error &) {
        return; /* values MOF cannot express (NaN defaults from XML) */
      }
      check(cimxml::parse_mof(text, "again.mof").classes == m.classes);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  std::string in(reinterpret_cast<const char *>(data) + 1, size - 1);
  try {
    run(data[0], in);
  } catch (const cimxml::Error &) {
  }
  return 0;
}
