/* CMPIString: a character string; hdl points at its characters. */
#include "native_internal.h"

namespace cmpinative {

namespace {

CMPIStatus release(CMPIString *s) {
  if (s == nullptr || s->hdl == nullptr) return status(CMPI_RC_ERR_INVALID_HANDLE);
  release_object(&native<NString>(s)->hdr);
  return status(CMPI_RC_OK);
}

CMPIString *clone(const CMPIString *s, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIString *>(nullptr), [&]() -> CMPIString * {
    if (s == nullptr || s->hdl == nullptr) {
      set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
      return nullptr;
    }
    CMPIString *c = make_string(native<NString>(s)->text.c_str(), false);
    set_rc(rc, CMPI_RC_OK);
    return c;
  });
}

const char *get_char_ptr(const CMPIString *s, CMPIStatus *rc) {
  if (s == nullptr || s->hdl == nullptr) {
    set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
    return nullptr;
  }
  set_rc(rc, CMPI_RC_OK);
  return static_cast<const char *>(s->hdl);
}

}  // namespace

CMPIStringFT string_ft = {CMPICurrentVersion, release, clone, get_char_ptr};

CMPIString *make_string(const char *text, bool scoped) {
  return &create<NString>(scoped, [&](NString &n) {
            n.text = text_of(text);
            n.pub.hdl = &n.text[0];
            n.pub.ft = &string_ft;
          })->pub;
}

}  // namespace cmpinative

using namespace cmpinative;

extern "C" CMPIString *native_new_CMPIString(const char *ptr, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIString *>(nullptr), [&] {
    CMPIString *s = make_string(ptr, false);
    set_rc(rc, CMPI_RC_OK);
    return s;
  });
}
