/* CMPIEnumeration: a sequence of values read once with getNext. */
#include "native_internal.h"

namespace cmpinative {

namespace {

NEnumeration *self(const CMPIEnumeration *en) { return native<NEnumeration>(en); }

bool bad(const CMPIEnumeration *en, CMPIStatus *rc) {
  if (en != nullptr && en->hdl != nullptr) return false;
  set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
  return true;
}

CMPIStatus release(CMPIEnumeration *en) {
  if (bad(en, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
  release_object(&self(en)->hdr);
  return status(CMPI_RC_OK);
}

CMPIEnumeration *clone(const CMPIEnumeration *en, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIEnumeration *>(nullptr), [&]() -> CMPIEnumeration * {
    if (bad(en, rc)) return nullptr;
    CMPIEnumeration *c = make_enumeration(self(en)->values, false);
    self(c)->next = self(en)->next;
    set_rc(rc, CMPI_RC_OK);
    return c;
  });
}

CMPIData get_next(const CMPIEnumeration *en, CMPIStatus *rc) {
  if (bad(en, rc)) return null_data(CMPI_null, CMPI_badValue);
  const NEnumeration *n = self(en);
  if (n->next >= n->values.size()) {
    set_rc(rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
    return null_data(CMPI_null, CMPI_notFound);
  }
  set_rc(rc, CMPI_RC_OK);
  return n->values[n->next++].data();
}

CMPIBoolean has_next(const CMPIEnumeration *en, CMPIStatus *rc) {
  if (bad(en, rc)) return 0;
  set_rc(rc, CMPI_RC_OK);
  return self(en)->next < self(en)->values.size() ? 1 : 0;
}

/* Every value (read or not) as a scoped array typed after the first value. */
CMPIArray *to_array(const CMPIEnumeration *en, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIArray *>(nullptr), [&]() -> CMPIArray * {
    if (bad(en, rc)) return nullptr;
    const auto &values = self(en)->values;
    CMPIType type = values.empty() ? CMPI_null : values.front().data().type;
    CMPIArray *a = make_array(static_cast<CMPICount>(values.size()), type, true);
    for (size_t i = 0; i < values.size(); ++i) native<NArray>(a)->elems[i] = values[i];
    set_rc(rc, CMPI_RC_OK);
    return a;
  });
}

}  // namespace

CMPIEnumerationFT enumeration_ft = {CMPICurrentVersion, release, clone, get_next, has_next, to_array};

CMPIEnumeration *make_enumeration(std::vector<Value> values, bool scoped) {
  return &create<NEnumeration>(scoped, [&](NEnumeration &n) {
            n.values = std::move(values);
            n.pub.hdl = &n;
            n.pub.ft = &enumeration_ft;
          })->pub;
}

CMPIEnumeration *new_enumeration(const std::vector<CMPIData> &values) {
  std::vector<Value> copies;
  copies.reserve(values.size());
  for (const CMPIData &d : values) copies.push_back(Value::copy(d));
  return make_enumeration(std::move(copies), true);
}

}  // namespace cmpinative
