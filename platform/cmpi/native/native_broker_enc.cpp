/*
 * The broker's factories and helpers for encapsulated types: every object
 * made here belongs to the caller's current scope.
 */
#include <cstdio>
#include <cstring>

#include "native_internal.h"

namespace cmpinative {

namespace {

bool bad_broker(const CMPIBroker *mb, CMPIStatus *rc) {
  if (router_of(mb) != nullptr) return false;
  set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
  return true;
}

/* Runs a factory for a scoped object. */
template <class T, class F>
T *factory(const CMPIBroker *mb, CMPIStatus *rc, F &&make) {
  return guard(rc, static_cast<T *>(nullptr), [&]() -> T * {
    if (bad_broker(mb, rc)) return nullptr;
    set_rc(rc, CMPI_RC_OK);
    return make();
  });
}

CMPIInstance *new_instance(const CMPIBroker *mb, const CMPIObjectPath *op, CMPIStatus *rc) {
  return factory<CMPIInstance>(mb, rc, [&]() -> CMPIInstance * {
    if (op == nullptr) {
      set_rc(rc, CMPI_RC_ERR_INVALID_PARAMETER);
      return nullptr;
    }
    return make_instance(op, true, rc);
  });
}

CMPIObjectPath *new_object_path(const CMPIBroker *mb, const char *ns, const char *cn, CMPIStatus *rc) {
  return factory<CMPIObjectPath>(mb, rc, [&] { return make_path(ns, cn, true); });
}

CMPIArgs *new_args(const CMPIBroker *mb, CMPIStatus *rc) {
  return factory<CMPIArgs>(mb, rc, [&] { return make_args(true); });
}

CMPIString *new_string(const CMPIBroker *mb, const char *data, CMPIStatus *rc) {
  return factory<CMPIString>(mb, rc, [&] { return make_string(data, true); });
}

CMPIArray *new_array(const CMPIBroker *mb, CMPICount max, CMPIType type, CMPIStatus *rc) {
  return factory<CMPIArray>(mb, rc, [&] { return make_array(max, type, true); });
}

CMPIDateTime *new_date_time(const CMPIBroker *mb, CMPIStatus *rc) {
  return factory<CMPIDateTime>(mb, rc, [&] { return make_datetime_now(true, rc); });
}

CMPIDateTime *new_date_time_from_binary(const CMPIBroker *mb, CMPIUint64 binTime, CMPIBoolean interval,
                                        CMPIStatus *rc) {
  return factory<CMPIDateTime>(mb, rc, [&] { return make_datetime(binTime, interval != 0, true, rc); });
}

CMPIDateTime *new_date_time_from_chars(const CMPIBroker *mb, const char *utcTime, CMPIStatus *rc) {
  return factory<CMPIDateTime>(mb, rc, [&] { return make_datetime_text(utcTime, true, rc); });
}

/* No query language is implemented. */
CMPISelectExp *new_select_exp(const CMPIBroker *mb, const char *, const char *, CMPIArray **projection,
                              CMPIStatus *rc) {
  if (projection != nullptr) *projection = nullptr;
  if (!bad_broker(mb, rc)) set_rc(rc, CMPI_RC_ERR_NOT_SUPPORTED);
  return nullptr;
}

CMPIBoolean class_path_is_a(const CMPIBroker *mb, const CMPIObjectPath *op, const char *type, CMPIStatus *rc) {
  return guard(rc, CMPIBoolean(0), [&]() -> CMPIBoolean {
    if (bad_broker(mb, rc)) return 0;
    if (kind_of(op) != Kind::ObjectPath || type == nullptr) {
      set_rc(rc, CMPI_RC_ERR_INVALID_PARAMETER);
      return 0;
    }
    const NObjectPath *p = native<NObjectPath>(op);
    bool is_a = router_of(mb)->classIsA(p->ns.c_str(), p->cn.c_str(), type);
    set_rc(rc, CMPI_RC_OK);
    return is_a ? 1 : 0;
  });
}

const char *type_name(Kind k) {
  switch (k) {
    case Kind::String: return "CMPIString";
    case Kind::Array: return "CMPIArray";
    case Kind::Instance: return "CMPIInstance";
    case Kind::ObjectPath: return "CMPIObjectPath";
    case Kind::Args: return "CMPIArgs";
    case Kind::DateTime: return "CMPIDateTime";
    case Kind::Enumeration: return "CMPIEnumeration";
    case Kind::Context: return "CMPIContext";
    case Kind::Result: return "CMPIResult";
    case Kind::Error: return "CMPIError";
    case Kind::None: break;
  }
  return nullptr;
}

CMPIString *to_string(const CMPIBroker *mb, const void *object, CMPIStatus *rc) {
  return factory<CMPIString>(mb, rc, [&]() -> CMPIString * {
    std::string text;
    switch (kind_of(object)) {
      case Kind::ObjectPath: text = path_to_text(static_cast<const CMPIObjectPath *>(object)); break;
      case Kind::String: text = native<NString>(static_cast<const CMPIString *>(object))->text; break;
      case Kind::DateTime: {
        const NDateTime *dt = native<NDateTime>(static_cast<const CMPIDateTime *>(object));
        text = datetime_to_text(dt->usec, dt->interval);
        break;
      }
      case Kind::None:
        set_rc(rc, CMPI_RC_ERR_INVALID_PARAMETER);
        return nullptr;
      default:
        set_rc(rc, CMPI_RC_ERR_NOT_SUPPORTED);
        return nullptr;
    }
    return make_string(text.c_str(), true);
  });
}

/* Objects that are not this broker's own are refused. */
CMPIBoolean is_of_type(const CMPIBroker *mb, const void *object, const char *type, CMPIStatus *rc) {
  if (bad_broker(mb, rc)) return 0;
  const char *name = type_name(kind_of(object));
  if (name == nullptr || type == nullptr) {
    set_rc(rc, CMPI_RC_ERR_INVALID_PARAMETER);
    return 0;
  }
  set_rc(rc, CMPI_RC_OK);
  return std::strcmp(name, type) == 0 ? 1 : 0;
}

CMPIString *get_type(const CMPIBroker *mb, const void *object, CMPIStatus *rc) {
  return factory<CMPIString>(mb, rc, [&]() -> CMPIString * {
    const char *name = type_name(kind_of(object));
    if (name == nullptr) {
      set_rc(rc, CMPI_RC_ERR_INVALID_PARAMETER);
      return nullptr;
    }
    return make_string(name, true);
  });
}

CMPIString *message(const CMPIBroker *mb, const char *defMsg, CMPIStatus *rc, CMPICount count, va_list ap) {
  return factory<CMPIString>(mb, rc, [&] { return make_string(format_message(defMsg, count, ap).c_str(), true); });
}

/* There are no message files: the default message is always used. */
CMPIString *get_message(const CMPIBroker *mb, const char *, const char *defMsg, CMPIStatus *rc, CMPICount count,
                        ...) {
  va_list ap;
  va_start(ap, count);
  CMPIString *s = message(mb, defMsg, rc, count, ap);
  va_end(ap);
  return s;
}

const char *severity_name(int severity) {
  switch (severity) {
    case CMPI_SEV_ERROR: return "error";
    case CMPI_SEV_INFO: return "info";
    case CMPI_SEV_WARNING: return "warning";
    case CMPI_DEV_DEBUG: return "debug";
    default: return "log";
  }
}

const char *text_or_string(const char *text, const CMPIString *string) {
  if (text != nullptr) return text;
  const char *s = string != nullptr ? string->ft->getCharPtr(string, nullptr) : nullptr;
  return s != nullptr ? s : "";
}

CMPIStatus log_message(const CMPIBroker *mb, int severity, const char *id, const char *text,
                       const CMPIString *string) {
  if (bad_broker(mb, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
  std::fprintf(stderr, "[%s] %s: %s\n", severity_name(severity), id != nullptr ? id : "-",
               text_or_string(text, string));
  return status(CMPI_RC_OK);
}

CMPIStatus trace(const CMPIBroker *mb, int level, const char *component, const char *text,
                 const CMPIString *string) {
  if (bad_broker(mb, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
  std::fprintf(stderr, "[trace %d] %s: %s\n", level, component != nullptr ? component : "-",
               text_or_string(text, string));
  return status(CMPI_RC_OK);
}

CMPIError *new_cmpi_error(const CMPIBroker *mb, const char *owner, const char *msgID, const char *msg,
                          const CMPIErrorSeverity sev, const CMPIErrorProbableCause pc, const CMPIrc cimStatusCode,
                          CMPIStatus *rc) {
  return factory<CMPIError>(mb, rc, [&] {
    CMPIError *er = make_error(false);
    NError *n = native<NError>(er);
    const char *texts[] = {owner, msgID, msg};
    const NError::Text fields[] = {NError::Owner, NError::MessageId, NError::Message};
    try {
      for (int i = 0; i < 3; ++i) {
        n->text[fields[i]] = text_of(texts[i]);
        n->has[fields[i]] = texts[i] != nullptr;
      }
    } catch (...) {
      er->ft->release(er);
      throw;
    }
    n->severity = sev;
    n->cause = pc;
    n->status_code = cimStatusCode;
    adopt(er);
    return er;
  });
}

/* Message files: opening one succeeds, and look-ups use the default
 * message. */
char message_file_token;

CMPIStatus open_message_file(const CMPIBroker *mb, const char *msgFile, CMPIMsgFileHandle *handle) {
  if (bad_broker(mb, nullptr)) return status(CMPI_RC_ERR_INVALID_HANDLE);
  if (msgFile == nullptr || handle == nullptr) return status(CMPI_RC_ERR_INVALID_PARAMETER);
  *handle = &message_file_token;
  return status(CMPI_RC_OK);
}

CMPIStatus close_message_file(const CMPIBroker *mb, const CMPIMsgFileHandle) {
  return status(bad_broker(mb, nullptr) ? CMPI_RC_ERR_INVALID_HANDLE : CMPI_RC_OK);
}

CMPIString *get_message2(const CMPIBroker *mb, const char *, const CMPIMsgFileHandle, const char *defMsg,
                         CMPIStatus *rc, CMPICount count, ...) {
  va_list ap;
  va_start(ap, count);
  CMPIString *s = message(mb, defMsg, rc, count, ap);
  va_end(ap);
  return s;
}

}  // namespace

CMPIBrokerEncFT broker_enc_ft = {CMPICurrentVersion,
                                 new_instance,
                                 new_object_path,
                                 new_args,
                                 new_string,
                                 new_array,
                                 new_date_time,
                                 new_date_time_from_binary,
                                 new_date_time_from_chars,
                                 new_select_exp,
                                 class_path_is_a,
                                 to_string,
                                 is_of_type,
                                 get_type,
                                 get_message,
                                 log_message,
                                 trace,
                                 new_cmpi_error,
                                 open_message_file,
                                 close_message_file,
                                 get_message2};

namespace {

/* One argument as the CMFmt* macros pass it: a type code (promoted to int),
 * then the value as that macro casts it. False for a type whose size is
 * unknown: nothing after it can be read. */
bool next_argument(va_list ap, std::string *text) {
  switch (va_arg(ap, int)) {
    case CMPI_sint32: *text = std::to_string(va_arg(ap, long)); return true;
    case CMPI_uint32: *text = std::to_string(va_arg(ap, unsigned long)); return true;
    case CMPI_sint64: *text = std::to_string(va_arg(ap, long long)); return true;
    case CMPI_uint64: *text = std::to_string(va_arg(ap, unsigned long long)); return true;
    case CMPI_real32:
    case CMPI_real64: {
      CMPIData d = null_data(CMPI_real64, CMPI_goodValue);
      d.value.real64 = va_arg(ap, double);
      *text = format_value(d, false);
      return true;
    }
    case CMPI_boolean: *text = va_arg(ap, int) ? "true" : "false"; return true;
    case CMPI_sint8:
    case CMPI_sint16: *text = std::to_string(va_arg(ap, int)); return true;
    case CMPI_uint8:
    case CMPI_uint16:
    case CMPI_char16: *text = std::to_string(va_arg(ap, unsigned)); return true;
    case CMPI_chars: *text = text_of(va_arg(ap, const char *)); return true;
    case CMPI_string: {
      const CMPIString *s = va_arg(ap, const CMPIString *);
      *text = s != nullptr ? text_of(s->ft->getCharPtr(s, nullptr)) : std::string();
      return true;
    }
    default: return false;
  }
}

}  // namespace

std::string format_message(const char *defMsg, CMPICount count, va_list ap) {
  std::vector<std::string> args;
  std::string text;
  for (CMPICount i = 0; i < count && next_argument(ap, &text); ++i) args.push_back(text);
  std::string out;
  for (const char *p = defMsg != nullptr ? defMsg : ""; *p != '\0'; ++p) {
    if (p[0] == '$' && p[1] >= '0' && p[1] <= '9' && static_cast<size_t>(p[1] - '0') < args.size()) {
      out += args[static_cast<size_t>(p[1] - '0')];
      ++p;
    } else {
      out += *p;
    }
  }
  return out;
}

}  // namespace cmpinative
