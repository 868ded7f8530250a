/* CMPIContext: named entries of a request (namespace, principal, flags...). */
#include "native_internal.h"

namespace cmpinative {

namespace {

NContext *self(const CMPIContext *ctx) { return native<NContext>(ctx); }

bool bad(const CMPIContext *ctx, CMPIStatus *rc) {
  if (ctx != nullptr && ctx->hdl != nullptr) return false;
  set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
  return true;
}

CMPIContext *new_context(const NamedList *src, bool scoped) {
  return &create<NContext>(scoped, [&](NContext &n) {
            if (src != nullptr) n.entries = *src;
            n.pub.hdl = &n;
            n.pub.ft = &context_ft;
          })->pub;
}

CMPIStatus release(CMPIContext *ctx) {
  if (bad(ctx, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
  release_object(&self(ctx)->hdr);
  return status(CMPI_RC_OK);
}

CMPIContext *clone(const CMPIContext *ctx, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIContext *>(nullptr), [&]() -> CMPIContext * {
    if (bad(ctx, rc)) return nullptr;
    CMPIContext *c = new_context(&self(ctx)->entries, false);
    set_rc(rc, CMPI_RC_OK);
    return c;
  });
}

CMPIData get_entry(const CMPIContext *ctx, const char *name, CMPIStatus *rc) {
  if (bad(ctx, rc)) return null_data(CMPI_null, CMPI_badValue);
  return self(ctx)->entries.get(name, rc);
}

CMPIData get_entry_at(const CMPIContext *ctx, CMPICount index, CMPIString **name, CMPIStatus *rc) {
  return guard(rc, null_data(CMPI_null, CMPI_badValue), [&] {
    if (bad(ctx, rc)) return null_data(CMPI_null, CMPI_badValue);
    return self(ctx)->entries.get_at(index, name, rc);
  });
}

CMPICount get_entry_count(const CMPIContext *ctx, CMPIStatus *rc) {
  if (bad(ctx, rc)) return 0;
  set_rc(rc, CMPI_RC_OK);
  return static_cast<CMPICount>(self(ctx)->entries.size());
}

CMPIStatus add_entry(const CMPIContext *ctx, const char *name, const CMPIValue *value, const CMPIType type) {
  return guard([&] {
    if (bad(ctx, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
    if (name == nullptr) return status(CMPI_RC_ERR_INVALID_PARAMETER);
    self(ctx)->entries.set(name, Value::of(value, type));
    return status(CMPI_RC_OK);
  });
}

}  // namespace

CMPIContextFT context_ft = {CMPICurrentVersion, release,         clone,    get_entry,
                            get_entry_at,       get_entry_count, add_entry};

CMPIContext *make_context(bool scoped) { return new_context(nullptr, scoped); }

}  // namespace cmpinative

using namespace cmpinative;

extern "C" CMPIContext *native_new_CMPIContext(void) {
  return guard(nullptr, static_cast<CMPIContext *>(nullptr), [] { return make_context(false); });
}

extern "C" CMPIContext *native_clone_CMPIContext(const CMPIContext *ctx) {
  if (ctx == nullptr || ctx->ft == nullptr) return nullptr;
  return ctx->ft->clone(ctx, nullptr);
}
