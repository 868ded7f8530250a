/* CMPIError: an extended error with its attributes. */
#include "native_internal.h"

namespace cmpinative {

namespace {

NError *self(const CMPIError *er) { return native<NError>(er); }

bool bad(const CMPIError *er, CMPIStatus *rc) {
  if (er != nullptr && er->hdl != nullptr) return false;
  set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
  return true;
}

CMPIError *new_error(const NError *src, bool scoped) {
  return &create<NError>(scoped, [&](NError &n) {
            if (src != nullptr) {
              n.type = src->type;
              n.severity = src->severity;
              n.cause = src->cause;
              n.source_format = src->source_format;
              n.status_code = src->status_code;
              for (int i = 0; i < NError::TextCount; ++i) {
                n.text[i] = src->text[i];
                n.has[i] = src->has[i];
              }
              n.actions = src->actions;
              n.arguments = src->arguments;
            }
            n.pub.hdl = &n;
            n.pub.ft = &error_ft;
          })->pub;
}

CMPIStatus release(CMPIError *er) {
  if (bad(er, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
  release_object(&self(er)->hdr);
  return status(CMPI_RC_OK);
}

CMPIError *clone(const CMPIError *er, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIError *>(nullptr), [&]() -> CMPIError * {
    if (bad(er, rc)) return nullptr;
    CMPIError *c = new_error(self(er), false);
    set_rc(rc, CMPI_RC_OK);
    return c;
  });
}

/* Enumerated attributes. */
template <class T, T NError::*M>
T get_field(const CMPIError *er, CMPIStatus *rc) {
  if (bad(er, rc)) return T();
  set_rc(rc, CMPI_RC_OK);
  return self(er)->*M;
}

template <class T, T NError::*M>
CMPIStatus set_field(CMPIError *er, const T v) {
  if (bad(er, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
  self(er)->*M = v;
  return status(CMPI_RC_OK);
}

/* Text attributes: a scoped string, or NULL when not set. */
template <NError::Text F>
CMPIString *get_text(const CMPIError *er, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIString *>(nullptr), [&]() -> CMPIString * {
    if (bad(er, rc)) return nullptr;
    const NError *n = self(er);
    CMPIString *s = n->has[F] ? make_string(n->text[F].c_str(), true) : nullptr;
    set_rc(rc, CMPI_RC_OK);
    return s;
  });
}

/* NULL clears the attribute. */
template <NError::Text F>
CMPIStatus set_text(CMPIError *er, const char *text) {
  return guard([&] {
    if (bad(er, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
    NError *n = self(er);
    n->text[F] = text_of(text);
    n->has[F] = text != nullptr;
    return status(CMPI_RC_OK);
  });
}

/* String array attributes: a scoped copy, or NULL when not set. */
template <Value NError::*M>
CMPIArray *get_array(const CMPIError *er, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIArray *>(nullptr), [&]() -> CMPIArray * {
    if (bad(er, rc)) return nullptr;
    Value copy = self(er)->*M;
    CMPIArray *a = copy.take().value.array;
    adopt(a);
    set_rc(rc, CMPI_RC_OK);
    return a;
  });
}

/* NULL clears the attribute; anything but an array of strings is refused. */
template <Value NError::*M>
CMPIStatus set_array(CMPIError *er, const CMPIArray *a) {
  return guard([&] {
    if (bad(er, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
    if (a != nullptr && a->ft->getSimpleType(a, nullptr) != CMPI_string) return status(CMPI_RC_ERR_TYPE_MISMATCH);
    CMPIValue v;
    v.array = const_cast<CMPIArray *>(a);
    self(er)->*M = Value::of(&v, CMPI_stringA);
    return status(CMPI_RC_OK);
  });
}

CMPIStatus set_arguments(CMPIError *er, CMPIArray *values) { return set_array<&NError::arguments>(er, values); }

}  // namespace

CMPIErrorFT error_ft = {
    CMPICurrentVersion,
    release,
    clone,
    get_field<CMPIErrorType, &NError::type>,
    get_text<NError::OtherType>,
    get_text<NError::Owner>,
    get_text<NError::MessageId>,
    get_text<NError::Message>,
    get_field<CMPIErrorSeverity, &NError::severity>,
    get_field<CMPIErrorProbableCause, &NError::cause>,
    get_text<NError::CauseDescription>,
    get_array<&NError::actions>,
    get_text<NError::Source>,
    get_field<CMPIErrorSrcFormat, &NError::source_format>,
    get_text<NError::OtherSourceFormat>,
    get_field<CMPIrc, &NError::status_code>,
    get_text<NError::StatusDescription>,
    get_array<&NError::arguments>,
    set_field<CMPIErrorType, &NError::type>,
    set_text<NError::OtherType>,
    set_text<NError::CauseDescription>,
    set_array<&NError::actions>,
    set_text<NError::Source>,
    set_field<CMPIErrorSrcFormat, &NError::source_format>,
    set_text<NError::OtherSourceFormat>,
    set_text<NError::StatusDescription>,
    set_arguments,
};

CMPIError *make_error(bool scoped) { return new_error(nullptr, scoped); }

}  // namespace cmpinative
