/* CMPIResult: collects copies of what a provider returns. */
#include "native_internal.h"

namespace cmpinative {

namespace {

NResult *self(const CMPIResult *r) { return native<NResult>(r); }

bool bad(const CMPIResult *r) { return r == nullptr || r->hdl == nullptr; }

template <class T>
T *clone_of(const T *obj) {
  T *c = obj->ft->clone(obj, nullptr);
  if (c == nullptr) throw std::bad_alloc();
  return c;
}

/* Room for one more element, made before the element is, so that a copy made
 * for it is never lost to a failed allocation. It doubles, as push_back does:
 * reserve grows a vector to exactly the size asked for, and asking for one
 * more each time would copy the whole list on every append. */
template <class V>
void room_for_one(V &list) {
  if (list.size() == list.capacity()) list.reserve(list.size() < 4 ? 4 : list.size() * 2);
}

/* Appends a copy of `obj` to `list`; the room is made first so the copy
 * cannot be lost. */
template <class T>
CMPIStatus append_copy(std::vector<T *> &list, const T *obj) {
  if (obj == nullptr || obj->ft == nullptr) return status(CMPI_RC_ERR_INVALID_PARAMETER);
  room_for_one(list);
  list.push_back(clone_of(obj));
  return status(CMPI_RC_OK);
}

CMPIResult *new_result(const ResultContents *src) {
  return &create<NResult>(false, [&](NResult &n) {
            if (src != nullptr) {
              for (CMPIInstance *i : src->instances) append_copy(n.contents.instances, i);
              for (CMPIObjectPath *p : src->paths) append_copy(n.contents.paths, p);
              for (const CMPIData &d : src->data) {
                room_for_one(n.contents.data);
                n.contents.data.push_back(copy_data(d));
              }
              for (CMPIError *e : src->errors) append_copy(n.contents.errors, e);
              n.contents.done_count = src->done_count;
            }
            n.pub.hdl = &n;
            n.pub.ft = &result_ft;
          })->pub;
}

CMPIStatus release(CMPIResult *r) {
  if (bad(r)) return status(CMPI_RC_ERR_INVALID_HANDLE);
  release_object(&self(r)->hdr);
  return status(CMPI_RC_OK);
}

CMPIResult *clone(const CMPIResult *r, CMPIStatus *rc) {
  return guard(rc, static_cast<CMPIResult *>(nullptr), [&]() -> CMPIResult * {
    if (bad(r)) {
      set_rc(rc, CMPI_RC_ERR_INVALID_HANDLE);
      return nullptr;
    }
    CMPIResult *c = new_result(&self(r)->contents);
    set_rc(rc, CMPI_RC_OK);
    return c;
  });
}

CMPIStatus return_data(const CMPIResult *r, const CMPIValue *value, const CMPIType type) {
  return guard([&] {
    if (bad(r)) return status(CMPI_RC_ERR_INVALID_HANDLE);
    auto &data = self(r)->contents.data;
    Value v = Value::of(value, type);
    room_for_one(data);
    data.push_back(v.take());
    return status(CMPI_RC_OK);
  });
}

CMPIStatus return_instance(const CMPIResult *r, const CMPIInstance *inst) {
  return guard([&] { return bad(r) ? status(CMPI_RC_ERR_INVALID_HANDLE) : append_copy(self(r)->contents.instances, inst); });
}

CMPIStatus return_object_path(const CMPIResult *r, const CMPIObjectPath *ref) {
  return guard([&] { return bad(r) ? status(CMPI_RC_ERR_INVALID_HANDLE) : append_copy(self(r)->contents.paths, ref); });
}

CMPIStatus return_done(const CMPIResult *r) {
  if (bad(r)) return status(CMPI_RC_ERR_INVALID_HANDLE);
  ++self(r)->contents.done_count;
  return status(CMPI_RC_OK);
}

CMPIStatus return_error(const CMPIResult *r, const CMPIError *er) {
  return guard([&] { return bad(r) ? status(CMPI_RC_ERR_INVALID_HANDLE) : append_copy(self(r)->contents.errors, er); });
}

}  // namespace

CMPIResultFT result_ft = {CMPICurrentVersion, release,     clone,       return_data, return_instance,
                          return_object_path, return_done, return_error};

NResult::~NResult() {
  for (CMPIInstance *i : contents.instances) i->ft->release(i);
  for (CMPIObjectPath *p : contents.paths) p->ft->release(p);
  for (CMPIData &d : contents.data) release_data(d);
  for (CMPIError *e : contents.errors) e->ft->release(e);
}

CMPIResult *new_result() { return new_result(nullptr); }

namespace {
template <class T>
bool take_into(const CMPIResult *r, std::vector<T *> ResultContents::*list, T *obj, Kind kind) {
  if (kind_of(r) != Kind::Result || bad(r) || kind_of(obj) != kind || obj->hdl == nullptr) return false;
  std::vector<T *> &l = self(r)->contents.*list;
  try {
    room_for_one(l);
  } catch (const std::bad_alloc &) {
    return false;
  }
  disown(obj);
  l.push_back(obj);
  return true;
}
}  // namespace

bool result_take(const CMPIResult *r, CMPIInstance *inst) {
  return take_into(r, &ResultContents::instances, inst, Kind::Instance);
}

bool result_take(const CMPIResult *r, CMPIObjectPath *op) {
  return take_into(r, &ResultContents::paths, op, Kind::ObjectPath);
}

const ResultContents &result_contents(const CMPIResult *rslt) {
  static const ResultContents empty;
  return kind_of(rslt) == Kind::Result ? self(rslt)->contents : empty;
}

}  // namespace cmpinative
