/* CMPIArray: a fixed-size array of one element type; elements are null until
 * set. */
#include "native_internal.h"

namespace cmpinative {

namespace {

NArray *self(const CMPIArray *a) { return native<NArray>(a); }

CMPIArray *new_array(CMPIType type, std::vector<Value> elems, bool scoped) {
  return &create<NArray>(scoped, [&](NArray &n) {
            n.type = type;
            n.elems = std::move(elems);
            n.pub.hdl = &n;
            n.pub.ft = &array_ft;
          })->pub;
}

CMPIStatus release(CMPIArray *a) {
  if (a == nullptr || a->hdl == nullptr) return status(CMPI_RC_ERR_INVALID_HANDLE);
  release_object(&self(a)->hdr);
  return status(CMPI_RC_OK);
}

CMPIArray *clone(const CMPIArray *a, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIArray *>(nullptr), [&]() -> CMPIArray * {
    if (a == nullptr || a->hdl == nullptr) {
      set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
      return nullptr;
    }
    CMPIArray *c = new_array(self(a)->type, self(a)->elems, false);
    set_rc(rc, CMPI_RC_OK);
    return c;
  });
}

CMPICount get_size(const CMPIArray *a, CMPIStatus *rc) {
  if (a == nullptr || a->hdl == nullptr) {
    set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
    return 0;
  }
  set_rc(rc, CMPI_RC_OK);
  return static_cast<CMPICount>(self(a)->elems.size());
}

CMPIType get_simple_type(const CMPIArray *a, CMPIStatus *rc) {
  if (a == nullptr || a->hdl == nullptr) {
    set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
    return CMPI_null;
  }
  set_rc(rc, CMPI_RC_OK);
  return self(a)->type;
}

CMPIData get_element_at(const CMPIArray *a, CMPICount index, CMPIStatus *rc) {
  if (a == nullptr || a->hdl == nullptr) {
    set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
    return null_data(CMPI_null, CMPI_badValue);
  }
  const NArray *n = self(a);
  if (index >= n->elems.size()) {
    set_rc(rc, CMPI_RC_ERR_NO_SUCH_PROPERTY);
    return null_data(n->type, CMPI_notFound);
  }
  set_rc(rc, CMPI_RC_OK);
  return n->elems[index].data();
}

CMPIStatus set_element_at(CMPIArray *a, CMPICount index, const CMPIValue *value, CMPIType type) {
  return guard([&] {
    if (a == nullptr || a->hdl == nullptr) return status(CMPI_RC_ERR_INVALID_HANDLE);
    NArray *n = self(a);
    if (index >= n->elems.size()) return status(CMPI_RC_ERR_NO_SUCH_PROPERTY);
    bool fits = type == n->type || (type == CMPI_chars && n->type == CMPI_string) ||
                (type == CMPI_null && value == nullptr);
    if (!fits) return status(CMPI_RC_ERR_TYPE_MISMATCH);
    n->elems[index] = value != nullptr ? Value::of(value, type) : Value::of(nullptr, n->type);
    return status(CMPI_RC_OK);
  });
}

}  // namespace

CMPIArrayFT array_ft = {CMPICurrentVersion, release,        clone,         get_size,
                        get_simple_type,    get_element_at, set_element_at};

CMPIArray *make_array(CMPICount size, CMPIType type, bool scoped) {
  type = static_cast<CMPIType>(type & ~CMPI_ARRAY);
  if (type == CMPI_chars) type = CMPI_string;  // arrays of chars hold strings
  std::vector<Value> elems;
  elems.reserve(size);
  for (CMPICount i = 0; i < size; ++i) elems.push_back(Value::of(nullptr, type));
  return new_array(type, std::move(elems), scoped);
}

}  // namespace cmpinative

using namespace cmpinative;

extern "C" CMPIArray *native_new_CMPIArray(CMPICount size, CMPIType type, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIArray *>(nullptr), [&] {
    CMPIArray *a = make_array(size, type, false);
    set_rc(rc, CMPI_RC_OK);
    return a;
  });
}
