/* CMPIString: a character string; hdl points at its characters. */
#include <cstring>
#include <new>

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
    CMPIString *c = make_string(native<NString>(s)->text, false);
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

/* One allocation holds the object and its characters. */
CMPIString *make_string(const char *text, bool scoped) {
  const size_t len = text != nullptr ? std::strlen(text) : 0;
  void *block = ::operator new(sizeof(NString) + len + 1);
  auto *n = new (block) NString();
  char *chars = reinterpret_cast<char *>(n + 1);
  if (len != 0) std::memcpy(chars, text, len);
  chars[len] = '\0';
  n->text = chars;
  n->pub.hdl = chars;
  n->pub.ft = &string_ft;
  return &registered(
              n,
              [](void *p) {
                static_cast<NString *>(p)->~NString();
                ::operator delete(p);
              },
              scoped)
              ->pub;
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
