// Copying CMPI values between the host and a controller (see tpp.h).
//
// Both directions share one walk over the value; a Side says whose constructors make the copies
// and how failures go. Controller to host: every reference, instance, date-time and array is
// rebuilt with the host broker, in the node's host namespace; the first nested copy that fails
// stops the object being built. Host to controller: the same shapes made with the CIM client
// library, in the controller namespace; an item whose nested copy fails is left out and the rest
// goes on. Keys and properties are walked from the last to the first, null values skipped.
#include <cmpimacs.h>

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

// The side the copies are made for.
struct Side {
  bool host;  // the host broker's objects; else the client library's
  int id;     // the node, for the host namespaces

  CMPIObjectPath *NewPath(const char *ns, const char *cn, CMPIStatus *rc) const {
    return host ? CMNewObjectPath(_broker, ns, cn, rc) : newCMPIObjectPath(ns, cn, rc);
  }
  CMPIInstance *NewInstance(CMPIObjectPath *op, CMPIStatus *rc) const {
    return host ? CMNewInstance(_broker, op, rc) : native_new_CMPIInstance(op, rc);
  }
  CMPIDateTime *NewDateTime(CMPIUint64 bin, CMPIBoolean interval, CMPIStatus *rc) const {
    return host ? CMNewDateTimeFromBinary(_broker, bin, interval, rc)
                : native_new_CMPIDateTime_fromBinary(bin, interval, rc);
  }
  CMPIArray *NewArray(CMPICount count, CMPIType et, CMPIStatus *rc) const {
    return host ? CMNewArray(_broker, count, et, rc) : native_new_CMPIArray(count, et, rc);
  }
  // The copy's namespace. A host namespace that does not fit fails the copy; a namespace that
  // does not translate for the controller leaves the copy without one.
  bool Translate(const char *ns, char *out, int size) const {
    return util_change_namespce(ns, out, size, host ? TPP_TO_HOST : TPP_TO_CONTROLLER, id) == 0 || !host;
  }
  // Host objects belong to the request; the client objects a copy made for a container are
  // released once the container holds its own copy.
  void Done(CMPIData *copy) const {
    if (!host) util_release_copy(copy);
  }
};

CMPIrc Copy(const Side &side, const CMPIData *src, CMPIData *dst, CMPIStatus *st);
CMPIData *CopySingle(const Side &side, const CMPIData *src, CMPIData *dst, CMPIStatus *st);

// The keys of a path or the properties of an instance, as the walk below sees them.
struct Keys {
  const CMPIObjectPath *op;
  CMPICount Count() const { return CMGetKeyCount(op, nullptr); }
  CMPIData At(CMPICount i, CMPIString **name, CMPIStatus *rc) const { return CMGetKeyAt(op, i, name, rc); }
  void Put(CMPIObjectPath *to, const char *name, CMPIData &v) const { CMAddKey(to, name, &v.value, v.type); }
};
struct Properties {
  const CMPIInstance *inst;
  CMPICount Count() const { return CMGetPropertyCount(inst, nullptr); }
  CMPIData At(CMPICount i, CMPIString **name, CMPIStatus *rc) const { return CMGetPropertyAt(inst, i, name, rc); }
  void Put(CMPIInstance *to, const char *name, CMPIData &v) const { CMSetProperty(to, name, &v.value, v.type); }
};

// Copies every non-null item of `from` into `to`, nested kinds rebuilt for `side`. On the host
// side the first failed nested copy ends the walk with its status code.
template <class Items, class Target>
CMPIrc CopyItems(const Side &side, const Items &from, Target *to, CMPIStatus *st) {
  for (CMPICount i = from.Count(); i-- > 0;) {
    CMPIString *name = nullptr;
    CMPIStatus rc = {CMPI_RC_OK, nullptr};
    CMPIData d = from.At(i, &name, &rc);
    if (rc.rc == CMPI_RC_OK && name != nullptr && !IsNull(d)) {
      CMPIData v = d;
      const CMPIrc copied = tpp_is_nested(d.type) ? Copy(side, &d, &v, st) : CMPI_RC_OK;
      if (copied != CMPI_RC_OK && side.host) {
        CMRelease(name);
        return copied;
      }
      if (copied == CMPI_RC_OK) {
        if (!IsNull(v)) from.Put(to, Chars(name), v);
        side.Done(&v);
      }
    }
    if (name != nullptr) CMRelease(name);
  }
  return CMPI_RC_OK;
}

// A path of class cls in namespace ns (both given), with src's keys (none without src).
CMPIObjectPath *CopyPath(const Side &side, const CMPIObjectPath *src, const char *ns, const char *cls, CMPIStatus *st) {
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIObjectPath *op = side.NewPath(ns, cls, &rc);
  if (op == nullptr) {
    Fail(st, rc.rc, "cannot make an object path");
    return nullptr;
  }
  if (src == nullptr || CopyItems(side, Keys{src}, op, st) == CMPI_RC_OK) return op;
  if (!side.host) CMRelease(op);
  return nullptr;
}

CMPIObjectPath *CopyReference(const Side &side, const CMPIObjectPath *src, CMPIStatus *st) {
  char ns[TPP_NS_BUFFER_SIZE] = {};
  if (!side.Translate(NameSpaceOf(src), ns, sizeof ns)) {
    Fail(st, CMPI_RC_ERR_FAILED, "a reference's namespace does not fit");
    return nullptr;
  }
  return CopyPath(side, src, ns, ClassOf(src), st);
}

// An instance: on the host side made from a path of its namespace and class, which the CIMOM
// completes from the key properties; on the controller side from a copy of its whole path, so
// that a reference among the keys is the controller's too.
CMPIInstance *CopyInstance(const Side &side, const CMPIInstance *src, CMPIStatus *st) {
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIObjectPath *sp = CMGetObjectPath(src, &rc);
  if (sp == nullptr) {
    Fail(st, rc.rc, "an instance without an object path");
    return nullptr;
  }
  CMPIObjectPath *op = nullptr;
  char ns[TPP_NS_BUFFER_SIZE] = {};
  if (!side.host) op = CopyReference(side, sp, st);
  else if (side.Translate(NameSpaceOf(sp), ns, sizeof ns)) op = CopyPath(side, nullptr, ns, ClassOf(sp), st);
  else Fail(st, CMPI_RC_ERR_FAILED, "an instance's namespace does not fit");
  CMRelease(sp);
  CMPIInstance *inst = op != nullptr ? side.NewInstance(op, &rc) : nullptr;
  if (op != nullptr && !side.host) CMRelease(op);
  if (op != nullptr && inst == nullptr) Fail(st, rc.rc, "cannot make an instance");
  if (inst == nullptr) return nullptr;
  if (CopyItems(side, Properties{src}, inst, st) == CMPI_RC_OK) return inst;
  if (!side.host) CMRelease(inst);
  return nullptr;
}

CMPIData *CopySingle(const Side &side, const CMPIData *src, CMPIData *dst, CMPIStatus *st) {
  *dst = *src;
  if (IsNull(*src) || !tpp_is_nested(src->type)) return dst;
  if (src->value.ref == nullptr) {
    // A nested value without its object is a null value, never a pointer to follow.
    dst->state = CMPI_nullValue;
    return dst;
  }
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  switch (src->type) {
    case CMPI_ref:
      dst->value.ref = CopyReference(side, src->value.ref, st);
      break;
    case CMPI_instance:
      dst->value.inst = CopyInstance(side, src->value.inst, st);
      break;
    case CMPI_dateTime: {
      const CMPIUint64 bin = CMGetBinaryFormat(src->value.dateTime, &rc);
      const CMPIBoolean interval = CMIsInterval(src->value.dateTime, nullptr);
      dst->value.dateTime = rc.rc == CMPI_RC_OK ? side.NewDateTime(bin, interval, &rc) : nullptr;
      if (dst->value.dateTime == nullptr) Fail(st, rc.rc, "cannot make a date-time");
      break;
    }
    default:
      return dst;  // an array: Copy handles those
  }
  if (dst->value.ref == nullptr) return nullptr;
  dst->state = CMPI_goodValue;
  return dst;
}

// An array of the same element type and count: on the host side the first element that fails
// fails the copy; on the controller side such an element stays null.
CMPIrc CopyArray(const Side &side, const CMPIData *src, CMPIData *dst, CMPIStatus *st) {
  const CMPIArray *sa = src->value.array;
  const CMPIType et = static_cast<CMPIType>(src->type & ~CMPI_ARRAY);
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPICount n = CMGetArrayCount(sa, nullptr);
  CMPIArray *da = side.NewArray(n, et, &rc);
  if (da == nullptr) {
    Fail(st, rc.rc, "cannot make an array");
    return st != nullptr ? st->rc : CMPI_RC_ERR_FAILED;
  }
  for (CMPICount i = 0; i < n; ++i) {
    CMPIData e = CMGetArrayElementAt(sa, i, &rc);
    if (rc.rc != CMPI_RC_OK || IsNull(e)) continue;
    CMPIData v = e;
    if (CopySingle(side, &e, &v, st) == nullptr) {
      if (!side.host) continue;
      return st != nullptr && st->rc != CMPI_RC_OK ? st->rc : CMPI_RC_ERR_FAILED;
    }
    if (!IsNull(v)) CMSetArrayElementAt(da, i, &v.value, v.type);
    side.Done(&v);
  }
  dst->type = src->type;
  dst->state = CMPI_goodValue;
  dst->value.array = da;
  return CMPI_RC_OK;
}

CMPIrc Copy(const Side &side, const CMPIData *src, CMPIData *dst, CMPIStatus *st) {
  if ((src->type & CMPI_ARRAY) != 0 && !IsNull(*src) && src->value.array != nullptr)
    return CopyArray(side, src, dst, st);
  if (CopySingle(side, src, dst, st) != nullptr) return CMPI_RC_OK;
  return st != nullptr && st->rc != CMPI_RC_OK ? st->rc : CMPI_RC_ERR_FAILED;
}

}  // namespace

bool tpp_is_nested(CMPIType type) {
  return (type & CMPI_ARRAY) != 0 || type == CMPI_ref || type == CMPI_instance || type == CMPI_dateTime;
}

CMPIrc util_data_copy(const CMPIData *src, CMPIData *dst, CMPIStatus *st, int id) {
  return Copy(Side{true, id}, src, dst, st);
}

CMPIData *util_single_data_copy(const CMPIData *src, CMPIData *dst, CMPIStatus *st, int id) {
  return CopySingle(Side{true, id}, src, dst, st);
}

CMPIObjectPath *util_host_path(const CMPIObjectPath *src, const char *host_ns, const char *cls, CMPIStatus *st,
                               int id) {
  return CopyPath(Side{true, id}, src, host_ns, cls, st);
}

CMPIrc util_host_properties(const CMPIInstance *src, CMPIInstance *dst, CMPIStatus *st, int id) {
  return CopyItems(Side{true, id}, Properties{src}, dst, st);
}

CMPIrc util_sfcc_data_copy(const CMPIData *src, CMPIData *dst, CMPIStatus *st) {
  return Copy(Side{false, 0}, src, dst, st);
}

CMPIData *util_sfcc_single_data_copy(const CMPIData *src, CMPIData *dst, CMPIStatus *st) {
  return CopySingle(Side{false, 0}, src, dst, st);
}

CMPIObjectPath *util_new_objpath_from_old(CMPIObjectPath **out, const CMPIObjectPath *op, CMPIStatus *st) {
  CMPIObjectPath *p = op != nullptr ? CopyReference(Side{false, 0}, op, st) : nullptr;
  if (out != nullptr) *out = p;
  return p;
}

CMPIInstance *util_new_inst_from_old(CMPIInstance **out, const CMPIInstance *inst, CMPIStatus *st) {
  CMPIInstance *p = inst != nullptr ? CopyInstance(Side{false, 0}, inst, st) : nullptr;
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
