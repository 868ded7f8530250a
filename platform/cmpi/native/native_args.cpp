/* CMPIArgs: method arguments in the order they were added. */
#include "native_internal.h"

namespace cmpinative {

namespace {

NArgs *self(const CMPIArgs *as) { return native<NArgs>(as); }

bool bad(const CMPIArgs *as, CMPIStatus *rc) {
  if (as != nullptr && as->hdl != nullptr) return false;
  set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
  return true;
}

CMPIArgs *new_args(const NamedList *src, bool scoped) {
  return &create<NArgs>(scoped, [&](NArgs &n) {
            if (src != nullptr) n.args = *src;
            n.pub.hdl = &n;
            n.pub.ft = &args_ft;
          })->pub;
}

CMPIStatus release(CMPIArgs *as) {
  if (bad(as, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
  release_object(&self(as)->hdr);
  return status(CMPI_RC_OK);
}

CMPIArgs *clone(const CMPIArgs *as, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIArgs *>(nullptr), [&]() -> CMPIArgs * {
    if (bad(as, rc)) return nullptr;
    CMPIArgs *c = new_args(&self(as)->args, false);
    set_rc(rc, CMPI_RC_OK);
    return c;
  });
}

CMPIStatus add_arg(const CMPIArgs *as, const char *name, const CMPIValue *value, const CMPIType type) {
  return guard([&] {
    if (bad(as, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
    if (name == nullptr) return status(CMPI_RC_ERR_INVALID_PARAMETER);
    self(as)->args.set(name, Value::of(value, type));
    return status(CMPI_RC_OK);
  });
}

CMPIData get_arg(const CMPIArgs *as, const char *name, CMPIStatus *rc) {
  if (bad(as, rc)) return null_data(CMPI_null, CMPI_badValue);
  return self(as)->args.get(name, rc);
}

CMPIData get_arg_at(const CMPIArgs *as, CMPICount index, CMPIString **name, CMPIStatus *rc) {
  return guard(rc, null_data(CMPI_null, CMPI_badValue), [&] {
    if (bad(as, rc)) return null_data(CMPI_null, CMPI_badValue);
    return self(as)->args.get_at(index, name, rc);
  });
}

CMPICount get_arg_count(const CMPIArgs *as, CMPIStatus *rc) {
  if (bad(as, rc)) return 0;
  set_rc(rc, CMPI_RC_OK);
  return static_cast<CMPICount>(self(as)->args.size());
}

}  // namespace

CMPIArgsFT args_ft = {CMPICurrentVersion, release, clone, add_arg, get_arg, get_arg_at, get_arg_count};

CMPIArgs *make_args(bool scoped) { return new_args(nullptr, scoped); }

}  // namespace cmpinative

using namespace cmpinative;

extern "C" CMPIArgs *native_new_CMPIArgs(CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIArgs *>(nullptr), [&] {
    CMPIArgs *as = make_args(false);
    set_rc(rc, CMPI_RC_OK);
    return as;
  });
}
