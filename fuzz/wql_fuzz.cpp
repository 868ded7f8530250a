/*
 * libFuzzer target for the WQL the CIMOM evaluates itself: WqlQuery::parse with the input as
 * the query, and, when it parses, its condition against a fixed instance. Every input must
 * either parse or throw QueryError.
 *
 * Seeds: fuzz/corpus/wql (queries).
 */
#include <cmpi_native.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "wql.h"

namespace {

/* An instance with a property of each kind a condition compares. */
CMPIInstance *sample() {
  static CMPIInstance *inst = [] {
    CMPIObjectPath *op = newCMPIObjectPath("test/ns", "Test_Widget", nullptr);
    CMPIInstance *i = native_new_CMPIInstance(op, nullptr);
    CMPIValue v;
    i->ft->setProperty(i, "Name", reinterpret_cast<const CMPIValue *>("w1"), CMPI_chars);
    v.uint16 = 3;
    i->ft->setProperty(i, "Level", &v, CMPI_uint16);
    v.sint64 = -5;
    i->ft->setProperty(i, "Delta", &v, CMPI_sint64);
    v.real64 = 2.5;
    i->ft->setProperty(i, "Ratio", &v, CMPI_real64);
    v.boolean = 1;
    i->ft->setProperty(i, "On", &v, CMPI_boolean);
    i->ft->setProperty(i, "Gone", nullptr, CMPI_uint32);
    op->ft->release(op);
    return i;
  }();
  return inst;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  try {
    const cimhost::WqlQuery q = cimhost::WqlQuery::parse(std::string(reinterpret_cast<const char *>(data), size));
    cmpinative::RequestScope scope;
    q.matches(sample());
  } catch (const cimhost::QueryError &) {
  }
  return 0;
}
