// The encapsulated objects: each call goes to the object's function table and
// turns a failure into a thrown CmpiStatus.
#include <strings.h>

#include <cstring>

#include "CmpiArgs.h"
#include "CmpiArray.h"
#include "CmpiBroker.h"
#include "CmpiContext.h"
#include "CmpiEnumeration.h"
#include "CmpiInstance.h"
#include "CmpiObject.h"
#include "CmpiObjectPath.h"
#include "CmpiResult.h"
#include "CmpiString.h"
#include "wrapper_internal.h"

using cmpiwrapper::Broker;
using cmpiwrapper::Check;
using cmpiwrapper::RequireObject;

namespace {

// The value pointer a setter takes: for CMPI_chars the characters themselves (as with
// CMSetProperty(inst, name, "text", CMPI_chars)), for every other type the CMPIValue.
const CMPIValue *ValueOf(const CMPIData &d) {
  if (d.type == CMPI_chars) return reinterpret_cast<const CMPIValue *>(d.value.chars);
  return &d.value;
}

}  // namespace

// ------------------------------------------------------------------ CmpiObject

CmpiString CmpiObject::toString() const {
  RequireObject(enc, "null object");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIBroker *mb = Broker();
  CMPIString *s = mb->eft->toString(mb, enc, &rc);
  Check(rc);
  return CmpiString(s);
}

// ------------------------------------------------------------------ CmpiString

CmpiString::CmpiString(const char *s) : CmpiObject(nullptr) {
  if (s == nullptr) return;
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIBroker *mb = Broker();
  enc = mb->eft->newString(mb, s, &rc);
  Check(rc);
}

const char *CmpiString::charPtr() const {
  CMPIString *s = getEnc();
  if (s == nullptr || s->ft == nullptr) return nullptr;
  return s->ft->getCharPtr(s, nullptr);
}

bool CmpiString::equals(const char *other) const {
  const char *mine = charPtr();
  if (mine == nullptr || other == nullptr) return mine == other;
  return std::strcmp(mine, other) == 0;
}

bool CmpiString::equalsIgnoreCase(const char *other) const {
  const char *mine = charPtr();
  if (mine == nullptr || other == nullptr) return mine == other;
  return strcasecmp(mine, other) == 0;
}

// ------------------------------------------------------------------- CmpiArray

CmpiArray::CmpiArray(CMPICount max, CMPIType type) : CmpiObject(nullptr) {
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIBroker *mb = Broker();
  enc = mb->eft->newArray(mb, max, type, &rc);
  Check(rc);
}

CMPICount CmpiArray::size() const {
  RequireObject(enc, "null array");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPICount n = getEnc()->ft->getSize(getEnc(), &rc);
  Check(rc);
  return n;
}

CMPIType CmpiArray::getType() const {
  RequireObject(enc, "null array");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIType t = getEnc()->ft->getSimpleType(getEnc(), &rc);
  Check(rc);
  return t;
}

CmpiArrayIdx CmpiArray::operator[](int idx) const {
  if (idx < 0) throw CmpiStatus(CMPI_RC_ERR_NO_SUCH_PROPERTY, "negative array index");
  return CmpiArrayIdx(*this, static_cast<CMPICount>(idx));
}

CmpiData CmpiArray::getElementAt(CMPICount idx) const {
  RequireObject(enc, "null array");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIData d = getEnc()->ft->getElementAt(getEnc(), idx, &rc);
  Check(rc);
  return CmpiData(d);
}

void CmpiArray::setElementAt(CMPICount idx, const CmpiData &v) const {
  RequireObject(enc, "null array");
  const CMPIData &d = v.getData();
  Check(getEnc()->ft->setElementAt(getEnc(), idx, ValueOf(d), d.type));
}

CmpiArrayIdx &CmpiArrayIdx::operator=(const CmpiData &v) {
  ar.setElementAt(idx, v);
  return *this;
}

CmpiData CmpiArrayIdx::getData() const { return ar.getElementAt(idx); }

// -------------------------------------------------------------- CmpiObjectPath

CmpiObjectPath::CmpiObjectPath(const CmpiString &ns, const char *cls) : CmpiObjectPath(ns.charPtr(), cls) {}

CmpiObjectPath::CmpiObjectPath(const char *ns, const char *cls) : CmpiObject(nullptr) {
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIBroker *mb = Broker();
  enc = mb->eft->newObjectPath(mb, ns, cls, &rc);
  Check(rc);
}

CmpiString CmpiObjectPath::getNameSpace() const {
  RequireObject(enc, "null object path");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIString *s = getEnc()->ft->getNameSpace(getEnc(), &rc);
  Check(rc);
  return CmpiString(s);
}

void CmpiObjectPath::setNameSpace(const char *ns) {
  RequireObject(enc, "null object path");
  Check(getEnc()->ft->setNameSpace(getEnc(), ns));
}

CmpiString CmpiObjectPath::getHostname() const {
  RequireObject(enc, "null object path");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIString *s = getEnc()->ft->getHostname(getEnc(), &rc);
  Check(rc);
  return CmpiString(s);
}

void CmpiObjectPath::setHostname(const char *hn) {
  RequireObject(enc, "null object path");
  Check(getEnc()->ft->setHostname(getEnc(), hn));
}

CmpiString CmpiObjectPath::getClassName() const {
  RequireObject(enc, "null object path");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIString *s = getEnc()->ft->getClassName(getEnc(), &rc);
  Check(rc);
  return CmpiString(s);
}

void CmpiObjectPath::setClassName(const char *cn) {
  RequireObject(enc, "null object path");
  Check(getEnc()->ft->setClassName(getEnc(), cn));
}

CmpiData CmpiObjectPath::getKey(const char *name) const {
  RequireObject(enc, "null object path");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIData d = getEnc()->ft->getKey(getEnc(), name, &rc);
  Check(rc);
  return CmpiData(d);
}

CmpiData CmpiObjectPath::getKey(int pos, CmpiString *name) const {
  RequireObject(enc, "null object path");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIString *n = nullptr;
  const CMPIData d = getEnc()->ft->getKeyAt(getEnc(), static_cast<CMPICount>(pos), &n, &rc);
  Check(rc);
  if (name != nullptr) *name = CmpiString(n);
  return CmpiData(d);
}

void CmpiObjectPath::setKey(const char *name, const CmpiData &data) {
  RequireObject(enc, "null object path");
  const CMPIData &d = data.getData();
  Check(getEnc()->ft->addKey(getEnc(), name, ValueOf(d), d.type));
}

unsigned int CmpiObjectPath::getKeyCount() const {
  RequireObject(enc, "null object path");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPICount n = getEnc()->ft->getKeyCount(getEnc(), &rc);
  Check(rc);
  return n;
}

bool CmpiObjectPath::classPathIsA(const char *className) const {
  return CmpiBroker(Broker()).classPathIsA(*this, className);
}

// ---------------------------------------------------------------- CmpiInstance

CmpiInstance::CmpiInstance(const CmpiObjectPath &op) : CmpiObject(nullptr) {
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIBroker *mb = Broker();
  enc = mb->eft->newInstance(mb, op.getEnc(), &rc);
  Check(rc);
}

CmpiData CmpiInstance::getProperty(const char *name) const {
  RequireObject(enc, "null instance");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIData d = getEnc()->ft->getProperty(getEnc(), name, &rc);
  Check(rc);
  return CmpiData(d);
}

CmpiData CmpiInstance::getProperty(int pos, CmpiString *name) const {
  RequireObject(enc, "null instance");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIString *n = nullptr;
  const CMPIData d = getEnc()->ft->getPropertyAt(getEnc(), static_cast<CMPICount>(pos), &n, &rc);
  Check(rc);
  if (name != nullptr) *name = CmpiString(n);
  return CmpiData(d);
}

unsigned int CmpiInstance::getPropertyCount() const {
  RequireObject(enc, "null instance");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPICount n = getEnc()->ft->getPropertyCount(getEnc(), &rc);
  Check(rc);
  return n;
}

void CmpiInstance::setProperty(const char *name, const CmpiData &data) {
  RequireObject(enc, "null instance");
  const CMPIData &d = data.getData();
  Check(getEnc()->ft->setProperty(getEnc(), name, ValueOf(d), d.type));
}

CmpiObjectPath CmpiInstance::getObjectPath() const {
  RequireObject(enc, "null instance");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIObjectPath *op = getEnc()->ft->getObjectPath(getEnc(), &rc);
  Check(rc);
  return CmpiObjectPath(op);
}

void CmpiInstance::setPropertyFilter(const char **properties, const char **keys) {
  RequireObject(enc, "null instance");
  Check(getEnc()->ft->setPropertyFilter(getEnc(), properties, keys));
}

// -------------------------------------------------------------------- CmpiArgs

CmpiArgs::CmpiArgs() : CmpiObject(nullptr) {
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIBroker *mb = Broker();
  enc = mb->eft->newArgs(mb, &rc);
  Check(rc);
}

CmpiData CmpiArgs::getArg(const char *name) const {
  RequireObject(enc, "null arguments");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIData d = getEnc()->ft->getArg(getEnc(), name, &rc);
  Check(rc);
  return CmpiData(d);
}

CmpiData CmpiArgs::getArg(int pos, CmpiString *name) const {
  RequireObject(enc, "null arguments");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIString *n = nullptr;
  const CMPIData d = getEnc()->ft->getArgAt(getEnc(), static_cast<CMPICount>(pos), &n, &rc);
  Check(rc);
  if (name != nullptr) *name = CmpiString(n);
  return CmpiData(d);
}

void CmpiArgs::setArg(const char *name, const CmpiData &data) {
  RequireObject(enc, "null arguments");
  const CMPIData &d = data.getData();
  Check(getEnc()->ft->addArg(getEnc(), name, ValueOf(d), d.type));
}

unsigned int CmpiArgs::getArgCount() const {
  RequireObject(enc, "null arguments");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPICount n = getEnc()->ft->getArgCount(getEnc(), &rc);
  Check(rc);
  return n;
}

// ----------------------------------------------------------------- CmpiContext

CmpiData CmpiContext::getEntry(const char *name) const {
  RequireObject(enc, "null context");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIData d = getEnc()->ft->getEntry(getEnc(), name, &rc);
  Check(rc);
  return CmpiData(d);
}

void CmpiContext::setEntry(const char *name, const CmpiData &data) {
  RequireObject(enc, "null context");
  const CMPIData &d = data.getData();
  Check(getEnc()->ft->addEntry(getEnc(), name, ValueOf(d), d.type));
}

unsigned int CmpiContext::getEntryCount() const {
  RequireObject(enc, "null context");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPICount n = getEnc()->ft->getEntryCount(getEnc(), &rc);
  Check(rc);
  return n;
}

// ------------------------------------------------------------------ CmpiResult

void CmpiResult::returnData(const CmpiData &d) {
  RequireObject(enc, "null result");
  const CMPIData &raw = d.getData();
  Check(getEnc()->ft->returnData(getEnc(), ValueOf(raw), raw.type));
}

void CmpiResult::returnData(const CmpiInstance &inst) {
  RequireObject(enc, "null result");
  RequireObject(inst.getEnc(), "null instance");
  Check(getEnc()->ft->returnInstance(getEnc(), inst.getEnc()));
}

void CmpiResult::returnData(const CmpiObjectPath &op) {
  RequireObject(enc, "null result");
  RequireObject(op.getEnc(), "null object path");
  Check(getEnc()->ft->returnObjectPath(getEnc(), op.getEnc()));
}

void CmpiResult::returnDone() {
  RequireObject(enc, "null result");
  Check(getEnc()->ft->returnDone(getEnc()));
}

// ------------------------------------------------------------- CmpiEnumeration

bool CmpiEnumeration::hasNext() const {
  if (enc == nullptr) return false;
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIBoolean more = getEnc()->ft->hasNext(getEnc(), &rc);
  Check(rc);
  return more != 0;
}

CmpiData CmpiEnumeration::getNext() {
  RequireObject(enc, "null enumeration");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIData d = getEnc()->ft->getNext(getEnc(), &rc);
  Check(rc);
  return CmpiData(d);
}

CmpiArray CmpiEnumeration::toArray() const {
  RequireObject(enc, "null enumeration");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIArray *a = getEnc()->ft->toArray(getEnc(), &rc);
  Check(rc);
  return CmpiArray(a);
}

// ------------------------------------------------------------------ CmpiBroker

CmpiEnumeration CmpiBroker::enumInstanceNames(const CmpiContext &ctx, const CmpiObjectPath &cop) {
  RequireObject(enc, "null broker");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIEnumeration *e = getEnc()->bft->enumerateInstanceNames(getEnc(), ctx.getEnc(), cop.getEnc(), &rc);
  Check(rc);
  return CmpiEnumeration(e);
}

CmpiEnumeration CmpiBroker::enumInstances(const CmpiContext &ctx, const CmpiObjectPath &cop,
                                          const char **properties) {
  RequireObject(enc, "null broker");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIEnumeration *e = getEnc()->bft->enumerateInstances(getEnc(), ctx.getEnc(), cop.getEnc(), properties, &rc);
  Check(rc);
  return CmpiEnumeration(e);
}

CmpiInstance CmpiBroker::getInstance(const CmpiContext &ctx, const CmpiObjectPath &cop, const char **properties) {
  RequireObject(enc, "null broker");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIInstance *i = getEnc()->bft->getInstance(getEnc(), ctx.getEnc(), cop.getEnc(), properties, &rc);
  Check(rc);
  return CmpiInstance(i);
}

CmpiObjectPath CmpiBroker::createInstance(const CmpiContext &ctx, const CmpiObjectPath &cop,
                                          const CmpiInstance &inst) {
  RequireObject(enc, "null broker");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  CMPIObjectPath *p = getEnc()->bft->createInstance(getEnc(), ctx.getEnc(), cop.getEnc(), inst.getEnc(), &rc);
  Check(rc);
  return CmpiObjectPath(p);
}

void CmpiBroker::setInstance(const CmpiContext &ctx, const CmpiObjectPath &cop, const CmpiInstance &inst,
                             const char **properties) {
  RequireObject(enc, "null broker");
  Check(getEnc()->bft->modifyInstance(getEnc(), ctx.getEnc(), cop.getEnc(), inst.getEnc(), properties));
}

void CmpiBroker::deleteInstance(const CmpiContext &ctx, const CmpiObjectPath &cop) {
  RequireObject(enc, "null broker");
  Check(getEnc()->bft->deleteInstance(getEnc(), ctx.getEnc(), cop.getEnc()));
}

CmpiData CmpiBroker::invokeMethod(const CmpiContext &ctx, const CmpiObjectPath &cop, const char *methName,
                                  const CmpiArgs &in, CmpiArgs &out) {
  RequireObject(enc, "null broker");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIData d =
      getEnc()->bft->invokeMethod(getEnc(), ctx.getEnc(), cop.getEnc(), methName, in.getEnc(), out.getEnc(), &rc);
  Check(rc);
  return CmpiData(d);
}

bool CmpiBroker::classPathIsA(const CmpiObjectPath &cop, const char *className) {
  RequireObject(enc, "null broker");
  RequireObject(cop.getEnc(), "null object path");
  CMPIStatus rc = {CMPI_RC_OK, nullptr};
  const CMPIBoolean isa = getEnc()->eft->classPathIsA(getEnc(), cop.getEnc(), className, &rc);
  Check(rc);
  return isa != 0;
}
