/*
 * libFuzzer target for the CIM client's reading of a CIMOM's answer: the bytes are the body of
 * an HTTP 200 answer. Whatever the client builds from it (classes with their property and
 * qualifier values, instances and paths in an enumeration with its clone and array, OUT
 * parameters) is built, read and released.
 *
 * Seeds: fuzz/corpus/cimclient_response (answers of the controller's CIMOM).
 */
#include <cstddef>
#include <cstdint>

#include "client_internal.h"

namespace {

void read_class(CMPIConstClass *cls) {
  const CMPICount props = cls->ft->getPropertyCount(cls, nullptr);
  for (CMPICount i = 0; i < props; ++i) {
    CMPIString *name = nullptr;
    cls->ft->getPropertyAt(cls, i, &name, nullptr);
    const char *n = name != nullptr ? name->ft->getCharPtr(name, nullptr) : nullptr;
    const CMPICount quals = cls->ft->getPropertyQualifierCount(cls, n, nullptr);
    for (CMPICount q = 0; q < quals; ++q) cls->ft->getPropertyQualifierAt(cls, n, q, nullptr, nullptr);
  }
  const CMPICount quals = cls->ft->getQualifierCount(cls, nullptr);
  for (CMPICount q = 0; q < quals; ++q) cls->ft->getQualifierAt(cls, q, nullptr, nullptr);
}

void drain(CMPIEnumeration *en) {
  if (en == nullptr) return;
  CMPIEnumeration *copy = en->ft->clone(en, nullptr);
  CMPIArray *all = en->ft->toArray(en, nullptr);
  if (all != nullptr) all->ft->release(all);
  while (en->ft->hasNext(en, nullptr)) en->ft->getNext(en, nullptr);
  if (copy != nullptr) copy->ft->release(copy);
  en->ft->release(en);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  cimclient::HttpResult http;
  http.status = 200;
  http.body.assign(reinterpret_cast<const char *>(data), size);
  cimclient::Reply r = cimclient::interpret(http);
  if (!r.ok()) return 0;
  for (cimxml::ClassDecl &c : r.response.classes) {
    CMPIConstClass *cls = cimclient::new_const_class(std::move(c));
    if (cls == nullptr) continue;
    read_class(cls);
    cls->ft->release(cls);
  }
  drain(cimclient::instances_of(r.response, "root/cimv2"));
  drain(cimclient::paths_of(r.response, "root/cimv2"));
  CMPIArgs *out = native_new_CMPIArgs(nullptr);
  for (const cimxml::ParamValue &p : r.response.out_params) {
    const CMPIData &d = p.value.data();
    out->ft->addArg(out, p.name.c_str(), (d.state & CMPI_nullValue) ? nullptr : &d.value, d.type);
  }
  out->ft->release(out);
  return 0;
}
