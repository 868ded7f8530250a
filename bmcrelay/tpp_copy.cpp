// Copying CMPI values between the host and a controller (see tpp.h).
//
// Controller to host: every reference, instance, date-time and array is rebuilt with the host
// broker, in the node's host namespace; the first nested copy that fails stops the object being
// built. Host to controller: the same shapes made with the CIM client library, in the controller
// namespace; an item whose nested copy fails is left out and the rest goes on. Keys and
// properties are walked from the last to the first, null values skipped.
#include <cmpimacs.h>

#include <cstring>

#include "tpp.h"

namespace {

// A value of no type carries nothing either.
bool IsNull(const CMPIData &d) { return (d.state & CMPI_nullValue) != 0 || d.type == CMPI_null; }

const char *Chars(const CMPIString *s) {
  const char *p = s != nullptr ? CMGetCharsPtr(s, nullptr) : nullptr;
  return p != nullptr ? p : "";
}

// A path's namespace and class name, as texts that stay valid as long as the path does.
const char *NameSpaceOf(const CMPIObjectPath *op) { return op != nullptr ? Chars(CMGetNameSpace(op, nullptr)) : ""; }
const char *ClassOf(const CMPIObjectPath *op) { return op != nullptr ? Chars(CMGetClassName(op, nullptr)) : ""; }

// Records a failed copy in *st (the constructor's own code when it gave one).
void Fail(CMPIStatus *st, CMPIrc rc, const char *what) {
  if (st == nullptr) return;
  st->rc = rc != CMPI_RC_OK ? rc : CMPI_RC_ERR_FAILED;
  st->msg = _broker != nullptr ? CMNewString(_broker, what, nullptr) : nullptr;
}

void ReleaseName(CMPIString *name) {
  if (name != nullptr) CMRelease(name);
}

// The destination of a rebuilt value: the source's type, a good value.
void SetRebuilt(CMPIData *dst, CMPIType type) {
  dst->type = type;
  dst->state = CMPI_goodValue;
}

// ------------------------------------------------------------ controller to host

CMPIObjectPath *HostReference(const CMPIObjectPath *src, CMPIStatus *st, int id) {
  char ns[TPP_NS_BUFFER_SIZE] = {};
  if (util_change_namespce(NameSpaceOf(src), ns, sizeof ns, TPP_TO_HOST, id) != 0) {
    Fail(st, CMPI_RC_ERR_FAILED, "a reference's namespace does not fit");
    return nullptr;
  }
  return util_host_path(src, ns, ClassOf(src), st, id);
}

CMPIInstance *HostInstance(const CMPIInstance *src, CMPIStatus *st, int id) {
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIObjectPath *sp = CMGetObjectPath(src, &rc);
  if (sp == nullptr) {
    Fail(st, rc.rc, "an embedded instance without an object path");
    return nullptr;
  }
  char ns[TPP_NS_BUFFER_SIZE] = {};
  CMPIInstance *inst = nullptr;
  if (util_change_namespce(NameSpaceOf(sp), ns, sizeof ns, TPP_TO_HOST, id) != 0) {
    Fail(st, CMPI_RC_ERR_FAILED, "an instance's namespace does not fit");
  } else {
    CMPIObjectPath *op = CMNewObjectPath(_broker, ns, ClassOf(sp), &rc);
    if (op != nullptr) inst = CMNewInstance(_broker, op, &rc);
    if (inst == nullptr) Fail(st, rc.rc, "cannot make a host instance");
    else if (util_host_properties(src, inst, st, id) != CMPI_RC_OK) inst = nullptr;
  }
  CMRelease(sp);
  return inst;
}

// ------------------------------------------------------------ host to controller

CMPIObjectPath *ClientReference(const CMPIObjectPath *src, CMPIStatus *st) {
  char ns[TPP_NS_BUFFER_SIZE] = {};
  // A namespace that does not translate (or does not fit) leaves the path without one.
  util_change_namespce(NameSpaceOf(src), ns, sizeof ns, TPP_TO_CONTROLLER, 0);
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIObjectPath *op = newCMPIObjectPath(ns, ClassOf(src), &rc);
  if (op == nullptr) {
    Fail(st, rc.rc, "cannot make a client object path");
    return nullptr;
  }
  const CMPICount n = CMGetKeyCount(src, nullptr);
  for (CMPICount i = n; i-- > 0;) {
    CMPIString *name = nullptr;
    CMPIData d = CMGetKeyAt(src, i, &name, &rc);
    if (rc.rc == CMPI_RC_OK && name != nullptr && !IsNull(d)) {
      CMPIData v = d;
      if (!tpp_is_nested(d.type)) {
        CMAddKey(op, Chars(name), &v.value, v.type);
      } else if (util_sfcc_data_copy(&d, &v, st) == CMPI_RC_OK && !IsNull(v)) {
        CMAddKey(op, Chars(name), &v.value, v.type);
        util_release_copy(&v);
      }
    }
    ReleaseName(name);
  }
  return op;
}

void ClientProperties(const CMPIInstance *src, CMPIInstance *dst, CMPIStatus *st) {
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPICount n = CMGetPropertyCount(src, nullptr);
  for (CMPICount i = n; i-- > 0;) {
    CMPIString *name = nullptr;
    CMPIData d = CMGetPropertyAt(src, i, &name, &rc);
    if (rc.rc == CMPI_RC_OK && name != nullptr && !IsNull(d)) {
      CMPIData v = d;
      if (!tpp_is_nested(d.type)) {
        CMSetProperty(dst, Chars(name), &v.value, v.type);
      } else if (util_sfcc_data_copy(&d, &v, st) == CMPI_RC_OK && !IsNull(v)) {
        CMSetProperty(dst, Chars(name), &v.value, v.type);
        util_release_copy(&v);
      }
    }
    ReleaseName(name);
  }
}

CMPIInstance *ClientInstance(const CMPIInstance *src, CMPIStatus *st) {
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIObjectPath *sp = CMGetObjectPath(src, &rc);
  if (sp == nullptr) {
    Fail(st, rc.rc, "an instance without an object path");
    return nullptr;
  }
  // The path's keys are rebuilt too, so that a reference among them is the controller's.
  CMPIObjectPath *op = ClientReference(sp, st);
  CMRelease(sp);
  if (op == nullptr) return nullptr;
  CMPIInstance *inst = native_new_CMPIInstance(op, &rc);
  CMRelease(op);
  if (inst == nullptr) {
    Fail(st, rc.rc, "cannot make a client instance");
    return nullptr;
  }
  ClientProperties(src, inst, st);
  return inst;
}

// Makes an array of count elements of type et: on the host side or the client's.
CMPIArray *NewArray(bool host, CMPICount count, CMPIType et, CMPIStatus *rc) {
  return host ? CMNewArray(_broker, count, et, rc) : native_new_CMPIArray(count, et, rc);
}

// The array copy both directions share. A host copy stops at the first element that fails; a
// client copy leaves such an element null.
CMPIrc CopyArray(const CMPIData *src, CMPIData *dst, CMPIStatus *st, int id, bool host) {
  const CMPIArray *sa = src->value.array;
  const CMPIType et = static_cast<CMPIType>(src->type & ~CMPI_ARRAY);
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPICount n = CMGetArrayCount(sa, nullptr);
  CMPIArray *da = NewArray(host, n, et, &rc);
  if (da == nullptr) {
    Fail(st, rc.rc, "cannot make an array");
    return st != nullptr ? st->rc : CMPI_RC_ERR_FAILED;
  }
  CMPIrc last = CMPI_RC_OK;
  for (CMPICount i = 0; i < n; ++i) {
    CMPIData e = CMGetArrayElementAt(sa, i, &rc);
    if (rc.rc != CMPI_RC_OK || IsNull(e)) continue;
    CMPIData v = e;
    const bool nested = e.type == CMPI_ref || e.type == CMPI_instance || e.type == CMPI_dateTime;
    if (nested) {
      CMPIStatus inner = {CMPI_RC_OK, nullptr};
      CMPIData *copied = host ? util_single_data_copy(&e, &v, &inner, id) : util_sfcc_single_data_copy(&e, &v, &inner);
      if (copied == nullptr) {
        last = inner.rc;
        if (st != nullptr) *st = inner;
        if (host) return last;
        continue;
      }
    }
    CMSetArrayElementAt(da, i, &v.value, v.type);
    if (nested && !host) util_release_copy(&v);
  }
  SetRebuilt(dst, src->type);
  dst->value.array = da;
  return last;
}

}  // namespace

bool tpp_is_nested(CMPIType type) {
  return (type & CMPI_ARRAY) != 0 || type == CMPI_ref || type == CMPI_instance || type == CMPI_dateTime;
}

CMPIObjectPath *util_host_path(const CMPIObjectPath *src, const char *host_ns, const char *cls, CMPIStatus *st,
                               int id) {
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIObjectPath *op = CMNewObjectPath(_broker, host_ns, cls, &rc);
  if (op == nullptr) {
    Fail(st, rc.rc, "cannot make a host object path");
    return nullptr;
  }
  const CMPICount n = CMGetKeyCount(src, nullptr);
  for (CMPICount i = n; i-- > 0;) {
    CMPIString *name = nullptr;
    CMPIData d = CMGetKeyAt(src, i, &name, &rc);
    if (rc.rc != CMPI_RC_OK || name == nullptr || IsNull(d)) {
      ReleaseName(name);
      continue;
    }
    CMPIData v = d;
    if (tpp_is_nested(d.type) && util_data_copy(&d, &v, st, id) != CMPI_RC_OK) {
      ReleaseName(name);
      return nullptr;
    }
    if (!IsNull(v)) CMAddKey(op, Chars(name), &v.value, v.type);
    ReleaseName(name);
  }
  return op;
}

CMPIrc util_host_properties(const CMPIInstance *src, CMPIInstance *dst, CMPIStatus *st, int id) {
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPICount n = CMGetPropertyCount(src, nullptr);
  for (CMPICount i = n; i-- > 0;) {
    CMPIString *name = nullptr;
    CMPIData d = CMGetPropertyAt(src, i, &name, &rc);
    if (rc.rc != CMPI_RC_OK || name == nullptr || IsNull(d)) {
      ReleaseName(name);
      continue;
    }
    CMPIData v = d;
    if (tpp_is_nested(d.type)) {
      const CMPIrc copied = util_data_copy(&d, &v, st, id);
      if (copied != CMPI_RC_OK) {
        ReleaseName(name);
        return copied;
      }
    }
    if (!IsNull(v)) CMSetProperty(dst, Chars(name), &v.value, v.type);
    ReleaseName(name);
  }
  return CMPI_RC_OK;
}

CMPIData *util_single_data_copy(const CMPIData *src, CMPIData *dst, CMPIStatus *st, int id) {
  *dst = *src;
  if (IsNull(*src) || !tpp_is_nested(src->type)) return dst;
  if (src->value.ref == nullptr) {
    // A nested value without its object is a null value, never a pointer to follow.
    dst->state = CMPI_nullValue;
    return dst;
  }
  switch (src->type) {
    case CMPI_ref: {
      CMPIObjectPath *op = HostReference(src->value.ref, st, id);
      if (op == nullptr) return nullptr;
      SetRebuilt(dst, src->type);
      dst->value.ref = op;
      return dst;
    }
    case CMPI_instance: {
      CMPIInstance *inst = HostInstance(src->value.inst, st, id);
      if (inst == nullptr) return nullptr;
      SetRebuilt(dst, src->type);
      dst->value.inst = inst;
      return dst;
    }
    case CMPI_dateTime: {
      CMPIStatus rc = {CMPI_RC_OK, nullptr};
      const CMPIUint64 bin = CMGetBinaryFormat(src->value.dateTime, &rc);
      const CMPIBoolean interval = CMIsInterval(src->value.dateTime, nullptr);
      CMPIDateTime *dt = rc.rc == CMPI_RC_OK ? CMNewDateTimeFromBinary(_broker, bin, interval, &rc) : nullptr;
      if (dt == nullptr) {
        Fail(st, rc.rc, "cannot make a host date-time");
        return nullptr;
      }
      SetRebuilt(dst, src->type);
      dst->value.dateTime = dt;
      return dst;
    }
    default:
      return dst;
  }
}

CMPIrc util_data_copy(const CMPIData *src, CMPIData *dst, CMPIStatus *st, int id) {
  if ((src->type & CMPI_ARRAY) != 0 && !IsNull(*src) && src->value.array != nullptr)
    return CopyArray(src, dst, st, id, true);
  if (util_single_data_copy(src, dst, st, id) != nullptr) return CMPI_RC_OK;
  return st != nullptr && st->rc != CMPI_RC_OK ? st->rc : CMPI_RC_ERR_FAILED;
}

CMPIData *util_sfcc_single_data_copy(const CMPIData *src, CMPIData *dst, CMPIStatus *st) {
  *dst = *src;
  if (IsNull(*src) || !tpp_is_nested(src->type)) return dst;
  if (src->value.ref == nullptr) {
    // A nested value without its object is a null value, never a pointer to follow.
    dst->state = CMPI_nullValue;
    return dst;
  }
  switch (src->type) {
    case CMPI_ref: {
      CMPIObjectPath *op = ClientReference(src->value.ref, st);
      if (op == nullptr) return nullptr;
      SetRebuilt(dst, src->type);
      dst->value.ref = op;
      return dst;
    }
    case CMPI_instance: {
      CMPIInstance *inst = ClientInstance(src->value.inst, st);
      if (inst == nullptr) return nullptr;
      SetRebuilt(dst, src->type);
      dst->value.inst = inst;
      return dst;
    }
    case CMPI_dateTime: {
      CMPIStatus rc = {CMPI_RC_OK, nullptr};
      const CMPIUint64 bin = CMGetBinaryFormat(src->value.dateTime, &rc);
      const CMPIBoolean interval = CMIsInterval(src->value.dateTime, nullptr);
      CMPIDateTime *dt = rc.rc == CMPI_RC_OK ? native_new_CMPIDateTime_fromBinary(bin, interval, &rc) : nullptr;
      if (dt == nullptr) {
        Fail(st, rc.rc, "cannot make a client date-time");
        return nullptr;
      }
      SetRebuilt(dst, src->type);
      dst->value.dateTime = dt;
      return dst;
    }
    default:
      return dst;
  }
}

CMPIrc util_sfcc_data_copy(const CMPIData *src, CMPIData *dst, CMPIStatus *st) {
  if ((src->type & CMPI_ARRAY) != 0 && !IsNull(*src) && src->value.array != nullptr)
    return CopyArray(src, dst, st, 0, false);
  if (util_sfcc_single_data_copy(src, dst, st) != nullptr) return CMPI_RC_OK;
  return st != nullptr && st->rc != CMPI_RC_OK ? st->rc : CMPI_RC_ERR_FAILED;
}

CMPIObjectPath *util_new_objpath_from_old(CMPIObjectPath **out, const CMPIObjectPath *op, CMPIStatus *st) {
  CMPIObjectPath *p = op != nullptr ? ClientReference(op, st) : nullptr;
  if (out != nullptr) *out = p;
  return p;
}

CMPIInstance *util_new_inst_from_old(CMPIInstance **out, const CMPIInstance *inst, CMPIStatus *st) {
  CMPIInstance *p = inst != nullptr ? ClientInstance(inst, st) : nullptr;
  if (out != nullptr) *out = p;
  return p;
}

void util_release_copy(CMPIData *d) {
  if (d == nullptr || IsNull(*d) || !tpp_is_nested(d->type) || d->value.ref == nullptr) return;
  if ((d->type & CMPI_ARRAY) != 0) CMRelease(d->value.array);
  else if (d->type == CMPI_ref) CMRelease(d->value.ref);
  else if (d->type == CMPI_instance) CMRelease(d->value.inst);
  else if (d->type == CMPI_dateTime) CMRelease(d->value.dateTime);
  d->value.ref = nullptr;
}
